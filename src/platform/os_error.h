#pragma once

#include <cstdint>
#include <string_view>

// The classes of error that the program tells apart. Only a few matter to it:
// BrokenPipe (a pipe whose writer has gone counts as the end of data),
// Interrupted (a write that is retried; no Windows code maps to it), and the
// kinds that carry the program's own fixed texts.
enum class OsErrorKind : std::uint8_t {
    NotFound,
    PermissionDenied,
    AlreadyExists,
    BrokenPipe,
    InvalidInput,
    WriteZero,
    OutOfMemory,
    Interrupted,
    Other,
};

// The error value of every platform operation: a Windows error code, a kind
// with a fixed text, or a kind alone. Fixed texts are string literals, so an
// OsError is a small value that never allocates.
class OsError {
public:
    enum class Form : std::uint8_t { Code, KindWithMessage, KindOnly };

    static constexpr OsError from_code(std::uint32_t code) { return OsError(Form::Code, code, {}, {}); }
    static constexpr OsError with_message(OsErrorKind kind, std::string_view text) {
        return OsError(Form::KindWithMessage, 0, kind, text);
    }
    static constexpr OsError from_kind(OsErrorKind kind) { return OsError(Form::KindOnly, 0, kind, {}); }

    constexpr Form form() const { return form_; }
    // The Windows code; meaningful only for Form::Code.
    constexpr std::uint32_t code() const { return code_; }
    // The fixed text; empty unless Form::KindWithMessage.
    constexpr std::string_view message() const { return message_; }
    OsErrorKind kind() const;

    friend constexpr bool operator==(const OsError&, const OsError&) = default;

private:
    constexpr OsError(Form form, std::uint32_t code, OsErrorKind kind, std::string_view message)
        : form_(form), kind_(kind), code_(code), message_(message) {}

    Form form_;
    OsErrorKind kind_;
    std::uint32_t code_;
    std::string_view message_;
};

// The kind of a Windows error code.
OsErrorKind kind_of_code(std::uint32_t code);

// The text of a kind, as shown for a kind-only error ("out of memory").
std::string_view kind_text(OsErrorKind kind);

// Fixed texts of the platform operations.
inline constexpr std::string_view NUL_IN_PATH_TEXT = "strings passed to WinAPI cannot contain NULs";
inline constexpr std::string_view WRITE_ZERO_TEXT = "failed to write whole buffer";
