#include "platform/launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/path_text.h"
#include "platform/wide_path.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"
#include "support/fake_program_search.h"
#include "support/system_call_override.h"

namespace {

// What one CreateProcessW call was given, copied while the call ran.
struct CreateCall {
    std::optional<std::wstring> application;
    std::optional<std::wstring> command_line;
    bool attributes_given = false;
    BOOL inherit = FALSE;
    DWORD flags = 0;
    void* environment = nullptr;
    std::optional<std::wstring> directory;
    STARTUPINFOW startup{};
    bool information_zeroed = false;
    bool lock_held = false;
    std::array<bool, 3> inheritable{};
};

std::vector<CreateCall> g_creates;
std::array<HANDLE, 3> g_std_handles{};  // input, output, error
std::vector<DWORD> g_std_requests;
int g_lock_depth = 0;
bool g_std_asked_without_lock = false;
std::vector<HANDLE> g_closed_under_lock;

std::optional<std::wstring> text_of(const wchar_t* text) {
    if (text == nullptr) return std::nullopt;
    return std::wstring(text);
}

bool is_inheritable(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && ::GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

BOOL WINAPI fake_create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                                LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags,
                                LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                LPPROCESS_INFORMATION information) {
    CreateCall call;
    call.application = text_of(application);
    call.command_line = text_of(command_line);
    call.attributes_given = process_attributes != nullptr || thread_attributes != nullptr;
    call.inherit = inherit;
    call.flags = flags;
    call.environment = environment;
    call.directory = text_of(directory);
    call.startup = *startup;
    const PROCESS_INFORMATION zero{};
    call.information_zeroed = std::memcmp(information, &zero, sizeof zero) == 0;
    call.lock_held = g_lock_depth == 1;
    call.inheritable = {is_inheritable(startup->hStdInput), is_inheritable(startup->hStdOutput),
                        is_inheritable(startup->hStdError)};
    g_creates.push_back(call);
    // Real handles, so that the caller closes them as it would a child's.
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &information->hProcess, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &information->hThread, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    return TRUE;
}

// Stand-ins for the updater's standard handles: objects of the test's own,
// not inheritable.
struct StandInHandles {
    StandInHandles() {
        for (HANDLE& event : events) event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~StandInHandles() {
        for (HANDLE event : events) ::CloseHandle(event);
    }
    std::array<HANDLE, 3> events{};
};

// The request of the restart: no arguments, the program's folder as the
// working directory.
LaunchRequest restart_request(std::u16string_view program) {
    const auto folder = parent_path(to_wtf8(program));
    return LaunchRequest{std::u16string(program), {}, to_utf16(folder.value_or(""))};
}

std::u16string u16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

std::wstring current_directory() {
    wchar_t buffer[4096];
    return std::wstring(buffer, ::GetCurrentDirectoryW(4096, buffer));
}

std::wstring joined(std::wstring folder, std::wstring_view name) {
    if (!folder.ends_with(L'\\')) folder += L'\\';
    return folder += name;
}

OsError invalid_input(std::string_view text) { return OsError::with_message(OsErrorKind::InvalidInput, text); }

// launch_process with CreateProcessW, the standard handles, the launch lock
// and the program search faked; everything else runs for real.
class LaunchTest : public ::testing::Test {
protected:
    LaunchTest() {
        g_creates.clear();
        g_std_handles = {};
        g_std_requests.clear();
        g_lock_depth = 0;
        g_std_asked_without_lock = false;
        g_closed_under_lock.clear();
        sys().CreateProcessW = &fake_create_process;
        sys().GetStdHandle = [](DWORD id) -> HANDLE {
            g_std_requests.push_back(id);
            if (g_lock_depth != 1) g_std_asked_without_lock = true;
            return g_std_handles.at(STD_INPUT_HANDLE - id);
        };
        sys().AcquireSRWLockExclusive = [](PSRWLOCK) { ++g_lock_depth; };
        sys().ReleaseSRWLockExclusive = [](PSRWLOCK) { --g_lock_depth; };
        sys().CloseHandle = [](HANDLE handle) -> BOOL {
            if (g_lock_depth != 0) g_closed_under_lock.push_back(handle);
            return ::CloseHandle(handle);
        };
        recorder.emplace();
    }

    ProgramSearchWorld& world() { return search.world(); }

    // Launches, expects success and one CreateProcessW call, and returns what
    // that call was given. The started "process" is closed again.
    CreateCall launched(const LaunchRequest& request) {
        const std::size_t before = g_creates.size();
        auto process = launch_process(request);
        EXPECT_TRUE(process) << (process ? "" : process.error().message());
        EXPECT_EQ(g_creates.size(), before + 1);
        EXPECT_EQ(g_lock_depth, 0);
        if (g_creates.size() != before + 1) return {};
        return g_creates.back();
    }

