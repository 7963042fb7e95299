// Whole updates in this process through the system-call seam, CreateProcessW faked: the scenarios with
// their exact texts and files, every call failed or cut short, and the patcher's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "failure_log.h"
#include "patcher/sha256.h"
#include "platform/system_message.h"
#include "run_update.h"
#include "support/harness.h"
#include "support/seam.h"
#include "update_procedure.h"

// The patcher-side header's opens, listings and starts go through the seam here, so that their flags
// are seen and Windows' answers can be given.
#define CreateFileW(...) sys().CreateFileW(__VA_ARGS__)
#define FindFirstFileExW(...) sys().FindFirstFileExW(__VA_ARGS__)
#define CreateProcessW(...) sys().CreateProcessW(__VA_ARGS__)
#define GetFullPathNameW(...) sys().GetFullPathNameW(__VA_ARGS__)
#include "patcher_updater/start_updater.hpp"
#undef CreateFileW
#undef FindFirstFileExW
#undef CreateProcessW
#undef GetFullPathNameW

namespace {

using enum Call;
namespace fs = std::filesystem;

// What the update meets. NoLinks: a file system that makes no hard links (FAT32 answers 1). ReusedPid: the
// pid is of a process created after the updater. NoFileIndex: every file has the index 0, and a stale
// backup is there. ReplacementAtBackup: the download is at the backup path, and no file has an index.
enum class Start { Plain, StaleBackup, NoLinks, ReusedPid, NoFileIndex, ReplacementAtBackup };
const std::string V1 = "version 1";
const std::string V2 = "version 2" + std::string(1 << 20, '2');  // two reads and the last
const std::string OLDER_LOG = "an older failure";
const std::string MISSING = "current or replacement patcher executable is missing";
const std::string NOT_OWN_NAME = "current or replacement patcher path is not the file's own name";
const std::string TIMED_OUT = "timed out waiting for the old patcher process to exit";
const std::string INSTALL = "cannot install the new patcher executable: ";

bool under_wine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

fs::path this_program() {
    wchar_t path[32768];
    return std::wstring(path, ::GetModuleFileNameW(nullptr, path, 32768));
}

// True when every open asked for identification only, with no other quality-of-service flag.
bool identify_only(const std::vector<std::uint32_t>& opens) {
    return std::ranges::all_of(opens, [](auto f) {
        return (f & SECURITY_VALID_SQOS_FLAGS) == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION);
    });
}

// The restarts and the wait (access, then time) of one update, and what it meets.
std::vector<std::wstring>* g_restarts;
std::vector<DWORD> g_wait;
Start g_start;

// The name that a short alias or a stream suffix stands for, as Windows resolves them (Wine does neither).
std::wstring own_name(std::wstring path) {
    if (const auto alias = path.find(L"PATCHE~1.EXE"); alias != std::wstring::npos)
        path.replace(alias, 12, L"patcher.exe");
    if (path.ends_with(L"::$DATA")) path.resize(path.size() - 7);
    return path;
}

