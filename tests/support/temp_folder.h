#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes out of scope.
class TempFolder {
public:
    explicit TempFolder(std::wstring_view name_hint = L"pu");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::wstring_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Whole-file helpers for test set-up and checks (not the program's own code).
void write_file(const std::filesystem::path& path, std::string_view bytes);
std::optional<std::string> read_file(const std::filesystem::path& path);

// UTF-8 (WTF-8) text of a path, as the program takes it.
std::string utf8(const std::filesystem::path& path);
