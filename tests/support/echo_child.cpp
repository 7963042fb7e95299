// A stand-in for a started program that reports how it was started: its
// command line, its current directory and its arguments as its C runtime
// split them, one per line, as UTF-16. The report goes to launched.txt in its
// current directory, or, when the first argument is "stdout", to its
// standard output.
#include <string>

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    std::wstring report = ::GetCommandLineW();
    report += L'\n';
    wchar_t directory[4096];
    report.append(directory, ::GetCurrentDirectoryW(4096, directory));
    report += L'\n';
    for (int i = 1; i < argc; ++i) (report += argv[i]) += L'\n';

    const bool to_stdout = argc > 1 && std::wstring(argv[1]) == L"stdout";
    HANDLE out = to_stdout ? ::GetStdHandle(STD_OUTPUT_HANDLE)
                           : ::CreateFileW(L"launched.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    const auto bytes = static_cast<DWORD>(report.size() * sizeof(wchar_t));
    const bool complete = ::WriteFile(out, report.data(), bytes, &written, nullptr) && written == bytes;
    if (!to_stdout) ::CloseHandle(out);
    return complete ? 0 : 3;
}
