#include "patcher_updater/start_updater.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "update_request.h"

namespace {

using patcher_updater::build_command_line;
using patcher_updater::build_updater_command_line;
using patcher_updater::quote_argument;

TEST(StartUpdaterQuoting, QuotesOnlyWhereTheSplitterNeedsIt) {
    struct Case {
        std::u16string_view argument;
        std::u16string_view quoted;
    };
    const std::vector<Case> cases = {
        {u"--pid", u"--pid"},
        {u"", uR"("")"},
        {uR"(C:\Program Files\App\patcher.exe)", uR"("C:\Program Files\App\patcher.exe")"},
        {u"a\tb", u"\"a\tb\""},
        {uR"(C:\dir\\)", uR"(C:\dir\\)"},
        {uR"(a"b)", uR"(a\"b)"},
        {uR"(a\"b)", uR"(a\\\"b)"},
        {uR"(a\\"b)", uR"(a\\\\\"b)"},
        {uR"(a\b c)", uR"("a\b c")"},
        {uR"(C:\my dir\)", uR"("C:\my dir\\")"},
        {uR"(C:\my dir\\)", uR"("C:\my dir\\\\")"},
        {uR"(say "hi")", uR"("say \"hi\"")"},
        {uR"(\)", uR"(\)"},
        {u"é中\U0001F600", u"é中\U0001F600"},
    };
    for (const auto& [argument, quoted] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(argument)));
        EXPECT_EQ(quote_argument(argument), quoted);
        EXPECT_EQ(split_command_line(u"p " + quote_argument(argument)),
                  (std::vector<std::u16string>{u"p", std::u16string(argument)}));
    }
}

TEST(StartUpdaterQuoting, WideAndUtf16FormsAgree) {
    EXPECT_EQ(quote_argument(std::wstring_view(LR"(C:\my dir\)")), LR"("C:\my dir\\")");
    EXPECT_EQ(build_updater_command_line(std::wstring_view(L"u.exe"), 1, L"a b", L"", L"x"),
              LR"("u.exe" --pid 1 --current "a b" --new "" --sha256 x)");
}

TEST(StartUpdaterCommandLine, PutsTheProgramInQuotesAndTheFourOptionsAfterIt) {
    const std::u16string line = build_updater_command_line(
        u"C:\\Program Files\\App\\patcher-updater.exe", 4294967295u, u"C:\\Program Files\\App\\patcher.exe",
        u"C:\\Users\\me\\AppData\\Local\\Temp\\patcher.new", u"0123456789abcdef");
    EXPECT_EQ(line, uR"("C:\Program Files\App\patcher-updater.exe" --pid 4294967295)"
                    uR"( --current "C:\Program Files\App\patcher.exe")"
                    uR"( --new C:\Users\me\AppData\Local\Temp\patcher.new --sha256 0123456789abcdef)");

    const auto request = request_from_arguments(split_command_line(line));
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->pid, 4294967295u);
    EXPECT_EQ(request->current_path, "C:\\Program Files\\App\\patcher.exe");
    EXPECT_EQ(request->new_path, "C:\\Users\\me\\AppData\\Local\\Temp\\patcher.new");
    EXPECT_EQ(request->expected_sha256, "0123456789abcdef");
}

// The program name keeps its backslashes, including one right before the
// closing quote, which an argument would have to double.
TEST(StartUpdaterCommandLine, ProgramNameIsOnlyWrapped) {
    const std::u16string_view one[] = {u"a"};
    EXPECT_EQ(build_command_line(u"C:\\dir\\", one), uR"("C:\dir\" a)");
    EXPECT_EQ(split_command_line(build_command_line(u"C:\\dir\\", one)),
              (std::vector<std::u16string>{u"C:\\dir\\", u"a"}));
    EXPECT_EQ(build_command_line(u"", {}), uR"("")");
    const std::u16string_view empty[] = {u""};
    EXPECT_EQ(split_command_line(build_command_line(u"", empty)), (std::vector<std::u16string>{u"", u""}));
}

// Units chosen so that the rules meet often: blanks, quotes and backslashes
// next to each other, plus non-ASCII text, surrogate pairs and lone surrogates.
std::u16string random_text(std::mt19937_64& random, bool for_program_name) {
    static constexpr char16_t UNITS[] = {u'a', u'-', u' ', u'\t', u'"', u'\\', u'\\', u'"', u'\n', u'é', u'中',
                                         u'\xFFFD', char16_t{0xD800}, char16_t{0xDFFF}};
    std::u16string text;
    const auto length = std::uniform_int_distribution<int>(0, 10)(random);
    for (int i = 0; i < length; ++i) {
        const auto pick = std::uniform_int_distribution<std::size_t>(0, std::size(UNITS))(random);
        if (pick == std::size(UNITS)) {
            text += u"\U0001F600";
            continue;
        }
        // A program name cannot hold a quote; a backslash stands in.
        const char16_t unit = UNITS[pick];
        text += for_program_name && unit == u'"' ? u'\\' : unit;
    }
    return text;
}

TEST(StartUpdaterQuoting, SplitUndoesTheQuotingForManyGeneratedLists) {
    std::mt19937_64 random(20240611);
    constexpr int LISTS = 100000;
    for (int list = 0; list < LISTS; ++list) {
        std::vector<std::u16string> arguments{random_text(random, true)};
        const auto count = std::uniform_int_distribution<int>(0, 6)(random);
        for (int i = 0; i < count; ++i) arguments.push_back(random_text(random, false));

        const std::vector<std::u16string_view> views(arguments.begin() + 1, arguments.end());
        const std::u16string line = build_command_line(arguments[0], views);
        const auto split = split_command_line(line);
        ASSERT_EQ(split, arguments) << "list " << list << ", line " << testing::PrintToString(line);
    }
}

}  // namespace
