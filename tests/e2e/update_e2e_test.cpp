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
        digest1 = digest(current);
        digest2 = digest(replacement);
    }
    ~Install() {
        if (writer != nullptr) ::CloseHandle(writer);
        std::error_code ignored;
        fs::remove(other_volume, ignored);
    }

    // A scenario's text with each {name} filled in.
    std::wstring expand(const std::wstring& text) const {
        return ::expand(text, {{L"current", current},
                               {L"new", replacement},
                               {L"app", app},
                               {L"other", other_volume},
                               {L"digest", digest2},
                               {L"digest1", digest1},
                               {L"pid", std::to_wstring(::GetCurrentProcessId())}});
    }
    std::string files() const { return describe({current, replacement, backup}, version1, version2); }
    std::string starts() const { return read_file(app / L"patcher-starts.txt").value_or(""); }

    TempFolder root{L"e2e"};
    fs::path app = root / L"App Folder \u00e9";
    fs::path current = app / L"patcher.exe";
    fs::path replacement = app / L"patcher.new";
    fs::path backup = app / L"patcher.exe.old";
    fs::path updater_folder = root / L"updater";
    fs::path updater = updater_folder / L"patcher-updater.exe";
    fs::path log = updater_folder / L"patcher-updater.log";
    fs::path other_volume = L"S:\\" + root.path().filename().native() + L".new";
    std::string version1 = read_file(build_file(PU_STAND_IN_V1_EXE)).value();
    std::string version2 = read_file(build_file(PU_STAND_IN_V2_EXE)).value();
    std::wstring digest1;  // of the current and the new file, taken before a scenario moves one
    std::wstring digest2;
    HANDLE writer = nullptr;  // a download still being written, which shares all

    static std::wstring digest(const fs::path& file) { return fs::path(file_sha256(utf8(file)).value()).native(); }
};

std::vector<std::wstring> request(std::wstring current = L"{current}", std::wstring replacement = L"{new}",
                                  std::wstring sha256 = L"{digest}", std::wstring pid = L"0") {
    return {L"--pid", pid, L"--current", current, L"--new", replacement, L"--sha256", sha256};
}

constexpr auto MISSING = L"current or replacement patcher executable is missing";

// What only the real executable shows; the other scenarios run in process, through the same file system.
struct Scenario {
    const char* what;
    std::vector<std::wstring> arguments;  // "{fill}" pads the command line to the longest the system takes
    std::wstring log;                     // empty: nothing logged, the older log stays, the patcher restarted
    std::string files;                    // current, new and backup afterwards
    std::function<void(Install&)> arrange = {};
};

const Scenario SCENARIOS[] = {
    // Waiting for this test's process would end in a time-out, not in this message.
    {"wrong digest, refused at once", request(L"{current}", L"{new}", L"{digest1}", L"{pid}"),
     L"replacement patcher SHA-256 mismatch", "1 2 -"},
    {"a renamed updater keeps the log's name",
     {},
     L"missing --pid",
     "1 2 -",
     [](Install& i) {
         fs::rename(i.updater, i.updater_folder / L"upd.exe");
         i.updater = i.updater_folder / L"upd.exe";
     }},
    {"longest command line, the request at its end",
     {L"--padding", L"{fill}", L"--pid", L"0", L"--current", L"{current}", L"--new", L"{new}", L"--sha256",
      L"{digest}"},
     L"",
     "2 - -"},
};

std::wstring command_line(const Install& install, const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> expanded;
    for (const auto& argument : arguments) expanded.push_back(install.expand(argument));
    const std::vector<std::wstring_view> views(expanded.begin(), expanded.end());
    std::wstring line = patcher_updater::build_command_line(install.updater.native(), views);
    if (const auto fill = line.find(L"{fill}"); fill != std::wstring::npos)
        line.replace(fill, 6, std::wstring(32766 - line.size() + 6, L'p'));
    return line;
}

TEST(UpdateE2e, EachScenarioLeavesItsFilesRestartAndLog) {
    for (const Scenario& scenario : SCENARIOS) {
        SCOPED_TRACE(scenario.what);
        Install install;
        if (scenario.arrange) scenario.arrange(install);
        EXPECT_EQ(run_process(install.updater, command_line(install, scenario.arguments)), 0u);
        EXPECT_EQ(read_file(install.log), scenario.log.empty() ? OLDER_LOG : utf8(scenario.log));
        EXPECT_EQ(install.files(), scenario.files);
        const std::string restart =
            "version=2|cwd=" + utf8(install.app) + "|cmdline=\"" + utf8(install.current) + "\"\n";
        EXPECT_EQ(install.starts(), scenario.log.empty() ? restart : "");
    }
}

// A patcher that starts the updater twice: the second updater waits for the same process and wakes with
// the first, waits for the first to finish, and then finds the replacement gone. The new build is
// installed and started once.
TEST(UpdateE2e, TwoUpdatersForTheSameFilesInstallAndRestartOnce) {
    Install install;
    const fs::path waiter = install.root / L"waiter.exe";
    fs::copy_file(install.current, waiter);
    const std::wstring line = L"\"" + waiter.native() + L"\" update \"" + install.updater.native() + L"\" \"" +
                              install.replacement.native() + L"\" " + install.expand(L"{digest} \"{current}\"");
    ChildProcess first(waiter, line);
    ChildProcess second(install.updater, command_line(install, request(L"{current}", L"{new}", L"{digest}",
                                                                       std::to_wstring(first.pid()))));
    EXPECT_EQ(first.wait_for_all(), 0u);
    EXPECT_EQ(second.wait_for_all(), 0u);
    EXPECT_EQ(install.files(), "2 - -");
    const std::string restart = "version=2|cwd=" + utf8(install.app) + "|cmdline=\"" + utf8(install.current) + "\"\n";
    EXPECT_EQ(install.starts(), restart);
    EXPECT_EQ(read_file(install.log), utf8(MISSING));
}

