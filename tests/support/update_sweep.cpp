#include "support/update_sweep.h"

#include <array>
#include <cctype>
#include <cwchar>
#include <map>
#include <sstream>
#include <tuple>
#include <type_traits>

#include "patcher/file_sha256.h"
#include "platform/system_message.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"
#include "support/build_paths.h"
#include "support/system_text.h"

namespace {

struct Observed {
    Call call = Call::Count;
    std::wstring path;    // the path the call names (the source of a rename)
    std::wstring target;  // the target of a rename
    DWORD access = 0, flags = 0;
    std::size_t size = 0;    // HeapAlloc
    int info_class = -1;     // SetFileInformationByHandle
    void* handle = nullptr;  // the handle or heap block that the call works on
    void* opened = nullptr;  // the handle or block it gave back
    void* opened_thread = nullptr;
    std::uint64_t bytes = 0;  // what a read returned
};

std::wstring text_of(const wchar_t* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// What the tracer of the running update has seen: the calls, and what they opened with the call that closes it.
struct TracerState {
    SystemCalls next;
    std::vector<Observed> calls;
    std::map<void*, Call> open;
};
TracerState* g_tracer = nullptr;

void release(Call call, void* resource) {
    if (call == Call::CloseHandle) ::CloseHandle(resource);
    if (call == Call::FindClose) ::FindClose(resource);
    if (call == Call::HeapFree) ::HeapFree(::GetProcessHeap(), 0, resource);
}

// Notes a call's arguments and result, and what it opened or closed.
template <Call id, class R, class... A>
void note(Observed& seen, const R& result, const std::tuple<A...>& arguments) {
    using std::get;
    constexpr bool closes = id == Call::CloseHandle || id == Call::FindClose || id == Call::HeapFree;
    if constexpr (id == Call::CreateFileW) {
        seen.access = get<1>(arguments);
        seen.flags = get<5>(arguments);
    }
    if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW || id == Call::DeleteFileW ||
                  id == Call::GetFullPathNameW || id == Call::CreateProcessW || id == Call::GetFileAttributesW ||
                  id == Call::MoveFileExW)
        seen.path = text_of(get<0>(arguments));
    if constexpr (id == Call::MoveFileExW) seen.target = text_of(get<1>(arguments));
    if constexpr (id == Call::HeapAlloc) seen.size = get<2>(arguments);
    if constexpr (id == Call::HeapFree) seen.handle = get<2>(arguments);
    if constexpr (id == Call::SetFileInformationByHandle) seen.info_class = static_cast<int>(get<1>(arguments));
    if constexpr (id == Call::SetFileInformationByHandle || id == Call::CloseHandle || id == Call::FindClose ||
                  id == Call::GetFileInformationByHandle || id == Call::GetFileInformationByHandleEx ||
                  id == Call::NtReadFile || id == Call::WaitForSingleObject)
        seen.handle = get<0>(arguments);
    if constexpr (id == Call::CreateFileW || id == Call::FindFirstFileExW) {
        if (result != INVALID_HANDLE_VALUE) seen.opened = result;
    } else if constexpr (id == Call::OpenProcess || id == Call::HeapAlloc) {
        seen.opened = result;
    } else if constexpr (id == Call::DuplicateHandle) {
        if (result) seen.opened = *get<3>(arguments);
    } else if constexpr (id == Call::CreateProcessW) {
        if (result) seen.opened = get<9>(arguments)->hProcess, seen.opened_thread = get<9>(arguments)->hThread;
    } else if constexpr (id == Call::NtReadFile) {
        if (result >= 0) seen.bytes = get<4>(arguments)->Information;
    } else if constexpr (closes) {
        // A failure made by the recorder skipped the real call: release the resource, as it would be gone.
        if (!result) release(id, seen.handle);
        g_tracer->open.erase(seen.handle);
    }
    const Call closer = id == Call::FindFirstFileExW ? Call::FindClose
                        : id == Call::HeapAlloc      ? Call::HeapFree
                                                     : Call::CloseHandle;
    if (seen.opened != nullptr) g_tracer->open[seen.opened] = closer;
    if (seen.opened_thread != nullptr) g_tracer->open[seen.opened_thread] = closer;
}

template <Call id, auto slot, class Fn>
struct Observer;

template <Call id, auto slot, class R, class... A>
struct Observer<id, slot, R (*)(A...)> {
    static R call(A... args) {
        TracerState& state = *g_tracer;
        const auto next = state.next.*slot;
        const std::size_t index = state.calls.size();
        state.calls.push_back(Observed{.call = id});
        if constexpr (std::is_void_v<R>) {
            next(args...);
        } else {
            R result = next(args...);
            // The program reads the last error right after the call.
            const DWORD last_error = ::GetLastError();
            note<id>(state.calls[index], result, std::make_tuple(args...));
            ::SetLastError(last_error);
            return result;
        }
    }
};

// Which of the update's paths a path names; the new path may be the backup path.
struct Names {
    bool current = false, replacement = false, backup = false;
};

std::wstring comparable(std::wstring path) {
    if (path.starts_with(L"\\\\?\\")) path.erase(0, 4);
    for (wchar_t& unit : path) {
        if (unit == L'/') unit = L'\\';
        if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit + 32);
    }
    return path;
}

