#include "platform/path_text.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ascii.h"
#include "platform/internal_fault.h"

namespace {

enum class PrefixKind : std::uint8_t { none, drive, share, device, verbatim };

struct Prefix {
    PrefixKind kind;
    std::size_t length;
};

enum class Part : std::uint8_t { prefix, root, current, parent, name };

// One component, as a range of the path text.
struct Component {
    Part part;
    std::size_t begin;
    std::size_t end;
};

struct ParsedPath {
    PrefixKind prefix_kind = PrefixKind::none;
    std::vector<Component> components;
};

// After \\?\ the system takes the text as it stands: `/` is then an ordinary
// character of a name, in the prefix and in the names alike, and only `\`
// separates. Taking such a path apart at `/` would name a different file.
bool is_separator(char c, bool verbatim) { return c == '\\' || (!verbatim && c == '/'); }

bool is_drive(std::string_view text) { return text.size() >= 2 && is_ascii_letter(text[0]) && text[1] == ':'; }

// The position of the next separator at or after `from`, or the end.
std::size_t next_separator(std::string_view path, std::size_t from, bool verbatim) {
    while (from < path.size() && !is_separator(path[from], verbatim)) ++from;
    return from;
}

// The end of `server` or `server\share` starting at `from`. Without a share
// name the separator after the server is left to be the root.
std::size_t share_end(std::string_view path, std::size_t from, bool verbatim) {
    const std::size_t server_end = next_separator(path, from, verbatim);
    if (server_end + 1 < path.size() && !is_separator(path[server_end + 1], verbatim))
        return next_separator(path, server_end + 1, verbatim);
    return server_end;
}

// The system looks up the UNC link in any letter case.
bool starts_with_unc(std::string_view text) {
    return text.size() >= 4 && (text[0] == 'U' || text[0] == 'u') && (text[1] == 'N' || text[1] == 'n') &&
           (text[2] == 'C' || text[2] == 'c') && text[3] == '\\';
}

Prefix parse_prefix(std::string_view path) {
    if (path.starts_with(R"(\\?\)")) {
        const std::string_view rest = path.substr(4);
        if (starts_with_unc(rest)) return {PrefixKind::verbatim, share_end(path, 8, true)};
        // Only an exact drive: \\?\C:x names the device "C:x", not a folder.
        if (is_drive(rest) && (rest.size() == 2 || rest[2] == '\\')) return {PrefixKind::verbatim, 6};
        return {PrefixKind::verbatim, next_separator(path, 4, true)};
    }
    const bool double_separator = path.size() >= 2 && is_separator(path[0], false) && is_separator(path[1], false);
    // \\?\ spelt with any `/` is not verbatim: the system normalises it, and
    // here it parses as a share whose server is `?`.
    if (double_separator && path.size() >= 4 && path[2] == '.' && is_separator(path[3], false))
        return {PrefixKind::device, next_separator(path, 4, false)};
    if (double_separator) return {PrefixKind::share, share_end(path, 2, false)};
    if (is_drive(path)) return {PrefixKind::drive, 2};
    return {PrefixKind::none, 0};
}

ParsedPath parse(std::string_view path) {
    ParsedPath parsed;
    const Prefix prefix = parse_prefix(path);
    const bool verbatim = prefix.kind == PrefixKind::verbatim;
    parsed.prefix_kind = prefix.kind;
    std::size_t at = 0;
    if (prefix.length > 0) {
        parsed.components.push_back({Part::prefix, 0, prefix.length});
        at = prefix.length;
    }
    const bool rooted = at < path.size() && is_separator(path[at], verbatim);
    if (rooted) {
        parsed.components.push_back({Part::root, at, at + 1});
        ++at;
    }
    const std::size_t first_name = at;
    while (at < path.size()) {
        const std::size_t end = next_separator(path, at, verbatim);
        const std::string_view name = path.substr(at, end - at);
        if (name == "..")
            parsed.components.push_back({Part::parent, at, end});
        else if (name == ".") {
            // A leading `.` says "relative to the current folder"; elsewhere it
            // adds nothing.
            if (at == first_name && !rooted) parsed.components.push_back({Part::current, at, end});
        } else if (!name.empty())
            parsed.components.push_back({Part::name, at, end});
        at = end + 1;
    }
    return parsed;
}

std::string quoted(std::string_view text) {
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') result += '\\';
        result += c;
    }
    result += '"';
    return result;
}

}  // namespace

