// Meets an internal fault on purpose ("terminate", "allocation" or "fatal"), so that a test sees how the
// process ends; with no argument it exits 0.
#include <exception>
#include <string>
#include <vector>

#include "platform/fail_fast.h"
#include "runtime_support.h"

int wmain(int argc, wchar_t** argv) {
    install_runtime_support();
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"terminate") std::terminate();
    if (mode == L"allocation") std::vector<char>().reserve(std::size_t{1} << 62);
    if (mode == L"fatal") fatal_runtime_error("fatal runtime error: probe");
    return mode.empty() ? 0 : 3;
}
