#include "error_chain.h"

#include <charconv>
#include <utility>

namespace {

std::string link_text(const ErrorChain::Cause& cause, SystemMessageText system_message) {
    if (const auto* parse = std::get_if<ParseIntError>(&cause))
        return std::string(parse_int_error_text(*parse));
    return os_error_text(std::get<OsError>(cause), system_message);
}

}  // namespace

std::string_view parse_int_error_text(ParseIntError error) {
    switch (error) {
    case ParseIntError::Empty: return "cannot parse integer from empty string";
    case ParseIntError::InvalidDigit: return "invalid digit found in string";
    case ParseIntError::PosOverflow: return "number too large to fit in target type";
    }
    return "invalid digit found in string";
}

ErrorChain ErrorChain::from_message(std::string text) { return ErrorChain(std::move(text), std::nullopt); }

ErrorChain ErrorChain::with_context(std::string text, OsError cause) { return ErrorChain(std::move(text), cause); }

ErrorChain ErrorChain::with_context(std::string text, ParseIntError cause) {
    return ErrorChain(std::move(text), cause);
}

ErrorChain ErrorChain::from_os_error(OsError error) { return ErrorChain(std::nullopt, error); }

std::string os_error_text(const OsError& error, SystemMessageText system_message) {
    switch (error.form()) {
    case OsError::Form::KindWithMessage: return std::string(error.message());
    case OsError::Form::KindOnly: return std::string(kind_text(error.kind()));
    case OsError::Form::Code: break;
    }
    // The code shows as a signed 32-bit number, as the system's HRESULT-style
    // codes are usually read.
    char digits[16];
    const auto signed_code = static_cast<std::int32_t>(error.code());
    const auto end = std::to_chars(digits, digits + sizeof digits, signed_code).ptr;
    std::string text = system_message(error.code());
    text += " (os error ";
    text.append(digits, end);
    text += ')';
    return text;
}

std::string outer_text(const ErrorChain& chain, SystemMessageText system_message) {
    if (const auto& message = chain.message()) return *message;
    return link_text(*chain.cause(), system_message);  // NOLINT(bugprone-unchecked-optional-access): a chain without a message has a cause
}

std::string chain_text(const ErrorChain& chain, SystemMessageText system_message) {
    std::string text = outer_text(chain, system_message);
    if (const auto& cause = chain.cause(); chain.message() && cause) {
        text += ": ";
        text += link_text(*cause, system_message);
    }
    return text;
}
