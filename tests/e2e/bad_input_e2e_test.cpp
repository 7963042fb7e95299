// Hostile input for the real executable: each row checks the exit code (always 0), log, files and restart.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e/update_fixture.h"
#include "patcher_updater/start_updater.hpp"
#include "platform/windows_api.h"
#include "support/build_paths.h"
#include "support/process.h"
#include "support/system_text.h"

namespace {

namespace fs = std::filesystem;

// CreateProcessW's longest command line without its NUL; Wine cuts a longer one where Windows refuses it.
constexpr std::size_t MAX_COMMAND_LINE_UNITS = 32767 - 1;
constexpr std::wstring_view EMPTY_SHA256 = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr wchar_t LONE_HIGH = 0xD800, LONE_LOW = 0xDC00;
const std::string REPLACED = "\xEF\xBF\xBD";
const std::string MISSING = "current or replacement patcher executable is missing";
const std::string MISMATCH = "replacement patcher SHA-256 mismatch";

bool running_under_wine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// The `\\?\` form of an absolute drive path, which no MAX_PATH limit applies to.
fs::path verbatim(const fs::path& path) { return fs::path(L"\\\\?\\" + path.native()); }

bool entry_exists(const fs::path& p) { return ::GetFileAttributesW(verbatim(p).c_str()) != INVALID_FILE_ATTRIBUTES; }

// Removes `folder` and all in it through verbatim paths, as std::filesystem cannot.
void remove_tree(const fs::path& folder) {
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileW(verbatim(folder / L"*").c_str(), &entry);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &entry)) {
        const std::wstring_view name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) remove_tree(folder / name);
        else ::DeleteFileW(verbatim(folder / name).c_str());
    }
    if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
    ::RemoveDirectoryW(verbatim(folder).c_str());
}

class BadInputE2e : public UpdateFixture {
protected:
    void TearDown() override { remove_tree(root / L"deep"); }  // deeper than the test folder's clean-up reaches

    // Six folders with 58-unit names under the test folder: more than 260 units deep in all.
    fs::path deep_folder() const {
        fs::path path = root / L"deep";
        ::CreateDirectoryW(verbatim(path).c_str(), nullptr);
        for (int level = 1; level <= 6; ++level) {
            path /= L"level-" + std::to_wstring(level) + L"-" + std::wstring(50, L'd');
            ::CreateDirectoryW(verbatim(path).c_str(), nullptr);
        }
        return path;
    }

    // Each argument after a space, quoted the patcher's way.
    static std::wstring arguments_text(const std::vector<std::wstring>& arguments) {
        std::wstring text;
        for (const auto& argument : arguments) text += L" " + patcher_updater::quote_argument(argument);
        return text;
    }
    std::wstring command_line(const std::vector<std::wstring>& arguments) const {
        return quoted(updater) + arguments_text(arguments);
    }
    static std::vector<std::wstring> request(const std::wstring& current_text, const std::wstring& new_text,
                                             const std::wstring& sha256) {
        return {L"--pid", L"0", L"--current", current_text, L"--new", new_text, L"--sha256", sha256};
    }
    std::optional<std::uint32_t> run_line(const std::wstring& line) {
        fs::remove(log_path);
        return run_process(updater, line, {}, 120000);
    }
    // Versions 1 and 2 back in place, and no start recorded.
    void reinstall() const {
        fs::copy_file(build_file(PU_STAND_IN_V1_EXE), current, fs::copy_options::overwrite_existing);
        fs::copy_file(build_file(PU_STAND_IN_V2_EXE), replacement, fs::copy_options::overwrite_existing);
        fs::remove(app / L"patcher-starts.txt");
    }

    // A refused run: exit code 0, exactly `expected_log`, nothing changed.
    void expect_refused(const std::wstring& line, std::string_view expected_log) {
        ASSERT_EQ(run_line(line), 0u);
        EXPECT_EQ(log(), expected_log);
        expect_unchanged();
    }
    // No log, version 2 installed and started from the patcher's folder by `current_text`, the download gone.
    void expect_updated(const std::wstring& current_text, bool backup_left = false) const {
        EXPECT_FALSE(log());
        EXPECT_EQ(read_file(current), version2);
        EXPECT_FALSE(fs::exists(replacement));
        EXPECT_EQ(fs::exists(backup), backup_left);
        ASSERT_TRUE(restarted_in(app));
        EXPECT_EQ(starts_in(app), "version=2|cwd=" + utf8(app) + "|cmdline=\"" + utf8(current_text) + "\"\n");
    }
};

