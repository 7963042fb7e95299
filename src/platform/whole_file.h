#pragma once

#include <expected>
#include <string_view>

#include "platform/os_error.h"

// Replaces the content of the file at `path` with `bytes`, creating the file
// when it is missing. An existing file is emptied in place (it keeps its
// attributes); an existing read-only file fails the open. Nothing is ever
// written through a link: a link at `path` (not followed), a folder, or a
// file with more than one name is left untouched and fails with 5. On a
// failed write the file keeps what was written before.
[[nodiscard]] std::expected<void, OsError> write_whole_file(std::string_view path, std::string_view bytes);
