#include "platform/file_metadata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

constexpr DWORD FOLLOWING_OPEN = FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD LINK_ITSELF_OPEN = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD SYMLINK_TAG = IO_REPARSE_TAG_SYMLINK;        // a name surrogate
constexpr DWORD MOUNT_POINT_TAG = IO_REPARSE_TAG_MOUNT_POINT;  // a name surrogate (junction)
constexpr DWORD DEDUP_TAG = IO_REPARSE_TAG_DEDUP;            // data supplied by a filter
const HANDLE FAKE_SEARCH = reinterpret_cast<HANDLE>(0x5EA4C4);

bool same_time(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

class FileMetadataTest : public ::testing::Test {
protected:
    TempFolder folder{L"file-metadata"};
    std::filesystem::path file = folder / L"patcher.exe";
    std::filesystem::path subfolder = folder / L"bin";

    void SetUp() override {
        write_file(file, "hello");
        std::filesystem::create_directory(subfolder);
    }
};

TEST_F(FileMetadataTest, PlainFileIsDescribedFromItsHandle) {
    SystemCallRecorder recorder;
    const auto metadata = query_metadata(utf8(file));
    ASSERT_TRUE(metadata);
    EXPECT_FALSE(metadata->is_directory());
    EXPECT_EQ(metadata->size, 5u);
    EXPECT_EQ(metadata->reparse_tag, 0u);
    EXPECT_EQ(metadata->link_count, 1u);
    EXPECT_TRUE(metadata->volume_serial_number.has_value());
    EXPECT_TRUE(metadata->file_index.has_value());
    EXPECT_NE(metadata->last_write_time.dwHighDateTime, 0u);
    // No reparse point, so no tag query, and no listing.
    EXPECT_EQ(recorder.count(Call::GetFileInformationByHandleEx), 0u);
    EXPECT_EQ(recorder.count(Call::FindFirstFileExW), 0u);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileMetadataTest, RegularFileAndExistenceOfRealEntries) {
    struct Case {
        std::filesystem::path path;
        bool regular;
        bool exists;
    };
    for (const Case& c : {Case{file, true, true}, Case{subfolder, false, true},
                          Case{folder / L"missing.exe", false, false},
                          Case{folder / L"missing" / L"patcher.exe", false, false}}) {
        SystemCallRecorder recorder;
        EXPECT_EQ(is_regular_file(utf8(c.path)), c.regular) << utf8(c.path);
        EXPECT_EQ(path_exists(utf8(c.path)), c.exists) << utf8(c.path);
        EXPECT_EQ(recorder.open_resources(), 0u) << utf8(c.path);
    }
}

TEST_F(FileMetadataTest, FolderIsOpenedWithBackupSemantics) {
    const auto metadata = query_metadata(utf8(subfolder));
    ASSERT_TRUE(metadata);
    EXPECT_TRUE(metadata->is_directory());
}

TEST_F(FileMetadataTest, MissingEntriesGiveTheOpenCode) {
    const auto missing_file = query_metadata(utf8(folder / L"missing.exe"));
    ASSERT_FALSE(missing_file);
    EXPECT_EQ(missing_file.error(), OsError::from_code(ERROR_FILE_NOT_FOUND));
    const auto missing_folder = query_metadata(utf8(folder / L"missing" / L"patcher.exe"));
    ASSERT_FALSE(missing_folder);
    EXPECT_EQ(missing_folder.error(), OsError::from_code(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileMetadataTest, FileHeldOpenWithoutSharingIsStillARegularFile) {
    const HANDLE held =
        ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SystemCallRecorder recorder;
    EXPECT_TRUE(is_regular_file(utf8(file)));
    EXPECT_TRUE(path_exists(utf8(file)));
    EXPECT_EQ(recorder.open_resources(), 0u);
    ::CloseHandle(held);
}

TEST_F(FileMetadataTest, PathWithNulFailsBeforeAnyOpen) {
    SystemCallRecorder recorder;
    const auto metadata = query_metadata(std::string("a\0b", 3));
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT));
    EXPECT_FALSE(is_regular_file(std::string("a\0b", 3)));
    EXPECT_FALSE(path_exists(std::string("a\0b", 3)));
    EXPECT_EQ(recorder.count(Call::CreateFileW), 0u);
}

// The arguments of the folder-listing search, checked on the way to the real
// call.
struct SearchSeen {
    std::wstring path;
    bool entry_was_zeroed = false;
    int calls = 0;
};
SearchSeen search_seen;

HANDLE WINAPI checked_search(LPCWSTR path, FINDEX_INFO_LEVELS level, LPVOID entry, FINDEX_SEARCH_OPS op, LPVOID filter,
                             DWORD flags) {
    ++search_seen.calls;
    search_seen.path = path;
    EXPECT_EQ(level, FindExInfoBasic);
    EXPECT_EQ(op, FindExSearchNameMatch);
    EXPECT_EQ(filter, nullptr);
    EXPECT_EQ(flags, 0u);
    const auto* bytes = static_cast<const unsigned char*>(entry);
    search_seen.entry_was_zeroed =
        std::all_of(bytes, bytes + sizeof(WIN32_FIND_DATAW), [](unsigned char b) { return b == 0; });
    return ::FindFirstFileExW(path, level, entry, op, filter, flags);
}

// When the open is refused with 5 or 32, the folder's listing describes the
// entry: same attributes, times and size, no handle-only fields.
TEST_F(FileMetadataTest, RefusedOpenIsAnsweredFromTheFolderListing) {
    const auto from_handle = query_metadata(utf8(file));
    ASSERT_TRUE(from_handle);
    for (const DWORD refusal : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
        ScopedSystemCalls scope;
        search_seen = {};
        sys().FindFirstFileExW = checked_search;
        SystemCallRecorder recorder;
        recorder.fail_call(Call::CreateFileW, refusal);

        const auto listed = query_metadata(utf8(file));
        ASSERT_TRUE(listed) << refusal;
        EXPECT_EQ(search_seen.calls, 1) << refusal;
        EXPECT_EQ(search_seen.path, file.native()) << refusal;
        EXPECT_TRUE(search_seen.entry_was_zeroed) << refusal;
        EXPECT_EQ(listed->attributes, from_handle->attributes) << refusal;
        EXPECT_EQ(listed->size, 5u) << refusal;
        EXPECT_TRUE(same_time(listed->last_write_time, from_handle->last_write_time)) << refusal;
        EXPECT_TRUE(same_time(listed->creation_time, from_handle->creation_time)) << refusal;
        EXPECT_EQ(listed->reparse_tag, 0u) << refusal;
        EXPECT_FALSE(listed->volume_serial_number.has_value()) << refusal;
        EXPECT_FALSE(listed->link_count.has_value()) << refusal;
        EXPECT_FALSE(listed->file_index.has_value()) << refusal;
        EXPECT_EQ(recorder.open_resources(), 0u) << refusal;
    }
}

TEST_F(FileMetadataTest, RefusedOpenOfAFolderStillNamesAFolder) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateFileW, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(path_exists(utf8(subfolder)));
    EXPECT_EQ(recorder.count(Call::FindFirstFileExW), 1u);
    recorder.fail_call(Call::CreateFileW, ERROR_ACCESS_DENIED, 2);
    EXPECT_FALSE(is_regular_file(utf8(subfolder)));
    EXPECT_EQ(recorder.count(Call::FindFirstFileExW), 2u);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileMetadataTest, FailedListingReportsTheOpensCode) {
    for (const DWORD refusal : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
        SystemCallRecorder recorder;
        recorder.fail_call(Call::CreateFileW, refusal);
        // The listing of a missing entry fails with 2.
        const auto metadata = query_metadata(utf8(folder / L"missing.exe"));
        ASSERT_FALSE(metadata) << refusal;
        EXPECT_EQ(metadata.error(), OsError::from_code(refusal));
        EXPECT_EQ(recorder.count(Call::FindFirstFileExW), 1u);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

TEST_F(FileMetadataTest, OtherOpenFailuresAreNotAnsweredFromTheListing) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateFileW, ERROR_INVALID_NAME);
    const auto metadata = query_metadata(utf8(file));
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_INVALID_NAME));
    EXPECT_EQ(recorder.count(Call::FindFirstFileExW), 0u);
    EXPECT_EQ(recorder.count(Call::CreateFileW), 1u);
}

