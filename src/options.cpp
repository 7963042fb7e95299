#include "options.h"

#include <cstddef>
#include <utility>

#include "platform/wide_text.h"

namespace {

// The argument as UTF-8, or the chain that names it.
std::expected<std::string, ErrorChain> take_argument(std::u16string_view argument) {
    std::string text = to_wtf8(argument);
    if (!is_valid_unicode(argument))
        return std::unexpected(ErrorChain::from_message("argument is not valid unicode: " + display_text(text)));
    return text;
}

std::string_view option_name(std::string_view option) {
    while (option.starts_with("--")) option.remove_prefix(2);
    return option;
}

}  // namespace

std::expected<OptionMap, ErrorChain> parse_options(const std::vector<std::u16string>& arguments) {
    OptionMap options;
    for (std::size_t i = 1; i < arguments.size(); i += 2) {
        auto option = take_argument(arguments[i]);
        if (!option) return std::unexpected(std::move(option.error()));
        if (!option->starts_with("--"))
            return std::unexpected(ErrorChain::from_message("unexpected argument: " + *option));
        if (i + 1 == arguments.size())
            return std::unexpected(ErrorChain::from_message("missing value for " + *option));
        auto value = take_argument(arguments[i + 1]);
        if (!value) return std::unexpected(std::move(value.error()));
        options.insert_or_assign(std::string(option_name(*option)), std::move(*value));
    }
    return options;
}

std::expected<std::string_view, ErrorChain> required_option(const OptionMap& options, std::string_view name) {
    const auto found = options.find(name);
    if (found == options.end()) return std::unexpected(ErrorChain::from_message("missing --" + std::string(name)));
    return std::string_view(found->second);
}

std::expected<std::uint32_t, ParseIntError> parse_process_id(std::string_view text) {
    if (text.empty()) return std::unexpected(ParseIntError::Empty);
    if (text == "+" || text == "-") return std::unexpected(ParseIntError::InvalidDigit);
    if (text.front() == '+') text.remove_prefix(1);

    constexpr std::uint32_t MAXIMUM = 4294967295u;
    std::uint32_t value = 0;
    for (const char byte : text) {
        if (byte < '0' || byte > '9') return std::unexpected(ParseIntError::InvalidDigit);
        const auto digit = static_cast<std::uint32_t>(byte - '0');
        if (value > (MAXIMUM - digit) / 10) return std::unexpected(ParseIntError::PosOverflow);
        value = value * 10 + digit;
    }
    return value;
}
