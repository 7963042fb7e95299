// The Windows answers that Wine does not give, made through the seam.
#include <gtest/gtest.h>

#include <set>

#include "platform/file_metadata.h"
#include "platform/file_operations.h"
#include "platform/launch.h"
#include "platform/nt_io.h"
#include "platform/system_message.h"
#include "platform/system_path.h"
#include "platform/text_query.h"
#include "platform/whole_file.h"
#include "support/harness.h"
#include "support/seam.h"

namespace {

using enum Call;
const auto code = [](DWORD c) { return std::unexpected(OsError::from_code(c)); };
std::vector<std::pair<int, DWORD>> g_requests;  // the by-handle requests: class and flags

// The backup is deleted only while it is still the file that the swap put there.
TEST(FileOperations, DeleteSameFileLeavesAnotherFile) {
    TempFolder folder(L"identity");
    const auto file = folder / L"patcher.exe.old";
    const auto other = folder / L"other";
    write_file(file, "v1");
    write_file(other, "v2");
    const auto identity_of = [](const std::filesystem::path& path) {
        return query_entry_metadata(utf8(path)).value().identity().value();
    };
    EXPECT_EQ(delete_same_file(utf8(file), identity_of(other)), code(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read_file(file), "v1");
    EXPECT_TRUE(delete_same_file(utf8(file), identity_of(file)).has_value());
    EXPECT_FALSE(read_file(file).has_value());
}

TEST(FileOperations, RefusalWith5FallsBackToAHandleWhoseFailuresReadAs5) {
    TempFolder folder(L"fallback");
    const auto file = folder / L"patcher.exe";
    const auto target = folder / std::wstring(240, L'n');
    write_file(file, "v1");
    ScopedSystemCalls scope;
    sys().SetFileInformationByHandle = [](HANDLE, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD) -> BOOL {
        g_requests.push_back({kind, *static_cast<const DWORD*>(info)});
        return TRUE;
    };
    const std::tuple<bool, std::vector<std::pair<Call, DWORD>>, std::expected<void, OsError>> rows[] = {
        {true, {{DeleteFileW, 5}}, {}},
        {false, {{MoveFileExW, 5}}, {}},
        {false, {{MoveFileExW, 5}, {HeapAlloc, 8}}, std::unexpected(OsError::from_kind(OsErrorKind::OutOfMemory))},
        {false, {{MoveFileExW, 5}, {SetFileInformationByHandle, 145}}, code(145)},
        {false, {{MoveFileExW, 5}, {SetFileInformationByHandle, 32}}, code(5)},
    };
    for (const auto& [deletes, failing, result] : rows) {
        g_requests.clear();
        Recorder recorder;
        for (const auto& [call, failure] : failing) recorder.fail(call, failure);
        EXPECT_EQ(deletes ? delete_file(utf8(file)) : rename_replace(utf8(file), utf8(target)), result);
        EXPECT_TRUE(recorder.open.empty());
        // Replace-if-exists and POSIX semantics; delete, POSIX semantics and ignore the read-only attribute.
        if (result) EXPECT_EQ(g_requests, (decltype(g_requests){deletes ? std::pair(21, 0x13) : std::pair(22, 3)}));
    }
    EXPECT_EQ(read_file(file), "v1");
    // Another process may write, rename or delete the file while it is read.
    const HANDLE writer = ::CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(open_for_read(utf8(file)));
    ::CloseHandle(writer);
}

// What the faked metadata calls answer: a code of 0 leaves the call to the system.
struct Metadata {
    DWORD following = 0;
    DWORD itself = 0;
    DWORD tag = 0;                                  // a reparse tag the handle reports
    std::optional<std::pair<DWORD, DWORD>> listed;  // attributes and tag of the folder's entry
} g_faked;

TEST(FileMetadata, RefusedOpensAreListedAndLinksAreNeverTakenForTheirTarget) {
    TempFolder folder(L"metadata");
    const std::string file = utf8(folder / L"p.exe");
    write_file(folder / L"p.exe", "v1");
    ScopedSystemCalls scope;
    sys().CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD how, DWORD flags,
                           HANDLE model) {
        const DWORD failure = flags & FILE_FLAG_OPEN_REPARSE_POINT ? g_faked.itself : g_faked.following;
        if (failure == 0) return ::CreateFileW(path, access, share, sa, how, flags, model);
        ::SetLastError(failure);
        return INVALID_HANDLE_VALUE;
    };
    sys().GetFileInformationByHandle = [](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
        const BOOL got = ::GetFileInformationByHandle(file, info);
        if (g_faked.tag != 0) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        return got;
    };
    sys().GetFileInformationByHandleEx = [](HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID info, DWORD) -> BOOL {
        *static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info) = {FILE_ATTRIBUTE_REPARSE_POINT, g_faked.tag};
        return TRUE;
    };
    sys().FindFirstFileExW = [](LPCWSTR path, FINDEX_INFO_LEVELS level, LPVOID entry, FINDEX_SEARCH_OPS op, LPVOID,
                                DWORD) {
        const HANDLE search = ::FindFirstFileExW(path, level, entry, op, nullptr, 0);
        auto* data = static_cast<WIN32_FIND_DATAW*>(entry);
        if (g_faked.listed) std::tie(data->dwFileAttributes, data->dwReserved0) = *g_faked.listed;
        return search;
    };
    constexpr DWORD LINK = IO_REPARSE_TAG_SYMLINK, FILTER = IO_REPARSE_TAG_DEDUP, REPARSE = 0x420;
    // The faked answers, then the error (0: described), whether regular, and the tag.
    const std::tuple<Metadata, DWORD, bool, DWORD> rows[] = {
        {{.following = 5}, 0, true, 0},
        {{.following = 5, .listed = {{REPARSE, IO_REPARSE_TAG_MOUNT_POINT}}}, 5, false, 0},
        {{.following = 32, .listed = {{REPARSE, FILTER}}}, 0, true, FILTER},
        {{.tag = LINK}, 0, false, LINK},
        {{.following = 1920, .tag = LINK}, 1920, false, 0},
        {{.following = 1920, .itself = 5, .listed = {{REPARSE, FILTER}}}, 0, true, FILTER},
    };
    for (const auto& [faked, error, regular, tag] : rows) {
        g_faked = faked;
        Recorder recorder;
        const auto metadata = query_metadata(file);
        EXPECT_EQ(std::tuple(metadata ? 0u : metadata.error().code(), metadata ? metadata->reparse_tag : 0u),
                  std::tuple(error, tag));
        EXPECT_EQ(std::pair(is_regular_file(file), path_exists(file)), std::pair(regular, error == 0));
        EXPECT_TRUE(recorder.open.empty());
    }
}