// A huge argument, process id or path is refused whole; a request after a huge unknown option still updates.
TEST_F(BadInputE2e, LongestCommandLineIsReadWhole) {
    const auto filled = [&](const std::wstring& head, const std::wstring& tail, wchar_t fill) {
        const std::size_t count = MAX_COMMAND_LINE_UNITS - head.size() - tail.size();
        return std::pair{head + std::wstring(count, fill) + tail, std::string(count, static_cast<char>(fill))};
    };
    const std::wstring head = quoted(updater) + L" ";
    const auto [huge_argument_line, huge_argument] = filled(head, L"", L'x');
    expect_refused(huge_argument_line, "unexpected argument: " + huge_argument);
    expect_refused(filled(head + L"--pid ", L"", L'9').first,
                   "--pid must be an integer: number too large to fit in target type");
    const std::wstring after_current = arguments_text({L"--new", replacement.native(), L"--sha256", digest});
    expect_refused(filled(head + L"--pid 0 --current ", after_current, L'c').first, MISSING);
    // The padding comes first, so a line cut short would lose the digest.
    const std::wstring request_text = arguments_text(request(current.native(), replacement.native(), digest));
    ASSERT_EQ(run_line(filled(head + L"--padding ", request_text, L'p').first), 0u);
    expect_updated(current.native());
}

// Plain and verbatim paths past 260 units; Wine 8 dies in CreateProcessW for a program that deep, so no restart there.
TEST_F(BadInputE2e, PathsDeeperThanMaxPathAreSwapped) {
    const fs::path deep = deep_folder(), deep_new = deep / L"patcher.new";
    fs::remove(replacement);
    for (const bool deep_patcher : {false, true}) {
        for (const bool as_verbatim : {false, true}) {
            SCOPED_TRACE(testing::Message() << "deep patcher " << deep_patcher << ", verbatim " << as_verbatim);
            const auto text = [&](const fs::path& p) { return as_verbatim ? verbatim(p).native() : p.native(); };
            const fs::path patcher = deep_patcher ? deep / L"patcher.exe" : current;
            ASSERT_TRUE(::CopyFileW(build_file(PU_STAND_IN_V1_EXE).c_str(), verbatim(patcher).c_str(), FALSE));
            ASSERT_TRUE(::CopyFileW(build_file(PU_STAND_IN_V2_EXE).c_str(), verbatim(deep_new).c_str(), FALSE));
            fs::remove(app / L"patcher-starts.txt");
            const auto code = run_line(
                command_line(request(deep_patcher ? text(patcher) : current.native(), text(deep_new), digest)));
            EXPECT_EQ(read_file(verbatim(patcher)), version2);
            EXPECT_FALSE(entry_exists(deep_new));
            EXPECT_FALSE(entry_exists(patcher.native() + L".old"));
            if (deep_patcher && running_under_wine()) continue;
            EXPECT_EQ(code, 0u);
            if (!deep_patcher) {
                expect_updated(current.native());
                continue;
            }
            const std::string written = log().value_or("");
            EXPECT_TRUE(restarted_in(verbatim(deep)) || written.starts_with("cannot restart the updated patcher: "))
                << written;
        }
    }
}

// No regular files, as --current or as --new (with the digest of the empty data that a device might read).
TEST_F(BadInputE2e, ShareAndDevicePathsAreNotExecutables) {
    const std::wstring pipe_name = L"\\\\.\\pipe\\patcher-updater-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE pipes[4];  // instances waiting for clients that they never write to
    for (HANDLE& pipe : pipes)
        ASSERT_NE(pipe = ::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr),
                  INVALID_HANDLE_VALUE);
    const std::wstring names[] = {L"\\\\server\\share\\patcher.exe", L"\\\\?\\UNC\\server\\share\\patcher.exe", L"NUL",
                                  L"CON", L"\\\\.\\NUL", pipe_name, current.native() + L"\\"};
    for (const auto& name : names) {
        SCOPED_TRACE(utf8(name));
        expect_refused(command_line(request(name, replacement.native(), digest)), MISSING);
        expect_refused(command_line(request(current.native(), name, std::wstring(EMPTY_SHA256))), MISSING);
    }
    for (const HANDLE pipe : pipes) ::CloseHandle(pipe);
}

