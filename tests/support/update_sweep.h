#pragma once

// What the sweeps over an update's system calls share: a folder with an
// installed stand-in patcher and its replacement, a trace that says which
// step of the update each numbered call belongs to, a process that has ended
// (so that the wait returns at once), and a copy of the test program that
// performs one update in a given folder, so that a run may end the process
// without taking the test program down.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"
#include "update_request.h"

// The steps of an update, in the order in which they run.
enum class Step : std::uint8_t {
    None,
    CurrentTest,   // regular-file test of the current path
    NewTest,       // regular-file test of the new path
    Digest,        // SHA-256 of the replacement
    Wait,          // the old process opened and waited for
    StaleBackup,   // an old backup looked for and deleted
    MoveToBackup,  // current renamed to the backup path
    Install,       // replacement renamed to the current path
    RollBack,      // backup renamed back after a failed install
    DeleteBackup,  // the backup deleted after the install
    Restart,       // the patcher started again
    CloseStarted,  // the started patcher's handles closed
};

std::string_view step_name(Step step);

// What a call does within its step's operation.
enum class Role : std::uint8_t {
    QueryOpen,  // metadata query, links followed
    QueryInfo,
    QueryTag,
    QueryClose,
    ItselfOpen,  // metadata query of the entry itself, after 1920
    ItselfInfo,
    ItselfTag,
    ItselfClose,
    Listing,  // the folder's entry instead of an open
    ListingClose,
    DigestOpen,
    DigestBuffer,
    DigestRead,
    PendingWait,
    DigestFree,
    DigestClose,
    OpenProcess,
    WaitForProcess,
    BackupNameCompare,  // full paths of the backup and new path compared
    ProcessClose,
    Delete,
    DeleteFallbackOpen,
    Disposition,
    DeleteFallbackClose,
    Move,
    RenameFallbackOpen,
    RenameBlock,
    RenameInfo,
    RenameBlockFree,
    RenameFallbackClose,
    LaunchFullPath,
    LaunchQuery,
    StdHandle,
    Duplicate,
    CreateProcess,
    DuplicateClose,
    StartedClose,
    Other,
};

std::string_view role_name(Role role);

// One numbered call of an update, placed in the update's steps.
struct TracedCall {
    std::size_t number = 0;  // 1-based, as SystemCallRecorder numbers it
    Call call = Call::Count;
    Step step = Step::None;
    Role role = Role::Other;
    std::size_t operation = 0;       // which operation of its step (0 for the first)
    std::size_t occurrence = 0;      // how many calls of `call` up to this one, this one included
    std::uint64_t bytes_before = 0;  // for a digest read: what the earlier reads returned
};

using Trace = std::vector<TracedCall>;

std::string trace_text(const Trace& trace);
Trace parse_trace(std::string_view text);

// The index of the first call of `step` in the trace, if any.
std::optional<std::size_t> first_of(const Trace& trace, Step step);

struct UpdatePaths {
    std::wstring current, replacement, backup;
};

// Observes the calls that SystemCallRecorder numbers, with their arguments.
// Create it after the recorder: it wraps the recorder's table and so also sees
// the calls that the recorder makes fail. A close (or free) that the recorder
// fails is then made for real, since a close fails in the field only on a
// handle that is not open: the program must go on as if it were gone, not
// find it still open. When the tracer ends it restores the recorder's table
// and releases whatever the run left open (check the recorder before).
class UpdateTracer {
public:
    explicit UpdateTracer(UpdatePaths paths);
    ~UpdateTracer();
    UpdateTracer(const UpdateTracer&) = delete;
    UpdateTracer& operator=(const UpdateTracer&) = delete;

    // The calls so far, each placed in its step.
    Trace trace() const;

    struct State;

private:
    SystemCalls saved_;
    UpdatePaths paths_;
};

// Where an update's files lie under a root folder: the installed patcher, its
// downloaded replacement and the backup, in a folder whose name has a space
// and a non-ASCII letter. The replacement may have been downloaded to the
// backup path itself.
struct UpdateLayout {
    explicit UpdateLayout(std::filesystem::path root_folder, bool replacement_at_backup = false);

