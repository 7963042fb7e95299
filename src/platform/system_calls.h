#pragma once

#include "platform/windows_api.h"

// Every Windows function that the program calls, in one table. The real
// functions are the default; a test replaces entries for the length of a scope
// (see tests/support/seam.h) to make a call fail with a chosen
// code, count calls or track handles. The list doubles as the inventory of the
// program's system calls.
#define PU_SYSTEM_CALLS(X)           \
    X(AcquireSRWLockExclusive)       \
    X(CloseHandle)                   \
    X(CreateFileW)                   \
    X(CreateHardLinkW)               \
    X(CreateMutexW)                  \
    X(CreateProcessW)                \
    X(DeleteFileW)                   \
    X(DuplicateHandle)               \
    X(FindClose)                     \
    X(FindFirstFileExW)              \
    X(FormatMessageW)                \
    X(GetCommandLineW)               \
    X(GetCurrentProcess)             \
    X(GetEnvironmentVariableW)       \
    X(GetFileAttributesW)            \
    X(GetFileInformationByHandle)    \
    X(GetFileInformationByHandleEx)  \
    X(GetFullPathNameW)              \
    X(GetLastError)                  \
    X(GetModuleFileNameW)            \
    X(GetModuleHandleW)              \
    X(GetProcessHeap)                \
    X(GetProcessTimes)               \
    X(GetStdHandle)                  \
    X(GetSystemDirectoryW)           \
    X(GetWindowsDirectoryW)          \
    X(HeapAlloc)                     \
    X(HeapFree)                      \
    X(MoveFileExW)                   \
    X(NtReadFile)                    \
    X(NtWriteFile)                   \
    X(OpenProcess)                   \
    X(ReleaseMutex)                  \
    X(ReleaseSRWLockExclusive)       \
    X(RtlNtStatusToDosError)         \
    X(SetDefaultDllDirectories)      \
    X(SetFileInformationByHandle)    \
    X(SetLastError)                  \
    X(WaitForSingleObject)           \
    X(WriteFile)

struct SystemCalls {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument is a function name, declared as a member
#define PU_DECLARE_SYSTEM_CALL(name) decltype(&::name) name = &::name;
    PU_SYSTEM_CALLS(PU_DECLARE_SYSTEM_CALL)
#undef PU_DECLARE_SYSTEM_CALL
};

// The table in force. Program code calls through it: sys().CreateFileW(...).
SystemCalls& sys();
