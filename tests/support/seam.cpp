#include "support/seam.h"

#include <algorithm>
#include <tuple>
#include <type_traits>

namespace {

SystemCalls g_wrapped;  // the table that the recorder wraps
Recorder* g_recorder = nullptr;

constexpr bool numbered(Call call) {
    using enum Call;
    return call != AcquireSRWLockExclusive && call != ReleaseSRWLockExclusive && call != GetLastError &&
           call != SetLastError && call != GetCurrentProcess && call != GetCommandLineW && call != GetProcessHeap &&
           call != RtlNtStatusToDosError;
}

// What a failed call returns: the failure value of its kind, with the code as
// its last error (or as its status).
template <Call id, class R>
R failure_value(std::uint32_t code) {
    if constexpr (id == Call::NtReadFile || id == Call::NtWriteFile) return static_cast<NTSTATUS>(code);
    ::SetLastError(code);
    if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW || id == Call::GetStdHandle)
        return INVALID_HANDLE_VALUE;
    else if constexpr (id == Call::GetFileAttributesW)
        return INVALID_FILE_ATTRIBUTES;
    else if constexpr (id == Call::WaitForSingleObject)
        return WAIT_FAILED;
    else if constexpr (!std::is_void_v<R>)
        return R{};
}

// Adds what a successful call opened to the open set, and drops what it closed.
template <Call id, class R, class... A>
void track(std::set<void*>& open, const R& result, const std::tuple<A...>& args) {
    using std::get;
    if constexpr (id == Call::CloseHandle || id == Call::FindClose) open.erase(get<0>(args));
    if constexpr (id == Call::HeapFree) open.erase(get<2>(args));
    if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW)
        if (result != INVALID_HANDLE_VALUE) open.insert(result);
    if constexpr (id == Call::OpenProcess || id == Call::HeapAlloc)
        if (result != nullptr) open.insert(result);
    if constexpr (id == Call::DuplicateHandle)
        if (result) open.insert(*get<3>(args));
    if constexpr (id == Call::CreateProcessW)
        if (result) open.insert({get<9>(args)->hProcess, get<9>(args)->hThread});
}

template <Call id, auto slot, class Fn>
struct Wrapper;

template <Call id, auto slot, class R, class... A>
struct Wrapper<id, slot, R (*)(A...)> {
    static R call(A... args) {
        Recorder& r = *g_recorder;
        if constexpr (id == Call::CreateFileW) r.open_flags.push_back(std::get<5>(std::tie(args...)));
        if constexpr (numbered(id)) {
            if (std::uint32_t code = 0; r.planned_failure(id, code)) {
                // A failed close still lets the handle go, as the system's own does.
                if constexpr (id == Call::CloseHandle || id == Call::FindClose || id == Call::HeapFree) {
                    (g_wrapped.*slot)(args...);
                    track<id>(r.open, R{}, std::make_tuple(args...));
                }
                return failure_value<id, R>(code);
            }
        }
        if constexpr (std::is_void_v<R>) {
            (g_wrapped.*slot)(args...);
        } else {
            R result = (g_wrapped.*slot)(args...);
            const DWORD last_error = ::GetLastError();
            track<id>(r.open, result, std::make_tuple(args...));
            ::SetLastError(last_error);
            return result;
        }
    }
};

}  // namespace

Recorder::Recorder() {
    g_wrapped = sys();
    g_recorder = this;
#define PU_WRAP(name) sys().name = &Wrapper<Call::name, &SystemCalls::name, decltype(&::name)>::call;
    PU_SYSTEM_CALLS(PU_WRAP)
#undef PU_WRAP
}

Recorder::~Recorder() { g_recorder = nullptr; }

bool Recorder::planned_failure(Call call, std::uint32_t& code) {
    calls.push_back(call);
    if (calls.size() == action_.first) action_.second();
    const auto n = static_cast<std::size_t>(std::ranges::count(calls, call));
    code = fail_at_.second;
    if (calls.size() == fail_at_.first) return true;
    const auto planned =
        std::ranges::find_if(failures_, [&](const auto& f) { return get<0>(f) == call && get<1>(f) == n; });
    if (planned == failures_.end()) return false;
    code = get<2>(*planned);
    return true;
}

std::vector<std::wstring>& fake_process_starts() {
    static std::vector<std::wstring> starts;
    starts.clear();
    sys().CreateProcessW = [](LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                              BOOL inherit, DWORD, LPVOID, LPCWSTR directory, LPSTARTUPINFOW startup,
                              LPPROCESS_INFORMATION info) -> BOOL {
        DWORD flags = 0;
        const bool std_inherited =
            (startup->dwFlags & STARTF_USESTDHANDLES) && ::GetHandleInformation(startup->hStdOutput, &flags);
        starts.push_back(std::wstring(application) + L"|" + line + L"|" + (directory ? directory : L"-") +
                         (inherit ? L"" : L"|no-inherit") +
                         (std_inherited && (flags & HANDLE_FLAG_INHERIT) ? L"|std" : L""));
        info->hProcess = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info->hThread = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return TRUE;
    };
    return starts;
}
