#include "support/process.h"

#include "platform/windows_api.h"

std::optional<std::uint32_t> run_process(const std::filesystem::path& application, const std::wstring& command_line,
                                         const std::filesystem::path& working_directory, std::uint32_t timeout_ms) {
    ChildProcess child(application, command_line, working_directory);
    if (!child.wait_for_all(timeout_ms)) return std::nullopt;
    return child.wait(0);
}

std::wstring quoted(const std::filesystem::path& application) { return L"\"" + application.native() + L"\""; }

// The child starts suspended and joins the job before it runs, so that all it
// starts is in the job; the job reports on its port when none is left.
ChildProcess::ChildProcess(const std::filesystem::path& application, const std::wstring& command_line,
                           const std::filesystem::path& working_directory) {
    job_ = ::CreateJobObjectW(nullptr, nullptr);
    port_ = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT link{job_, port_};
    if (job_ == nullptr || port_ == nullptr ||
        !::SetInformationJobObject(job_, JobObjectAssociateCompletionPortInformation, &link, sizeof link))
        return;
    std::wstring writable = command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const wchar_t* folder = working_directory.empty() ? nullptr : working_directory.c_str();
    if (!::CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, folder, &startup,
                          &info))
        return;
    if (!::AssignProcessToJobObject(job_, info.hProcess)) {
        ::TerminateProcess(info.hProcess, 1);
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
        return;
    }
    ::ResumeThread(info.hThread);
    ::CloseHandle(info.hThread);
    handle_ = info.hProcess;
    pid_ = info.dwProcessId;
}

ChildProcess::~ChildProcess() {
    if (handle_ != nullptr) {
        ::TerminateJobObject(job_, 1);
        wait_for_all(60000);
        ::CloseHandle(handle_);
    }
    if (port_ != nullptr) ::CloseHandle(port_);
    if (job_ != nullptr) ::CloseHandle(job_);
}

bool ChildProcess::running() const { return handle_ != nullptr && ::WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }

std::optional<std::uint32_t> ChildProcess::wait(std::uint32_t timeout_ms) {
    if (handle_ == nullptr || ::WaitForSingleObject(handle_, timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(handle_, &code)) return std::nullopt;
    return code;
}

bool ChildProcess::wait_for_all(std::uint32_t timeout_ms) {
    if (handle_ == nullptr) return false;
    const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
    while (!all_ended_) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (!::GetQueuedCompletionStatus(port_, &message, &key, &overlapped, static_cast<DWORD>(deadline - now)))
            return false;
        all_ended_ = message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO;
    }
    return true;
}

void sleep_ms(std::uint32_t milliseconds) { ::Sleep(milliseconds); }
