#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/system_calls.h"

enum class Call : std::uint8_t {
#define PU_CALL_ID(name) name,
    PU_SYSTEM_CALLS(PU_CALL_ID)
#undef PU_CALL_ID
};

// Restores the system-call table when the scope ends; replace entries through sys() in between.
class ScopedSystemCalls {
public:
    ScopedSystemCalls() : saved_(sys()) {}
    ~ScopedSystemCalls() { sys() = saved_; }
    ScopedSystemCalls(const ScopedSystemCalls&) = delete;
    ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

private:
    SystemCalls saved_;
};

// Wraps every entry in force (real or faked) for its scope. It numbers the calls that can fail (not the
// last-error, lock, heap-handle and command-line ones), fails chosen ones with a chosen code (an NTSTATUS for
// the Nt calls), can run an action before call k, and keeps the handles and heap blocks not yet closed.
class Recorder : ScopedSystemCalls {
public:
    Recorder();
    ~Recorder();
    // Fails the k-th numbered call, or the n-th call of `call`.
    void fail_at(std::size_t k, std::uint32_t code) { fail_at_ = {k, code}; }
    void fail(Call call, std::uint32_t code, std::size_t n = 1) { failures_.push_back({call, n, code}); }
    void before(std::size_t k, std::function<void()> action) { action_ = {k, std::move(action)}; }

    std::vector<Call> calls;
    std::set<void*> open;
    std::vector<std::uint32_t> open_flags;                 // of every CreateFileW
    bool planned_failure(Call call, std::uint32_t& code);  // for the wrappers

private:
    std::vector<std::tuple<Call, std::size_t, std::uint32_t>> failures_;
    std::pair<std::size_t, std::uint32_t> fail_at_{};
    std::pair<std::size_t, std::function<void()>> action_{};
};

// Replaces CreateProcessW for the caller's scope: each start is recorded as "application|command line|directory"
// ("-": none), then "|no-inherit" when no handle is inherited and "|std" for an inheritable standard output.
std::vector<std::wstring>& fake_process_starts();
