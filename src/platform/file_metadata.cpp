#include "platform/file_metadata.h"

#include <string_view>

#include "platform/ascii.h"
#include "platform/last_error.h"
#include "platform/open_settings.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"
#include "platform/unique_handle.h"

namespace {

constexpr DWORD FOLLOW_LINKS = FILE_FLAG_BACKUP_SEMANTICS | IDENTIFY_ONLY;
constexpr DWORD OPEN_LINK_ITSELF = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | IDENTIFY_ONLY;

static_assert(sizeof(FILE_ATTRIBUTE_TAG_INFO) == 8);

enum class LinkCheck : bool { RefuseNameSurrogate, AcceptAny };

std::uint64_t join_halves(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

// The fields that a directory entry (WIN32_FIND_DATAW) and an open file
// (BY_HANDLE_FILE_INFORMATION) both give, under the same names.
template <typename Information>
FileMetadata common_metadata(const Information& info) {
    FileMetadata metadata;
    metadata.attributes = info.dwFileAttributes;
    metadata.creation_time = info.ftCreationTime;
    metadata.last_access_time = info.ftLastAccessTime;
    metadata.last_write_time = info.ftLastWriteTime;
    metadata.size = join_halves(info.nFileSizeHigh, info.nFileSizeLow);
    return metadata;
}

FileMetadata from_entry(const WIN32_FIND_DATAW& entry) {
    FileMetadata metadata = common_metadata(entry);
    // dwReserved0 holds the tag only for a reparse point.
    metadata.reparse_tag = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.dwReserved0 : 0;
    return metadata;
}

FileMetadata from_handle_information(const BY_HANDLE_FILE_INFORMATION& info) {
    FileMetadata metadata = common_metadata(info);
    metadata.volume_serial_number = info.dwVolumeSerialNumber;
    metadata.link_count = info.nNumberOfLinks;
    metadata.file_index = join_halves(info.nFileIndexHigh, info.nFileIndexLow);
    return metadata;
}

// The entry as its folder lists it, or nothing when the search fails.
std::optional<FileMetadata> listed_entry(const wchar_t* path) {
    WIN32_FIND_DATAW entry{};
    const UniqueFind search(
        sys().FindFirstFileExW(path, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!search) return std::nullopt;
    return from_entry(entry);
}

// An entry that refuses even an open without data access (its security
// forbids it, or another process holds it without sharing, as a paging file
// is) can still be read from its folder's listing. The listing does not
// follow links, so where links are followed, a link found there is not
// reported in place of its target.
std::expected<FileMetadata, OsError> listed_instead(const wchar_t* path, OsError open_error, LinkCheck link_check) {
    if (open_error.code() != ERROR_ACCESS_DENIED && open_error.code() != ERROR_SHARING_VIOLATION)
        return std::unexpected(open_error);
    const auto listed = listed_entry(path);
    if (!listed) return std::unexpected(open_error);
    if (link_check == LinkCheck::RefuseNameSurrogate && listed->is_name_surrogate_link())
        return std::unexpected(open_error);
    return *listed;
}

std::expected<FileMetadata, OsError> query_with(const wchar_t* path, DWORD flags, LinkCheck link_check) {
    const UniqueFile file(sys().CreateFileW(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!file) return listed_instead(path, OsError::from_code(sys().GetLastError()), link_check);
    return query_open_file(file.get());
}

}  // namespace

std::expected<FileMetadata, OsError> query_open_file(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!sys().GetFileInformationByHandle(file, &info)) return last_error();
    FileMetadata metadata = from_handle_information(info);
    if ((metadata.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return metadata;

    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!sys().GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) return last_error();
    metadata.reparse_tag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag.ReparseTag : 0;
    return metadata;
}

std::expected<FileMetadata, OsError> query_metadata(std::string_view path) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());

    auto followed = query_with(wide->c_str(), FOLLOW_LINKS, LinkCheck::RefuseNameSurrogate);
    if (followed || followed.error() != OsError::from_code(ERROR_CANT_ACCESS_FILE)) return followed;

    // The system answers 1920 for a reparse point that it cannot follow, such
    // as one whose filter is not installed. Such an entry is described by its
    // own metadata; a link stays unfollowable and keeps the 1920.
    const auto itself = query_with(wide->c_str(), OPEN_LINK_ITSELF, LinkCheck::AcceptAny);
    if (!itself || itself->is_name_surrogate_link()) return followed;
    return itself;
}

std::expected<FileMetadata, OsError> query_entry_metadata(std::string_view path) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());
    return query_with(wide->c_str(), OPEN_LINK_ITSELF, LinkCheck::AcceptAny);
}

bool is_regular_file(std::string_view path) {
    const auto metadata = query_metadata(path);
    return metadata && !metadata->is_directory() && !metadata->is_name_surrogate_link();
}

bool is_own_name(std::string_view path) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return false;
    std::wstring_view name(*wide);
    name.remove_prefix(name.find_last_of(L"\\/") + 1);
    if (name.find(L':') != std::wstring_view::npos) return false;

    WIN32_FIND_DATAW entry{};
    const UniqueFind search(
        sys().FindFirstFileExW(wide->c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!search) return true;
    if (!has_verbatim_prefix(as_u16(*wide))) {
        while (name.ends_with(L'.') || name.ends_with(L' ')) name.remove_suffix(1);
    }
    return equal_ignoring_ascii_case(std::wstring_view(entry.cFileName), name);
}

bool path_exists(std::string_view path) { return query_metadata(path).has_value(); }
