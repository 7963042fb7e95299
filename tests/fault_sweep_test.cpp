// Every system call of a whole update, made to fail in turn: the run must end as its step prescribes, leave the
// files in that step's state, restart the patcher only after a success, and close everything it opened.
//
// A clean run is traced first, each numbered call placed in its step and given its role there. For each k the
// update is repeated in a fresh folder with the k-th call failing, and what it must do is derived from the step and
// role of that call alone. Where the failure leads into a fallback or the roll-back, each call of that is failed too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/system_message.h"
#include "support/system_text.h"
#include "support/update_sweep.h"

namespace {

constexpr std::uint32_t STATUS_DEVICE_DATA_ERROR_VALUE = 0xC000009C;
constexpr std::uint32_t STATUS_PIPE_BROKEN_VALUE = 0xC000014B;
constexpr std::uint32_t STATUS_PENDING_VALUE = 0x00000103;

// The codes that a call is made to fail with: what it plausibly gives in the field (the Nt calls take an NTSTATUS;
// a failed HeapAlloc is a null block whatever the code; 5 sends a rename or a delete to its fallback by handle).
std::vector<std::uint32_t> codes_for(Call call) {
    using Codes = std::vector<std::uint32_t>;
    static const std::vector<std::pair<std::vector<Call>, Codes>> CODES = {
        {{Call::CreateFileW}, {ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND, ERROR_CANT_ACCESS_FILE}},
        {{Call::FindFirstFileExW, Call::OpenProcess}, {ERROR_ACCESS_DENIED}},
        {{Call::FindClose, Call::CloseHandle, Call::WaitForSingleObject, Call::GetStdHandle}, {ERROR_INVALID_HANDLE}},
        {{Call::GetFileInformationByHandle, Call::GetFileInformationByHandleEx}, {ERROR_INVALID_FUNCTION}},
        {{Call::HeapAlloc, Call::DuplicateHandle}, {ERROR_NOT_ENOUGH_MEMORY}},
        {{Call::HeapFree}, {ERROR_INVALID_PARAMETER}},
        {{Call::NtReadFile}, {STATUS_DEVICE_DATA_ERROR_VALUE, STATUS_PIPE_BROKEN_VALUE, STATUS_PENDING_VALUE}},
        {{Call::MoveFileExW, Call::DeleteFileW}, {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}},
        {{Call::SetFileInformationByHandle}, {ERROR_DIR_NOT_EMPTY}},
        {{Call::GetFullPathNameW}, {ERROR_FILENAME_EXCED_RANGE}},
        {{Call::CreateProcessW}, {ERROR_FILE_NOT_FOUND}},
    };
    for (const auto& [calls, codes] : CODES)
        if (std::ranges::find(calls, call) != calls.end()) return codes;
    return {ERROR_GEN_FAILURE};
}

// The rows of the failure tables that a failing call can lead to, with why no single failing call (or failing call
// within a fallback) of an ordinary update reaches it; empty for the rows that the sweep must reach.
#define PU_FAILURE_ROWS(X)                                                                                           \
    X(CurrentMissing, "update step 1: current path fails the regular-file test", "")                                 \
    X(NewMissing, "update step 2: new path fails the regular-file test", "")                                         \
    X(DigestFails, "update step 3: file_sha256 of the new path fails", "")                                           \
    X(DigestMismatch, "update step 4: digest text and expected text differ", "")                                     \
    X(WaitFails, "update step 5: wait result WAIT_FAILED (WAIT_TIMEOUT is the 60 s case, not a failing call)", "")   \
    X(StaleDeleteFails, "update step 7: a stale backup exists and its delete fails", "")                             \
    X(MoveToBackupFails, "update step 8: rename of current to backup fails", "")                                     \
    X(InstallFails, "update step 9: install rename fails, roll-back attempted", "")                                  \
    X(NoParent, "update step 11: the current path has no parent",                                                    \
      "the parent is found in the path text alone; no call is involved")                                            \
    X(LaunchFails, "update step 12: launch_process fails", "")                                                       \
    X(ReplacementIsBackup, "update step 7: the replacement is the file at the backup path",                          \
      "needs the replacement at the backup path: swept in ReplacementAtTheBackupPathIsNeverLost")                    \
    X(OpenProcessIgnored, "not reported: OpenProcess fails, no wait", "")                                            \
    X(BackupQueryIgnored, "not reported: the query of the backup path fails, nothing deleted", "")                   \
    X(RollBackIgnored, "not reported: the roll-back rename fails", "")                                               \
    X(DeleteAfterInstallIgnored, "not reported: the delete of the backup after the install fails", "")               \
    X(DigestOpenFails, "digest: the open fails, \"cannot open {}\" over its error", "")                              \
    X(DigestReadFails, "digest: a read fails, its error alone", "")                                                  \
    X(DigestBufferFails, "digest: the 1 MiB buffer cannot be allocated, fail-fast", "")                              \
    X(QueryListingFails, "query: open fails with 5 or 32 and the directory entry cannot be read", "")                \
    X(QueryUnfollowable, "query: open fails with 1920 and the attempt on the entry itself fails", "")                \
    X(QueryOtherFailure, "query: any other open failure, or a failed information call", "")                          \
    X(DeleteOther, "delete_file: DeleteFileW fails with a code other than 5", "")                                    \
    X(DeleteFallbackFails, "delete_file: 5, and the fallback open or the disposition fails", "")                     \
    X(RenameOther, "rename_replace: MoveFileExW fails with a code other than 5", "")                                 \
    X(RenameFallbackOpenFails, "rename_replace: 5, and the fallback open fails", "")                                 \
    X(RenameNameTooLong, "rename_replace: 5, and the target name is too long for a 32-bit byte length",              \
      "needs a target name of more than 2^31 UTF-16 units")                                                          \
    X(RenameOutOfMemory, "rename_replace: 5, and the rename block cannot be allocated", "")                          \
    X(RenameDirNotEmpty, "rename_replace: 5, and the rename by handle fails with 145", "")                           \
    X(RenameFallbackFails, "rename_replace: 5, and the rename by handle fails otherwise", "")                        \
    X(ReadNegativeStatus, "read_chunk: negative NT status", "")                                                      \
    X(ReadBrokenPipe, "read_chunk: a broken pipe counts as the end of the data", "")                                 \
    X(ReadStillPending, "read_chunk: still pending after the wait, fail-fast", "")                                   \
    X(PathHoldsNul, "to_wide_path: the path holds a NUL", "the request's paths hold no NUL, and no call adds one")   \
    X(PathFullNameFails, "to_wide_path: GetFullPathNameW fails",                                                     \
      "the sweep's paths are absolute and short, so their conversion makes no call")                                \
    X(LogWriteFails, "write_whole_file and write_chunk: every row",                                                  \
      "the failure log is written by the entry after apply_update has returned")                                    \
    X(LaunchNoFileName, "launch: program text empty or ending in a separator", "the program is the current path")   \
    X(LaunchNulInText, "launch: NUL in the program, an argument or the working directory",                          \
      "the texts come from the request, which holds no NUL")                                                         \
    X(LaunchNotFound, "launch: no folder of the search holds the program",                                           \
      "the current path has a folder, so there is no search")                                                        \
    X(LaunchFullPathFails, "launch: GetFullPathNameW fails", "")                                                     \
    X(LaunchScript, "launch: script rows (system directory, quote, line break)", "the patcher is no .bat or .cmd")  \
    X(LaunchDuplicateFails, "launch: DuplicateHandle fails", "this test program has no standard handles to pass on") \
    X(LaunchCreateProcessFails, "launch: CreateProcessW fails", "")

#define PU_ROW_ENUMERATOR(name, text, reason) name,
enum class Row : std::uint8_t { PU_FAILURE_ROWS(PU_ROW_ENUMERATOR) Count };
#undef PU_ROW_ENUMERATOR

struct RowInfo {
    std::string_view text, unreachable_because;
};

#define PU_ROW_INFO(name, text, reason) {text, reason},
constexpr RowInfo ROW_INFO[] = {PU_FAILURE_ROWS(PU_ROW_INFO)};
#undef PU_ROW_INFO

// What this system does with the two fallbacks through a handle (FileRenameInfoEx, FileDispositionInfoEx; Windows
// 10 1607 and later). Wine 8 refuses both with 87, so there the fallbacks end in 5.
struct Facts {
    bool rename_by_handle = false, delete_by_handle = false;
};

Facts probe_facts() {
    TempFolder folder(L"probe");
    const std::filesystem::path first = folder / L"a", second = folder / L"b";
    write_file(first, "a");
    Facts facts;
    const auto open = [](const std::filesystem::path& path, DWORD flags) {
        return ::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, flags, nullptr);
    };
    if (HANDLE file = open(first, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
        file != INVALID_HANDLE_VALUE) {
        const std::wstring& target = second.native();
        std::vector<unsigned char> block(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
        info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        std::memcpy(info->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
        facts.rename_by_handle = ::SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(22),
                                                              block.data(), static_cast<DWORD>(block.size()));
        ::CloseHandle(file);
    }
    if (HANDLE file = open(facts.rename_by_handle ? second : first, FILE_FLAG_OPEN_REPARSE_POINT);
        file != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO_EX disposition{};
        disposition.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
        facts.delete_by_handle = ::SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21),
                                                              &disposition, sizeof disposition);
        ::CloseHandle(file);
    }
    return facts;
}

