#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The rules by which a path reaches the system: which texts go unchanged,
// and which prefix a full path gets. Stated on UTF-16 units.

// Paths shorter than this, terminator included, may skip GetFullPathNameW.
inline constexpr std::size_t LEGACY_MAX_PATH = 248;
// A full path of this many units or more (terminator not counted) needs the
// long-path prefix.
inline constexpr std::size_t LONG_PATH_LIMIT = 247;

constexpr bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// Begins with \\?\ or \??\ (already in the system's own form).
bool has_verbatim_prefix(std::u16string_view path);

// True when the path (without terminator) is handed to the system as it is:
// a verbatim form, the empty path, or a short drive-absolute (C:\x, C:/x, C:)
// or double-separator path.
bool passes_unchanged(std::u16string_view path);

// The long-path form of a full path: \\?\ before a drive path, \\?\ in place
// of \\.\, \\?\UNC\ in place of the two backslashes of a share path; other
// texts unchanged.
std::u16string with_long_path_prefix(std::u16string_view full_path);
