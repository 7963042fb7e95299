#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a process command line into its arguments, the program name first.
// Works on UTF-16 units up to the first NUL (the line's terminator), so any
// text, unpaired surrogates included, splits without failing.
//
// The program name ends at a space or tab outside quotes; quotes only switch
// quoting and backslashes are literal in it. The arguments after it follow the
// backslash-and-quote rules that the patcher's quoting helper produces
// (include/patcher_updater/start_updater.hpp). An empty line gives a list of
// one empty program name.
[[nodiscard]] std::vector<std::u16string> split_command_line(std::u16string_view line);
