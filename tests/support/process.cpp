#include "support/process.h"

#include "platform/windows_api.h"

std::optional<std::uint32_t> run_process(const std::filesystem::path& application, const std::wstring& command_line,
                                         const std::filesystem::path& working_directory, std::uint32_t timeout_ms) {
    ChildProcess child(application, command_line, working_directory);
    return child.wait(timeout_ms);
}

std::wstring quoted(const std::filesystem::path& application) { return L"\"" + application.native() + L"\""; }

ChildProcess::ChildProcess(const std::filesystem::path& application, const std::wstring& command_line,
                           const std::filesystem::path& working_directory) {
    std::wstring writable = command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const wchar_t* folder = working_directory.empty() ? nullptr : working_directory.c_str();
    if (!::CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, nullptr, folder, &startup, &info))
        return;
    ::CloseHandle(info.hThread);
    handle_ = info.hProcess;
    pid_ = info.dwProcessId;
}

ChildProcess::~ChildProcess() {
    if (handle_ == nullptr) return;
    if (running()) {
        ::TerminateProcess(handle_, 1);
        ::WaitForSingleObject(handle_, 5000);
    }
    ::CloseHandle(handle_);
}

bool ChildProcess::running() const { return handle_ != nullptr && ::WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }

std::optional<std::uint32_t> ChildProcess::wait(std::uint32_t timeout_ms) {
    if (handle_ == nullptr || ::WaitForSingleObject(handle_, timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(handle_, &code)) return std::nullopt;
    return code;
}

void sleep_ms(std::uint32_t milliseconds) { ::Sleep(milliseconds); }
