#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "platform/os_error.h"

// How a path becomes what the system gets: which texts go unchanged, which
// are resolved, and which prefix a full path gets. The rules, stated on UTF-16
// units, are pure (system_path.cpp); the conversion that applies them calls
// the system (system_path_windows.cpp).

// Paths shorter than this, terminator included, may skip GetFullPathNameW.
inline constexpr std::size_t LEGACY_MAX_PATH = 248;
// A full path of this many units or more (terminator not counted) needs the
// long-path prefix.
inline constexpr std::size_t LONG_PATH_LIMIT = 247;
// Application paths (of a new process) of more units than this, terminator
// included, are passed as they are.
inline constexpr std::size_t VERBATIM_KEEP_LIMIT = 260;

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

// The path as the system gets it: UTF-16 with its terminator (c_str()).
// Relative paths are resolved against the current directory now; long or
// relative paths get the \\?\ form, and with prefer_verbatim on everything
// that had to be resolved does. Fails for a path holding a NUL, or with the
// code of GetFullPathNameW.
[[nodiscard]] std::expected<std::wstring, OsError> to_wide_path(std::string_view path, bool prefer_verbatim);

// GetFullPathNameW with the buffer rule of the program's text queries.
[[nodiscard]] std::expected<std::wstring, OsError> full_path_name(const wchar_t* path);

// std::u16string and std::wstring hold the same units on Windows.
std::wstring as_wide(std::u16string_view units);
std::u16string_view as_u16(std::wstring_view units);
