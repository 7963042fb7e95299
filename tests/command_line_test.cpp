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

TEST(CommandLine, BackslashesAndQuotesAfterTheProgramName) {
    expect_splits({
        {uR"(p --current "C:\Program Files\patcher.exe")", {u"p", u"--current", uR"(C:\Program Files\patcher.exe)"}},
        // n backslashes stay unless a quote follows; then n/2 stay and an odd run escapes it.
        {uR"(p C:\dir\\ \\\x a\)", {u"p", uR"(C:\dir\\)", uR"(\\\x)", uR"(a\)"}},
        {uR"(p \" \\" \\\")", {u"p", u"\"", uR"(\ \")"}},
        {uR"(p \\\\"a b" "a b\\" "a\\\" b" a\\\"b)", {u"p", uR"(\\a b)", uR"(a b\)", uR"(a\" b)", uR"(a\"b)"}},
        {uR"(p a"b c"d "a"b "a""b c" a""b)", {u"p", u"ab cd", u"ab", uR"(a"b c)", u"ab"}},
        {uR"(p "" """" a "" b)", {u"p", u"", u"\"", u"a", u"", u"b"}},
        // A closing quote that ends the line adds the argument even when empty.
        {uR"(p --sha256 "")", {u"p", u"--sha256", u""}},
        {uR"(p a"")", {u"p", u"a"}},
        {uR"(p "a""")", {u"p", u"a\""}},
        // An unterminated quote keeps what it has.
        {uR"(p ")", {u"p", u""}},
        {u"p \"a b \t", {u"p", u"a b \t"}},
        // Only space and tab separate, in runs, and trailing blanks add nothing.
        {u"p  a\t\tb \t", {u"p", u"a", u"b"}},
        {u"p a\nb\rc\vd", {u"p", u"a\nb\rc\vd"}},
        {u"p \t  ", {u"p"}},
    });
}

// Quotes only switch quoting in the program name, and backslashes are literal there.
TEST(CommandLine, ProgramNameRules) {
    expect_splits({
        {uR"("C:\My Tools\patcher-updater.exe" --pid 1)", {uR"(C:\My Tools\patcher-updater.exe)", u"--pid", u"1"}},
        {uR"("C:\dir\" a)", {uR"(C:\dir\)", u"a"}},
        {uR"(C:\dir\\"x y" z)", {uR"(C:\dir\\x y)", u"z"}},
        {uR"(C:\a\"b c)", {uR"(C:\a\b c)"}},
        {u"C:\\u.exe\t--pid\t1", {uR"(C:\u.exe)", u"--pid", u"1"}},
        {u"\"a\tb\"\tc", {u"a\tb", u"c"}},
        {uR"("" a)", {u"", u"a"}},
        {u" a", {u"", u"a"}},
        {u"", {u""}},
        {u"   ", {u""}},
    });
}

TEST(CommandLine, LineEndsAtTheFirstNul) {
    expect_splits({
        {std::u16string_view(u"\0--pid 1", 8), {u""}},
        {std::u16string_view(u"p a\0b c", 7), {u"p", u"a"}},
        {std::u16string_view(u"p \"a\0\" b", 8), {u"p", u"a"}},
        {std::u16string_view(u"p a \0 b", 7), {u"p", u"a"}},
    });
}

TEST(CommandLine, NonAsciiAndUnpairedSurrogatesPassThrough) {
    const std::u16string lone_high(1, char16_t{0xD800}), lone_low(1, char16_t{0xDC00}), pair = u"\U0001F600";
    const std::u16string line = u"p \"" + lone_high + u" x\" " + lone_low + u"\\\"" + pair + u" é中";
    EXPECT_EQ(split_command_line(line), (Arguments{u"p", lone_high + u" x", lone_low + u"\"" + pair, u"é中"}));
}

}  // namespace
