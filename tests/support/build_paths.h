#pragma once

#include <filesystem>
#include <string_view>

// A file of the build tree, whose path is known when the tests are built. A
// Linux path (a cross build run under Wine) is shown on drive Z:, as Wine
// maps it; a Windows path is used as it is.
inline std::filesystem::path build_file(std::string_view path) {
    std::wstring wide = path.starts_with('/') ? L"Z:" : L"";
    for (char c : path) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}

inline std::filesystem::path updater_exe() { return build_file(PU_UPDATER_EXE); }
