// Properties of the command-line splitter, the patcher's quoting, the option
// parser and the process-id parse, checked on inputs derived from the fuzzer's
// bytes. Builds as a libFuzzer target, or with random_driver.cpp without it.

#include <charconv>
#include <iterator>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "options.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/wide_text.h"
#include "update_request.h"

namespace {

using Arguments = std::vector<std::u16string>;

void print_units(std::u16string_view units) {
    std::fputc('[', stderr);
    for (const char16_t unit : units) std::fprintf(stderr, " %04X", static_cast<unsigned>(unit));
    std::fputs(" ]\n", stderr);
}

[[noreturn]] void fail(const char* property, std::u16string_view line) {
    std::fprintf(stderr, "property broken: %s\nline:", property);
    print_units(line);
    std::abort();
}

// Bytes to UTF-16 units. 0x00-0x0F stand for units that the rules care about
// (NUL, blanks, quote, backslash, signs, surrogate halves, non-ASCII); 0xFF
// takes the next two bytes as a raw unit; other bytes are Latin-1.
std::u16string decode_units(const std::uint8_t* data, std::size_t size) {
    static constexpr char16_t SPECIAL[16] = {0x0000, u' ', u'\t', u'"', u'\\', u'-', u'+', 0xD800,
                                             0xDC00, 0xDBFF, 0xDFFF, 0x00E9, 0x4E2D, 0xFFFD, u'\n', 0x0664};
    std::u16string units;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];
        if (byte < 0x10) {
            units += SPECIAL[byte];
        } else if (byte == 0xFF && i + 2 < size) {
            units += static_cast<char16_t>(data[i + 1] << 8 | data[i + 2]);
            i += 2;
        } else {
            units += static_cast<char16_t>(byte);
        }
    }
    return units;
}

bool is_high(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::u16string without_unpaired_surrogates(std::u16string_view units) {
    std::u16string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (is_high(units[i]) && i + 1 < units.size() && is_low(units[i + 1])) {
            out += units[i];
            out += units[++i];
        } else {
            out += is_high(units[i]) || is_low(units[i]) ? u'\xFFFD' : units[i];
        }
    }
    return out;
}

std::u16string build_line(const Arguments& arguments) {
    const std::vector<std::u16string_view> rest(arguments.begin() + 1, arguments.end());
    return patcher_updater::build_command_line(arguments.front(), rest);
}

// The splitter's output survives quoting and splitting again: it holds no NUL
// and its program name no quote, so it can always be passed on.
void check_split_of_any_line(std::u16string_view line) {
    const Arguments arguments = split_command_line(line);
    if (arguments.empty()) fail("split gives at least the program name", line);
    if (arguments.front().find(u'"') != std::u16string::npos) fail("program name holds no quote", line);
    for (const auto& argument : arguments)
        if (argument.find(u'\0') != std::u16string::npos) fail("arguments hold no NUL", line);
    if (split_command_line(build_line(arguments)) != arguments) fail("split(quote(split(line))) == split(line)", line);

    // The whole run on an arbitrary line: any outcome but a crash is fine,
    // and a failure always has a text.
    const auto request = request_from_arguments(arguments);
    if (!request && chain_text(request.error(), [](std::uint32_t) { return std::string(); }).empty())
        fail("a failure has a text", line);
}

// NUL separates the derived arguments; the first is the program name, which
// cannot hold a quote.
Arguments derive_arguments(std::u16string_view units) {
    Arguments arguments(1);
    for (const char16_t unit : units) {
        if (unit == u'\0')
            arguments.emplace_back();
        else if (arguments.size() > 1 || unit != u'"')
            arguments.back() += unit;
    }
    return arguments;
}

std::string_view strip_dashes(std::string_view option) {
    while (option.size() >= 2 && option[0] == '-' && option[1] == '-') option.remove_prefix(2);
    return option;
}

