#include "support/system_call_override.h"

#include <array>
#include <set>
#include <tuple>
#include <type_traits>

namespace {

template <Call id>
struct Entry;
#define PU_CALL_ENTRY(name)                                              \
    template <>                                                          \
    struct Entry<Call::name> {                                           \
        static auto& of(SystemCalls& table) { return table.name; }       \
    };
PU_SYSTEM_CALLS(PU_CALL_ENTRY)
#undef PU_CALL_ENTRY

struct Failure {
    Call call;
    std::size_t occurrence;
    std::uint32_t code;
};

}  // namespace

struct SystemCallRecorder::State {
    SystemCalls originals;
    std::vector<Call> calls;
    std::array<std::size_t, static_cast<std::size_t>(Call::Count)> counts{};
    std::size_t fail_nth = 0;
    std::uint32_t fail_nth_code = 0;
    std::vector<Failure> failures;
    std::size_t action_k = 0;
    void (*action)(std::size_t) = nullptr;
    std::set<void*> open;

    std::optional<std::uint32_t> failure_code(Call call, std::size_t n, std::size_t occurrence) const {
        if (fail_nth != 0 && n == fail_nth) return fail_nth_code;
        for (const Failure& failure : failures)
            if (failure.call == call && failure.occurrence == occurrence) return failure.code;
        return std::nullopt;
    }
};

namespace {

SystemCallRecorder::State* g_state = nullptr;

template <Call id, class R>
R failure_value(std::uint32_t code) {
    if constexpr (id == Call::NtReadFile || id == Call::NtWriteFile) {
        return static_cast<NTSTATUS>(code);
    } else {
        ::SetLastError(code);
        if constexpr (std::is_void_v<R>) {
            return;
        } else if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW || id == Call::GetStdHandle) {
            return INVALID_HANDLE_VALUE;
        } else if constexpr (id == Call::GetFileAttributesW) {
            return INVALID_FILE_ATTRIBUTES;
        } else if constexpr (id == Call::WaitForSingleObject) {
            return WAIT_FAILED;
        } else {
            return R{};
        }
    }
}

template <Call id, class... A>
void forget_closed(const std::tuple<A...>& args) {
    if constexpr (id == Call::CloseHandle || id == Call::FindClose) g_state->open.erase(std::get<0>(args));
    if constexpr (id == Call::HeapFree) g_state->open.erase(std::get<2>(args));
}

template <Call id, class R, class... A>
void remember_opened(const R& result, const std::tuple<A...>& args) {
    auto& open = g_state->open;
    if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW) {
        if (result != INVALID_HANDLE_VALUE) open.insert(result);
    } else if constexpr (id == Call::OpenProcess || id == Call::HeapAlloc) {
        if (result != nullptr) open.insert(result);
    } else if constexpr (id == Call::DuplicateHandle) {
        if (result) open.insert(*std::get<3>(args));
    } else if constexpr (id == Call::CreateProcessW) {
        if (result) {
            open.insert(std::get<9>(args)->hProcess);
            open.insert(std::get<9>(args)->hThread);
        }
    }
}

template <Call id, class Fn>
struct Wrapper;

template <Call id, class R, class... A>
struct Wrapper<id, R (*)(A...)> {
    static R call(A... args) {
        SystemCallRecorder::State& state = *g_state;
        const auto original = Entry<id>::of(state.originals);
        if (!SystemCallRecorder::can_fail(id)) return original(args...);

        state.calls.push_back(id);
        const std::size_t n = state.calls.size();
        const std::size_t occurrence = ++state.counts[static_cast<std::size_t>(id)];
        if (state.action != nullptr && n == state.action_k) state.action(n);
        const auto arguments = std::make_tuple(args...);
        forget_closed<id>(arguments);
        if (const auto code = state.failure_code(id, n, occurrence)) return failure_value<id, R>(*code);
        if constexpr (std::is_void_v<R>) {
            original(args...);
        } else {
            R result = original(args...);
            remember_opened<id>(result, arguments);
            return result;
        }
    }
};

}  // namespace

std::string_view call_name(Call call) {
    switch (call) {
#define PU_CALL_NAME(name) \
    case Call::name: return #name;
        PU_SYSTEM_CALLS(PU_CALL_NAME)
#undef PU_CALL_NAME
    case Call::Count: break;
    }
    return "?";
}

bool SystemCallRecorder::can_fail(Call call) {
    switch (call) {
    case Call::AcquireSRWLockExclusive:
    case Call::ReleaseSRWLockExclusive:
    case Call::GetLastError:
    case Call::SetLastError:
    case Call::GetCurrentProcess:
    case Call::GetCommandLineW:
    case Call::GetProcessHeap:
    case Call::RtlNtStatusToDosError: return false;
    default: return true;
    }
}

SystemCallRecorder::SystemCallRecorder() : saved_(sys()) {
    g_state = new State{};
    g_state->originals = saved_;
#define PU_INSTALL(name) sys().name = &Wrapper<Call::name, decltype(&::name)>::call;
    PU_SYSTEM_CALLS(PU_INSTALL)
#undef PU_INSTALL
}

SystemCallRecorder::~SystemCallRecorder() {
    sys() = saved_;
    delete g_state;
    g_state = nullptr;
}

void SystemCallRecorder::fail_nth_call(std::size_t k, std::uint32_t code) {
    g_state->fail_nth = k;
    g_state->fail_nth_code = code;
}

void SystemCallRecorder::fail_call(Call call, std::uint32_t code, std::size_t occurrence) {
    g_state->failures.push_back({call, occurrence, code});
}

void SystemCallRecorder::on_nth_call(std::size_t k, void (*action)(std::size_t)) {
    g_state->action_k = k;
    g_state->action = action;
}

std::size_t SystemCallRecorder::count(Call call) const { return g_state->counts[static_cast<std::size_t>(call)]; }

const std::vector<Call>& SystemCallRecorder::calls() const { return g_state->calls; }

std::size_t SystemCallRecorder::open_resources() const { return g_state->open.size(); }
