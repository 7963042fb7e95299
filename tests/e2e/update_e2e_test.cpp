// Whole updates with the real executable and the stand-in patcher under Wine,
// checked on disk, in the processes started, and in the log, byte for byte.
#include <gtest/gtest.h>

#include "e2e/update_fixture.h"
#include "patcher/file_sha256.h"
#include "platform/windows_api.h"
#include "support/build_paths.h"
#include "support/process.h"
#include "support/system_text.h"
#include "support/test_drives.h"

namespace {

using UpdateE2e = UpdateFixture;

std::string expected_start(int version, const std::filesystem::path& folder, const std::filesystem::path& exe) {
    return "version=" + std::to_string(version) + "|cwd=" + utf8(folder) + "|cmdline=\"" + utf8(exe) + "\"\n";
}

TEST_F(UpdateE2e, SuccessInstallsTheReplacementAndRestartsItInItsFolder) {
    write_file(log_path, "an older failure");
    ASSERT_EQ(run_updater(digest), 0u);
    ASSERT_TRUE(restarted_in(app));
    EXPECT_EQ(starts_in(app), expected_start(2, app, current));
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(replacement));
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_EQ(log(), "an older failure");
}

// The whole contract: version 1 starts the updater with its own pid through
// the patcher-side helper and exits; the updater waits, swaps and restarts.
TEST_F(UpdateE2e, PatcherStartsTheUpdaterAndComesBackAsVersion2) {
    const std::wstring line = L"\"" + current.native() + L"\" update \"" + updater.native() + L"\" \"" +
                              replacement.native() + L"\" " + digest;
    ASSERT_EQ(run_process(current, line, app), 0u);
    ASSERT_TRUE(eventually([&] { return starts_in(app).find("version=2") != std::string::npos; }));
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(replacement));
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_FALSE(log());
}

