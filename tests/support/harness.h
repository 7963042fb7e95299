// Files, texts and processes for the Windows tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/wide_text.h"
#include "platform/windows_api.h"

// A file of the build tree; a Linux path (a cross build under Wine) on drive Z:.
inline std::filesystem::path build_file(std::string_view path) {
    std::wstring wide = path.starts_with('/') ? L"Z:" : L"";
    for (const char c : path) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}

// The updater under test: the one built, or the file that PU_UPDATER_EXE names (a signed copy).
inline std::filesystem::path updater_file(const char* built) {
    const char* chosen = std::getenv("PU_UPDATER_EXE");
    return build_file(chosen != nullptr ? chosen : built);
}

// Removes a tree through verbatim paths, so that paths deeper than 260 units and read-only files go too;
// a link is removed, never followed.
inline void remove_tree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            const std::wstring child = path + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW(child.c_str());
            else if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                ::RemoveDirectoryW(child.c_str());
            else
                remove_tree(child);
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

// A fresh folder under the temporary folder, removed with all in it when the object goes.
class TempFolder {
public:
    explicit TempFolder(std::wstring_view hint) {
        static unsigned counter = 0;
        const std::wstring base = std::filesystem::temp_directory_path() / hint;
        do {
            path_ = base + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        } while (!::CreateDirectoryW(path_.c_str(), nullptr));
    }
    ~TempFolder() { remove_tree(L"\\\\?\\" + path_.native()); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::wstring_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// WTF-8, as the program holds paths.
inline std::string utf8(const std::filesystem::path& path) {
    return to_wtf8(std::u16string_view(reinterpret_cast<const char16_t*>(path.c_str()), path.native().size()));
}

// Each path as "1" or "2" (it holds that version), "-" (nothing there), "dir" or its content.
inline std::string describe(std::initializer_list<std::filesystem::path> paths, std::string_view v1,
                            std::string_view v2) {
    std::string text;
    for (const auto& path : paths) {
        const auto bytes = std::filesystem::is_directory(path) ? std::optional<std::string>("dir") : read_file(path);
        text += (text.empty() ? "" : " ") + (!bytes ? "-" : *bytes == v1 ? "1" : *bytes == v2 ? "2" : *bytes);
    }
    return text;
}

// The log's text for a system error on this machine: FormatMessageW's, trimmed, then " (os error N)".
inline std::wstring system_text(std::uint32_t code) {
    wchar_t buffer[2048];
    constexpr DWORD FROM_SYSTEM = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    std::wstring text(buffer, ::FormatMessageW(FROM_SYSTEM, nullptr, code, 0, buffer, 2048, nullptr));
    while (!text.empty() && std::wstring_view(L" \t\n\f\r").contains(text.back())) text.pop_back();
    return text + L" (os error " + std::to_wstring(static_cast<std::int32_t>(code)) + L")";
}

inline std::string os_error_display(std::uint32_t code) { return utf8(system_text(code)); }

// `text` with each "{name}" of `names` replaced by its value and each "{N}" by system_text(N); an unknown
// name stays.
inline std::wstring expand(std::wstring text,
                           std::initializer_list<std::pair<std::wstring_view, std::wstring>> names = {}) {
    for (std::size_t at = 0; (at = text.find(L'{', at)) != std::wstring::npos;) {
        const std::size_t end = text.find(L'}', at);
        const std::wstring key = text.substr(at + 1, end - at - 1);
        const auto named = std::ranges::find(names, key, &std::pair<std::wstring_view, std::wstring>::first);
        const std::wstring value = named != names.end()    ? named->second
                                   : std::iswdigit(key[0]) ? system_text(std::stoul(key))
                                                           : L"{" + key + L"}";
        text.replace(at, end + 1 - at, value);
        at += value.size();
    }
    return text;
}

// A process in a job of its own, with all it starts (the updater, the restarted patcher); the destructor
// ends them all and waits until they are gone.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& application, std::wstring line) {
        job_ = ::CreateJobObjectW(nullptr, nullptr);
        port_ = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT link{job_, port_};
        ::SetInformationJobObject(job_, JobObjectAssociateCompletionPortInformation, &link, sizeof link);
        STARTUPINFOW startup{.cb = sizeof(STARTUPINFOW)};
        PROCESS_INFORMATION info{};
        constexpr DWORD FLAGS = CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS | CREATE_SUSPENDED;
        // A start that fails never ran the program: under load Wine now and then refuses one, so try again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, FLAGS, nullptr, nullptr,
                                  &startup, &info))
                continue;
            process_ = info.hProcess;
            pid_ = info.dwProcessId;
            // Outside the job it could not be waited for: ended, it reads as a failed start (exit code 1).
            if (!::AssignProcessToJobObject(job_, process_)) {
                ::TerminateProcess(process_, 1);
                ::WaitForSingleObject(process_, INFINITE);
                all_ended_ = true;
            }
            ::ResumeThread(info.hThread);
            ::CloseHandle(info.hThread);
            return;
        }
    }
    ~ChildProcess() {
        if (process_ != nullptr) {
            ::TerminateJobObject(job_, 1);
            (void)wait_for_all(60000);
            ::CloseHandle(process_);
        }
        ::CloseHandle(port_);
        ::CloseHandle(job_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    std::uint32_t pid() const { return pid_; }
    // The exit code once the child and all it started have ended (a limit only against a hung process).
    std::optional<std::uint32_t> wait_for_all(std::uint32_t limit_ms = 240000) {
        while (process_ != nullptr && !all_ended_) {
            DWORD message = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            if (!::GetQueuedCompletionStatus(port_, &message, &key, &overlapped, limit_ms)) return std::nullopt;
            all_ended_ = message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO;
        }
        DWORD code = 0;
        if (process_ == nullptr || !::GetExitCodeProcess(process_, &code)) return std::nullopt;
        return code;
    }

private:
    HANDLE process_ = nullptr;
    HANDLE job_ = nullptr;
    HANDLE port_ = nullptr;
    std::uint32_t pid_ = 0;
    bool all_ended_ = false;
};

inline std::optional<std::uint32_t> run_process(const std::filesystem::path& application, std::wstring line) {
    return ChildProcess(application, std::move(line)).wait_for_all();
}