// The close of a handle by the role of the call that opened it.
constexpr std::pair<Role, Role> CLOSE_ROLES[] = {
    {Role::QueryOpen, Role::QueryClose},          {Role::QueryOpenItself, Role::QueryCloseItself},
    {Role::OpenForRead, Role::CloseReadHandle},   {Role::OpenOldProcess, Role::CloseOldProcess},
    {Role::DeleteFallbackOpen, Role::DeleteFallbackClose}, {Role::RenameFallbackOpen, Role::RenameFallbackClose},
    {Role::DuplicateStandardHandle, Role::CloseDuplicate}, {Role::CreateProcess, Role::CloseStartedPatcherHandle}};

class Classifier {
public:
    explicit Classifier(const UpdateLayout& layout)
        : current_(comparable(layout.current.native())),
          replacement_(comparable(layout.replacement.native())),
          backup_(comparable(layout.backup.native())) {}

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

    static Role role_on_handle(Call call, Role opener, const Observed& seen) {
        const bool itself = opener == Role::QueryOpenItself;
        switch (call) {
        case Call::GetFileInformationByHandle: return itself ? Role::QueryInfoItself : Role::QueryInfo;
        case Call::GetFileInformationByHandleEx: return itself ? Role::QueryTagItself : Role::QueryTag;
        case Call::FindClose: return Role::ListingClose;
        case Call::NtReadFile: return Role::Read;
        case Call::WaitForSingleObject: return opener == Role::OpenOldProcess ? Role::WaitForOldProcess : Role::WaitForPendingRead;
        case Call::HeapFree: return opener == Role::ReadBuffer ? Role::FreeReadBuffer : Role::FreeRenameInfoBlock;
        case Call::SetFileInformationByHandle:
            return seen.info_class == 21 ? Role::DeleteDisposition : seen.info_class == 22 ? Role::RenameByHandle : Role::Other;
        case Call::CloseHandle:
            for (const auto& [open, close] : CLOSE_ROLES)
                if (open == opener) return close;
            return Role::Other;
        default: return Role::Other;
        }
    }

