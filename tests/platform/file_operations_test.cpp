#include "platform/file_operations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/wide_path.h"
#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"
#include "support/test_drives.h"

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);  // FileDispositionInfoEx
constexpr auto RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);       // FileRenameInfoEx

// The arguments of the last CreateFileW, which then goes to the system.
using OpenArgs = std::tuple<std::wstring, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE>;
OpenArgs open_seen;

HANDLE WINAPI observed_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE template_file) {
    open_seen = {path, access, share, security, disposition, flags, template_file};
    return ::CreateFileW(path, access, share, security, disposition, flags, template_file);
}

enum class Op { Delete, Rename, Open };

std::expected<void, OsError> apply(Op op, const std::string& path, const std::string& target) {
    if (op == Op::Delete) return delete_file(path);
    if (op == Op::Rename) return rename_replace(path, target);
    const auto opened = open_for_read(path);
    if (!opened) return std::unexpected(opened.error());
    return {};
}

// The call whose refusal with 5 leads to the operation's fallback.
Call first_call(Op op) { return op == Op::Delete ? Call::DeleteFileW : Call::MoveFileExW; }

// FILE_RENAME_INFO: flags (replace, POSIX) at 0, no root at 8, name bytes at 16, name and NUL from 20.
std::vector<unsigned char> rename_request(const std::wstring& name) {
    const DWORD flags = 3, name_bytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::vector<unsigned char> block(20 + name_bytes + sizeof(wchar_t), 0);
    std::memcpy(&block[0], &flags, sizeof flags);
    std::memcpy(&block[16], &name_bytes, sizeof name_bytes);
    std::memcpy(&block[20], name.c_str(), name_bytes + sizeof(wchar_t));
    return block;
}

// The operations with CreateFileW observed on its way to the system.
class FileOperationsTest : public ::testing::Test {
protected:
    FileOperationsTest() {
        write_file(file, "current");
        write_file(other, "old");
        std::filesystem::create_directory(bin);
        sys().CreateFileW = observed_open;
    }

    TempFolder folder{L"file-operations"};
    std::filesystem::path file = folder / L"patcher.exe";
    std::filesystem::path other = folder / L"patcher.exe.old";
    std::filesystem::path bin = folder / L"bin";
    ScopedSystemCalls scope;
};

TEST_F(FileOperationsTest, RenameAndDeleteTakeOneCallWhenTheSystemAllows) {
    SystemCallRecorder recorder;
    ASSERT_TRUE(rename_replace(utf8(file), utf8(other)));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(read_file(other), "current");
    ASSERT_TRUE(delete_file(utf8(other)));
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_EQ(recorder.calls(), (std::vector<Call>{Call::MoveFileExW, Call::DeleteFileW}));
}

// A folder is neither deleted nor read (5); the forced delete cannot open it, so sends no request.
TEST_F(FileOperationsTest, SystemRefusalsGiveTheSystemsCode) {
    const std::tuple<Op, const wchar_t*, DWORD> cases[] = {
        {Op::Delete, L"missing.exe", ERROR_FILE_NOT_FOUND}, {Op::Delete, L"missing\\p.exe", ERROR_PATH_NOT_FOUND},
        {Op::Delete, L"bin", ERROR_ACCESS_DENIED},          {Op::Rename, L"missing.exe", ERROR_FILE_NOT_FOUND},
        {Op::Open, L"missing.exe", ERROR_FILE_NOT_FOUND},   {Op::Open, L"missing\\p.exe", ERROR_PATH_NOT_FOUND},
        {Op::Open, L"bin", ERROR_ACCESS_DENIED}};
    for (const auto& [op, name, code] : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(op) << " " << utf8(name));
        SystemCallRecorder recorder;
        EXPECT_EQ(apply(op, utf8(folder / name), utf8(other)), std::unexpected(OsError::from_code(code)));
        EXPECT_EQ(recorder.count(Call::SetFileInformationByHandle), 0u);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
    EXPECT_TRUE(std::filesystem::is_directory(bin));
    EXPECT_EQ(read_file(other), "old");
}

