#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/system_call_override.h"

// What the program search sees, faked through the system-call seam for the
// length of a scope: the updater's own path, the system and Windows
// directories, the PATH variable and which paths exist. A query whose text is
// none fails with ERROR_ACCESS_DENIED (PATH: ERROR_ENVVAR_NOT_FOUND, as when
// the variable is absent). GetFileAttributesW records every path it is asked
// about. One instance at a time; install a SystemCallRecorder after it to
// count or fail these calls as well.
struct ProgramSearchWorld {
    std::optional<std::wstring> module_path = L"C:\\Updater\\patcher-updater.exe";
    std::optional<std::wstring> system_directory = L"C:\\Sys";
    std::optional<std::wstring> windows_directory = L"C:\\Win";
    std::optional<std::wstring> search_path;
    std::set<std::wstring> existing;
    std::vector<std::wstring> queried;
};

class FakeProgramSearch {
public:
    FakeProgramSearch();
    ~FakeProgramSearch();
    FakeProgramSearch(const FakeProgramSearch&) = delete;
    FakeProgramSearch& operator=(const FakeProgramSearch&) = delete;

    ProgramSearchWorld& world();

private:
    ScopedSystemCalls scope_;
};

// `relative` joined to the current directory, as the system resolves it.
std::wstring in_current_directory(std::wstring_view relative);
