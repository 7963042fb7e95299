#include "support/update_sweep.h"

#include <array>
#include <cwchar>
#include <map>
#include <sstream>
#include <tuple>
#include <type_traits>

#include "patcher/file_sha256.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"
#include "support/build_paths.h"

namespace {

struct Observed {
    Call call = Call::Count;
    std::wstring path;    // the path the call names (the source of a rename)
    std::wstring target;  // the target of a rename
    DWORD access = 0;
    DWORD flags = 0;
    std::size_t size = 0;    // HeapAlloc
    int info_class = -1;     // SetFileInformationByHandle
    void* handle = nullptr;  // the handle or heap block that the call works on
    void* opened = nullptr;  // the handle or block it gave back
    void* opened_thread = nullptr;
    bool failed = false;      // a close or free that failed
    std::uint64_t bytes = 0;  // what a read returned
};

std::wstring text_of(const wchar_t* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

}  // namespace

struct UpdateTracer::State {
    SystemCalls next;
    std::vector<Observed> calls;
    // What the run opened and has not closed, with the call that closes it.
    std::map<void*, Call> open;
};

namespace {

UpdateTracer::State* g_tracer = nullptr;

template <Call id>
struct Slot;
#define PU_TRACER_SLOT(name)                                       \
    template <>                                                    \
    struct Slot<Call::name> {                                      \
        static auto& of(SystemCalls& table) { return table.name; } \
    };
PU_SYSTEM_CALLS(PU_TRACER_SLOT)
#undef PU_TRACER_SLOT

template <Call id, class... A>
void note_arguments(Observed& seen, const std::tuple<A...>& arguments) {
    using std::get;
    if constexpr (id == Call::CreateFileW) {
        seen.path = text_of(get<0>(arguments));
        seen.access = get<1>(arguments);
        seen.flags = get<5>(arguments);
    } else if constexpr (id == Call::FindFirstFileExW || id == Call::DeleteFileW || id == Call::GetFullPathNameW ||
                         id == Call::CreateProcessW || id == Call::GetFileAttributesW) {
        seen.path = text_of(get<0>(arguments));
    } else if constexpr (id == Call::MoveFileExW) {
        seen.path = text_of(get<0>(arguments));
        seen.target = text_of(get<1>(arguments));
    } else if constexpr (id == Call::HeapAlloc) {
        seen.size = get<2>(arguments);
    } else if constexpr (id == Call::HeapFree) {
        seen.handle = get<2>(arguments);
    } else if constexpr (id == Call::SetFileInformationByHandle) {
        seen.handle = get<0>(arguments);
        seen.info_class = static_cast<int>(get<1>(arguments));
    } else if constexpr (id == Call::CloseHandle || id == Call::FindClose || id == Call::GetFileInformationByHandle ||
                         id == Call::GetFileInformationByHandleEx || id == Call::NtReadFile ||
                         id == Call::WaitForSingleObject) {
        seen.handle = get<0>(arguments);
    }
}

void release(Call call, void* resource) {
    if (call == Call::CloseHandle) ::CloseHandle(resource);
    if (call == Call::FindClose) ::FindClose(resource);
    if (call == Call::HeapFree) ::HeapFree(::GetProcessHeap(), 0, resource);
}

template <Call id, class R, class... A>
void note_open_resources(const Observed& seen, const R& result, const std::tuple<A...>& arguments) {
    auto& open = g_tracer->open;
    if constexpr (id == Call::CreateFileW || id == Call::DuplicateHandle || id == Call::OpenProcess) {
        if (seen.opened != nullptr) open[seen.opened] = Call::CloseHandle;
    } else if constexpr (id == Call::FindFirstFileExW) {
        if (seen.opened != nullptr) open[seen.opened] = Call::FindClose;
    } else if constexpr (id == Call::HeapAlloc) {
        if (seen.opened != nullptr) open[seen.opened] = Call::HeapFree;
    } else if constexpr (id == Call::CreateProcessW) {
        if (seen.opened != nullptr) open[seen.opened] = Call::CloseHandle;
        if (seen.opened_thread != nullptr) open[seen.opened_thread] = Call::CloseHandle;
    } else if constexpr (id == Call::CloseHandle || id == Call::FindClose || id == Call::HeapFree) {
        open.erase(seen.handle);
    }
    (void)result;
    (void)arguments;
}

template <Call id, class R, class... A>
void note_result(Observed& seen, const R& result, const std::tuple<A...>& arguments) {
    using std::get;
    if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW) {
        if (result != INVALID_HANDLE_VALUE) seen.opened = result;
    } else if constexpr (id == Call::OpenProcess || id == Call::HeapAlloc) {
        seen.opened = result;
    } else if constexpr (id == Call::DuplicateHandle) {
        if (result) seen.opened = *get<3>(arguments);
    } else if constexpr (id == Call::CreateProcessW) {
        if (result) {
            seen.opened = get<9>(arguments)->hProcess;
            seen.opened_thread = get<9>(arguments)->hThread;
        }
    } else if constexpr (id == Call::CloseHandle || id == Call::FindClose || id == Call::HeapFree) {
        // A close that fails in the field fails on a handle that is not (or
        // no longer) open. A failure made by the recorder skipped the real
        // call instead, so the resource is released here, as it would be gone.
        seen.failed = !result;
        if (seen.failed) release(id, seen.handle);
    } else if constexpr (id == Call::NtReadFile) {
        if (result >= 0) seen.bytes = get<4>(arguments)->Information;
    }
    note_open_resources<id>(seen, result, arguments);
}

template <Call id, class Fn>
struct Observer;

template <Call id, class R, class... A>
struct Observer<id, R (*)(A...)> {
    static R call(A... args) {
        UpdateTracer::State& state = *g_tracer;
        const auto next = Slot<id>::of(state.next);
        const std::size_t index = state.calls.size();
        state.calls.push_back(Observed{.call = id});
        const auto arguments = std::make_tuple(args...);
        note_arguments<id>(state.calls[index], arguments);
        if constexpr (std::is_void_v<R>) {
            next(args...);
        } else {
            R result = next(args...);
            // The program reads the last error right after the call.
            const DWORD last_error = ::GetLastError();
            note_result<id>(state.calls[index], result, arguments);
            ::SetLastError(last_error);
            return result;
        }
    }
};

// Which of the update's paths a path names; the new path may be the backup path.
struct Names {
    bool current = false;
    bool replacement = false;
    bool backup = false;
};

std::wstring comparable(std::wstring path) {
    if (path.starts_with(L"\\\\?\\")) path.erase(0, 4);
    for (wchar_t& unit : path) {
        if (unit == L'/') unit = L'\\';
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit + 32);
    }
    return path;
}