std::string replace_extension(std::string_view path, std::string_view extension) {
    if (extension.find_first_of(R"(\/)") != std::string_view::npos)
        internal_fault("extension cannot contain path separators: " + quoted(extension));
    const ParsedPath parsed = parse(path);
    // `..` is a component of its own, never a name, so it comes back unchanged
    // here and the stem rule needs no case for it.
    if (parsed.components.empty() || parsed.components.back().part != Part::name) return std::string(path);
    const Component file = parsed.components.back();
    const std::size_t dot = path.substr(file.begin, file.end - file.begin).rfind('.');
    // A dot in first place starts a hidden name (.patcher), not an extension.
    const std::size_t stem_end = dot == std::string_view::npos || dot == 0 ? file.end : file.begin + dot;
    std::string result(path.substr(0, stem_end));
    if (!extension.empty()) {
        result += '.';
        result += extension;
    }
    return result;
}

std::optional<std::string> parent_path(std::string_view path) {
    const ParsedPath parsed = parse(path);
    const std::vector<Component>& components = parsed.components;
    if (components.empty()) return std::nullopt;
    const Part last = components.back().part;
    if (last == Part::prefix || last == Part::root) return std::nullopt;
    // Ending at the previous component drops the separators and skipped `.`
    // names between the two, and keeps a root.
    if (components.size() == 1) return std::string();
    return std::string(path.substr(0, components[components.size() - 2].end));
}

std::string join_path(std::string_view folder, std::string_view name) {
    const ParsedPath parsed_name = parse(name);
    if (parsed_name.prefix_kind != PrefixKind::none) return std::string(name);

    const ParsedPath parsed_folder = parse(folder);
    if (parsed_folder.prefix_kind == PrefixKind::verbatim && !name.empty()) {
        // The system resolves no `.` or `..` in a verbatim path, so they are
        // resolved here.
        struct Piece {
            Part part{};
            std::string_view text;
        };
        std::vector<Piece> kept;
        kept.reserve(parsed_folder.components.size() + parsed_name.components.size());
        for (const Component& c : parsed_folder.components)
            kept.push_back({c.part, folder.substr(c.begin, c.end - c.begin)});
        for (const Component& c : parsed_name.components) {
            if (c.part == Part::current) continue;
            if (c.part == Part::parent) {
                if (kept.back().part == Part::name) kept.pop_back();
                continue;
            }
            if (c.part == Part::root) kept.resize(1);  // back to the prefix
            kept.push_back({c.part, name.substr(c.begin, c.end - c.begin)});
        }
        std::string result;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            if (kept[i].part == Part::root) {
                result += '\\';
                continue;
            }
            if (i > 0 && kept[i - 1].part != Part::root) result += '\\';
            result += kept[i].text;
        }
        return result;
    }

    if (!name.empty() && is_separator(name[0], false)) {
        // A rooted name without a prefix stays on the folder's drive or share.
        const bool has_prefix = parsed_folder.prefix_kind != PrefixKind::none;
        std::string result(folder.substr(0, has_prefix ? parsed_folder.components.front().end : 0));
        result += name;
        return result;
    }

    // C: alone means the current folder of drive C, which takes the name directly.
    const bool drive_alone = folder.size() == 2 && is_drive(folder);
    const bool needs_separator = !folder.empty() && !is_separator(folder.back(), false) && !drive_alone;
    std::string result(folder);
    if (needs_separator) result += '\\';
    result += name;
    return result;
}