// A link at the log's name is opened itself, not followed, and never written through.
TEST(WholeFile, IsNeverWrittenThroughALink) {
    TempFolder folder(L"log");
    write_file(folder / L"patcher-updater.log", "an older log");
    ScopedSystemCalls scope;
    sys().GetFileInformationByHandle = [](HANDLE, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
        *info = {.dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT, .nNumberOfLinks = 1};
        return TRUE;
    };
    Recorder recorder;
    EXPECT_EQ(write_whole_file(utf8(folder / L"patcher-updater.log"), "new"), code(5));
    EXPECT_EQ(read_file(folder / L"patcher-updater.log"), "an older log");
    EXPECT_EQ(recorder.open_flags, std::vector<std::uint32_t>{FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                                                              SECURITY_IDENTIFICATION});
}

constexpr NTSTATUS PENDING = 0x103;

// A pending read is waited for on its handle; a broken pipe and the end of a file are 0 bytes.
TEST(NtIo, StatusesBecomeCountsOrCodes) {
    ScopedSystemCalls scope;
    static NTSTATUS status;
    static NTSTATUS after_wait;
    static PIO_STATUS_BLOCK pending_block;
    sys().NtReadFile = [](HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID, ULONG length,
                          PLARGE_INTEGER, PULONG) -> NTSTATUS {
        EXPECT_EQ(length, 0xFFFFFFFFul);  // at most what one read can take
        pending_block = io;
        io->Information = 7;
        return status;
    };
    sys().WaitForSingleObject = [](HANDLE handle, DWORD timeout) -> DWORD {
        EXPECT_EQ(std::pair(handle, timeout), std::pair(HANDLE(0x44), DWORD{INFINITE}));
        pending_block->Status = after_wait;
        return WAIT_OBJECT_0;
    };
    const std::tuple<NTSTATUS, NTSTATUS, std::expected<std::size_t, OsError>> rows[] = {
        {0, 0, 7u},
        {PENDING, static_cast<NTSTATUS>(0xC0000011), 0u},
        {static_cast<NTSTATUS>(0xC000014B), 0, 0u},
        {static_cast<NTSTATUS>(0xC0000022), 0, code(5)},
    };
    for (const auto& [first, then, result] : rows) {
        status = first;
        after_wait = then;
        char buffer[8];
        EXPECT_EQ(read_chunk(HANDLE(0x44), buffer, std::size_t{1} << 33), result) << std::hex << first;
    }
}