    StandInHandles stand_ins;
    FakeProgramSearch search;
    std::optional<SystemCallRecorder> recorder;
};

TEST_F(LaunchTest, RestartRequestsReachCreateProcessAsDocumented) {
    struct Case {
        std::wstring program;
        std::set<std::wstring> existing;
        std::wstring application;
        std::vector<std::wstring> queried;
        std::wstring directory;
    };
    const std::vector<Case> cases = {
        {L"C:\\App\\patcher.exe", {}, L"C:\\App\\patcher.exe", {}, L"C:\\App"},
        {L"C:\\App\\PATCHER.EXE", {}, L"C:\\App\\PATCHER.EXE", {}, L"C:\\App"},
        {L"C:/App/patcher.exe", {}, L"C:/App/patcher.exe", {}, L"C:/App"},
        {L"bin\\patcher.exe", {}, joined(current_directory(), L"bin\\patcher.exe"), {}, L"bin"},
        {L"C:\\App\\patcher",
         {L"C:\\App\\patcher.exe"},
         L"C:\\App\\patcher.exe",
         {L"C:\\App\\patcher.exe"},
         L"C:\\App"},
        {L"C:\\App\\patcher", {}, L"C:\\App\\patcher", {L"C:\\App\\patcher.exe"}, L"C:\\App"},
        {L"patcher.exe",
         {L"C:\\Updater\\patcher.exe", L"C:\\Sys\\patcher.exe"},
         L"C:\\Updater\\patcher.exe",
         {L"C:\\Updater\\patcher.exe"},
         L""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << "program " << to_wtf8(u16(row.program)));
        world().existing = row.existing;
        world().queried.clear();
        const CreateCall call = launched(restart_request(u16(row.program)));
        EXPECT_EQ(call.application, row.application);
        EXPECT_EQ(call.command_line, L"\"" + row.program + L"\"");
        EXPECT_EQ(call.directory, row.directory);
        EXPECT_EQ(world().queried, row.queried);
        EXPECT_FALSE(call.attributes_given);
        EXPECT_EQ(call.inherit, TRUE);
        EXPECT_EQ(call.flags, static_cast<DWORD>(CREATE_UNICODE_ENVIRONMENT));
        EXPECT_EQ(call.environment, nullptr);
        EXPECT_EQ(call.startup.cb, 104u);
        EXPECT_TRUE(call.information_zeroed);
        EXPECT_TRUE(call.lock_held);
    }
}

TEST_F(LaunchTest, ArgumentsFollowTheProgramTextOnTheCommandLine) {
    const CreateCall call = launched({u"C:\\App\\patcher.exe", {u"--flag", u"two words", u""}, std::nullopt});
    EXPECT_EQ(call.command_line, LR"("C:\App\patcher.exe" --flag "two words" "")");
    EXPECT_EQ(call.directory, std::nullopt);
}

TEST_F(LaunchTest, LongApplicationPathGetsThePrefixWhileTheCommandLineKeepsTheText) {
    const std::wstring program = L"C:\\" + std::wstring(240, L'a') + L"\\patcher.exe";  // 255 units
    const CreateCall call = launched(restart_request(u16(program)));
    EXPECT_EQ(call.application, L"\\\\?\\" + program);
    EXPECT_EQ(call.command_line, L"\"" + program + L"\"");
}

TEST_F(LaunchTest, ProgramTextOfMoreThan260UnitsIsPassedUnchanged) {
    const std::wstring program = L"bin\\" + std::wstring(260, L'a') + L".exe";
    const CreateCall call = launched(restart_request(u16(program)));
    EXPECT_EQ(call.application, program);
    EXPECT_EQ(call.command_line, L"\"" + program + L"\"");
}

TEST_F(LaunchTest, StandardHandlesArePassedAsInheritableDuplicates) {
    enum Std { none, invalid, present };
    struct Case {
        std::array<Std, 3> handles;
        DWORD flags;
    };
    const std::vector<Case> cases = {
        {{none, none, none}, 0},
        {{none, invalid, none}, 0},
        {{none, present, none}, STARTF_USESTDHANDLES},
        {{present, present, present}, STARTF_USESTDHANDLES},
        {{present, none, invalid}, STARTF_USESTDHANDLES},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - cases.data()));
        for (std::size_t i = 0; i < 3; ++i)
            g_std_handles[i] = row.handles[i] == present   ? stand_ins.events[i]
                               : row.handles[i] == invalid ? INVALID_HANDLE_VALUE
                                                           : nullptr;
        g_std_requests.clear();
        g_closed_under_lock.clear();
        const CreateCall call = launched(restart_request(u"C:\\App\\patcher.exe"));