// The system drops them from the last name; the backup name is formed from the text, the restart uses it.
TEST_F(BadInputE2e, TrailingDotsAndSpacesNameTheSameFile) {
    const std::pair<std::wstring, std::wstring> rows[] = {{L".", L""}, {L" ", L""}, {L"", L"."}, {L"", L". ."}};
    for (const auto& [current_suffix, new_suffix] : rows) {
        SCOPED_TRACE("current+'" + utf8(current_suffix) + "' new+'" + utf8(new_suffix) + "'");
        reinstall();
        const std::wstring current_text = current.native() + current_suffix;
        ASSERT_EQ(run_line(command_line(request(current_text, replacement.native() + new_suffix, digest))), 0u);
        expect_updated(current_text);
        EXPECT_EQ(std::distance(fs::directory_iterator(app), fs::directory_iterator()), 2)
            << "only patcher.exe and the stand-in's record are left";
    }
}

// Surrogates that the parser takes, values that look like options, non-digests, folders (one holding a program).
TEST_F(BadInputE2e, MalformedRequestsChangeNothing) {
    const std::wstring cur = current.native(), rep = replacement.native();
    const fs::path folder_exe = app / L"other.exe";
    fs::create_directory(folder_exe);
    fs::copy_file(replacement, folder_exe / L"patcher.exe");
    const std::wstring note = std::wstring(L"a") + LONE_LOW + LONE_LOW + L"z";
    std::wstring fullwidth = digest;
    for (auto& unit : fullwidth) unit = static_cast<wchar_t>(unit + 0xFEE0);  // U+FF10 and on
    const std::pair<std::vector<std::wstring>, std::string> rows[] = {
        {request(cur + LONE_HIGH, rep, digest), "argument is not valid unicode: " + utf8(current) + REPLACED},
        {{L"--note", note, L"--pid", L"0", L"--current", cur, L"--new", rep, L"--sha256", digest},
         "argument is not valid unicode: a" + REPLACED + REPLACED + "z"},
        {{std::wstring(L"--pi") + LONE_HIGH + L"d", L"0"}, "argument is not valid unicode: --pi" + REPLACED + "d"},
        {request(L"--new", rep, digest), MISSING},
        {{L"--pid", L"0", L"--current", L"--new", rep, L"--sha256", digest}, "unexpected argument: " + utf8(rep)},
        {request(cur, rep, std::wstring(64, L'g')), MISMATCH},
        {request(cur, rep, fullwidth), MISMATCH},
        {request(folder_exe, rep, digest), MISSING},
        {request(cur, folder_exe, digest), MISSING},
        {request(app, rep, digest), MISSING},
    };
    for (const auto& [arguments, expected] : rows) {
        SCOPED_TRACE(utf8(arguments_text(arguments)));
        expect_refused(command_line(arguments), expected);
    }
    EXPECT_EQ(read_file(folder_exe / L"patcher.exe"), version2);
}

// The program name is never taken: one that is not text (nor the updater's name) does not stop the update.
TEST_F(BadInputE2e, UnpairedSurrogateInTheProgramNameIsIgnored) {
    const std::wstring program = (updater_folder / L"updater").native() + LONE_HIGH + L".exe";
    const std::wstring arguments = arguments_text(request(current.native(), replacement.native(), digest));
    ASSERT_EQ(run_line(L"\"" + program + L"\"" + arguments), 0u);
    expect_updated(current.native());
}

// An empty download matches only the empty message's digest; then it is installed, cannot start, and stays.
TEST_F(BadInputE2e, EmptyReplacementIsInstalledOnlyWithItsDigest) {
    write_file(replacement, "");
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), digest))), 0u);
    EXPECT_EQ(log(), MISMATCH);
    EXPECT_EQ(read_file(current), version1);
    EXPECT_EQ(read_file(replacement), "");
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), std::wstring(EMPTY_SHA256)))), 0u);
    EXPECT_EQ(log(), "cannot restart the updated patcher: " + os_error_display(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(read_file(current), "");
    EXPECT_FALSE(fs::exists(replacement));
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(starts_in(app), "");
}

// The backup is deleted with POSIX semantics; Wine lacks them, so there it stays and stops the next update.
TEST_F(BadInputE2e, ReadOnlyPatcherIsReplaced) {
    ASSERT_TRUE(::SetFileAttributesW(current.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), digest))), 0u);
    expect_updated(current.native(), running_under_wine());
    EXPECT_EQ(::GetFileAttributesW(current.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    if (!running_under_wine()) return;
    EXPECT_NE(::GetFileAttributesW(backup.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    reinstall();
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), digest))), 0u);
    EXPECT_EQ(log(), "cannot remove stale patcher backup: " + os_error_display(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(current), version1);
    EXPECT_EQ(read_file(replacement), version2);
    EXPECT_EQ(read_file(backup), version1);
    EXPECT_EQ(starts_in(app), "");
}

}  // namespace
