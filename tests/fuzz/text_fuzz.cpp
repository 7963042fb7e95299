// Fuzzes the digest comparison, the error-chain display, the wide-text conversions and the long-path rules.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "digest_match.h"
#include "error_chain.h"
#include "platform/long_path.h"
#include "platform/os_error.h"
#include "platform/path_text.h"
#include "platform/wide_text.h"

namespace {

// The fuzzer's bytes one at a time, then zeros.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Up to `most` tokens; a byte past the table stands for itself (a raw byte or a Latin-1 unit).
template <class Char, std::size_t N>
std::basic_string<Char> tokens(ByteReader& bytes, const std::basic_string_view<Char> (&table)[N], int most) {
    std::basic_string<Char> text;
    for (int count = bytes.next() % (most + 1); count > 0; --count) {
        const std::uint8_t byte = bytes.next();
        if (byte < N) text += table[byte];
        else text += static_cast<Char>(byte);
    }
    return text;
}

template <class Char>
[[noreturn]] void fail(const char* property, std::basic_string_view<Char> input) {
    std::fprintf(stderr, "property broken: %s\ninput:", property);
    for (const Char c : input) std::fprintf(stderr, " %02X", static_cast<unsigned>(std::make_unsigned_t<Char>(c)));
    std::fputc('\n', stderr);
    std::abort();
}

void check_digest_match(ByteReader& bytes) {
    // Where a wrong fold would show: the ends of A-Z and a-z, their neighbours, bytes 0x20 away.
    static constexpr std::string_view EDGES[] = {"@", "A", "Z", "[", "`", "a", "z", "{", "0",
                                                 "f", "F", "\xC1", "\xE1", "\xDA", "\xFA", "\x80"};
    const std::string computed = tokens(bytes, EDGES, 70);
    // The other text: some bytes off by 0x20 or replaced, maybe another length.
    std::string expected = computed;
    for (char& c : expected) {
        const std::uint8_t edit = bytes.next() % 8;
        if (edit == 5) c = static_cast<char>(c ^ 0x20);
        if (edit == 6) c = static_cast<char>(bytes.next());
    }
    if (bytes.next() % 4 == 0) expected += static_cast<char>(bytes.next());

    bool reference = computed.size() == expected.size();
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; reference && i < computed.size(); ++i) reference = fold(computed[i]) == fold(expected[i]);
    std::string upper = computed;
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;

    const bool match = digests_match(computed, expected);
    if (match != reference) fail<char>("digests_match agrees with the ASCII fold", computed + "|" + expected);
    if (digests_match(expected, computed) != match) fail<char>("digests_match is symmetric", computed + "|" + expected);
    if (!digests_match(computed, upper) || !digests_match(upper, computed))
        fail<char>("the case of ASCII letters does not matter", computed);
}

std::string system_message_reply;
std::uint32_t system_message_code = 0;

std::string system_message(std::uint32_t code) {
    system_message_code = code;
    return system_message_reply;
}

// Messages hold what could be confused with the display's own text.
void check_error_chain(ByteReader& bytes) {
    static constexpr std::string_view PIECES[] = {"a", " ", ": ", "\r\n", "é", "%1", ".", ")", "(", "-1", "os error"};
    system_message_reply = tokens(bytes, PIECES, 5);
    const std::string message = tokens(bytes, PIECES, 5);
    const auto kind = static_cast<OsErrorKind>(bytes.next() % (static_cast<int>(OsErrorKind::Other) + 1));
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) code = code << 8 | bytes.next();
    const OsError causes[] = {OsError::from_code(code), OsError::with_message(kind, "a: b (os error 5)"),
                              OsError::from_kind(kind)};
    const OsError cause = causes[bytes.next() % 3];
    const auto parse_error = static_cast<ParseIntError>(bytes.next() % 3);

    // A code shows as the system's message for it and its signed number.
    const std::string cause_text = os_error_text(cause, system_message);
    const std::string code_text =
        system_message_reply + " (os error " + std::to_string(static_cast<std::int32_t>(code)) + ")";
    if ((cause.form() == OsError::Form::Code && (cause_text != code_text || system_message_code != code)) ||
        (cause.form() == OsError::Form::KindWithMessage && cause_text != cause.message()))
        fail<char>("an OS error shows as its message and signed code, or its fixed text", cause_text);

    struct Shape {
        ErrorChain chain;
        std::string outer, text;
    };
    const Shape shapes[] = {
        {ErrorChain::from_message(message), message, message},
        {ErrorChain::with_context(message, cause), message, message + ": " + cause_text},
        {ErrorChain::with_context(message, parse_error), message,
         message + ": " + std::string(parse_int_error_text(parse_error))},
        {ErrorChain::from_os_error(cause), cause_text, cause_text},
    };
    for (const Shape& shape : shapes) {
        if (outer_text(shape.chain, system_message) != shape.outer)
            fail<char>("outer_text is the outermost link alone", shape.outer);
        if (chain_text(shape.chain, system_message) != shape.text)
            fail<char>("chain_text joins the links with \": \" and adds nothing", shape.text);
    }
}

