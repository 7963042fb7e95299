// Properties of the text helpers, checked on inputs derived from the fuzzer's
// bytes: the digest comparison, the error-chain display, the UTF-16/WTF-8
// conversions and the display of text, and the long-path rules. Builds as a
// libFuzzer target, or with random_driver.cpp without it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest_match.h"
#include "error_chain.h"
#include "platform/long_path.h"
#include "platform/os_error.h"
#include "platform/path_text.h"
#include "platform/wide_text.h"

namespace {

// The fuzzer's bytes, read one at a time; zeros once they run out, so that
// every choice below still ends.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void print_bytes(const char* label, std::string_view bytes) {
    std::fprintf(stderr, "%s:", label);
    for (const char byte : bytes)
        std::fprintf(stderr, " %02X", static_cast<unsigned>(static_cast<unsigned char>(byte)));
    std::fputc('\n', stderr);
}

void print_units(const char* label, std::u16string_view units) {
    std::fprintf(stderr, "%s:", label);
    for (const char16_t unit : units) std::fprintf(stderr, " %04X", static_cast<unsigned>(unit));
    std::fputc('\n', stderr);
}

[[noreturn]] void fail(const char* property) {
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

// The rule, byte by byte: equal lengths, and equal bytes once A-Z are mapped
// to a-z.
bool reference_match(std::string_view computed, std::string_view expected) {
    if (computed.size() != expected.size()) return false;
    for (std::size_t i = 0; i < computed.size(); ++i) {
        auto a = static_cast<unsigned char>(computed[i]);
        auto b = static_cast<unsigned char>(expected[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

std::string mapped(std::string_view text, char from, char to) {
    std::string result(text);
    for (char& c : result)
        if (c >= from && c < from + 26) c = static_cast<char>(c - from + to);
    return result;
}

[[noreturn]] void fail_digest(const char* property, std::string_view computed, std::string_view expected) {
    std::fprintf(stderr, "property broken: %s\n", property);
    print_bytes("computed", computed);
    print_bytes("expected", expected);
    std::abort();
}

void check_digest_match(ByteReader& bytes) {
    // Bytes where a wrong fold would show: the ends of A-Z and a-z and their
    // neighbours, hex digits, and bytes that differ from those by 0x20 only.
    static constexpr unsigned char EDGES[] = {'@', 'A', 'Z', '[', '`', 'a', 'z', '{', '0', '9', 'f', 'F',
                                              0xC1, 0xE1, 0xDA, 0xFA, 0x00, 0x20, 0x80, 0xFF, 0x10, 0x30};
    static constexpr std::string_view HEX = "0123456789abcdef";
    std::string computed;
    if (bytes.next() % 2 == 0) {
        // A digest as file_sha256 gives it, 64 lowercase hex digits.
        for (int i = 0; i < 64; ++i) computed += HEX[bytes.next() % HEX.size()];
    } else {
        for (int length = bytes.next() % 70; length > 0; --length) {
            const std::uint8_t byte = bytes.next();
            computed += static_cast<char>(byte % 2 == 0 ? EDGES[(byte / 2) % std::size(EDGES)] : byte);
        }
    }
    // The expected text: the computed one with some bytes in the other case,
    // off by 0x20 whatever they are, or replaced, and maybe another length.
    std::string expected = computed;
    for (char& c : expected) {
        const std::uint8_t edit = bytes.next() % 8;
        if (edit == 4 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c = static_cast<char>(c ^ 0x20);
        if (edit == 5) c = static_cast<char>(c ^ 0x20);
        if (edit == 6) c = static_cast<char>(bytes.next());
    }
    const std::uint8_t length_edit = bytes.next() % 4;
    if (length_edit == 1 && !expected.empty()) expected.pop_back();
    if (length_edit == 2) expected += static_cast<char>(bytes.next());

    const bool match = digests_match(computed, expected);
    if (match != reference_match(computed, expected))
        fail_digest("digests_match agrees with the byte-by-byte rule", computed, expected);
    if (digests_match(expected, computed) != match) fail_digest("digests_match is symmetric", computed, expected);
    if (!digests_match(computed, mapped(computed, 'A', 'a')) || !digests_match(mapped(computed, 'a', 'A'), computed))
        fail_digest("the case of ASCII letters does not matter", computed, mapped(computed, 'a', 'A'));
}

// The system message that the caller supplies, and a record of what it was
// asked.
std::string system_message_reply;
int system_message_asks = 0;
std::uint32_t system_message_code = 0;

std::string recording_system_message(std::uint32_t code) {
    ++system_message_asks;
    system_message_code = code;
    return system_message_reply;
}

// Text with the pieces that could be confused with the display's own: the
// separator ": ", line ends, the "(os error" text, non-ASCII.
std::string message_text(ByteReader& bytes) {
    static constexpr std::string_view PIECES[] = {"a",  " ",  ": ", "\r\n", "\n", "é",        "%1",
                                                  ".",  "\t", ")",  "(",    "-1", "os error", ""};
    std::string text;
    for (int count = bytes.next() % 6; count > 0; --count) text += PIECES[bytes.next() % std::size(PIECES)];
    return text;
}

OsError os_error(ByteReader& bytes) {
    static constexpr std::string_view FIXED_TEXTS[] = {NUL_IN_PATH_TEXT, WRITE_ZERO_TEXT, "program not found", "",
                                                       "a: b\r\n"};
    static constexpr std::uint32_t CODES[] = {0, 2, 5, 109, 232, 10058, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const auto kind = static_cast<OsErrorKind>(bytes.next() % (static_cast<int>(OsErrorKind::Other) + 1));
    switch (bytes.next() % 3) {
    case 0: {
        std::uint32_t code = CODES[bytes.next() % std::size(CODES)];
        // Or any code, the NT bit often among them.
        if (bytes.next() % 2 == 0) {
            code = 0;
            for (int i = 0; i < 4; ++i) code = code << 8 | bytes.next();
            if (bytes.next() % 2 == 0) code |= 0x10000000;
        }
        return OsError::from_code(code);
    }
    case 1: return OsError::with_message(kind, FIXED_TEXTS[bytes.next() % std::size(FIXED_TEXTS)]);
    default: return OsError::from_kind(kind);
    }
}

[[noreturn]] void fail_chain(const char* property, std::string_view expected, std::string_view actual) {
    std::fprintf(stderr, "property broken: %s\nsystem message: \"%s\"\nexpected: \"%.*s\"\nactual: \"%.*s\"\n",
                 property, system_message_reply.c_str(), static_cast<int>(expected.size()), expected.data(),
                 static_cast<int>(actual.size()), actual.data());
    std::abort();
}

// The text of an OsError link, checked against the display rules; the
// system's message is asked for a code only, once, with that code.
std::string checked_os_error_text(const OsError& error) {
    system_message_asks = 0;
    const std::string text = os_error_text(error, recording_system_message);
    if (error.form() == OsError::Form::Code) {
        const std::string expected = system_message_reply + " (os error " +
                                     std::to_string(static_cast<std::int32_t>(error.code())) + ")";
        if (text != expected) fail_chain("a code shows as its message and signed number", expected, text);
        if (system_message_asks != 1 || system_message_code != error.code())
            fail_chain("the message of the code itself is asked once", std::to_string(error.code()),
                       std::to_string(system_message_code));
        // The kinds that the program relies on.
        const OsErrorKind kind = error.kind();
        if (kind == OsErrorKind::Interrupted) fail_chain("no code has the kind Interrupted", "", text);
        const std::uint32_t code = error.code();
        if ((code == 109 || code == 232 || code == 10058) != (kind == OsErrorKind::BrokenPipe))
            fail_chain("exactly the broken-pipe codes have the kind BrokenPipe", "", text);
    } else if (system_message_asks != 0) {
        fail_chain("only a code asks for the system's message", "", text);
    }
    if (error.form() == OsError::Form::KindWithMessage && text != error.message())
        fail_chain("a fixed text shows alone", error.message(), text);
    return text;
}

void check_error_chain(ByteReader& bytes) {
    system_message_reply = message_text(bytes);
    const std::string message = message_text(bytes);
    const OsError cause = os_error(bytes);
    static constexpr ParseIntError PARSE_ERRORS[] = {ParseIntError::Empty, ParseIntError::InvalidDigit,
                                                     ParseIntError::PosOverflow};
    static constexpr std::string_view PARSE_TEXTS[] = {"cannot parse integer from empty string",
                                                       "invalid digit found in string",
                                                       "number too large to fit in target type"};
    const std::size_t parse_error = bytes.next() % std::size(PARSE_ERRORS);

    const std::string cause_text = checked_os_error_text(cause);
    struct Shape {
        ErrorChain chain;
        std::string outer;
        std::optional<std::string> inner;
    };
    Shape shapes[] = {
        {ErrorChain::from_message(message), message, std::nullopt},
        {ErrorChain::with_context(message, cause), message, cause_text},
        {ErrorChain::with_context(message, PARSE_ERRORS[parse_error]), message,
         std::string(PARSE_TEXTS[parse_error])},
        {ErrorChain::from_os_error(cause), cause_text, std::nullopt},
    };
    for (const Shape& shape : shapes) {
        system_message_asks = 0;
        const std::string outer = outer_text(shape.chain, recording_system_message);
        if (outer != shape.outer) fail_chain("outer_text is the outermost link alone", shape.outer, outer);
        system_message_asks = 0;
        const std::string text = chain_text(shape.chain, recording_system_message);
        // Nothing is added around the links: no line end, no full stop.
        const std::string expected = shape.inner ? shape.outer + ": " + *shape.inner : shape.outer;
        if (text != expected) fail_chain("chain_text joins the links with \": \" and adds nothing", expected, text);
        if (system_message_asks > 1) fail_chain("a display asks for the system's message at most once", "", text);
    }
}

bool is_high(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The length of the well-formed sequence at text[i] by the table of UTF-8
// byte ranges, or 0. With surrogates allowed, ED may also be followed by
// A0-BF (the generalised form that WTF-8 builds on).
std::size_t sequence_length(std::string_view text, std::size_t i, bool surrogates) {
    const auto at = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100u; };
    const auto in = [](unsigned value, unsigned low, unsigned high) { return value >= low && value <= high; };
    const unsigned lead = at(i);
    const unsigned second = at(i + 1);
    std::size_t length = 0;
    bool second_ok = false;
    if (lead <= 0x7F) return 1;
    if (in(lead, 0xC2, 0xDF)) length = 2, second_ok = in(second, 0x80, 0xBF);
    else if (lead == 0xE0) length = 3, second_ok = in(second, 0xA0, 0xBF);
    else if (lead == 0xED) length = 3, second_ok = in(second, 0x80, surrogates ? 0xBF : 0x9F);
    else if (in(lead, 0xE1, 0xEF)) length = 3, second_ok = in(second, 0x80, 0xBF);
    else if (lead == 0xF0) length = 4, second_ok = in(second, 0x90, 0xBF);
    else if (in(lead, 0xF1, 0xF3)) length = 4, second_ok = in(second, 0x80, 0xBF);
    else if (lead == 0xF4) length = 4, second_ok = in(second, 0x80, 0x8F);
    if (!second_ok) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (!in(at(i + k), 0x80, 0xBF)) return 0;
    return length;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequence_length(text, i, false);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// Generalised UTF-8 in which no high surrogate is directly followed by a low
// one (that pair has its own four-byte form).
bool is_wtf8(std::string_view text) {
    bool after_high = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequence_length(text, i, true);
        if (length == 0) return false;
        const bool surrogate = length == 3 && static_cast<unsigned char>(text[i]) == 0xED &&
                               static_cast<unsigned char>(text[i + 1]) >= 0xA0;
        const bool low = surrogate && static_cast<unsigned char>(text[i + 1]) >= 0xB0;
        if (after_high && low) return false;
        after_high = surrogate && !low;
        i += length;
    }
    return true;
}

std::u16string repaired(std::u16string_view units) {
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

// Bytes to UTF-16 units: 0x00-0x0F stand for units at the edges of the
// encodings (surrogate halves, the ends of each length); 0xFF takes the next
// two bytes as a raw unit; other bytes are Latin-1.
std::u16string units_from(ByteReader& bytes) {
    static constexpr char16_t EDGE_UNITS[16] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00, 0x007F, 0x0080,
                                             0x07FF, 0x0800, 0xFFFD, 0xFFFF, 0x00E9, 0x4E2D, u'a', 0x0000};
    std::u16string units;
    for (int count = bytes.next() % 32; count > 0; --count) {
        const std::uint8_t byte = bytes.next();
        if (byte < 0x10)
            units += EDGE_UNITS[byte];
        else if (byte == 0xFF) {
            const std::uint8_t high = bytes.next();
            units += static_cast<char16_t>(high << 8 | bytes.next());
        } else
            units += static_cast<char16_t>(byte);
    }
    return units;
}

// Bytes to text: well-formed sequences of each length, the WTF-8 forms of
// lone surrogates, and the ways of being neither (overlong, too large,
// truncated, stray, a pair spelt as two halves); bytes from 0xC0 stand for
// themselves.
std::string text_from(ByteReader& bytes) {
    static constexpr std::string_view TOKENS[] = {"a",
                                                  "\x7F",
                                                  "é",
                                                  "日",
                                                  "\xF0\x9F\x98\x80",
                                                  "\xED\xA0\x80",
                                                  "\xED\xBF\xBF",
                                                  "\xED\xA0\xBD\xED\xB8\x80",
                                                  "\xC0\x80",
                                                  "\xE0\x80\x80",
                                                  "\xF4\x90\x80\x80",
                                                  "\xE6\x97",
                                                  "\x80",
                                                  "\xEF\xBF\xBD",
                                                  "\xF0\x9F",
                                                  std::string_view("\0", 1)};
    std::string text;
    for (int count = bytes.next() % 24; count > 0; --count) {
        const std::uint8_t byte = bytes.next();
        if (byte >= 0xC0)
            text += static_cast<char>(byte);
        else
            text += TOKENS[byte % std::size(TOKENS)];
    }
    return text;
}

void check_units(std::u16string_view units, std::size_t split) {
    const auto fail_units = [&](const char* property) {
        print_units("units", units);
        fail(property);
    };
    const std::string text = to_wtf8(units);
    if (to_utf16(text) != units) fail_units("to_utf16(to_wtf8(units)) == units");
    if (text.size() > 3 * units.size()) fail_units("at most three bytes a unit");
    if (is_valid_unicode(units) != is_utf8(text)) fail_units("valid unicode exactly when the WTF-8 is UTF-8");
    if (display_text(text) != to_wtf8(repaired(units))) fail_units("display shows each lone surrogate as U+FFFD");
    // Halves of a pair that meet across the cut join into one character.
    const std::u16string_view head = units.substr(0, split);
    const std::u16string_view tail = units.substr(split);
    const bool pair_across = !head.empty() && !tail.empty() && is_high(head.back()) && is_low(tail.front());
    if (!pair_across && to_wtf8(head) + to_wtf8(tail) != text) fail_units("to_wtf8 of a concatenation");
}

void check_text(std::string_view text) {
    const auto fail_text = [&](const char* property) {
        print_bytes("text", text);
        fail(property);
    };
    if ((to_wtf8(to_utf16(text)) == text) != is_wtf8(text)) fail_text("exactly WTF-8 text survives the round trip");
    const std::string shown = display_text(text);
    if (!is_utf8(shown)) fail_text("display text is UTF-8");
    if (shown.size() > 3 * text.size()) fail_text("display text is at most three times as long");
    if ((shown == text) != is_utf8(text)) fail_text("display leaves exactly UTF-8 text unchanged");
}

// Path-like UTF-16 text: separators, prefixes, drive letters, a lone surrogate.
std::u16string path_units(ByteReader& bytes) {
    static constexpr std::u16string_view TOKENS[] = {u"\\", u"/", u"?", u".", u":", u"C", u"a", u"UNC",
                                                     u"\u00E9", u"\xD800", u"\\\\?\\", u"\\??\\", u"\\\\.\\", u" "};
    std::u16string path;
    const std::uint8_t shape = bytes.next();
    for (int count = bytes.next() % 12; count > 0; --count) path += TOKENS[bytes.next() % std::size(TOKENS)];
    // Often near the length limit: 244 to 249 units.
    if (shape % 4 == 0) path.resize(244 + bytes.next() % 6, u'a');
    return path;
}

[[noreturn]] void fail_path(const char* property, std::u16string_view path, std::u16string_view result) {
    print_units("path", path);
    print_units("result", result);
    fail(property);
}

void check_passes_unchanged(std::u16string_view path) {
    const bool unchanged = passes_unchanged(path);
    const bool verbatim = path.starts_with(u"\\\\?\\") || path.starts_with(u"\\??\\");

    // Only the start and the length count.
    std::u16string same_start(path);
    for (std::size_t i = 4; i < same_start.size(); ++i) same_start[i] = u'x';
    if (passes_unchanged(same_start) != unchanged)
        fail_path("only the first four units and the length count", path, same_start);

    // 247 units and the terminator reach LEGACY_MAX_PATH; verbatim paths have no limit.
    if (!verbatim && path.size() >= 247 && unchanged) fail_path("a long path is looked up", path, u"");
    if (verbatim && !unchanged) fail_path("a verbatim path is taken as it is", path, u"");

    if (verbatim || path.empty() || path.size() >= 247) return;
    // A short path skips the lookup exactly when it does not depend on the
    // current directory: a drive with a root (C:\x, C:/x), a drive alone, or
    // two separators (share or device). A name, one separator, or a drive
    // followed by a name are resolved by the system.
    const bool drive = path.size() >= 2 && !is_separator(path[0]) && path[1] == u':';
    const bool drive_rooted_or_alone = drive && (path.size() == 2 || is_separator(path[2]));
    const bool two_separators = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
    if (unchanged != (drive_rooted_or_alone || two_separators))
        fail_path("a short path skips the lookup exactly when it is absolute or a drive alone", path, u"");
}

void check_long_path_prefix(std::u16string_view full) {
    const std::u16string prefixed = with_long_path_prefix(full);
    if (prefixed != full) {
        if (!prefixed.starts_with(u"\\\\?\\")) fail_path("a changed path is verbatim", full, prefixed);
        const bool drive = full.size() >= 3 && full[1] == u':' && full[2] == u'\\';
        if (!drive && !full.starts_with(u"\\\\"))
            fail_path("only drive and double-backslash paths change", full, prefixed);
    }
    // Only the start changes: \\?\ before, \\.\ or \\ replaced.
    if (!prefixed.ends_with(full.substr(std::min<std::size_t>(4, full.size()))))
        fail_path("the prefix keeps the tail", full, prefixed);
    if (prefixed.size() > full.size() + 6) fail_path("at most \\\\?\\UNC\\ in place of \\\\", full, prefixed);
    if (with_long_path_prefix(prefixed) != prefixed) fail_path("the long-path form is final", full, prefixed);
}

// A full path as the system gives it back: an absolute start, then names
// joined by single backslashes, no `.` or `..`.
std::u16string full_path(ByteReader& bytes) {
    static constexpr std::u16string_view STARTS[] = {u"C:\\",       u"z:\\",          u"\\\\s\\h\\",
                                                     u"\\\\srv\\\u00E9\\", u"\\\\.\\pipe\\", u"\\\\.\\C:\\",
                                                     u"\\\\?\\C:\\", u"\\??\\C:\\",     u"\\\\?\\UNC\\s\\h\\"};
    static constexpr std::u16string_view NAMES[] = {u"a", u"b.exe", u".x", u"x.", u"\u65E5", u"\xD800", u"a b", u"..."};
    std::u16string path(STARTS[bytes.next() % std::size(STARTS)]);
    const int count = bytes.next() % 4;
    for (int i = 0; i < count; ++i) {
        if (i > 0) path += u'\\';
        path += NAMES[bytes.next() % std::size(NAMES)];
    }
    // With or without the separator at the end.
    if (count > 0 && bytes.next() % 2 == 0) path += u'\\';
    if (count == 0 && bytes.next() % 2 == 0) path.pop_back();
    return path;
}

std::optional<std::u16string> parent_units(std::u16string_view path) {
    const std::optional<std::string> parent = parent_path(to_wtf8(path));
    if (!parent) return std::nullopt;
    return to_utf16(*parent);
}

// The long-path form names the same folders: its parent is the long-path
// form of the parent.
void check_prefix_keeps_folders(std::u16string_view full) {
    const std::u16string prefixed = with_long_path_prefix(full);
    const std::optional<std::u16string> parent = parent_units(full);
    const std::optional<std::u16string> prefixed_parent = parent_units(prefixed);
    if (parent.has_value() != prefixed_parent.has_value() ||
        (parent && with_long_path_prefix(*parent) != *prefixed_parent))
        fail_path("the long-path form has the long-path form of the parent", full,
                  prefixed_parent.value_or(u"(none)"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader digest_bytes(data, size);
    check_digest_match(digest_bytes);

    ByteReader chain_bytes(data, size);
    check_error_chain(chain_bytes);

    ByteReader unit_bytes(data, size);
    const std::u16string units = units_from(unit_bytes);
    check_units(units, unit_bytes.next() % (units.size() + 1));
    ByteReader text_bytes(data, size);
    check_text(text_from(text_bytes));
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));

    ByteReader path_bytes(data, size);
    const std::u16string path = path_units(path_bytes);
    check_passes_unchanged(path);
    check_long_path_prefix(path);
    ByteReader full_bytes(data, size);
    const std::u16string full = full_path(full_bytes);
    check_long_path_prefix(full);
    check_prefix_keeps_folders(full);
    return 0;
}