struct Fault {
    TracedCall at;
    std::uint32_t code;
};

std::string describe(const Fault& fault) {
    char code[16];
    std::snprintf(code, sizeof code, fault.at.call == Call::NtReadFile || fault.at.call == Call::NtWriteFile ? "0x%08X" : "%u",
                  static_cast<unsigned>(fault.code));
    return describe(fault.at) + " fails with " + code;
}

std::string describe(const std::vector<Fault>& faults) {
    std::string text;
    for (const Fault& fault : faults) text += (text.empty() ? "" : ", then ") + describe(fault);
    return text;
}

enum class Ending : std::uint8_t { Success, Failure, FailFast };

std::string ending_name(Ending ending) {
    static constexpr std::string_view NAMES[] = {"success", "failure", "fail-fast"};
    return std::string(NAMES[static_cast<std::size_t>(ending)]);
}

struct Expectation {
    Ending ending = Ending::Success;
    std::string text;  // the chain's text for a failure
    Content current = Content::Version1, replacement = Content::Version2, backup = Content::Missing;
    bool restarted = false;
    std::string state;  // the row of the state table
    std::set<Row> rows;
};

// The text with the run's own folder named alike for every run.
std::string without_folder(std::string text, const std::string& folder) {
    for (std::size_t at = text.find(folder); at != std::string::npos; at = text.find(folder))
        text.replace(at, folder.size(), "{folder}");
    return text;
}

