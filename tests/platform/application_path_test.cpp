#include "platform/application_path.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/windows_api.h"
#include "support/fake_program_search.h"
#include "support/system_call_override.h"

namespace {

std::wstring current_directory() {
    wchar_t buffer[4096];
    const DWORD length = ::GetCurrentDirectoryW(4096, buffer);
    return std::wstring(buffer, length);
}

std::wstring joined(std::wstring folder, std::wstring_view name) {
    if (!folder.ends_with(L'\\')) folder += L'\\';
    return folder += name;
}

std::u16string u16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

OsError invalid_input(std::string_view text) { return OsError::with_message(OsErrorKind::InvalidInput, text); }

TEST(ApplicationPath, ShortAbsolutePathsAreKeptWithoutAsking) {
    SystemCallRecorder recorder;
    for (const std::wstring path : {L"C:\\App\\patcher.exe", L"C:/App/patcher.exe", L"C:\\App\\..\\patcher.exe",
                                    L"\\\\server\\share\\p.exe", L"//server/share/p.exe", L"C:", L"\\??\\C:\\App\\p.exe",
                                    L""}) {
        const auto application = to_application_path(u16(path));
        ASSERT_TRUE(application) << path;
        EXPECT_EQ(*application, path);
    }
    EXPECT_EQ(recorder.count(Call::GetFullPathNameW), 0u);
}

TEST(ApplicationPath, RelativePathIsResolvedAgainstTheCurrentDirectory) {
    for (const std::wstring_view path : {L"bin\\patcher.exe", L"bin/patcher.exe"}) {
        const auto application = to_application_path(u16(path));
        ASSERT_TRUE(application);
        EXPECT_EQ(*application, joined(current_directory(), L"bin\\patcher.exe"));
    }
}

// The prefix depends on the length of the full path, not of the text given.
TEST(ApplicationPath, FullPathGetsTheLongPathPrefixFrom247Units) {
    const std::wstring dotted = L"C:\\a\\..\\";  // long enough to be resolved
    const auto below = to_application_path(u16(dotted + std::wstring(243, L'b')));
    ASSERT_TRUE(below);
    EXPECT_EQ(*below, L"C:\\" + std::wstring(243, L'b'));  // 246 units

    const auto at = to_application_path(u16(dotted + std::wstring(244, L'b')));
    ASSERT_TRUE(at);
    EXPECT_EQ(*at, L"\\\\?\\C:\\" + std::wstring(244, L'b'));

    const std::wstring share = L"\\\\server\\share\\" + std::wstring(247 - 15, L'x');
    const auto unc = to_application_path(u16(share));
    ASSERT_TRUE(unc);
    EXPECT_EQ(*unc, L"\\\\?\\UNC\\server\\share\\" + std::wstring(247 - 15, L'x'));
}

TEST(ApplicationPath, TextOfMoreThan260UnitsIsKeptEvenWhenRelative) {
    SystemCallRecorder recorder;
    const std::wstring kept = L"bin\\" + std::wstring(256, L'k');  // 261 units with the terminator
    const auto long_text = to_application_path(u16(kept));
    ASSERT_TRUE(long_text);
    EXPECT_EQ(*long_text, kept);
    EXPECT_EQ(recorder.count(Call::GetFullPathNameW), 0u);

    const std::wstring resolved = L"bin\\" + std::wstring(255, L'k');  // 260 with the terminator
    const auto at_limit = to_application_path(u16(resolved));
    ASSERT_TRUE(at_limit);
    EXPECT_EQ(*at_limit, L"\\\\?\\" + joined(current_directory(), resolved));
}

// A verbatim path loses its prefix only when the system would read the plain
// path as the same file; `..`, `/` and trailing dots are literal after \\?\.
TEST(ApplicationPath, VerbatimPathLosesItsPrefixOnlyWhenNothingChanges) {
    struct Case {
        std::wstring_view path;
        std::wstring_view application;
    };
    const std::vector<Case> cases = {
        {L"\\\\?\\C:\\App\\patcher.exe", L"C:\\App\\patcher.exe"},
        {L"\\\\?\\C:\\App\\..\\patcher.exe", L"\\\\?\\C:\\App\\..\\patcher.exe"},
        {L"\\\\?\\C:\\App/patcher.exe", L"\\\\?\\C:\\App/patcher.exe"},
        {L"\\\\?\\C:\\App\\patcher.exe.", L"\\\\?\\C:\\App\\patcher.exe."},
        {L"\\\\?\\UNC\\server\\share\\patcher.exe", L"\\\\server\\share\\patcher.exe"},
        {L"\\\\?\\UNC\\server\\share\\a\\..\\patcher.exe", L"\\\\?\\UNC\\server\\share\\a\\..\\patcher.exe"},
        {L"\\\\?\\Volume{0}\\patcher.exe", L"\\\\?\\Volume{0}\\patcher.exe"},
    };
    for (const Case& row : cases) {
        const auto application = to_application_path(u16(row.path));
        ASSERT_TRUE(application) << std::wstring(row.path);
        EXPECT_EQ(*application, row.application);
    }
}

TEST(ApplicationPath, FullPathFailureGivesItsCode) {
    for (const std::wstring_view path : {L"relative.exe", L"\\\\?\\C:\\App\\p.exe", L"\\\\?\\UNC\\srv\\share\\p.exe"}) {
        SystemCallRecorder recorder;
        recorder.fail_call(Call::GetFullPathNameW, ERROR_FILENAME_EXCED_RANGE);
        const auto application = to_application_path(u16(path));
        ASSERT_FALSE(application) << std::wstring(path);
        EXPECT_EQ(application.error(), OsError::from_code(ERROR_FILENAME_EXCED_RANGE));
    }
}

TEST(ApplicationPath, NulInThePathIsRefused) {
    const auto application = to_application_path(std::u16string(u"C:\\a\0b.exe", 10));
    ASSERT_FALSE(application);
    EXPECT_EQ(application.error(), invalid_input("strings passed to WinAPI cannot contain NULs"));
}

class ProgramSearchTest : public ::testing::Test {
protected:
    ProgramSearchTest() {
        // A quoted entry may hold ";"; empty entries are skipped.
        world().search_path = L"C:\\P.1;\"C:\\P;2\";;C:\\P3;";
    }
    ProgramSearchWorld& world() { return search.world(); }

