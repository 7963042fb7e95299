#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "error_chain.h"
#include "options.h"

// The four validated inputs of one update. The texts are taken over
// unchanged: paths are not made absolute or tested, the digest is not checked.
struct UpdateRequest {
    std::uint32_t pid;
    std::string current_path;
    std::string new_path;
    std::string expected_sha256;
};

// Reads pid, current, new and sha256 in that order; the first failure is the
// one reported: "missing --{}", or "--pid must be an integer" over the
// ParseIntError.
[[nodiscard]] std::expected<UpdateRequest, ErrorChain> build_update_request(const OptionMap& options);

// parse_options, then build_update_request.
[[nodiscard]] std::expected<UpdateRequest, ErrorChain> request_from_arguments(
    const std::vector<std::u16string>& arguments);
