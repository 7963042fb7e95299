#include "platform/wide_path.h"

#include <gtest/gtest.h>

#include "platform/windows_api.h"
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

TEST(WidePath, RelativePathIsResolvedAndMadeVerbatim) {
    const auto wide = to_wide_path("bin\\patcher.exe", true);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, L"\\\\?\\" + joined(current_directory(), L"bin\\patcher.exe"));
}

TEST(WidePath, ShortRelativePathWithoutVerbatimSwitchIsOnlyResolved) {
    const auto wide = to_wide_path("bin\\patcher.exe", false);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, joined(current_directory(), L"bin\\patcher.exe"));
}

TEST(WidePath, ShortAbsolutePathsReachTheSystemUnchanged) {
    for (const char* path : {"C:\\App\\..\\patcher.exe", "C:/App/patcher.exe", "\\\\server\\share\\x", "C:", ""}) {
        const auto wide = to_wide_path(path, true);
        ASSERT_TRUE(wide) << path;
        EXPECT_EQ(*wide, std::wstring(path, path + std::char_traits<char>::length(path))) << path;
    }
}

TEST(WidePath, LengthLimitIs247UnitsWithoutTheTerminator) {
    const std::string at_limit = "C:\\" + std::string(243, 'a');  // 246 units
    const auto kept = to_wide_path(at_limit, false);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 246u);
    EXPECT_FALSE(kept->starts_with(L"\\\\?\\"));

    const auto prefixed = to_wide_path(at_limit + "a", false);  // 247 units
    ASSERT_TRUE(prefixed);
    EXPECT_EQ(*prefixed, L"\\\\?\\C:\\" + std::wstring(244, L'a'));
}

TEST(WidePath, LongSharePathGetsTheUncForm) {
    const std::string share = "\\\\server\\share\\" + std::string(247 - 15, 'x');
    ASSERT_EQ(share.size(), 247u);
    const auto wide = to_wide_path(share, false);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, L"\\\\?\\UNC\\server\\share\\" + std::wstring(247 - 15, L'x'));
}

TEST(WidePath, VerbatimPathsAreNeverResolved) {
    ScopedSystemCalls scope;
    sys().GetFullPathNameW = [](LPCWSTR, DWORD, LPWSTR, LPWSTR*) -> DWORD {
        ADD_FAILURE() << "GetFullPathNameW called";
        return 0;
    };
    const std::string verbatim = "\\\\?\\C:\\" + std::string(400, 'v');
    const auto wide = to_wide_path(verbatim, true);
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->size(), verbatim.size());
}

TEST(WidePath, NulInThePathIsRefused) {
    const auto wide = to_wide_path(std::string("a\0b", 3), true);
    ASSERT_FALSE(wide);
    EXPECT_EQ(wide.error(), OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT));
}

TEST(WidePath, FullPathFailureGivesItsCode) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetFullPathNameW, ERROR_FILENAME_EXCED_RANGE);
    const auto wide = to_wide_path("relative", true);
    ASSERT_FALSE(wide);
    EXPECT_EQ(wide.error(), OsError::from_code(ERROR_FILENAME_EXCED_RANGE));
}

// The system may report the size it needs, or (like GetModuleFileNameW)
// only that the text was cut; both make the buffer grow until it fits.
TEST(WidePath, BufferGrowsAsTheSystemAsks) {
    ScopedSystemCalls scope;
    static std::vector<DWORD> sizes;
    sizes.clear();
    sys().GetFullPathNameW = [](LPCWSTR, DWORD size, LPWSTR buffer, LPWSTR*) -> DWORD {
        sizes.push_back(size);
        const std::wstring full = L"C:\\" + std::wstring(1500, L'd');
        if (size == 512) return size;  // cut, no room for the terminator
        if (size < full.size() + 1) return static_cast<DWORD>(full.size() + 1);
        full.copy(buffer, full.size());
        buffer[full.size()] = L'\0';
        return static_cast<DWORD>(full.size());
    };
    const auto wide = to_wide_path("relative", false);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, L"\\\\?\\C:\\" + std::wstring(1500, L'd'));
    EXPECT_EQ(sizes, (std::vector<DWORD>{512, 1024, 1504}));
}

}  // namespace
