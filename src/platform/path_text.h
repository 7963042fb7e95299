#pragma once

#include <optional>
#include <string>
#include <string_view>

// Operations on path text alone; they never touch the disk. Both `\` and `/`
// separate components, except in a verbatim path (\\?\...), which the system
// takes as it stands: there only `\` separates. Where a separator is inserted
// it is `\`. A path may start with a prefix (C:, \\server\share, \\.\name,
// \\?\C:, \\?\UNC\server\share, \\?\name) and a root separator; the names
// that follow skip empty and `.` names, except a `.` that begins a relative
// path, and keep `..`. Text is UTF-8 or WTF-8: only ASCII characters carry
// meaning, so the results equal those of the same rules on UTF-16 units.

// The path with the extension of its last name replaced by `extension`
// (given without its dot): patcher.exe and exe.old give patcher.exe.old.
// A path whose last component is no name (empty, a prefix or root alone, a
// trailing `..`) comes back unchanged; separators and `.` names after the last
// name are dropped. An extension holding a separator is an internal fault.
[[nodiscard]] std::string replace_extension(std::string_view path, std::string_view extension);

// The folder that holds the last component; none for a prefix or root alone or
// the empty path. A bare file name has the empty text as its parent.
[[nodiscard]] std::optional<std::string> parent_path(std::string_view path);

// `name` appended to `folder`, with one `\` between them where needed (none
// after C: alone). A name with a prefix replaces the folder; a rooted name
// keeps only the folder's prefix. Under a verbatim folder the result is
// rebuilt with `.` and `..` resolved, since the system will not resolve them.
[[nodiscard]] std::string join_path(std::string_view folder, std::string_view name);
