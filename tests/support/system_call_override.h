#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/system_calls.h"

// Names every entry of the system-call table.
enum class Call : std::uint8_t {
#define PU_CALL_ID(name) name,
    PU_SYSTEM_CALLS(PU_CALL_ID)
#undef PU_CALL_ID
    Count
};

std::string_view call_name(Call call);

// Saves the system-call table and restores it when the scope ends. Replace
// entries through sys() in between.
class ScopedSystemCalls {
public:
    ScopedSystemCalls() : saved_(sys()) {}
    ~ScopedSystemCalls() { sys() = saved_; }
    ScopedSystemCalls(const ScopedSystemCalls&) = delete;
    ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

private:
    SystemCalls saved_;
};

// Wraps every entry of the table in force (real or already faked) for the
// length of its scope: numbers the calls, fails chosen ones with a chosen code
// (Win32 code, or NTSTATUS for the Nt calls), and tracks every handle and heap
// block that the program opens so that a test can check all were closed.
// GetLastError, SetLastError, GetCurrentProcess and GetCommandLineW cannot
// fail and are neither numbered nor failed.
class SystemCallRecorder {
public:
    SystemCallRecorder();
    ~SystemCallRecorder();
    SystemCallRecorder(const SystemCallRecorder&) = delete;
    SystemCallRecorder& operator=(const SystemCallRecorder&) = delete;

    // Fails the k-th numbered call (1-based) with `code`.
    void fail_nth_call(std::size_t k, std::uint32_t code);
    // Fails the `occurrence`-th call (1-based) of `call` with `code`.
    void fail_call(Call call, std::uint32_t code, std::size_t occurrence = 1);
    // Runs `action` (e.g. ExitProcess) instead of the k-th numbered call.
    void on_nth_call(std::size_t k, void (*action)(std::size_t k));

    std::size_t count(Call call) const;
    // The numbered calls made so far, in order.
    const std::vector<Call>& calls() const;
    // Handles, directory searches and heap blocks opened and not yet closed.
    std::size_t open_resources() const;

    // Whether a call can be made to fail.
    static bool can_fail(Call call);

    struct State;

private:
    SystemCalls saved_;
};
