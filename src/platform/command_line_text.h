#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/os_error.h"

// The command lines of a new process, as text. No Windows header: the rules
// are on UTF-16 units alone.

inline constexpr std::string_view NUL_IN_DATA_TEXT = "nul byte found in provided data";
inline constexpr std::string_view SCRIPT_PATH_QUOTE_TEXT = "Windows file names may not contain `\"` or end with `\\`";
inline constexpr std::string_view SCRIPT_ARGUMENT_TEXT = "batch file arguments are invalid";

// The program text in double quotes, neither escaped nor checked, then each
// argument after one space, quoted when empty or holding a space or tab, with
// backslashes doubled where they precede a quote (the split rule of the C
// runtime). Fails with InvalidInput for an argument holding a NUL.
[[nodiscard]] std::expected<std::u16string, OsError> build_command_line(std::u16string_view program,
                                                                        std::span<const std::u16string> arguments);

// The command line that makes cmd.exe run a script: the interpreter head,
// then the quoted script path and arguments, all inside one pair of quotes
// that cmd strips. Every argument is quoted and its quotes doubled, so that
// cmd takes no character of it as an operator (backslashes mean nothing to
// cmd and are kept); cmd still expands %name% inside quotes, and the restart
// passes no arguments to a script. Fails with
// InvalidInput for a script path holding a quote, and for an argument holding
// a NUL, a carriage return or a line feed, which would end the command.
[[nodiscard]] std::expected<std::u16string, OsError> build_script_command_line(
    std::u16string_view script_path, std::span<const std::u16string> arguments);
