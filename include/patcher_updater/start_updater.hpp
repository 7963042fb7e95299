#pragma once

// For the patcher: starts patcher-updater with the four options it reads
// (--pid, --current, --new, --sha256). Standalone: needs C++20's standard
// library and, on Windows, <windows.h>. The quoting also has char16_t forms,
// which are the same on every platform.
//
// The quoting here is the inverse of the updater's command-line splitting:
// an argument is quoted when it is empty or holds a space or tab; a quote in
// it is escaped with a backslash, and the backslashes directly before a quote
// (its own or the closing one) are doubled. Backslashes elsewhere stay as they
// are. The program name is only wrapped in quotes, because backslashes are
// literal there and a quote cannot be escaped in it.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

}  // namespace patcher_updater

#ifdef _WIN32
#include <windows.h>

namespace patcher_updater {

// Starts the updater at `updater_path` for an update of this process and does
// not wait for it; the patcher should then exit so that its executable can be
// replaced. Returns 0, or the Win32 error code of the failure:
// ERROR_INVALID_PARAMETER when a text holds a NUL or the updater path a quote
// (neither can be passed on a command line). No handle is inherited and both
// returned handles are closed before the function returns.
inline DWORD start_updater(std::wstring_view updater_path, std::uint32_t pid, std::wstring_view current_path,
                           std::wstring_view new_path, std::wstring_view sha256) {
    for (const std::wstring_view text : {updater_path, current_path, new_path, sha256})
        if (text.find(L'\0') != std::wstring_view::npos) return ERROR_INVALID_PARAMETER;
    if (updater_path.find(L'"') != std::wstring_view::npos) return ERROR_INVALID_PARAMETER;

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

}  // namespace patcher_updater
#endif