void observe(Start start) {
    g_start = start;
    g_restarts = &fake_process_starts();
    g_wait.clear();
    sys().OpenProcess = [](DWORD access, BOOL inherit, DWORD pid) {
        g_wait.push_back(access);
        return ::OpenProcess(access, inherit, pid);
    };
    sys().WaitForSingleObject = [](HANDLE handle, DWORD ms) {
        g_wait.push_back(ms);
        return ::WaitForSingleObject(handle, 0);
    };
    sys().CreateHardLinkW = [](LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security) -> BOOL {
        if (g_start != Start::NoLinks) return ::CreateHardLinkW(link, existing, security);
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    };
    sys().CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                           DWORD flags, HANDLE model) {
        return ::CreateFileW(own_name(path).c_str(), access, share, security, disposition, flags, model);
    };
    sys().FindFirstFileExW = [](LPCWSTR path, FINDEX_INFO_LEVELS level, LPVOID entry, FINDEX_SEARCH_OPS search,
                                LPVOID filter, DWORD flags) {
        // A listing takes no stream name.
        if (std::wstring_view(path).ends_with(L"::$DATA")) {
            ::SetLastError(ERROR_INVALID_NAME);
            return INVALID_HANDLE_VALUE;
        }
        return ::FindFirstFileExW(own_name(path).c_str(), level, entry, search, filter, flags);
    };
    // This process was created at 10, the ended one before it.
    sys().GetProcessTimes = [](HANDLE process, LPFILETIME created, LPFILETIME, LPFILETIME, LPFILETIME) -> BOOL {
        const bool self = ::GetProcessId(process) == ::GetCurrentProcessId();
        *created = {self ? 10u : g_start == Start::ReusedPid ? 11u : 9u, 0};
        return TRUE;
    };
    sys().GetFileInformationByHandle = [](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
        if (!::GetFileInformationByHandle(file, info)) return FALSE;
        if (g_start == Start::NoFileIndex || g_start == Start::ReplacementAtBackup) {
            info->nFileIndexHigh = 0;
            info->nFileIndexLow = 0;
        }
        return TRUE;
    };
}

std::wstring digest(std::string_view bytes) {
    Sha256 hasher;
    hasher.update(bytes.data(), bytes.size());
    const std::string hex = to_hex(hasher.finish());
    return {hex.begin(), hex.end()};
}

// Version 1 at patcher.exe, version 2 at patcher.new (or at the backup path), in a folder whose name has a
// space and a non-ASCII letter; the updater (only its name) in a folder of its own beside an older log.
struct Layout {
    explicit Layout(Start start) : replacement(start == Start::ReplacementAtBackup ? backup : app / L"patcher.new") {
        fs::create_directories(app);
        fs::create_directories(updater.parent_path());
        write_file(current, V1);
        write_file(replacement, V2);
        write_file(log, OLDER_LOG);
        if (start == Start::StaleBackup || start == Start::NoFileIndex) write_file(backup, "stale");
    }
    ~Layout() {
        if (writer != nullptr) ::CloseHandle(writer);
        std::error_code ignored;
        fs::remove(other_volume, ignored);
    }
    std::string contents() const { return describe({current, replacement, backup}, V1, V2); }
    // Installed, or else the new build whole at the new path and the old one at the current path (where
    // links serve) or at the current or backup path (where they do not: the window of two renames).
    bool nothing_lost(Start start) const {
        const auto now = read_file(current);
        if (now == V2) return true;
        return read_file(replacement) == V2 && (now == V1 || (start == Start::NoLinks && read_file(backup) == V1));
    }
    // A scenario's text with each {name} filled in.
    std::wstring expand(const std::wstring& text, std::uint32_t ended) const {
        return ::expand(text, {{L"current", current},
                               {L"new", replacement},
                               {L"backup", backup},
                               {L"app", app},
                               {L"root", folder.path()},
                               {L"other", other_volume},
                               {L"digest", digest(V2)},
                               {L"digest1", digest(V1)},
                               {L"pid", std::to_wstring(::GetCurrentProcessId())},
                               {L"ended", std::to_wstring(ended)}});
    }
    std::ptrdiff_t entries() const { return std::distance(fs::directory_iterator(app), fs::directory_iterator()); }

    TempFolder folder{L"update"};
    fs::path app = folder / L"App \u00e9";
    fs::path current = app / L"patcher.exe";
    fs::path backup = app / L"patcher.exe.old";
    fs::path replacement;
    fs::path updater = folder / L"updater\\patcher-updater.exe";
    fs::path log = folder / L"updater\\patcher-updater.log";
    fs::path other_volume = L"S:\\" + folder.path().filename().native() + L".new";
    HANDLE writer = nullptr;  // a download still being written
};

// An update of `layout`; `pid` is of a process that has ended but stays known while the test holds it.
std::string update(const Layout& layout, std::uint32_t pid) {
    const auto updated = apply_update({pid, utf8(layout.current), utf8(layout.replacement), utf8(digest(V2))});
    return updated ? "success" : chain_text(updated.error(), system_message_text);
}

