#include "platform/file_metadata.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

constexpr DWORD FOLLOWING_OPEN = FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD LINK_ITSELF_OPEN = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD REPARSE = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD SYMLINK = IO_REPARSE_TAG_SYMLINK;       // a name surrogate
constexpr DWORD JUNCTION = IO_REPARSE_TAG_MOUNT_POINT;  // a name surrogate
constexpr DWORD DEDUP = IO_REPARSE_TAG_DEDUP;           // data supplied by a filter
const HANDLE FAKE_SEARCH = reinterpret_cast<HANDLE>(0x5EA4C4);

// What the faked calls answer; a zero code or no value leaves the call to the system.
struct Faked {
    DWORD following_open = 0;
    DWORD link_itself_open = 0;
    DWORD information = 0;
    std::optional<FILE_ATTRIBUTE_TAG_INFO> tag;  // makes the handle's entry a reparse point
    DWORD tag_query = 0;
    std::optional<std::pair<DWORD, DWORD>> listed;  // attributes and dwReserved0 of a made-up listing entry
};
Faked faked;
std::vector<DWORD> open_flags;
std::wstring searched;

template <class T>
T failed(DWORD code, T result) {
    ::SetLastError(code);
    return result;
}

// Every open must ask for no access, share everything and open an existing entry.
HANDLE WINAPI faked_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE template_file) {
    open_flags.push_back(flags);
    EXPECT_EQ(
        std::tuple(access, share, security, disposition, template_file),
        std::tuple(0u, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, DWORD{OPEN_EXISTING}, nullptr));
    const DWORD code = flags == FOLLOWING_OPEN ? faked.following_open : faked.link_itself_open;
    if (code != 0) return failed(code, INVALID_HANDLE_VALUE);
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}

BOOL WINAPI faked_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (faked.information != 0) return failed(faked.information, FALSE);
    if (!::GetFileInformationByHandle(file, info)) return FALSE;
    if (faked.tag) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

BOOL WINAPI faked_tag(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    EXPECT_EQ(std::tuple(info_class, size), std::tuple(FileAttributeTagInfo, 8u));
    if (faked.tag_query != 0) return failed(faked.tag_query, FALSE);
    if (!faked.tag) return ::GetFileInformationByHandleEx(file, info_class, info, size);
    *static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info) = *faked.tag;
    return TRUE;
}

HANDLE WINAPI faked_search(LPCWSTR path, FINDEX_INFO_LEVELS level, LPVOID entry, FINDEX_SEARCH_OPS op, LPVOID filter,
                           DWORD flags) {
    searched = path;
    EXPECT_EQ(std::tuple(level, op, filter, flags), std::tuple(FindExInfoBasic, FindExSearchNameMatch, nullptr, 0u));
    auto* data = static_cast<WIN32_FIND_DATAW*>(entry);
    if (!faked.listed) return ::FindFirstFileExW(path, level, entry, op, filter, flags);
    std::tie(data->dwFileAttributes, data->dwReserved0) = *faked.listed;
    data->nFileSizeHigh = 1;
    data->nFileSizeLow = 2;
    return FAKE_SEARCH;
}

// Opens, handle queries and the folder listing go to the system unless `faked` says otherwise.
class FileMetadataTest : public ::testing::Test {
protected:
    FileMetadataTest() {
        faked = {};
        write_file(file, "hello");
        std::filesystem::create_directory(folder / L"bin");
        sys().CreateFileW = faked_open;
        sys().GetFileInformationByHandle = faked_information;
        sys().GetFileInformationByHandleEx = faked_tag;
        sys().FindFirstFileExW = faked_search;
        sys().FindClose = [](HANDLE search) -> BOOL { return search == FAKE_SEARCH || ::FindClose(search); };
        recorder.emplace();
    }

    TempFolder folder{L"file-metadata"};
    std::filesystem::path file = folder / L"patcher.exe";
    ScopedSystemCalls scope;
    std::optional<SystemCallRecorder> recorder;
};

TEST_F(FileMetadataTest, PathWithNulFailsBeforeAnyOpen) {
    const std::string bad("a\0b", 3);
    const auto metadata = query_metadata(bad);
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT));
    EXPECT_FALSE(is_regular_file(bad));
    EXPECT_FALSE(path_exists(bad));
    EXPECT_EQ(recorder->count(Call::CreateFileW), 0u);
}

// Where the open is refused, the listing gives what the handle would, less the handle-only fields.
TEST_F(FileMetadataTest, FileIsDescribedFromItsHandleOrElseFromItsListing) {
    const auto from_handle = query_metadata(utf8(file));
    ASSERT_TRUE(from_handle);
    EXPECT_EQ(from_handle->link_count, 1u);
    EXPECT_TRUE(from_handle->volume_serial_number && from_handle->file_index);
    EXPECT_NE(from_handle->last_write_time.dwHighDateTime, 0u);
    // No reparse point, so no tag query.
    EXPECT_EQ(recorder->count(Call::GetFileInformationByHandleEx), 0u);

    faked.following_open = ERROR_ACCESS_DENIED;
    const auto listed = query_metadata(utf8(file));
    ASSERT_TRUE(listed);
    EXPECT_EQ(searched, file.native());
    EXPECT_EQ(listed->attributes, from_handle->attributes);
    EXPECT_EQ(listed->size, 5u);
    EXPECT_EQ(::CompareFileTime(&listed->last_write_time, &from_handle->last_write_time), 0);
    EXPECT_EQ(::CompareFileTime(&listed->creation_time, &from_handle->creation_time), 0);
    EXPECT_EQ(listed->reparse_tag, 0u);
    EXPECT_FALSE(listed->volume_serial_number || listed->link_count || listed->file_index);
    EXPECT_EQ(recorder->open_resources(), 0u);
}

