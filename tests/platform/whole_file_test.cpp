#include "platform/whole_file.h"

#include <gtest/gtest.h>

#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

class WholeFileTest : public ::testing::Test {
protected:
    TempFolder folder{L"whole-file"};
    std::filesystem::path file = folder / L"out.txt";
};

TEST_F(WholeFileTest, NewFileHoldsExactlyTheBytes) {
    ASSERT_TRUE(write_whole_file(utf8(file), "abc"));
    EXPECT_EQ(read_file(file), "abc");
}

// Wine refuses FileAllocationInfo (120), so this also runs the fallback to
// FileEndOfFileInfo for real.
TEST_F(WholeFileTest, LongerExistingFileKeepsNoOldByte) {
    write_file(file, std::string(10000, 'x'));
    SystemCallRecorder recorder;
    ASSERT_TRUE(write_whole_file(utf8(file), "short"));
    EXPECT_EQ(read_file(file), "short");
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(WholeFileTest, EmptyBufferLeavesAnEmptyFileAndMakesNoWrite) {
    write_file(file, "old content");
    SystemCallRecorder recorder;
    ASSERT_TRUE(write_whole_file(utf8(file), ""));
    EXPECT_EQ(read_file(file), "");
    EXPECT_EQ(recorder.count(Call::NtWriteFile), 0u);
}

TEST_F(WholeFileTest, DirectoryInThePlaceOfTheFileFailsWithAccessDenied) {
    std::filesystem::create_directory(file);
    const auto written = write_whole_file(utf8(file), "abc");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), OsError::from_code(ERROR_ACCESS_DENIED));
}

TEST_F(WholeFileTest, MissingFolderGivesTheOpenError) {
    const auto written = write_whole_file(utf8(folder / L"missing" / L"out.txt"), "abc");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), OsError::from_code(ERROR_PATH_NOT_FOUND));
}

TEST_F(WholeFileTest, TruncationFailureReportsTheSecondAttemptsCode) {
    write_file(file, "old content");
    SystemCallRecorder recorder;
    recorder.fail_call(Call::SetFileInformationByHandle, ERROR_INVALID_PARAMETER, 1);
    recorder.fail_call(Call::SetFileInformationByHandle, ERROR_DISK_FULL, 2);
    const auto written = write_whole_file(utf8(file), "new");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), OsError::from_code(ERROR_DISK_FULL));
    EXPECT_EQ(read_file(file), "old content");
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(WholeFileTest, FirstTruncationAttemptSucceedingSkipsTheFallback) {
    write_file(file, "old content");
    ScopedSystemCalls scope;
    static std::vector<FILE_INFO_BY_HANDLE_CLASS> classes;
    classes.clear();
    sys().SetFileInformationByHandle = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                          DWORD size) -> BOOL {
        classes.push_back(info_class);
        EXPECT_EQ(size, 8u);
        EXPECT_EQ(*static_cast<LONGLONG*>(info), 0);
        // Stand in for a file system that takes the allocation size.
        FILE_END_OF_FILE_INFO end{};
        return ::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
    };
    ASSERT_TRUE(write_whole_file(utf8(file), "new"));
    EXPECT_EQ(read_file(file), "new");
    EXPECT_EQ(classes, std::vector<FILE_INFO_BY_HANDLE_CLASS>{FileAllocationInfo});
}

TEST_F(WholeFileTest, WriteOfZeroBytesIsWriteZero) {
    ScopedSystemCalls scope;
    sys().NtWriteFile = [](HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID, ULONG, PLARGE_INTEGER,
                           PULONG) -> NTSTATUS {
        io->Status = 0;
        io->Information = 0;
        return 0;
    };
    const auto written = write_whole_file(utf8(file), "abc");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), OsError::with_message(OsErrorKind::WriteZero, "failed to write whole buffer"));
}

TEST_F(WholeFileTest, ShortWritesContinueUntilAllIsWritten) {
    ScopedSystemCalls scope;
    sys().NtWriteFile = [](HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID bytes,
                           ULONG length, PLARGE_INTEGER, PULONG) -> NTSTATUS {
        return ::NtWriteFile(handle, nullptr, nullptr, nullptr, io, bytes, length > 2 ? 2 : length, nullptr, nullptr);
    };
    ASSERT_TRUE(write_whole_file(utf8(file), "abcdefg"));
    EXPECT_EQ(read_file(file), "abcdefg");
}

TEST_F(WholeFileTest, FailedWriteKeepsWhatWasWrittenAndClosesTheFile) {
    ScopedSystemCalls scope;
    sys().NtWriteFile = [](HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID bytes,
                           ULONG length, PLARGE_INTEGER, PULONG) -> NTSTATUS {
        static int calls = 0;
        if (++calls % 2 == 0) return static_cast<NTSTATUS>(0xC000007F);  // STATUS_DISK_FULL
        return ::NtWriteFile(handle, nullptr, nullptr, nullptr, io, bytes, length > 3 ? 3 : length, nullptr, nullptr);
    };
    SystemCallRecorder recorder;
    const auto written = write_whole_file(utf8(file), "abcdefg");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), OsError::from_code(ERROR_DISK_FULL));
    EXPECT_EQ(read_file(file), "abc");
    EXPECT_EQ(recorder.open_resources(), 0u);
}

}  // namespace
