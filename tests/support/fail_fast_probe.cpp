// A small program for tests. Given "terminate", "allocation" or "fatal" it
// meets an internal fault on purpose, so that tests see how the process ends;
// given "sleep N" it stays for N milliseconds (a process to wait for); given
// nothing it exits 0.
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/fail_fast.h"
#include "platform/windows_api.h"
#include "runtime_support.h"

int wmain(int argc, wchar_t** argv) {
    install_runtime_support();
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"terminate") std::terminate();
    if (mode == L"allocation") {
        // More than any address space holds: operator new must fail.
        std::vector<char> huge;
        huge.reserve(static_cast<std::size_t>(1) << 62);
        return huge.capacity() == 0 ? 3 : 4;
    }
    if (mode == L"fatal") fatal_runtime_error("fatal runtime error: probe");
    if (mode == L"sleep" && argc > 2) ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return 0;
}