TEST_F(UpdateE2e, DigestLetterCaseIsIgnored) {
    std::wstring upper = digest, mixed = digest;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    for (std::size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<wchar_t>(towupper(mixed[i]));
    for (const auto& expected : {upper, mixed}) {
        SCOPED_TRACE(std::string(expected.begin(), expected.end()));
        std::filesystem::copy_file(current, app / L"v1.bak", std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(run_updater(expected), 0u);
        EXPECT_EQ(read_file(current), version2);
        ASSERT_TRUE(restarted_in(app));
        // Put version 1 and the download back for the next round.
        std::filesystem::remove(app / L"patcher-starts.txt");
        std::filesystem::rename(current, replacement);
        std::filesystem::rename(app / L"v1.bak", current);
    }
    EXPECT_FALSE(log());
}

// A wrong digest is refused before the old patcher is waited for: the run
// ends while that process still runs.
TEST_F(UpdateE2e, WrongDigestChangesNothingAndDoesNotWait) {
    ChildProcess sleeper(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 60000");
    ASSERT_TRUE(sleeper.started());
    const std::wstring cases[] = {
        L"",
        digest.substr(0, 63),
        digest + L"0",
        L" " + digest,
        digest + L" ",
        L"0x" + digest.substr(2),
        std::wstring(64, L'0'),
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(std::string(expected.begin(), expected.end()));
        std::filesystem::remove(log_path);
        ASSERT_EQ(run_updater(sleeper.pid(), current.native(), replacement.native(), expected), 0u);
        EXPECT_EQ(log(), "replacement patcher SHA-256 mismatch");
        EXPECT_TRUE(sleeper.running());
        expect_unchanged();
    }
}

TEST_F(UpdateE2e, MissingOrDirectoryPathsAreReportedAlike) {
    const auto missing = app / L"missing.exe";
    const auto folder = app / L"folder";
    std::filesystem::create_directory(folder);
    const std::pair<std::wstring, std::wstring> cases[] = {
        {missing.native(), replacement.native()}, {current.native(), missing.native()},
        {folder.native(), replacement.native()},  {current.native(), folder.native()},
        {L"", replacement.native()},              {current.native(), L""},
    };
    for (const auto& [current_text, new_text] : cases) {
        std::filesystem::remove(log_path);
        ASSERT_EQ(run_updater(0, current_text, new_text, digest), 0u);
        EXPECT_EQ(log(), "current or replacement patcher executable is missing");
        expect_unchanged();
    }
}

TEST_F(UpdateE2e, OldPatcherIsWaitedForThenReplaced) {
    ChildProcess old_patcher(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 1500");
    ASSERT_TRUE(old_patcher.running());
    ASSERT_EQ(run_updater(old_patcher.pid(), current.native(), replacement.native(), digest), 0u);
    EXPECT_FALSE(old_patcher.running());
    EXPECT_EQ(read_file(current), version2);
    EXPECT_TRUE(restarted_in(app));
}

TEST_F(UpdateE2e, StaleBackupFileIsRemoved) {
    write_file(backup, "stale");
    ASSERT_EQ(run_updater(digest), 0u);
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_TRUE(restarted_in(app));
}

TEST_F(UpdateE2e, DirectoryAtTheBackupPathStopsTheUpdate) {
    std::filesystem::create_directory(backup);
    ASSERT_EQ(run_updater(digest), 0u);
    EXPECT_EQ(log(), "cannot remove stale patcher backup: " + os_error_display(5));
    EXPECT_TRUE(std::filesystem::is_directory(backup));
    EXPECT_EQ(read_file(current), version1);
    EXPECT_EQ(read_file(replacement), version2);
    EXPECT_EQ(starts_in(app), "");
}

// The install rename finds its source gone (it was the current file, now
// the backup); the roll-back puts the file back.
TEST_F(UpdateE2e, SameFileAsCurrentAndNewIsRolledBack) {
    write_file(current, version2);
    const std::wstring texts[] = {current.native(), (app / L"." / L"patcher.exe").native()};
    for (const auto& new_text : texts) {
        std::filesystem::remove(log_path);
        ASSERT_EQ(run_updater(0, current.native(), new_text, digest), 0u);
        EXPECT_EQ(log(), "cannot install the new patcher executable: " + os_error_display(2));
        EXPECT_EQ(read_file(current), version2);
        EXPECT_FALSE(std::filesystem::exists(backup));
        EXPECT_EQ(starts_in(app), "");
    }
}

// Drive S: of the test prefix lies on /dev/shm: renames do not cross to it.
TEST_F(UpdateE2e, ReplacementOnAnotherVolumeIsRolledBack) {
    PU_REQUIRE_TEST_DRIVE(std::filesystem::path(L"S:\\"));
    const std::filesystem::path other = L"S:\\" + root.path().filename().native();
    std::filesystem::create_directory(other);
    const auto elsewhere = other / L"patcher.new";
    std::filesystem::copy_file(replacement, elsewhere);
    ASSERT_EQ(run_updater(0, current.native(), elsewhere.native(), digest), 0u);
    EXPECT_EQ(log(), "cannot install the new patcher executable: " + os_error_display(17));
    EXPECT_EQ(read_file(current), version1);
    EXPECT_EQ(read_file(elsewhere), version2);
    EXPECT_FALSE(std::filesystem::exists(backup));
    std::filesystem::remove_all(other);
}

TEST_F(UpdateE2e, RelativeCurrentPathIsResolvedAgainstTheWorkingDirectory) {
    const std::wstring relative = app.filename().native() + L"\\patcher.exe";
    ASSERT_EQ(run_updater(0, relative, replacement.native(), digest, root.path()), 0u);
    EXPECT_FALSE(log());
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(backup));
    ASSERT_TRUE(restarted_in(app));
    // Started by its relative text, in its relative folder.
    EXPECT_EQ(starts_in(app), "version=2|cwd=" + utf8(app) + "|cmdline=\"" + utf8(relative) + "\"\n");
}

// A bare file name is swapped in the working directory, but the restart
// searches the updater's folder and the system folders, never the working
// directory, and gets the empty text as its working directory.
TEST_F(UpdateE2e, BareFileNameIsSwappedInTheWorkingDirectory) {
    ASSERT_EQ(run_updater(0, L"patcher.exe", L"patcher.new", digest, app), 0u);
    EXPECT_EQ(read_file(current), version2);
    EXPECT_FALSE(std::filesystem::exists(replacement));
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_EQ(log(), "cannot restart the updated patcher: program not found");
}

TEST_F(UpdateE2e, CurrentPathWithoutExtensionGetsExeOldBackup) {
    const auto plain = app / L"patcher";
    std::filesystem::rename(current, plain);
    write_file(app / L"patcher.exe.old", "stale");  // the backup of "patcher" too
    ASSERT_EQ(run_updater(0, plain.native(), replacement.native(), digest), 0u);
    EXPECT_EQ(read_file(plain), version2);
    EXPECT_FALSE(std::filesystem::exists(app / L"patcher.exe.old"));
    EXPECT_FALSE(std::filesystem::exists(replacement));
}

// The replacement was downloaded to the backup path: deleting it as a stale
// backup would lose it and restart the old build. Nothing is changed.
TEST_F(UpdateE2e, ReplacementAtTheBackupPathIsRefused) {
    std::filesystem::rename(replacement, backup);
    const std::wstring texts[] = {backup.native(), (app / L"." / L"patcher.exe.old").native()};
    for (const auto& new_text : texts) {
        std::filesystem::remove(log_path);
        ASSERT_EQ(run_updater(0, current.native(), new_text, digest), 0u);
        EXPECT_EQ(log(), "replacement patcher is at the backup path");
        EXPECT_EQ(read_file(current), version1);
        EXPECT_EQ(read_file(backup), version2);
        EXPECT_EQ(starts_in(app), "");
    }
}

TEST_F(UpdateE2e, ScriptPatcherIsRestartedThroughTheCommandInterpreter) {
    const auto script = app / L"patcher.cmd";
    const auto download = app / L"patcher.cmd.new";
    write_file(script, "@echo first>\"%~dp0script-started.txt\"\r\n");
    write_file(download, "@echo second>\"%~dp0script-started.txt\"\r\n");
    const auto computed = file_sha256(utf8(download));
    ASSERT_TRUE(computed);
    ASSERT_EQ(run_updater(0, script.native(), download.native(), widen_ascii(*computed)), 0u);
    EXPECT_FALSE(log());
    EXPECT_TRUE(eventually([&] { return read_file(app / L"script-started.txt") == "second\r\n"; }));
}

// After the swap there is no way back: a replacement that cannot be started
// stays installed, and the failure is logged.
TEST_F(UpdateE2e, RestartFailureAfterTheSwapKeepsTheReplacement) {
    write_file(replacement, "not a program");
    const auto computed = file_sha256(utf8(replacement));
    ASSERT_TRUE(computed);
    ASSERT_EQ(run_updater(widen_ascii(*computed)), 0u);
    EXPECT_EQ(log(), "cannot restart the updated patcher: " + os_error_display(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(read_file(current), "not a program");
    EXPECT_FALSE(std::filesystem::exists(replacement));
    EXPECT_FALSE(std::filesystem::exists(backup));
}

// A patcher that does not end within the wait: the real 60 seconds.
TEST_F(UpdateE2e, SlowStillRunningPatcherTimesOutAfterAMinute) {
    ChildProcess old_patcher(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe sleep 90000");
    ASSERT_TRUE(old_patcher.running());
    ASSERT_EQ(run_updater(old_patcher.pid(), current.native(), replacement.native(), digest), 0u);
    EXPECT_EQ(log(), "timed out waiting for the old patcher process to exit");
    EXPECT_TRUE(old_patcher.running());
    expect_unchanged();
}

}  // namespace
