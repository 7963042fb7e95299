// Properties of the built executable itself: its PE headers, imports and
// resources, and how an internal fault ends a process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "platform/windows_api.h"
#include "support/build_paths.h"
#include "support/process.h"
#include "support/temp_folder.h"

namespace {

class PeImage {
public:
    explicit PeImage(std::string bytes) : bytes_(std::move(bytes)) {
        const auto& dos = at<IMAGE_DOS_HEADER>(0);
        nt_ = &at<IMAGE_NT_HEADERS64>(static_cast<std::size_t>(dos.e_lfanew));
    }
    const IMAGE_NT_HEADERS64& nt() const { return *nt_; }

    std::set<std::string> imported_dlls() const {
        std::set<std::string> names;
        const auto& directory = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (std::size_t offset = file_offset(directory.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto& descriptor = at<IMAGE_IMPORT_DESCRIPTOR>(offset);
            if (descriptor.Name == 0) break;
            std::string name(&bytes_[file_offset(descriptor.Name)]);
            std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(tolower(c)); });
            names.insert(name);
        }
        return names;
    }

private:
    template <class T>
    const T& at(std::size_t offset) const {
        if (offset + sizeof(T) > bytes_.size()) throw std::out_of_range("PE read past the end");
        return *reinterpret_cast<const T*>(bytes_.data() + offset);
    }
    std::size_t file_offset(DWORD rva) const {
        const auto* section = IMAGE_FIRST_SECTION(nt_);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
                return rva - section->VirtualAddress + section->PointerToRawData;
        throw std::out_of_range("RVA outside every section");
    }

    std::string bytes_;
    const IMAGE_NT_HEADERS64* nt_;
};

PeImage updater_image() {
    auto bytes = read_file(updater_exe());
    if (!bytes) throw std::runtime_error("cannot read the executable");
    return PeImage(std::move(*bytes));
}

TEST(Executable, IsA64BitWindowlessProgramForWindows6) {
    const PeImage image = updater_image();
    EXPECT_EQ(image.nt().FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(image.nt().OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(image.nt().OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(image.nt().OptionalHeader.MajorSubsystemVersion, 6);
    EXPECT_EQ(image.nt().OptionalHeader.MinorSubsystemVersion, 0);
}

TEST(Executable, HasAslrAndDepFlagsAndNoTimeStamp) {
    const PeImage image = updater_image();
    const WORD flags = image.nt().OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_EQ(image.nt().FileHeader.TimeDateStamp, 0u);
}

TEST(Executable, ImportsOnlySystemDlls) {
    const auto dlls = updater_image().imported_dlls();
    EXPECT_TRUE(dlls.contains("kernel32.dll"));
    for (const std::string& dll : dlls)
        EXPECT_TRUE(dll == "kernel32.dll" || dll == "ntdll.dll" || dll == "msvcrt.dll") << dll;
}

class ExecutableResources : public ::testing::Test {
protected:
    void SetUp() override {
        module = ::LoadLibraryExW(updater_exe().c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override { ::FreeLibrary(module); }

    std::string_view resource(LPCWSTR name, LPCWSTR type) const {
        HRSRC found = ::FindResourceW(module, name, type);
        if (found == nullptr) return {};
        HGLOBAL loaded = ::LoadResource(module, found);
        return {static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module, found)};
    }

    HMODULE module = nullptr;
};

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ExecutableResources, IconGroupHoldsSevenPngImages) {
    const std::string_view group = resource(MAKEINTRESOURCEW(32512), RT_GROUP_ICON);
    ASSERT_GE(group.size(), 6u);
    const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(count, 7);
    ASSERT_EQ(group.size(), 6u + 7u * sizeof(IconGroupEntry));
    std::set<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        IconGroupEntry entry;
        std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        sizes.insert(entry.width == 0 ? 256 : entry.width);
        const std::string_view image = resource(MAKEINTRESOURCEW(entry.id), RT_ICON);
        EXPECT_TRUE(image.starts_with("\x89PNG\r\n\x1a\n")) << "icon " << entry.id;
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 128, 256}));
}

TEST_F(ExecutableResources, VersionBlockNamesTheProduct) {
    const std::string_view block = resource(MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    ASSERT_FALSE(block.empty());
    // The fixed part follows the key "VS_VERSION_INFO" and its padding.
    const auto* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(block.data() + 40);
    ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    const std::wstring_view text(reinterpret_cast<const wchar_t*>(block.data()), block.size() / 2);
    for (const wchar_t* key : {L"CompanyName", L"FileDescription", L"ProductName"}) {
        const auto at = text.find(key);
        ASSERT_NE(at, std::wstring_view::npos) << key;
        // The value follows the key, its terminator and padding.
        const auto value = text.substr(at + wcslen(key), 40);
        EXPECT_NE(value.find(L"Kestrel"), std::wstring_view::npos) << key;
    }
    for (const wchar_t* key : {L"FileVersion", L"ProductVersion"}) {
        const auto at = text.find(key);
        ASSERT_NE(at, std::wstring_view::npos) << key;
        EXPECT_NE(text.substr(at + wcslen(key), 8).find(L"1.0.0"), std::wstring_view::npos) << key;
    }
}

TEST_F(ExecutableResources, ManifestAsksForCommonControlsAndNoElevation) {
    const std::string_view manifest = resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string_view::npos);
    EXPECT_NE(manifest.find("requestedExecutionLevel level=\"asInvoker\""), std::string_view::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string_view::npos);
}

// An internal fault ends the process through fail-fast: no clean exit code.
TEST(FailFast, InternalFaultsEndTheProcessWithAFailureStatus) {
    const auto probe = build_file(PU_FAIL_FAST_PROBE_EXE);
    EXPECT_EQ(run_process(probe, quoted(probe)), 0u);  // the probe itself runs
    for (const wchar_t* mode : {L"terminate", L"allocation", L"fatal"}) {
        const auto status = run_process(probe, quoted(probe) + L" " + mode);
        ASSERT_TRUE(status) << mode;
        EXPECT_EQ(*status, 0xC0000409u) << mode;  // STATUS_STACK_BUFFER_OVERRUN: the fail-fast status
    }
}

}  // namespace
