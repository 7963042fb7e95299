#include "platform/file_operations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/nt_io.h"
#include "platform/wide_path.h"
#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);  // FileDispositionInfoEx
constexpr auto RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);       // FileRenameInfoEx

// The last CreateFileW that went through the table, passed on to the system.
struct OpenSeen {
    std::wstring path;
    DWORD access = 0;
    DWORD share = 0;
    LPSECURITY_ATTRIBUTES security = nullptr;
    DWORD disposition = 0;
    DWORD flags = 0;
    HANDLE template_file = nullptr;
};
OpenSeen open_seen;

HANDLE WINAPI observed_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE template_file) {
    open_seen = {path, access, share, security, disposition, flags, template_file};
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}

// What the system itself answered to SetFileInformationByHandle.
struct InformationSeen {
    FILE_INFO_BY_HANDLE_CLASS info_class{};
    BOOL result = TRUE;
    DWORD error = 0;
};
InformationSeen information_seen;

BOOL WINAPI observed_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    information_seen.info_class = info_class;
    information_seen.result = ::SetFileInformationByHandle(file, info_class, info, size);
    information_seen.error = information_seen.result ? 0 : ::GetLastError();
    return information_seen.result;
}

class FileOperationsTest : public ::testing::Test {
protected:
    TempFolder folder{L"file-operations"};
    std::filesystem::path file = folder / L"patcher.exe";
    std::filesystem::path other = folder / L"patcher.exe.old";

    void SetUp() override {
        open_seen = {};
        information_seen = {};
        write_file(file, "current");
    }
};

TEST_F(FileOperationsTest, DeleteRemovesAFileWithOneCall) {
    SystemCallRecorder recorder;
    ASSERT_TRUE(delete_file(utf8(file)));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(recorder.calls(), std::vector<Call>{Call::DeleteFileW});
}

TEST_F(FileOperationsTest, DeleteOfAMissingEntryGivesTheSystemsCode) {
    const auto missing_file = delete_file(utf8(folder / L"missing.exe"));
    ASSERT_FALSE(missing_file);
    EXPECT_EQ(missing_file.error(), OsError::from_code(ERROR_FILE_NOT_FOUND));
    const auto missing_folder = delete_file(utf8(folder / L"missing" / L"patcher.exe"));
    ASSERT_FALSE(missing_folder);
    EXPECT_EQ(missing_folder.error(), OsError::from_code(ERROR_PATH_NOT_FOUND));
}

