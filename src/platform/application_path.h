#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "platform/os_error.h"

// The path that a new process is started from, made before CreateProcessW so
// that the system never searches for the executable itself. Results are
// UTF-16 with their terminator (c_str()).

inline constexpr std::string_view NO_FILE_NAME_TEXT = "program path has no file name";
inline constexpr std::string_view PROGRAM_NOT_FOUND_TEXT = "program not found";

// The form in which the system gets a path as the application: a \\?\ path
// that names the same file without the prefix loses it, short absolute paths
// stay as they are, and other paths are resolved against the current
// directory, with \\?\ once they reach the long-path limit. Fails for a path
// holding a NUL, or with the code of GetFullPathNameW.
[[nodiscard]] std::expected<std::wstring, OsError> to_application_path(std::u16string_view path);

// The application path of the first of these folders that holds `name` (a
// text without separator): the updater's own folder, the system directory,
// the Windows directory, then the entries of PATH. Never the current
// directory. A name without a dot is looked for with ".exe" added. A folder
// whose query fails is skipped. Fails with InvalidInput for a name holding a
// NUL and with NotFound when no folder holds it.
[[nodiscard]] std::expected<std::wstring, OsError> find_program(std::u16string_view name);

// The application path of a program text: a path ending in ".exe" is taken
// without an existence check; another path is taken with ".exe" added when
// that exists, else as it is; a bare name is searched for (find_program).
// Fails with InvalidInput when the text names no file (empty, or ending in a
// separator).
[[nodiscard]] std::expected<std::wstring, OsError> resolve_application_path(std::u16string_view program);
