#include "options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "update_request.h"

namespace {

using Arguments = std::vector<std::u16string>;

const std::u16string LONE_HIGH(1, char16_t{0xD800});
const std::u16string LONE_LOW(1, char16_t{0xDC00});
const std::string REPLACED = "\xEF\xBF\xBD";

std::string text_of(const ErrorChain& chain) {
    return chain_text(chain, [](std::uint32_t) -> std::string { return "no system message expected"; });
}

// The arguments after a program name.
Arguments command(std::initializer_list<std::u16string> after_program) {
    Arguments arguments{u"patcher-updater.exe"};
    arguments.insert(arguments.end(), after_program);
    return arguments;
}

TEST(OptionsParse, StoresNamesWithoutLeadingDashesAndLaterValuesWin) {
    const std::vector<std::pair<Arguments, OptionMap>> cases = {
        {Arguments{}, {}},
        {command({u"--a", u"1", u"--b", u"2", u"----a", u"3"}), {{"a", "3"}, {"b", "2"}}},
        {command({u"---pid", u"5", u"----", u"x"}), {{"-pid", "5"}, {"", "x"}}},
        {command({u"--current", u"--new", u"--sha256", u""}), {{"current", "--new"}, {"sha256", ""}}},
        {command({u"--current", u"C:\\é\\中\\\U0001F600.exe"}),
         {{"current", "C:\\\xC3\xA9\\\xE4\xB8\xAD\\\xF0\x9F\x98\x80.exe"}}},
        // The program name is never read, so a lone surrogate there is harmless.
        {Arguments{LONE_HIGH, u"--pid", u"1"}, {{"pid", "1"}}},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto options = parse_options(arguments);
        ASSERT_TRUE(options.has_value()) << text_of(options.error());
        EXPECT_EQ(*options, expected);
    }
}

TEST(OptionsParse, FirstFailureIsReportedWithTheArgumentAsWritten) {
    const std::vector<std::pair<Arguments, std::string>> cases = {
        {command({u"-pid", u"5"}), "unexpected argument: -pid"},
        {command({u""}), "unexpected argument: "},
        {command({u"--pid"}), "missing value for --pid"},
        {command({u"----pid"}), "missing value for ----pid"},
        // --pid becomes the value of --verbose, so 1 stands in option position.
        {command({u"--verbose", u"--pid", u"1"}), "unexpected argument: 1"},
        {command({u"--cur" + LONE_HIGH + u"rent", u"x"}), "argument is not valid unicode: --cur" + REPLACED + "rent"},
        {command({u"--current", LONE_HIGH + LONE_HIGH + u"\U0001F600"}),
         "argument is not valid unicode: " + REPLACED + REPLACED + "\xF0\x9F\x98\x80"},
        // The argument is converted before its dashes are read.
        {command({LONE_LOW}), "argument is not valid unicode: " + REPLACED},
        // Arguments after the point where parsing stops are not looked at.
        {command({u"x", u"--a", LONE_HIGH}), "unexpected argument: x"},
        {command({u"--a", u"1", u"b", LONE_HIGH}), "unexpected argument: b"},
        {command({u"--a", LONE_LOW, u"b"}), "argument is not valid unicode: " + REPLACED},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto options = parse_options(arguments);
        ASSERT_FALSE(options.has_value());
        EXPECT_EQ(text_of(options.error()), expected);
    }
}

TEST(OptionsRequired, GivesTheStoredValueOrNamesTheMissingOption) {
    const OptionMap options = {{"pid", "7"}, {"current", ""}, {"PID", "8"}};
    EXPECT_EQ(required_option(options, "pid"), std::string_view("7"));
    EXPECT_EQ(required_option(options, "current"), std::string_view(""));
    EXPECT_FALSE(required_option(options, "Pid").has_value());
    const auto missing = required_option(options, "sha256");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(text_of(missing.error()), "missing --sha256");
}

TEST(OptionsProcessId, ParsesUnsignedDecimalWithTheFirstDecidingByte) {
    using enum ParseIntError;
    const auto invalid = std::unexpected(InvalidDigit), overflow = std::unexpected(PosOverflow);
    const std::vector<std::pair<std::string_view, std::expected<std::uint32_t, ParseIntError>>> cases = {
        {"0", 0u}, {"+42", 42u}, {"007", 7u}, {"4294967295", 4294967295u}, {"0004294967295", 4294967295u},
        {"4294967296", overflow}, {"4294967300", overflow}, {"9999999999", overflow},
        {"18446744073709551616", overflow}, {"", std::unexpected(Empty)},
        {"+", invalid}, {"-", invalid}, {"-1", invalid}, {"++1", invalid}, {" 42", invalid}, {"42 ", invalid},
        {"0x2A", invalid}, {std::string_view("4\0", 2), invalid},
        // Fullwidth digits are not ASCII digits.
        {"\xEF\xBC\x94\xEF\xBC\x92", invalid},
        // Overflow before a bad byte, and a bad byte before overflow.
        {"42949672960x", overflow}, {"4294967295x", invalid}, {"x99999999999", invalid},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_EQ(parse_process_id(text), expected);
    }
}

// Every order, after an unknown option and an earlier --pid; the values are taken over as they are.
TEST(OptionsRequest, FourOptionsInAnyOrderGiveTheSameRequest) {
    const Arguments pairs[] = {
        {u"--pid", u"+01234"}, {u"--current", u""}, {u"--new", u" rel\\new.exe "}, {u"--sha256", u" not hex "}};
    std::array<int, 4> order = {0, 1, 2, 3};
    do {
        Arguments arguments = command({u"--verbose", u"yes", u"--pid", u"1"});
        for (const int pair : order) arguments.insert(arguments.end(), pairs[pair].begin(), pairs[pair].end());
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto request = request_from_arguments(arguments);
        ASSERT_TRUE(request.has_value()) << text_of(request.error());
        EXPECT_EQ(request->pid, 1234u);
        EXPECT_EQ(request->current_path, "");
        EXPECT_EQ(request->new_path, " rel\\new.exe ");
        EXPECT_EQ(request->expected_sha256, " not hex ");
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(OptionsRequest, ReportsTheFirstProblemInTheOrderPidCurrentNewSha256) {
    const std::vector<std::pair<Arguments, std::string>> cases = {
        {command({}), "missing --pid"},
        {command({u"--PID", u"5", u"--current", u"a", u"--new", u"b", u"--sha256", u"c"}), "missing --pid"},
        {command({u"--pid", u"", u"--current", u"a"}),
         "--pid must be an integer: cannot parse integer from empty string"},
        {command({u"--pid", u"-1"}), "--pid must be an integer: invalid digit found in string"},
        {command({u"--pid", u"4294967296"}), "--pid must be an integer: number too large to fit in target type"},
        {command({u"--pid", u"1", u"--sha256", u"c", u"--new", u"b"}), "missing --current"},
        {command({u"--pid", u"1", u"--current", u"a", u"--sha256", u"c"}), "missing --new"},
        {command({u"--pid", u"1", u"--current", u"a", u"--new", u"b"}), "missing --sha256"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto request = request_from_arguments(arguments);
        ASSERT_FALSE(request.has_value());
        EXPECT_EQ(text_of(request.error()), expected);
    }
}

}  // namespace
