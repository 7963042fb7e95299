#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "platform/os_error.h"

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
