#include "platform/command_line_text.h"

#include <cstddef>

// The patcher quotes its arguments for the updater with the same rule.
#include "patcher_updater/start_updater.hpp"

namespace {

constexpr std::u16string_view INTERPRETER_HEAD = u"cmd.exe /e:ON /v:OFF /d /c \"";

void append_script_argument(std::u16string& line, std::u16string_view argument) {
    line += u'"';
    for (const char16_t unit : argument) {
        line += unit;
        // Each quote flips cmd's quoted state; doubled, the state stays on.
        if (unit == u'"') line += u'"';
    }
    line += u'"';
}

}  // namespace

std::expected<std::u16string, OsError> build_command_line(std::u16string_view program,
                                                          std::span<const std::u16string> arguments) {
    std::u16string line;
    line += u'"';
    line += program;
    line += u'"';
    for (const std::u16string& argument : arguments) {
        if (argument.find(u'\0') != std::u16string::npos)
            return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_DATA_TEXT));
        line += u' ';
        line += patcher_updater::quote_argument(std::u16string_view(argument));
    }
    return line;
}

std::expected<std::u16string, OsError> build_script_command_line(std::u16string_view script_path,
                                                                 std::span<const std::u16string> arguments) {
    if (script_path.find(u'"') != std::u16string_view::npos)
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, SCRIPT_PATH_QUOTE_TEXT));
    std::u16string line(INTERPRETER_HEAD);
    line += u'"';
    line += script_path;
    line += u'"';
    for (const std::u16string& argument : arguments) {
        if (argument.find(u'\0') != std::u16string::npos)
            return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_DATA_TEXT));
        if (argument.find_first_of(u"\r\n") != std::u16string::npos)
            return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, SCRIPT_ARGUMENT_TEXT));
        line += u' ';
        append_script_argument(line, argument);
    }
    line += u'"';
    return line;
}
