#include "patcher/file_sha256.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/system_message.h"
#include "platform/windows_api.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

constexpr std::size_t MIB = 1048576;

// Bytes that repeat with a period (251) that no read size divides.
std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

class FileSha256Test : public ::testing::Test {
protected:
    TempFolder folder{L"file-sha256"};
    std::filesystem::path file = folder / L"patcher.exe.new";
};

// Digests from FIPS 180-4's examples and from an independent implementation.
TEST_F(FileSha256Test, DigestOfTheWholeFileInLowercaseHex) {
    struct Case {
        std::string content;
        const char* digest;
        std::size_t reads;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 1},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", 2},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", 2},
        {patterned(MIB), "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769", 2},
        {patterned(MIB + 1), "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56", 3},
    };
    for (const Case& c : cases) {
        write_file(file, c.content);
        SystemCallRecorder recorder;
        const auto digest = file_sha256(utf8(file));
        ASSERT_TRUE(digest) << c.content.size();
        EXPECT_EQ(*digest, c.digest) << c.content.size();
        EXPECT_EQ(recorder.count(Call::NtReadFile), c.reads) << c.content.size();
        EXPECT_EQ(recorder.count(Call::HeapAlloc), 1u) << c.content.size();
        EXPECT_EQ(recorder.open_resources(), 0u) << c.content.size();
    }
}

// Every read goes into the one zero-filled 1 MiB block and asks for all of it.
struct ReadsSeen {
    DWORD alloc_flags = 0;
    SIZE_T alloc_size = 0;
    std::set<void*> buffers;
    std::set<ULONG> lengths;
};
ReadsSeen reads_seen;

LPVOID WINAPI observed_alloc(HANDLE heap, DWORD flags, SIZE_T size) {
    reads_seen.alloc_flags = flags;
    reads_seen.alloc_size = size;
    return ::HeapAlloc(heap, flags, size);
}

NTSTATUS NTAPI observed_read(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context, PIO_STATUS_BLOCK io,
                             PVOID buffer, ULONG length, PLARGE_INTEGER offset, PULONG key) {
    reads_seen.buffers.insert(buffer);
    reads_seen.lengths.insert(length);
    return ::NtReadFile(file, event, routine, context, io, buffer, length, offset, key);
}

TEST_F(FileSha256Test, OneZeroFilledBufferServesEveryRead) {
    write_file(file, patterned(2 * MIB + 5));
    ScopedSystemCalls scope;
    reads_seen = {};
    sys().HeapAlloc = observed_alloc;
    sys().NtReadFile = observed_read;
    SystemCallRecorder recorder;
    ASSERT_TRUE(file_sha256(utf8(file)));
    EXPECT_EQ(reads_seen.alloc_flags, static_cast<DWORD>(HEAP_ZERO_MEMORY));
    EXPECT_EQ(reads_seen.alloc_size, DIGEST_READ_CHUNK);
    EXPECT_EQ(reads_seen.buffers.size(), 1u);
    EXPECT_EQ(reads_seen.lengths, std::set<ULONG>{static_cast<ULONG>(DIGEST_READ_CHUNK)});
    EXPECT_EQ(recorder.count(Call::NtReadFile), 4u);
    EXPECT_EQ(recorder.open_resources(), 0u);
}

NTSTATUS NTAPI short_read(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context, PIO_STATUS_BLOCK io,
                          PVOID buffer, ULONG length, PLARGE_INTEGER offset, PULONG key) {
    return ::NtReadFile(file, event, routine, context, io, buffer, length < 1000 ? length : 1000, offset, key);
}

TEST_F(FileSha256Test, ShortReadsGiveTheSameDigest) {
    write_file(file, patterned(MIB + 1));
    ScopedSystemCalls scope;
    sys().NtReadFile = short_read;
    const auto digest = file_sha256(utf8(file));
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56");
}