class UpdateTest : public ::testing::TestWithParam<Start> {
protected:
    void SetUp() override {
        ASSERT_EQ(ended.wait_for_all(), 0u);
        observe(Start::Plain);
    }
    // The numbered calls of a clean update from this start, and what it did.
    std::vector<Call> clean_calls() {
        const Layout layout(GetParam());
        observe(GetParam());
        Recorder recorder;
        const std::string outcome = update(layout, ended.pid());
        EXPECT_TRUE(recorder.open.empty());
        EXPECT_TRUE(identify_only(recorder.open_flags));
        EXPECT_EQ(outcome + " " + layout.contents(), "success 2 - -");
        EXPECT_EQ(std::ranges::count(recorder.calls, NtReadFile), 3);  // 1 MiB at a time, then the end
        // Two minutes for another updater of the same files, then the old process: SYNCHRONIZE |
        // PROCESS_QUERY_LIMITED_INFORMATION, and a minute.
        EXPECT_EQ(g_wait, (std::vector<DWORD>{120000, 0x00101000, 60000}));
        return recorder.calls;
    }
    ChildProcess ended{this_program(), L"t --gtest_filter=-*"};
    ScopedSystemCalls scope;
};

using Failures = std::vector<std::tuple<Call, std::size_t, std::uint32_t>>;  // call, n-th, code

std::vector<std::wstring> request(std::wstring current = L"{current}", std::wstring replacement = L"{new}",
                                  std::wstring sha256 = L"{digest}", std::wstring pid = L"{ended}") {
    return {L"--pid", pid, L"--current", current, L"--new", replacement, L"--sha256", sha256};
}

// One update through the updater's body: its command line, what fails on the way, and what it leaves.
struct Scenario {
    const char* what;
    std::string log;    // "": the older log stays and the patcher is restarted; {N}: the system's text for N
    std::string files;  // current, new and backup afterwards
    std::vector<std::wstring> arguments = request();
    Failures failing = {};
    Start start = Start::Plain;
    std::function<void(const Layout&)> arrange = {};
    std::wstring working_directory = L"{app}";
    std::wstring restart = L"{current}|\"{current}\"|{app}";  // application, command line, folder
};

const std::vector<std::wstring> RUNNING = request(L"{current}", L"{new}", L"{digest}", L"{pid}");
const std::wstring DEEP = L"{root}\\" + std::wstring(130, L'd') + L"\\" + std::wstring(130, L'e');

