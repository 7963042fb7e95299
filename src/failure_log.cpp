#include "failure_log.h"

#include <string>

#include "platform/current_exe_path.h"
#include "platform/path_text.h"
#include "platform/system_message.h"
#include "platform/whole_file.h"

void write_failure_log(ErrorChain chain) {
    const std::string text = chain_text(chain, system_message_text);

    std::string log_path(LOG_FILE_NAME);
    if (const auto exe = current_exe_path()) {
        if (const auto folder = parent_path(*exe)) log_path = join_path(*folder, LOG_FILE_NAME);
    }
    // Nowhere left to report a log that cannot be written.
    (void)write_whole_file(log_path, text);
}