// What an update does when the given calls fail, worked out from the step and role of each failing call. Failures
// of closes, frees and the standard handle query change nothing.
class Model {
public:
    Model(std::vector<Fault> faults, Start start, const Facts& facts, std::string replacement_text)
        : faults_(std::move(faults)),
          taken_(faults_.size(), false),
          start_(start),
          facts_(facts),
          replacement_text_(std::move(replacement_text)) {}

    Expectation expect() {
        Expectation e;
        e.backup = start_ == Start::StaleBackup           ? Content::StaleBackup
                   : start_ == Start::ReplacementAtBackup ? Content::Version2
                                                          : Content::Missing;
        for (std::size_t i = 0; i < faults_.size(); ++i) taken_[i] = taken_[i] || changes_nothing(faults_[i].at.role);

        if (query(e, Step::CurrentTest, 0, true) == Answer::Failed)
            return failure(e, std::string(MISSING), "steps 1 to 4", Row::CurrentMissing);
        if (query(e, Step::NewTest, 0, true) == Answer::Failed)
            return failure(e, std::string(MISSING), "steps 1 to 4", Row::NewMissing);

        if (const auto code = take(Step::Digest, Role::OpenForRead)) {
            e.rows.insert(Row::DigestOpenFails);
            return failure(e, "cannot open " + replacement_text_ + ": " + os_error_display(*code), "steps 1 to 4",
                           Row::DigestFails);
        }
        if (take(Step::Digest, Role::ReadBuffer)) return fail_fast(e, Row::DigestBufferFails);
        for (std::size_t i = 0; i < faults_.size(); ++i) {
            if (taken_[i] || faults_[i].at.step != Step::Digest || faults_[i].at.role != Role::Read) continue;
            taken_[i] = true;
            const std::uint32_t status = faults_[i].code;
            if (status == STATUS_PENDING_VALUE) return fail_fast(e, Row::ReadStillPending);
            const std::uint32_t code = ::RtlNtStatusToDosError(static_cast<NTSTATUS>(status));
            if (code == 109 || code == 232 || code == 10058) {
                // A broken pipe is the end of the data: the digest covers what came before.
                e.rows.insert(Row::ReadBrokenPipe);
                if (faults_[i].at.bytes_before != bytes_of(Content::Version2).size())
                    return failure(e, "replacement patcher SHA-256 mismatch", "steps 1 to 4", Row::DigestMismatch);
                continue;
            }
            e.rows.insert(Row::ReadNegativeStatus);
            e.rows.insert(Row::DigestReadFails);
            return failure(e, os_error_display(code), "steps 1 to 4", Row::DigestFails);
        }

        if (take(Step::Wait, Role::OpenOldProcess)) {
            e.rows.insert(Row::OpenProcessIgnored);
        } else if (take(Step::Wait, Role::WaitForOldProcess)) {
            return failure(e, "timed out waiting for the old patcher process to exit", "step 5", Row::WaitFails);
        }

        // A failed full-path lookup leaves the texts compared as given.
        while (take(Step::StaleBackup, Role::BackupNameCompare)) {
        }
        // The new path is the backup path by its text, which needs no query that could fail.
        if (start_ == Start::ReplacementAtBackup)
            return failure(e, "replacement patcher is at the backup path", "step 7", Row::ReplacementIsBackup);
        const bool found = query(e, Step::StaleBackup, 0, start_ == Start::StaleBackup) != Answer::Failed;
        if (start_ == Start::StaleBackup && !found) e.rows.insert(Row::BackupQueryIgnored);
        if (found) {
            // Whether the backup is the replacement itself: it never is, and a failed query answers "different".
            (void)query(e, Step::StaleBackup, 1, true);
            (void)query(e, Step::StaleBackup, 2, true);
            if (const auto error = delete_error(e, Step::StaleBackup))
                return failure(e, "cannot remove stale patcher backup: " + *error, "step 7", Row::StaleDeleteFails);
            e.backup = Content::Missing;
        }

        if (const auto error = rename_error(e, Step::MoveToBackup))
            return failure(e, "cannot move the old patcher to backup: " + *error, "step 8", Row::MoveToBackupFails);
        e.current = Content::Missing;
        e.backup = Content::Version1;
        if (const auto error = rename_error(e, Step::Install)) {
            const bool rolled_back = !rename_error(e, Step::RollBack);
            if (rolled_back) {
                e.current = Content::Version1;
                e.backup = Content::Missing;
            } else {
                e.rows.insert(Row::RollBackIgnored);
            }
            return failure(e, "cannot install the new patcher executable: " + *error,
                           rolled_back ? "step 9, roll-back succeeded" : "step 9, roll-back failed", Row::InstallFails);
        }
        e.current = Content::Version2;
        e.replacement = Content::Missing;
        if (delete_error(e, Step::DeleteBackup))
            e.rows.insert(Row::DeleteAfterInstallIgnored);
        else
            e.backup = Content::Missing;

        for (const auto& [role, row] : {std::pair{Role::ApplicationFullPath, Row::LaunchFullPathFails},
                                        std::pair{Role::DuplicateStandardHandle, Row::LaunchDuplicateFails},
                                        std::pair{Role::CreateProcess, Row::LaunchCreateProcessFails}}) {
            if (const auto code = take(Step::Restart, role)) {
                e.rows.insert(row);
                return failure(e, "cannot restart the updated patcher: " + os_error_display(*code), "step 11 or 12",
                               Row::LaunchFails);
            }
        }
        e.restarted = true;
        e.state = "success";
        return e;
    }

