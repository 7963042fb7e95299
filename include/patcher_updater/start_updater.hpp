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

// Opens `path` to read, directories included (a link there followed unless `flags` say otherwise); a
// missing file or folder reads as ERROR_FILE_NOT_FOUND.
inline DWORD open_existing(const std::wstring& path, DWORD access, FileHandle& file, BY_HANDLE_FILE_INFORMATION& info,
                           DWORD flags = 0) {
    file.handle = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | IDENTIFY_ONLY | flags, nullptr);
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

// True when the file's first bytes are an x86-64 PE image's headers: "MZ", the offset of the PE
// signature at 0x3C, "PE\0\0", then the machine.
inline bool is_x64_image(HANDLE file) {
    const auto read_at = [file](LONGLONG offset, unsigned char* bytes, DWORD size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return ::ReadFile(file, bytes, size, &got, &at) && got == size;
    };
    unsigned char dos[64], nt[6];
    if (!read_at(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const LONGLONG pe = dos[0x3C] | dos[0x3D] << 8 | dos[0x3E] << 16 | static_cast<LONGLONG>(dos[0x3F]) << 24;
    return read_at(pe, nt, sizeof nt) && nt[0] == 'P' && nt[1] == 'E' && nt[2] == 0 && nt[3] == 0 &&
           (nt[4] | nt[5] << 8) == IMAGE_FILE_MACHINE_AMD64;
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
//   ERROR_NOT_SAME_DEVICE (17): the replacement is on another volume (the swap renames, it never copies);
//   ERROR_INVALID_PARAMETER (87): a path is not the file's own name (a short 8.3 alias, a stream),
//     the replacement is the backup file (<current> with the extension "exe.old"), whose deletion
//     would lose it, or a path holds a NUL;
//   ERROR_ACCESS_DENIED (5): no file can be created and deleted in the current executable's folder (the
//     patcher may ask for elevation and try again); another code the system gives there, as it is;
//   ERROR_BAD_EXE_FORMAT (193): the replacement is no x86-64 executable (another machine, truncated,
//     not a program at all).
// Only headers are read (the updater verifies the digest) and nothing is left behind.
inline DWORD check_update(std::wstring_view current_path, std::wstring_view new_path) {
    if (current_path.find(L'\0') != std::wstring_view::npos || new_path.find(L'\0') != std::wstring_view::npos)
        return ERROR_INVALID_PARAMETER;
    const std::wstring current(current_path), replacement(new_path);
    detail::FileHandle current_file(INVALID_HANDLE_VALUE), new_file(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION current_info{}, new_info{};
    if (const DWORD error = detail::open_existing(current, FILE_READ_ATTRIBUTES, current_file, current_info)) return error;
    if (const DWORD error = detail::open_existing(replacement, GENERIC_READ, new_file, new_info)) return error;
    if (current_info.dwVolumeSerialNumber != new_info.dwVolumeSerialNumber) return ERROR_NOT_SAME_DEVICE;
    if (!detail::is_own_name(current) || !detail::is_own_name(replacement)) return ERROR_INVALID_PARAMETER;

    if (detail::download_at_backup(detail::backup_path(current), replacement, new_info)) return ERROR_INVALID_PARAMETER;

    const std::wstring folder = detail::long_path(current);
    if (const DWORD error = detail::probe_folder(folder.substr(0, folder.find_last_of(L"\\/")))) return error;
    return detail::is_x64_image(new_file.handle) ? 0 : ERROR_BAD_EXE_FORMAT;
}

// Whether start_updater runs check_update first.
enum class checks : std::uint8_t { run, skip };

namespace detail {

// The checks unless skipped, then the start.
inline DWORD start_checked(std::wstring_view updater_path, std::uint32_t pid, std::wstring_view current_path,
                           std::wstring_view new_path, std::wstring_view sha256, checks before) {
    if (before == checks::run)
        if (const DWORD problem = check_update(current_path, new_path)) return problem;
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

// Starts the updater at `updater_path` for an update of this process and does
// not wait for it; the patcher should then exit so that its executable can be
// replaced. First runs check_update (unless told to skip it) and returns its
// code without starting anything when it finds a problem. Returns 0, or the
// Win32 error code of the failure: ERROR_INVALID_PARAMETER when a text holds a
// NUL or the updater path a quote (neither can be passed on a command line),
// ERROR_BUSY (170) when this process has already started an updater for the
// same current path, else CreateProcessW's. No handle is inherited and both
// returned handles are closed before the function returns.
inline DWORD start_updater(std::wstring_view updater_path, std::uint32_t pid, std::wstring_view current_path,
                           std::wstring_view new_path, std::wstring_view sha256, checks before = checks::run) {
    for (const std::wstring_view text : {updater_path, current_path, new_path, sha256})
        if (text.find(L'\0') != std::wstring_view::npos) return ERROR_INVALID_PARAMETER;
    if (updater_path.find(L'"') != std::wstring_view::npos) return ERROR_INVALID_PARAMETER;
    const std::wstring started = detail::comparable_path(std::wstring(current_path));
    auto& updates = detail::StartedUpdates::of_this_process();
    if (!updates.claim(started)) return ERROR_BUSY;
    const DWORD error = detail::start_checked(updater_path, pid, current_path, new_path, sha256, before);
    if (error != 0) updates.release(started);
    return error;
}

}  // namespace patcher_updater
#endif
