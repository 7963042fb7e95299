#include "platform/launch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/wide_path.h"
#include "platform/windows_api.h"
#include "support/build_paths.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

std::filesystem::path echo_child() { return build_file(PU_ECHO_CHILD_EXE); }

std::u16string u16(const std::filesystem::path& path) { return std::u16string(as_u16(path.native())); }

// The child's report: UTF-16 lines.
std::vector<std::wstring> report_lines(std::string_view bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The exit code of the started child, or none when it did not end within a
// minute (a hung child, not a slow one). Closes the process handle, then the
// thread handle, as the update does.
std::optional<DWORD> exit_code(LaunchedProcess& launched) {
    std::optional<DWORD> result;
    if (::WaitForSingleObject(launched.process.get(), 60000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (::GetExitCodeProcess(launched.process.get(), &code)) result = code;
    }
    launched.process.reset();
    launched.thread.reset();
    return result;
}

std::string read_pipe(HANDLE pipe) {
    std::string bytes;
    char buffer[4096];
    DWORD count = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count != 0) bytes.append(buffer, count);
    return bytes;
}

class LaunchChildTest : public ::testing::Test {
protected:
    TempFolder folder{L"launch"};
};

TEST_F(LaunchChildTest, RestartStartsTheProgramInItsOwnFolder) {
    const std::filesystem::path patcher = folder / L"patcher.exe";
    ASSERT_TRUE(std::filesystem::copy_file(echo_child(), patcher));
    auto launched = launch_process({u16(patcher), {}, u16(folder.path())});
    ASSERT_TRUE(launched) << launched.error().code();
    EXPECT_EQ(exit_code(*launched), 0u);
    const auto report = read_file(folder / L"launched.txt");
    ASSERT_TRUE(report);
    EXPECT_EQ(report_lines(*report), (std::vector<std::wstring>{L"\"" + patcher.native() + L"\"", folder.path()}));
}

// The child's C runtime splits the command line back into the arguments, and
// writes them to the standard output that the updater had: a pipe whose
// write end the test alone holds, not inheritable, so only the launch's
// inheritable duplicate can reach the child.
TEST_F(LaunchChildTest, ArgumentsAndStandardOutputReachTheChild) {
    HANDLE read_end = nullptr;
    static HANDLE write_end = nullptr;
    ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    ScopedSystemCalls scope;
    sys().GetStdHandle = [](DWORD id) -> HANDLE { return id == STD_OUTPUT_HANDLE ? write_end : nullptr; };

    const std::vector<std::u16string> arguments = {u"stdout",    u"two words", u"quote\"inside", u"back\\\\\"slash",
                                                   u"trailing\\", u"",          u"C:\\my dir\\"};
    auto launched = launch_process({u16(echo_child()), arguments, u16(folder.path())});
    ::CloseHandle(write_end);
    ASSERT_TRUE(launched) << launched.error().code();
    const std::string report = read_pipe(read_end);
    ::CloseHandle(read_end);
    EXPECT_EQ(exit_code(*launched), 0u);

    const std::vector<std::wstring> lines = report_lines(report);
    ASSERT_EQ(lines.size(), 2 + arguments.size());
    EXPECT_EQ(lines[1], folder.path());
    for (std::size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(u16(lines[2 + i]), arguments[i]) << i;
}

TEST_F(LaunchChildTest, ScriptRunsUnderTheCommandInterpreter) {
    write_file(folder / L"run.bat", "@echo ran> ran.txt\r\n");
    auto launched = launch_process({u16(folder / L"run.bat"), {}, u16(folder.path())});
    ASSERT_TRUE(launched) << launched.error().code();
    EXPECT_EQ(exit_code(*launched), 0u);
    const auto ran = read_file(folder / L"ran.txt");
    ASSERT_TRUE(ran);
    EXPECT_TRUE(ran->starts_with("ran")) << *ran;
}

TEST_F(LaunchChildTest, SystemRefusalGivesItsCodeAndLeavesNothingOpen) {
    write_file(folder / L"text.exe", "not a program");
    struct Case {
        std::filesystem::path program;
        std::filesystem::path working_directory;
        DWORD code;
    };
    const std::vector<Case> cases = {
        {folder / L"missing.exe", folder.path(), ERROR_FILE_NOT_FOUND},
        {folder / L"text.exe", folder.path(), ERROR_BAD_EXE_FORMAT},
        {echo_child(), folder / L"missing", ERROR_DIRECTORY},
    };
    for (const Case& row : cases) {
        SystemCallRecorder recorder;
        const auto launched = launch_process({u16(row.program), {}, u16(row.working_directory)});
        ASSERT_FALSE(launched) << row.program;
        EXPECT_EQ(launched.error(), OsError::from_code(row.code)) << row.program;
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
}

}  // namespace