    Role role_of_open(const Observed& seen) {
        switch (seen.call) {
        case Call::CreateFileW:
            if (seen.access == 0 && seen.flags == FILE_FLAG_BACKUP_SEMANTICS) {
                begin(query_step(names(seen.path)));
                return Role::QueryOpen;
            }
            if (seen.access == 0 && seen.flags == (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT))
                return Role::QueryOpenItself;
            if (seen.access == GENERIC_READ) {
                begin(Step::Digest);
                bytes_read_ = 0;
                return Role::OpenForRead;
            }
            if (seen.access == DELETE)
                return seen.flags == FILE_FLAG_OPEN_REPARSE_POINT ? Role::DeleteFallbackOpen : Role::RenameFallbackOpen;
            return Role::Other;
        case Call::FindFirstFileExW: return Role::FolderListing;
        case Call::OpenProcess: begin(Step::Wait); return Role::OpenOldProcess;
        case Call::MoveFileExW: {
            // The three renames come in this order, which tells them apart even when the new path is the backup path.
            const Names from = names(seen.path), to = names(seen.target);
            Step step = step_;
            if (step_ < Step::MoveToBackup && from.current && to.backup) step = Step::MoveToBackup;
            if (!installing_ && from.replacement && to.current) {
                step = Step::Install;
                installing_ = true;
            } else if (step_ == Step::Install && from.backup && to.current) {
                step = Step::RollBack;
            }
            begin(step);
            return Role::Rename;
        }
        case Call::DeleteFileW:
            begin(!names(seen.path).backup     ? step_
                  : step_ < Step::MoveToBackup ? Step::StaleBackup
                                               : Step::DeleteBackup);
            return Role::Delete;
        case Call::HeapAlloc:
            return step_ == Step::Digest && seen.size == DIGEST_READ_CHUNK ? Role::ReadBuffer : Role::RenameInfoBlock;
        case Call::GetFullPathNameW:
            // Between the wait and the first rename the backup and new paths are compared by full path; this is no
            // operation of its own, so the step's first query stays its operation 0.
            if (step_ == Step::Wait || step_ == Step::StaleBackup) {
                if (step_ != Step::StaleBackup) {
                    step_ = Step::StaleBackup;
                    operation_ = 0;
                    comparing_names_ = true;
                }
                return Role::BackupNameCompare;
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
            // After the swap only the launch asks these; before it, a path conversion would (and is not placed).
            if (step_ >= Step::Install && step_ != Step::Restart) begin(Step::Restart);
            if (step_ != Step::Restart) return Role::Other;
            return seen.call == Call::GetFullPathNameW  ? Role::ApplicationFullPath
                   : seen.call == Call::GetStdHandle    ? Role::StandardHandle
                   : seen.call == Call::DuplicateHandle ? Role::DuplicateStandardHandle
                   : seen.call == Call::CreateProcessW  ? Role::CreateProcess
                                                        : Role::LaunchQuery;
        default: return Role::Other;
        }
    }

    TracedCall place(const Observed& seen, std::size_t number) {
        TracedCall placed{.number = number, .call = seen.call};
        placed.occurrence = ++occurrences_[static_cast<std::size_t>(seen.call)];
        // A call on a handle (or block) that the run opened belongs to the operation that opened it.
        if (const auto origin = origins_.find(seen.handle); origin != origins_.end()) {
            placed.role = role_on_handle(seen.call, origin->second.role, seen);
            const bool started = placed.role == Role::CloseStartedPatcherHandle;
            if (started && step_ != Step::CloseStarted) begin(Step::CloseStarted);
            placed.step = started ? step_ : origin->second.step;
            placed.operation = started ? operation_ : origin->second.operation;
            if (placed.role == Role::Read) {
                placed.bytes_before = bytes_read_;
                bytes_read_ += seen.bytes;
            }
            return placed;
        }
        placed.role = role_of_open(seen);
        placed.step = step_;
        placed.operation = operation_;
        const Origin origin{step_, placed.role, operation_};
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

// Observes the calls that the recorder numbers, wrapping its table, so it also sees the calls the recorder fails. A
// close or free that the recorder fails is made for real, as in the field a close fails only on a handle that is gone.
class Tracer {
public:
    Tracer() : saved_(sys()) {
        g_tracer = new TracerState{.next = saved_};
#define PU_TRACE_CALL(name) \
    if (SystemCallRecorder::can_fail(Call::name)) sys().name = &Observer<Call::name, &SystemCalls::name, decltype(&::name)>::call;
        PU_SYSTEM_CALLS(PU_TRACE_CALL)
#undef PU_TRACE_CALL
    }
    // Restores the recorder's table and releases what the run left open (a leak fails the run's own check).
    ~Tracer() {
        sys() = saved_;
        for (const auto& [resource, close] : g_tracer->open) release(close, resource);
        delete g_tracer;
        g_tracer = nullptr;
    }
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

private:
    SystemCalls saved_;
};

std::string build_file_bytes(std::string_view linux_path) { return read_file(build_file(linux_path)).value(); }

// This process's environment without GoogleTest's variables and an earlier order, plus `order`, for CreateProcessW.
std::wstring child_environment(const std::wstring& order) {
    std::wstring block;
    if (wchar_t* strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            if (!text.starts_with(L"GTEST_") && !text.starts_with(CHILD_ORDER_VARIABLE)) block.append(text) += L'\0';
        }
        ::FreeEnvironmentStringsW(strings);
    }
    return block.append(CHILD_ORDER_VARIABLE).append(L"=").append(order) + std::wstring(2, L'\0');
}

// The order's fields, separated by spaces, the root last since a path may hold any character but NUL.
std::wstring order_text(const ChildOrder& order) {
    std::wostringstream text;
    text << order.pid << L' ' << order.write_trace << L' ' << order.end_at << L' ' << order.replacement_at_backup
         << L' ' << static_cast<int>(order.fault_call.value_or(Call::Count)) << L' ' << order.fault_occurrence << L' '
         << order.fault_code << L' ' << order.root.native();
    return text.str();
}

std::optional<ChildOrder> parse_order(const std::wstring& text) {
    ChildOrder order;
    int call = 0;
    std::wistringstream fields(text);
    std::wstring root;
    if (!(fields >> order.pid >> order.write_trace >> order.end_at >> order.replacement_at_backup >> call >>
          order.fault_occurrence >> order.fault_code) ||
        fields.get() != L' ' || !std::getline(fields, root) || call < 0 || call > static_cast<int>(Call::Count))
        return std::nullopt;
    order.root = root;
    if (call != static_cast<int>(Call::Count)) order.fault_call = static_cast<Call>(call);
    return order;
}

}  // namespace

std::string_view step_name(Step step) {
#define PU_NAME(name, text) text,
    static constexpr std::string_view NAMES[] = {PU_UPDATE_STEPS(PU_NAME)};
    return NAMES[static_cast<std::size_t>(step)];
}

#undef PU_NAME

std::string_view role_name(Role role) {
    // The identifier in lowercase words; a last word "Itself" becomes "(entry itself)".
    static const std::vector<std::string> NAMES = [] {
        std::vector<std::string> names;
#define PU_WORDS(name) names.emplace_back(#name);
        PU_CALL_ROLES(PU_WORDS)
#undef PU_WORDS
        for (std::string& name : names) {
            if (name.ends_with("Itself")) name.replace(name.size() - 6, 6, "(Entry itself)");
            for (std::size_t i = name.size(); i-- > 1;)
                if (std::isupper(static_cast<unsigned char>(name[i]))) name.insert(i, 1, ' ');
            name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
            for (std::size_t i = 1; i < name.size(); ++i)
                if (name[i - 1] == ' ' || name[i - 1] == '(') name[i] = static_cast<char>(std::tolower(name[i]));
        }
        return names;
    }();
    return NAMES[static_cast<std::size_t>(role)];
}

std::string trace_text(const Trace& trace) {
    std::ostringstream text;
    for (const TracedCall& c : trace)
        text << c.number << ' ' << static_cast<int>(c.call) << ' ' << static_cast<int>(c.step) << ' '
             << static_cast<int>(c.role) << ' ' << c.operation << ' ' << c.occurrence << ' ' << c.bytes_before << '\n';
    return text.str();
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

std::string describe(const TracedCall& call) {
    return "#" + std::to_string(call.number) + " " + std::string(call_name(call.call)) + " (" +
           std::string(step_name(call.step)) + ", " + std::string(role_name(call.role)) + ")";
}

std::optional<std::size_t> first_of(const Trace& trace, Step step) {
    for (std::size_t i = 0; i < trace.size(); ++i)
        if (trace[i].step == step) return i;
    return std::nullopt;
}

UpdateLayout::UpdateLayout(std::filesystem::path root_folder, bool replacement_at_backup)
    : root(std::move(root_folder)),
      app(root / L"App Folder \u00e9"),
      current(app / L"patcher.exe"),
      replacement(replacement_at_backup ? app / L"patcher.exe.old" : app / L"patcher.new"),
      backup(app / L"patcher.exe.old") {}

UpdateRequest UpdateLayout::request(std::uint32_t pid) const {
    return UpdateRequest{pid, utf8(current), utf8(replacement), version2_digest()};
}

std::string outcome_text(const std::expected<void, ErrorChain>& updated) {
    return updated ? std::string("success") : chain_text(updated.error(), system_message_text);
}

UpdateRun run_update(const UpdateLayout& layout, std::uint32_t pid,
                     const std::function<void(SystemCallRecorder&)>& arrange) {
    UpdateRun run;
    const UpdateRequest request = layout.request(pid);
    std::optional<std::expected<void, ErrorChain>> updated;
    {
        SystemCallRecorder recorder;
        Tracer tracer;
        arrange(recorder);
        updated.emplace(apply_update(request));
        run.trace = Classifier(layout).classify(g_tracer->calls);
        run.open_resources = recorder.open_resources();
    }
    // The message texts are asked of the system after the recorder has gone.
    if (!*updated) run.failure = outcome_text(*updated);
    return run;
}

std::string_view start_name(Start start) {
    static constexpr std::string_view NAMES[] = {"no backup", "a stale backup",
                                                 "the replacement downloaded to the backup path"};
    return NAMES[static_cast<std::size_t>(start)];
}

std::string_view content_name(Content content) {
    static constexpr std::string_view NAMES[] = {"-", "v1", "v2", "stale", "other"};
    return NAMES[static_cast<std::size_t>(content)];
}

const std::string& bytes_of(Content content) {
    static const std::string bytes[] = {"", build_file_bytes(PU_STAND_IN_V1_EXE), build_file_bytes(PU_STAND_IN_V2_EXE),
                                        "a backup left by an earlier update", ""};
    return bytes[static_cast<std::size_t>(content)];
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
    // A started stand-in records its start and exits; until it has, its executable cannot be removed.
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

std::optional<ChildOrder> child_order_from_environment() {
    const std::wstring name(CHILD_ORDER_VARIABLE);
    const DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name.c_str(), value.data(), size));
    return parse_order(value);
}

std::expected<std::uint32_t, std::string> run_update_child(const ChildOrder& order, std::uint32_t timeout_ms) {
    std::wstring executable(32768, L'\0');
    executable.resize(::GetModuleFileNameW(nullptr, executable.data(), static_cast<DWORD>(executable.size())));
    std::wstring command_line = L"\"" + executable + L"\" --gtest_filter=" + std::wstring(CHILD_TEST_FILTER);
    std::wstring environment = child_environment(order_text(order));
    STARTUPINFOW startup{.cb = sizeof(STARTUPINFOW)};
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, environment.data(), nullptr, &startup, &info))
        return std::unexpected("CreateProcessW failed with " + std::to_string(::GetLastError()));
    std::expected<std::uint32_t, std::string> result;
    DWORD code = 0;
    if (const DWORD waited = ::WaitForSingleObject(info.hProcess, timeout_ms); waited != WAIT_OBJECT_0) {
        result = std::unexpected("the wait for the child gave " + std::to_string(waited) + ", last error " +
                                 std::to_string(::GetLastError()));
        ::TerminateProcess(info.hProcess, 1);
        ::WaitForSingleObject(info.hProcess, 5000);
    } else if (::GetExitCodeProcess(info.hProcess, &code)) {
        result = code;
    } else {
        result = std::unexpected("GetExitCodeProcess failed with " + std::to_string(::GetLastError()));
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return result;
}
