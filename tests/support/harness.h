#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// A file of the build tree; a Linux path (a cross build under Wine) on drive Z:.
std::filesystem::path build_file(std::string_view path);
// The updater under test: the one built, or the file that PU_UPDATER_EXE names (a signed copy).
std::filesystem::path updater_file(std::string_view built);

// A fresh folder under the temporary folder, removed with all in it when the object goes.
class TempFolder {
public:
    explicit TempFolder(std::wstring_view hint);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::wstring_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view bytes);
std::optional<std::string> read_file(const std::filesystem::path& path);
std::string utf8(const std::filesystem::path& path);  // WTF-8, as the program holds paths
// Each path as "1" or "2" (it holds that version), "-" (nothing there), "dir" or its content.
std::string describe(std::initializer_list<std::filesystem::path> paths, std::string_view v1, std::string_view v2);

// The log's text for a system error on this machine: FormatMessageW's, trimmed, then " (os error N)".
std::string os_error_display(std::uint32_t code);
// `text` with each "{name}" of `names` replaced by its value and each "{N}" by os_error_display(N).
std::wstring expand(std::wstring text, std::initializer_list<std::pair<std::wstring_view, std::wstring>> names = {});

// A process started in a job of its own, so that all it starts (the updater,
// the restarted patcher) is in the job too; the destructor ends them all and
// waits until they are gone.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& application, std::wstring command_line,
                 const std::filesystem::path& working_directory = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    std::uint32_t pid() const { return pid_; }
    // The exit code once the child and all it started have ended (a limit only against a hung process).
    std::optional<std::uint32_t> wait_for_all(std::uint32_t limit_ms = 240000);

private:
    void *process_ = nullptr, *job_ = nullptr, *port_ = nullptr;
    std::uint32_t pid_ = 0;
    bool all_ended_ = false;
};

inline std::optional<std::uint32_t> run_process(const std::filesystem::path& application, std::wstring command_line,
                                                const std::filesystem::path& working_directory = {}) {
    return ChildProcess(application, std::move(command_line), working_directory).wait_for_all();
}