const Scenario SCENARIOS[] = {
    {"a failed open", "cannot open {new}: {32}", "1 2 -", request(), {{CreateFileW, 3, 32}}},
    {"a failed read", "{23}", "1 2 -", request(), {{NtReadFile, 2, 0xC000009C}}},
    {"the patcher still runs", TIMED_OUT, "1 2 -", RUNNING},
    // The digest is compared before the wait, which would time out here.
    {"a wrong digest", "replacement patcher SHA-256 mismatch", "1 2 -",
     request(L"{current}", L"{new}", L"{digest1}", L"{pid}")},
    {"a failed wait", TIMED_OUT, "1 2 -", request(), {{WaitForSingleObject, 2, 6}}},
    // A process created after the updater holds a reused pid and is not waited for, unless a time is unknown.
    {"a reused pid", "", "2 - -", request(), {{WaitForSingleObject, 2, 6}}, Start::ReusedPid},
    {"its time unknown",
     TIMED_OUT,
     "1 2 -",
     request(),
     {{GetProcessTimes, 2, 6}, {WaitForSingleObject, 2, 6}},
     Start::ReusedPid},
    {"no access to the old process, so no wait", "", "2 - -", request(), {{OpenProcess, 1, 5}}},
    // A reader that denies the install: the old build never left, and its second name is gone.
    {"a reader denies the install", INSTALL + "{32}", "1 2 -", request(), {{MoveFileExW, 1, 32}}},
    // An install refused with 5 (the old image still mapped elsewhere) takes the two renames.
    {"an install refused with 5", "", "2 - -", request(), {{MoveFileExW, 1, 5}}},
    {"a backup that cannot go",
     "",
     "2 - 1",
     request(),
     {{SetFileInformationByHandle, 1, 32}, {SetFileInformationByHandle, 2, 32}}},
    // Without links: the two renames, with the window between them.
    {"no links, a refused move",
     "cannot move the old patcher to backup: {32}",
     "1 2 -",
     request(),
     {{MoveFileExW, 1, 32}},
     Start::NoLinks},
    {"no links, a refused install",
     INSTALL + "{32}",
     "- 2 1",
     request(),
     {{MoveFileExW, 2, 32}, {MoveFileExW, 3, 32}},
     Start::NoLinks},
    // Another name of the file than its own is refused before anything changes.
    {"a short alias", NOT_OWN_NAME, "1 2 -", request(L"{app}\\PATCHE~1.EXE")},
    {"a stream of current", NOT_OWN_NAME, "1 2 -", request(L"{current}::$DATA")},
    {"a stream of new", NOT_OWN_NAME, "1 2 -", request(L"{current}", L"{new}::$DATA")},
    {"the stale backup's query fails: replaced anyway",
     "",
     "2 - -",
     request(),
     {{CreateFileW, 6, 123}},
     Start::StaleBackup},
    {"index 0 everywhere: no file is the replacement", "", "2 - -", request(), {}, Start::NoFileIndex},
    {"a second name of new at the backup path goes as a stale backup",
     "",
     "2 - -",
     request(),
     {},
     Start::Plain,
     [](const Layout& l) { fs::create_hard_link(l.replacement, l.backup); }},
    // Refused by its name alone (spelled otherwise, no file index), before the running patcher is waited for.
    {"the replacement at the backup path",
     "replacement patcher is at the backup path",
     "1 2 2",
     request(L"{current}", L"{app}\\.\\patcher.exe.old", L"{digest}", L"{pid}"),
     {},
     Start::ReplacementAtBackup},
    {"new missing", MISSING, "1 2 -", request(L"{current}", L"{app}\\missing.new")},
    {"current is a folder", MISSING, "1 2 -", request(L"{app}")},
    {"a device as new", MISSING, "1 2 -", request(L"{current}", L"\\\\.\\NUL")},
    {"a folder at the backup path",
     "cannot remove stale patcher backup: {5}",
     "1 2 dir",
     request(),
     {},
     Start::Plain,
     [](const Layout& l) { fs::create_directory(l.backup); }},
    {"the replacement on another volume",
     INSTALL + "{17}",
     "1 2 -",
     request(L"{current}", L"{other}"),
     {},
     Start::Plain,
     [](const Layout& l) { fs::copy_file(l.replacement, l.other_volume); }},
    {"current and new name one file", INSTALL + "{2}", "1 2 -",
     request(L"{current}", L"{app}\\.\\patcher.exe", L"{digest1}")},
    {"a replacement that cannot start stays",
     "cannot restart the updated patcher: {193}",
     "2 - -",
     request(),
     {{CreateProcessW, 1, 193}}},
    {"a hard link at the log name: the other name's file keeps its content",
     "",
     "1 2 -",
     {},
     {},
     Start::Plain,
     [](const Layout& l) {
         fs::rename(l.log, l.folder / L"other");
         fs::create_hard_link(l.folder / L"other", l.log);
     }},
    {"trailing dots and spaces on new", "", "2 - -", request(L"{current}", L"{new}. .")},
    {"new deeper than 260 units", "", "2 - -", request(L"{current}", DEEP + L"\\p.new")},
    {"new deeper than 260 units, verbatim", "", "2 - -", request(L"{current}", L"\\\\?\\" + DEEP + L"\\p.new")},
    // Wine cannot delete the read-only backup (it lacks the POSIX disposition), so there it stays.
    {"a read-only patcher",
     "",
     under_wine() ? "2 - 1" : "2 - -",
     request(),
     {},
     Start::Plain,
     [](const Layout& l) { ::SetFileAttributesW(l.current.c_str(), FILE_ATTRIBUTE_READONLY); }},
    {"a relative current",
     "",
     "2 - -",
     request(L"App \u00e9\\patcher.exe"),
     {},
     Start::Plain,
     {},
     L"{root}",
     L"{current}|\"App \u00e9\\patcher.exe\"|App \u00e9"},
    // The restart searches the updater's and the system's folders, never the working directory.
    {"bare file names", "cannot restart the updated patcher: program not found", "2 - -",
     request(L"patcher.exe", L"patcher.new")},
};

