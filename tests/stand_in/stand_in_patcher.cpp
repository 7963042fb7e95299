// A stand-in for the patcher, for the tests and the demo. Each start appends
// "version=N|cwd=<working directory>|cmdline=<command line>" to patcher-starts.txt
// beside it. `patcher.exe update <updater> <new> <sha256> [<current>]` starts the
// updater for an update of itself (named <current>, or by its own path; an
// empty <new>: the download target that replacement_path_for names),
// stays a second (when it started one) so that the updater must wait for it,
// appends "version=N|exit" and exits with the helper's result.
#include <windows.h>

#include <string>

#include "patcher_updater/start_updater.hpp"

namespace {

void record(const std::wstring& self, std::wstring line) {
    const std::wstring path = self.substr(0, self.find_last_of(L"\\/") + 1) + L"patcher-starts.txt";
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, 7, nullptr, OPEN_ALWAYS, 0, nullptr);
    line += L'\n';
    char bytes[65536];
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), bytes, sizeof bytes, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes, DWORD(size), &written, nullptr);
    ::CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring self(32768, L'\0'), cwd(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), 32768));
    cwd.resize(::GetCurrentDirectoryW(32768, cwd.data()));
    const std::wstring version = L"version=" + std::to_wstring(STAND_IN_VERSION);
    record(self, version + L"|cwd=" + cwd + L"|cmdline=" + ::GetCommandLineW());
    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (count < 5 || count > 6 || std::wstring_view(args[1]) != L"update") return 0;
    const std::wstring current = count == 6 ? args[5] : self;
    const std::wstring replacement = *args[3] ? args[3] : patcher_updater::replacement_path_for(current);
    const DWORD error = patcher_updater::start_updater(args[2], ::GetCurrentProcessId(), current, replacement, args[4]);
    if (error == 0) ::Sleep(1000);
    record(self, version + L"|exit");
    return static_cast<int>(error);
}
