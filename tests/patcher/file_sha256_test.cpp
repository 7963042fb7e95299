#include "patcher/file_sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "platform/system_message.h"
#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/system_text.h"
#include "support/temp_folder.h"

namespace {

constexpr std::size_t MIB = 1048576;

// Bytes that repeat with a period (251) that no read size divides.
std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// The one allocation, and the buffer and length of every read; reads return at most `read_limit` bytes.
struct { DWORD flags; SIZE_T size; void* block; std::set<std::pair<void*, ULONG>> reads; } seen;
ULONG read_limit = ~ULONG{0};

LPVOID WINAPI observed_alloc(HANDLE heap, DWORD flags, SIZE_T size) {
    seen.flags = flags;
    seen.size = size;
    return seen.block = ::HeapAlloc(heap, flags, size);
}

NTSTATUS NTAPI observed_read(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context, PIO_STATUS_BLOCK io,
                             PVOID buffer, ULONG length, PLARGE_INTEGER offset, PULONG key) {
    seen.reads.emplace(buffer, length);
    return ::NtReadFile(file, event, routine, context, io, buffer, std::min(length, read_limit), offset, key);
}

class FileSha256Test : public ::testing::Test {
protected:
    void SetUp() override {
        read_limit = ~ULONG{0};
        sys().HeapAlloc = observed_alloc;
        sys().NtReadFile = observed_read;
    }

    ScopedSystemCalls scope;
    TempFolder folder{L"file-sha256"};
    std::filesystem::path file = folder / L"patcher.exe.new";
};

// Digests from FIPS 180-4 and another implementation, while another handle writes; the last row reads short.
TEST_F(FileSha256Test, DigestOfTheWholeFileReadIntoOneZeroFilledBuffer) {
    const std::tuple<std::string, std::string_view, std::size_t, ULONG> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 1, MIB},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", 2, MIB},
        {patterned(MIB), "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769", 2, MIB},
        {patterned(MIB + 1), "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56", 3, MIB},
        {patterned(MIB + 1), "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56", 1050, 1000},
    };
    for (const auto& [content, expected, reads, limit] : cases) {
        SCOPED_TRACE(std::to_string(content.size()) + " bytes");
        write_file(file, content);
        const HANDLE writer =
            ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        seen = {};
        read_limit = limit;
        SystemCallRecorder recorder;
        EXPECT_EQ(file_sha256(utf8(file)).value_or("failed"), expected);
        ::CloseHandle(writer);
        EXPECT_EQ(recorder.count(Call::NtReadFile), reads);
        EXPECT_EQ(recorder.count(Call::HeapAlloc), 1u);
        EXPECT_EQ(recorder.open_resources(), 0u);
        EXPECT_EQ(seen.flags, static_cast<DWORD>(HEAP_ZERO_MEMORY));
        EXPECT_EQ(seen.size, DIGEST_READ_CHUNK);
        EXPECT_EQ(seen.reads, (std::set{std::pair{seen.block, static_cast<ULONG>(DIGEST_READ_CHUNK)}}));
    }
}

// An open failure names the path (a lone surrogate as U+FFFD); a read failure is the bare system error.
TEST_F(FileSha256Test, FailuresAreReportedWithNothingLeftOpen) {
    constexpr std::uint32_t DEVICE_ERROR = 0xC0000185;  // STATUS_IO_DEVICE_ERROR
    write_file(file, patterned(MIB + 1));
    const std::string base = utf8(folder.path()), missing = base + "\\missing.exe", with_nul = base + '\0' + "b";
    const std::string read_failure = os_error_display(::RtlNtStatusToDosError(static_cast<NTSTATUS>(DEVICE_ERROR)));
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {missing, 0, "cannot open " + missing + ": " + os_error_display(ERROR_FILE_NOT_FOUND)},
        {base + "\\x\xED\xA0\x80y.exe", 0,
         "cannot open " + base + "\\x\xEF\xBF\xBDy.exe: " + os_error_display(ERROR_FILE_NOT_FOUND)},
        {with_nul, 0, "cannot open " + with_nul + ": strings passed to WinAPI cannot contain NULs"},
        {utf8(file), 1, read_failure},
        {utf8(file), 2, read_failure},
    };
    for (const auto& [path, failing_read, expected] : cases) {
        SCOPED_TRACE(expected);
        SystemCallRecorder recorder;
        if (failing_read != 0) recorder.fail_call(Call::NtReadFile, DEVICE_ERROR, failing_read);
        const auto digest = file_sha256(path);
        ASSERT_FALSE(digest);
        EXPECT_EQ(chain_text(digest.error(), system_message_text), expected);
        EXPECT_EQ(recorder.count(Call::NtReadFile), failing_read);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

// No room for the read buffer is an internal fault: the process ends with the fail-fast status.
TEST_F(FileSha256Test, NoRoomForTheBufferEndsTheProcess) {
    write_file(file, "abc");
    sys().HeapAlloc = [](HANDLE, DWORD, SIZE_T) -> LPVOID { return nullptr; };
    EXPECT_EXIT((void)file_sha256(utf8(file)), [](int status) { return static_cast<DWORD>(status) == 0xC0000409u; },
                "");
}

}  // namespace
