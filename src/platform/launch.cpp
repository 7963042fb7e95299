#include "platform/launch.h"

#include <array>
#include <string_view>

#include "platform/application_path.h"
#include "platform/ascii.h"
#include "platform/command_line_text.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"
#include "platform/text_query.h"

namespace {

// Held while this process's inheritable duplicates exist, so that no other
// launch in the process can pass them to its child. Not re-entered.
SRWLOCK g_launch_lock = SRWLOCK_INIT;

class LaunchLock {
public:
    LaunchLock() { sys().AcquireSRWLockExclusive(&g_launch_lock); }
    ~LaunchLock() { sys().ReleaseSRWLockExclusive(&g_launch_lock); }
    LaunchLock(const LaunchLock&) = delete;
    LaunchLock& operator=(const LaunchLock&) = delete;
};

struct Program {
    std::wstring application;
    std::wstring command_line;
};

bool is_script(std::wstring_view path) {
    return ends_with_ignoring_ascii_case(path, std::wstring_view(L".bat")) ||
           ends_with_ignoring_ascii_case(path, std::wstring_view(L".cmd"));
}

// The application and command line: the program itself, or cmd.exe running it
// when it is a script (CreateProcessW starts only executables).
std::expected<Program, OsError> program_of(const LaunchRequest& request) {
    auto application = resolve_application_path(request.program);
    if (!application) return std::unexpected(application.error());

    // Judged on the file that the system will open: its full path has lost
    // the trailing dots and spaces that would hide a .bat or .cmd.
    std::wstring resolved = *application;
    if (!has_verbatim_prefix(as_u16(*application))) {
        auto full = full_path_name(application->c_str());
        if (!full) return std::unexpected(full.error());
        resolved = std::move(*full);
    }
    if (!is_script(resolved)) {
        auto line = build_command_line(request.program, request.arguments);
        if (!line) return std::unexpected(line.error());
        return Program{std::move(*application), as_wide(*line)};
    }

    auto folder = query_text([](wchar_t* buffer, DWORD size) { return sys().GetSystemDirectoryW(buffer, size); });
    if (!folder) return std::unexpected(folder.error());
    auto line = build_script_command_line(as_u16(*application), request.arguments);
    if (!line) return std::unexpected(line.error());
    return Program{*folder + L"\\cmd.exe", as_wide(*line)};
}

// Whether the system takes `text` as exactly the absolute path it is: the full
// path fills a buffer of the text's own size with the same units. A failed
// call (0, as for the empty text) proves nothing.
bool is_exact_absolute(std::wstring_view text) {
    const std::wstring terminated(text);
    std::wstring full(text.size() + 1, L'\0');
    const DWORD count =
        sys().GetFullPathNameW(terminated.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    return count != 0 && count == text.size() && std::wstring_view(full.data(), count) == text;
}

// A \\?\ working directory that the system would resolve to the same folder
// loses its prefix (\\?\UNC\server becomes \\server): the current directory
// of a process is not meant to be a verbatim path.
std::expected<std::wstring, OsError> working_directory_form(std::u16string_view directory) {
    if (directory.find(u'\0') != std::u16string_view::npos)
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_DATA_TEXT));
    std::wstring wide = as_wide(directory);
    if (wide.starts_with(L"\\\\?\\UNC")) {
        std::wstring server_form = L"\\" + wide.substr(7);  // not const: returned, it is moved
        if (is_exact_absolute(server_form)) return server_form;
        return wide;
    }
    if (wide.starts_with(L"\\\\?\\") && is_exact_absolute(std::wstring_view(wide).substr(4))) return wide.substr(4);
    return wide;
}

// CreateProcessW under the launch lock, with the standard handles passed as
// inheritable duplicates that are closed again before the lock is released.
std::expected<LaunchedProcess, OsError> create_process(const std::wstring& application, std::wstring& command_line,
                                                       const wchar_t* working_directory) {
    const LaunchLock lock;
    std::array<UniqueKernelObject, 3> duplicates;
    constexpr std::array<DWORD, 3> STANDARD_HANDLES{STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    bool any_handle = false;
    for (std::size_t i = 0; i < STANDARD_HANDLES.size(); ++i) {
        const HANDLE handle = sys().GetStdHandle(STANDARD_HANDLES[i]);
        // A GUI program usually has none: the child then gets the defaults.
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
        HANDLE duplicate = nullptr;
        if (!sys().DuplicateHandle(sys().GetCurrentProcess(), handle, sys().GetCurrentProcess(), &duplicate, 0, TRUE,
                                   DUPLICATE_SAME_ACCESS)) {
            const DWORD error = sys().GetLastError();
            return std::unexpected(OsError::from_code(error));
        }
        duplicates[i].reset(duplicate);
        any_handle = true;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (any_handle) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = duplicates[0].get();
        startup.hStdOutput = duplicates[1].get();
        startup.hStdError = duplicates[2].get();
    }
    PROCESS_INFORMATION info{};
    const BOOL created = sys().CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                              CREATE_UNICODE_ENVIRONMENT, nullptr, working_directory, &startup, &info);
    const DWORD error = created ? ERROR_SUCCESS : sys().GetLastError();
    LaunchedProcess launched{.process = UniqueKernelObject(info.hProcess), .thread = UniqueKernelObject(info.hThread)};
    if (!created) return std::unexpected(OsError::from_code(error));
    return launched;
}

}  // namespace

std::expected<LaunchedProcess, OsError> launch_process(const LaunchRequest& request) {
    auto program = program_of(request);
    if (!program) return std::unexpected(program.error());

    std::optional<std::wstring> directory;
    if (request.working_directory) {
        auto form = working_directory_form(*request.working_directory);
        if (!form) return std::unexpected(form.error());
        directory = std::move(*form);
    }
    // An empty directory is passed as an empty text, not as none.
    return create_process(program->application, program->command_line, directory ? directory->c_str() : nullptr);
}
