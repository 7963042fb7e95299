// The update procedure in-process, with chosen system calls failing: the
// cases that the real executable cannot be made to show.
#include "update_procedure.h"

#include <gtest/gtest.h>

#include "e2e/update_fixture.h"
#include "platform/system_message.h"
#include "support/build_paths.h"
#include "support/process.h"
#include "support/system_call_override.h"

namespace {

class UpdateProcedure : public UpdateFixture {
protected:
    UpdateRequest request(std::uint32_t pid = 0) const {
        return UpdateRequest{pid, utf8(current), utf8(replacement), std::string(digest.begin(), digest.end())};
    }
    static std::string text(const ErrorChain& chain) { return chain_text(chain, system_message_text); }
};

// Stands in for the one-minute wait: the real wait, cut short.
DWORD short_wait(HANDLE handle, DWORD timeout) {
    EXPECT_EQ(timeout, OLD_PROCESS_WAIT_MS);
    return ::WaitForSingleObject(handle, 200);
}

TEST_F(UpdateProcedure, PatcherStillRunningAfterTheWaitChangesNothing) {
    ChildProcess old_patcher(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 30000");
    ASSERT_TRUE(old_patcher.running());
    SystemCallRecorder recorder;
    sys().WaitForSingleObject = short_wait;
    const auto updated = apply_update(request(old_patcher.pid()));
    ASSERT_FALSE(updated);
    EXPECT_EQ(text(updated.error()), "timed out waiting for the old patcher process to exit");
    EXPECT_TRUE(old_patcher.running());
    expect_unchanged();
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(UpdateProcedure, FailedWaitIsReportedAsATimeOut) {
    ChildProcess old_patcher(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 30000");
    SystemCallRecorder recorder;
    recorder.fail_call(Call::WaitForSingleObject, ERROR_INVALID_HANDLE);
    const auto updated = apply_update(request(old_patcher.pid()));
    ASSERT_FALSE(updated);
    EXPECT_EQ(text(updated.error()), "timed out waiting for the old patcher process to exit");
    expect_unchanged();
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// A process that cannot be opened is not waited for: the swap goes ahead.
TEST_F(UpdateProcedure, ProcessThatCannotBeOpenedIsNotWaitedFor) {
    ChildProcess old_patcher(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 30000");
    SystemCallRecorder recorder;
    recorder.fail_call(Call::OpenProcess, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(apply_update(request(old_patcher.pid())));
    EXPECT_EQ(recorder.count(Call::WaitForSingleObject), 0u);
    EXPECT_TRUE(old_patcher.running());
    EXPECT_EQ(read_file(current), version2);
    EXPECT_TRUE(restarted_in(app));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

TEST_F(UpdateProcedure, FailedRollBackLeavesTheOldExecutableAtTheBackup) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::MoveFileExW, ERROR_SHARING_VIOLATION, 2);  // the install
    recorder.fail_call(Call::MoveFileExW, ERROR_SHARING_VIOLATION, 3);  // the roll-back
    const auto updated = apply_update(request());
    ASSERT_FALSE(updated);
    // The install's error is reported, not the roll-back's.
    EXPECT_EQ(text(updated.error()),
              "cannot install the new patcher executable: " + system_message_text(32) + " (os error 32)");
    EXPECT_FALSE(std::filesystem::exists(current));
    EXPECT_EQ(read_file(backup), version1);
    EXPECT_EQ(read_file(replacement), version2);
    EXPECT_EQ(starts_in(app), "");
}

TEST_F(UpdateProcedure, SuccessfulRollBackRestoresTheOldExecutable) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::MoveFileExW, ERROR_SHARING_VIOLATION, 2);
    const auto updated = apply_update(request());
    ASSERT_FALSE(updated);
    EXPECT_EQ(recorder.count(Call::MoveFileExW), 3u);
    expect_unchanged();
}

TEST_F(UpdateProcedure, BackupThatCannotBeDeletedAfterTheInstallStaysAndTheUpdateSucceeds) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::DeleteFileW, ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(apply_update(request()));
    EXPECT_EQ(read_file(current), version2);
    EXPECT_EQ(read_file(backup), version1);
    EXPECT_TRUE(restarted_in(app));

    // The next update removes it as a stale backup.
    std::filesystem::copy_file(current, replacement);
    write_file(current, version1);
    ASSERT_TRUE(apply_update(request()));
    EXPECT_FALSE(std::filesystem::exists(backup));
}

TEST_F(UpdateProcedure, LaunchFailureAfterTheSwapIsReportedAndTheReplacementStays) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateProcessW, ERROR_NOT_ENOUGH_MEMORY);
    const auto updated = apply_update(request());
    ASSERT_FALSE(updated);
    EXPECT_EQ(text(updated.error()),
              "cannot restart the updated patcher: " + system_message_text(8) + " (os error 8)");
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(replacement));
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_EQ(recorder.open_resources(), 0u);
}

// The started patcher is left to run: its process handle is closed first,
// then its thread handle, and nothing waits for it.
TEST_F(UpdateProcedure, StartedPatcherHandlesAreClosedAtOnce) {
    ScopedSystemCalls scope;
    static HANDLE process, thread;
    static std::vector<HANDLE> closed;
    closed.clear();
    process = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sys().CreateProcessW = [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                              LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) -> BOOL {
        info->hProcess = process;
        info->hThread = thread;
        return TRUE;
    };
    sys().CloseHandle = [](HANDLE handle) -> BOOL {
        closed.push_back(handle);
        return ::CloseHandle(handle);
    };
    sys().WaitForSingleObject = [](HANDLE handle, DWORD) -> DWORD {
        EXPECT_NE(handle, process);
        return WAIT_OBJECT_0;
    };
    ASSERT_TRUE(apply_update(request()));
    ASSERT_GE(closed.size(), 2u);
    EXPECT_EQ(closed[closed.size() - 2], process);
    EXPECT_EQ(closed.back(), thread);
}

// A failed look at the backup path deletes nothing; the rename then
// replaces whatever is there.
TEST_F(UpdateProcedure, FailedBackupQueryDeletesNothing) {
    write_file(backup, "stale");
    SystemCallRecorder recorder;
    recorder.fail_call(Call::CreateFileW, ERROR_INVALID_NAME, 4);  // after both tests and the digest's open
    ASSERT_TRUE(apply_update(request()));
    EXPECT_EQ(recorder.count(Call::DeleteFileW), 1u);  // only the backup after the install
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(backup));
}

TEST_F(UpdateProcedure, EveryHandleIsClosedOnSuccess) {
    ChildProcess old_patcher(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 300");
    SystemCallRecorder recorder;
    ASSERT_TRUE(apply_update(request(old_patcher.pid())));
    EXPECT_EQ(recorder.count(Call::OpenProcess), 1u);
    EXPECT_EQ(recorder.open_resources(), 0u);
    EXPECT_TRUE(restarted_in(app));
}

}  // namespace