class Classifier {
public:
    explicit Classifier(const UpdatePaths& paths)
        : current_(comparable(paths.current)),
          replacement_(comparable(paths.replacement)),
          backup_(comparable(paths.backup)) {}

    Trace classify(const std::vector<Observed>& calls) {
        Trace trace;
        for (const Observed& seen : calls) trace.push_back(place(seen, trace.size() + 1));
        return trace;
    }

private:
    struct Origin {
        Step step;
        Role role;
        std::size_t operation;
    };

    Names names(const std::wstring& path) const {
        const std::wstring text = comparable(path);
        return {text == current_, text == replacement_, text == backup_};
    }

    // A call that starts an operation of `step`.
    void begin(Step step) {
        if (step == step_ && !comparing_names_) {
            ++operation_;
        } else if (step != step_) {
            step_ = step;
            operation_ = 0;
        }
        comparing_names_ = false;
    }

    Step query_step(const Names& path) const {
        if (step_ == Step::None && path.current) return Step::CurrentTest;
        if (step_ == Step::CurrentTest && path.replacement) return Step::NewTest;
        if (step_ >= Step::Wait && step_ < Step::StaleBackup && path.backup) return Step::StaleBackup;
        return step_;
    }

    static Role role_on_handle(Call call, const Origin& origin, const Observed& seen) {
        switch (call) {
        case Call::GetFileInformationByHandle:
            return origin.role == Role::ItselfOpen ? Role::ItselfInfo : Role::QueryInfo;
        case Call::GetFileInformationByHandleEx:
            return origin.role == Role::ItselfOpen ? Role::ItselfTag : Role::QueryTag;
        case Call::FindClose: return Role::ListingClose;
        case Call::NtReadFile: return Role::DigestRead;
        case Call::WaitForSingleObject:
            return origin.role == Role::OpenProcess ? Role::WaitForProcess : Role::PendingWait;
        case Call::HeapFree: return origin.role == Role::DigestBuffer ? Role::DigestFree : Role::RenameBlockFree;
        case Call::SetFileInformationByHandle:
            return seen.info_class == 21 ? Role::Disposition : seen.info_class == 22 ? Role::RenameInfo : Role::Other;
        case Call::CloseHandle:
            switch (origin.role) {
            case Role::QueryOpen: return Role::QueryClose;
            case Role::ItselfOpen: return Role::ItselfClose;
            case Role::DigestOpen: return Role::DigestClose;
            case Role::OpenProcess: return Role::ProcessClose;
            case Role::DeleteFallbackOpen: return Role::DeleteFallbackClose;
            case Role::RenameFallbackOpen: return Role::RenameFallbackClose;
            case Role::Duplicate: return Role::DuplicateClose;
            case Role::CreateProcess: return Role::StartedClose;
            default: return Role::Other;
            }
        default: return Role::Other;
        }
    }