// The system's own text for a code, trimmed; NT codes from ntdll's table; the fallback when there is none.
TEST(SystemMessage, IsTheSystemsTextTrimmedOrAFallbackThatNamesWhy) {
    ScopedSystemCalls scope;
    static std::tuple<DWORD, HMODULE, DWORD> asked;
    static const wchar_t* reply;
    sys().FormatMessageW = [](DWORD flags, LPCVOID module, DWORD id, DWORD, LPWSTR buffer, DWORD, va_list*) -> DWORD {
        asked = {flags, HMODULE(module), id};
        if (reply == nullptr) {
            ::SetLastError(317);
            return 0;
        }
        wcscpy(buffer, reply);
        return static_cast<DWORD>(wcslen(reply));
    };
    const HMODULE ntdll = ::GetModuleHandleW(L"NTDLL.DLL");
    const std::tuple<const wchar_t*, std::uint32_t, std::string, std::tuple<DWORD, HMODULE, DWORD>> rows[] = {
        {L"Denied. \t\n\f\r", 5, "Denied.", {0x1200, nullptr, 5}},
        {L"NT text.\r\n", 0xD0000022, "NT text.", {0x1A00, ntdll, 0xC0000022}},
        {nullptr,
         0xD0000022,
         "OS Error -1073741790 (FormatMessageW() returned error 317)",
         {0x1A00, ntdll, 0xC0000022}},
    };
    for (const auto& [text, number, expected, call] : rows) {
        reply = text;
        EXPECT_EQ(std::pair(system_message_text(number), asked), std::pair(expected, call));
    }
}

// The restart, with the program search, the standard handles and CreateProcessW faked.
std::set<std::wstring> g_existing;

DWORD copy_text(const wchar_t* text, wchar_t* buffer, DWORD size) {
    const auto length = static_cast<DWORD>(wcslen(text));
    if (length >= size) return length + 1;
    wcscpy(buffer, text);
    return length;
}

