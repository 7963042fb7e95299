#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/os_error.h"

// The failure of the process-id parse.
enum class ParseIntError : std::uint8_t { Empty, InvalidDigit, PosOverflow };

std::string_view parse_int_error_text(ParseIntError error);

// The one error value of an update run: a message of the program's own, alone
// or laid over one cause, or an operating-system error alone. A chain is made
// once where the failure happens, moved up unchanged and displayed once.
class ErrorChain {
public:
    using Cause = std::variant<OsError, ParseIntError>;

    [[nodiscard]] static ErrorChain from_message(std::string text);
    [[nodiscard]] static ErrorChain with_context(std::string text, OsError cause);
    [[nodiscard]] static ErrorChain with_context(std::string text, ParseIntError cause);
    [[nodiscard]] static ErrorChain from_os_error(OsError error);

    ErrorChain(ErrorChain&&) = default;
    ErrorChain& operator=(ErrorChain&&) = default;
    ErrorChain(const ErrorChain&) = delete;
    ErrorChain& operator=(const ErrorChain&) = delete;

    // The program's own message; absent for a bare system error.
    const std::optional<std::string>& message() const { return message_; }
    // The cause under the message, or the bare system error.
    const std::optional<Cause>& cause() const { return cause_; }

private:
    ErrorChain(std::optional<std::string> message, std::optional<Cause> cause)
        : message_(std::move(message)), cause_(cause) {}

    std::optional<std::string> message_;
    std::optional<Cause> cause_;
};

// The system's message for a Windows error code. The platform supplies the
// real one (FormatMessageW); pure tests supply their own.
using SystemMessageText = std::string (*)(std::uint32_t code);

// "{system message} (os error {code})", a fixed text, or a kind's text.
std::string os_error_text(const OsError& error, SystemMessageText system_message);

// The text of the outermost link alone.
std::string outer_text(const ErrorChain& chain, SystemMessageText system_message);

// The texts of all links, outermost first, joined by ": ". This is the text of
// the failure log.
std::string chain_text(const ErrorChain& chain, SystemMessageText system_message);
