#pragma once

#include <expected>
#include <string_view>

#include "platform/file_metadata.h"
#include "platform/os_error.h"
#include "platform/unique_handle.h"

// Deletes the file at `path`, read-only files included; a link is deleted
// itself, never its target. A folder is never deleted (code 5). When the plain
// delete is refused with 5 and the forced delete fails too, the result is 5,
// whatever the forced delete's own code was.
[[nodiscard]] std::expected<void, OsError> delete_file(std::string_view path);

// Deletes the file at `path` if it is still the file of `identity`: a link
// there is deleted itself, and the test and the delete are made through one
// handle, so a file that another process renames there meanwhile stays. A
// read-only file is deleted where the system allows it (Windows 10 1607 and
// later). Fails with ERROR_FILE_NOT_FOUND (2) when another file is there, else
// with the code of the open, the query or the delete.
[[nodiscard]] std::expected<void, OsError> delete_same_file(std::string_view path, const FileIdentity& identity);

// Gives the file at `existing` the second name `link` (a hard link) on its
// volume. Fails with the system's code: 183 when `link` exists, 1 or 50 where
// the file system has no links, 1142 at a file's limit of links.
[[nodiscard]] std::expected<void, OsError> create_hard_link(std::string_view link, std::string_view existing);

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