    std::vector<Fault> unexplained() const {
        std::vector<Fault> left;
        for (std::size_t i = 0; i < faults_.size(); ++i)
            if (!taken_[i]) left.push_back(faults_[i]);
        return left;
    }

private:
    static bool changes_nothing(Role role) {
        static const std::set<Role> ROLES = {
            Role::QueryClose,      Role::QueryCloseItself,         Role::ListingClose,   Role::FreeReadBuffer,
            Role::CloseReadHandle,     Role::CloseOldProcess,        Role::DeleteFallbackClose,
            Role::FreeRenameInfoBlock, Role::RenameFallbackClose, Role::CloseDuplicate, Role::CloseStartedPatcherHandle,
            Role::StandardHandle};
        return ROLES.contains(role);
    }

    std::optional<std::uint32_t> take(Step step, Role role, std::optional<std::size_t> operation = std::nullopt) {
        for (std::size_t i = 0; i < faults_.size(); ++i) {
            const TracedCall& at = faults_[i].at;
            if (taken_[i] || at.step != step || at.role != role || (operation && at.operation != *operation)) continue;
            taken_[i] = true;
            return faults_[i].code;
        }
        return std::nullopt;
    }

    static Expectation failure(Expectation& e, std::string text, std::string state, Row row) {
        e.ending = Ending::Failure;
        e.text = std::move(text);
        e.state = std::move(state);
        e.rows.insert(row);
        return e;
    }