    TracedCall place(const Observed& seen, std::size_t number) {
        TracedCall placed;
        placed.number = number;
        placed.call = seen.call;
        placed.occurrence = ++occurrences_[static_cast<std::size_t>(seen.call)];
        Role role = Role::Other;

        switch (seen.call) {
        case Call::CreateFileW:
            if (seen.access == 0 && seen.flags == FILE_FLAG_BACKUP_SEMANTICS) {
                begin(query_step(names(seen.path)));
                role = Role::QueryOpen;
            } else if (seen.access == 0 && seen.flags == (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT)) {
                role = Role::ItselfOpen;
            } else if (seen.access == GENERIC_READ) {
                begin(Step::Digest);
                role = Role::DigestOpen;
                bytes_read_ = 0;
            } else if (seen.access == DELETE && seen.flags == FILE_FLAG_OPEN_REPARSE_POINT) {
                role = Role::DeleteFallbackOpen;
            } else if (seen.access == DELETE) {
                role = Role::RenameFallbackOpen;
            }
            break;
        case Call::FindFirstFileExW: role = Role::Listing; break;
        case Call::OpenProcess:
            begin(Step::Wait);
            role = Role::OpenProcess;
            break;
        case Call::MoveFileExW: {
            // The three renames come in this order, which tells them apart
            // even when the new path is the backup path.
            const Names from = names(seen.path);
            const Names to = names(seen.target);
            Step step = step_;
            if (step_ < Step::MoveToBackup && from.current && to.backup) step = Step::MoveToBackup;
            if (!installing_ && from.replacement && to.current) {
                step = Step::Install;
                installing_ = true;
            } else if (step_ == Step::Install && from.backup && to.current) {
                step = Step::RollBack;
            }
            begin(step);
            role = Role::Move;
            break;
        }
        case Call::DeleteFileW:
            begin(!names(seen.path).backup     ? step_
                  : step_ < Step::MoveToBackup ? Step::StaleBackup
                                               : Step::DeleteBackup);
            role = Role::Delete;
            break;
        case Call::HeapAlloc:
            role = step_ == Step::Digest && seen.size == DIGEST_READ_CHUNK ? Role::DigestBuffer : Role::RenameBlock;
            break;
        case Call::GetFullPathNameW:
            // Between the wait and the first rename, the backup path and the
            // new path are compared by their full paths.
            // They count as no operation of their own: the first query of the
            // step stays its operation 0.
            if (step_ == Step::Wait || step_ == Step::StaleBackup) {
                if (step_ != Step::StaleBackup) {
                    step_ = Step::StaleBackup;
                    operation_ = 0;
                    comparing_names_ = true;
                }
                role = Role::BackupNameCompare;
                break;
            }
            [[fallthrough]];
        case Call::GetStdHandle:
        case Call::DuplicateHandle:
        case Call::CreateProcessW:
        case Call::GetFileAttributesW:
        case Call::GetModuleFileNameW:
        case Call::GetSystemDirectoryW:
        case Call::GetWindowsDirectoryW:
        case Call::GetEnvironmentVariableW:
            // After the swap only the launch asks these; before it, a path
            // conversion would (and is not placed).
            if (step_ >= Step::Install && step_ != Step::Restart) begin(Step::Restart);
            if (step_ == Step::Restart) {
                role = seen.call == Call::GetFullPathNameW  ? Role::LaunchFullPath
                       : seen.call == Call::GetStdHandle    ? Role::StdHandle
                       : seen.call == Call::DuplicateHandle ? Role::Duplicate
                       : seen.call == Call::CreateProcessW  ? Role::CreateProcess
                                                            : Role::LaunchQuery;
            }
            break;
        case Call::CloseHandle:
        case Call::FindClose:
        case Call::GetFileInformationByHandle:
        case Call::GetFileInformationByHandleEx:
        case Call::NtReadFile:
        case Call::WaitForSingleObject:
        case Call::HeapFree:
        case Call::SetFileInformationByHandle: {
            const auto origin = origins_.find(seen.handle);
            if (origin == origins_.end()) break;
            role = role_on_handle(seen.call, origin->second, seen);
            if (role == Role::StartedClose) {
                if (step_ != Step::CloseStarted) begin(Step::CloseStarted);
                placed.step = step_;
                placed.operation = operation_;
            } else {
                placed.step = origin->second.step;
                placed.operation = origin->second.operation;
            }
            if (role == Role::DigestRead) {
                placed.bytes_before = bytes_read_;
                bytes_read_ += seen.bytes;
            }
            placed.role = role;
            return placed;
        }
        default: break;
        }

        placed.step = step_;
        placed.operation = operation_;
        placed.role = role;
        const Origin origin{step_, role, operation_};
        if (seen.opened != nullptr) origins_[seen.opened] = origin;
        if (seen.opened_thread != nullptr) origins_[seen.opened_thread] = origin;
        return placed;
    }