// A read-only file or a folder in the way: Wine refuses the fallback's request, so the first 5 stands.
TEST_F(FileOperationsTest, FallbackRefusedByTheSystemReportsTheFirstRefusal) {
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    using enum Call;
    const std::pair<Op, std::vector<Call>> cases[] = {
        {Op::Delete, {DeleteFileW, CreateFileW, SetFileInformationByHandle, CloseHandle}},
        {Op::Rename, {MoveFileExW, CreateFileW, HeapAlloc, SetFileInformationByHandle, HeapFree, CloseHandle}}};
    for (const auto& [op, calls] : cases) {
        SystemCallRecorder recorder;
        EXPECT_EQ(apply(op, utf8(file), utf8(bin)), std::unexpected(OsError::from_code(ERROR_ACCESS_DENIED)));
        EXPECT_EQ(recorder.calls(), calls);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
    EXPECT_EQ(read_file(file), "current");
    EXPECT_TRUE(std::filesystem::is_directory(bin));
}

// The request as a system that takes the Ex classes gets it; a long target goes in its \\?\ form.
TEST_F(FileOperationsTest, FallbackSendsItsRequestThroughAHandleOpenedForDeletion) {
    const auto long_target = folder / std::wstring(240, L'n');
    const auto converted = to_wide_path(utf8(long_target), true);
    ASSERT_TRUE(converted && converted->starts_with(L"\\\\?\\"));
    static std::pair<FILE_INFO_BY_HANDLE_CLASS, std::vector<unsigned char>> request;
    sys().SetFileInformationByHandle = [](HANDLE, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                          DWORD size) -> BOOL {
        request = {info_class, {static_cast<unsigned char*>(info), static_cast<unsigned char*>(info) + size}};
        return TRUE;
    };
    const std::tuple<Op, FILE_INFO_BY_HANDLE_CLASS, std::vector<unsigned char>, DWORD> cases[] = {
        // Delete, POSIX semantics, ignore the read-only attribute; a link is opened itself.
        {Op::Delete, DISPOSITION_INFO_EX, {0x13, 0, 0, 0}, FILE_FLAG_OPEN_REPARSE_POINT},
        {Op::Rename, RENAME_INFO_EX, rename_request(*converted),
         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT}};
    for (const auto& [op, info_class, bytes, flags] : cases) {
        SystemCallRecorder recorder;
        recorder.fail_call(first_call(op), ERROR_ACCESS_DENIED);
        ASSERT_TRUE(apply(op, utf8(file), utf8(long_target)));
        EXPECT_EQ(request, std::pair(info_class, bytes));
        EXPECT_EQ(open_seen, (OpenArgs{file.native(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr}));
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

// Only a 5 leads to the fallback, whose failures read as that 5 but for 145 and lack of memory.
TEST_F(FileOperationsTest, FailuresGiveTheDocumentedCode) {
    using enum Call;
    constexpr DWORD DENIED = ERROR_ACCESS_DENIED, SHARING = ERROR_SHARING_VIOLATION;
    constexpr auto code = &OsError::from_code;
    // The operation, the first call's code, then the call that fails with which code.
    const std::tuple<Op, DWORD, std::optional<std::pair<Call, DWORD>>, OsError> cases[] = {
        {Op::Delete, SHARING, {}, code(SHARING)},
        {Op::Delete, DENIED, {{CreateFileW, SHARING}}, code(DENIED)},
        {Op::Delete, DENIED, {{SetFileInformationByHandle, ERROR_WRITE_PROTECT}}, code(DENIED)},
        {Op::Rename, SHARING, {}, code(SHARING)},
        {Op::Rename, DENIED, {{CreateFileW, SHARING}}, code(DENIED)},
        {Op::Rename, DENIED, {{HeapAlloc, ERROR_NOT_ENOUGH_MEMORY}}, OsError::from_kind(OsErrorKind::OutOfMemory)},
        {Op::Rename, DENIED, {{SetFileInformationByHandle, ERROR_DIR_NOT_EMPTY}}, code(ERROR_DIR_NOT_EMPTY)},
        {Op::Rename, DENIED, {{SetFileInformationByHandle, SHARING}}, code(DENIED)}};
    for (const auto& [op, first, then, expected] : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(op) << " " << first << " " << (then ? then->second : 0u));
        SystemCallRecorder recorder;
        recorder.fail_call(first_call(op), first);
        if (then) recorder.fail_call(then->first, then->second);
        EXPECT_EQ(apply(op, utf8(file), utf8(other)), std::unexpected(expected));
        EXPECT_EQ(recorder.count(CreateFileW), first == DENIED ? 1u : 0u);
        EXPECT_EQ(read_file(file), "current");
        EXPECT_EQ(read_file(other), "old");
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

// The test prefix maps R: to the build's volume, where C:'s temporary folder lies, and S: to /dev/shm.
TEST_F(FileOperationsTest, RenameMovesToAnotherDriveOfTheVolumeButNeverCopiesToAnotherVolume) {
    for (const wchar_t* root : {L"R:\\", L"S:\\"}) PU_REQUIRE_TEST_DRIVE(std::filesystem::path(root));
    const std::wstring name = folder.path().filename().native() + L".exe";
    const std::filesystem::path other_volume = L"S:\\" + name, same_volume = L"R:\\" + name;
    SystemCallRecorder recorder;
    const auto refused = rename_replace(utf8(file), utf8(other_volume));
    EXPECT_EQ(recorder.calls(), std::vector<Call>{Call::MoveFileExW});
    EXPECT_FALSE(std::filesystem::exists(other_volume));
    const auto moved = rename_replace(utf8(file), utf8(same_volume));
    EXPECT_EQ(read_file(same_volume), "current");
    std::error_code ignored;
    std::filesystem::remove(other_volume, ignored);
    std::filesystem::remove(same_volume, ignored);
    EXPECT_EQ(refused, std::unexpected(OsError::from_code(ERROR_NOT_SAME_DEVICE)));
    EXPECT_TRUE(moved);
}

TEST_F(FileOperationsTest, PathWithNulIsRefusedBeforeAnySystemCall) {
    const std::string bad("a\0b", 3);
    const std::tuple<Op, std::string, std::string> cases[] = {
        {Op::Delete, bad, ""}, {Op::Rename, bad, utf8(other)}, {Op::Rename, utf8(file), bad}, {Op::Open, bad, ""}};
    SystemCallRecorder recorder;
    for (const auto& [op, path, target] : cases)
        EXPECT_EQ(apply(op, path, target),
                  std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT)));
    EXPECT_TRUE(recorder.calls().empty());
    EXPECT_EQ(read_file(file), "current");
}

// Others may still write, rename and delete the file while it is read.
TEST_F(FileOperationsTest, OpenForReadSharesEverythingAndIsNotInherited) {
    auto opened = open_for_read(utf8(file));
    ASSERT_TRUE(opened);
    EXPECT_EQ(open_seen, (OpenArgs{file.native(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr}));
    DWORD handle_flags = 0;
    ASSERT_TRUE(::GetHandleInformation(opened->get(), &handle_flags));
    EXPECT_EQ(handle_flags & HANDLE_FLAG_INHERIT, 0u);
}

}  // namespace
