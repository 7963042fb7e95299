// Whole runs of the real executable under Wine against the stand-in patcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "patcher/file_sha256.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/windows_api.h"
#include "support/harness.h"

namespace {

namespace fs = std::filesystem;

// Longer than a new failure's text, which must replace it whole (under Wine by the end-of-file fallback).
const std::string OLDER_LOG = "an older failure, with a text longer than most " + std::string(300, '.');

// Version 1 installed in a folder whose name has a space and a non-ASCII letter, version 2 downloaded
// beside it, and the updater in a folder of its own that holds an older failure's log.
struct Install {
    Install() {
        fs::create_directories(app);
        fs::create_directories(updater_folder);
        fs::copy_file(updater_file(PU_UPDATER_EXE), updater);
        fs::copy_file(build_file(PU_STAND_IN_V1_EXE), current);
        fs::copy_file(build_file(PU_STAND_IN_V2_EXE), replacement);
        write_file(log, OLDER_LOG);
    }
    std::string files() const { return describe({current, replacement, backup}, version1, version2); }
    std::string starts() const { return read_file(app / L"patcher-starts.txt").value_or(""); }
    std::string restart() const { return "version=2|cwd=" + utf8(app) + "|cmdline=\"" + utf8(current) + "\"\n"; }
    // The stand-in's command line that has `patcher` start the updater for its own update.
    std::wstring update(const fs::path& patcher, const std::wstring& download, const std::wstring& sha256) const {
        return L"\"" + patcher.native() + L"\" update \"" + updater.native() + L"\" \"" + download + L"\" " + sha256;
    }

    TempFolder root{L"e2e"};
    fs::path app = root / L"App Folder \u00e9";
    fs::path current = app / L"patcher.exe";
    fs::path replacement = app / L"patcher.new";
    fs::path backup = app / L"patcher.exe.old";
    fs::path updater_folder = root / L"updater";
    fs::path updater = updater_folder / L"patcher-updater.exe";
    fs::path log = updater_folder / L"patcher-updater.log";
    std::string version1 = read_file(build_file(PU_STAND_IN_V1_EXE)).value();
    std::string version2 = read_file(build_file(PU_STAND_IN_V2_EXE)).value();
    std::wstring digest1 = fs::path(file_sha256(utf8(build_file(PU_STAND_IN_V1_EXE))).value()).native();
    std::wstring digest2 = fs::path(file_sha256(utf8(build_file(PU_STAND_IN_V2_EXE))).value()).native();
};

struct PatcherRun {
    const char* what;
    std::function<void(Install&)> arrange;
    std::wstring download = L"{new}";  // empty: the stand-in takes the target that replacement_path_for names
    bool right_digest = true;
};

// Version 1 starts the updater through the patcher-side helper with its own pid and stays a second: the
// updater waits for it to exit, swaps, and starts version 2 in its folder; or it logs why not, beside itself.
TEST(UpdateE2e, ThePatcherStartsTheUpdaterWhichWaitsSwapsAndRestartsIt) {
    const PatcherRun rows[] = {
        {"the download beside it", {}},
        {"the download where replacement_path_for puts it",
         [](Install& i) { fs::rename(i.replacement, i.current.native() + L".download"); }, L""},
        {"a second name of the running patcher at the backup name",
         [](Install& i) { fs::create_hard_link(i.current, i.backup); }},
        // Refused at once, while the patcher still runs; the log keeps its name beside a renamed updater.
        {"a wrong digest",
         [](Install& i) {
             fs::rename(i.updater, i.updater_folder / L"upd.exe");
             i.updater = i.updater_folder / L"upd.exe";
         },
         L"{new}", false},
    };
    for (const PatcherRun& row : rows) {
        SCOPED_TRACE(row.what);
        Install install;
        if (row.arrange) row.arrange(install);
        const std::wstring download = row.download.empty() ? L"" : install.replacement.native();
        const std::wstring line =
            install.update(install.current, download, row.right_digest ? install.digest2 : install.digest1);
        EXPECT_EQ(run_process(install.current, line), 0u);
        EXPECT_EQ(install.files(), row.right_digest ? "2 - -" : "1 2 -");
        const auto log = read_file(install.log);
        EXPECT_EQ(log, row.right_digest ? OLDER_LOG : "replacement patcher SHA-256 mismatch");
        const std::string started = "version=1|cwd=" + utf8(fs::current_path()) + "|cmdline=" + utf8(line) + "\n";
        EXPECT_EQ(install.starts(), started + "version=1|exit\n" + (row.right_digest ? install.restart() : ""));
        // The files, the starts and nothing else (no probe of the folder).
        const auto present = std::ranges::count_if(std::array{install.current, install.replacement, install.backup},
                                                   [](const fs::path& path) { return fs::exists(path); });
        EXPECT_EQ(std::distance(fs::directory_iterator(install.app), fs::directory_iterator()), present + 1);
    }
}

// The longest command line that the system takes, the request at its end.
TEST(UpdateE2e, TheLongestCommandLineIsRead) {
    Install install;
    const std::wstring request = L" --pid 0 --current \"" + install.current.native() + L"\" --new \"" +
                                 install.replacement.native() + L"\" --sha256 " + install.digest2;
    const std::wstring program = L"\"" + install.updater.native() + L"\" --padding ";
    const std::wstring line = program + std::wstring(32767 - 1 - program.size() - request.size(), L'p') + request;
    EXPECT_EQ(run_process(install.updater, line), 0u);
    EXPECT_EQ(install.files(), "2 - -");
    EXPECT_EQ(install.starts(), install.restart());
    EXPECT_EQ(read_file(install.log), OLDER_LOG);
}

// A patcher that starts the updater twice: the second updater waits for the same process and wakes with
// the first, waits for the first to finish, and then finds the replacement gone. The new build is
// installed and started once.
TEST(UpdateE2e, TwoUpdatersForTheSameFilesInstallAndRestartOnce) {
    Install install;
    const fs::path waiter = install.root / L"waiter.exe";
    fs::copy_file(install.current, waiter);
    const std::wstring current = L" \"" + install.current.native() + L"\"";
    ChildProcess first(waiter, install.update(waiter, install.replacement.native(), install.digest2) + current);
    const std::wstring request = L" --pid " + std::to_wstring(first.pid()) + L" --current" + current + L" --new \"" +
                                 install.replacement.native() + L"\" --sha256 " + install.digest2;
    ChildProcess second(install.updater, L"\"" + install.updater.native() + L"\"" + request);
    EXPECT_EQ(first.wait_for_all(), 0u);
    EXPECT_EQ(second.wait_for_all(), 0u);
    EXPECT_EQ(install.files(), "2 - -");
    EXPECT_EQ(install.starts(), install.restart());
    EXPECT_EQ(read_file(install.log), "current or replacement patcher executable is missing");
}

}  // namespace