// A listing entry that the test makes up.
struct FakeEntry {
    DWORD attributes;
    DWORD reserved0;
};
FakeEntry fake_entry;

HANDLE WINAPI fake_search(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID entry, FINDEX_SEARCH_OPS, LPVOID, DWORD) {
    auto* data = static_cast<WIN32_FIND_DATAW*>(entry);
    data->dwFileAttributes = fake_entry.attributes;
    data->dwReserved0 = fake_entry.reserved0;
    data->nFileSizeHigh = 1;
    data->nFileSizeLow = 2;
    return FAKE_SEARCH;
}

BOOL WINAPI fake_find_close(HANDLE search) { return search == FAKE_SEARCH; }

void install_fake_listing(FakeEntry entry) {
    fake_entry = entry;
    sys().FindFirstFileExW = fake_search;
    sys().FindClose = fake_find_close;
}

// The listing does not follow links, so a link found there would describe
// the link, not its target: the open's error stands instead.
TEST_F(FileMetadataTest, ListedLinkIsNotReportedInPlaceOfItsTarget) {
    for (const DWORD tag : {SYMLINK_TAG, MOUNT_POINT_TAG}) {
        ScopedSystemCalls scope;
        install_fake_listing({FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, tag});
        SystemCallRecorder recorder;
        recorder.fail_call(Call::CreateFileW, ERROR_SHARING_VIOLATION);
        const auto metadata = query_metadata(utf8(file));
        ASSERT_FALSE(metadata) << tag;
        EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(recorder.count(Call::FindClose), 1u);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

TEST_F(FileMetadataTest, ListedReparsePointThatIsNoLinkIsDescribed) {
    ScopedSystemCalls scope;
    install_fake_listing({FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, DEDUP_TAG});
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateFileW, ERROR_ACCESS_DENIED);
    const auto metadata = query_metadata(utf8(file));
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->reparse_tag, DEDUP_TAG);
    EXPECT_EQ(metadata->size, 0x100000002u);
    recorder.fail_call(Call::CreateFileW, ERROR_ACCESS_DENIED, 2);
    EXPECT_TRUE(is_regular_file(utf8(file)));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// dwReserved0 holds a tag only when the entry is a reparse point.
TEST_F(FileMetadataTest, ListedTagIsIgnoredWithoutTheReparsePointAttribute) {
    ScopedSystemCalls scope;
    install_fake_listing({FILE_ATTRIBUTE_ARCHIVE, SYMLINK_TAG});
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateFileW, ERROR_ACCESS_DENIED);
    const auto metadata = query_metadata(utf8(file));
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->reparse_tag, 0u);
}