    static Expectation fail_fast(Expectation& e, Row row) {
        e.ending = Ending::FailFast;
        e.state = "steps 1 to 4";
        e.rows.insert(row);
        return e;
    }

    // How the metadata query of one path (links followed) answers: from an open handle (with the file's identity),
    // from the folder's listing (without it), or not at all.
    enum class Answer : std::uint8_t { Failed, Listed, Opened };

    // Whether the folder's listing stands in for an open that failed with `code`.
    bool listed(Step step, std::size_t operation, std::uint32_t code) {
        const bool listing_failed = take(step, Role::FolderListing, operation).has_value();
        return (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) && !listing_failed;
    }

    Answer query(Expectation& e, Step step, std::size_t operation, bool exists) {
        const auto open = take(step, Role::QueryOpen, operation);
        const auto info = take(step, Role::QueryInfo, operation);
        const auto tag = take(step, Role::QueryTag, operation);
        if (!open && !info && !tag) return exists ? Answer::Opened : Answer::Failed;
        if (open && (*open == ERROR_ACCESS_DENIED || *open == ERROR_SHARING_VIOLATION)) {
            if (listed(step, operation, *open) && exists) return Answer::Listed;
            e.rows.insert(Row::QueryListingFails);
            return Answer::Failed;
        }
        if (open && *open == ERROR_CANT_ACCESS_FILE) {
            // A second attempt on the entry itself, links not followed.
            Answer answer = exists ? Answer::Opened : Answer::Failed;
            if (const auto itself = take(step, Role::QueryOpenItself, operation))
                answer = listed(step, operation, *itself) && exists ? Answer::Listed : Answer::Failed;
            const auto itself_info = take(step, Role::QueryInfoItself, operation);
            const auto itself_tag = take(step, Role::QueryTagItself, operation);
            if (itself_info || itself_tag) answer = Answer::Failed;
            if (answer == Answer::Failed) e.rows.insert(Row::QueryUnfollowable);
            return answer;
        }
        e.rows.insert(Row::QueryOtherFailure);
        return Answer::Failed;
    }

