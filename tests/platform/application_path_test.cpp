#include "platform/application_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "platform/wide_path.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"
#include "support/fake_program_search.h"
#include "support/system_call_override.h"

namespace {

OsError invalid_input(std::string_view text) { return OsError::with_message(OsErrorKind::InvalidInput, text); }
const OsError NOT_FOUND = OsError::with_message(OsErrorKind::NotFound, "program not found");

// A verbatim path loses its prefix only when the plain path names the same file; a failed ask gives its code.
TEST(ApplicationPath, PathsTakeTheFormTheSystemStartsThem) {
    const std::wstring dotted = L"C:\\a\\..\\";  // long enough to be resolved
    const std::wstring kept = L"bin\\" + std::wstring(256, L'k'), resolved = L"bin\\" + std::wstring(255, L'k');
    // The text, its application path, and whether the system is asked for the full path.
    const std::tuple<std::wstring, std::wstring, bool> cases[] = {
        {L"C:\\App\\..\\patcher.exe", L"C:\\App\\..\\patcher.exe", false},
        {L"\\??\\C:\\App\\p.exe", L"\\??\\C:\\App\\p.exe", false},
        {L"", L"", false},
        {L"bin\\patcher.exe", in_current_directory(L"bin\\patcher.exe"), true},
        {dotted + std::wstring(243, L'b'), L"C:\\" + std::wstring(243, L'b'), true},  // 246 units
        {dotted + std::wstring(244, L'b'), L"\\\\?\\C:\\" + std::wstring(244, L'b'), true},
        {kept, kept, false},  // 261 units with the terminator
        {resolved, L"\\\\?\\" + in_current_directory(resolved), true},
        {L"\\\\?\\C:\\App\\patcher.exe", L"C:\\App\\patcher.exe", true},
        {L"\\\\?\\C:\\App\\..\\patcher.exe", L"\\\\?\\C:\\App\\..\\patcher.exe", true},
        {L"\\\\?\\C:\\App/patcher.exe", L"\\\\?\\C:\\App/patcher.exe", true},
        {L"\\\\?\\C:\\App\\patcher.exe.", L"\\\\?\\C:\\App\\patcher.exe.", true},
        {L"\\\\?\\UNC\\server\\share\\patcher.exe", L"\\\\server\\share\\patcher.exe", true},
        {L"\\\\?\\UNC\\server\\share\\a\\..\\p.exe", L"\\\\?\\UNC\\server\\share\\a\\..\\p.exe", true},
        {L"\\\\?\\Volume{0}\\patcher.exe", L"\\\\?\\Volume{0}\\patcher.exe", false},
    };
    const OsError failed = OsError::from_code(ERROR_FILENAME_EXCED_RANGE);
    for (const auto& [path, application, asks] : cases) {
        SCOPED_TRACE(testing::Message() << path.size() << " units: " << path.substr(0, 40));
        SystemCallRecorder recorder;
        EXPECT_EQ(to_application_path(as_u16(path)).value_or(L"(none)"), application);
        EXPECT_EQ(recorder.count(Call::GetFullPathNameW) != 0, asks);
        recorder.fail_call(Call::GetFullPathNameW, failed.code(), recorder.count(Call::GetFullPathNameW) + 1);
        if (asks) EXPECT_EQ(to_application_path(as_u16(path)), std::unexpected(failed));
    }
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

// Copies lie in the folders from `first` on, and in the current directory, which is never searched.
TEST_F(ProgramSearchTest, FoldersAreSearchedInOrderUntilTheFirstHit) {
    const std::vector<std::wstring> candidates = {
        L"C:\\Updater\\patcher.exe", L"C:\\Sys\\patcher.exe", L"C:\\Win\\patcher.exe",
        L"C:\\P.1\\patcher.exe",     L"C:\\P;2\\patcher.exe", L"C:\\P3\\patcher.exe",
    };
    for (std::size_t first = 0; first <= candidates.size(); ++first) {
        SCOPED_TRACE(first);
        world().existing = {candidates.begin() + first, candidates.end()};
        world().existing.insert({L"patcher.exe", L".\\patcher.exe", in_current_directory(L"patcher.exe")});
        world().queried.clear();
        const auto found = find_program(u"patcher.exe");
        EXPECT_EQ(found.value_or(L"(none)"), first < candidates.size() ? candidates[first] : L"(none)");
        if (!found) EXPECT_EQ(found.error(), NOT_FOUND);
        const std::size_t asked = std::min(first + 1, candidates.size());
        EXPECT_EQ(world().queried, std::vector(candidates.begin(), candidates.begin() + asked));
    }
}

// An empty folder is skipped since it would make the name relative to the current directory.
TEST_F(ProgramSearchTest, FailedAndEmptyFoldersAreSkipped) {
    world().module_path.reset();
    world().system_directory = L"";
    world().search_path.reset();
    EXPECT_EQ(find_program(u"patcher.exe"), std::unexpected(NOT_FOUND));
    EXPECT_EQ(world().queried, std::vector<std::wstring>{L"C:\\Win\\patcher.exe"});

    world() = ProgramSearchWorld{.system_directory = std::nullopt, .windows_directory = L"", .search_path = L";\"\";"};
    EXPECT_EQ(find_program(u"patcher.exe"), std::unexpected(NOT_FOUND));
    EXPECT_EQ(world().queried, std::vector<std::wstring>{L"C:\\Updater\\patcher.exe"});
}

// The dot of a folder (C:\P.1) does not count, only that of the name.
TEST_F(ProgramSearchTest, ExeIsAddedOnlyToANameWithoutDot) {
    const std::pair<std::u16string_view, std::wstring_view> cases[] = {
        {u"patcher", L"\\patcher.exe"}, {u"patcher.beta", L"\\patcher.beta"}, {u"patcher.", L"\\patcher."},
        {u".patcher", L"\\.patcher"}};
    for (const auto& [name, file_name] : cases) {
        world().queried.clear();
        ASSERT_FALSE(find_program(name));
        ASSERT_EQ(world().queried.size(), 6u);
        for (const std::wstring& candidate : world().queried) EXPECT_TRUE(candidate.ends_with(file_name)) << candidate;
    }
}

// A long candidate is looked for in its \\?\ form; one whose form cannot be made is no hit.
TEST_F(ProgramSearchTest, CandidatesAreTakenInTheirApplicationPathForm) {
    const std::wstring deep = L"C:\\" + std::wstring(240, L'd');
    world().search_path = L"relative;" + deep;
    world().existing = {L"relative\\patcher.exe", in_current_directory(L"relative\\patcher.exe"),
                        L"\\\\?\\" + deep + L"\\patcher.exe"};
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFullPathNameW, ERROR_ACCESS_DENIED);  // that of `relative`
    EXPECT_EQ(find_program(u"patcher").value_or(L"(none)"), L"\\\\?\\" + deep + L"\\patcher.exe");
    EXPECT_EQ(recorder.count(Call::GetFullPathNameW), 2u);
}

// The test program's folder holds no notepad, the system directory does.
TEST(ProgramSearch, FindsASystemProgramForReal) {
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(find_program(u"notepad").value_or(L"(none)"), std::wstring(system, length) + L"\\notepad.exe");
}

using ProgramPathTest = ProgramSearchTest;

// A path ending in .exe is taken unchecked; after \\?\ a trailing `/` is part of a name.
TEST_F(ProgramPathTest, PathTakesItsExeSiblingWhenThatExistsAndABareNameIsSearchedFor) {
    const std::wstring sibling = L"C:\\App\\patcher.exe", com_exe = L"C:\\App\\patcher.com.exe";
    // The program, the existing files, its application path and the paths asked about.
    const std::tuple<std::wstring, std::set<std::wstring>, std::wstring, std::vector<std::wstring>> cases[] = {
        {L"C:\\App\\PATCHER.EXE", {}, L"C:\\App\\PATCHER.EXE", {}},
        {L"C:/App/patcher.Exe", {}, L"C:/App/patcher.Exe", {}},
        {L"C:\\App\\patcher", {sibling}, sibling, {sibling}},
        {L"C:\\App\\patcher", {}, L"C:\\App\\patcher", {sibling}},
        {L"C:\\App\\patcher.com", {com_exe}, com_exe, {com_exe}},
        {L"\\\\?\\C:\\App/", {}, L"\\\\?\\C:\\App/", {L"\\\\?\\C:\\App/.exe"}},
        {L"patcher.exe", {L"C:\\Win\\patcher.exe"}, L"C:\\Win\\patcher.exe",
         {L"C:\\Updater\\patcher.exe", L"C:\\Sys\\patcher.exe", L"C:\\Win\\patcher.exe"}},
    };
    for (const auto& [program, existing, application, queried] : cases) {
        SCOPED_TRACE(to_wtf8(as_u16(program)));
        world().existing = existing;
        world().queried.clear();
        EXPECT_EQ(resolve_application_path(as_u16(program)).value_or(L"(none)"), application);
        EXPECT_EQ(world().queried, queried);
    }
}

TEST_F(ProgramPathTest, ExeCandidateWhosePathFormFailsFallsBackToTheText) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFullPathNameW, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(resolve_application_path(u"bin\\patcher").value_or(L"(none)"), in_current_directory(L"bin\\patcher"));
    EXPECT_TRUE(world().queried.empty());
}

// A NUL gives the text of the step that meets it: the path form, or the search for a bare name.
TEST_F(ProgramPathTest, TextThatNamesNoFileOrHoldsANulIsRefused) {
    const OsError no_name = invalid_input("program path has no file name");
    const std::pair<std::u16string, OsError> cases[] = {
        {u"", no_name}, {u"C:\\App\\", no_name}, {u"C:/App/", no_name}, {u"bin\\", no_name},
        {u"\\\\?\\C:\\App\\", no_name},
        {std::u16string(u"C:\\App\\pat\0cher", 15), invalid_input("strings passed to WinAPI cannot contain NULs")},
        {std::u16string(u"pat\0cher", 8), invalid_input("nul byte found in provided data")},
    };
    for (const auto& [program, error] : cases)
        EXPECT_EQ(resolve_application_path(program), std::unexpected(error)) << to_wtf8(program);
    EXPECT_TRUE(world().queried.empty());
}

}  // namespace