struct Check {  // the download, the code of check_update, the set-up, and --current as the patcher gives it
    const char* what;
    std::wstring replacement;
    DWORD code;
    std::function<void(Install&)> arrange = {};
    std::wstring current = L"{current}";
};

// Version 1 starts the updater through the patcher-side helper with its own pid and stays a second: the
// updater waits for it to exit before the swap, and version 2 comes back. A check that fails before the
// patcher exits is its exit code, and then nothing is started, changed or logged.
TEST(UpdateE2e, PatcherChecksTheUpdateAndStartsTheUpdater) {
    const Check rows[] = {
        {"success", L"{new}", 0},
        // An empty <new>: the stand-in downloads to the target that replacement_path_for names.
        {"the download where replacement_path_for puts it", L"", 0,
         [](Install& i) { fs::rename(i.replacement, i.current.native() + L".download"); }},
        {"new missing", L"{app}\\missing.new", ERROR_FILE_NOT_FOUND},
        {"new is a folder", L"{app}", 336},
        {"new is a device", L"\\\\.\\NUL", ERROR_NOT_SUPPORTED},
        {"new on another volume", L"{other}", ERROR_NOT_SAME_DEVICE,
         [](Install& i) { fs::copy_file(i.replacement, i.other_volume); }},
        {"new at the backup name", L"{app}\\PATCHER.EXE.OLD", ERROR_INVALID_PARAMETER,
         [](Install& i) { fs::rename(i.replacement, i.backup); }},
        {"a second name of new at the backup name, which may go", L"{new}", 0,
         [](Install& i) { fs::create_hard_link(i.replacement, i.backup); }},
        {"a second name of the running patcher at the backup name", L"{new}", 0,
         [](Install& i) { fs::create_hard_link(i.current, i.backup); }},
        // The backup of "patcher.exe." is "patcher.exe.exe.old", so "patcher.exe.old" may hold the download.
        {"a trailing dot on current", L"{app}\\patcher.exe.old", 0,
         [](Install& i) { fs::rename(i.replacement, i.backup); }, L"{current}."},
        {"an ARM64 build", L"{new}", ERROR_BAD_EXE_FORMAT,
         [](Install& i) {  // the machine field, after "PE\0\0"
             std::string bytes = read_file(i.replacement).value();
             write_file(i.replacement,
                        bytes.replace(std::uint8_t(bytes[0x3C]) + 256 * std::uint8_t(bytes[0x3D]) + 4, 2, "\x64\xAA"));
         }},
        {"a truncated download", L"{new}", ERROR_BAD_EXE_FORMAT,
         [](Install& i) { fs::resize_file(i.replacement, 0x40); }},
        {"a DLL", L"{new}", ERROR_BAD_EXE_FORMAT,
         [](Install& i) {  // the characteristics, 22 bytes after "PE\0\0"
             std::string bytes = read_file(i.replacement).value();
             write_file(i.replacement,
                        bytes.replace(std::uint8_t(bytes[0x3C]) + 256 * std::uint8_t(bytes[0x3D]) + 23, 1, "\x20"));
         }},
        {"a download still open for writing", L"{new}", ERROR_SHARING_VIOLATION,
         [](Install& i) {
             i.writer = ::CreateFileW(i.replacement.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
         }},
    };
    for (const auto& [what, replacement, code, arrange, current] : rows) {
        SCOPED_TRACE(what);
        Install install;
        if (arrange) arrange(install);
        const std::string files = install.files();
        const std::wstring line = L"\"" + install.current.native() + L"\" update \"" + install.updater.native() +
                                  L"\" \"" + install.expand(replacement) + L"\" " +
                                  install.expand(L"{digest} \"" + current + L"\"");
        EXPECT_EQ(run_process(install.current, line), code);
        EXPECT_EQ(install.files(), code == 0 ? "2 - -" : files);
        EXPECT_EQ(patcher_updater::read_update_log(install.updater.native()).text, OLDER_LOG);
        const std::string restart =
            "version=2|cwd=" + utf8(install.app) + "|cmdline=\"" + utf8(install.expand(current)) + "\"\n";
        EXPECT_EQ(install.starts(), "version=1|cwd=" + utf8(fs::current_path()) + "|cmdline=" + utf8(line) + "\n" +
                                        "version=1|exit\n" + (code == 0 ? restart : ""));
        // The files, the starts and nothing else (no probe of the folder).
        const auto present = std::ranges::count_if(std::array{install.current, install.replacement, install.backup},
                                                   [](const fs::path& path) { return fs::exists(path); });
        EXPECT_EQ(std::distance(fs::directory_iterator(install.app), fs::directory_iterator()), present + 1);
    }
}

}  // namespace
