// Started as "patcher.exe update <sha256>", updates itself to patcher.exe.download
// through the updater beside it and exits; started without arguments (as the
// updater restarts it), writes "restarted" to restarted.txt beside itself.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "patcher_updater/start_updater.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), 32768));
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
    const std::wstring request(arguments);
    if (request.empty()) return std::ofstream(std::filesystem::path(folder + L"restarted.txt")) << "restarted" ? 0 : 1;
    if (!request.starts_with(L"update ")) return 2;
    return static_cast<int>(patcher_updater::start_updater(folder + L"patcher-updater.exe", ::GetCurrentProcessId(), self,
                                                           patcher_updater::replacement_path_for(self),
                                                           request.substr(7)));
}
