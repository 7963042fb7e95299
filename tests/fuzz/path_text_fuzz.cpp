// Properties of the path-text operations (parent_path, replace_extension,
// join_path), checked on path text derived from the fuzzer's bytes: paths
// assembled from known components, whose expected results follow from those
// components without parsing, and free text over the characters that the
// rules care about. Builds as a libFuzzer target, or with random_driver.cpp
// without it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path_text.h"

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

std::string shown(std::optional<std::string> text) { return text ? "\"" + *text + "\"" : "none"; }

[[noreturn]] void fail(const char* property, std::string_view input, std::string_view second,
                       const std::string& expected, const std::string& actual) {
    std::fprintf(stderr, "property broken: %s\ninput: \"%.*s\"\n", property, static_cast<int>(input.size()),
                 input.data());
    if (!second.empty())
        std::fprintf(stderr, "with: \"%.*s\"\n", static_cast<int>(second.size()), second.data());
    std::fprintf(stderr, "expected: %s\nactual: %s\n", expected.c_str(), actual.c_str());
    std::abort();
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_verbatim(std::string_view path) { return path.starts_with(R"(\\?\)"); }

bool is_separator_in(std::string_view path, char c) { return c == '\\' || (c == '/' && !is_verbatim(path)); }

enum class Part { prefix, root, current, parent, name };

struct Piece {
    Part part;
    std::size_t begin;
    std::size_t end;
};

enum class PrefixForm { none, drive, share, device, verbatim_drive, verbatim_unc, verbatim_name };

// A path text together with the components that the rules find in it.
struct KnownPath {
    std::string text;
    PrefixForm form = PrefixForm::none;
    std::vector<Piece> pieces;

    bool verbatim() const {
        return form == PrefixForm::verbatim_drive || form == PrefixForm::verbatim_unc ||
               form == PrefixForm::verbatim_name;
    }
    std::string_view piece_text(const Piece& piece) const {
        return std::string_view(text).substr(piece.begin, piece.end - piece.begin);
    }
    void append(Part part, std::string_view piece_text) {
        const std::size_t begin = text.size();
        text += piece_text;
        pieces.push_back({part, begin, text.size()});
    }
};

// A name of one to four characters: never `.` or `..`, never starting like a
// drive (letter and colon), and holding `/` only where `/` does not separate.
// The lone surrogate is in its WTF-8 form.
std::string plain_name(ByteReader& bytes, bool verbatim) {
    static constexpr std::string_view CHARACTERS[] = {"a", "b", "C", "x", ".", "?", ":", " ",
                                                      "é", "日", "\xED\xA0\x80", "U", "N", "~", "$", "/"};
    const std::size_t choices = std::size(CHARACTERS) - (verbatim ? 0 : 1);
    std::string name;
    for (int length = 1 + bytes.next() % 4; length > 0; --length) name += CHARACTERS[bytes.next() % choices];
    if (name == "." || name == "..") name += 'a';
    if (name.size() >= 2 && is_ascii_letter(name[0]) && name[1] == ':') name.insert(0, "x");
    return name;
}

char separator(ByteReader& bytes, bool verbatim) { return verbatim || bytes.next() % 2 == 0 ? '\\' : '/'; }

std::string prefix_text(ByteReader& bytes, PrefixForm form) {
    static constexpr std::string_view UNC_SPELLINGS[] = {"UNC", "unc", "Unc", "uNc"};
    const std::string drive = {"CcdZ"[bytes.next() % 4], ':'};
    std::string text;
    switch (form) {
    case PrefixForm::none: break;
    case PrefixForm::drive: text = drive; break;
    case PrefixForm::share: {
        // A server named `?` behind backslashes would make a verbatim prefix.
        std::string server = plain_name(bytes, false);
        if (server == "?") server += 'a';
        text = {separator(bytes, false), separator(bytes, false)};
        text += server;
        text += separator(bytes, false);
        text += plain_name(bytes, false);
        break;
    }
    case PrefixForm::device:
        text = {separator(bytes, false), separator(bytes, false), '.', separator(bytes, false)};
        text += plain_name(bytes, false);
        break;
    case PrefixForm::verbatim_drive: text = R"(\\?\)" + drive; break;
    case PrefixForm::verbatim_unc:
        text = R"(\\?\)";
        text += UNC_SPELLINGS[bytes.next() % std::size(UNC_SPELLINGS)];
        text += '\\';
        text += plain_name(bytes, true);
        text += '\\';
        text += plain_name(bytes, true);
        break;
    case PrefixForm::verbatim_name: {
        // UNC in any case would start the UNC form instead. A drive followed
        // by more than a backslash (C:x, C:/x) is a name of its own.
        std::string name = plain_name(bytes, true);
        if (name.size() == 3 && (name[0] | 0x20) == 'u' && (name[1] | 0x20) == 'n' && (name[2] | 0x20) == 'c')
            name += 'x';
        if (bytes.next() % 2 == 0) name.insert(0, drive);
        text = R"(\\?\)" + name;
        break;
    }
    }
    return text;
}

// A path of any prefix form, with or without a root, and up to six names,
// `.`, `..` or empty names (doubled separators) after it.
KnownPath known_path(ByteReader& bytes, bool allow_prefix) {
    static constexpr PrefixForm FORMS[] = {PrefixForm::none,           PrefixForm::drive,
                                           PrefixForm::share,          PrefixForm::device,
                                           PrefixForm::verbatim_drive, PrefixForm::verbatim_unc,
                                           PrefixForm::verbatim_name,  PrefixForm::none};
    KnownPath path;
    path.form = allow_prefix ? FORMS[bytes.next() % std::size(FORMS)] : PrefixForm::none;
    const bool verbatim = path.verbatim();
    if (path.form != PrefixForm::none) path.append(Part::prefix, prefix_text(bytes, path.form));
    const bool rooted = bytes.next() % 2 == 0;
    if (rooted) path.append(Part::root, std::string(1, separator(bytes, verbatim)));
    // After any prefix but a drive, a separator must come first, and it is the root.
    const bool names_may_follow = rooted || path.form == PrefixForm::none || path.form == PrefixForm::drive;
    const int count = names_may_follow ? bytes.next() % 7 : 0;
    bool first = true;
    for (int i = 0; i < count; ++i) {
        const int choice = bytes.next() % 6;
        // A leading empty name would put a separator first: a root, or with
        // the root of a path without prefix, the start of a share.
        if (choice == 0 && first && (!rooted || path.form == PrefixForm::none)) continue;
        const bool leading = first;
        if (!first) path.text += separator(bytes, verbatim);
        first = false;
        if (choice == 0) continue;
        if (choice == 1) {
            // A `.` counts only where it begins a relative path.
            if (leading && !rooted)
                path.append(Part::current, ".");
            else
                path.text += '.';
        } else if (choice == 2) {
            path.append(Part::parent, "..");
        } else {
            path.append(Part::name, plain_name(bytes, verbatim));
        }
    }
    return path;
}

std::optional<std::string> expected_parent(const KnownPath& path) {
    const std::vector<Piece>& pieces = path.pieces;
    if (pieces.empty() || pieces.back().part == Part::prefix || pieces.back().part == Part::root) return std::nullopt;
    if (pieces.size() == 1) return std::string();
    return path.text.substr(0, pieces[pieces.size() - 2].end);
}

std::string expected_replacement(const KnownPath& path, std::string_view extension) {
    if (path.pieces.empty() || path.pieces.back().part != Part::name) return path.text;
    const Piece file = path.pieces.back();
    const std::size_t dot = path.piece_text(file).rfind('.');
    const std::size_t stem_end = dot == std::string_view::npos || dot == 0 ? file.end : file.begin + dot;
    std::string result = path.text.substr(0, stem_end);
    if (!extension.empty()) result += "." + std::string(extension);
    return result;
}

// The joined path with its components; none where the rules leave the result
// open (a rooted name under a folder without verbatim prefix).
std::optional<KnownPath> expected_join(const KnownPath& folder, const KnownPath& name) {
    if (name.form != PrefixForm::none) return name;
    if (folder.verbatim() && !name.text.empty()) {
        // The components, with the name's `.` and `..` resolved, written out
        // with `\` between neighbours; one after the prefix is then the root.
        struct Kept {
            Part part;
            std::string_view text;
        };
        std::vector<Kept> kept;
        for (const Piece& piece : folder.pieces) kept.push_back({piece.part, folder.piece_text(piece)});
        for (const Piece& piece : name.pieces) {
            if (piece.part == Part::current) continue;
            if (piece.part == Part::parent) {
                if (kept.back().part == Part::name) kept.pop_back();
                continue;
            }
            if (piece.part == Part::root) kept.resize(1);
            kept.push_back({piece.part, name.piece_text(piece)});
        }
        KnownPath joined;
        joined.form = folder.form;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            if (kept[i].part == Part::root) {
                joined.append(Part::root, "\\");
                continue;
            }
            if (i > 0 && kept[i - 1].part == Part::prefix) joined.append(Part::root, "\\");
            else if (i > 0 && kept[i - 1].part != Part::root) joined.text += '\\';
            joined.append(kept[i].part, kept[i].text);
        }
        return joined;
    }
    if (!name.text.empty() && (name.text[0] == '\\' || name.text[0] == '/')) return std::nullopt;

    // Whether a separator is needed looks at the last character alone, so a
    // `/` at the end of a verbatim folder also counts.
    const bool drive_alone = folder.form == PrefixForm::drive && folder.text.size() == 2;
    const bool needs_separator =
        !folder.text.empty() && folder.text.back() != '\\' && folder.text.back() != '/' && !drive_alone;
    KnownPath joined = folder;
    if (needs_separator) {
        if (!folder.pieces.empty() && folder.pieces.back().part == Part::prefix)
            joined.append(Part::root, "\\");
        else
            joined.text += '\\';
    }
    // The name's leading `.` still begins a relative path only after nothing
    // or after a drive alone.
    const bool still_relative = folder.text.empty() || drive_alone;
    const std::size_t offset = joined.text.size();
    joined.text += name.text;
    for (const Piece& piece : name.pieces)
        if (piece.part != Part::current || still_relative)
            joined.pieces.push_back({piece.part, offset + piece.begin, offset + piece.end});
    return joined;
}

