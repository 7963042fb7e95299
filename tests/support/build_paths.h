#pragma once

#include <filesystem>
#include <string_view>

// A file of the build tree (a Linux path known when the tests were built) as
// Wine shows it: on drive Z:.
inline std::filesystem::path build_file(std::string_view linux_path) {
    std::wstring path = L"Z:";
    for (char c : linux_path) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

inline std::filesystem::path updater_exe() { return build_file(PU_UPDATER_EXE); }
