#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using Arguments = std::vector<std::u16string>;

struct SplitCase {
    std::u16string_view line;
    Arguments expected;
};

void expect_splits(const std::vector<SplitCase>& cases) {
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(line)));
        EXPECT_EQ(split_command_line(line), expected);
    }
}

TEST(CommandLine, QuotingRulesAfterTheProgramName) {
    expect_splits({
        {uR"(p --current "C:\Program Files\App\patcher.exe")",
         {u"p", u"--current", uR"(C:\Program Files\App\patcher.exe)"}},
        {uR"(p C:\dir\\)", {u"p", uR"(C:\dir\\)"}},
        {uR"(p "a\"b")", {u"p", u"a\"b"}},
        {uR"(p "a""b")", {u"p", u"a\"b"}},
        {uR"(p a\\\"b)", {u"p", uR"(a\"b)"}},
        {uR"(p a\\"b c")", {u"p", uR"(a\b c)"}},
        {u"p a   b", {u"p", u"a", u"b"}},
        {u"p a \t \t b", {u"p", u"a", u"b"}},
        {uR"(p a "" b)", {u"p", u"a", u"", u"b"}},
    });
}

TEST(CommandLine, BackslashRunsBeforeAQuote) {
    expect_splits({
        // n backslashes not before a quote stay; before one, n/2 stay and an
        // odd run escapes the quote.
        {uR"(p \\\x)", {u"p", uR"(\\\x)"}},
        {uR"(p \")", {u"p", u"\""}},
        {uR"(p \\")", {u"p", uR"(\)"}},
        {uR"(p \\\")", {u"p", uR"(\")"}},
        {uR"(p \\\\"a b")", {u"p", uR"(\\a b)"}},
        {uR"(p "a b\\" c)", {u"p", uR"(a b\)", u"c"}},
        {uR"(p "a\\\" b" c)", {u"p", uR"(a\" b)", u"c"}},
        {uR"(p a\)", {u"p", uR"(a\)"}},
    });
}

TEST(CommandLine, QuotesSwitchQuotingAndDoubledQuotesInsideAreLiteral) {
    expect_splits({
        {uR"(p a"b c"d e)", {u"p", u"ab cd", u"e"}},
        {uR"(p "a"b)", {u"p", u"ab"}},
        {u"p \"a\tb\"", {u"p", u"a\tb"}},
        // "" inside quotes keeps quoting on, so the space stays in.
        {uR"(p "a""b c")", {u"p", uR"(a"b c)"}},
        {uR"(p "")", {u"p", u""}},
        {uR"(p """")", {u"p", u"\""}},
        // Outside quotes, "" opens and closes quoting: nothing is added.
        {uR"(p a""b)", {u"p", u"ab"}},
    });
}

// A closing quote that ends the line adds the argument even when empty; an
// unterminated quote keeps what it has.
TEST(CommandLine, QuoteAtTheEndOfTheLine) {
    expect_splits({
        {uR"(p --sha256 "")", {u"p", u"--sha256", u""}},
        {uR"(p a"")", {u"p", u"a"}},
        {uR"(p "a""")", {u"p", u"a\""}},
        {uR"(p ")", {u"p", u""}},
        {uR"(p "a b)", {u"p", u"a b"}},
        {u"p \"a \t", {u"p", u"a \t"}},
        {uR"(p "" )", {u"p", u""}},
    });
}

TEST(CommandLine, BlanksAroundArguments) {
    expect_splits({
        {u"p", {u"p"}},
        {u"p ", {u"p"}},
        {u"p \t  ", {u"p"}},
        {u"p\ta", {u"p", u"a"}},
        {u"p a  ", {u"p", u"a"}},
        {u"p  a\t\tb\t", {u"p", u"a", u"b"}},
        // Only space and tab separate.
        {u"p a\nb\rc\vd", {u"p", u"a\nb\rc\vd"}},
    });
}

TEST(CommandLine, ProgramNameRules) {
    expect_splits({
        {uR"("C:\My Tools\patcher-updater.exe" --pid 1)", {uR"(C:\My Tools\patcher-updater.exe)", u"--pid", u"1"}},
        // Backslashes are literal and cannot escape a quote.
        {uR"("C:\dir\" a)", {uR"(C:\dir\)", u"a"}},
        {uR"(C:\dir\\"x y" z)", {uR"(C:\dir\\x y)", u"z"}},
        {uR"(C:\a\"b c)", {uR"(C:\a\b c)"}},
        // The name ends at a tab as at a space.
        {u"C:\\u.exe\t--pid\t1", {uR"(C:\u.exe)", u"--pid", u"1"}},
        {u"\"a\tb\"\tc", {u"a\tb", u"c"}},
        {uR"("" a)", {u"", u"a"}},
        {u" a", {u"", u"a"}},
        {uR"(a""b c)", {u"ab", u"c"}},
    });
}

TEST(CommandLine, EmptyLineGivesOnlyAProgramName) {
    expect_splits({
        {u"", {u""}},
        {std::u16string_view(u"\0--pid 1", 8), {u""}},
        {u"   ", {u""}},
    });
}

TEST(CommandLine, LineEndsAtAnEmbeddedNul) {
    expect_splits({
        {std::u16string_view(u"p a\0b c", 7), {u"p", u"a"}},
        {std::u16string_view(u"p \"a\0\" b", 8), {u"p", u"a"}},
        {std::u16string_view(u"p a \0 b", 7), {u"p", u"a"}},
    });
}

TEST(CommandLine, NonAsciiAndUnpairedSurrogatesPassThrough) {
    const std::u16string lone_high(1, char16_t{0xD800});
    const std::u16string lone_low(1, char16_t{0xDC00});
    const std::u16string pair = u"\U0001F600";
    const std::u16string line = u"p \"" + lone_high + u" x\" " + lone_low + u"\\\"" + pair + u" é中";
    EXPECT_EQ(split_command_line(line), (Arguments{u"p", lone_high + u" x", lone_low + u"\"" + pair, u"é中"}));
}

}  // namespace
