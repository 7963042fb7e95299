#include "platform/fail_fast.h"

#include "platform/system_calls.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

void fail_fast() {
#if defined(_MSC_VER)
    __fastfail(FAST_FAIL_FATAL_APP_EXIT);
#else
    // mingw has no __fastfail: the same interrupt, with the code in ecx.
    asm volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT) : "memory");
    __builtin_unreachable();
#endif
}

void fatal_runtime_error(std::string_view text) {
    const HANDLE error_output = sys().GetStdHandle(STD_ERROR_HANDLE);
    if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        sys().WriteFile(error_output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        sys().WriteFile(error_output, "\n", 1, &written, nullptr);
    }
    fail_fast();
}
