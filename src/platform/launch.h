#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/unique_handle.h"

// What a new process is started with. Texts are UTF-16 units as the system
// takes them; unpaired surrogates pass through.
struct LaunchRequest {
    std::u16string program;
    std::vector<std::u16string> arguments;
    // None: the child starts in the updater's current directory.
    std::optional<std::u16string> working_directory;
};

// The handles of a started process, owned by the caller.
struct LaunchedProcess {
    UniqueKernelObject process;
    UniqueKernelObject thread;
};

// Starts the program with one CreateProcessW call and returns without
// waiting. The child gets the updater's environment, every inheritable handle
// the updater holds, and inheritable duplicates of the updater's standard
// handles. A .bat or .cmd program runs under the system's cmd.exe. Fails with
// InvalidInput or NotFound for a request that names no program (texts in
// application_path.h and command_line_text.h), or with the code of the failed
// call; a failure leaves no process and no duplicate behind.
[[nodiscard]] std::expected<LaunchedProcess, OsError> launch_process(const LaunchRequest& request);