        EXPECT_EQ(call.startup.dwFlags, row.flags);
        const std::array<HANDLE, 3> given = {call.startup.hStdInput, call.startup.hStdOutput, call.startup.hStdError};
        for (std::size_t i = 0; i < 3; ++i) {
            if (row.handles[i] != present) {
                EXPECT_EQ(given[i], nullptr) << i;
                continue;
            }
            EXPECT_NE(given[i], nullptr) << i;
            EXPECT_NE(given[i], stand_ins.events[i]) << i;
            EXPECT_TRUE(call.inheritable[i]) << i;
            // Closed before the lock was released.
            EXPECT_NE(std::ranges::find(g_closed_under_lock, given[i]), g_closed_under_lock.end()) << i;
        }
        EXPECT_EQ(g_std_requests, (std::vector<DWORD>{STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}));
        EXPECT_FALSE(g_std_asked_without_lock);
        EXPECT_EQ(recorder->open_resources(), 0u);
    }
}

TEST_F(LaunchTest, CreateProcessFailureGivesItsCodeAndLeavesNothingBehind) {
    g_std_handles = {stand_ins.events[0], stand_ins.events[1], nullptr};
    recorder->fail_call(Call::CreateProcessW, ERROR_ACCESS_DENIED);
    const auto process = launch_process(restart_request(u"C:\\App\\patcher.exe"));
    ASSERT_FALSE(process);
    EXPECT_EQ(process.error(), OsError::from_code(ERROR_ACCESS_DENIED));
    EXPECT_EQ(recorder->count(Call::DuplicateHandle), 2u);
    EXPECT_EQ(recorder->open_resources(), 0u);
    EXPECT_EQ(g_lock_depth, 0);
    EXPECT_EQ(g_closed_under_lock.size(), 2u);

    const CreateCall retried = launched(restart_request(u"C:\\App\\patcher.exe"));
    EXPECT_EQ(retried.application, L"C:\\App\\patcher.exe");
}

