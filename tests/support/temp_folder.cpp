#include "support/temp_folder.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/wide_path.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"

TempFolder::TempFolder(std::wstring_view name_hint) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    const std::filesystem::path base(std::wstring(temp, length));
    for (;;) {
        std::wstring name(name_hint);
        name += L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L"-" +
                std::to_wstring(::GetTickCount64() % 100000);
        path_ = base / name;
        if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Read-only entries would stop the removal.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
        ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string utf8(const std::filesystem::path& path) { return to_wtf8(as_u16(path.native())); }
