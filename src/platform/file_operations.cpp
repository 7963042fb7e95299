#include "platform/file_operations.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/last_error.h"
#include "platform/open_settings.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"

namespace {

// FileDispositionInfoEx and FileRenameInfoEx (Windows 10 1607 and later).
// mingw-w64 declares them only when _WIN32_WINNT holds an NTDDI-style
// version, and without them the enumerators that follow shift down by two,
// so their values are spelled out.
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto FILE_RENAME_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

constexpr DWORD FORCED_DELETE_FLAGS = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                      FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
constexpr DWORD FORCED_RENAME_FLAGS = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;

// FILE_RENAME_INFO as the system reads it: Flags at 0, RootDirectory at 8,
// FileNameLength at 16, the name from 20. The block holds the header, the name
// and its NUL: L + 22 bytes for a name of L bytes.
constexpr std::size_t RENAME_NAME_OFFSET = offsetof(FILE_RENAME_INFO, FileName);
constexpr std::size_t RENAME_HEADER_AND_NUL = RENAME_NAME_OFFSET + sizeof(wchar_t);
static_assert(offsetof(FILE_RENAME_INFO, Flags) == 0);
static_assert(offsetof(FILE_RENAME_INFO, RootDirectory) == 8);
static_assert(offsetof(FILE_RENAME_INFO, FileNameLength) == 16);
static_assert(RENAME_NAME_OFFSET == 20);

std::unexpected<OsError> access_denied() { return std::unexpected(OsError::from_code(ERROR_ACCESS_DENIED)); }

// Renames the open `source` to `target` (the converted path) with
// replace-if-exists and POSIX semantics.
std::expected<void, OsError> rename_by_handle(HANDLE source, const std::wstring& target) {
    const std::uint64_t name_bytes = std::uint64_t{target.size()} * sizeof(wchar_t);
    // The whole block, not only the name, must be measured in 32 bits.
    if (name_bytes > 0xFFFFFFFF - RENAME_HEADER_AND_NUL) return access_denied();
    const std::size_t block_size = static_cast<std::size_t>(name_bytes) + RENAME_HEADER_AND_NUL;

    const UniqueHeapBlock block(sys().HeapAlloc(sys().GetProcessHeap(), 0, block_size));
    if (!block) return std::unexpected(OsError::from_kind(OsErrorKind::OutOfMemory));

    auto* bytes = static_cast<unsigned char*>(block.get());
    const DWORD flags = FORCED_RENAME_FLAGS;
    const HANDLE root_directory = nullptr;
    const DWORD name_length = static_cast<DWORD>(name_bytes);
    std::memset(bytes, 0, RENAME_NAME_OFFSET);
    std::memcpy(bytes + offsetof(FILE_RENAME_INFO, Flags), &flags, sizeof flags);
    std::memcpy(bytes + offsetof(FILE_RENAME_INFO, RootDirectory), static_cast<const void*>(&root_directory),
                sizeof root_directory);
    std::memcpy(bytes + offsetof(FILE_RENAME_INFO, FileNameLength), &name_length, sizeof name_length);
    std::memcpy(bytes + RENAME_NAME_OFFSET, target.c_str(), name_bytes + sizeof(wchar_t));

    if (sys().SetFileInformationByHandle(source, FILE_RENAME_INFO_EX_CLASS, bytes, static_cast<DWORD>(block_size)))
        return {};
    // A folder that is not empty cannot be replaced, and the caller may want
    // to know; every other refusal reads as the access denial that led here.
    if (sys().GetLastError() == ERROR_DIR_NOT_EMPTY) return std::unexpected(OsError::from_code(ERROR_DIR_NOT_EMPTY));
    return access_denied();
}

}  // namespace

std::expected<void, OsError> delete_file(std::string_view path) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());

    if (sys().DeleteFileW(wide->c_str())) return {};
    const OsError error = OsError::from_code(sys().GetLastError());
    if (error.code() != ERROR_ACCESS_DENIED) return std::unexpected(error);

    // DeleteFileW refuses a read-only file with 5. A POSIX-semantics
    // disposition that ignores the read-only attribute deletes it, and the
    // name goes when this handle closes even while others keep the file open.
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder cannot be opened here, so
    // folders stay refused. This path's own failures (Wine refuses
    // FileDispositionInfoEx with 87) are reported as the 5 that led here.
    const UniqueFile file(sys().CreateFileW(wide->c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT | IDENTIFY_ONLY, nullptr));
    if (!file) return access_denied();
    FILE_DISPOSITION_INFO_EX disposition{};
    disposition.Flags = FORCED_DELETE_FLAGS;
    if (!sys().SetFileInformationByHandle(file.get(), FILE_DISPOSITION_INFO_EX_CLASS, &disposition, sizeof disposition))
        return access_denied();
    return {};
}

std::expected<void, OsError> delete_same_file(std::string_view path, const FileIdentity& identity) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());

    const UniqueFile file(sys().CreateFileW(wide->c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT | IDENTIFY_ONLY, nullptr));
    if (!file) return last_error();
    const auto metadata = query_open_file(file.get());
    if (!metadata) return std::unexpected(metadata.error());
    if (metadata->identity() != identity) return std::unexpected(OsError::from_code(ERROR_FILE_NOT_FOUND));

    // The POSIX-semantics disposition also takes a read-only file; where it
    // is missing (before Windows 10 1607, and under Wine), the plain one.
    FILE_DISPOSITION_INFO_EX forced{};
    forced.Flags = FORCED_DELETE_FLAGS;
    if (sys().SetFileInformationByHandle(file.get(), FILE_DISPOSITION_INFO_EX_CLASS, &forced, sizeof forced)) return {};
    FILE_DISPOSITION_INFO plain{};
    plain.DeleteFile = TRUE;
    if (sys().SetFileInformationByHandle(file.get(), FileDispositionInfo, &plain, sizeof plain)) return {};
    return last_error();
}

std::expected<void, OsError> create_hard_link(std::string_view link, std::string_view existing) {
    const auto wide_link = to_wide_path(link, true);
    if (!wide_link) return std::unexpected(wide_link.error());
    const auto wide_existing = to_wide_path(existing, true);
    if (!wide_existing) return std::unexpected(wide_existing.error());

    if (sys().CreateHardLinkW(wide_link->c_str(), wide_existing->c_str(), nullptr)) return {};
    return last_error();
}

std::expected<void, OsError> rename_replace(std::string_view source, std::string_view target) {
    const auto wide_source = to_wide_path(source, true);
    if (!wide_source) return std::unexpected(wide_source.error());
    const auto wide_target = to_wide_path(target, true);
    if (!wide_target) return std::unexpected(wide_target.error());

    if (sys().MoveFileExW(wide_source->c_str(), wide_target->c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    const OsError error = OsError::from_code(sys().GetLastError());
    if (error.code() != ERROR_ACCESS_DENIED) return std::unexpected(error);

    // MoveFileExW refuses with 5 to replace a target that another process
    // holds open, even with delete sharing. A POSIX-semantics rename through a
    // handle of the source replaces the name and leaves the old file to its
    // holders. A failure to open the source reads as the 5 that led here.
    const UniqueFile file(sys().CreateFileW(wide_source->c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | IDENTIFY_ONLY,
                                            nullptr));
    if (!file) return access_denied();
    return rename_by_handle(file.get(), *wide_target);
}

std::expected<UniqueFile, OsError> open_for_read(std::string_view path) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());

    UniqueFile file(
        sys().CreateFileW(wide->c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, IDENTIFY_ONLY, nullptr));
    if (!file) return last_error();
    return file;
}
