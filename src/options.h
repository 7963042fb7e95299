#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "error_chain.h"

// Option values by name. Names are stored without their leading "--" and
// compared byte for byte; a later value of a name replaces the earlier one.
using OptionMap = std::map<std::string, std::string, std::less<>>;

// Reads "--name value" pairs from the arguments after the program name (which
// is never read, so it cannot fail the run). Each argument is converted to
// UTF-8 when it is taken; the first failure ends parsing and the arguments
// after it are not looked at. Fails with "unexpected argument: {}" for an
// option argument that does not begin with "--", "missing value for {}" for an
// option that is the last argument, and "argument is not valid unicode: {}"
// (unpaired surrogates shown as U+FFFD) for a taken argument with no UTF-8 form.
[[nodiscard]] std::expected<OptionMap, ErrorChain> parse_options(const std::vector<std::u16string>& arguments);

// The value stored under `name`, or "missing --{}". The view lives as long as
// the map entry.
[[nodiscard]] std::expected<std::string_view, ErrorChain> required_option(const OptionMap& options,
                                                                          std::string_view name);

// An unsigned 32-bit decimal number: an optional leading "+", then ASCII digits
// only; nothing is trimmed. The first byte that decides gives the error: a
// non-digit InvalidDigit, a digit past 4294967295 PosOverflow. No bytes give
// Empty, a lone sign InvalidDigit.
[[nodiscard]] std::expected<std::uint32_t, ParseIntError> parse_process_id(std::string_view text);