// By the table of UTF-8 byte ranges: no overlong forms, surrogates or values past U+10FFFF.
bool is_utf8(std::string_view text) {
    const auto at = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100u; };
    const auto in = [](unsigned value, unsigned low, unsigned high) { return value >= low && value <= high; };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned lead = at(i), second = at(i + 1);
        std::size_t length = 1;
        bool ok = lead <= 0x7F;
        if (in(lead, 0xC2, 0xDF)) length = 2, ok = in(second, 0x80, 0xBF);
        else if (lead == 0xE0) length = 3, ok = in(second, 0xA0, 0xBF);
        else if (lead == 0xED) length = 3, ok = in(second, 0x80, 0x9F);
        else if (in(lead, 0xE1, 0xEF)) length = 3, ok = in(second, 0x80, 0xBF);
        else if (lead == 0xF0) length = 4, ok = in(second, 0x90, 0xBF);
        else if (in(lead, 0xF1, 0xF3)) length = 4, ok = in(second, 0x80, 0xBF);
        else if (lead == 0xF4) length = 4, ok = in(second, 0x80, 0x8F);
        for (std::size_t k = 2; k < length; ++k) ok = ok && in(at(i + k), 0x80, 0xBF);
        if (!ok) return false;
        i += length;
    }
    return true;
}

// The units with each unpaired surrogate replaced by U+FFFD.
std::u16string repaired(std::u16string_view units) {
    const auto high = [](char16_t u) { return u >= 0xD800 && u <= 0xDBFF; };
    const auto low = [](char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; };
    std::u16string out(units);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (high(out[i]) && i + 1 < out.size() && low(out[i + 1])) ++i;
        else if (high(out[i]) || low(out[i])) out[i] = 0xFFFD;
    }
    return out;
}

void check_wide_text(ByteReader& bytes) {
    // Units at the edges of the encodings: surrogate halves, the ends of each length.
    static constexpr std::u16string_view UNITS[] = {u"\xD800", u"\xDBFF", u"\xDC00", u"\xDFFF", u"\xD83D", u"\xDE00",
                                                    u"\x7F",   u"\x80",   u"\x7FF",  u"\x800",  u"\xFFFD", u"\xFFFF",
                                                    u"\xE9",   u"\x4E2D", u"a",      std::u16string_view(u"\0", 1)};
    const std::u16string units = tokens(bytes, UNITS, 32);
    const std::string text = to_wtf8(units);
    if (to_utf16(text) != units) fail<char16_t>("to_utf16(to_wtf8(units)) == units", units);
    if (is_valid_unicode(units) != is_utf8(text))
        fail<char16_t>("valid unicode exactly when the WTF-8 is UTF-8", units);
    if (display_text(text) != to_wtf8(repaired(units)))
        fail<char16_t>("display shows each lone surrogate as U+FFFD", units);

    // Sequences of each length, lone surrogates, overlong, too large, truncated, stray, a pair as halves.
    static constexpr std::string_view TEXTS[] = {"\x7F", "é", "日", "\xF0\x9F\x98\x80", "\xED\xA0\x80",
                                                 "\xED\xBF\xBF", "\xED\xA0\xBD\xED\xB8\x80", "\xC0\x80",
                                                 "\xE0\x80\x80", "\xF4\x90\x80\x80", "\xE6\x97", "\x80",
                                                 "\xEF\xBF\xBD", "\xF0\x9F", std::string_view("\0", 1)};
    const std::string raw = tokens(bytes, TEXTS, 24);
    const std::string shown = display_text(raw);
    if (!is_utf8(shown)) fail<char>("display text is UTF-8", raw);
    if ((shown == raw) != is_utf8(raw)) fail<char>("display leaves exactly UTF-8 text unchanged", raw);
}