void check_quoting_of_derived_lists(std::u16string_view units) {
    const Arguments arguments = derive_arguments(units);
    const std::u16string line = build_line(arguments);
    if (split_command_line(line) != arguments) fail("split(quote(list)) == list", line);

    // As "--name value" pairs of valid text, the options always parse, to the
    // map that a plain reading gives.
    Arguments pairs{arguments.front()};
    OptionMap expected;
    for (std::size_t i = 1; i + 1 < arguments.size(); i += 2) {
        pairs.push_back(u"--" + without_unpaired_surrogates(arguments[i]));
        pairs.push_back(without_unpaired_surrogates(arguments[i + 1]));
        expected.insert_or_assign(std::string(strip_dashes(to_wtf8(pairs[i]))), to_wtf8(pairs[i + 1]));
    }
    const std::u16string pairs_line = build_line(pairs);
    const auto options = parse_options(split_command_line(pairs_line));
    if (!options) fail("well-formed pairs parse", pairs_line);
    if (*options != expected) fail("parsed pairs match the plain reading", pairs_line);

    // The same pairs unrepaired: the first taken argument with an unpaired
    // surrogate is the one reported, shown with U+FFFD.
    Arguments raw{arguments.front()};
    std::string first_invalid;
    for (std::size_t i = 1; i + 1 < arguments.size(); i += 2) {
        raw.push_back(u"--" + arguments[i]);
        raw.push_back(arguments[i + 1]);
        for (std::size_t k = raw.size() - 2; k < raw.size() && first_invalid.empty(); ++k)
            if (!is_valid_unicode(raw[k])) first_invalid = to_wtf8(without_unpaired_surrogates(raw[k]));
    }
    const auto raw_options = parse_options(raw);
    if (first_invalid.empty() != raw_options.has_value()) fail("only unpaired surrogates fail well-formed pairs", line);
    if (!raw_options &&
        chain_text(raw_options.error(), [](std::uint32_t) { return std::string(); }) !=
            "argument is not valid unicode: " + first_invalid)
        fail("the first invalid argument is reported", line);
}

std::expected<std::uint32_t, ParseIntError> reference_process_id(std::string_view text) {
    if (text.empty()) return std::unexpected(ParseIntError::Empty);
    if (text == "+" || text == "-") return std::unexpected(ParseIntError::InvalidDigit);
    if (text.front() == '+') text.remove_prefix(1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // Digits that overflow come before whatever byte ends them.
    if (error == std::errc::result_out_of_range || value > 4294967295u)
        return std::unexpected(ParseIntError::PosOverflow);
    if (end != text.data() + text.size()) return std::unexpected(ParseIntError::InvalidDigit);
    return static_cast<std::uint32_t>(value);
}

void check_process_id(std::string_view text) {
    if (parse_process_id(text) != reference_process_id(text)) {
        std::fprintf(stderr, "property broken: parse_process_id agrees with from_chars\ntext: \"%.*s\"\n",
                     static_cast<int>(text.size()), text.data());
        std::abort();
    }
}

// Bytes to text that is mostly digits, so that long numbers are common; the
// first byte may choose a start just below the 32-bit limit.
std::string digit_text(const std::uint8_t* data, std::size_t size) {
    static constexpr std::string_view ALPHABET = "0123456789012345678901234567890123456789+- .x";
    static constexpr std::string_view STARTS[] = {"",           "42949672",         "429496729",
                                                  "4294967295", "+0000429496729",   "1844674407370955161"};
    std::string text;
    if (size > 0) text = STARTS[data[0] % std::size(STARTS)];
    for (std::size_t i = 1; i < size; ++i) text += ALPHABET[data[i] % ALPHABET.size()];
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string units = decode_units(data, size);
    check_split_of_any_line(units);
    check_quoting_of_derived_lists(units);
    check_process_id(std::string_view(reinterpret_cast<const char*>(data), size));
    check_process_id(digit_text(data, size));
    return 0;
}