TEST_F(FileMetadataTest, FailedHandleInformationGivesItsCode) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFileInformationByHandle, ERROR_IO_DEVICE);
    const auto metadata = query_metadata(utf8(file));
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_IO_DEVICE));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// The handle's entry made into a reparse point, with the tag query answered
// by the test.
struct TagAnswer {
    DWORD attributes;
    DWORD tag;
};
TagAnswer tag_answer;
std::vector<DWORD> opened_with_flags;

BOOL WINAPI reparse_point_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (!::GetFileInformationByHandle(file, info)) return FALSE;
    info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

BOOL WINAPI answered_tag(HANDLE, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    EXPECT_EQ(info_class, FileAttributeTagInfo);
    EXPECT_EQ(size, 8u);
    auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
    tag->FileAttributes = tag_answer.attributes;
    tag->ReparseTag = tag_answer.tag;
    return TRUE;
}

void install_reparse_point(TagAnswer answer) {
    tag_answer = answer;
    sys().GetFileInformationByHandle = reparse_point_information;
    sys().GetFileInformationByHandleEx = answered_tag;
}

TEST_F(FileMetadataTest, ReparsePointTagComesFromTheAttributeTagQuery) {
    struct Case {
        TagAnswer answer;
        DWORD expected_tag;
        bool regular;
    };
    for (const Case& c : {Case{{FILE_ATTRIBUTE_REPARSE_POINT, DEDUP_TAG}, DEDUP_TAG, true},
                          Case{{FILE_ATTRIBUTE_REPARSE_POINT, SYMLINK_TAG}, SYMLINK_TAG, false},
                          Case{{FILE_ATTRIBUTE_ARCHIVE, SYMLINK_TAG}, 0, true}}) {
        ScopedSystemCalls scope;
        install_reparse_point(c.answer);
        SystemCallRecorder recorder;
        const auto metadata = query_metadata(utf8(file));
        ASSERT_TRUE(metadata) << c.answer.tag;
        EXPECT_EQ(metadata->reparse_tag, c.expected_tag);
        EXPECT_EQ(is_regular_file(utf8(file)), c.regular) << c.answer.tag;
        EXPECT_EQ(recorder.count(Call::GetFileInformationByHandleEx), 2u);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

TEST_F(FileMetadataTest, FailedTagQueryGivesItsCode) {
    ScopedSystemCalls scope;
    install_reparse_point({FILE_ATTRIBUTE_REPARSE_POINT, DEDUP_TAG});
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFileInformationByHandleEx, ERROR_NOT_SUPPORTED);
    const auto metadata = query_metadata(utf8(file));
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// The following open is refused with 1920, as for a reparse point whose
// filter is missing; the open of the entry itself goes to the real system.
HANDLE WINAPI unfollowable_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE template_file) {
    opened_with_flags.push_back(flags);
    EXPECT_EQ(access, 0u);
    EXPECT_EQ(share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_EQ(security, nullptr);
    EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(template_file, nullptr);
    if (flags == FOLLOWING_OPEN) {
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}

TEST_F(FileMetadataTest, UnfollowableEntryIsDescribedByItsOwnMetadata) {
    ScopedSystemCalls scope;
    sys().CreateFileW = unfollowable_open;
    opened_with_flags.clear();
    SystemCallRecorder recorder;
    const auto metadata = query_metadata(utf8(file));
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->size, 5u);
    EXPECT_EQ(opened_with_flags, (std::vector<DWORD>{FOLLOWING_OPEN, LINK_ITSELF_OPEN}));
    EXPECT_TRUE(is_regular_file(utf8(file)));
    EXPECT_TRUE(path_exists(utf8(subfolder)));
    EXPECT_FALSE(is_regular_file(utf8(subfolder)));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileMetadataTest, UnfollowableEntryKeeps1920WhenItCannotBeOpenedItself) {
    ScopedSystemCalls scope;
    sys().CreateFileW = unfollowable_open;
    opened_with_flags.clear();
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateFileW, ERROR_INVALID_FUNCTION, 2);
    recorder.fail_call(Call::CreateFileW, ERROR_INVALID_FUNCTION, 4);
    const auto metadata = query_metadata(utf8(file));
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_CANT_ACCESS_FILE));
    EXPECT_EQ(recorder.count(Call::CreateFileW), 2u);
    EXPECT_FALSE(path_exists(utf8(file)));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileMetadataTest, UnfollowableLinkKeeps1920) {
    ScopedSystemCalls scope;
    sys().CreateFileW = unfollowable_open;
    install_reparse_point({FILE_ATTRIBUTE_REPARSE_POINT, SYMLINK_TAG});
    SystemCallRecorder recorder;
    const auto metadata = query_metadata(utf8(file));
    ASSERT_FALSE(metadata);
    EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_CANT_ACCESS_FILE));
    EXPECT_FALSE(path_exists(utf8(file)));
    EXPECT_FALSE(is_regular_file(utf8(file)));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileMetadataTest, UnfollowableEntryThatIsNoLinkIsDescribedFromItsHandle) {
    ScopedSystemCalls scope;
    sys().CreateFileW = unfollowable_open;
    install_reparse_point({FILE_ATTRIBUTE_REPARSE_POINT, DEDUP_TAG});
    SystemCallRecorder recorder;
    const auto metadata = query_metadata(utf8(file));
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->reparse_tag, DEDUP_TAG);
    EXPECT_TRUE(metadata->link_count.has_value());
    EXPECT_TRUE(is_regular_file(utf8(file)));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// The open of the entry itself is refused too, and its listing decides.
TEST_F(FileMetadataTest, UnfollowableEntryRefusedItselfIsAnsweredFromTheListing) {
    struct Case {
        DWORD tag;
        bool described;
    };
    for (const Case& c : {Case{DEDUP_TAG, true}, Case{SYMLINK_TAG, false}}) {
        ScopedSystemCalls scope;
        sys().CreateFileW = unfollowable_open;
        install_fake_listing({FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, c.tag});
        SystemCallRecorder recorder;
        recorder.fail_call(Call::CreateFileW, ERROR_ACCESS_DENIED, 2);
        const auto metadata = query_metadata(utf8(file));
        EXPECT_EQ(recorder.count(Call::FindFirstFileExW), 1u) << c.tag;
        EXPECT_EQ(recorder.open_resources(), 0u) << c.tag;
        ASSERT_EQ(metadata.has_value(), c.described) << c.tag;
        if (c.described) {
            EXPECT_EQ(metadata->reparse_tag, c.tag);
        } else {
            EXPECT_EQ(metadata.error(), OsError::from_code(ERROR_CANT_ACCESS_FILE));
        }
    }
}

}  // namespace