    std::wstring current_, replacement_, backup_;
    Step step_ = Step::None;
    bool installing_ = false;  // the install rename has been made
    std::size_t operation_ = 0;
    bool comparing_names_ = false;
    std::uint64_t bytes_read_ = 0;
    std::map<void*, Origin> origins_;
    std::array<std::size_t, static_cast<std::size_t>(Call::Count)> occurrences_{};
};

std::string build_file_bytes(std::string_view linux_path) { return read_file(build_file(linux_path)).value(); }

std::optional<std::size_t> parse_number(std::wstring_view text) {
    std::size_t value = 0;
    if (text.empty()) return std::nullopt;
    for (const wchar_t unit : text) {
        if (unit < L'0' || unit > L'9') return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(unit - L'0');
    }
    return value;
}

std::optional<Call> call_named(std::wstring_view name) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(Call::Count); ++i) {
        const std::string_view candidate = call_name(static_cast<Call>(i));
        if (std::wstring(candidate.begin(), candidate.end()) == name) return static_cast<Call>(i);
    }
    return std::nullopt;
}

// This process's environment without the variables that steer GoogleTest and
// without an earlier order, as a block for CreateProcessW.
std::wstring child_environment(const std::wstring& order) {
    std::wstring block;
    if (wchar_t* strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            if (text.starts_with(L"GTEST_") || text.starts_with(CHILD_ORDER_VARIABLE)) continue;
            block.append(text);
            block.push_back(L'\0');
        }
        ::FreeEnvironmentStringsW(strings);
    }
    block.append(CHILD_ORDER_VARIABLE);
    block.push_back(L'=');
    block.append(order);
    block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