    FakeProgramSearch search;
};

TEST_F(ProgramSearchTest, FoldersAreSearchedInOrderUntilTheFirstHit) {
    const std::vector<std::wstring> candidates = {
        L"C:\\Updater\\patcher.exe", L"C:\\Sys\\patcher.exe", L"C:\\Win\\patcher.exe",
        L"C:\\P.1\\patcher.exe",     L"C:\\P;2\\patcher.exe", L"C:\\P3\\patcher.exe",
    };
    // Each row puts copies in the folders from `first` on; the first is found.
    for (std::size_t first = 0; first < candidates.size(); ++first) {
        world().existing = std::set<std::wstring>(candidates.begin() + first, candidates.end());
        world().queried.clear();
        const auto found = find_program(u"patcher.exe");
        ASSERT_TRUE(found) << first;
        EXPECT_EQ(*found, candidates[first]);
        EXPECT_EQ(world().queried, std::vector<std::wstring>(candidates.begin(), candidates.begin() + first + 1));
    }
}

TEST_F(ProgramSearchTest, CopyInTheCurrentDirectoryIsNotFound) {
    world().existing = {L"patcher.exe", L".\\patcher.exe", joined(current_directory(), L"patcher.exe")};
    const auto found = find_program(u"patcher.exe");
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), OsError::with_message(OsErrorKind::NotFound, "program not found"));
    EXPECT_EQ(world().queried, (std::vector<std::wstring>{
                                   L"C:\\Updater\\patcher.exe", L"C:\\Sys\\patcher.exe", L"C:\\Win\\patcher.exe",
                                   L"C:\\P.1\\patcher.exe", L"C:\\P;2\\patcher.exe", L"C:\\P3\\patcher.exe"}));
}

// The dot of a folder (C:\P.1) does not count, only that of the name.
TEST_F(ProgramSearchTest, ExeIsAddedOnlyToANameWithoutDot) {
    struct Case {
        std::u16string_view name;
        std::wstring_view file_name;
    };
    const std::vector<Case> cases = {
        {u"patcher", L"\\patcher.exe"},
        {u"patcher.beta", L"\\patcher.beta"},
        {u"patcher.", L"\\patcher."},
        {u".patcher", L"\\.patcher"},
    };
    for (const Case& row : cases) {
        world().queried.clear();
        ASSERT_FALSE(find_program(row.name));
        ASSERT_EQ(world().queried.size(), 6u);
        for (const std::wstring& candidate : world().queried) EXPECT_TRUE(candidate.ends_with(row.file_name)) << candidate;
    }
}

// A long candidate is asked about, and found, in its \\?\ form.
TEST_F(ProgramSearchTest, HitIsTheApplicationPathFormOfTheCandidate) {
    const std::wstring deep = L"C:\\" + std::wstring(240, L'd');
    world().search_path = deep;
    world().existing = {L"\\\\?\\" + deep + L"\\patcher.exe"};
    const auto found = find_program(u"patcher");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, L"\\\\?\\" + deep + L"\\patcher.exe");
}

TEST_F(ProgramSearchTest, FailedFolderQueriesAreSkipped) {
    world().module_path.reset();
    world().system_directory.reset();
    world().search_path.reset();
    const auto found = find_program(u"patcher.exe");
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), OsError::with_message(OsErrorKind::NotFound, "program not found"));
    EXPECT_EQ(world().queried, std::vector<std::wstring>{L"C:\\Win\\patcher.exe"});
}

// An empty answer would make the bare name a path relative to the current
// directory, which the search never looks in.
TEST_F(ProgramSearchTest, EmptyFolderIsSkipped) {
    world().system_directory = L"";
    world().search_path = L";\"\";";
    ASSERT_FALSE(find_program(u"patcher.exe"));
    EXPECT_EQ(world().queried, (std::vector<std::wstring>{L"C:\\Updater\\patcher.exe", L"C:\\Win\\patcher.exe"}));
}

