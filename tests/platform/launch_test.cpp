#include "platform/launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/application_path.h"
#include "platform/command_line_text.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"
#include "support/fake_program_search.h"
#include "support/system_call_override.h"

namespace {

// What one CreateProcessW call was given, copied while the call ran.
struct CreateCall {
    std::optional<std::wstring> application;
    std::optional<std::wstring> command_line;
    std::optional<std::wstring> directory;
    STARTUPINFOW startup{};
    std::array<bool, 3> inheritable{};
};

std::vector<CreateCall> g_creates;
std::array<HANDLE, 3> g_std_handles{};  // input, output, error
std::vector<DWORD> g_std_requests;
int g_lock_depth = 0;
std::vector<HANDLE> g_closed_under_lock;

std::optional<std::wstring> text_of(const wchar_t* text) {
    if (text == nullptr) return std::nullopt;
    return std::wstring(text);
}

bool is_inheritable(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && ::GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

// Checks what every launch passes alike, records the rest, and answers with real handles to close.
BOOL WINAPI fake_create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
                                LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
    EXPECT_EQ(std::tuple(process_attributes, thread_attributes, inherit, flags, environment, startup->cb),
              std::tuple(nullptr, nullptr, TRUE, DWORD{CREATE_UNICODE_ENVIRONMENT}, nullptr, 104u));
    const PROCESS_INFORMATION zero{};
    EXPECT_EQ(std::memcmp(information, &zero, sizeof zero), 0);
    EXPECT_EQ(g_lock_depth, 1);
    g_creates.push_back({text_of(application), text_of(command_line), text_of(directory), *startup,
                         {is_inheritable(startup->hStdInput), is_inheritable(startup->hStdOutput),
                          is_inheritable(startup->hStdError)}});
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &information->hProcess, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &information->hThread, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    return TRUE;
}

std::u16string u16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

const LaunchRequest PLAIN_REQUEST{u"C:\\App\\patcher.exe", {}, u"C:\\App"};

OsError invalid_input(std::string_view text) { return OsError::with_message(OsErrorKind::InvalidInput, text); }

// CreateProcessW, the standard handles, the launch lock and the program search faked.
class LaunchTest : public ::testing::Test {
protected:
    LaunchTest() {
        g_creates.clear();
        g_std_handles = {};
        g_lock_depth = 0;
        for (HANDLE& event : stand_ins) event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        sys().CreateProcessW = &fake_create_process;
        sys().GetStdHandle = [](DWORD id) -> HANDLE {
            EXPECT_EQ(g_lock_depth, 1);
            g_std_requests.push_back(id);
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
    ~LaunchTest() override {
        for (HANDLE event : stand_ins) ::CloseHandle(event);
    }

    // What the one CreateProcessW call of a successful launch was given.
    CreateCall launched(const LaunchRequest& request) {
        const std::size_t before = g_creates.size();
        const auto process = launch_process(request);
        EXPECT_TRUE(process) << (process ? "" : process.error().message());
        EXPECT_EQ(g_lock_depth, 0);
        if (g_creates.size() == before + 1) return g_creates.back();
        ADD_FAILURE() << "no CreateProcessW call";
        return {};
    }

    // Stand-ins for the updater's standard handles: not inheritable.
    std::array<HANDLE, 3> stand_ins{};
    FakeProgramSearch search;
    std::optional<SystemCallRecorder> recorder;
};

// Per handle: p present, x INVALID_HANDLE_VALUE, - none.
TEST_F(LaunchTest, StandardHandlesArePassedAsInheritableDuplicatesClosedUnderTheLock) {
    for (const std::string_view row : {"---", "-x-", "-p-", "ppp", "p-x"}) {
        SCOPED_TRACE(row);
        for (std::size_t i = 0; i < 3; ++i)
            g_std_handles[i] = row[i] == 'p' ? stand_ins[i] : row[i] == 'x' ? INVALID_HANDLE_VALUE : nullptr;
        g_std_requests.clear();
        g_closed_under_lock.clear();
        const CreateCall call = launched(PLAIN_REQUEST);
        EXPECT_EQ(call.startup.dwFlags, row.contains('p') ? STARTF_USESTDHANDLES : 0u);
        const std::array<HANDLE, 3> given = {call.startup.hStdInput, call.startup.hStdOutput, call.startup.hStdError};
        for (std::size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(given[i] == nullptr, row[i] != 'p');
            EXPECT_EQ(call.inheritable[i], row[i] == 'p');
            if (row[i] == 'p') EXPECT_NE(given[i], stand_ins[i]);
            if (row[i] == 'p') EXPECT_NE(std::ranges::find(g_closed_under_lock, given[i]), g_closed_under_lock.end());
        }
        EXPECT_EQ(g_std_requests, (std::vector<DWORD>{STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}));
        EXPECT_EQ(recorder->open_resources(), 0u);
    }
}

// The command line keeps the text; a script's suffix is judged on the full path, which drops trailing dots.
TEST_F(LaunchTest, ProgramsReachCreateProcessAsTheResolvedApplicationAndScriptsRunUnderCmd) {
    const std::wstring deep = L"C:\\" + std::wstring(240, L'a') + L"\\patcher.exe";  // 255 units
    search.world().existing = {L"C:\\App\\patcher.exe"};
    const std::tuple<std::wstring, std::vector<std::u16string>, std::wstring, std::wstring> cases[] = {
        {L"C:\\App\\patcher.exe", {u"--flag", u"two words", u""}, L"C:\\App\\patcher.exe",
         LR"("C:\App\patcher.exe" --flag "two words" "")"},
        {L"C:\\App\\patcher", {}, L"C:\\App\\patcher.exe", LR"("C:\App\patcher")"},
        {deep, {}, L"\\\\?\\" + deep, L"\"" + deep + L"\""},
        {L"C:\\App\\update.cmd", {}, L"C:\\Sys\\cmd.exe", LR"(cmd.exe /e:ON /v:OFF /d /c ""C:\App\update.cmd"")"},
        {L"C:\\App\\UPDATE.BAT", {u"a b", u"x\"y"}, L"C:\\Sys\\cmd.exe",
         LR"(cmd.exe /e:ON /v:OFF /d /c ""C:\App\UPDATE.BAT" "a b" "x""y"")"},
        {L"C:\\App\\run.cmd.", {}, L"C:\\Sys\\cmd.exe", LR"(cmd.exe /e:ON /v:OFF /d /c ""C:\App\run.cmd."")"},
        {L"\\\\?\\C:\\App\\run.cmd.", {}, L"\\\\?\\C:\\App\\run.cmd.", LR"("\\?\C:\App\run.cmd.")"},
        {L"C:\\App\\run.bat.exe", {}, L"C:\\App\\run.bat.exe", LR"("C:\App\run.bat.exe")"}};
    for (const auto& [program, arguments, application, command_line] : cases) {
        SCOPED_TRACE(to_wtf8(u16(program)));
        const CreateCall call = launched({u16(program), arguments, std::nullopt});
        EXPECT_EQ(call.application, application);
        EXPECT_EQ(call.command_line, command_line);
    }
}

// Each row fails at another step (a faked call with the error's code); the next launch still works.
TEST_F(LaunchTest, FailuresGiveTheirErrorAndLeaveNothingBehind) {
    using enum Call;
    const OsError nul_in_data = invalid_input(NUL_IN_DATA_TEXT);
    struct Case {
        LaunchRequest request;
        OsError error;
        std::optional<Call> failing = std::nullopt;
        std::size_t nth = 1;         // of the failing call's calls in the launch
        std::size_t duplicates = 0;  // asked for; all but a failing one are made
    };
    const std::vector<Case> cases = {
        {{u"", {}, {}}, invalid_input(NO_FILE_NAME_TEXT)},
        {{u"patcher.exe", {}, u""}, OsError::with_message(OsErrorKind::NotFound, PROGRAM_NOT_FOUND_TEXT)},
        {{u"C:\\App\\p.exe", {std::u16string(u"a\0", 2)}, {}}, nul_in_data},
        {{u"C:\\App\\p.exe", {}, std::u16string(u"C:\\A\0pp", 7)}, nul_in_data},
        {{u"C:\\App\\up\"date.cmd", {}, {}}, invalid_input(SCRIPT_PATH_QUOTE_TEXT)},
        {{u"C:\\App\\update.cmd", {u"two\r\nlines"}, {}}, invalid_input(SCRIPT_ARGUMENT_TEXT)},
        {{u"C:\\App\\update.bat", {}, {}}, OsError::from_code(ERROR_ACCESS_DENIED), GetSystemDirectoryW},
        // The script check's full path: C:\App\patcher.exe needs none before.
        {PLAIN_REQUEST, OsError::from_code(ERROR_FILENAME_EXCED_RANGE), GetFullPathNameW},
        {PLAIN_REQUEST, OsError::from_code(ERROR_NOT_ENOUGH_MEMORY), DuplicateHandle, 1, 1},
        {PLAIN_REQUEST, OsError::from_code(ERROR_NOT_ENOUGH_MEMORY), DuplicateHandle, 2, 2},
        {PLAIN_REQUEST, OsError::from_code(ERROR_NOT_ENOUGH_MEMORY), DuplicateHandle, 3, 3},
        {PLAIN_REQUEST, OsError::from_code(ERROR_ACCESS_DENIED), CreateProcessW, 1, 3},
    };
    g_std_handles = stand_ins;
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - cases.data()));
        const std::size_t duplicates = recorder->count(DuplicateHandle), creates = recorder->count(CreateProcessW);
        g_closed_under_lock.clear();
        if (row.failing) recorder->fail_call(*row.failing, row.error.code(), recorder->count(*row.failing) + row.nth);
        EXPECT_EQ(launch_process(row.request), std::unexpected(row.error));
        EXPECT_EQ(recorder->count(DuplicateHandle) - duplicates, row.duplicates);
        EXPECT_EQ(g_closed_under_lock.size(), row.failing == DuplicateHandle ? row.duplicates - 1 : row.duplicates);
        EXPECT_EQ(recorder->count(CreateProcessW) - creates, row.failing == CreateProcessW ? 1u : 0u);
        EXPECT_EQ(recorder->open_resources(), 0u);
        EXPECT_EQ(g_lock_depth, 0);
    }
    EXPECT_TRUE(g_creates.empty());
    EXPECT_EQ(launched(PLAIN_REQUEST).application, L"C:\\App\\patcher.exe");
}

// A \\?\ directory loses its prefix only when the plain form names the same folder.
TEST_F(LaunchTest, WorkingDirectoryReachesTheSystemInItsPlainForm) {
    const std::pair<std::optional<std::wstring>, std::optional<std::wstring>> cases[] = {
        {std::nullopt, std::nullopt}, {L"", L""}, {L"C:\\App", L"C:\\App"},
        {L"\\\\?\\C:\\App", L"C:\\App"}, {L"\\\\?\\C:\\App\\", L"C:\\App\\"},
        {L"\\\\?\\C:\\App\\..\\Other", L"\\\\?\\C:\\App\\..\\Other"}, {L"\\\\?\\C:\\App/sub", L"\\\\?\\C:\\App/sub"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\server\\share"}, {L"\\\\?\\", L"\\\\?\\"},
        {L"\\\\?\\UNC\\server\\share\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\a\\..\\b"}};
    for (const auto& [given, passed] : cases) {
        SCOPED_TRACE(given ? to_wtf8(u16(*given)) : "none");
        LaunchRequest request{u"C:\\App\\patcher.exe", {}, std::nullopt};
        if (given) request.working_directory = u16(*given);
        EXPECT_EQ(launched(request).directory, passed);
    }
}

}  // namespace