std::wstring own_executable() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

}  // namespace

std::string_view step_name(Step step) {
    switch (step) {
    case Step::None: return "none";
    case Step::CurrentTest: return "1 test current";
    case Step::NewTest: return "2 test new";
    case Step::Digest: return "3 digest";
    case Step::Wait: return "5 wait";
    case Step::StaleBackup: return "7 stale backup";
    case Step::MoveToBackup: return "8 current to backup";
    case Step::Install: return "9 install";
    case Step::RollBack: return "9 roll-back";
    case Step::DeleteBackup: return "10 delete backup";
    case Step::Restart: return "12 restart";
    case Step::CloseStarted: return "13 close started";
    }
    return "?";
}

std::string_view role_name(Role role) {
    switch (role) {
    case Role::QueryOpen: return "query open";
    case Role::QueryInfo: return "query info";
    case Role::QueryTag: return "query tag";
    case Role::QueryClose: return "query close";
    case Role::ItselfOpen: return "query open (entry itself)";
    case Role::ItselfInfo: return "query info (entry itself)";
    case Role::ItselfTag: return "query tag (entry itself)";
    case Role::ItselfClose: return "query close (entry itself)";
    case Role::Listing: return "folder listing";
    case Role::ListingClose: return "listing close";
    case Role::DigestOpen: return "open for read";
    case Role::DigestBuffer: return "read buffer";
    case Role::DigestRead: return "read";
    case Role::PendingWait: return "wait for pending read";
    case Role::DigestFree: return "free read buffer";
    case Role::DigestClose: return "close read handle";
    case Role::OpenProcess: return "open old process";
    case Role::WaitForProcess: return "wait for old process";
    case Role::ProcessClose: return "close old process";
    case Role::Delete: return "delete";
    case Role::DeleteFallbackOpen: return "delete fallback open";
    case Role::Disposition: return "delete disposition";
    case Role::DeleteFallbackClose: return "delete fallback close";
    case Role::Move: return "rename";
    case Role::RenameFallbackOpen: return "rename fallback open";
    case Role::RenameBlock: return "rename info block";
    case Role::RenameInfo: return "rename by handle";
    case Role::RenameBlockFree: return "free rename info block";
    case Role::RenameFallbackClose: return "rename fallback close";
    case Role::BackupNameCompare: return "backup name compare";
    case Role::LaunchFullPath: return "application full path";
    case Role::LaunchQuery: return "launch query";
    case Role::StdHandle: return "standard handle";
    case Role::Duplicate: return "duplicate standard handle";
    case Role::CreateProcess: return "create process";
    case Role::DuplicateClose: return "close duplicate";
    case Role::StartedClose: return "close started patcher handle";
    case Role::Other: return "other";
    }
    return "?";
}

std::string trace_text(const Trace& trace) {
    std::string text;
    for (const TracedCall& call : trace) {
        text += std::to_string(call.number) + ' ' + std::to_string(static_cast<int>(call.call)) + ' ' +
                std::to_string(static_cast<int>(call.step)) + ' ' + std::to_string(static_cast<int>(call.role)) + ' ' +
                std::to_string(call.operation) + ' ' + std::to_string(call.occurrence) + ' ' +
                std::to_string(call.bytes_before) + '\n';
    }
    return text;
}

Trace parse_trace(std::string_view text) {
    Trace trace;
    std::istringstream lines{std::string(text)};
    TracedCall call;
    int id = 0, step = 0, role = 0;
    while (lines >> call.number >> id >> step >> role >> call.operation >> call.occurrence >> call.bytes_before) {
        call.call = static_cast<Call>(id);
        call.step = static_cast<Step>(step);
        call.role = static_cast<Role>(role);
        trace.push_back(call);
    }
    return trace;
}

std::optional<std::size_t> first_of(const Trace& trace, Step step) {
    for (std::size_t i = 0; i < trace.size(); ++i)
        if (trace[i].step == step) return i;
    return std::nullopt;
}

