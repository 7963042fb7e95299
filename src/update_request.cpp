#include "update_request.h"

#include <utility>

std::expected<UpdateRequest, ErrorChain> build_update_request(const OptionMap& options) {
    auto pid_text = required_option(options, "pid");
    if (!pid_text) return std::unexpected(std::move(pid_text.error()));
    const auto pid = parse_process_id(*pid_text);
    if (!pid) return std::unexpected(ErrorChain::with_context("--pid must be an integer", pid.error()));

    auto current = required_option(options, "current");
    if (!current) return std::unexpected(std::move(current.error()));
    auto replacement = required_option(options, "new");
    if (!replacement) return std::unexpected(std::move(replacement.error()));
    auto sha256 = required_option(options, "sha256");
    if (!sha256) return std::unexpected(std::move(sha256.error()));

    return UpdateRequest{*pid, std::string(*current), std::string(*replacement), std::string(*sha256)};
}

std::expected<UpdateRequest, ErrorChain> request_from_arguments(const std::vector<std::u16string>& arguments) {
    auto options = parse_options(arguments);
    if (!options) return std::unexpected(std::move(options.error()));
    return build_update_request(*options);
}