void check_known_path(const KnownPath& path, std::string_view extension) {
    const std::optional<std::string> parent = parent_path(path.text);
    if (parent != expected_parent(path))
        fail("parent_path is the text up to the component before the last", path.text, "",
             shown(expected_parent(path)), shown(parent));
    for (const std::string_view ext : {std::string_view("exe.old"), extension}) {
        const std::string replaced = replace_extension(path.text, ext);
        if (replaced != expected_replacement(path, ext))
            fail("replace_extension replaces the extension of the last name only", path.text, ext,
                 shown(expected_replacement(path, ext)), shown(replaced));
    }
}

// An extension of up to three characters, without separators.
std::string extension_text(ByteReader& bytes) {
    static constexpr std::string_view CHARACTERS = "ab.é:?";
    std::string extension;
    for (int length = bytes.next() % 4; length > 0; --length) extension += CHARACTERS[bytes.next() % CHARACTERS.size()];
    return extension;
}

void check_known_paths(ByteReader& bytes) {
    const KnownPath folder = known_path(bytes, true);
    const std::string extension = extension_text(bytes);
    check_known_path(folder, extension);

    // Names of every form: a plain name, a relative path, or a path with a prefix.
    const int choice = bytes.next() % 4;
    KnownPath name;
    if (choice == 0) name.append(Part::name, plain_name(bytes, false));
    else if (choice == 1) name = known_path(bytes, false);
    else if (choice == 2) name = known_path(bytes, true);
    const std::optional<KnownPath> expected = expected_join(folder, name);
    if (!expected) return;
    const std::string joined = join_path(folder.text, name.text);
    if (joined != expected->text)
        fail("join_path adds the name as the rules say", folder.text, name.text, shown(expected->text),
             shown(joined));
    // The joined path parses into the folder's components and the name's:
    // its parent, for a plain name, is the folder without trailing
    // separators and `.` names.
    check_known_path(*expected, extension);
}

