// Fuzzes the command-line splitter, the patcher's quoting, the option parser and the process-id parse.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "options.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/wide_text.h"

namespace {

using Arguments = std::vector<std::u16string>;

[[noreturn]] void fail(const char* property, std::u16string_view line) {
    std::fprintf(stderr, "property broken: %s\nunits:", property);
    for (const char16_t unit : line) std::fprintf(stderr, " %04X", static_cast<unsigned>(unit));
    std::fputc('\n', stderr);
    std::abort();
}

// Bytes 0x00-0x0F are units the rules care about, 0xFF a raw unit from the next two, others Latin-1.
std::u16string decode_units(const std::uint8_t* data, std::size_t size) {
    static constexpr char16_t RULE_UNITS[16] = {0x0000, u' ', u'\t', u'"', u'\\', u'-', u'+', 0xD800,
                                                0xDC00, 0xDBFF, 0xDFFF, 0x00E9, 0x4E2D, 0xFFFD, u'\n', 0x0664};
    std::u16string units;
    for (std::size_t i = 0; i < size; ++i) {
        const bool raw = data[i] == 0xFF && i + 2 < size;
        const auto unit = static_cast<char16_t>(raw ? data[i + 1] << 8 | data[i + 2] : data[i]);
        units += data[i] < 0x10 ? RULE_UNITS[data[i]] : unit;
        if (raw) i += 2;
    }
    return units;
}

std::u16string build_line(const Arguments& arguments) {
    const std::vector<std::u16string_view> rest(arguments.begin() + 1, arguments.end());
    return patcher_updater::build_command_line(arguments.front(), rest);
}

// A NUL-separated list survives quoting; as "--name value" pairs it parses to the plain reading.
void check_derived_list(std::u16string_view units, bool repair) {
    Arguments arguments(1);
    for (const char16_t unit : units) {
        if (unit == u'\0') arguments.emplace_back();
        else if (arguments.size() > 1 || unit != u'"') arguments.back() += unit;
    }
    const std::u16string line = build_line(arguments);
    if (split_command_line(line) != arguments) fail("split(quote(list)) == list", line);

    Arguments pairs{arguments.front()};
    OptionMap expected;
    std::string first_invalid;
    for (std::size_t i = 1; i + 1 < arguments.size(); i += 2) {
        for (std::u16string argument : {u"--" + arguments[i], arguments[i + 1]}) {
            if (repair) argument = to_utf16(display_text(to_wtf8(argument)));
            if (first_invalid.empty() && !is_valid_unicode(argument)) first_invalid = display_text(to_wtf8(argument));
            pairs.push_back(argument);
        }
        std::string name = to_wtf8(pairs[pairs.size() - 2]);
        while (name.starts_with("--")) name.erase(0, 2);
        expected.insert_or_assign(name, to_wtf8(pairs.back()));
    }
    const auto options = parse_options(split_command_line(build_line(pairs)));
    if (options.has_value() != first_invalid.empty()) fail("only unpaired surrogates fail well-formed pairs", line);
    if (options && *options != expected) fail("parsed pairs match the plain reading", line);
    const auto no_system_message = [](std::uint32_t) { return std::string(); };
    if (!options && chain_text(options.error(), no_system_message) != "argument is not valid unicode: " + first_invalid)
        fail("the first invalid argument is reported", line);
}

std::expected<std::uint32_t, ParseIntError> reference_process_id(std::string_view text) {
    if (text.empty()) return std::unexpected(ParseIntError::Empty);
    if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
    std::uint32_t value = 0;
    // Digits that overflow come before whatever byte ends them.
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) return std::unexpected(ParseIntError::PosOverflow);
    if (end != text.data() + text.size()) return std::unexpected(ParseIntError::InvalidDigit);
    return value;
}

// Mostly digits, often after a start near the 32-bit limit; bytes from 0xF0 stand for themselves.
std::string digit_text(const std::uint8_t* data, std::size_t size) {
    static constexpr std::string_view ALPHABET = "0123456789012345678901234567890123456789+- .x";
    static constexpr std::string_view STARTS[] = {"", "42949672", "429496729", "4294967295", "+0000429496729"};
    std::string text(size > 0 ? STARTS[data[0] % std::size(STARTS)] : "");
    for (std::size_t i = 1; i < size; ++i)
        text += data[i] >= 0xF0 ? static_cast<char>(data[i]) : ALPHABET[data[i] % ALPHABET.size()];
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string units = decode_units(data, size);
    const Arguments arguments = split_command_line(units);
    if (arguments.empty() || split_command_line(build_line(arguments)) != arguments)
        fail("split(quote(split(line))) == split(line)", units);
    check_derived_list(units, size % 2 == 1);

    const std::string digits = digit_text(data, size);
    if (parse_process_id(digits) != reference_process_id(digits))
        fail("parse_process_id agrees with from_chars", std::u16string(digits.begin(), digits.end()));
    return 0;
}