    UpdatePaths paths() const;
    // The update of these files to stand-in version 2, waiting for `pid`.
    UpdateRequest request(std::uint32_t pid) const;

    std::filesystem::path root, app, current, replacement, backup;
};

// What an entry holds, as far as the sweeps tell.
enum class Content : std::uint8_t { Missing, Version1, Version2, StaleBackup, Other };

std::string_view content_name(Content content);
Content content_of(const std::filesystem::path& path);
// The bytes of a content that a file may hold.
const std::string& bytes_of(Content content);
// The lowercase SHA-256 of stand-in version 2.
const std::string& version2_digest();

// How an update folder starts: version 1 installed and version 2 downloaded
// beside it, with no backup, with a stale backup of an earlier update, or with
// version 2 downloaded to the backup path.
enum class Start : std::uint8_t { Plain, StaleBackup, ReplacementAtBackup };

std::string_view start_name(Start start);

// A fresh update folder.
class SweepFolder {
public:
    explicit SweepFolder(Start start);
    // Gives a patcher that the update started time to let go of the folder.
    ~SweepFolder();
    SweepFolder(const SweepFolder&) = delete;
    SweepFolder& operator=(const SweepFolder&) = delete;

    const UpdateLayout& layout() const { return layout_; }
    // The lines that started stand-in patchers recorded.
    std::string starts() const;
    // Waits until a stand-in patcher has recorded its start.
    bool restarted() const;

private:
    TempFolder root_{L"sweep"};
    UpdateLayout layout_;
};

// A process that has ended and stays known to the system while this object
// lives: it can be opened by its id, and waiting for it returns at once.
class EndedProcess {
public:
    EndedProcess();
    std::uint32_t pid() const { return process_.pid(); }
    bool ended() const { return ended_; }

private:
    ChildProcess process_;
    bool ended_ = false;
};

// What a copy of the test program does in CrashChild: one update of the files
// under `root`, with a call failing and/or the process ending at a call.
struct ChildOrder {
    std::filesystem::path root;
    bool replacement_at_backup = false;  // as the folder's layout has it
    std::uint32_t pid = 0;
    bool write_trace = false;        // writes the trace to TRACE_FILE
    std::size_t end_at = 0;          // the numbered call at which the process ends at once; 0: none
    std::optional<Call> fault_call;  // a call to fail, with its occurrence and code
    std::size_t fault_occurrence = 0;
    std::uint32_t fault_code = 0;
};

inline constexpr std::wstring_view CHILD_ORDER_VARIABLE = L"PU_CRASH_CHILD";
inline constexpr std::wstring_view CHILD_TEST_FILTER = L"CrashChild.PerformsTheOrderedUpdate";
// The exit code of a child that ended itself at the chosen call.
inline constexpr std::uint32_t ENDED_AT_CALL_EXIT_CODE = 99;
// The status of a process that ended through the fail-fast service.
inline constexpr std::uint32_t FAIL_FAST_EXIT_CODE = 0xC0000409;
// Files that the child writes under the root: the trace, and the outcome
// ("success" or the error chain's text).
inline constexpr std::wstring_view TRACE_FILE = L"child-trace.txt";
inline constexpr std::wstring_view OUTCOME_FILE = L"child-outcome.txt";

std::wstring order_text(const ChildOrder& order);
std::optional<ChildOrder> parse_order(std::wstring_view text);
// The order that this process was started with, if it is such a child.
std::optional<ChildOrder> child_order_from_environment();

// Starts this test program as a CrashChild with `order` (and without the
// GTEST_ variables of this run, which would change what it runs or where it
// writes) and waits for it. The exit code, or why there is none: it could not
// be started, or did not end within `timeout_ms` (and was ended).
std::expected<std::uint32_t, std::string> run_update_child(const ChildOrder& order, std::uint32_t timeout_ms = 60000);