// Free text over the characters and prefixes that the rules care about.
std::string free_path(const std::uint8_t* data, std::size_t size) {
    static constexpr std::string_view TOKENS[] = {"\\", "/",  ".",    "..",  ":",          "?",
                                                  "a",  "C",  "x.y",  "UNC", "unc",        "é",
                                                  "日", " ",  R"(\\?\)", R"(\\.\)", "\xED\xA0\x80", "~"};
    std::string path;
    for (std::size_t i = 0; i < size; ++i) path += TOKENS[data[i] % std::size(TOKENS)];
    return path;
}

// The same text with its non-ASCII characters exchanged for others of another
// length: é for 日 and the lone surrogate for é.
std::string other_non_ascii(std::string_view text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i).starts_with("é")) {
            result += "日";
            i += 1;
        } else if (text.substr(i).starts_with("\xED\xA0\x80")) {
            result += "é";
            i += 2;
        } else {
            result += text[i];
        }
    }
    return result;
}

std::optional<std::string> other_non_ascii_if_any(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return other_non_ascii(*text);
}

void check_free_path(const std::string& path, const std::string& name) {
    const std::optional<std::string> parent = parent_path(path);
    if (parent) {
        if (parent->size() >= path.size() || !path.starts_with(*parent))
            fail("a parent is a shorter prefix of the path", path, "", "a shorter prefix", shown(parent));
        // Trailing separators are dropped, except the root's.
        if (!parent->empty() && is_separator_in(*parent, parent->back()) && parent_path(*parent))
            fail("a parent ends in a separator only at a root", path, "", "no parent of the parent",
                 shown(parent_path(*parent)));
    }

    const std::string replaced = replace_extension(path, "exe.old");
    if (!parent && replaced != path)
        fail("a path without parent has no name to change", path, "", shown(path), shown(replaced));
    if (replaced != path) {
        // The last component is a name: the extension is laid on its stem,
        // in place, whatever the extension.
        const std::string stem = replace_extension(path, "");
        if (replaced != stem + ".exe.old")
            fail("the stem does not depend on the extension", path, "", shown(stem + ".exe.old"), shown(replaced));
        if (parent_path(replaced) != parent)
            fail("a new extension keeps the parent", path, "", shown(parent), shown(parent_path(replaced)));
        if (replace_extension(replaced, "old") != replaced)
            fail("the new last extension is the extension's last part", path, "", shown(replaced),
                 shown(replace_extension(replaced, "old")));
    }

    const std::string joined = join_path(path, name);
    if (is_verbatim(path)) {
        if (!joined.starts_with(R"(\\?\)") || !joined.ends_with("\\" + name))
            fail("a verbatim join keeps the prefix and ends with the name", path, name, "\\\\?\\...\\" + name,
                 shown(joined));
    } else {
        const bool drive_alone = path.size() == 2 && is_ascii_letter(path[0]) && path[1] == ':';
        const bool needs_separator = !path.empty() && !is_separator_in(path, path.back()) && !drive_alone;
        const std::string expected = path + (needs_separator ? "\\" : "") + name;
        if (joined != expected)
            fail("a plain name is appended to the folder", path, name, shown(expected), shown(joined));
    }

    // Only ASCII characters carry meaning.
    const std::string other = other_non_ascii(path);
    const std::string other_name = other_non_ascii(name);
    if (parent_path(other) != other_non_ascii_if_any(parent))
        fail("parent_path ignores non-ASCII characters", other, "", shown(other_non_ascii_if_any(parent)),
             shown(parent_path(other)));
    if (replace_extension(other, "exe.old") != other_non_ascii(replaced))
        fail("replace_extension ignores non-ASCII characters", other, "", shown(other_non_ascii(replaced)),
             shown(replace_extension(other, "exe.old")));
    if (join_path(other, other_name) != other_non_ascii(joined))
        fail("join_path ignores non-ASCII characters", other, other_name, shown(other_non_ascii(joined)),
             shown(join_path(other, other_name)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader bytes(data, size);
    check_known_paths(bytes);
    ByteReader name_bytes(data, size);
    check_free_path(free_path(data, size), plain_name(name_bytes, false));
    return 0;
}