// The updater's body as the executable at the layout's updater path runs it for `arguments`: the request
// read from the command line, a failure logged beside that executable.
void run_in_process(const Layout& layout, const std::vector<std::wstring>& arguments, std::uint32_t ended) {
    static std::wstring line;
    static std::wstring module;
    std::vector<std::wstring> expanded;
    for (const auto& argument : arguments) expanded.push_back(layout.expand(argument, ended));
    const std::vector<std::wstring_view> views(expanded.begin(), expanded.end());
    line = patcher_updater::build_command_line(layout.updater.native(), views);
    module = layout.updater.native();
    sys().GetCommandLineW = [] { return line.data(); };
    sys().GetStdHandle = [](DWORD) -> HANDLE { return nullptr; };  // a windowless program has none
    sys().GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        if (module.size() >= size) return size;
        std::ranges::copy(module.c_str(), module.c_str() + module.size() + 1, buffer);
        return static_cast<DWORD>(module.size());
    };
    if (auto result = run_update(); !result) write_failure_log(std::move(result.error()));
}

using UpdateSteps = UpdateTest;  // the fixture without a start of its own
TEST_F(UpdateSteps, EachScenarioLeavesItsFilesRestartAndLog) {
    const fs::path here = fs::current_path();
    for (const Scenario& scenario : SCENARIOS) {
        SCOPED_TRACE(scenario.what);
        const Layout layout(scenario.start);
        observe(scenario.start);
        if (scenario.arrange) scenario.arrange(layout);
        if (scenario.arguments.size() > 5 && scenario.arguments[5].ends_with(L"p.new")) {  // moved deep
            fs::create_directories(layout.expand(DEEP, 0));
            fs::rename(layout.replacement, layout.expand(DEEP + L"\\p.new", 0));
        }
        fs::current_path(layout.expand(scenario.working_directory, 0));
        {
            Recorder recorder;
            for (const auto& [call, n, code] : scenario.failing) recorder.fail(call, code, n);
            run_in_process(layout, scenario.arguments, ended.pid());
            EXPECT_TRUE(recorder.open.empty());
        }
        fs::current_path(here);
        const std::wstring log(scenario.log.begin(), scenario.log.end());
        EXPECT_EQ(read_file(layout.log), scenario.log.empty() ? OLDER_LOG : utf8(layout.expand(log, ended.pid())));
        EXPECT_EQ(layout.contents(), scenario.files);
        const bool restarted = scenario.log.empty() && !scenario.arguments.empty();
        const std::wstring restart = layout.expand(scenario.restart, 0);
        EXPECT_EQ(*g_restarts, restarted ? std::vector{restart} : std::vector<std::wstring>{});
        // Nothing else is left in the patcher's folder.
        const std::set<fs::path> named{layout.current, layout.replacement, layout.backup};
        EXPECT_EQ(layout.entries(), std::ranges::count_if(named, [](const auto& path) { return exists(path); }));
    }
}