UpdateTracer::UpdateTracer(UpdatePaths paths) : saved_(sys()), paths_(std::move(paths)) {
    g_tracer = new State{};
    g_tracer->next = saved_;
#define PU_TRACE_CALL(name) \
    if (SystemCallRecorder::can_fail(Call::name)) sys().name = &Observer<Call::name, decltype(&::name)>::call;
    PU_SYSTEM_CALLS(PU_TRACE_CALL)
#undef PU_TRACE_CALL
}

UpdateTracer::~UpdateTracer() {
    sys() = saved_;
    // A run that leaks fails its own check; what it left open must not hold
    // files of the runs after it (or the removal of its folder).
    for (const auto& [resource, close] : g_tracer->open) release(close, resource);
    delete g_tracer;
    g_tracer = nullptr;
}

Trace UpdateTracer::trace() const { return Classifier(paths_).classify(g_tracer->calls); }

UpdateLayout::UpdateLayout(std::filesystem::path root_folder, bool replacement_at_backup)
    : root(std::move(root_folder)) {
    app = root / L"App Folder \u00e9";
    current = app / L"patcher.exe";
    backup = app / L"patcher.exe.old";
    replacement = replacement_at_backup ? backup : app / L"patcher.new";
}

UpdatePaths UpdateLayout::paths() const { return {current.native(), replacement.native(), backup.native()}; }

UpdateRequest UpdateLayout::request(std::uint32_t pid) const {
    return UpdateRequest{pid, utf8(current), utf8(replacement), version2_digest()};
}

std::string_view start_name(Start start) {
    switch (start) {
    case Start::Plain: return "no backup";
    case Start::StaleBackup: return "a stale backup";
    case Start::ReplacementAtBackup: return "the replacement downloaded to the backup path";
    }
    return "?";
}

std::string_view content_name(Content content) {
    switch (content) {
    case Content::Missing: return "-";
    case Content::Version1: return "v1";
    case Content::Version2: return "v2";
    case Content::StaleBackup: return "stale";
    case Content::Other: return "other";
    }
    return "?";
}

const std::string& bytes_of(Content content) {
    static const std::string version1 = build_file_bytes(PU_STAND_IN_V1_EXE);
    static const std::string version2 = build_file_bytes(PU_STAND_IN_V2_EXE);
    static const std::string stale = "a backup left by an earlier update";
    static const std::string none;
    switch (content) {
    case Content::Version1: return version1;
    case Content::Version2: return version2;
    case Content::StaleBackup: return stale;
    default: return none;
    }
}

Content content_of(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return Content::Missing;
    const auto bytes = read_file(path);
    if (!bytes) return Content::Other;
    for (const Content known : {Content::Version1, Content::Version2, Content::StaleBackup})
        if (*bytes == bytes_of(known)) return known;
    return Content::Other;
}

const std::string& version2_digest() {
    static const std::string digest = file_sha256(utf8(build_file(PU_STAND_IN_V2_EXE))).value();
    return digest;
}

SweepFolder::SweepFolder(Start start) : layout_(root_.path(), start == Start::ReplacementAtBackup) {
    std::filesystem::create_directory(layout_.app);
    write_file(layout_.current, bytes_of(Content::Version1));
    if (start == Start::StaleBackup) write_file(layout_.backup, bytes_of(Content::StaleBackup));
    write_file(layout_.replacement, bytes_of(Content::Version2));
}

SweepFolder::~SweepFolder() {
    // A started stand-in records its start and exits; until it has, its
    // executable cannot be removed.
    (void)eventually(
        [&] {
            std::error_code error;
            std::filesystem::remove_all(layout_.app, error);
            return !error;
        },
        5000);
}

std::string SweepFolder::starts() const { return read_file(layout_.app / L"patcher-starts.txt").value_or(""); }

bool SweepFolder::restarted() const {
    return eventually([&] { return starts().find('\n') != std::string::npos; }, 20000);
}

