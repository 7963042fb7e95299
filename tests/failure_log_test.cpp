#include "failure_log.h"

#include <gtest/gtest.h>

#include "platform/current_exe_path.h"
#include "platform/wide_text.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"

namespace {

// Runs with the current directory set to a fresh folder.
class FailureLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::GetCurrentDirectoryW(MAX_PATH, saved_);
        ::SetCurrentDirectoryW(folder.path().c_str());
    }
    void TearDown() override { ::SetCurrentDirectoryW(saved_); }

    TempFolder folder{L"failure-log"};
    wchar_t saved_[MAX_PATH];
};

TEST_F(FailureLogTest, WithoutTheExecutablePathTheLogGoesToTheCurrentDirectory) {
    {
        SystemCallRecorder recorder;
        recorder.fail_call(Call::GetModuleFileNameW, ERROR_NOT_ENOUGH_MEMORY);
        write_failure_log(ErrorChain::from_message("missing --pid"));
        EXPECT_EQ(recorder.open_resources(), 0u);
    }
    EXPECT_EQ(read_file(folder / L"patcher-updater.log"), "missing --pid");
}

TEST_F(FailureLogTest, EmptyExecutablePathHasNoParentSoTheLogIsRelative) {
    {
        ScopedSystemCalls scope;
        sys().GetModuleFileNameW = [](HMODULE, LPWSTR, DWORD) -> DWORD {
            ::SetLastError(0);
            return 0;
        };
        write_failure_log(ErrorChain::from_message("relative"));
    }
    EXPECT_EQ(read_file(folder / L"patcher-updater.log"), "relative");
}

TEST_F(FailureLogTest, LogLiesBesideTheExecutableWhateverItsName) {
    {
        ScopedSystemCalls scope;
        static std::wstring exe;
        exe = (folder / L"sub" / L"upd.exe").native();
        std::filesystem::create_directory(folder / L"sub");
        sys().GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
            exe.copy(buffer, size);
            if (exe.size() >= size) return size;
            buffer[exe.size()] = L'\0';
            return static_cast<DWORD>(exe.size());
        };
        write_failure_log(ErrorChain::with_context("cannot install the new patcher executable",
                                                   OsError::with_message(OsErrorKind::InvalidInput, "fixed")));
    }
    EXPECT_EQ(read_file(folder / L"sub" / L"patcher-updater.log"), "cannot install the new patcher executable: fixed");
    EXPECT_FALSE(std::filesystem::exists(folder / L"patcher-updater.log"));
}

// Wine copies a cut path without a terminator and returns the buffer size;
// the buffer doubles until the whole path fits.
TEST(CurrentExePath, BufferDoublesUntilThePathFits) {
    ScopedSystemCalls scope;
    static std::wstring exe;
    static std::vector<DWORD> sizes;
    exe = L"C:\\" + std::wstring(1300, L'p') + L"\\" + std::wstring(1, static_cast<wchar_t>(0xD800)) + L".exe";
    sizes.clear();
    sys().GetModuleFileNameW = [](HMODULE module, LPWSTR buffer, DWORD size) -> DWORD {
        EXPECT_EQ(module, nullptr);
        sizes.push_back(size);
        exe.copy(buffer, size);
        if (exe.size() >= size) {
            ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        buffer[exe.size()] = L'\0';
        return static_cast<DWORD>(exe.size());
    };
    const auto path = current_exe_path();
    ASSERT_TRUE(path);
    // The lone surrogate survives.
    EXPECT_EQ(to_utf16(*path), std::u16string(reinterpret_cast<const char16_t*>(exe.data()), exe.size()));
    EXPECT_EQ(sizes, (std::vector<DWORD>{512, 1024, 2048}));
}

TEST(CurrentExePath, FailureGivesTheCode) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetModuleFileNameW, ERROR_NOT_ENOUGH_MEMORY);
    const auto path = current_exe_path();
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error(), OsError::from_code(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(CurrentExePath, IsTheRealPathOfThisProgram) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const auto path = current_exe_path();
    ASSERT_TRUE(path);
    EXPECT_EQ(to_utf16(*path), std::u16string(reinterpret_cast<const char16_t*>(buffer), length));
}

}  // namespace