TEST(Launch, ProgramTextsReachCreateProcessAsTheirApplicationPath) {
    wchar_t cwd[MAX_PATH];
    const std::wstring here(cwd, ::GetCurrentDirectoryW(MAX_PATH, cwd)), name(255, L'k');
    static const HANDLE output = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // the standard output the launch finds
    ScopedSystemCalls scope;
    sys().GetSystemDirectoryW = [](LPWSTR b, UINT n) -> UINT { return copy_text(L"C:\\Sys", b, n); };
    sys().GetWindowsDirectoryW = [](LPWSTR b, UINT n) -> UINT { return copy_text(L"C:\\Win", b, n); };
    sys().GetEnvironmentVariableW = [](LPCWSTR, LPWSTR b, DWORD n) { return copy_text(L"C:\\P1;\"C:\\P;2\";", b, n); };
    sys().GetFileAttributesW = [](LPCWSTR path) -> DWORD {
        return g_existing.contains(path) ? 0x20 : INVALID_FILE_ATTRIBUTES;
    };
    sys().GetStdHandle = [](DWORD id) { return id == STD_OUTPUT_HANDLE ? output : nullptr; };
    // The program, the files that exist, and what CreateProcessW gets (in C:\App, or the error).
    const std::tuple<std::u16string, std::set<std::wstring>, std::wstring> rows[] = {
        {u"C:/App/P.EXE", {}, L"C:/App/P.EXE|\"C:/App/P.EXE\"|C:\\App|std"},
        {u"patcher",
         {L"C:\\Sys\\patcher.exe", L"C:\\Win\\patcher.exe"},
         L"C:\\Sys\\patcher.exe|\"patcher\"|C:\\App|std"},
        {u"patcher.beta",
         {L"C:\\P;2\\patcher.beta", L"C:\\P1\\patcher.beta.exe"},
         L"C:\\P;2\\patcher.beta|\"patcher.beta\"|C:\\App|std"},
        {u"C:\\App\\UPDATE.CMD.",
         {},
         LR"(C:\Sys\cmd.exe|cmd.exe /e:ON /v:OFF /d /c ""C:\App\UPDATE.CMD.""|C:\App|std)"},
        // 259 units, the longest that is made a full path
        {u"bin\\" + std::u16string(255, u'k'),
         {},
         L"\\\\?\\" + here + L"\\bin\\" + name + L"|\"bin\\" + name + L"\"|C:\\App|std"},
        {u"patcher.exe", {}, L"program not found"},
        // A separator and no extension: the .exe beside it if there is one; a verbatim path without its prefix
        // when the system makes it into itself, and where only '\\' separates.
        {u"C:\\App\\P", {L"C:\\App\\P.exe"}, L"C:\\App\\P.exe|\"C:\\App\\P\"|C:\\App|std"},
        {u"C:\\App\\P", {}, L"C:\\App\\P|\"C:\\App\\P\"|C:\\App|std"},
        {u"\\\\?\\C:\\App\\P.exe", {}, L"C:\\App\\P.exe|\"\\\\?\\C:\\App\\P.exe\"|C:\\App|std"},
        {u"\\\\?\\C:\\App\\.\\P.exe", {}, L"\\\\?\\C:\\App\\.\\P.exe|\"\\\\?\\C:\\App\\.\\P.exe\"|C:\\App|std"},
        {u"\\\\?\\C:\\App\\P/", {}, L"\\\\?\\C:\\App\\P/|\"\\\\?\\C:\\App\\P/\"|C:\\App|std"},
    };
    for (const auto& [program, existing, created] : rows) {
        g_existing = existing;
        auto& starts = fake_process_starts();
        Recorder recorder;
        auto launched = launch_process({program, {}, u"C:\\App"});
        if (launched) {
            launched->process.reset();
            launched->thread.reset();
        } else {
            starts.assign(1, {launched.error().message().begin(), launched.error().message().end()});
        }
        EXPECT_EQ(starts, std::vector{created});
        EXPECT_TRUE(recorder.open.empty());
    }
    ::CloseHandle(output);
    // A failed text query is an error, not the empty text.
    Recorder recorder;
    recorder.fail(GetFullPathNameW, 206);
    EXPECT_EQ(to_wide_path("p.exe", true), code(206));
    // The empty text is 0 without an error, whatever error an earlier call left.
    ::SetLastError(5);
    EXPECT_EQ(query_text([](wchar_t*, DWORD) -> DWORD { return 0; }), std::wstring());
}

}  // namespace