EndedProcess::EndedProcess() : process_(build_file(PU_FAIL_FAST_PROBE_EXE), L"probe") {
    ended_ = process_.wait(20000) == 0u;
}

std::wstring order_text(const ChildOrder& order) {
    std::wstring text = L"pid=" + std::to_wstring(order.pid) + L";trace=" + (order.write_trace ? L"1" : L"0") +
                        L";end=" + std::to_wstring(order.end_at) + L";at-backup=" +
                        (order.replacement_at_backup ? L"1" : L"0");
    if (order.fault_call) {
        const std::string_view name = call_name(*order.fault_call);
        text += L";fault=" + std::wstring(name.begin(), name.end()) + L":" + std::to_wstring(order.fault_occurrence) +
                L":" + std::to_wstring(order.fault_code);
    }
    // Last, since a path may hold any character but NUL.
    return text + L";root=" + order.root.native();
}

std::optional<ChildOrder> parse_order(std::wstring_view text) {
    ChildOrder order;
    bool has_root = false;
    while (!text.empty()) {
        const std::size_t equals = text.find(L'=');
        if (equals == std::wstring_view::npos) return std::nullopt;
        const std::wstring_view key = text.substr(0, equals);
        std::wstring_view value = text.substr(equals + 1);
        if (key == L"root") {
            order.root = std::wstring(value);
            has_root = true;
            break;
        }
        const std::size_t end = value.find(L';');
        if (end == std::wstring_view::npos) return std::nullopt;
        text = value.substr(end + 1);
        value = value.substr(0, end);
        if (key == L"pid" || key == L"trace" || key == L"end" || key == L"at-backup") {
            const auto number = parse_number(value);
            if (!number) return std::nullopt;
            if (key == L"pid") order.pid = static_cast<std::uint32_t>(*number);
            if (key == L"trace") order.write_trace = *number != 0;
            if (key == L"end") order.end_at = *number;
            if (key == L"at-backup") order.replacement_at_backup = *number != 0;
        } else if (key == L"fault") {
            const std::size_t first = value.find(L':');
            const std::size_t second = value.find(L':', first + 1);
            if (first == std::wstring_view::npos || second == std::wstring_view::npos) return std::nullopt;
            const auto call = call_named(value.substr(0, first));
            const auto occurrence = parse_number(value.substr(first + 1, second - first - 1));
            const auto code = parse_number(value.substr(second + 1));
            if (!call || !occurrence || !code) return std::nullopt;
            order.fault_call = call;
            order.fault_occurrence = *occurrence;
            order.fault_code = static_cast<std::uint32_t>(*code);
        } else {
            return std::nullopt;
        }
    }
    if (!has_root) return std::nullopt;
    return order;
}

std::optional<ChildOrder> child_order_from_environment() {
    const std::wstring name(CHILD_ORDER_VARIABLE);
    const DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name.c_str(), value.data(), size));
    return parse_order(value);
}

std::expected<std::uint32_t, std::string> run_update_child(const ChildOrder& order, std::uint32_t timeout_ms) {
    const std::wstring executable = own_executable();
    std::wstring command_line = L"\"" + executable + L"\" --gtest_filter=" + std::wstring(CHILD_TEST_FILTER);
    std::wstring environment = child_environment(order_text(order));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, environment.data(), nullptr, &startup, &info))
        return std::unexpected("CreateProcessW failed with " + std::to_string(::GetLastError()));
    std::expected<std::uint32_t, std::string> result;
    if (const DWORD waited = ::WaitForSingleObject(info.hProcess, timeout_ms); waited == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (::GetExitCodeProcess(info.hProcess, &code))
            result = code;
        else
            result = std::unexpected("GetExitCodeProcess failed with " + std::to_string(::GetLastError()));
    } else {
        result = std::unexpected("the wait for the child gave " + std::to_string(waited) + ", last error " +
                                 std::to_string(::GetLastError()));
        ::TerminateProcess(info.hProcess, 1);
        ::WaitForSingleObject(info.hProcess, 5000);
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return result;
}