    std::optional<std::string> delete_error(Expectation& e, Step step) {
        const auto code = take(step, Role::Delete);
        if (!code) return std::nullopt;
        if (*code != ERROR_ACCESS_DENIED) {
            e.rows.insert(Row::DeleteOther);
            return os_error_display(*code);
        }
        const bool open_failed = take(step, Role::DeleteFallbackOpen).has_value();
        const bool disposition_failed = take(step, Role::DeleteDisposition).has_value();
        if (!open_failed && !disposition_failed && facts_.delete_by_handle) return std::nullopt;
        e.rows.insert(Row::DeleteFallbackFails);
        return os_error_display(ERROR_ACCESS_DENIED);
    }

    std::optional<std::string> rename_error(Expectation& e, Step step) {
        const auto code = take(step, Role::Rename);
        if (!code) return std::nullopt;
        Row row = Row::RenameFallbackFails;
        std::uint32_t shown = ERROR_ACCESS_DENIED;
        if (*code != ERROR_ACCESS_DENIED) {
            row = Row::RenameOther;
            shown = *code;
        } else if (take(step, Role::RenameFallbackOpen)) {
            row = Row::RenameFallbackOpenFails;
        } else if (take(step, Role::RenameInfoBlock)) {
            e.rows.insert(Row::RenameOutOfMemory);
            return "out of memory";
        } else if (const auto by_handle = take(step, Role::RenameByHandle)) {
            if (*by_handle == ERROR_DIR_NOT_EMPTY) {
                row = Row::RenameDirNotEmpty;
                shown = ERROR_DIR_NOT_EMPTY;
            }
        } else if (facts_.rename_by_handle) {
            return std::nullopt;
        }
        e.rows.insert(row);
        return os_error_display(shown);
    }

    std::vector<Fault> faults_;
    std::vector<bool> taken_;
    Start start_;
    Facts facts_;
    std::string replacement_text_;
};

// Whether the run entered a fallback or the roll-back after its failing call: calls only a failure brings about.
bool in_fallback(const TracedCall& call, const TracedCall& failed) {
    return call.step == Step::RollBack || (call.step == failed.step && call.operation == failed.operation);
}

bool takes_a_fallback(const Trace& trace, const TracedCall& failed) {
    for (std::size_t i = failed.number; i < trace.size(); ++i) {
        const Role role = trace[i].role;
        if (trace[i].step == Step::RollBack ||
            (in_fallback(trace[i], failed) && (role == Role::FolderListing || role == Role::QueryOpenItself ||
                                               role == Role::DeleteFallbackOpen || role == Role::RenameFallbackOpen)))
            return true;
    }
    return false;
}

