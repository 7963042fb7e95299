#include "platform/command_line_text.h"

#include <cstddef>

namespace {

constexpr std::u16string_view INTERPRETER_HEAD = u"cmd.exe /e:ON /v:OFF /d /c \"";

void append_argument(std::u16string& line, std::u16string_view argument) {
    const bool quoted = argument.empty() || argument.find_first_of(u" \t") != std::u16string_view::npos;
    if (quoted) line += u'"';
    std::size_t backslashes = 0;
    for (const char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
            continue;
        }
        if (unit == u'"') {
            line.append(2 * backslashes + 1, u'\\');
        } else {
            line.append(backslashes, u'\\');
        }
        backslashes = 0;
        line += unit;
    }
    if (quoted) {
        // Doubled so that the closing quote is not taken as escaped.
        line.append(2 * backslashes, u'\\');
        line += u'"';
    } else {
        line.append(backslashes, u'\\');
    }
}

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
        append_argument(line, argument);
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