// An entry that cannot be followed (1920) is opened again as itself; one that opens is never listed.
TEST_F(FileMetadataTest, EntriesAndFakedAnswersGiveTheirDescriptionOrCode) {
    constexpr DWORD REFUSED = ERROR_ACCESS_DENIED, SHARING = ERROR_SHARING_VIOLATION;
    constexpr DWORD UNFOLLOWABLE = ERROR_CANT_ACCESS_FILE;
    constexpr FILE_ATTRIBUTE_TAG_INFO LINK_TAG{FILE_ATTRIBUTE_REPARSE_POINT, SYMLINK};
    constexpr FILE_ATTRIBUTE_TAG_INFO FILTER_TAG{FILE_ATTRIBUTE_REPARSE_POINT, DEDUP};
    const std::vector<DWORD> following_only{FOLLOWING_OPEN}, both_opens{FOLLOWING_OPEN, LINK_ITSELF_OPEN};
    struct Case {
        const char* what;
        Faked faked;
        DWORD error;  // 0: described
        DWORD tag = 0;
        std::uint64_t size = 5;
        bool from_handle = true;
        bool regular = true;
        const wchar_t* name = L"patcher.exe";
    };
    const std::vector<Case> cases = {
        {"file", {}, 0},
        {"folder", {}, 0, 0, 0, true, false, L"bin"},
        {"missing file", {}, ERROR_FILE_NOT_FOUND, 0, 5, true, true, L"missing.exe"},
        {"refused folder", {.following_open = REFUSED}, 0, 0, 0, false, false, L"bin"},
        {"refused, unlisted", {.following_open = SHARING}, SHARING, 0, 5, true, true, L"missing.exe"},
        {"other open failure", {.following_open = ERROR_INVALID_NAME}, ERROR_INVALID_NAME},
        {"listed junction", {.following_open = REFUSED, .listed = {{REPARSE, JUNCTION}}}, REFUSED},
        {"listed filter's reparse point", {.following_open = SHARING, .listed = {{REPARSE, DEDUP}}}, 0, DEDUP,
         0x100000002, false},
        {"listed tag without reparse attribute",
         {.following_open = REFUSED, .listed = {{FILE_ATTRIBUTE_ARCHIVE, SYMLINK}}}, 0, 0, 0x100000002, false},
        {"failed handle information", {.information = ERROR_IO_DEVICE}, ERROR_IO_DEVICE},
        {"filter's reparse point", {.tag = FILTER_TAG}, 0, DEDUP},
        {"link", {.tag = LINK_TAG}, 0, SYMLINK, 5, true, false},
        {"tag query without reparse attribute", {.tag = {{FILE_ATTRIBUTE_ARCHIVE, SYMLINK}}}, 0},
        {"failed tag query", {.tag = FILTER_TAG, .tag_query = ERROR_NOT_SUPPORTED}, ERROR_NOT_SUPPORTED},
        {"unfollowable file", {.following_open = UNFOLLOWABLE}, 0},
        {"unfollowable folder", {.following_open = UNFOLLOWABLE}, 0, 0, 0, true, false, L"bin"},
        {"unfollowable, failing itself", {.following_open = UNFOLLOWABLE, .link_itself_open = ERROR_INVALID_FUNCTION},
         UNFOLLOWABLE},
        {"unfollowable link", {.following_open = UNFOLLOWABLE, .tag = LINK_TAG}, UNFOLLOWABLE},
        {"unfollowable filter's reparse point", {.following_open = UNFOLLOWABLE, .tag = FILTER_TAG}, 0, DEDUP},
        {"unfollowable, refused itself, listed as no link",
         {.following_open = UNFOLLOWABLE, .link_itself_open = REFUSED, .listed = {{REPARSE, DEDUP}}}, 0, DEDUP,
         0x100000002, false},
        {"unfollowable, refused itself, listed as a link",
         {.following_open = UNFOLLOWABLE, .link_itself_open = REFUSED, .listed = {{REPARSE, SYMLINK}}}, UNFOLLOWABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        faked = c.faked;
        open_flags.clear();
        searched.clear();
        const std::string path = utf8(folder / c.name);
        const auto metadata = query_metadata(path);
        EXPECT_EQ(open_flags, c.faked.following_open == UNFOLLOWABLE ? both_opens : following_only);
        if (c.faked.following_open == 0) EXPECT_TRUE(searched.empty());
        EXPECT_EQ(is_regular_file(path), c.error == 0 && c.regular);
        EXPECT_EQ(path_exists(path), c.error == 0);
        EXPECT_EQ(recorder->open_resources(), 0u);
        ASSERT_EQ(metadata.has_value(), c.error == 0);
        if (!metadata) {
            EXPECT_EQ(metadata.error(), OsError::from_code(c.error));
            continue;
        }
        EXPECT_EQ(metadata->reparse_tag, c.tag);
        EXPECT_EQ(metadata->size, c.size);
        EXPECT_EQ(metadata->link_count.has_value(), c.from_handle);
    }
}

}  // namespace