TEST_F(LaunchTest, DuplicateFailureGivesItsCodeAndClosesTheDuplicatesMade) {
    g_std_handles = stand_ins.events;
    for (std::size_t failing = 1; failing <= 3; ++failing) {
        SCOPED_TRACE(testing::Message() << "failing duplicate " << failing);
        const std::size_t duplicates_before = recorder->count(Call::DuplicateHandle);
        recorder->fail_call(Call::DuplicateHandle, ERROR_NOT_ENOUGH_MEMORY, duplicates_before + failing);
        const auto process = launch_process(restart_request(u"C:\\App\\patcher.exe"));
        ASSERT_FALSE(process);
        EXPECT_EQ(process.error(), OsError::from_code(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(recorder->count(Call::DuplicateHandle), duplicates_before + failing);
        EXPECT_EQ(recorder->open_resources(), 0u);
        EXPECT_EQ(g_lock_depth, 0);
    }
    EXPECT_EQ(recorder->count(Call::CreateProcessW), 0u);
    EXPECT_TRUE(g_creates.empty());
    launched(restart_request(u"C:\\App\\patcher.exe"));
}

TEST_F(LaunchTest, ScriptRunsUnderTheSystemCommandInterpreter) {
    struct Case {
        std::wstring program;
        std::vector<std::u16string> arguments;
        std::wstring application;
        std::wstring command_line;
    };
    const std::vector<Case> cases = {
        {L"C:\\App\\update.cmd", {}, L"C:\\Sys\\cmd.exe", LR"(cmd.exe /e:ON /v:OFF /d /c ""C:\App\update.cmd"")"},
        {L"C:\\App\\UPDATE.BAT",
         {u"a b", u"x\"y"},
         L"C:\\Sys\\cmd.exe",
         LR"(cmd.exe /e:ON /v:OFF /d /c ""C:\App\UPDATE.BAT" "a b" "x""y"")"},
        // The suffix is tested on the full path, which loses trailing dots;
        // the script path keeps the text.
        {L"C:\\App\\run.cmd.", {}, L"C:\\Sys\\cmd.exe", LR"(cmd.exe /e:ON /v:OFF /d /c ""C:\App\run.cmd."")"},
        // After \\?\ the dot is part of the name: no script.
        {L"\\\\?\\C:\\App\\run.cmd.", {}, L"\\\\?\\C:\\App\\run.cmd.", LR"("\\?\C:\App\run.cmd.")"},
        {L"C:\\App\\run.bat.exe", {}, L"C:\\App\\run.bat.exe", LR"("C:\App\run.bat.exe")"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << "program " << to_wtf8(u16(row.program)));
        const CreateCall call = launched({u16(row.program), row.arguments, u"C:\\App"});
        EXPECT_EQ(call.application, row.application);
        EXPECT_EQ(call.command_line, row.command_line);
        EXPECT_EQ(call.directory, L"C:\\App");
    }
}

TEST_F(LaunchTest, FailuresBeforeTheCallStartNothing) {
    struct Case {
        LaunchRequest request;
        OsError error;
    };
    const std::vector<Case> cases = {
        {{u"", {}, {}}, invalid_input("program path has no file name")},
        {{u"C:\\App\\", {}, {}}, invalid_input("program path has no file name")},
        {{std::u16string(u"pat\0cher.exe", 12), {}, {}}, invalid_input("nul byte found in provided data")},
        {{std::u16string(u"C:\\App\\p\0.exe", 13), {}, {}},
         invalid_input("strings passed to WinAPI cannot contain NULs")},
        {{u"C:\\App\\p.exe", {std::u16string(u"a\0", 2)}, {}}, invalid_input("nul byte found in provided data")},
        {{u"C:\\App\\p.exe", {}, std::u16string(u"C:\\A\0pp", 7)}, invalid_input("nul byte found in provided data")},
        {{u"patcher.exe", {}, u""}, OsError::with_message(OsErrorKind::NotFound, "program not found")},
        {{u"C:\\App\\up\"date.cmd", {}, {}},
         invalid_input("Windows file names may not contain `\"` or end with `\\`")},
        {{u"C:\\App\\update.cmd", {u"two\r\nlines"}, {}}, invalid_input("batch file arguments are invalid")},
    };
    g_std_handles = stand_ins.events;
    for (const Case& row : cases) {
        const auto process = launch_process(row.request);
        ASSERT_FALSE(process) << to_wtf8(row.request.program);
        EXPECT_EQ(process.error(), row.error) << to_wtf8(row.request.program);
    }
    EXPECT_TRUE(g_creates.empty());
    EXPECT_EQ(recorder->count(Call::DuplicateHandle), 0u);
    EXPECT_EQ(recorder->open_resources(), 0u);
    EXPECT_EQ(g_lock_depth, 0);
}

TEST_F(LaunchTest, ScriptInterpreterFolderFailureGivesItsCode) {
    world().system_directory.reset();  // fails with ERROR_ACCESS_DENIED
    const auto process = launch_process(restart_request(u"C:\\App\\update.bat"));
    ASSERT_FALSE(process);
    EXPECT_EQ(process.error(), OsError::from_code(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(g_creates.empty());
}

// C:\App\patcher.exe needs no full path to be the application path; the
// first GetFullPathNameW is the script check's.
TEST_F(LaunchTest, ScriptCheckFullPathFailureGivesItsCode) {
    recorder->fail_call(Call::GetFullPathNameW, ERROR_FILENAME_EXCED_RANGE);
    const auto process = launch_process(restart_request(u"C:\\App\\patcher.exe"));
    ASSERT_FALSE(process);
    EXPECT_EQ(process.error(), OsError::from_code(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(g_creates.empty());
}

TEST_F(LaunchTest, WorkingDirectoryReachesTheSystemInItsPlainForm) {
    struct Case {
        std::optional<std::wstring> given;
        std::optional<std::wstring> passed;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt},
        {L"", L""},
        {L"C:\\App", L"C:\\App"},
        {L"C:/App", L"C:/App"},
        {L"bin", L"bin"},
        {L"\\\\server\\share", L"\\\\server\\share"},
        {L"\\\\?\\C:\\App", L"C:\\App"},
        {L"\\\\?\\C:\\App\\", L"C:\\App\\"},
        {L"\\\\?\\C:\\App\\..\\Other", L"\\\\?\\C:\\App\\..\\Other"},
        {L"\\\\?\\C:\\App/sub", L"\\\\?\\C:\\App/sub"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\server\\share"},
        {L"\\\\?\\", L"\\\\?\\"},
        {L"\\\\?\\UNC\\server\\share\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\a\\..\\b"},
    };
    for (const Case& row : cases) {
        LaunchRequest request{u"C:\\App\\patcher.exe", {}, std::nullopt};
        if (row.given) request.working_directory = u16(*row.given);
        const CreateCall call = launched(request);
        EXPECT_EQ(call.directory, row.passed) << (row.given ? to_wtf8(u16(*row.given)) : "none");
    }
}

}  // namespace
