// Fuzzes the path-text operations on paths built from known parts and on free text.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path_text.h"

namespace {

// The fuzzer's bytes one at a time, then zeros; `pick` chooses from a table.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    template <std::size_t N>
    std::string_view pick(const std::string_view (&table)[N]) { return table[next() % N]; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

[[noreturn]] void fail(const char* property, std::string_view path, std::string_view with,
                       const std::optional<std::string>& actual) {
    std::fprintf(stderr, "property broken: %s\npath: \"%.*s\"\nwith: \"%.*s\"\nactual: %s\n", property,
                 static_cast<int>(path.size()), path.data(), static_cast<int>(with.size()), with.data(),
                 actual ? ("\"" + *actual + "\"").c_str() : "none");
    std::abort();
}

// One to four characters, never `.`, `..` or drive-like; `/` only where it does not separate.
std::string plain_name(ByteReader& bytes, bool verbatim) {
    static constexpr std::string_view CHARACTERS[] = {"a", "C", ".", "?", ":", " ", "é", "日", "\xED\xA0\x80", "~",
                                                      "/"};
    std::string name;
    for (int length = 1 + bytes.next() % 4; length > 0; --length) {
        const std::string_view c = bytes.pick(CHARACTERS);
        name += c == "/" && !verbatim ? "$" : c;
    }
    if (name == "." || name == "..") name += 'a';
    if (name.size() >= 2 && name[1] == ':' && (name[0] == 'a' || name[0] == 'C')) name.insert(0, "x");
    return name;
}

// levels[k] is levels[k - 1] and names[k], spelt as join_path spells it where joinable[k].
struct KnownPath {
    std::string prefix;
    bool verbatim = false;
    std::vector<std::string> levels, names;
    std::vector<bool> joinable;

    void add(std::string_view separator, const std::string& name, bool clean) {
        levels.push_back(levels.back() + std::string(separator) + name);
        names.push_back(name);
        joinable.push_back(clean);
    }
};

KnownPath known_path(ByteReader& bytes) {
    static constexpr std::string_view PREFIXES[] = {"", "", "C:", "z:", R"(\\s\h)", "//s/h", R"(\\é\h)",
                                                    R"(\\.\pipe)", "//./d", R"(\\?\C:)", R"(\\?\C:x)",
                                                    R"(\\?\UNC\s\h)", R"(\\?\unc\é\h)", R"(\\?\Volume{1})"};
    static constexpr std::string_view NOISE[] = {"\\", "\\", "\\", "\\", "/", "\\\\", "\\.\\"};
    KnownPath path;
    path.prefix = bytes.pick(PREFIXES);
    path.verbatim = path.prefix.starts_with(R"(\\?\)");
    const bool may_be_relative = path.prefix.size() <= 2;
    const bool rooted = !may_be_relative || bytes.next() % 2 == 0;
    path.levels = {path.prefix + (rooted ? (path.verbatim || bytes.next() % 2 ? "\\" : "/") : "")};
    path.names = {""};
    path.joinable = {false};
    if (!rooted && bytes.next() % 4 == 0) path.add("", ".", true);
    bool tidy = true;
    for (int count = bytes.next() % 5; count > 0; --count) {
        const std::string name = !path.verbatim && bytes.next() % 6 == 0 ? ".." : plain_name(bytes, path.verbatim);
        const std::string_view separator = path.levels.size() == 1 ? "" : bytes.pick(NOISE);
        if (path.verbatim && separator == "/") continue;
        const bool clean = separator.size() < 2 && separator != "/" && !name.contains('/');
        tidy = tidy && clean;
        path.add(separator, name, path.verbatim ? tidy : clean);
    }
    return path;
}

// A relative name of one to three parts, each `.`, `..` or a plain name.
std::string relative_name(ByteReader& bytes) {
    std::string name;
    for (int parts = 1 + bytes.next() % 3; parts > 0; --parts) {
        const int choice = bytes.next() % 4;
        name += choice == 0 ? "." : choice == 1 ? ".." : plain_name(bytes, false);
        if (parts > 1) name += '\\';
    }
    return name;
}

void check_known_path(const KnownPath& path, std::string_view extension) {
    if (parent_path(path.levels[0]))
        fail("a prefix and root alone have no parent", path.levels[0], "", parent_path(path.levels[0]));
    for (std::size_t k = 1; k < path.levels.size(); ++k) {
        if (parent_path(path.levels[k]) != path.levels[k - 1])
            fail("the parent is the level before", path.levels[k], "", parent_path(path.levels[k]));
        if (path.joinable[k] && join_path(path.levels[k - 1], path.names[k]) != path.levels[k])
            fail("join_path builds the next level", path.levels[k - 1], path.names[k],
                 join_path(path.levels[k - 1], path.names[k]));
    }

    // Trailing `\` and `.` names after the last name change neither its parent nor its new extension.
    const std::string& last = path.names.back();
    const bool ends_in_name = path.levels.size() > 1 && last != "." && last != "..";
    std::string expected = path.levels.back();
    if (ends_in_name) {
        const std::size_t dot = last.rfind('.');
        if (dot != std::string::npos && dot != 0) expected.resize(expected.size() - last.size() + dot);
        if (!extension.empty()) expected += "." + std::string(extension);
    }
    static constexpr std::string_view TRAILS[] = {"", "\\", "\\.", "\\.\\"};
    for (const std::string_view trail : TRAILS) {
        if (!ends_in_name && !trail.empty()) break;
        const std::string text = path.levels.back() + std::string(trail);
        if (replace_extension(text, extension) != expected)
            fail("replace_extension replaces the last name's extension", text, extension,
                 replace_extension(text, extension));
        if (ends_in_name && parent_path(text) != path.levels[path.levels.size() - 2])
            fail("trailing separators and `.` names keep the parent", text, "", parent_path(text));
    }
}

// A rooted name keeps the folder's prefix, a prefixed one replaces it, a relative one is appended or resolved.
void check_joins(const KnownPath& path, const KnownPath& other, ByteReader& bytes) {
    const std::string& folder = path.levels.back();
    const std::string name = plain_name(bytes, false);
    const std::string rest = relative_name(bytes);
    if (join_path(folder, "\\" + name) != path.prefix + "\\" + name)
        fail("a rooted name keeps only the folder's prefix", folder, "\\" + name, join_path(folder, "\\" + name));
    const std::string& prefixed = other.levels.back();
    if (!other.prefix.empty() && join_path(folder, prefixed) != prefixed)
        fail("a prefixed name replaces the folder", folder, prefixed, join_path(folder, prefixed));
    for (const std::string& first : {std::string("."), std::string(".."), name}) {
        const std::string relative = first + "\\" + rest;
        const std::string joined = join_path(folder, relative);
        if (!path.verbatim && joined != join_path(folder, "") + relative)
            fail("a relative name is appended", folder, relative, joined);
        if (!path.verbatim) continue;
        const std::string resolved = first == "." ? join_path(folder, rest)
                                     : first == ".." ? join_path(parent_path(folder).value_or(folder), rest)
                                                     : join_path(join_path(folder, name), rest);
        if (joined != resolved) fail("a verbatim join resolves one part at a time", folder, relative, joined);
    }
}

void check_free_path(const std::string& path, const std::string& name) {
    const bool verbatim = path.starts_with(R"(\\?\)");
    const std::optional<std::string> parent = parent_path(path);
    if (parent && (parent->size() >= path.size() || !path.starts_with(*parent)))
        fail("a parent is a shorter prefix of the path", path, "", parent);
    if (parent && (parent->ends_with('\\') || (parent->ends_with('/') && !verbatim)) && parent_path(*parent))
        fail("a parent ends in a separator only at a root", path, "", parent_path(*parent));

    const std::string replaced = replace_extension(path, "exe.old");
    if (replaced != path && (!parent || replaced != replace_extension(path, "") + ".exe.old" ||
                             parent_path(replaced) != parent))
        fail("a new extension goes on the stem of a name and keeps the parent", path, "", replaced);

    const std::string joined = join_path(path, name);
    const bool drive_alone = path.size() == 2 && path[1] == ':' && (path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z';
    const bool bare = path.empty() || path.ends_with('\\') || path.ends_with('/') || drive_alone;
    if (verbatim ? !joined.starts_with(R"(\\?\)") || !joined.ends_with("\\" + name)
                 : joined != path + (bare ? "" : "\\") + name)
        fail("a plain name is appended after one `\\` where needed", path, name, joined);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static constexpr std::string_view EXTENSIONS[] = {"", "exe.old", "a", "é", ".", "a.b", ":?"};
    ByteReader bytes(data, size);
    const KnownPath path = known_path(bytes);
    check_known_path(path, bytes.pick(EXTENSIONS));
    const KnownPath other = known_path(bytes);
    check_joins(path, other, bytes);

    static constexpr std::string_view TOKENS[] = {"\\", "/", ".", "..", ":", "?", "a", "C", "x.y", "UNC", "unc",
                                                  "é", " ", "\xED\xA0\x80", R"(\\?\)", R"(\\.\)", "~"};
    ByteReader free_bytes(data, size);
    std::string free_text;
    for (std::size_t i = 0; i < size; ++i) free_text += free_bytes.pick(TOKENS);
    check_free_path(free_text, plain_name(bytes, false));
    return 0;
}
