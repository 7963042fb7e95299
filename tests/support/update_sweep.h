#pragma once

// What the sweeps over an update's system calls share: an update folder, a trace placing each numbered call in
// its step, an ended process to wait for, and a copy of the test program that performs one update.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/build_paths.h"
#include "support/process.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"
#include "update_procedure.h"
#include "update_request.h"

// The steps of an update, in the order in which they run, with their printed names.
#define PU_UPDATE_STEPS(X)                  \
    X(None, "none")                         \
    X(CurrentTest, "1 test current")        \
    X(NewTest, "2 test new")                \
    X(Digest, "3 digest")                   \
    X(Wait, "5 wait")                       \
    X(StaleBackup, "7 stale backup")        \
    X(MoveToBackup, "8 current to backup")  \
    X(Install, "9 install")                 \
    X(RollBack, "9 roll-back")              \
    X(DeleteBackup, "10 delete backup")     \
    X(Restart, "12 restart")                \
    X(CloseStarted, "13 close started")

// What a call does within its step's operation; its printed name is its identifier in words, "Itself" being the
// query of the entry itself after 1920.
#define PU_CALL_ROLES(X)                                                                                            \
    X(QueryOpen) X(QueryInfo) X(QueryTag) X(QueryClose) X(QueryOpenItself) X(QueryInfoItself) X(QueryTagItself)     \
    X(QueryCloseItself) X(FolderListing) X(ListingClose) X(OpenForRead) X(ReadBuffer) X(Read) X(WaitForPendingRead) \
    X(FreeReadBuffer) X(CloseReadHandle) X(OpenOldProcess) X(WaitForOldProcess) X(BackupNameCompare)                \
    X(CloseOldProcess) X(Delete) X(DeleteFallbackOpen) X(DeleteDisposition) X(DeleteFallbackClose) X(Rename)        \
    X(RenameFallbackOpen) X(RenameInfoBlock) X(RenameByHandle) X(FreeRenameInfoBlock) X(RenameFallbackClose)        \
    X(ApplicationFullPath) X(LaunchQuery) X(StandardHandle) X(DuplicateStandardHandle) X(CreateProcess)             \
    X(CloseDuplicate) X(CloseStartedPatcherHandle) X(Other)

#define PU_ENUMERATOR(name, ...) name,
enum class Step : std::uint8_t { PU_UPDATE_STEPS(PU_ENUMERATOR) };
enum class Role : std::uint8_t { PU_CALL_ROLES(PU_ENUMERATOR) };
#undef PU_ENUMERATOR

std::string_view step_name(Step step);
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
// "#k Call (step, role)".
std::string describe(const TracedCall& call);
// The index of the first call of `step` in the trace, if any.
std::optional<std::size_t> first_of(const Trace& trace, Step step);

// An update's files under a root: the patcher, its replacement (maybe at the backup path) and the backup, in a
// folder whose name has a space and a non-ASCII letter.
struct UpdateLayout {
    explicit UpdateLayout(std::filesystem::path root_folder, bool replacement_at_backup = false);

    // The update of these files to stand-in version 2, waiting for `pid`.
    UpdateRequest request(std::uint32_t pid) const;

    std::filesystem::path root, app, current, replacement, backup;
};

inline constexpr std::string_view MISSING = "current or replacement patcher executable is missing";

// "success" or the error chain's text.
std::string outcome_text(const std::expected<void, ErrorChain>& updated);

// One update in this process, with `arrange` setting the recorder's failures.
struct UpdateRun {
    Trace trace;
    std::optional<std::string> failure;  // the error chain's text
    std::size_t open_resources = 0;
};
UpdateRun run_update(const UpdateLayout& layout, std::uint32_t pid,
                     const std::function<void(SystemCallRecorder&)>& arrange);

// What an entry holds, as far as the sweeps tell.
enum class Content : std::uint8_t { Missing, Version1, Version2, StaleBackup, Other };

std::string_view content_name(Content content);
Content content_of(const std::filesystem::path& path);
const std::string& bytes_of(Content content);
// The lowercase SHA-256 of stand-in version 2.
const std::string& version2_digest();

// How an update folder starts: version 1 installed and version 2 beside it, or at the backup path.
enum class Start : std::uint8_t { Plain, StaleBackup, ReplacementAtBackup };

std::string_view start_name(Start start);

// A fresh update folder; its end gives a patcher that the update started time to let go of it.
class SweepFolder {
public:
    explicit SweepFolder(Start start);
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

// What a copy of the test program does in CrashChild: one update under `root`, maybe failing or ending at a call.
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
// Files that the child writes under the root: the trace, and the outcome.
inline constexpr std::wstring_view TRACE_FILE = L"child-trace.txt";
inline constexpr std::wstring_view OUTCOME_FILE = L"child-outcome.txt";

// The order that this process was started with, if it is such a child.
std::optional<ChildOrder> child_order_from_environment();

// Starts this test program as a CrashChild with `order` (without this run's GTEST_ variables) and waits for it.
// The exit code, or why there is none: it could not be started, or did not end within `timeout_ms`.
std::expected<std::uint32_t, std::string> run_update_child(const ChildOrder& order, std::uint32_t timeout_ms = 60000);

// The fixture of both sweeps: a process that has ended and stays known while it lives, for the update to wait for.
class SweepTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (void)version2_digest(); }
    void SetUp() override { ASSERT_EQ(ended_.wait(20000).value_or(1), 0u); }
    // An order for a child updating `layout`, waiting for the ended process.
    ChildOrder order_for(const UpdateLayout& layout, ChildOrder order = {}) const {
        order.root = layout.root;
        order.replacement_at_backup = layout.replacement == layout.backup;
        order.pid = ended_.pid();
        return order;
    }

    ChildProcess ended_{build_file(PU_FAIL_FAST_PROBE_EXE), L"probe"};
};