class FaultSweep : public SweepTest {
protected:
    // One update in a fresh folder with the given calls failing (the first by its number, the others by their
    // occurrence), checked against what the model expects. Gives the run's trace.
    Trace run_and_check(Start start, const std::vector<Fault>& faults) {
        SCOPED_TRACE(faults.empty() ? std::string("no call failing") : describe(faults));
        SweepFolder folder(start);
        const UpdateLayout& layout = folder.layout();
        Model model(faults, start, facts_, utf8(layout.replacement));
        const Expectation expected = model.expect();
        for (const Fault& left : model.unexplained()) ADD_FAILURE() << "no rule for " << describe(left);
        ++runs_;
        const std::string expected_outcome =
            expected.ending == Ending::Failure ? expected.text : ending_name(expected.ending);
        ++outcomes_[without_folder(expected_outcome, utf8(layout.root))];
        rows_.insert(expected.rows.begin(), expected.rows.end());

        UpdateRun run;
        Ending ending = expected.ending;
        if (expected.ending == Ending::FailFast) {
            // The process ends at once: run it in a copy of this program.
            EXPECT_LT(faults.front().at.step, Step::Restart);  // numbered alike in the child
            const auto exit_code = run_update_child(order_for(
                layout, {.fault_call = faults.front().at.call, .fault_occurrence = faults.front().at.occurrence,
                         .fault_code = faults.front().code}));
            EXPECT_EQ(exit_code.value_or(0), FAIL_FAST_EXIT_CODE) << (exit_code ? "" : exit_code.error());
            EXPECT_FALSE(std::filesystem::exists(layout.root / OUTCOME_FILE));
        } else {
            run = run_update(layout, ended_.pid(), [&](SystemCallRecorder& recorder) {
                if (!faults.empty()) recorder.fail_nth_call(faults[0].at.number, faults[0].code);
                for (std::size_t i = 1; i < faults.size(); ++i)
                    recorder.fail_call(faults[i].at.call, faults[i].code, faults[i].at.occurrence);
            });
            ending = run.failure ? Ending::Failure : Ending::Success;
            EXPECT_EQ(ending_name(ending), ending_name(expected.ending)) << run.failure.value_or("");
            if (expected.ending == Ending::Failure) EXPECT_EQ(run.failure.value_or(""), expected.text);
            EXPECT_EQ(run.open_resources, 0u);
            for (const Fault& fault : faults) {
                // The failure landed on the call it was meant for.
                if (run.trace.size() < fault.at.number) {
                    ADD_FAILURE() << "the run made only " << run.trace.size() << " calls";
                    continue;
                }
                const TracedCall& hit = run.trace[fault.at.number - 1];
                EXPECT_EQ(hit.call, fault.at.call);
                EXPECT_EQ(hit.step, fault.at.step);
                EXPECT_EQ(hit.role, fault.at.role);
            }
        }
        last_outcome_ = without_folder(run.failure.value_or(ending_name(ending)),
                                       utf8(layout.root));
        EXPECT_EQ(content_name(content_of(layout.current)), content_name(expected.current)) << expected.state;
        EXPECT_EQ(content_name(content_of(layout.replacement)), content_name(expected.replacement)) << expected.state;
        EXPECT_EQ(content_name(content_of(layout.backup)), content_name(expected.backup)) << expected.state;
        // A run that already ended otherwise than expected is not waited for.
        if (expected.restarted && ending == Ending::Success)
            EXPECT_TRUE(folder.restarted());
        else if (!expected.restarted)
            EXPECT_EQ(folder.starts(), "");
        return run.trace;
    }

