#include "support/harness.h"

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "platform/wide_text.h"
#include "platform/windows_api.h"

std::filesystem::path build_file(std::string_view path) {
    std::wstring wide = path.starts_with('/') ? L"Z:" : L"";
    for (const char c : path) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}

std::filesystem::path updater_file(std::string_view built) {
    const char* chosen = std::getenv("PU_UPDATER_EXE");
    return build_file(chosen != nullptr ? chosen : built);
}

TempFolder::TempFolder(std::wstring_view hint) {
    static unsigned counter = 0;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    do {
        path_ = base / (std::wstring(hint) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                        std::to_wstring(++counter));
    } while (!::CreateDirectoryW(path_.c_str(), nullptr));
}

namespace {

// Removes a tree through verbatim paths, so that paths deeper than 260 units
// and read-only files go too; a link is removed, never followed.
void remove_tree(const std::wstring& path) {
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

}  // namespace

TempFolder::~TempFolder() { remove_tree(L"\\\\?\\" + path_.native()); }

void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string utf8(const std::filesystem::path& path) {
    return to_wtf8(std::u16string_view(reinterpret_cast<const char16_t*>(path.c_str()), path.native().size()));
}

std::string describe(std::initializer_list<std::filesystem::path> paths, std::string_view v1, std::string_view v2) {
    std::string text;
    for (const auto& path : paths) {
        const auto bytes = std::filesystem::is_directory(path) ? std::optional<std::string>("dir") : read_file(path);
        text += (text.empty() ? "" : " ") + (!bytes ? "-" : *bytes == v1 ? "1" : *bytes == v2 ? "2" : *bytes);
    }
    return text;
}

std::string os_error_display(std::uint32_t code) {
    wchar_t buffer[2048];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                          buffer, 2048, nullptr);
    std::string text = utf8(std::wstring(buffer, length));
    while (!text.empty() && std::string_view(" \t\n\f\r").contains(text.back())) text.pop_back();
    return text + " (os error " + std::to_string(static_cast<std::int32_t>(code)) + ")";
}

std::wstring expand(std::wstring text, std::initializer_list<std::pair<std::wstring_view, std::wstring>> names) {
    for (std::size_t at = 0; (at = text.find(L'{', at)) != std::wstring::npos;) {
        const std::size_t end = text.find(L'}', at);
        const std::wstring key = text.substr(at + 1, end - at - 1);
        const auto named = std::ranges::find(names, key, &std::pair<std::wstring_view, std::wstring>::first);
        const std::u16string system = std::iswdigit(key[0]) ? to_utf16(os_error_display(std::stoul(key))) : u"";
        const std::wstring value = named != names.end()    ? named->second
                                   : std::iswdigit(key[0]) ? std::wstring(system.begin(), system.end())
                                                           : L"{" + key + L"}";  // an unknown name stays
        text.replace(at, end + 1 - at, value);
        at += value.size();
    }
    return text;
}

ChildProcess::ChildProcess(const std::filesystem::path& application, std::wstring line,
                           const std::filesystem::path& working_directory) {
    job_ = ::CreateJobObjectW(nullptr, nullptr);
    port_ = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT link{job_, port_};
    ::SetInformationJobObject(job_, JobObjectAssociateCompletionPortInformation, &link, sizeof link);
    STARTUPINFOW startup{.cb = sizeof(STARTUPINFOW)};
    PROCESS_INFORMATION info{};
    // A start that fails never ran the program: under load Wine now and then refuses one, so try again.
    for (int attempt = 0; attempt < 3; ++attempt)
        if (::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS | CREATE_SUSPENDED, nullptr,
                             working_directory.empty() ? nullptr : working_directory.c_str(), &startup, &info)) {
            process_ = info.hProcess;
            pid_ = info.dwProcessId;
            // Outside the job it could not be waited for: ended, it reads as a failed start (exit code 1).
            if (!::AssignProcessToJobObject(job_, process_))
                ::TerminateProcess(process_, 1), ::WaitForSingleObject(process_, INFINITE), all_ended_ = true;
            ::ResumeThread(info.hThread), ::CloseHandle(info.hThread);
            return;
        }
}

ChildProcess::~ChildProcess() {
    if (process_ != nullptr) {
        ::TerminateJobObject(job_, 1);
        (void)wait_for_all(60000);
        ::CloseHandle(process_);
    }
    ::CloseHandle(port_);
    ::CloseHandle(job_);
}

std::optional<std::uint32_t> ChildProcess::wait_for_all(std::uint32_t limit_ms) {
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
