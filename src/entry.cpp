#include <utility>

#include "failure_log.h"
#include "platform/system_calls.h"
#include "run_update.h"
#include "runtime_support.h"

// The process entry of the windowless program: one update, its failure (if
// any) written to the log, and exit code 0 either way. The arguments that the
// start-up code passes are not used; the update reads the command line itself.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    install_runtime_support();
    // Nothing planted beside the executable may be loaded in place of a system DLL.
    sys().SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    if (auto result = run_update(); !result) write_failure_log(std::move(result.error()));
    return 0;
}