// Each call in turn is failed, and just before it the files are checked as a power cut would leave them
// (no handle that the update holds deletes anything when it closes); the message is a step's. Then a
// second update of the same files runs whole just before the call: after both, a whole build is at the
// current path, the new one exactly when one of them restarted it. Every handle is closed.
TEST_P(UpdateTest, EachCallFailedCutShortOrRacedLosesNothing) {
    const std::vector<Call> calls = clean_calls();
    const auto a_steps = [](const std::string& outcome) {
        return std::ranges::any_of(SCENARIOS, [&](const Scenario& row) {
            const std::string step = row.log.substr(0, row.log.find('{'));
            return step.empty() ? outcome == utf8(expand(std::wstring(row.log.begin(), row.log.end())))
                                : outcome.starts_with(step);
        });
    };
    for (std::size_t k = 1; k <= calls.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "call " << k << " of " << calls.size());
        {
            const Layout layout(GetParam());
            observe(GetParam());
            Recorder recorder;
            recorder.before(k, [&] { EXPECT_TRUE(layout.nothing_lost(GetParam())) << layout.contents(); });
            const Call call = calls[k - 1];
            // The digest's read buffer, the first heap block: without it the process ends at once.
            if (call != HeapAlloc || std::count(calls.begin(), calls.begin() + k, HeapAlloc) > 1)
                recorder.fail_at(k, call == NtReadFile                           ? 0xC000009C
                                    : call == MoveFileExW || call == DeleteFileW ? 5
                                                                                 : 31);
            const std::string outcome = update(layout, ended.pid());
            EXPECT_TRUE(recorder.open.empty());
            EXPECT_TRUE(layout.nothing_lost(GetParam())) << outcome;
            EXPECT_EQ(g_restarts->size(), outcome == "success" ? 1u : 0u) << outcome;
            EXPECT_TRUE(outcome == "success" || a_steps(outcome)) << outcome;
        }
        const Layout layout(GetParam());
        observe(GetParam());
        Recorder recorder;
        std::string second;
        recorder.before(k, [&] { second = update(layout, ended.pid()); });
        const std::string first = update(layout, ended.pid());
        const auto now = read_file(layout.current);
        EXPECT_TRUE(now == V1 || now == V2) << first << " / " << second << ": " << layout.contents();
        EXPECT_EQ(g_restarts->size(), (first == "success") + (second == "success")) << first << " / " << second;
        EXPECT_EQ(now == V2, g_restarts->size() == 1) << first << " / " << second;
        EXPECT_TRUE(recorder.open.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, UpdateTest, ::testing::Values(Start::Plain, Start::StaleBackup, Start::NoLinks));

// Another updater moves the old build to the backup name while this one waits for the old patcher: that
// build is not deleted as a stale backup while the current path is empty, and nothing moves.
TEST_F(UpdateSteps, ABuildMovedToTheBackupNameIsNotDeletedAsStale) {
    const Layout layout(Start::NoLinks);
    observe(Start::NoLinks);
    static const Layout* moving = nullptr;
    moving = &layout;
    sys().WaitForSingleObject = [](HANDLE handle, DWORD ms) {
        if (ms == OLD_PROCESS_WAIT_MS) fs::rename(moving->current, moving->backup);
        return ::WaitForSingleObject(handle, 0);
    };
    EXPECT_EQ(update(layout, ended.pid()), utf8(expand(L"cannot move the old patcher to backup: {2}")));
    EXPECT_EQ(layout.contents(), "- 2 1");
}

// A PE image's headers alone: "MZ", the offset of "PE\0\0" at 0x3C, the machine after it and, 18 bytes
// on, the characteristics (0x22: an executable).
std::string image(WORD machine, WORD characteristics = 0x22) {
    std::string bytes(0x58, '\0');
    bytes.replace(0, 2, "MZ");
    bytes[0x3C] = 0x40;
    bytes.replace(0x40, 2, "PE");
    bytes[0x44] = static_cast<char>(machine);
    bytes[0x45] = static_cast<char>(machine >> 8);
    bytes[0x56] = static_cast<char>(characteristics);
    bytes[0x57] = static_cast<char>(characteristics >> 8);
    return bytes;
}

// The two builds' headers.
std::function<void(Layout&)> builds(WORD current, WORD replacement, WORD characteristics = 0x22) {
    return [=](Layout& l) {
        write_file(l.current, image(current));
        write_file(l.replacement, image(replacement, characteristics));
    };
}

// Both builds are x86-64 executables unless `arrange` says otherwise; `failed_open` fails with the code.
struct Check {
    const char* what;
    DWORD code;
    std::function<void(Layout&)> arrange = {};
    std::wstring replacement = L"{new}";
    std::size_t failed_open = 0;
    Start start = Start::Plain;
    std::wstring current = L"{current}";
};

constexpr WORD X86 = IMAGE_FILE_MACHINE_I386;
constexpr WORD X64 = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD ARM64 = IMAGE_FILE_MACHINE_ARM64;
const auto TO_BACKUP = [](Layout& l) { fs::rename(l.replacement, l.backup); };

// The patcher's checks accept a build for its own machine (x86, x86-64, ARM64) and refuse, while it still
// runs, what the swap would fail at once it has exited, leaving nothing behind; then which stage refused a
// start, and the report.
TEST_F(UpdateSteps, PatcherChecksWhatTheSwapWillNeedAndNamesTheStageThatFailed) {
    const Check rows[] = {
        {"x86 to x86", 0, builds(X86, X86)},
        {"x86 to x86-64", ERROR_BAD_EXE_FORMAT, builds(X86, X64)},
        {"ARM64 to ARM64", 0, builds(ARM64, ARM64)},
        {"a DLL", ERROR_BAD_EXE_FORMAT, builds(X64, X64, 0x2022)},
        {"no executable", ERROR_BAD_EXE_FORMAT, builds(X64, X64, 0x20)},
        {"not a program at all", ERROR_BAD_EXE_FORMAT, [](Layout& l) { write_file(l.replacement, V2); }},
        {"a truncated download", ERROR_BAD_EXE_FORMAT, [](Layout& l) { fs::resize_file(l.replacement, 0x40); }},
        {"new missing", ERROR_FILE_NOT_FOUND, {}, L"{app}\\missing.new"},
        {"new is a folder", 336, {}, L"{app}"},
        {"new is a device", ERROR_NOT_SUPPORTED, {}, L"\\\\.\\NUL"},
        {"new on another volume", ERROR_NOT_SAME_DEVICE,
         [](Layout& l) { fs::copy_file(l.replacement, l.other_volume); }, L"{other}"},
        {"new at the backup name", ERROR_INVALID_PARAMETER, TO_BACKUP, L"{app}\\PATCHER.EXE.OLD"},
        {"a second name of new at the backup name", 0,
         [](Layout& l) { fs::create_hard_link(l.replacement, l.backup); }},
        // The backup of "patcher.exe." is "patcher.exe.exe.old", so "patcher.exe.old" may hold the download.
        {"a trailing dot on current", 0, TO_BACKUP, L"{backup}", 0, Start::Plain, L"{current}."},
        {"a short alias", ERROR_INVALID_PARAMETER, {}, L"{new}", 0, Start::Plain, L"{app}\\PATCHE~1.EXE"},
        {"a stream", ERROR_INVALID_PARAMETER, {}, L"{new}", 0, Start::Plain, L"{current}::$DATA"},
        {"a download still open for writing", ERROR_SHARING_VIOLATION,
         [](Layout& l) {
             l.writer = ::CreateFileW(l.replacement.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
         }},
        // The opens: current, new, the backup's entry, the probe, a stale backup's delete and write, then a
        // rename's of current and of new.
        {"a folder the patcher may not write", ERROR_ACCESS_DENIED, {}, L"{new}", 4},
        {"current may not be renamed", ERROR_ACCESS_DENIED, {}, L"{new}", 6},
        {"a handle denies renaming new", ERROR_SHARING_VIOLATION, {}, L"{new}", 7},
        {"a stale backup that may not be deleted", ERROR_ACCESS_DENIED, {}, L"{new}", 5, Start::StaleBackup},
        {"a stale backup that runs", ERROR_SHARING_VIOLATION, {}, L"{new}", 6, Start::StaleBackup},
        {"a stale backup that may go", 0, {}, L"{new}", 0, Start::StaleBackup},
    };
    for (const Check& row : rows) {
        SCOPED_TRACE(row.what);
        Layout layout(row.start);
        builds(X64, X64)(layout);
        if (row.arrange) row.arrange(layout);
        const auto entries = layout.entries();
        Recorder recorder;
        if (row.failed_open != 0) recorder.fail(CreateFileW, row.code, row.failed_open);
        const std::wstring current = layout.expand(row.current, 0);
        EXPECT_EQ(patcher_updater::check_update(current, layout.expand(row.replacement, 0)), row.code);
        EXPECT_TRUE(identify_only(recorder.open_flags));
        EXPECT_EQ(layout.entries(), entries);
    }

    const Layout layout(Start::Plain);
    const auto started = [&](const std::wstring& updater, const fs::path& replacement, auto before) {
        const auto result = patcher_updater::start_updater_staged(updater, 1, layout.current.native(),
                                                                  replacement.native(), L"0", before);
        return std::pair(result.error, result.stage);
    };
    using enum patcher_updater::stage;
    constexpr auto run = patcher_updater::checks::run;
    constexpr auto skip = patcher_updater::checks::skip;
    const std::wstring program = this_program().native();
    EXPECT_EQ(started(L"patcher-updater.exe", layout.replacement, skip), std::pair(DWORD{87}, updater));
    EXPECT_EQ(started(L"C:\\missing\\patcher-updater.exe", layout.replacement, skip), std::pair(DWORD{2}, updater));
    EXPECT_EQ(started(L"C:patcher-updater.exe", layout.replacement, skip), std::pair(DWORD{87}, updater));
    EXPECT_EQ(started(program + L"\"", layout.replacement, skip), std::pair(DWORD{87}, updater));
    write_file(layout.backup, image(X86));
    EXPECT_EQ(started(layout.backup.native(), layout.replacement, skip), std::pair(DWORD{193}, updater));
    EXPECT_EQ(started(program, layout.app / L"missing.new", run), std::pair(DWORD{2}, check));
    {
        Recorder refused;
        refused.fail(CreateProcessW, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(started(program, layout.replacement, skip), std::pair(DWORD{2}, start));
    }
    EXPECT_EQ(started(program, layout.replacement, skip), std::pair(DWORD{0}, start));
    EXPECT_EQ(started(program, layout.replacement, skip), std::pair(DWORD{ERROR_BUSY}, start));
    EXPECT_EQ(g_restarts->size(), 1u);

    // The report: read, cleared, then absent.
    const std::wstring beside = (layout.app / L"upd.exe").native();
    write_file(layout.app / L"patcher-updater.log", "missing --pid");
    const auto log = patcher_updater::read_update_log(beside);
    EXPECT_EQ(std::pair(log.error, log.text), std::pair(DWORD{0}, std::string("missing --pid")));
    EXPECT_NE(log.written.dwHighDateTime, 0u);
    EXPECT_EQ(patcher_updater::clear_update_log(beside), 0u);
    EXPECT_EQ(patcher_updater::read_update_log(beside).error, DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(patcher_updater::clear_update_log(beside), 0u);
}

// The header's long-path forms, also where the system makes no full path (the text as given).
TEST_F(UpdateSteps, PatcherLongPathForms) {
    const std::pair<std::wstring, std::wstring> forms[] = {
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"\\\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
        {L"\\\\.\\C:\\a", L"\\\\?\\C:\\a"},
        {L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"},
    };
    for (const auto& [path, form] : forms) {
        EXPECT_EQ(patcher_updater::detail::long_path(path), form);
        Recorder refused;
        refused.fail(GetFullPathNameW, ERROR_INVALID_NAME);
        EXPECT_EQ(patcher_updater::detail::long_path(path), form);
    }
}

}  // namespace
