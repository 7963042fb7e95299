#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "platform/os_error.h"
#include "platform/windows_api.h"

// The bit of a reparse tag that marks a link to another name (symbolic links,
// junctions), as opposed to a file whose data a filter supplies.
inline constexpr DWORD REPARSE_TAG_NAME_SURROGATE_BIT = 0x20000000;

// A file as the system tells it apart from every other: its volume and its
// index there. Two names with one identity are links to one file.
struct FileIdentity {
    std::uint32_t volume_serial_number = 0;
    std::uint64_t file_index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// What the system says about one directory entry. Taken from an open handle
// where possible; the last three fields are absent when it came from the
// folder's listing instead.
struct FileMetadata {
    DWORD attributes = 0;
    FILETIME creation_time{};
    FILETIME last_access_time{};
    FILETIME last_write_time{};
    std::uint64_t size = 0;
    // 0 when the entry is no reparse point.
    DWORD reparse_tag = 0;
    std::optional<std::uint32_t> volume_serial_number;
    std::optional<std::uint32_t> link_count;
    std::optional<std::uint64_t> file_index;

    // None where the file system identifies no file: no volume serial, or
    // the index 0 that some give every file.
    std::optional<FileIdentity> identity() const {
        if (!volume_serial_number || file_index.value_or(0) == 0) return std::nullopt;
        return FileIdentity{volume_serial_number.value_or(0), file_index.value_or(0)};
    }
    bool is_directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A symbolic link, junction or other link that stands for another name.
    bool is_name_surrogate_link() const {
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparse_tag & REPARSE_TAG_NAME_SURROGATE_BIT) != 0;
    }
};

// The metadata of the entry at `path`, links followed. An entry that cannot be
// opened because access is refused or it is open without sharing is described
// from its folder's listing; a reparse point that the system cannot follow
// (1920) is described by its own metadata unless it is a link. Fails with the
// code of the open or of the information call; a link that cannot be followed
// fails with the code of the attempt that followed it. No handle stays open.
[[nodiscard]] std::expected<FileMetadata, OsError> query_metadata(std::string_view path);

// The metadata of a file that is open (any access, even none).
[[nodiscard]] std::expected<FileMetadata, OsError> query_open_file(HANDLE file);

// The metadata of the entry at `path` itself: a link there is described, not
// its target. Fails like query_metadata.
[[nodiscard]] std::expected<FileMetadata, OsError> query_entry_metadata(std::string_view path);

// True when `path` names an entry that is neither a folder nor a link that
// cannot be followed. A failed query counts as false.
[[nodiscard]] bool is_regular_file(std::string_view path);

// True unless `path` is known to reach its file by another name than the
// file's own: its last name holds a ':' (a stream, or a drive where no name
// may be), or the folder lists the entry under another name (a short 8.3
// alias). Letter case counts only beyond ASCII, and trailing dots and spaces,
// which the system drops from a name that is not verbatim, count not at all.
// A folder that cannot be listed tells nothing, and the name is taken.
[[nodiscard]] bool is_own_name(std::string_view path);

// True when the metadata of `path` can be had, whatever the entry is.
[[nodiscard]] bool path_exists(std::string_view path);
