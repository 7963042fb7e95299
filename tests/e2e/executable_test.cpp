// The built executable's headers, imports and resources, and how an internal fault ends a process.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/windows_api.h"
#include "support/harness.h"

namespace {

class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        constexpr DWORD AS_DATA = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
        module = ::LoadLibraryExW(updater_file(PU_UPDATER_EXE).c_str(), nullptr, AS_DATA);
        ASSERT_NE(module, nullptr);
        image = reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(module) & ~std::uintptr_t{3});
    }
    void TearDown() override { ::FreeLibrary(module); }
    std::string_view resource(LPCWSTR name, LPCWSTR type) const {
        const HRSRC found = ::FindResourceW(module, name, type);
        if (!found) return {};
        return {static_cast<const char*>(::LockResource(::LoadResource(module, found))),
                ::SizeofResource(module, found)};
    }
    HMODULE module = nullptr;
    const char* image = nullptr;  // the module handle without its tag bits
};

TEST_F(Executable, IsAWindowless64BitProgramWithAslrDepNoTimeStampAndOnlySystemImports) {
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const auto& optional = nt->OptionalHeader;
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->FileHeader.TimeDateStamp, 0u);
    EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(std::pair(optional.MajorSubsystemVersion, optional.MinorSubsystemVersion), std::pair(WORD{6}, WORD{0}));
    constexpr WORD HARDENING = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                               IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
    EXPECT_EQ(optional.DllCharacteristics & HARDENING, HARDENING);
    std::set<std::string> dlls;
    const DWORD imports = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image + imports); entry->Name != 0; ++entry) {
        std::string name = image + entry->Name;
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
        dlls.insert(name);
    }
    EXPECT_TRUE(dlls.contains("kernel32.dll"));
    EXPECT_TRUE(std::ranges::includes(std::set<std::string>{"kernel32.dll", "msvcrt.dll", "ntdll.dll"}, dlls));
}

// The icon group: a 6-byte header, then 14-byte entries, width first and icon id last.
TEST_F(Executable, ResourcesHoldSevenPngIconsAVersionAndTheManifest) {
    const std::string_view group = resource(MAKEINTRESOURCEW(32512), RT_GROUP_ICON);
    ASSERT_EQ(group.size(), 6u + 7u * 14u);
    std::set<int> sizes;
    for (std::size_t entry = 6; entry < group.size(); entry += 14) {
        sizes.insert(group[entry] == 0 ? 256 : static_cast<unsigned char>(group[entry]));
        const auto id = static_cast<unsigned char>(group[entry + 12]);
        EXPECT_TRUE(resource(MAKEINTRESOURCEW(id), RT_ICON).starts_with("\x89PNG\r\n\x1a\n"));
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 128, 256}));

    // The version block (a copy: VerQueryValueW may write to it).
    std::string block(resource(MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION));
    const auto value = [&](const std::wstring& name) -> const void* {
        void* found = nullptr;
        UINT size = 0;
        return ::VerQueryValueW(block.data(), name.c_str(), &found, &size) && size > 0 ? found : L"-";
    };
    const auto text = [&](std::wstring name) {
        return std::wstring(static_cast<const wchar_t*>(value(L"\\StringFileInfo\\040904B0\\" + name)));
    };
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value(L"\\"));
    EXPECT_EQ(std::pair(fixed->dwFileVersionMS, fixed->dwFileVersionLS), std::pair(0x10000ul, 0ul));
    EXPECT_EQ(std::pair(fixed->dwProductVersionMS, fixed->dwProductVersionLS), std::pair(0x10000ul, 0ul));
    EXPECT_EQ(text(L"FileVersion") + L"|" + text(L"ProductVersion"), L"1.0.0|1.0.0");
    for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"ProductName"})
        EXPECT_TRUE(text(name).contains(L"Kestrel")) << utf8(name);
    const std::string_view manifest = resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    EXPECT_TRUE(manifest.contains(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"));
    EXPECT_TRUE(manifest.contains(R"(requestedExecutionLevel level="asInvoker")"));
    EXPECT_TRUE(manifest.contains("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"));  // Windows 10
}

TEST(FailFast, InternalFaultsEndTheProcessWithTheFailFastStatus) {
    const auto probe = build_file(PU_FAIL_FAST_PROBE_EXE);
    EXPECT_EQ(run_process(probe, L"p"), 0u);
    for (const wchar_t* mode : {L"terminate", L"allocation", L"fatal"})
        EXPECT_EQ(run_process(probe, std::wstring(L"p ") + mode), 0xC0000409u) << utf8(mode);
}

}  // namespace
