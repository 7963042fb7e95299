#pragma once

#include <expected>
#include <string_view>

#include "platform/os_error.h"
#include "platform/unique_handle.h"

// Deletes the file at `path`, read-only files included; a link is deleted
// itself, never its target. A folder is never deleted (code 5). When the plain
// delete is refused with 5 and the forced delete fails too, the result is 5,
// whatever the forced delete's own code was.
[[nodiscard]] std::expected<void, OsError> delete_file(std::string_view path);

// Renames `source` to `target` on the same volume, replacing an existing
// target file; never copies (17 when the volumes differ). When the plain
// rename is refused with 5, a rename through a handle of the source is tried;
// its failure is reported as 5, except 145 (the target is a folder that is not
// empty) and OutOfMemory (no room for the request).
[[nodiscard]] std::expected<void, OsError> rename_replace(std::string_view source, std::string_view target);

// Opens the file at `path` for reading from its start, sharing read, write
// and delete with others. Folders cannot be opened this way. The caller owns
// the handle.
[[nodiscard]] std::expected<UniqueFile, OsError> open_for_read(std::string_view path);
