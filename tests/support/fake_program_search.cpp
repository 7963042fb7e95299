#include "support/fake_program_search.h"

namespace {

ProgramSearchWorld* g_world = nullptr;

// The buffer rule of the system's text queries: the needed size (terminator
// included) when the buffer is too small, else the length copied.
DWORD answer(const std::optional<std::wstring>& text, wchar_t* buffer, DWORD size, DWORD missing_error) {
    if (!text) {
        ::SetLastError(missing_error);
        return 0;
    }
    if (text->size() + 1 > size) return static_cast<DWORD>(text->size() + 1);
    text->copy(buffer, text->size());
    buffer[text->size()] = L'\0';
    return static_cast<DWORD>(text->size());
}

}  // namespace

FakeProgramSearch::FakeProgramSearch() {
    g_world = new ProgramSearchWorld{};
    sys().GetModuleFileNameW = [](HMODULE module, LPWSTR buffer, DWORD size) -> DWORD {
        if (module != nullptr) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        return answer(g_world->module_path, buffer, size, ERROR_ACCESS_DENIED);
    };
    sys().GetSystemDirectoryW = [](LPWSTR buffer, UINT size) -> UINT {
        return answer(g_world->system_directory, buffer, size, ERROR_ACCESS_DENIED);
    };
    sys().GetWindowsDirectoryW = [](LPWSTR buffer, UINT size) -> UINT {
        return answer(g_world->windows_directory, buffer, size, ERROR_ACCESS_DENIED);
    };
    sys().GetEnvironmentVariableW = [](LPCWSTR name, LPWSTR buffer, DWORD size) -> DWORD {
        const std::optional<std::wstring> none;
        return answer(std::wstring_view(name) == L"PATH" ? g_world->search_path : none, buffer, size,
                      ERROR_ENVVAR_NOT_FOUND);
    };
    sys().GetFileAttributesW = [](LPCWSTR path) -> DWORD {
        g_world->queried.emplace_back(path);
        if (g_world->existing.contains(path)) return FILE_ATTRIBUTE_ARCHIVE;
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    };
}

FakeProgramSearch::~FakeProgramSearch() {
    delete g_world;
    g_world = nullptr;
}

ProgramSearchWorld& FakeProgramSearch::world() { return *g_world; }

std::wstring in_current_directory(std::wstring_view relative) {
    std::wstring folder(::GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    if (!folder.ends_with(L'\\')) folder += L'\\';
    return folder += relative;
}
