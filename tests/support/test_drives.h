#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/windows_api.h"

// The test prefix under Wine maps drive R: to a folder on the build's volume
// (a drive root) and S: to /dev/shm (another volume). On Windows those drives
// are not set up, and tests that need them are skipped.
inline bool running_under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#define PU_REQUIRE_TEST_DRIVE(root)                                                           \
    do {                                                                                      \
        if (!std::filesystem::is_directory(root)) {                                           \
            if (running_under_wine()) FAIL() << "scripts/wine-prefix.sh sets up " << (root);  \
            GTEST_SKIP() << "no test drive " << (root);                                       \
        }                                                                                     \
    } while (false)
