// A stand-in for the patcher, for the tests and the demo.
//
// Every start appends one line to "patcher-starts.txt" beside the executable:
//   version=<N>|cwd=<working directory>|cmdline=<whole command line>
// Started as
//   stand-in-patcher.exe update <updater> <new> <sha256> [<current>] [<linger ms>]
// it then starts the updater for an update of itself (with its own pid, and
// its own path as --current unless one is given) through the patcher-side
// helper, lingers for the given time, and exits. Any other start only records.
#include <windows.h>

#include <string>
#include <vector>

#include "patcher_updater/start_updater.hpp"

#ifndef STAND_IN_VERSION
#define STAND_IN_VERSION 1
#endif

namespace {

std::wstring module_path() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

void record_start(const std::wstring& self) {
    wchar_t cwd[32768];
    const DWORD cwd_length = ::GetCurrentDirectoryW(32768, cwd);
    const std::string line = "version=" + std::to_string(STAND_IN_VERSION) + "|cwd=" +
                             utf8(std::wstring(cwd, cwd_length)) + "|cmdline=" + utf8(::GetCommandLineW()) + "\n";
    const std::wstring record = self.substr(0, self.find_last_of(L"\\/") + 1) + L"patcher-starts.txt";
    const HANDLE file = ::CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring self = module_path();
    record_start(self);

    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::wstring> args(arguments, arguments + count);
    ::LocalFree(arguments);
    if (args.size() < 5 || args[1] != L"update") return 0;

    const std::wstring& updater = args[2];
    const std::wstring current = args.size() > 5 ? args[5] : self;
    const DWORD linger_ms = args.size() > 6 ? static_cast<DWORD>(std::stoul(args[6])) : 0;
    const DWORD error = patcher_updater::start_updater(updater, ::GetCurrentProcessId(), current, args[3], args[4]);
    if (linger_ms != 0) ::Sleep(linger_ms);
    return static_cast<int>(error);
}