TEST_F(FileSha256Test, FileThatAnotherHandleWritesIsStillRead) {
    write_file(file, "abc");
    const HANDLE writer =
        ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const auto digest = file_sha256(utf8(file));
    ::CloseHandle(writer);
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// "cannot open {path}" over the open's error, with nothing taken from the heap.
TEST_F(FileSha256Test, FileThatCannotBeOpenedIsNamedInTheError) {
    write_file(file, "abc");
    const HANDLE exclusive = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    struct Case {
        std::filesystem::path path;
        DWORD code;
    };
    for (const Case& c : {Case{folder / L"missing.exe", ERROR_FILE_NOT_FOUND},
                          Case{folder / L"missing" / L"patcher.exe", ERROR_PATH_NOT_FOUND},
                          Case{file, ERROR_SHARING_VIOLATION}}) {
        SystemCallRecorder recorder;
        const auto digest = file_sha256(utf8(c.path));
        ASSERT_FALSE(digest) << c.code;
        EXPECT_EQ(digest.error().message(), "cannot open " + utf8(c.path));
        ASSERT_TRUE(digest.error().cause().has_value());
        EXPECT_EQ(std::get<OsError>(*digest.error().cause()), OsError::from_code(c.code));
        EXPECT_EQ(recorder.count(Call::HeapAlloc), 0u);
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
    ::CloseHandle(exclusive);
}

TEST_F(FileSha256Test, PathWithNulShowsTheConversionText) {
    const std::string path = utf8(folder / L"a") + std::string(1, '\0') + "b";
    const auto digest = file_sha256(path);
    ASSERT_FALSE(digest);
    EXPECT_EQ(chain_text(digest.error(), system_message_text),
              "cannot open " + path + ": strings passed to WinAPI cannot contain NULs");
}

// The path is shown as given, except that a lone surrogate becomes U+FFFD.
TEST_F(FileSha256Test, LoneSurrogateInThePathIsShownAsReplacementCharacter) {
    const std::string folder_text = utf8(folder.path());
    const std::string path = folder_text + "\\x\xED\xA0\x80y.exe";  // U+D800 alone
    const auto digest = file_sha256(path);
    ASSERT_FALSE(digest);
    EXPECT_EQ(digest.error().message(), "cannot open " + folder_text + "\\x\xEF\xBF\xBDy.exe");
    EXPECT_EQ(std::get<OsError>(*digest.error().cause()), OsError::from_code(ERROR_FILE_NOT_FOUND));
}

// A failed read is reported as the system error alone, after the buffer and
// the handle are released.
TEST_F(FileSha256Test, FailedReadIsTheBareSystemError) {
    constexpr DWORD STATUS_IO_DEVICE_ERROR_VALUE = 0xC0000185;
    write_file(file, patterned(MIB + 1));
    for (const std::size_t failing_read : {1u, 2u}) {
        SystemCallRecorder recorder;
        recorder.fail_call(Call::NtReadFile, STATUS_IO_DEVICE_ERROR_VALUE, failing_read);
        const auto digest = file_sha256(utf8(file));
        ASSERT_FALSE(digest) << failing_read;
        EXPECT_FALSE(digest.error().message().has_value());
        ASSERT_TRUE(digest.error().cause().has_value());
        EXPECT_EQ(std::get<OsError>(*digest.error().cause()),
                  OsError::from_code(::RtlNtStatusToDosError(static_cast<NTSTATUS>(STATUS_IO_DEVICE_ERROR_VALUE))));
        EXPECT_EQ(recorder.count(Call::NtReadFile), failing_read);
        EXPECT_EQ(recorder.count(Call::HeapFree), 1u);
        EXPECT_EQ(recorder.open_resources(), 0u) << failing_read;
    }
}

void digest_without_memory(const std::string& path) {
    sys().HeapAlloc = [](HANDLE, DWORD, SIZE_T) -> LPVOID { return nullptr; };
    (void)file_sha256(path);
}

// No room for the read buffer is an internal fault: the process ends through
// the fail-fast service, and nothing is returned.
TEST_F(FileSha256Test, NoRoomForTheBufferEndsTheProcess) {
    write_file(file, "abc");
    EXPECT_EXIT(digest_without_memory(utf8(file)),
                [](int status) { return static_cast<DWORD>(status) == 0xC0000409u; }, "");  // the fail-fast status
}

}  // namespace
