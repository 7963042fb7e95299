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

// `head`, the program in quotes, then each argument after a space as
// `append_argument` writes it (it may refuse one). An argument holding a NUL
// is refused first: the system would end the line there.
template <typename AppendArgument>
std::expected<std::u16string, OsError> join_command_line(std::u16string_view head, std::u16string_view program,
                                                         std::span<const std::u16string> arguments,
                                                         AppendArgument append_argument) {
    std::u16string line(head);
    line += u'"';
    line += program;
    line += u'"';
    for (const std::u16string& argument : arguments) {
        if (argument.find(u'\0') != std::u16string::npos)
            return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_DATA_TEXT));
        line += u' ';
        if (auto appended = append_argument(line, argument); !appended) return std::unexpected(appended.error());
    }
    return line;
}

}  // namespace

std::expected<std::u16string, OsError> build_command_line(std::u16string_view program,
                                                          std::span<const std::u16string> arguments) {
    return join_command_line({}, program, arguments, [](std::u16string& line, std::u16string_view argument) {
        line += patcher_updater::quote_argument(argument);
        return std::expected<void, OsError>();
    });
}

std::expected<std::u16string, OsError> build_script_command_line(std::u16string_view script_path,
                                                                 std::span<const std::u16string> arguments) {
    if (script_path.find(u'"') != std::u16string_view::npos)
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, SCRIPT_PATH_QUOTE_TEXT));
    auto line = join_command_line(INTERPRETER_HEAD, script_path, arguments,
                                  [](std::u16string& text, std::u16string_view argument) -> std::expected<void, OsError> {
                                      if (argument.find_first_of(u"\r\n") != std::u16string_view::npos)
                                          return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput,
                                                                                       SCRIPT_ARGUMENT_TEXT));
                                      append_script_argument(text, argument);
                                      return {};
                                  });
    if (line) *line += u'"';
    return line;
}