// Only a drive or double-backslash path changes: its first units are replaced by a verbatim prefix, once.
void check_long_path_form(std::u16string_view path) {
    const std::u16string prefixed = with_long_path_prefix(path);
    const bool drive = path.size() >= 3 && path[1] == u':' && path[2] == u'\\';
    if (prefixed != path && (!prefixed.starts_with(u"\\\\?\\") || !(drive || path.starts_with(u"\\\\"))))
        fail<char16_t>("only drive and double-backslash paths change, to a verbatim form", path);
    if (!prefixed.ends_with(path.substr(std::min<std::size_t>(4, path.size()))))
        fail<char16_t>("only the first four units are replaced", path);
    if (with_long_path_prefix(prefixed) != prefixed) fail<char16_t>("the long-path form is final", path);
}

void check_passes_unchanged(ByteReader& bytes) {
    static constexpr std::u16string_view TOKENS[] = {u"\\", u"/", u"?", u".", u":", u"C", u"a", u"UNC",
                                                     u"\xE9", u"\xD800", u"\\\\?\\", u"\\??\\", u"\\\\.\\", u" "};
    const std::uint8_t shape = bytes.next();
    std::u16string path = tokens(bytes, TOKENS, 12);
    // Often near the length limit: 244 to 249 units.
    if (shape % 4 == 0) path.resize(244 + bytes.next() % 6, u'a');
    // Verbatim paths have no limit; 247 units and the terminator reach LEGACY_MAX_PATH.
    const bool verbatim = path.starts_with(u"\\\\?\\") || path.starts_with(u"\\??\\");
    const bool drive = path.size() >= 2 && !is_separator(path[0]) && path[1] == u':';
    const bool absolute = (drive && (path.size() == 2 || is_separator(path[2]))) ||
                          (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]));
    if (passes_unchanged(path) != (verbatim || path.empty() || (path.size() < 247 && absolute)))
        fail<char16_t>("a path skips the lookup when verbatim, empty, or short and absolute or drive alone", path);
    check_long_path_form(path);
}

// A full path as the system gives it back, with or without a trailing `\`.
void check_long_path_prefix(ByteReader& bytes) {
    static constexpr std::u16string_view STARTS[] = {u"C:\\", u"z:\\", u"\\\\s\\h\\", u"\\\\srv\\\xE9\\",
                                                     u"\\\\.\\pipe\\", u"\\\\.\\C:\\", u"\\\\?\\C:\\", u"\\??\\C:\\",
                                                     u"\\\\?\\UNC\\s\\h\\"};
    static constexpr std::u16string_view NAMES[] = {u"a\\", u"b.exe\\", u".x\\", u"x.\\", u"\x65E5\\", u"\xD800\\",
                                                    u"...\\"};
    std::u16string full(STARTS[bytes.next() % std::size(STARTS)]);
    for (int count = bytes.next() % 4; count > 0; --count) full += NAMES[bytes.next() % std::size(NAMES)];
    if (bytes.next() % 2 == 0) full.pop_back();

    check_long_path_form(full);

    // The long-path form names the same folders.
    const std::u16string prefixed = with_long_path_prefix(full);
    const std::optional<std::string> parent = parent_path(to_wtf8(full));
    const std::optional<std::string> prefixed_parent = parent_path(to_wtf8(prefixed));
    if (parent.has_value() != prefixed_parent.has_value() ||
        (parent && to_wtf8(with_long_path_prefix(to_utf16(*parent))) != *prefixed_parent))
        fail<char16_t>("the parent of the long-path form is the long-path form of the parent", full);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto run = [&](void (*check)(ByteReader&)) {
        ByteReader bytes(data, size);
        check(bytes);
    };
    run(check_digest_match);
    run(check_error_chain);
    run(check_wide_text);
    run(check_passes_unchanged);
    run(check_long_path_prefix);
    return 0;
}
