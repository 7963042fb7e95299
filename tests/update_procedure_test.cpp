// Whole updates in this process through the system-call seam, CreateProcessW faked.
#include <gtest/gtest.h>

#include <algorithm>

#include "patcher/sha256.h"
#include "platform/system_message.h"
#include "support/harness.h"
#include "support/seam.h"
#include "update_procedure.h"

// The patcher-side header's opens go through the seam here, so that their flags are seen too.
#define CreateFileW(...) sys().CreateFileW(__VA_ARGS__)
#include "patcher_updater/start_updater.hpp"
#undef CreateFileW

namespace {

using enum Call;
enum class Start { Plain, StaleBackup, ReplacementAtBackup };
const std::string V1 = "version 1", V2 = "version 2" + std::string(1 << 20, '2');  // two reads and the last
constexpr std::string_view MESSAGES[] = {
    "current or replacement patcher executable is missing", "cannot open ", "replacement patcher SHA-256 mismatch",
    "timed out waiting for the old patcher process to exit", "replacement patcher is at the backup path",
    "cannot remove stale patcher backup: ", "cannot move the old patcher to backup: ",
    "cannot install the new patcher executable: ", "cannot restart the updated patcher: "};

std::filesystem::path this_program() {
    wchar_t path[32768];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, 32768));
}

// True when every open asked for identification only, with no other quality-of-service flag.
bool identify_only(const std::vector<std::uint32_t>& opens) {
    return std::ranges::all_of(opens, [](auto f) { return (f & SECURITY_VALID_SQOS_FLAGS) == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION); });
}

// The digest's read buffer, the first heap block: without it the process ends at once.
bool digest_buffer(const std::vector<Call>& calls, std::size_t k) {
    return calls[k - 1] == HeapAlloc && std::count(calls.begin(), calls.begin() + k, HeapAlloc) == 1;
}

// The restarts and the wait (access, then time) of one update.
std::vector<std::wstring>* g_restarts;
std::vector<DWORD> g_wait;
DWORD g_patcher_created;  // this process was created at 10
bool g_no_file_index;     // the file system gives every file the index 0

void observe_calls() {
    g_restarts = &fake_process_starts(), g_wait.clear();
    sys().OpenProcess = [](DWORD access, BOOL inherit, DWORD pid) { return g_wait.push_back(access), ::OpenProcess(access, inherit, pid); };
    sys().WaitForSingleObject = [](HANDLE handle, DWORD ms) { return g_wait.push_back(ms), ::WaitForSingleObject(handle, 0); };
    g_patcher_created = 9, g_no_file_index = false;
    sys().GetProcessTimes = [](HANDLE process, LPFILETIME created, LPFILETIME, LPFILETIME, LPFILETIME) -> BOOL {
        return *created = {::GetProcessId(process) == ::GetCurrentProcessId() ? 10 : g_patcher_created, 0}, TRUE;
    };
    sys().GetFileInformationByHandle = [](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
        return ::GetFileInformationByHandle(file, info) && (!g_no_file_index || (info->nFileIndexHigh = info->nFileIndexLow = 0, true));
    };
}

// Version 1 at patcher.exe, version 2 at patcher.new (or at the backup path), in a fresh folder.
struct Layout {
    explicit Layout(Start start) : replacement(start == Start::ReplacementAtBackup ? backup : app / L"patcher.new") {
        std::filesystem::create_directories(app);
        write_file(current, V1), write_file(replacement, V2);
        if (start == Start::StaleBackup) write_file(backup, "stale");
    }
    std::string contents() const { return describe({current, replacement, backup}, V1, V2); }
    // Installed, or else the old build whole at the current or backup path and the new one at the new path.
    bool nothing_lost() const {
        const auto now = read_file(current);
        return now == V2 || ((now == V1 || read_file(backup) == V1) && read_file(replacement) == V2);
    }
    TempFolder folder{L"update"};
    std::filesystem::path app = folder / L"App \u00e9", current = app / L"patcher.exe", backup = app / L"patcher.exe.old", replacement;
};

// An update of `layout`; `pid` is of a process that has ended but stays known while the test holds it.
std::string update(const Layout& layout, std::uint32_t pid) {
    Sha256 hasher;
    hasher.update(V2.data(), V2.size());
    const auto updated = apply_update({pid, utf8(layout.current), utf8(layout.replacement), to_hex(hasher.finish())});
    return updated ? "success" : chain_text(updated.error(), system_message_text);
}

class UpdateTest : public ::testing::TestWithParam<Start> {
protected:
    void SetUp() override {
        ASSERT_EQ(ended.wait_for_all(), 0u);
        observe_calls();
    }
    // The numbered calls of a clean update from this start, and what it did.
    std::vector<Call> clean_calls() {
        const Layout layout(GetParam());
        for (const DWORD probe : {0, 5}) {  // the patcher's own checks open files as the updater does, probe last
            Recorder checks;
            if (probe != 0) checks.fail(CreateFileW, probe, 4);  // a folder the patcher may not write
            EXPECT_EQ(patcher_updater::check_update(layout.current.native(), layout.replacement.native()),
                      probe != 0 ? probe : DWORD{ERROR_BAD_EXE_FORMAT});
            EXPECT_TRUE(checks.open_flags.size() == 4 && identify_only(checks.open_flags));
        }
        Recorder recorder;
        const std::string outcome = update(layout, ended.pid());
        EXPECT_TRUE(recorder.open.empty());
        EXPECT_TRUE(identify_only(recorder.open_flags));
        EXPECT_EQ(outcome + " " + layout.contents(), "success 2 - -");
        EXPECT_EQ(std::ranges::count(recorder.calls, NtReadFile), 3);  // 1 MiB at a time, then the end
        // SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, then a minute
        EXPECT_EQ(g_wait, (std::vector<DWORD>{0x00101000, 60000}));
        return recorder.calls;
    }
    ChildProcess ended{this_program(), L"t --gtest_filter=-*"};
    ScopedSystemCalls scope;
};

