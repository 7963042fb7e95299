// The command line from its text to the update request: splitting, options
// and the process id, as one table.
#include <gtest/gtest.h>

#include "command_line.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/wide_text.h"
#include "update_request.h"

namespace {

const std::string LONE = "\xED\xA0\x80";      // a lone high surrogate in WTF-8
const std::string REPLACED = "\xEF\xBF\xBD";  // U+FFFD

// "pid|current|new|sha256" of the request, or the chain's text.
std::string outcome(std::string_view line) {
    const auto request = request_from_arguments(split_command_line(to_utf16(line)));
    if (!request) return chain_text(request.error(), [](std::uint32_t) { return std::string("?"); });
    return std::to_string(request->pid) + "|" + request->current_path + "|" + request->new_path + "|" +
           request->expected_sha256;
}

TEST(CommandLine, TextBecomesTheRequestOrTheFirstProblem) {
    const std::string rest = " --current a --new b --sha256 c";
    const std::pair<std::string, std::string> rows[] = {
        {R"(u --pid 1 --current "C:\Program Files\p.exe" --new n --sha256 s)", R"(1|C:\Program Files\p.exe|n|s)"},
        {R"(u --pid 1 --current C:\dir\\ --new \\\"x --sha256 "a\\")", R"(1|C:\dir\\|\"x|a\)"},
        {R"(u --pid 1 --current a"b c"d --new "a""b" --sha256 "")", R"(1|ab cd|a"b|)"},
        {R"(u --pid 1 --current a --new b --sha256 ")", "1|a|b|"},
        {R"("C:\My Tools\u.exe" --pid 2)" + rest, "2|a|b|c"},
        {"u --pid 1 --pid 2 --x y" + rest + " -- z", "2|a|b|c"},
        {"u --current --new --new b --sha256 c --pid 1", "1|--new|b|c"},
        {"u ----pid 5" + rest, "5|a|b|c"},
        {"u" + LONE + ".exe --pid 5" + rest, "5|a|b|c"},
        {"u", "missing --pid"},
        {"u ---pid 5" + rest, "missing --pid"},
        {"u -pid 5", "unexpected argument: -pid"},
        {"u \"\" x", "unexpected argument: "},
        {"u --verbose --pid 1", "unexpected argument: 1"},
        {"u --pid", "missing value for --pid"},
        {"u --pid 1 --current a" + LONE, "argument is not valid unicode: a" + REPLACED},
        {"u --pid +42" + rest, "42|a|b|c"},
        {"u --pid 4294967295" + rest, "4294967295|a|b|c"},
        {"u --pid \"\"", "--pid must be an integer: cannot parse integer from empty string"},
        {"u --pid 4294967296", "--pid must be an integer: number too large to fit in target type"},
        {"u --pid 42949672960x", "--pid must be an integer: number too large to fit in target type"},
    };
    for (const auto& [line, expected] : rows) EXPECT_EQ(outcome(line), expected) << line;
    for (const std::string_view invalid : {"-1", "+", "-", "0x2A", "\" 42\"", "4.2", "4294967295x"})
        EXPECT_EQ(outcome("u --pid " + std::string(invalid)), "--pid must be an integer: invalid digit found in string")
            << invalid;
    EXPECT_EQ(outcome("u --pid 1 --sha256 c --new b"), "missing --current");
    EXPECT_EQ(outcome("u --pid 1 --current a --sha256 c"), "missing --new");
    EXPECT_EQ(outcome("u --pid 1 --current a --new b"), "missing --sha256");
}

// Whatever the patcher quotes splits back into the same list: spaces and tabs, quotes and the backslashes
// before them, an empty argument, a lone surrogate.
TEST(CommandLine, QuotedArgumentsSplitBackUnchanged) {
    const std::vector<std::u16string> list = {
        u"C:\\My Tools\\u.exe", u"a\tb", u"a\\\"b", u"C:\\dir\\", u"say \"hi\"\\", u"", std::u16string(1, 0xD800)};
    const std::vector<std::u16string_view> arguments(list.begin() + 1, list.end());
    EXPECT_EQ(split_command_line(patcher_updater::build_command_line(list[0], arguments)), list);
}

}  // namespace