    // The clean run, its trace, and the sweep over it.
    void sweep(Start start) {
        const Trace clean = run_and_check(start, {});
        ASSERT_FALSE(clean.empty());
        std::vector<std::string_view> steps, expected_names;
        for (const TracedCall& call : clean) {
            // Every call found its place; the sweep's expectations rest on it.
            EXPECT_NE(call.step, Step::None) << describe(call);
            EXPECT_NE(call.role, Role::Other) << describe(call);
            if (steps.empty() || steps.back() != step_name(call.step)) steps.push_back(step_name(call.step));
        }
        // A step that makes no call could not be swept: each is there, in order.
        std::vector<Step> expected_steps{Step::CurrentTest, Step::NewTest, Step::Digest, Step::Wait, Step::StaleBackup};
        if (start != Start::ReplacementAtBackup)
            expected_steps.insert(expected_steps.end(), {Step::MoveToBackup, Step::Install, Step::DeleteBackup,
                                                         Step::Restart, Step::CloseStarted});
        for (const Step step : expected_steps) expected_names.push_back(step_name(step));
        EXPECT_EQ(steps, expected_names);
        std::printf("\nwith %s, N = %zu numbered calls, the clean run ending in %s:\n",
                    std::string(start_name(start)).c_str(), clean.size(), last_outcome_.c_str());

        std::size_t second_level = 0;
        for (const TracedCall& at : clean) {
            for (const std::uint32_t code : codes_for(at.call)) {
                const Fault first{at, code};
                const Trace trace = run_and_check(start, {first});
                std::printf("  %-40s -> %s\n", describe(first).c_str(), last_outcome_.c_str());
                if (trace.empty() || !takes_a_fallback(trace, at)) continue;
                // Each call of the fallback (or roll-back) fails in turn too.
                for (std::size_t j = at.number; j < trace.size(); ++j) {
                    if (!in_fallback(trace[j], at)) continue;
                    for (const std::uint32_t second_code : codes_for(trace[j].call)) {
                        (void)run_and_check(start, {first, Fault{trace[j], second_code}});
                        ++second_level;
                    }
                }
            }
        }
        std::printf("  and %zu runs with a second call failing within a fallback or the roll-back\n", second_level);
    }

    void print_outcomes() {
        std::printf("\n%zu runs, %zu distinct outcomes:\n", runs_, outcomes_.size());
        for (const auto& [outcome, count] : outcomes_) std::printf("  %4zu  %s\n", count, outcome.c_str());
        std::fflush(stdout);
        RecordProperty("runs", static_cast<int>(runs_));
        RecordProperty("distinct_outcomes", static_cast<int>(outcomes_.size()));
    }

    void SetUp() override {
        SweepTest::SetUp();
        facts_ = probe_facts();
    }

    Facts facts_;
    std::size_t runs_ = 0;
    std::map<std::string, std::size_t> outcomes_;
    std::set<Row> rows_;
    std::string last_outcome_;
};

TEST_F(FaultSweep, EveryFailingCallEndsAsItsStepPrescribes) {
    std::printf("rename by handle %s, delete by handle %s on this system\n",
                facts_.rename_by_handle ? "works" : "fails", facts_.delete_by_handle ? "works" : "fails");
    sweep(Start::Plain);
    sweep(Start::StaleBackup);
    print_outcomes();

    std::printf("\nfailure-table rows that no failing call reached:\n");
    for (std::size_t i = 0; i < static_cast<std::size_t>(Row::Count); ++i) {
        if (rows_.contains(static_cast<Row>(i))) continue;
        const RowInfo& info = ROW_INFO[i];
        std::printf("  %s: %s\n", std::string(info.text).c_str(),
                    info.unreachable_because.empty() ? "NOT REACHED" : std::string(info.unreachable_because).c_str());
        EXPECT_FALSE(info.unreachable_because.empty()) << info.text << " was meant to be reached";
    }
    std::fflush(stdout);

    // The steps that never stop an update were each seen to let it go on.
    for (const Row row :
         {Row::OpenProcessIgnored, Row::BackupQueryIgnored, Row::RollBackIgnored, Row::DeleteAfterInstallIgnored})
        EXPECT_TRUE(rows_.contains(row)) << ROW_INFO[static_cast<std::size_t>(row)].text;
}

// A replacement downloaded to the backup path is the verified build: the update refuses it with nothing changed
// rather than delete it as stale or rename over it, whichever call of the test that both paths name one file fails.
TEST_F(FaultSweep, ReplacementAtTheBackupPathIsNeverLost) {
    sweep(Start::ReplacementAtBackup);
    print_outcomes();
    EXPECT_TRUE(rows_.contains(Row::ReplacementIsBackup));
}

}  // namespace
