// The built executable's PE headers, imports and resources, and how an internal fault ends a process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "platform/windows_api.h"
#include "support/build_paths.h"
#include "support/process.h"
#include "support/temp_folder.h"  // utf8

namespace {

// The updater mapped as an image (sections at their addresses) for its headers, imports and resources.
class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        constexpr DWORD AS_IMAGE = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
        module = ::LoadLibraryExW(updater_exe().c_str(), nullptr, AS_IMAGE);
        ASSERT_NE(module, nullptr);
        // The load flags tag the handle's two low bits.
        image = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(module) & ~std::uintptr_t{3});
        nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image +
                                                         reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    }
    void TearDown() override { ::FreeLibrary(module); }

    std::string_view resource(LPCWSTR name, LPCWSTR type) const {
        const HRSRC found = ::FindResourceW(module, name, type);
        return found ? std::string_view(static_cast<const char*>(::LockResource(::LoadResource(module, found))),
                                        ::SizeofResource(module, found))
                     : std::string_view();
    }

    HMODULE module = nullptr;
    const char* image = nullptr;
    const IMAGE_NT_HEADERS64* nt = nullptr;
};

TEST_F(Executable, IsA64BitWindowlessProgramForWindows6WithAslrDepAndNoTimeStamp) {
    constexpr int HARDENING = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                              IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->FileHeader.TimeDateStamp, 0u);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(nt->OptionalHeader.MajorSubsystemVersion, 6);
    EXPECT_EQ(nt->OptionalHeader.MinorSubsystemVersion, 0);
    EXPECT_EQ(nt->OptionalHeader.DllCharacteristics & HARDENING, HARDENING);
}

TEST_F(Executable, ImportsOnlySystemDlls) {
    std::set<std::string> dlls;
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image + imports); entry->Name != 0; ++entry) {
        std::string name = image + entry->Name;
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        dlls.insert(name);
    }
    EXPECT_TRUE(dlls.contains("kernel32.dll"));
    EXPECT_TRUE(std::ranges::includes(std::set<std::string>{"kernel32.dll", "msvcrt.dll", "ntdll.dll"}, dlls))
        << testing::PrintToString(dlls);
}

// The group is a 6-byte header with the count at byte 4, then 14-byte entries: width first, icon id last.
TEST_F(Executable, IconGroupHoldsSevenPngImages) {
    const std::string_view group = resource(MAKEINTRESOURCEW(32512), RT_GROUP_ICON);
    ASSERT_EQ(group.size(), 6u + 7u * 14u);
    EXPECT_EQ(group.substr(4, 2), std::string_view("\7\0", 2));
    std::set<int> sizes;
    for (std::size_t entry = 6; entry < group.size(); entry += 14) {
        sizes.insert(group[entry] == 0 ? 256 : static_cast<unsigned char>(group[entry]));
        const int id = static_cast<unsigned char>(group[entry + 12]) | group[entry + 13] << 8;  // ids stay below 128
        EXPECT_TRUE(resource(MAKEINTRESOURCEW(id), RT_ICON).starts_with("\x89PNG\r\n\x1a\n")) << "icon " << id;
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 128, 256}));
}

TEST_F(Executable, VersionBlockNamesTheProduct) {
    const std::string_view block = resource(MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    ASSERT_GT(block.size(), 40u + sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(block.data() + 40);  // after "VS_VERSION_INFO"
    ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(std::pair(fixed->dwFileVersionMS, fixed->dwFileVersionLS), std::pair(0x00010000ul, 0ul));
    EXPECT_EQ(std::pair(fixed->dwProductVersionMS, fixed->dwProductVersionLS), std::pair(0x00010000ul, 0ul));
    const std::wstring_view text(reinterpret_cast<const wchar_t*>(block.data()), block.size() / 2);
    const std::pair<std::wstring, std::wstring> strings[] = {
        {L"CompanyName", L"Kestrel"}, {L"FileDescription", L"Kestrel"}, {L"ProductName", L"Kestrel"},
        {L"FileVersion", L"1.0.0"},   {L"ProductVersion", L"1.0.0"}};
    for (const auto& [key, value] : strings) {  // the value follows the key's terminator and padding
        const std::wstring one = key + L'\0' + value, two = key + L'\0' + L'\0' + value;
        EXPECT_TRUE(text.contains(one) || text.contains(two)) << utf8(key);
    }
}

TEST_F(Executable, ManifestAsksForCommonControlsAndNoElevation) {
    const std::string_view manifest = resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    EXPECT_TRUE(manifest.contains("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_TRUE(manifest.contains("requestedExecutionLevel level=\"asInvoker\""));
    EXPECT_TRUE(manifest.contains("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"));
}

// An internal fault ends the process through fail-fast: no clean exit code.
TEST(FailFast, InternalFaultsEndTheProcessWithAFailureStatus) {
    const auto probe = build_file(PU_FAIL_FAST_PROBE_EXE);
    EXPECT_EQ(run_process(probe, quoted(probe)), 0u);  // the probe itself runs
    for (const wchar_t* mode : {L"terminate", L"allocation", L"fatal"})
        EXPECT_EQ(run_process(probe, quoted(probe) + L" " + mode), 0xC0000409u) << utf8(mode);  // the fail-fast status
}

}  // namespace
