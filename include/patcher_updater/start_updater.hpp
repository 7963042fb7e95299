#pragma once

// For the patcher: starts patcher-updater with the four options it reads
// (--pid, --current, --new, --sha256), after checking on Windows what would
// make the update fail once the patcher is gone (check_update), and names a
// download target that the update can use (replacement_path_for). Standalone:
// needs C++20's standard library and, on Windows, <windows.h>. The quoting
// also has char16_t forms, which are the same on every platform.
//
// The quoting here is the inverse of the updater's command-line splitting:
// an argument is quoted when it is empty or holds a space or tab; a quote in
// it is escaped with a backslash, and the backslashes directly before a quote
// (its own or the closing one) are doubled. Backslashes elsewhere stay as they
// are. The program name is only wrapped in quotes, because backslashes are
// literal there and a quote cannot be escaped in it.

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace patcher_updater {
namespace detail {

template <class Char>
bool needs_quotes(std::basic_string_view<Char> argument) {
    if (argument.empty()) return true;
    for (const Char unit : argument)
        if (unit == Char(' ') || unit == Char('\t')) return true;
    return false;
}

template <class Char>
void append_quoted_argument(std::basic_string<Char>& line, std::basic_string_view<Char> argument) {
    const bool quote = needs_quotes(argument);
    if (quote) line += Char('"');
    std::size_t backslashes = 0;
    for (const Char unit : argument) {
        if (unit == Char('\\')) {
            ++backslashes;
        } else if (unit == Char('"')) {
            // 2n+1 backslashes: n literal ones, then the quote itself.
            line.append(backslashes + 1, Char('\\'));
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        line += unit;
    }
    if (quote) {
        // Backslashes before the closing quote must not escape it.
        line.append(backslashes, Char('\\'));
        line += Char('"');
    }
}

template <class Char>
std::basic_string<Char> build_command_line(std::basic_string_view<Char> program,
                                           std::span<const std::basic_string_view<Char>> arguments) {
    std::basic_string<Char> line;
    line += Char('"');
    line += program;
    line += Char('"');
    for (const auto argument : arguments) {
        line += Char(' ');
        append_quoted_argument(line, argument);
    }
    return line;
}

// ASCII text in the wide character type.
template <class Char>
std::basic_string<Char> widen(std::string_view ascii) {
    std::basic_string<Char> text;
    for (const char byte : ascii) text += static_cast<Char>(byte);
    return text;
}

template <class Char>
std::basic_string<Char> build_updater_command_line(std::basic_string_view<Char> updater_path, std::uint32_t pid,
                                                   std::basic_string_view<Char> current_path,
                                                   std::basic_string_view<Char> new_path,
                                                   std::basic_string_view<Char> sha256) {
    char digits[10];
    const char* const digits_end = std::to_chars(digits, digits + sizeof digits, pid).ptr;
    const auto pid_text = widen<Char>(std::string_view(digits, static_cast<std::size_t>(digits_end - digits)));
    const auto pid_option = widen<Char>("--pid");
    const auto current_option = widen<Char>("--current");
    const auto new_option = widen<Char>("--new");
    const auto sha256_option = widen<Char>("--sha256");
    const std::basic_string_view<Char> arguments[] = {pid_option, pid_text, current_option, current_path,
                                                      new_option, new_path,   sha256_option,  sha256};
    return build_command_line<Char>(updater_path, arguments);
}

}  // namespace detail

// One argument as it must appear on a command line after the program name.
inline std::wstring quote_argument(std::wstring_view argument) {
    std::wstring line;
    detail::append_quoted_argument(line, argument);
    return line;
}
inline std::u16string quote_argument(std::u16string_view argument) {
    std::u16string line;
    detail::append_quoted_argument(line, argument);
    return line;
}

// The program name in quotes, then each argument quoted, separated by single
// spaces. The program name must hold no quote.
inline std::wstring build_command_line(std::wstring_view program, std::span<const std::wstring_view> arguments) {
    return detail::build_command_line(program, arguments);
}
inline std::u16string build_command_line(std::u16string_view program,
                                         std::span<const std::u16string_view> arguments) {
    return detail::build_command_line(program, arguments);
}

// "updater" --pid {pid} --current {current} --new {new} --sha256 {sha256}.
inline std::wstring build_updater_command_line(std::wstring_view updater_path, std::uint32_t pid,
                                               std::wstring_view current_path, std::wstring_view new_path,
                                               std::wstring_view sha256) {
    return detail::build_updater_command_line(updater_path, pid, current_path, new_path, sha256);
}
inline std::u16string build_updater_command_line(std::u16string_view updater_path, std::uint32_t pid,
                                                 std::u16string_view current_path, std::u16string_view new_path,
                                                 std::u16string_view sha256) {
    return detail::build_updater_command_line(updater_path, pid, current_path, new_path, sha256);
}

// A download target for the replacement: beside the current executable (so on its volume), never at the
// backup name. "C:\App\patcher.exe" gives "C:\App\patcher.exe.download".
inline std::wstring replacement_path_for(std::wstring_view current_path) {
    return std::wstring(current_path) + L".download";
}

}  // namespace patcher_updater

#ifdef _WIN32
#include <windows.h>

namespace patcher_updater {
namespace detail {

constexpr DWORD DIRECTORY_NOT_SUPPORTED = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED, missing from older SDKs

// Closes a file handle when it goes.
struct FileHandle {
    HANDLE handle;
    explicit FileHandle(HANDLE h) : handle(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};

// Every open asks for identification only: a path that reaches a named pipe lets its server learn
// who opened it, never act as this process.
constexpr DWORD IDENTIFY_ONLY = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` with `access`, directories included (a link there followed unless `flags` say otherwise);
// a missing file or folder reads as ERROR_FILE_NOT_FOUND.
inline DWORD open_existing(const std::wstring& path, DWORD access, FileHandle& file, BY_HANDLE_FILE_INFORMATION& info,
                           DWORD flags = 0, DWORD share = SHARE_ALL) {
    file.handle = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | IDENTIFY_ONLY | flags, nullptr);
    if (file.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error;
    }
    if (::GetFileType(file.handle) != FILE_TYPE_DISK) return ERROR_NOT_SUPPORTED;
    if (!::GetFileInformationByHandle(file.handle, &info)) return ::GetLastError();
    return info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? DIRECTORY_NOT_SUPPORTED : 0;
}

// The full path that the system makes of `path`; the text itself when it makes none.
inline std::wstring full_path(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return path;
        if (length < full.size()) return full.substr(0, length);
        full.resize(length);
    }
}

// The full path in the long-path form (\\?\C:\... or \\?\UNC\server\share\...), which no length limit
// applies to.
inline std::wstring long_path(const std::wstring& path) {
    std::wstring full = full_path(path);
    if (full.starts_with(L"\\\\?\\")) return full;
    if (full.starts_with(L"\\\\.\\")) return L"\\\\?\\" + full.substr(4);
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return full.size() > 2 && full[1] == L':' && full[2] == L'\\' ? L"\\\\?\\" + full : full;
}

// The updater's backup name, made from the --current text as given: the extension of the last name
// replaced by "exe.old" (a leading dot starts no extension).
inline std::wstring backup_path(std::wstring path) {
    const std::size_t name = path.find_last_of(L"\\/") + 1;
    const std::size_t dot = path.rfind(L'.');
    if (dot != std::wstring::npos && dot > name) path.resize(dot);
    return path + L".exe.old";
}

// The full path with ASCII letters in lower case and '/' as '\\', as the updater compares two names.
inline std::wstring comparable_path(const std::wstring& path) {
    std::wstring text = full_path(path);
    for (wchar_t& unit : text) {
        if (unit == L'/') unit = L'\\';
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit + (L'a' - L'A'));
    }
    return text;
}

// True unless the last name of `path` is known to be another than the file's own: a ':' in it (a
// stream), or a folder listing that names the file otherwise (a short 8.3 alias). The updater
// refuses both, since its renames would give the install that other name. ASCII case does not count,
// nor do trailing dots and spaces outside a verbatim path (the full path drops them).
inline bool is_own_name(const std::wstring& path) {
    const std::wstring full = long_path(path);
    std::wstring_view name(full);
    name.remove_prefix(name.find_last_of(L"\\/") + 1);
    if (name.find(L':') != std::wstring_view::npos) return false;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileExW(full.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return true;
    ::FindClose(search);
    const std::wstring_view listed(entry.cFileName);
    const auto lower = [](wchar_t unit) { return unit >= L'A' && unit <= L'Z' ? unit + (L'a' - L'A') : unit; };
    return std::ranges::equal(listed, name, {}, lower, lower);
}

// True when deleting the backup name would delete the download, by the updater's rule: the same path,
// or the one name of the same file (a link there is not followed; a file index of 0 identifies no file).
inline bool download_at_backup(const std::wstring& backup, const std::wstring& download,
                               const BY_HANDLE_FILE_INFORMATION& download_info) {
    if (comparable_path(backup) == comparable_path(download)) return true;
    FileHandle entry(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info{};
    return open_existing(long_path(backup), FILE_READ_ATTRIBUTES, entry, info, FILE_FLAG_OPEN_REPARSE_POINT) == 0 &&
           (info.nFileIndexHigh | info.nFileIndexLow) != 0 && info.nNumberOfLinks == 1 &&
           info.dwVolumeSerialNumber == download_info.dwVolumeSerialNumber &&
           info.nFileIndexHigh == download_info.nFileIndexHigh && info.nFileIndexLow == download_info.nFileIndexLow;
}

// The machine of an executable image (IMAGE_FILE_MACHINE_I386, _AMD64 or _ARM64) from the file's first
// bytes: "MZ", the offset of the PE signature at 0x3C, "PE\0\0", the machine, and the characteristics
// (an executable, not a DLL); 0 for anything else.
inline WORD executable_machine(HANDLE file) {
    const auto read_at = [file](LONGLONG offset, unsigned char* bytes, DWORD size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return ::ReadFile(file, bytes, size, &got, &at) && got == size;
    };
    unsigned char dos[64], nt[24];
    if (!read_at(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return 0;
    const LONGLONG pe = dos[0x3C] | dos[0x3D] << 8 | dos[0x3E] << 16 | static_cast<LONGLONG>(dos[0x3F]) << 24;
    if (!read_at(pe, nt, sizeof nt) || nt[0] != 'P' || nt[1] != 'E' || nt[2] != 0 || nt[3] != 0) return 0;
    const WORD machine = static_cast<WORD>(nt[4] | nt[5] << 8);
    const unsigned characteristics = nt[22] | nt[23] << 8;
    if (!(characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) || (characteristics & IMAGE_FILE_DLL)) return 0;
    const bool known = machine == IMAGE_FILE_MACHINE_I386 || machine == IMAGE_FILE_MACHINE_AMD64 ||
                       machine == IMAGE_FILE_MACHINE_ARM64;
    return known ? machine : 0;
}

// 0 unless a stale backup is at `backup` that the updater could not delete: one it may not delete (5),
// one held without delete sharing (32), or the one name of a file that runs as a program (another
// instance of the old build), which a write open tells by 32 without changing anything. A folder there
// cannot be opened without backup semantics and gives 5, as the updater's delete does.
inline DWORD stale_backup_problem(const std::wstring& backup) {
    constexpr DWORD itself = FILE_FLAG_OPEN_REPARSE_POINT | IDENTIFY_ONLY;
    const FileHandle entry(::CreateFileW(backup.c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, itself, nullptr));
    if (entry.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(entry.handle, &info) || info.nNumberOfLinks != 1)
        return 0;  // deleting a second name leaves the file that runs
    const FileHandle writable(
        ::CreateFileW(backup.c_str(), FILE_WRITE_DATA, SHARE_ALL, nullptr, OPEN_EXISTING, itself, nullptr));
    return writable.handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION
               ? ERROR_SHARING_VIOLATION
               : 0;
}

// Creates and deletes a uniquely named file in `folder`; delete-on-close, so that the system removes
// it even if this process is killed meanwhile.
inline DWORD probe_folder(const std::wstring& folder) {
    for (unsigned attempt = 0;; ++attempt) {
        const std::wstring name = folder + L"\\.patcher-updater-probe-" + std::to_wstring(::GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(attempt);
        const FileHandle probe(::CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                                 IDENTIFY_ONLY,
                                             nullptr));
        if (probe.handle != INVALID_HANDLE_VALUE) return 0;
        if (::GetLastError() != ERROR_FILE_EXISTS || attempt == 10) return ::GetLastError();
    }
}

// The current paths (as compared) that this process has started an updater for: a second updater
// for the same files would wait on the same process and race the first one's swap.
struct StartedUpdates {
    std::mutex lock;
    std::set<std::wstring> paths;

    static StartedUpdates& of_this_process() {
        // One for the program (an inline function's static), made on first use, thread-safe.
        // NOLINTNEXTLINE(bugprone-dynamic-static-initializers)
        static StartedUpdates started;
        return started;
    }
    bool claim(const std::wstring& path) {
        const std::lock_guard held(lock);
        return paths.insert(path).second;
    }
    void release(const std::wstring& path) {
        const std::lock_guard held(lock);
        paths.erase(path);
    }
};

}  // namespace detail

// Whether an update of `current_path` by `new_path` can succeed, checked before the patcher exits (the
// updater reports a failure only after it is gone). Returns 0, or the first problem as a Win32 code:
//   ERROR_FILE_NOT_FOUND (2): a path names nothing;
//   detail::DIRECTORY_NOT_SUPPORTED (336) / ERROR_NOT_SUPPORTED (50): a path names a folder / a device;
//   ERROR_SHARING_VIOLATION (32): the download is still open for writing (the patcher's own stream, a
//     second download of the same name), a handle denies the delete sharing that a rename needs, or a
//     stale backup runs as a program (another instance of the old build);
//   ERROR_NOT_SAME_DEVICE (17): the replacement is on another volume (the swap renames, it never copies);
//   ERROR_INVALID_PARAMETER (87): a path is not the file's own name (a short 8.3 alias, a stream),
//     the replacement is the backup file (<current> with the extension "exe.old"), whose deletion
//     would lose it, or a path holds a NUL;
//   ERROR_ACCESS_DENIED (5): no file can be created and deleted in the current executable's folder, or
//     the current file, the replacement or a stale backup may not be renamed or deleted (the patcher may
//     ask for elevation and try again); another code the system gives there, as it is;
//   ERROR_BAD_EXE_FORMAT (193): the replacement is no executable for the current one's machine (x86,
//     x86-64 or ARM64: another machine, a DLL, truncated, not a program at all).
// Only headers are read (the updater verifies the digest) and nothing is changed or left behind.
inline DWORD check_update(std::wstring_view current_path, std::wstring_view new_path) {
    if (current_path.find(L'\0') != std::wstring_view::npos || new_path.find(L'\0') != std::wstring_view::npos)
        return ERROR_INVALID_PARAMETER;
    const std::wstring current(current_path), replacement(new_path);
    detail::FileHandle current_file(INVALID_HANDLE_VALUE), new_file(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION current_info{}, new_info{};
    if (const DWORD error = detail::open_existing(current, GENERIC_READ, current_file, current_info)) return error;
    // No write sharing: a download that is still being written is refused.
    constexpr DWORD no_writers = FILE_SHARE_READ | FILE_SHARE_DELETE;
    if (const DWORD error = detail::open_existing(replacement, GENERIC_READ, new_file, new_info, 0, no_writers))
        return error;
    if (current_info.dwVolumeSerialNumber != new_info.dwVolumeSerialNumber) return ERROR_NOT_SAME_DEVICE;
    if (!detail::is_own_name(current) || !detail::is_own_name(replacement)) return ERROR_INVALID_PARAMETER;

    const std::wstring backup = detail::backup_path(current);
    if (detail::download_at_backup(backup, replacement, new_info)) return ERROR_INVALID_PARAMETER;

    const std::wstring folder = detail::long_path(current);
    if (const DWORD error = detail::probe_folder(folder.substr(0, folder.find_last_of(L"\\/")))) return error;
    if (const DWORD error = detail::stale_backup_problem(detail::long_path(backup))) return error;
    // The renames need the right to delete both files, whatever their folder allows.
    for (const std::wstring* path : {&current, &replacement}) {
        detail::FileHandle renamed(INVALID_HANDLE_VALUE);
        BY_HANDLE_FILE_INFORMATION info{};
        if (const DWORD error = detail::open_existing(*path, DELETE, renamed, info)) return error;
    }
    const WORD machine = detail::executable_machine(new_file.handle);
    return machine != 0 && machine == detail::executable_machine(current_file.handle) ? 0 : ERROR_BAD_EXE_FORMAT;
}

// Whether start_updater runs check_update first.
enum class checks : std::uint8_t { run, skip };

// The stage at which a start failed: the updater itself, the update's checks, or the start.
enum class stage : std::uint8_t { updater, check, start };

// The result of start_updater_staged: `error` 0 when the updater was started; else its code and the
// stage that gave it.
struct start_result {
    DWORD error;
    patcher_updater::stage stage;
};

namespace detail {

// True when `path` is absolute: a drive, a colon and a separator, or two separators (a UNC, verbatim or
// device path). "C:updater.exe" and "\updater.exe" depend on the working directory.
inline bool is_absolute(std::wstring_view path) {
    const auto separator = [&path](std::size_t at) { return path.size() > at && (path[at] == L'\\' || path[at] == L'/'); };
    if (separator(0)) return separator(1);
    const wchar_t drive = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
    return drive >= L'a' && drive <= L'z' && path.size() > 1 && path[1] == L':' && separator(2);
}

// 0 when `updater_path` can be passed to CreateProcessW as it is and names a regular x86-64 executable,
// else 87 (a NUL, a quote, or a path that the working directory would complete), 2, 336, 50 or 193.
inline DWORD check_updater(std::wstring_view updater_path) {
    if (updater_path.find(L'\0') != std::wstring_view::npos || updater_path.find(L'"') != std::wstring_view::npos ||
        !is_absolute(updater_path))
        return ERROR_INVALID_PARAMETER;
    FileHandle file(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info{};
    if (const DWORD error = open_existing(std::wstring(updater_path), GENERIC_READ, file, info)) return error;
    return executable_machine(file.handle) == IMAGE_FILE_MACHINE_AMD64 ? 0 : ERROR_BAD_EXE_FORMAT;
}

// Starts the updater; 0 or CreateProcessW's code.
inline DWORD create_updater_process(std::wstring_view updater_path, std::uint32_t pid, std::wstring_view current_path,
                                    std::wstring_view new_path, std::wstring_view sha256) {
    const std::wstring application(updater_path);
    // CreateProcessW may write into the command line, so it gets its own copy.
    std::wstring command_line = build_updater_command_line(updater_path, pid, current_path, new_path, sha256);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &process))
        return ::GetLastError();
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return 0;
}

}  // namespace detail

// Starts the updater at `updater_path` for an update of this process and does not wait for it; the
// patcher should then exit so that its executable can be replaced. In order:
//   stage::updater: the updater path must be absolute and hold no NUL or quote (87), and name a regular
//     x86-64 executable (2, 336, 50 or 193 as in check_update);
//   stage::check: a text holding a NUL (87), then check_update's code, unless told to skip it;
//   stage::start: ERROR_BUSY (170) when this process has already started an updater for the same
//     current path, else CreateProcessW's code.
// Nothing is started after a failure. No handle is inherited and both returned handles are closed before
// the function returns.
inline start_result start_updater_staged(std::wstring_view updater_path, std::uint32_t pid,
                                         std::wstring_view current_path, std::wstring_view new_path,
                                         std::wstring_view sha256, checks before = checks::run) {
    if (const DWORD error = detail::check_updater(updater_path)) return {error, stage::updater};
    for (const std::wstring_view text : {current_path, new_path, sha256})
        if (text.find(L'\0') != std::wstring_view::npos) return {ERROR_INVALID_PARAMETER, stage::check};
    const std::wstring started = detail::comparable_path(std::wstring(current_path));
    auto& updates = detail::StartedUpdates::of_this_process();
    if (!updates.claim(started)) return {ERROR_BUSY, stage::start};
    start_result result{0, stage::check};
    if (before == checks::run) result.error = check_update(current_path, new_path);
    if (result.error == 0) result = {detail::create_updater_process(updater_path, pid, current_path, new_path, sha256),
                                     stage::start};
    if (result.error != 0) updates.release(started);
    return result;
}

// start_updater_staged's code alone.
inline DWORD start_updater(std::wstring_view updater_path, std::uint32_t pid, std::wstring_view current_path,
                           std::wstring_view new_path, std::wstring_view sha256, checks before = checks::run) {
    return start_updater_staged(updater_path, pid, current_path, new_path, sha256, before).error;
}

// The updater's report of the last failed update: "patcher-updater.log" beside the updater (one error
// chain in UTF-8, replaced by every failed run, untouched by a successful one).
struct update_log {
    DWORD error;       // 0, ERROR_FILE_NOT_FOUND (2) when there is no log, or why it could not be read
    std::string text;  // the error chain
    FILETIME written;  // when the updater wrote it
};

namespace detail {

inline std::wstring log_path_for(std::wstring_view updater_path) {
    const std::size_t folder = updater_path.find_last_of(L"\\/") + 1;
    return std::wstring(updater_path.substr(0, folder)) + L"patcher-updater.log";
}

}  // namespace detail

// Deletes the log beside the updater at `updater_path`, so that a log read after the next start is that
// update's. Returns 0 (also when there was none) or the system's code: a log that an elevated updater
// wrote may not be deletable by an unelevated patcher (5), so compare its time with the start instead.
inline DWORD clear_update_log(std::wstring_view updater_path) {
    if (::DeleteFileW(detail::log_path_for(updater_path).c_str())) return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

// The log beside the updater at `updater_path` (its first MiB); error 2 when there is none, which after
// clear_update_log means that no update has failed since.
inline update_log read_update_log(std::wstring_view updater_path) {
    update_log log{0, {}, {}};
    detail::FileHandle file(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info{};
    log.error = detail::open_existing(detail::log_path_for(updater_path), GENERIC_READ, file, info,
                                      FILE_FLAG_OPEN_REPARSE_POINT);
    if (log.error != 0) return log;
    log.written = info.ftLastWriteTime;
    log.text.resize(1u << 20);
    DWORD got = 0;
    if (!::ReadFile(file.handle, log.text.data(), static_cast<DWORD>(log.text.size()), &got, nullptr))
        log.error = ::GetLastError();
    log.text.resize(got);
    return log;
}

}  // namespace patcher_updater
#endif
