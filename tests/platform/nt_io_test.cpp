#include "platform/nt_io.h"

#include <gtest/gtest.h>

#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

constexpr NTSTATUS PENDING = 0x103;

TEST(NtIo, ReadAtTheEndOfAFileGivesZero) {
    TempFolder folder{L"nt-io"};
    write_file(folder / L"f", "xy");
    HANDLE file = ::CreateFileW((folder / L"f").c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[8];
    EXPECT_EQ(read_chunk(file, buffer, sizeof buffer), 2u);
    EXPECT_EQ(read_chunk(file, buffer, sizeof buffer), 0u);
    ::CloseHandle(file);
}

TEST(NtIo, PipeWhoseWriterHasGoneReadsAsEndOfData) {
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(write_end, "abc", 3, &written, nullptr));
    ::CloseHandle(write_end);
    char buffer[8];
    EXPECT_EQ(read_chunk(read_end, buffer, sizeof buffer), 3u);
    EXPECT_EQ(read_chunk(read_end, buffer, sizeof buffer), 0u);
    ::CloseHandle(read_end);
}

TEST(NtIo, FailedStatusBecomesItsWin32Code) {
    ScopedSystemCalls scope;
    sys().NtReadFile = [](HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, PLARGE_INTEGER,
                          PULONG) -> NTSTATUS { return static_cast<NTSTATUS>(0xC0000022); };  // access denied
    char buffer[4];
    const auto read = read_chunk(nullptr, buffer, sizeof buffer);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), OsError::from_code(ERROR_ACCESS_DENIED));
}

// A pending status is waited for on the handle, and the status block then
// holds the outcome.
TEST(NtIo, PendingReadIsWaitedForOnTheHandle) {
    ScopedSystemCalls scope;
    static PIO_STATUS_BLOCK block;
    static HANDLE waited;
    sys().NtReadFile = [](HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID, ULONG length,
                          PLARGE_INTEGER offset, PULONG key) -> NTSTATUS {
        EXPECT_EQ(io->Status, PENDING);
        EXPECT_EQ(offset, nullptr);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(length, 0xFFFFFFFFu);
        block = io;
        return PENDING;
    };
    sys().WaitForSingleObject = [](HANDLE handle, DWORD timeout) -> DWORD {
        EXPECT_EQ(timeout, INFINITE);
        waited = handle;
        block->Status = 0;
        block->Information = 7;
        return WAIT_OBJECT_0;
    };
    char buffer[4];
    const HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    // Lengths above 32 bits are cut to what one call can move.
    EXPECT_EQ(read_chunk(handle, buffer, std::size_t{1} << 33), 7u);
    EXPECT_EQ(waited, handle);
}

TEST(NtIo, PendingEndOfFileIsZero) {
    ScopedSystemCalls scope;
    static PIO_STATUS_BLOCK block;
    sys().NtReadFile = [](HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID, ULONG, PLARGE_INTEGER,
                          PULONG) -> NTSTATUS {
        block = io;
        return PENDING;
    };
    sys().WaitForSingleObject = [](HANDLE, DWORD) -> DWORD {
        block->Status = static_cast<NTSTATUS>(0xC0000011);
        return WAIT_OBJECT_0;
    };
    char buffer[4];
    EXPECT_EQ(read_chunk(nullptr, buffer, sizeof buffer), 0u);
}

void write_that_stays_pending() {
    sys().NtWriteFile = [](HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, PLARGE_INTEGER,
                           PULONG) -> NTSTATUS { return PENDING; };
    sys().WaitForSingleObject = [](HANDLE, DWORD) -> DWORD { return WAIT_OBJECT_0; };
    (void)write_chunk(nullptr, "x", 1);
}

TEST(NtIoDeathTest, StillPendingAfterTheWaitEndsTheProcess) {
    EXPECT_DEATH(write_that_stays_pending(),
                 "fatal runtime error: I/O error: operation failed to complete synchronously, aborting");
}

}  // namespace