// DeleteFileW refuses a folder with 5, and the forced delete cannot open one.
TEST_F(FileOperationsTest, DeleteNeverRemovesAFolder) {
    const auto subfolder = folder / L"bin";
    std::filesystem::create_directory(subfolder);
    SystemCallRecorder recorder;
    const auto deleted = delete_file(utf8(subfolder));
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error(), OsError::from_code(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(std::filesystem::is_directory(subfolder));
    EXPECT_EQ(recorder.count(Call::CreateFileW), 1u);
    EXPECT_EQ(recorder.count(Call::SetFileInformationByHandle), 0u);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// DeleteFileW refuses a read-only file with 5 and the forced delete is
// tried. Wine does not know FileDispositionInfoEx (87), so here the file
// stays and the refusal is reported as the 5 of the first call.
TEST_F(FileOperationsTest, ReadOnlyFileGoesToTheForcedDeleteWhichWineRefuses) {
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    ScopedSystemCalls scope;
    sys().SetFileInformationByHandle = observed_information;
    SystemCallRecorder recorder;
    const auto deleted = delete_file(utf8(file));
    EXPECT_EQ(recorder.calls(), (std::vector<Call>{Call::DeleteFileW, Call::CreateFileW,
                                                   Call::SetFileInformationByHandle, Call::CloseHandle}));
    EXPECT_EQ(information_seen.info_class, DISPOSITION_INFO_EX);
    ASSERT_FALSE(information_seen.result);
    EXPECT_EQ(information_seen.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error(), OsError::from_code(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(file), "current");
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// Stands in for a system that takes FileDispositionInfoEx: checks the request
// and deletes through the same handle with the older class.
BOOL WINAPI accepted_disposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    EXPECT_EQ(info_class, DISPOSITION_INFO_EX);
    EXPECT_EQ(size, 4u);
    // FILE_DISPOSITION_FLAG_DELETE, _POSIX_SEMANTICS and _IGNORE_READONLY_ATTRIBUTE.
    EXPECT_EQ(*static_cast<const DWORD*>(info), 0x13u);
    FILE_DISPOSITION_INFO delete_on_close{TRUE};
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &delete_on_close, sizeof delete_on_close);
}

TEST_F(FileOperationsTest, ForcedDeleteRemovesTheNameWhenItsHandleCloses) {
    ScopedSystemCalls scope;
    sys().CreateFileW = observed_open;
    sys().SetFileInformationByHandle = accepted_disposition;
    SystemCallRecorder recorder;
    recorder.fail_call(Call::DeleteFileW, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(delete_file(utf8(file)));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(open_seen.path, file.native());
    EXPECT_EQ(open_seen.access, static_cast<DWORD>(DELETE));
    EXPECT_EQ(open_seen.share, SHARE_ALL);
    EXPECT_EQ(open_seen.security, nullptr);
    EXPECT_EQ(open_seen.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open_seen.flags, static_cast<DWORD>(FILE_FLAG_OPEN_REPARSE_POINT));
    EXPECT_EQ(open_seen.template_file, nullptr);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileOperationsTest, ForcedDeleteFailuresAreReportedAsAccessDenied) {
    struct Case {
        Call failing;
        DWORD code;
    };
    for (const Case& c : {Case{Call::CreateFileW, ERROR_SHARING_VIOLATION},
                          Case{Call::SetFileInformationByHandle, ERROR_WRITE_PROTECT}}) {
        SystemCallRecorder recorder;
        recorder.fail_call(Call::DeleteFileW, ERROR_ACCESS_DENIED);
        recorder.fail_call(c.failing, c.code);
        const auto deleted = delete_file(utf8(file));
        ASSERT_FALSE(deleted) << call_name(c.failing);
        EXPECT_EQ(deleted.error(), OsError::from_code(ERROR_ACCESS_DENIED)) << call_name(c.failing);
        EXPECT_EQ(read_file(file), "current");
        EXPECT_EQ(recorder.open_resources(), 0u) << call_name(c.failing);
    }
}

TEST_F(FileOperationsTest, DeleteFailingOtherwiseSkipsTheForcedDelete) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::DeleteFileW, ERROR_SHARING_VIOLATION);
    const auto deleted = delete_file(utf8(file));
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error(), OsError::from_code(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(recorder.count(Call::CreateFileW), 0u);
}

TEST_F(FileOperationsTest, RenameReplacesAnExistingFile) {
    write_file(other, "old");
    SystemCallRecorder recorder;
    ASSERT_TRUE(rename_replace(utf8(file), utf8(other)));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(read_file(other), "current");
    EXPECT_EQ(recorder.calls(), std::vector<Call>{Call::MoveFileExW});
}

TEST_F(FileOperationsTest, RenameOfAMissingSourceIsNotFound) {
    write_file(other, "old");
    const auto renamed = rename_replace(utf8(folder / L"missing.exe"), utf8(other));
    ASSERT_FALSE(renamed);
    EXPECT_EQ(renamed.error(), OsError::from_code(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read_file(other), "old");
}

// The test prefix maps R: to a folder on the build's volume and S: to one on
// /dev/shm; the temporary folder lies on C:, on the build's volume.
class FileOperationsOnDrivesTest : public FileOperationsTest {
protected:
    void SetUp() override {
        FileOperationsTest::SetUp();
        for (const wchar_t* root : {L"R:\\", L"S:\\"})
            ASSERT_NE(::GetFileAttributesW(root), INVALID_FILE_ATTRIBUTES)
                << "drive " << utf8(root) << " missing: start the prefix with scripts/wine-prefix.sh";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(target, ignored);
    }

    std::filesystem::path target_on(const wchar_t* root) {
        return target = std::filesystem::path(root) / (folder.path().filename().native() + L".exe");
    }

    std::filesystem::path target;
};

TEST_F(FileOperationsOnDrivesTest, RenameToAnotherVolumeIsRefusedWithoutCopying) {
    target_on(L"S:\\");
    SystemCallRecorder recorder;
    const auto renamed = rename_replace(utf8(file), utf8(target));
    ASSERT_FALSE(renamed);
    EXPECT_EQ(renamed.error(), OsError::from_code(ERROR_NOT_SAME_DEVICE));
    EXPECT_EQ(read_file(file), "current");
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(recorder.calls(), std::vector<Call>{Call::MoveFileExW});
}

TEST_F(FileOperationsOnDrivesTest, RenameToAnotherDriveOnTheSameVolumeMoves) {
    target_on(L"R:\\");
    ASSERT_TRUE(rename_replace(utf8(file), utf8(target)));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(read_file(target), "current");
}

// MoveFileExW refuses to put a file in the place of a folder (5); the rename
// through the source's handle is tried, which Wine refuses (87), so the 5
// stands and nothing moves.
TEST_F(FileOperationsTest, RenameOntoAFolderIsRefused) {
    std::filesystem::create_directory(other);
    ScopedSystemCalls scope;
    sys().SetFileInformationByHandle = observed_information;
    SystemCallRecorder recorder;
    const auto renamed = rename_replace(utf8(file), utf8(other));
    ASSERT_FALSE(renamed);
    EXPECT_EQ(renamed.error(), OsError::from_code(ERROR_ACCESS_DENIED));
    EXPECT_EQ(information_seen.info_class, RENAME_INFO_EX);
    ASSERT_FALSE(information_seen.result);
    EXPECT_EQ(information_seen.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read_file(file), "current");
    EXPECT_TRUE(std::filesystem::is_directory(other));
    EXPECT_EQ(recorder.count(Call::HeapAlloc), 1u);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// The rename request exactly as handed to the system.
std::vector<unsigned char> rename_block;
FILE_INFO_BY_HANDLE_CLASS rename_class{};

// Stands in for a system that takes FileRenameInfoEx: keeps a copy of the
// request and renames through the same handle with the older class, using
// the name found in the request.
BOOL WINAPI accepted_rename(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info, DWORD size) {
    rename_class = info_class;
    const auto* bytes = static_cast<const unsigned char*>(info);
    rename_block.assign(bytes, bytes + size);
    DWORD name_length = 0;
    std::memcpy(&name_length, bytes + 16, sizeof name_length);
    std::vector<unsigned char> request(sizeof(FILE_RENAME_INFO) + name_length);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(request.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = name_length;
    std::memcpy(rename->FileName, bytes + 20, name_length + sizeof(wchar_t));
    return ::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(request.size()));
}

template <class T>
T field_at(const std::vector<unsigned char>& block, std::size_t offset) {
    T value{};
    std::memcpy(&value, block.data() + offset, sizeof value);
    return value;
}

// The block is FILE_RENAME_INFO: Flags at 0, RootDirectory at 8,
// FileNameLength at 16, then the converted target with its NUL: L + 22 bytes
// for a name of L bytes. A long target is converted to the \\?\ form, and
// that form is what the block carries.
TEST_F(FileOperationsTest, RenameThroughTheHandleSendsTheRequestLaidOutForTheSystem) {
    const auto long_target = folder / std::wstring(240, L'n');
    write_file(long_target, "old");
    const auto converted = to_wide_path(utf8(long_target), true);
    ASSERT_TRUE(converted);
    ASSERT_TRUE(converted->starts_with(L"\\\\?\\"));

    ScopedSystemCalls scope;
    sys().CreateFileW = observed_open;
    sys().SetFileInformationByHandle = accepted_rename;
    rename_block.clear();
    SystemCallRecorder recorder;
    recorder.fail_call(Call::MoveFileExW, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(rename_replace(utf8(file), utf8(long_target)));

    const std::size_t name_bytes = converted->size() * sizeof(wchar_t);
    EXPECT_EQ(rename_class, RENAME_INFO_EX);
    ASSERT_EQ(rename_block.size(), name_bytes + 22);
    EXPECT_EQ(field_at<DWORD>(rename_block, 0), 3u);  // replace if exists, POSIX semantics
    EXPECT_EQ(field_at<HANDLE>(rename_block, 8), nullptr);
    EXPECT_EQ(field_at<DWORD>(rename_block, 16), name_bytes);
    std::wstring name(converted->size() + 1, L'?');
    std::memcpy(name.data(), rename_block.data() + 20, name_bytes + sizeof(wchar_t));
    EXPECT_EQ(name, *converted + L'\0');

    EXPECT_EQ(open_seen.path, file.native());
    EXPECT_EQ(open_seen.access, static_cast<DWORD>(DELETE));
    EXPECT_EQ(open_seen.share, SHARE_ALL);
    EXPECT_EQ(open_seen.security, nullptr);
    EXPECT_EQ(open_seen.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open_seen.flags, static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    EXPECT_EQ(open_seen.template_file, nullptr);

    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(read_file(long_target), "current");
    EXPECT_EQ(recorder.count(Call::HeapFree), 1u);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(FileOperationsTest, FailuresOfTheRenameThroughTheHandle) {
    struct Case {
        Call failing;
        DWORD code;
        OsError expected;
    };
    const Case cases[] = {
        {Call::CreateFileW, ERROR_SHARING_VIOLATION, OsError::from_code(ERROR_ACCESS_DENIED)},
        {Call::HeapAlloc, ERROR_NOT_ENOUGH_MEMORY, OsError::from_kind(OsErrorKind::OutOfMemory)},
        {Call::SetFileInformationByHandle, ERROR_DIR_NOT_EMPTY, OsError::from_code(ERROR_DIR_NOT_EMPTY)},
        {Call::SetFileInformationByHandle, ERROR_SHARING_VIOLATION, OsError::from_code(ERROR_ACCESS_DENIED)},
    };
    write_file(other, "old");
    for (const Case& c : cases) {
        SystemCallRecorder recorder;
        recorder.fail_call(Call::MoveFileExW, ERROR_ACCESS_DENIED);
        recorder.fail_call(c.failing, c.code);
        const auto renamed = rename_replace(utf8(file), utf8(other));
        ASSERT_FALSE(renamed) << call_name(c.failing) << " " << c.code;
        EXPECT_EQ(renamed.error(), c.expected) << call_name(c.failing) << " " << c.code;
        EXPECT_EQ(read_file(file), "current");
        EXPECT_EQ(read_file(other), "old");
        EXPECT_EQ(recorder.open_resources(), 0u) << call_name(c.failing) << " " << c.code;
    }
}

TEST_F(FileOperationsTest, RenameFailingOtherwiseSkipsTheRenameThroughTheHandle) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::MoveFileExW, ERROR_SHARING_VIOLATION);
    const auto renamed = rename_replace(utf8(file), utf8(other));
    ASSERT_FALSE(renamed);
    EXPECT_EQ(renamed.error(), OsError::from_code(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(recorder.count(Call::CreateFileW), 0u);
}

TEST_F(FileOperationsTest, PathWithNulIsRefusedBeforeAnySystemCall) {
    const std::string bad("a\0b", 3);
    const OsError nul_error = OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT);
    SystemCallRecorder recorder;
    const auto deleted = delete_file(bad);
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error(), nul_error);
    for (const auto& [source, target] : {std::pair{bad, utf8(other)}, std::pair{utf8(file), bad}}) {
        const auto renamed = rename_replace(source, target);
        ASSERT_FALSE(renamed);
        EXPECT_EQ(renamed.error(), nul_error);
    }
    const auto opened = open_for_read(bad);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), nul_error);
    EXPECT_TRUE(recorder.calls().empty());
    EXPECT_EQ(read_file(file), "current");
}

// The handle reads from the start, and others may still write, rename and
// delete the file while it is open.
TEST_F(FileOperationsTest, OpenForReadSharesEverythingAndIsNotInherited) {
    ScopedSystemCalls scope;
    sys().CreateFileW = observed_open;
    auto opened = open_for_read(utf8(file));
    ASSERT_TRUE(opened);
    EXPECT_EQ(open_seen.access, static_cast<DWORD>(GENERIC_READ));
    EXPECT_EQ(open_seen.share, SHARE_ALL);
    EXPECT_EQ(open_seen.security, nullptr);
    EXPECT_EQ(open_seen.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open_seen.flags, 0u);
    EXPECT_EQ(open_seen.template_file, nullptr);

    DWORD handle_flags = 0;
    ASSERT_TRUE(::GetHandleInformation(opened->get(), &handle_flags));
    EXPECT_EQ(handle_flags & HANDLE_FLAG_INHERIT, 0u);

    const HANDLE writer =
        ::CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    ::CloseHandle(writer);

    char buffer[16];
    const auto read = read_chunk(opened->get(), buffer, sizeof buffer);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::string_view(buffer, *read), "current");
}

TEST_F(FileOperationsTest, OpenForReadFailsWithTheOpensCode) {
    const auto subfolder = folder / L"bin";
    std::filesystem::create_directory(subfolder);
    struct Case {
        std::filesystem::path path;
        DWORD code;
    };
    for (const Case& c : {Case{folder / L"missing.exe", ERROR_FILE_NOT_FOUND},
                          Case{folder / L"missing" / L"patcher.exe", ERROR_PATH_NOT_FOUND},
                          Case{subfolder, ERROR_ACCESS_DENIED}}) {
        SystemCallRecorder recorder;
        const auto opened = open_for_read(utf8(c.path));
        ASSERT_FALSE(opened) << utf8(c.path);
        EXPECT_EQ(opened.error(), OsError::from_code(c.code)) << utf8(c.path);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

}  // namespace
