// Malformed and hostile input for the real executable under Wine: odd command
// lines, long, device, share and trailing-dot paths, invalid text, wrong
// digests and awkward files. Every row checks the exit code (always 0), the
// log byte for byte, the three paths on disk, and whether the patcher was
// started again.
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

// The longest command line that CreateProcessW takes: 32,767 units with the
// terminating NUL. Wine passes a longer one cut to this length, where Windows
// refuses it, so only lines up to the limit say anything about the updater.
constexpr std::size_t MAX_COMMAND_LINE_UNITS = 32767 - 1;

// SHA-256 of the empty message.
constexpr std::wstring_view EMPTY_SHA256 = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr wchar_t LONE_HIGH = 0xD800;
constexpr wchar_t LONE_LOW = 0xDC00;
constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";
constexpr std::string_view MISSING = "current or replacement patcher executable is missing";
constexpr std::string_view MISMATCH = "replacement patcher SHA-256 mismatch";

bool running_under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The `\\?\` form of an absolute drive path, which no MAX_PATH limit applies to.
fs::path verbatim(const fs::path& path) { return fs::path(L"\\\\?\\" + path.native()); }

bool entry_exists(const fs::path& path) {
    return ::GetFileAttributesW(verbatim(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes `folder` and everything in it through verbatim paths.
void remove_tree(const fs::path& folder) {
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileW((verbatim(folder) / L"*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring_view name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const fs::path path = folder / name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                remove_tree(path);
            } else {
                ::SetFileAttributesW(verbatim(path).c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(verbatim(path).c_str());
            }
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(verbatim(folder).c_str());
}

// A chain of six folders with 58-unit names under `base`, more than 260
// units deep in all, removed again by the destructor (the test folder's own
// clean-up does not reach so deep).
class DeepFolder {
public:
    explicit DeepFolder(const fs::path& base) : top_(base / L"deep"), path_(top_) {
        ::CreateDirectoryW(verbatim(top_).c_str(), nullptr);
        for (int level = 1; level <= 6; ++level) {
            path_ /= L"level-" + std::to_wstring(level) + L"-" + std::wstring(50, L'd');
            ::CreateDirectoryW(verbatim(path_).c_str(), nullptr);
        }
    }
    ~DeepFolder() { remove_tree(top_); }
    DeepFolder(const DeepFolder&) = delete;
    DeepFolder& operator=(const DeepFolder&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path top_, path_;
};

// What the stand-in records when started from `folder` by the command-line
// text `program`.
std::string start_line(int version, const fs::path& folder, const std::wstring& program) {
    return "version=" + std::to_string(version) + "|cwd=" + utf8(folder) + "|cmdline=\"" + utf8(program) + "\"\n";
}

class BadInputE2e : public UpdateFixture {
protected:
    // The updater's quoted name and the arguments, each quoted the patcher's way.
    std::wstring command_line(const std::vector<std::wstring>& arguments) const {
        std::wstring line = quoted(updater);
        for (const auto& argument : arguments) line += L" " + patcher_updater::quote_argument(argument);
        return line;
    }
    std::vector<std::wstring> request(const std::wstring& current_text, const std::wstring& new_text,
                                      const std::wstring& sha256) const {
        return {L"--pid", L"0", L"--current", current_text, L"--new", new_text, L"--sha256", sha256};
    }
    std::optional<std::uint32_t> run_line(const std::wstring& line) { return run_process(updater, line, {}, 120000); }

    // A refused run: exit code 0, exactly `expected_log`, nothing changed.
    void expect_refused(const std::wstring& line, std::string_view expected_log) {
        fs::remove(log_path);
        ASSERT_EQ(run_line(line), 0u);
        EXPECT_EQ(log(), expected_log);
        expect_unchanged();
    }

    // A successful run: version 2 installed at `current`, the download and
    // the backup gone, version 2 started from the patcher's folder by
    // `current_text`; no log.
    void expect_updated(const std::wstring& current_text) const {
        EXPECT_FALSE(fs::exists(backup));
        expect_installed_and_restarted(current_text);
    }
    void expect_installed_and_restarted(const std::wstring& current_text) const {
        EXPECT_FALSE(log());
        EXPECT_EQ(read_file(current), version2);
        EXPECT_FALSE(fs::exists(replacement));
        ASSERT_TRUE(restarted_in(app));
        EXPECT_EQ(starts_in(app), start_line(2, app, current_text));
    }
};

TEST_F(BadInputE2e, LongestCommandLineWithAnUnknownOptionStillUpdates) {
    // The padding comes first, so a line cut short would lose the digest.
    std::wstring line = command_line({L"--padding"}) + L" ";
    const std::wstring tail =
        L" " + command_line(request(current.native(), replacement.native(), digest)).substr(quoted(updater).size() + 1);
    line.append(MAX_COMMAND_LINE_UNITS - line.size() - tail.size(), L'p');
    line += tail;
    ASSERT_EQ(line.size(), MAX_COMMAND_LINE_UNITS);
    ASSERT_EQ(run_line(line), 0u);
    expect_updated(current.native());
}

TEST_F(BadInputE2e, LongestCommandLineThatIsNoRequestIsLoggedWhole) {
    const auto filled = [&](const std::wstring& head, const std::wstring& tail, wchar_t fill) {
        const std::size_t count = MAX_COMMAND_LINE_UNITS - head.size() - tail.size();
        return std::pair{head + std::wstring(count, fill) + tail, std::string(count, static_cast<char>(fill))};
    };
    const std::wstring after_current =
        L" --new " + patcher_updater::quote_argument(replacement.native()) + L" --sha256 " + digest;

    // A huge argument in option position: the log repeats all of it.
    const auto [argument_line, argument] = filled(quoted(updater) + L" ", L"", L'x');
    expect_refused(argument_line, "unexpected argument: " + argument);
    // A process id of some 32,700 digits.
    expect_refused(filled(quoted(updater) + L" --pid ", L"", L'9').first,
                   "--pid must be an integer: number too large to fit in target type");
    // A current path of some 32,600 units, past the longest path the system takes.
    expect_refused(filled(quoted(updater) + L" --pid 0 --current ", after_current, L'c').first, MISSING);
}

// The download lies in a folder more than 260 units deep, named as it is or
// in the verbatim form; the disk operations reach it either way.
TEST_F(BadInputE2e, ReplacementDeeperThanMaxPathIsInstalled) {
    const DeepFolder deep(root.path());
    ASSERT_TRUE(entry_exists(deep.path()));
    const fs::path deep_new = deep.path() / L"patcher.new";
    ASSERT_GT(deep_new.native().size(), 300u);

    for (const bool as_verbatim : {false, true}) {
        SCOPED_TRACE(as_verbatim ? "verbatim" : "plain");
        fs::remove(app / L"patcher-starts.txt");
        ASSERT_TRUE(::CopyFileW(replacement.c_str(), verbatim(deep_new).c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(build_file(PU_STAND_IN_V1_EXE).c_str(), current.c_str(), FALSE));
        const std::wstring new_text = as_verbatim ? verbatim(deep_new).native() : deep_new.native();
        ASSERT_EQ(run_line(command_line(request(current.native(), new_text, digest))), 0u);
        EXPECT_FALSE(log());
        EXPECT_EQ(read_file(current), version2);
        EXPECT_FALSE(entry_exists(deep_new));
        EXPECT_FALSE(fs::exists(backup));
        ASSERT_TRUE(restarted_in(app));
        EXPECT_EQ(starts_in(app), start_line(2, app, current.native()));
    }
}

// The patcher itself lies more than 260 units deep. The swap works on such
// paths, and the restart passes the long program path and working directory
// on unchanged. Wine 8's CreateProcessW cannot start a program whose path
// (2) or working directory (123) is longer than MAX_PATH, and with both, as
// here, it corrupts its own heap: the updater dies inside the call (exit
// status 0x80000101, no log). So under Wine only the swap is checked.
TEST_F(BadInputE2e, PatcherDeeperThanMaxPathIsSwapped) {
    const DeepFolder deep(root.path());
    ASSERT_TRUE(entry_exists(deep.path()));
    const fs::path deep_current = deep.path() / L"patcher.exe";
    const fs::path deep_new = deep.path() / L"patcher.new";
    const fs::path deep_backup = deep.path() / L"patcher.exe.old";

    for (const bool as_verbatim : {false, true}) {
        SCOPED_TRACE(as_verbatim ? "verbatim" : "plain");
        fs::remove(log_path);
        ASSERT_TRUE(::CopyFileW(current.c_str(), verbatim(deep_current).c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(replacement.c_str(), verbatim(deep_new).c_str(), FALSE));
        const auto text = [&](const fs::path& path) { return as_verbatim ? verbatim(path).native() : path.native(); };
        const auto code = run_line(command_line(request(text(deep_current), text(deep_new), digest)));
        EXPECT_EQ(read_file(verbatim(deep_current)), version2);
        EXPECT_FALSE(entry_exists(deep_new));
        EXPECT_FALSE(entry_exists(deep_backup));
        if (running_under_wine()) continue;
        EXPECT_EQ(code, 0u);
        const bool restarted = restarted_in(verbatim(deep.path()));
        const std::string written = log().value_or("");
        EXPECT_TRUE(restarted || written.starts_with("cannot restart the updated patcher: ")) << written;
    }
}

// Share paths, device names, pipes and a file name with a trailing separator
// are no regular files, as --current or as --new (there with the empty
// message's digest, which a device that reads as empty would match). Wine
// has no network shares and answers at once. A pipe whose server never
// writes is refused as well, not read without end.
TEST_F(BadInputE2e, ShareAndDevicePathsAreNotExecutables) {
    const std::wstring pipe_name =
        L"\\\\.\\pipe\\patcher-updater-bad-input-" + std::to_wstring(::GetCurrentProcessId());
    // A pipe with instances waiting for clients, none of which writes.
    std::vector<HANDLE> pipes;
    for (int instance = 0; instance < 4; ++instance) {
        pipes.push_back(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
        ASSERT_NE(pipes.back(), INVALID_HANDLE_VALUE);
    }

    const std::wstring names[] = {
        L"\\\\server\\share\\patcher.exe",
        L"\\\\?\\UNC\\server\\share\\patcher.exe",
        L"NUL",
        L"CON",
        L"\\\\.\\NUL",
        L"\\\\.\\CON",
        (app / L"NUL").native(),
        L"\\\\.\\pipe\\patcher-updater-no-such-pipe",
        pipe_name,
        current.native() + L"\\",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(utf8(name));
        expect_refused(command_line(request(name, replacement.native(), digest)), MISSING);
        expect_refused(command_line(request(current.native(), name, std::wstring(EMPTY_SHA256))), MISSING);
    }
    for (const HANDLE pipe : pipes) ::CloseHandle(pipe);
}

// The system drops trailing dots and spaces from the last name of a path that
// is not in the verbatim form, Wine as Windows: "patcher.exe." and
// "patcher.exe " open patcher.exe. The update goes through, the backup name is
// formed from the text (patcher.exe.exe.old, which the system then uses as
// written), and the restart is started by the text as given.
TEST_F(BadInputE2e, TrailingDotsAndSpacesNameTheSameFile) {
    struct Row {
        std::wstring current_suffix;
        std::wstring new_suffix;
    };
    const Row rows[] = {{L".", L""}, {L" ", L""}, {L"..", L""}, {L"", L"."}, {L"", L"  "}, {L"", L". ."}};
    for (const auto& [current_suffix, new_suffix] : rows) {
        SCOPED_TRACE("current+'" + utf8(current_suffix) + "' new+'" + utf8(new_suffix) + "'");
        fs::remove(app / L"patcher-starts.txt");
        ASSERT_TRUE(::CopyFileW(build_file(PU_STAND_IN_V2_EXE).c_str(), replacement.c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(build_file(PU_STAND_IN_V1_EXE).c_str(), current.c_str(), FALSE));
        const std::wstring current_text = current.native() + current_suffix;
        ASSERT_EQ(run_line(command_line(request(current_text, replacement.native() + new_suffix, digest))), 0u);
        expect_updated(current_text);
        EXPECT_EQ(std::distance(fs::directory_iterator(app), fs::directory_iterator()), 2)
            << "only patcher.exe and the stand-in's record are left";
    }
}

// Every argument that the parser takes must be text; one that is not (an
// unpaired surrogate) stops the run, and the log shows it with U+FFFD.
TEST_F(BadInputE2e, UnpairedSurrogateInATakenArgumentIsRefused) {
    const std::string replaced(REPLACEMENT_CHARACTER);
    const std::wstring odd_current = current.native() + LONE_HIGH;
    std::wstring odd_digest = digest;
    odd_digest[10] = LONE_LOW;

    auto unknown_option = request(current.native(), replacement.native(), digest);
    unknown_option.insert(unknown_option.begin(), {L"--note", std::wstring(L"a") + LONE_LOW + LONE_LOW + L"z"});

    expect_refused(command_line(request(odd_current, replacement.native(), digest)),
                   "argument is not valid unicode: " + utf8(current) + replaced);
    expect_refused(command_line(request(current.native(), replacement.native(), odd_digest)),
                   "argument is not valid unicode: " + utf8(digest.substr(0, 10)) + replaced + utf8(digest.substr(11)));
    // Even the value of an option that is ignored is taken first.
    expect_refused(command_line(unknown_option), "argument is not valid unicode: a" + replaced + replaced + "z");
    // So is the name of an option.
    expect_refused(quoted(updater) + L" --pi" + LONE_HIGH + L"d 0",
                   "argument is not valid unicode: --pi" + replaced + "d");
}

// The program name on the command line is never taken: one that is not text
// (and not even the updater's real name) does not stop the update.
TEST_F(BadInputE2e, UnpairedSurrogateInTheProgramNameIsIgnored) {
    const std::wstring program = (updater_folder / L"updater").native() + LONE_HIGH + L".exe";
    const std::wstring line =
        L"\"" + program + L"\"" +
        command_line(request(current.native(), replacement.native(), digest)).substr(quoted(updater).size());
    ASSERT_EQ(run_line(line), 0u);
    expect_updated(current.native());
}

// An option value is taken whatever it looks like, so a missing value makes
// the next option the value and shifts everything after it.
TEST_F(BadInputE2e, ValueThatLooksLikeAnOptionIsTakenAsTheValue) {
    const std::wstring cur = current.native(), rep = replacement.native();
    const std::pair<std::vector<std::wstring>, std::string> rows[] = {
        // --current given "--new": no file of that name.
        {request(L"--new", rep, digest), std::string(MISSING)},
        // --current without a value: "--new" becomes it, and the download path stands in option position.
        {{L"--pid", L"0", L"--current", L"--new", rep, L"--sha256", digest}, "unexpected argument: " + utf8(rep)},
        // --pid without a value.
        {{L"--pid", L"--current", cur, L"--new", rep, L"--sha256", digest}, "unexpected argument: " + utf8(cur)},
        {{L"--pid", L"--pid", L"--current", cur, L"--new", rep, L"--sha256", digest},
         "--pid must be an integer: invalid digit found in string"},
        // --sha256 given "--pid" as the last argument.
        {{L"--pid", L"0", L"--current", cur, L"--new", rep, L"--sha256", L"--pid"}, std::string(MISMATCH)},
        // A digest that begins with dashes is still the digest's value.
        {request(cur, rep, L"--" + digest), std::string(MISMATCH)},
    };
    for (const auto& [arguments, expected] : rows) {
        SCOPED_TRACE(expected);
        expect_refused(command_line(arguments), expected);
    }
}

// 64 characters that are not the digest's hexadecimal digits, and texts
// whose letters only look alike, are refused before anything is touched.
TEST_F(BadInputE2e, SixtyFourCharactersThatAreNotTheDigestAreAMismatch) {
    std::wstring letters_beyond_f = digest, fullwidth = digest, letter_o_for_zero = digest;
    for (auto& unit : letters_beyond_f)
        if (unit >= L'a' && unit <= L'f') unit = static_cast<wchar_t>(unit + 6);  // g to l
    for (auto& unit : fullwidth) unit = static_cast<wchar_t>(unit + 0xFEE0);      // U+FF10 and on
    for (auto& unit : letter_o_for_zero)
        if (unit == L'0') unit = L'o';
    ASSERT_NE(letter_o_for_zero, digest);
    const std::wstring rows[] = {std::wstring(64, L'g'), std::wstring(64, L'-'), letters_beyond_f, fullwidth,
                                 letter_o_for_zero};
    for (const auto& expected : rows) {
        SCOPED_TRACE(utf8(expected));
        ASSERT_EQ(expected.size(), 64u);
        expect_refused(command_line(request(current.native(), replacement.native(), expected)), MISMATCH);
    }
}

// An empty download has the empty message's digest. Given that digest, the
// swap goes through and the restart then fails, since an empty file is no
// program; nothing is rolled back.
TEST_F(BadInputE2e, EmptyReplacementWithItsDigestIsInstalledAndCannotStart) {
    write_file(replacement, "");
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), std::wstring(EMPTY_SHA256)))), 0u);
    EXPECT_EQ(log(), "cannot restart the updated patcher: " + os_error_display(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(read_file(current), "");
    EXPECT_FALSE(fs::exists(replacement));
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(starts_in(app), "");
}

TEST_F(BadInputE2e, EmptyReplacementWithAnotherDigestIsAMismatch) {
    write_file(replacement, "");
    fs::remove(log_path);
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), digest))), 0u);
    EXPECT_EQ(log(), MISMATCH);
    EXPECT_EQ(read_file(current), version1);
    EXPECT_EQ(read_file(replacement), "");
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(starts_in(app), "");
}

// A folder where a file should be, even one named like a program and
// holding one, is refused before the digest.
TEST_F(BadInputE2e, DirectoryAsCurrentOrReplacementChangesNothing) {
    const fs::path folder_exe = app / L"other.exe";
    fs::create_directory(folder_exe);
    fs::copy_file(replacement, folder_exe / L"patcher.exe");
    const std::pair<std::wstring, std::wstring> rows[] = {
        {folder_exe.native(), replacement.native()},
        {current.native(), folder_exe.native()},
        {folder_exe.native() + L"\\", replacement.native()},
        {current.native(), app.native()},
        {app.native(), replacement.native()},
    };
    for (const auto& [current_text, new_text] : rows) {
        SCOPED_TRACE(utf8(current_text) + " <- " + utf8(new_text));
        expect_refused(command_line(request(current_text, new_text, digest)), MISSING);
        EXPECT_EQ(read_file(folder_exe / L"patcher.exe"), version2);
    }
}

// A read-only patcher is renamed away like any other file (a rename does
// not need write access to the file), and the installed replacement keeps
// its own attributes. The read-only backup is then deleted with a
// POSIX-semantics disposition that ignores the attribute; Wine does not know
// that information class (87), so there the backup stays and stops the next
// update as a stale backup that cannot be removed.
TEST_F(BadInputE2e, ReadOnlyPatcherIsReplaced) {
    ASSERT_TRUE(::SetFileAttributesW(current.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), digest))), 0u);
    expect_installed_and_restarted(current.native());
    EXPECT_EQ(::GetFileAttributesW(current.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    if (!running_under_wine()) {
        EXPECT_FALSE(fs::exists(backup));
        return;
    }
    EXPECT_EQ(read_file(backup), version1);
    EXPECT_NE(::GetFileAttributesW(backup.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    ASSERT_TRUE(::CopyFileW(build_file(PU_STAND_IN_V2_EXE).c_str(), replacement.c_str(), FALSE));
    fs::remove(app / L"patcher-starts.txt");
    ASSERT_EQ(run_line(command_line(request(current.native(), replacement.native(), digest))), 0u);
    EXPECT_EQ(log(), "cannot remove stale patcher backup: " + os_error_display(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(current), version2);
    EXPECT_EQ(read_file(replacement), version2);
    EXPECT_EQ(read_file(backup), version1);
    EXPECT_EQ(starts_in(app), "");
}

}  // namespace