TEST_F(ProgramSearchTest, CandidateWhosePathFormFailsIsNoHit) {
    world().search_path = L"relative;C:\\P3";
    world().existing = {L"C:\\P3\\patcher.exe"};
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFullPathNameW, ERROR_ACCESS_DENIED);  // only `relative` is resolved
    const auto found = find_program(u"patcher.exe");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, L"C:\\P3\\patcher.exe");
    EXPECT_EQ(recorder.count(Call::GetFullPathNameW), 1u);
}

TEST_F(ProgramSearchTest, NulInTheNameIsRefusedBeforeAnySearch) {
    const auto found = find_program(std::u16string(u"patcher\0.exe", 12));
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), invalid_input("nul byte found in provided data"));
    EXPECT_TRUE(world().queried.empty());
}

// The system's own folders, for real: the test program's folder holds no
// notepad, the system directory does.
TEST(ProgramSearch, FindsASystemProgramForReal) {
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    const auto found = find_program(u"notepad");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, joined(std::wstring(system, length), L"notepad.exe"));
}

class ProgramPathTest : public ProgramSearchTest {};

TEST_F(ProgramPathTest, PathEndingInExeIsTakenWithoutExistenceCheck) {
    for (const std::wstring_view program : {L"C:\\App\\patcher.exe", L"C:\\App\\PATCHER.EXE", L"C:/App/patcher.Exe"}) {
        const auto application = resolve_application_path(u16(program));
        ASSERT_TRUE(application);
        EXPECT_EQ(*application, program);
    }
    EXPECT_TRUE(world().queried.empty());
}

TEST_F(ProgramPathTest, PathWithoutExeTakesTheExeSiblingWhenItExists) {
    struct Case {
        std::wstring_view program;
        std::set<std::wstring> existing;
        std::wstring_view application;
    };
    const std::vector<Case> cases = {
        {L"C:\\App\\patcher", {L"C:\\App\\patcher.exe"}, L"C:\\App\\patcher.exe"},
        {L"C:\\App\\patcher", {}, L"C:\\App\\patcher"},
        {L"C:\\App\\patcher", {L"C:\\App\\patcher"}, L"C:\\App\\patcher"},
        {L"C:\\App\\patcher.com", {L"C:\\App\\patcher.com.exe"}, L"C:\\App\\patcher.com.exe"},
        {L"C:/App/patcher", {L"C:/App/patcher.exe"}, L"C:/App/patcher.exe"},
    };
    for (const Case& row : cases) {
        world().existing = row.existing;
        world().queried.clear();
        const auto application = resolve_application_path(u16(row.program));
        ASSERT_TRUE(application) << std::wstring(row.program);
        EXPECT_EQ(*application, row.application);
        EXPECT_EQ(world().queried, std::vector<std::wstring>{std::wstring(row.program) + L".exe"});
    }
}

TEST_F(ProgramPathTest, ExeCandidateWhosePathFormFailsFallsBackToTheText) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFullPathNameW, ERROR_ACCESS_DENIED, 1);
    const auto application = resolve_application_path(u"bin\\patcher");
    ASSERT_TRUE(application);
    EXPECT_EQ(*application, joined(current_directory(), L"bin\\patcher"));
    EXPECT_TRUE(world().queried.empty());
}

TEST_F(ProgramPathTest, BareNameIsSearchedFor) {
    world().existing = {L"C:\\Win\\patcher.exe"};
    const auto application = resolve_application_path(u"patcher.exe");
    ASSERT_TRUE(application);
    EXPECT_EQ(*application, L"C:\\Win\\patcher.exe");
}

TEST_F(ProgramPathTest, TextThatNamesNoFileIsRefused) {
    for (const std::u16string_view program : {u"", u"C:\\App\\", u"C:/App/", u"bin\\", u"\\\\?\\C:\\App\\"}) {
        const auto application = resolve_application_path(program);
        ASSERT_FALSE(application);
        EXPECT_EQ(application.error(), invalid_input("program path has no file name"));
    }
    EXPECT_TRUE(world().queried.empty());
}

// After \\?\ a `/` is part of a name, so such a text does name a file.
TEST_F(ProgramPathTest, SlashEndsNoNameAfterTheVerbatimPrefix) {
    const auto application = resolve_application_path(u"\\\\?\\C:\\App/");
    ASSERT_TRUE(application);
    EXPECT_EQ(*application, L"\\\\?\\C:\\App/");
}

TEST_F(ProgramPathTest, NulGivesTheTextOfTheStepThatMeetsIt) {
    const auto path = resolve_application_path(std::u16string(u"C:\\App\\pat\0cher", 15));
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error(), invalid_input("strings passed to WinAPI cannot contain NULs"));
    const auto name = resolve_application_path(std::u16string(u"pat\0cher", 8));
    ASSERT_FALSE(name);
    EXPECT_EQ(name.error(), invalid_input("nul byte found in provided data"));
}

}  // namespace
