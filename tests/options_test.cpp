#include "options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "update_request.h"

namespace {

using Arguments = std::vector<std::u16string>;

const std::u16string LONE_HIGH(1, char16_t{0xD800});
const std::u16string LONE_LOW(1, char16_t{0xDC00});
constexpr std::string_view REPLACEMENT_UTF8 = "\xEF\xBF\xBD";

std::string no_system_message(std::uint32_t) { return "no system message expected"; }

std::string text_of(const ErrorChain& chain) { return chain_text(chain, no_system_message); }

// The arguments after a program name.
Arguments command(std::initializer_list<std::u16string> after_program) {
    Arguments arguments{u"patcher-updater.exe"};
    arguments.insert(arguments.end(), after_program);
    return arguments;
}

TEST(OptionsParse, StoresNamesWithoutLeadingDashesAndLaterValuesWin) {
    struct Case {
        Arguments arguments;
        OptionMap expected;
    };
    const std::vector<Case> cases = {
        {command({}), {}},
        {Arguments{}, {}},
        {command({u"--verbose", u"yes"}), {{"verbose", "yes"}}},
        {command({u"--pid", u"1", u"--pid", u"2"}), {{"pid", "2"}}},
        {command({u"----pid", u"5"}), {{"pid", "5"}}},
        {command({u"---pid", u"5"}), {{"-pid", "5"}}},
        {command({u"--PID", u"5"}), {{"PID", "5"}}},
        {command({u"--pid=5", u"x"}), {{"pid=5", "x"}}},
        {command({u"--", u"x"}), {{"", "x"}}},
        {command({u"----", u"x"}), {{"", "x"}}},
        {command({u"--current", u"--new"}), {{"current", "--new"}}},
        {command({u"--sha256", u""}), {{"sha256", ""}}},
        {command({u"--a", u"1", u"--b", u"2", u"----a", u"3"}), {{"a", "3"}, {"b", "2"}}},
        {command({u"--current", u"C:\\é\\中\\\U0001F600.exe"}), {{"current", "C:\\\xC3\xA9\\\xE4\xB8\xAD\\\xF0\x9F\x98\x80.exe"}}},
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
    struct Case {
        Arguments arguments;
        std::string expected;
    };
    const std::string replaced(REPLACEMENT_UTF8);
    const std::vector<Case> cases = {
        {command({u"-pid", u"5"}), "unexpected argument: -pid"},
        {command({u"-"}), "unexpected argument: -"},
        {command({u"x"}), "unexpected argument: x"},
        {command({u""}), "unexpected argument: "},
        {command({u"--pid"}), "missing value for --pid"},
        {command({u"----pid"}), "missing value for ----pid"},
        {command({u"--pid=5"}), "missing value for --pid=5"},
        {command({u"--"}), "missing value for --"},
        // --pid becomes the value of --verbose, so 1 stands in option position.
        {command({u"--verbose", u"--pid", u"1"}), "unexpected argument: 1"},
        {command({u"--a", u"1", u"b", u"--c"}), "unexpected argument: b"},
        {command({u"--cur" + LONE_HIGH + u"rent", u"x"}), "argument is not valid unicode: --cur" + replaced + "rent"},
        {command({u"--current", u"a" + LONE_LOW + u"b"}), "argument is not valid unicode: a" + replaced + "b"},
        {command({u"--current", LONE_HIGH + LONE_HIGH + u"\U0001F600"}),
         "argument is not valid unicode: " + replaced + replaced + "\xF0\x9F\x98\x80"},
        // The argument is taken, and so converted, before its dashes are read.
        {command({LONE_LOW}), "argument is not valid unicode: " + replaced},
        // Arguments after the point where parsing stops are not looked at.
        {command({u"x", u"--a", LONE_HIGH}), "unexpected argument: x"},
        {command({u"--a", u"1", u"b", LONE_HIGH}), "unexpected argument: b"},
        {command({u"--a", LONE_LOW, u"b"}), "argument is not valid unicode: " + replaced},
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
    ASSERT_EQ(required_option(options, "pid"), std::string_view("7"));
    ASSERT_EQ(required_option(options, "current"), std::string_view(""));
    const auto missing = required_option(options, "sha256");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(text_of(missing.error()), "missing --sha256");
    EXPECT_FALSE(required_option(options, "Pid").has_value());
}

TEST(OptionsProcessId, ParsesUnsignedDecimalWithTheFirstDecidingByte) {
    struct Case {
        std::string_view text;
        std::expected<std::uint32_t, ParseIntError> expected;
    };
    using enum ParseIntError;
    const std::vector<Case> cases = {
        {"0", 0u},
        {"42", 42u},
        {"+42", 42u},
        {"007", 7u},
        {"+0", 0u},
        {"4294967295", 4294967295u},
        {"0004294967295", 4294967295u},
        {"4294967296", std::unexpected(PosOverflow)},
        {"4294967300", std::unexpected(PosOverflow)},
        {"9999999999", std::unexpected(PosOverflow)},
        {"10000000000", std::unexpected(PosOverflow)},
        {"99999999999", std::unexpected(PosOverflow)},
        {"18446744073709551616", std::unexpected(PosOverflow)},
        {"", std::unexpected(Empty)},
        {"+", std::unexpected(InvalidDigit)},
        {"-", std::unexpected(InvalidDigit)},
        {"-1", std::unexpected(InvalidDigit)},
        {"-0", std::unexpected(InvalidDigit)},
        {"++1", std::unexpected(InvalidDigit)},
        {"+-1", std::unexpected(InvalidDigit)},
        {" 42", std::unexpected(InvalidDigit)},
        {"42 ", std::unexpected(InvalidDigit)},
        {"4.2", std::unexpected(InvalidDigit)},
        {"0x2A", std::unexpected(InvalidDigit)},
        {"42a", std::unexpected(InvalidDigit)},
        {std::string_view("4\0", 2), std::unexpected(InvalidDigit)},
        // Arabic-Indic and fullwidth digits are not ASCII digits.
        {"\xD9\xA4\xD9\xA2", std::unexpected(InvalidDigit)},
        {"\xEF\xBC\x94\xEF\xBC\x92", std::unexpected(InvalidDigit)},
        // The first deciding byte wins: overflow before a bad byte, and a bad
        // byte before overflow.
        {"42949672960x", std::unexpected(PosOverflow)},
        {"4294967295x", std::unexpected(InvalidDigit)},
        {"x99999999999", std::unexpected(InvalidDigit)},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_EQ(parse_process_id(text), expected);
    }
}

Arguments full_command() {
    return command({u"--pid", u"1234", u"--current", u"C:\\App\\patcher.exe", u"--new", u"C:\\App\\patcher.new",
                    u"--sha256", u"AbCd"});
}

void expect_full_request(const std::expected<UpdateRequest, ErrorChain>& request) {
    ASSERT_TRUE(request.has_value()) << text_of(request.error());
    EXPECT_EQ(request->pid, 1234u);
    EXPECT_EQ(request->current_path, "C:\\App\\patcher.exe");
    EXPECT_EQ(request->new_path, "C:\\App\\patcher.new");
    EXPECT_EQ(request->expected_sha256, "AbCd");
}

TEST(OptionsRequest, FourOptionsInAnyOrderGiveTheSameRequest) {
    const Arguments full = full_command();
    std::array<int, 4> order = {0, 1, 2, 3};
    int permutations = 0;
    do {
        Arguments arguments{full[0]};
        for (const int pair : order) {
            arguments.push_back(full[1 + 2 * pair]);
            arguments.push_back(full[2 + 2 * pair]);
        }
        SCOPED_TRACE(testing::PrintToString(arguments));
        expect_full_request(request_from_arguments(arguments));
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 24);
}

TEST(OptionsRequest, IgnoresUnknownOptionsAndKeepsTheLastValue) {
    Arguments arguments = command({u"--verbose", u"yes", u"--pid", u"1"});
    const Arguments full = full_command();
    arguments.insert(arguments.end(), full.begin() + 1, full.end());
    expect_full_request(request_from_arguments(arguments));
}

TEST(OptionsRequest, TakesValuesUnchanged) {
    const auto request = request_from_arguments(
        command({u"--pid", u"+0", u"--current", u"", u"--new", u" rel\\new.exe ", u"--sha256", u" not hex "}));
    ASSERT_TRUE(request.has_value()) << text_of(request.error());
    EXPECT_EQ(request->pid, 0u);
    EXPECT_EQ(request->current_path, "");
    EXPECT_EQ(request->new_path, " rel\\new.exe ");
    EXPECT_EQ(request->expected_sha256, " not hex ");
}

// A pair of quotes that ends the command line is an empty value, not a
// missing one.
TEST(OptionsRequest, QuotePairAtTheEndOfTheLineIsAnEmptyDigest) {
    const auto request =
        request_from_arguments(split_command_line(uR"("C:\u.exe" --pid 5 --current a --new b --sha256 "")"));
    ASSERT_TRUE(request.has_value()) << text_of(request.error());
    EXPECT_EQ(request->expected_sha256, "");
}

TEST(OptionsRequest, ReportsTheFirstProblemInTheOrderPidCurrentNewSha256) {
    struct Case {
        Arguments arguments;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {command({}), "missing --pid"},
        {Arguments{u""}, "missing --pid"},
        {command({u"--current", u"a", u"--new", u"b", u"--sha256", u"c"}), "missing --pid"},
        {command({u"---pid", u"5", u"--current", u"a", u"--new", u"b", u"--sha256", u"c"}), "missing --pid"},
        {command({u"--PID", u"5", u"--current", u"a", u"--new", u"b", u"--sha256", u"c"}), "missing --pid"},
        {command({u"--pid", u"", u"--current", u"a"}), "--pid must be an integer: cannot parse integer from empty string"},
        {command({u"--pid", u"-1"}), "--pid must be an integer: invalid digit found in string"},
        {command({u"--pid", u"4294967296"}), "--pid must be an integer: number too large to fit in target type"},
        {command({u"--pid", u"1"}), "missing --current"},
        {command({u"--pid", u"1", u"--sha256", u"c", u"--new", u"b"}), "missing --current"},
        {command({u"--pid", u"1", u"--current", u"a", u"--sha256", u"c"}), "missing --new"},
        {command({u"--pid", u"1", u"--current", u"a", u"--new", u"b"}), "missing --sha256"},
        {command({u"--pid", u"1", u"--current", u"a", u"--new", u"b", u"--sha256"}), "missing value for --sha256"},
        {command({u"----pid", u"x", u"--current", u"a", u"--new", u"b", u"--sha256", u"c"}),
         "--pid must be an integer: invalid digit found in string"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const auto request = request_from_arguments(arguments);
        ASSERT_FALSE(request.has_value());
        EXPECT_EQ(text_of(request.error()), expected);
    }
}

}  // namespace