// Each call in turn is failed, and just before it the files are checked as a power cut would leave
// them (no handle that the update holds deletes anything when it closes).
TEST_P(UpdateTest, EveryCallFailedOrCutShortLosesNothingAndRestartsOnlyAfterSuccess) {
    const std::vector<Call> calls = clean_calls();
    for (std::size_t k = 1; k <= calls.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "call " << k << " of " << calls.size());
        const Layout layout(GetParam());
        observe_calls();
        Recorder recorder;
        recorder.before(k, [&] { EXPECT_TRUE(layout.nothing_lost()) << "cut short: " << layout.contents(); });
        const Call call = calls[k - 1];
        if (!digest_buffer(calls, k))  // see NoDigestBufferEndsTheProcessAtOnce
            recorder.fail_at(k, call == NtReadFile ? 0xC000009C : call == MoveFileExW || call == DeleteFileW ? 5 : 31);
        const std::string outcome = update(layout, ended.pid());
        EXPECT_TRUE(recorder.open.empty());
        EXPECT_TRUE(layout.nothing_lost()) << outcome;
        EXPECT_EQ(g_restarts->size(), outcome == "success" ? 1u : 0u) << outcome;
        EXPECT_TRUE(std::ranges::any_of(MESSAGES, [&](std::string_view m) { return outcome.starts_with(m); }) ||
                    outcome == "success" || outcome == os_error_display(23))  // a failed read, alone
            << outcome;
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, UpdateTest, ::testing::Values(Start::Plain, Start::StaleBackup));

// Single faults and the text each gives ("{N}": the system's text for code N), then current, new and backup.
struct Step {  // the failed calls (call, n-th, code); when the patcher was created (10: it is this process, running)
    Start start; std::vector<std::tuple<Call, std::size_t, std::uint32_t>> failing; std::string text, files;
    DWORD patcher_created = 9; bool no_file_index = false;
};
using UpdateSteps = UpdateTest;  // the fixture without a start of its own
TEST_F(UpdateSteps, EachStepReportsItsOwnMessageOverTheSystemsError) {
    const Step rows[] = {
        {Start::Plain, {{CreateFileW, 3, 32}}, "cannot open {new}: {32}", "1 2 -"},
        {Start::Plain, {{NtReadFile, 2, 0xC000009C}}, "{23}", "1 2 -"},
        {Start::Plain, {}, MESSAGES[3].data(), "1 2 -", 10},  // no fault, but the patcher is this process
        {Start::Plain, {{WaitForSingleObject, 1, 6}}, MESSAGES[3].data(), "1 2 -"},
        // A process created after the updater holds a reused pid and is not waited for, unless a time is unknown.
        {Start::Plain, {{WaitForSingleObject, 1, 6}}, "success", "2 - -", 11},
        {Start::Plain, {{GetProcessTimes, 2, 6}, {WaitForSingleObject, 1, 6}}, MESSAGES[3].data(), "1 2 -", 11},
        {Start::Plain, {{MoveFileExW, 1, 32}}, "cannot move the old patcher to backup: {32}", "1 2 -"},
        {Start::Plain, {{MoveFileExW, 2, 32}, {MoveFileExW, 3, 32}}, "cannot install the new patcher executable: {32}", "- 2 1"},
        {Start::Plain, {{DeleteFileW, 1, 32}}, "success", "2 - 1"},
        {Start::Plain, {{OpenProcess, 1, 5}}, "success", "2 - -"},  // and no wait
        {Start::StaleBackup, {{CreateFileW, 6, 123}}, "success", "2 - -"},  // the backup's query: replaced anyway
        {Start::StaleBackup, {}, "success", "2 - -", 9, true},  // index 0 everywhere: no file is the replacement
        // Refused by its name alone, before the old patcher (here still running) is waited for.
        {Start::ReplacementAtBackup, {}, MESSAGES[4].data(), "1 2 2", 10, true},
    };
    for (const auto& [start, failing, text, files, patcher_created, no_file_index] : rows) {
        SCOPED_TRACE(text);
        const Layout layout(start);
        observe_calls();
        g_patcher_created = patcher_created, g_no_file_index = no_file_index;
        Recorder recorder;
        for (const auto& [call, n, code] : failing) recorder.fail(call, code, n);
        const std::wstring expected = expand({text.begin(), text.end()}, {{L"new", layout.replacement.native()}});
        EXPECT_EQ(update(layout, patcher_created == 10 ? ::GetCurrentProcessId() : ended.pid()), utf8(expected));
        EXPECT_EQ(layout.contents(), files);
        EXPECT_EQ(g_restarts->size(), text == "success" ? 1u : 0u);
        if (!failing.empty() && std::get<0>(failing[0]) == OpenProcess) EXPECT_TRUE(g_wait.empty());
        EXPECT_TRUE(recorder.open.empty());
    }
}

TEST_F(UpdateSteps, NoDigestBufferEndsTheProcessAtOnce) {
    const Layout layout(Start::Plain);
    EXPECT_EXIT({ Recorder recorder; recorder.fail(HeapAlloc, 8); (void)update(layout, ended.pid()); },
                testing::ExitedWithCode(static_cast<int>(0xC0000409)), "");
}

}  // namespace
