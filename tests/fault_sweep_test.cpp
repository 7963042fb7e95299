// Every system call of a whole update, made to fail in turn: the run must end
// as its step prescribes, leave the files in that step's state, restart the
// patcher only after a success, and close everything it opened.
//
// A clean run is traced first: each numbered call is placed in its step and
// given its role there (the query of the current path, the install rename,
// the read of the digest, ...). For each k the update is repeated in a fresh
// folder with the k-th call failing, and what it must do is derived from the
// step and role of that call alone. Where the failure leads into a fallback
// or the roll-back, each call of that fallback is then failed as well.
#include "update_procedure.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/system_message.h"
#include "support/system_call_override.h"
#include "support/system_text.h"
#include "support/temp_folder.h"
#include "support/update_sweep.h"

namespace {

constexpr std::uint32_t STATUS_DEVICE_DATA_ERROR_VALUE = 0xC000009C;
constexpr std::uint32_t STATUS_PIPE_BROKEN_VALUE = 0xC000014B;
constexpr std::uint32_t STATUS_PENDING_VALUE = 0x00000103;

constexpr std::string_view MISSING = "current or replacement patcher executable is missing";

// The codes that a call is made to fail with: what it plausibly gives in the
// field. The Nt calls take an NTSTATUS. A failed HeapAlloc is a null block,
// whatever the code.
std::vector<std::uint32_t> codes_for(Call call) {
    switch (call) {
    case Call::CreateFileW: return {ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND, ERROR_CANT_ACCESS_FILE};
    case Call::FindFirstFileExW: return {ERROR_ACCESS_DENIED};
    case Call::FindClose:
    case Call::CloseHandle:
    case Call::WaitForSingleObject:
    case Call::GetStdHandle: return {ERROR_INVALID_HANDLE};
    case Call::GetFileInformationByHandle:
    case Call::GetFileInformationByHandleEx: return {ERROR_INVALID_FUNCTION};
    case Call::HeapAlloc:
    case Call::DuplicateHandle: return {ERROR_NOT_ENOUGH_MEMORY};
    case Call::HeapFree: return {ERROR_INVALID_PARAMETER};
    case Call::NtReadFile: return {STATUS_DEVICE_DATA_ERROR_VALUE, STATUS_PIPE_BROKEN_VALUE, STATUS_PENDING_VALUE};
    case Call::OpenProcess: return {ERROR_ACCESS_DENIED};
    // 5 sends a rename or a delete to its fallback through a handle.
    case Call::MoveFileExW:
    case Call::DeleteFileW: return {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED};
    case Call::SetFileInformationByHandle: return {ERROR_DIR_NOT_EMPTY};
    case Call::GetFullPathNameW: return {ERROR_FILENAME_EXCED_RANGE};
    case Call::CreateProcessW: return {ERROR_FILE_NOT_FOUND};
    default: return {ERROR_GEN_FAILURE};
    }
}

std::string code_text(Call call, std::uint32_t code) {
    char text[16];
    if (call == Call::NtReadFile || call == Call::NtWriteFile)
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    else
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(code));
    return text;
}

// The rows of the failure tables that a failing call can lead to.
enum class Row : std::uint8_t {
    CurrentMissing,
    NewMissing,
    DigestFails,
    DigestMismatch,
    WaitFails,
    StaleDeleteFails,
    MoveToBackupFails,
    InstallFails,
    NoParent,
    LaunchFails,
    ReplacementIsBackup,
    OpenProcessIgnored,
    BackupQueryIgnored,
    RollBackIgnored,
    DeleteAfterInstallIgnored,
    DigestOpenFails,
    DigestReadFails,
    DigestBufferFails,
    QueryListingFails,
    QueryUnfollowable,
    QueryOtherFailure,
    DeleteOther,
    DeleteFallbackFails,
    RenameOther,
    RenameFallbackOpenFails,
    RenameNameTooLong,
    RenameOutOfMemory,
    RenameDirNotEmpty,
    RenameFallbackFails,
    ReadNegativeStatus,
    ReadBrokenPipe,
    ReadStillPending,
    PathHoldsNul,
    PathFullNameFails,
    LogWriteFails,
    LaunchNoFileName,
    LaunchNulInText,
    LaunchNotFound,
    LaunchFullPathFails,
    LaunchScript,
    LaunchDuplicateFails,
    LaunchCreateProcessFails,
    Count
};

struct RowInfo {
    std::string_view text;
    // Why no single failing call (or failing call within a fallback) of an
    // ordinary update reaches it; empty for the rows that the sweep must reach.
    std::string_view unreachable_because;
};

RowInfo row_info(Row row) {
    switch (row) {
    case Row::CurrentMissing: return {"update step 1: current path fails the regular-file test", ""};
    case Row::NewMissing: return {"update step 2: new path fails the regular-file test", ""};
    case Row::DigestFails: return {"update step 3: file_sha256 of the new path fails", ""};
    case Row::DigestMismatch: return {"update step 4: digest text and expected text differ", ""};
    case Row::WaitFails:
        return {"update step 5: wait result WAIT_FAILED (WAIT_TIMEOUT is the 60 s case, not a failing call)", ""};
    case Row::StaleDeleteFails: return {"update step 7: a stale backup exists and its delete fails", ""};
    case Row::MoveToBackupFails: return {"update step 8: rename of current to backup fails", ""};
    case Row::InstallFails: return {"update step 9: install rename fails, roll-back attempted", ""};
    case Row::NoParent:
        return {"update step 11: the current path has no parent",
                "the parent is found in the path text alone; no call is involved"};
    case Row::LaunchFails: return {"update step 12: launch_process fails", ""};
    case Row::ReplacementIsBackup:
        return {"update step 7: the replacement is the file at the backup path",
                "needs the replacement at the backup path: swept in ReplacementAtTheBackupPathIsNeverLost"};
    case Row::OpenProcessIgnored: return {"not reported: OpenProcess fails, no wait", ""};
    case Row::BackupQueryIgnored: return {"not reported: the query of the backup path fails, nothing deleted", ""};
    case Row::RollBackIgnored: return {"not reported: the roll-back rename fails", ""};
    case Row::DeleteAfterInstallIgnored: return {"not reported: the delete of the backup after the install fails", ""};
    case Row::DigestOpenFails: return {"digest: the open fails, \"cannot open {}\" over its error", ""};
    case Row::DigestReadFails: return {"digest: a read fails, its error alone", ""};
    case Row::DigestBufferFails: return {"digest: the 1 MiB buffer cannot be allocated, fail-fast", ""};
    case Row::QueryListingFails: return {"query: open fails with 5 or 32 and the directory entry cannot be read", ""};
    case Row::QueryUnfollowable: return {"query: open fails with 1920 and the attempt on the entry itself fails", ""};
    case Row::QueryOtherFailure: return {"query: any other open failure, or a failed information call", ""};
    case Row::DeleteOther: return {"delete_file: DeleteFileW fails with a code other than 5", ""};
    case Row::DeleteFallbackFails: return {"delete_file: 5, and the fallback open or the disposition fails", ""};
    case Row::RenameOther: return {"rename_replace: MoveFileExW fails with a code other than 5", ""};
    case Row::RenameFallbackOpenFails: return {"rename_replace: 5, and the fallback open fails", ""};
    case Row::RenameNameTooLong:
        return {"rename_replace: 5, and the target name is too long for a 32-bit byte length",
                "needs a target name of more than 2^31 UTF-16 units"};
    case Row::RenameOutOfMemory: return {"rename_replace: 5, and the rename block cannot be allocated", ""};
    case Row::RenameDirNotEmpty: return {"rename_replace: 5, and the rename by handle fails with 145", ""};
    case Row::RenameFallbackFails: return {"rename_replace: 5, and the rename by handle fails otherwise", ""};
    case Row::ReadNegativeStatus: return {"read_chunk: negative NT status", ""};
    case Row::ReadBrokenPipe: return {"read_chunk: a broken pipe counts as the end of the data", ""};
    case Row::ReadStillPending: return {"read_chunk: still pending after the wait, fail-fast", ""};
    case Row::PathHoldsNul:
        return {"to_wide_path: the path holds a NUL", "the request's paths hold no NUL, and no call adds one"};
    case Row::PathFullNameFails:
        return {"to_wide_path: GetFullPathNameW fails",
                "the sweep's paths are absolute and short, so their conversion makes no call"};
    case Row::LogWriteFails:
        return {"write_whole_file and write_chunk: every row",
                "the failure log is written by the entry after apply_update has returned"};
    case Row::LaunchNoFileName:
        return {"launch: program text empty or ending in a separator", "the program is the current path"};
    case Row::LaunchNulInText:
        return {"launch: NUL in the program, an argument or the working directory",
                "the texts come from the request, which holds no NUL"};
    case Row::LaunchNotFound:
        return {"launch: no folder of the search holds the program",
                "the current path has a folder, so there is no search"};
    case Row::LaunchFullPathFails: return {"launch: GetFullPathNameW fails", ""};
    case Row::LaunchScript:
        return {"launch: script rows (system directory, quote, line break)", "the patcher is no .bat or .cmd"};
    case Row::LaunchDuplicateFails:
        return {"launch: DuplicateHandle fails", "this test program has no standard handles to pass on"};
    case Row::LaunchCreateProcessFails: return {"launch: CreateProcessW fails", ""};
    case Row::Count: break;
    }
    return {"?", ""};
}

// What this system does with the two fallbacks through a handle
// (FileRenameInfoEx, FileDispositionInfoEx; Windows 10 1607 and later).
// Wine 8 refuses both with 87, so there the fallbacks end in 5.
struct Facts {
    bool rename_by_handle = false;
    bool delete_by_handle = false;
};

Facts probe_facts() {
    TempFolder folder(L"probe");
    const std::filesystem::path first = folder / L"a", second = folder / L"b";
    write_file(first, "a");
    Facts facts;

    HANDLE file = ::CreateFileW(first.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
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

    const std::filesystem::path left = facts.rename_by_handle ? second : first;
    file = ::CreateFileW(left.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
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
    return "#" + std::to_string(fault.at.number) + " " + std::string(call_name(fault.at.call)) + " (" +
           std::string(step_name(fault.at.step)) + ", " + std::string(role_name(fault.at.role)) + ") fails with " +
           code_text(fault.at.call, fault.code);
}

std::string describe(const std::vector<Fault>& faults) {
    std::string text;
    for (const Fault& fault : faults) text += (text.empty() ? "" : ", then ") + describe(fault);
    return text;
}

enum class Ending : std::uint8_t { Success, Failure, FailFast };

struct Expectation {
    Ending ending = Ending::Success;
    std::string text;        // the chain's text for a failure
    bool text_known = true;  // false where only the sound end state is known
    Content current = Content::Version1;
    Content replacement = Content::Version2;
    Content backup = Content::Missing;
    bool restarted = false;
    std::string state;  // the row of the state table
    std::set<Row> rows;
};

std::string_view ending_name(Ending ending) {
    switch (ending) {
    case Ending::Success: return "success";
    case Ending::Failure: return "failure";
    case Ending::FailFast: return "fail-fast";
    }
    return "?";
}

std::string outcome_text(const Expectation& expected) {
    switch (expected.ending) {
    case Ending::Success: return "success";
    case Ending::FailFast: return "fail-fast";
    case Ending::Failure: return expected.text_known ? expected.text : "a failure, nothing changed";
    }
    return "?";
}

// The text with the run's own folder named alike for every run.
std::string without_folder(std::string text, const std::string& folder) {
    for (std::size_t at = text.find(folder); at != std::string::npos; at = text.find(folder))
        text.replace(at, folder.size(), "{folder}");
    return text;
}

bool is_broken_pipe(std::uint32_t code) { return code == 109 || code == 232 || code == 10058; }

// What an update does when the given calls fail, worked out from the step
// and role of each failing call. Failures of closes, frees and the standard
// handle query change nothing.
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

        if (const auto code = take(Step::Digest, Role::DigestOpen)) {
            e.rows.insert(Row::DigestOpenFails);
            return failure(e, "cannot open " + replacement_text_ + ": " + os_error_display(*code), "steps 1 to 4",
                           Row::DigestFails);
        }
        if (take(Step::Digest, Role::DigestBuffer)) return fail_fast(e, Row::DigestBufferFails);
        for (std::size_t i = 0; i < faults_.size(); ++i) {
            if (taken_[i] || faults_[i].at.step != Step::Digest || faults_[i].at.role != Role::DigestRead) continue;
            taken_[i] = true;
            const std::uint32_t status = faults_[i].code;
            if (status == STATUS_PENDING_VALUE) return fail_fast(e, Row::ReadStillPending);
            const std::uint32_t code = ::RtlNtStatusToDosError(static_cast<NTSTATUS>(status));
            if (is_broken_pipe(code)) {
                // The end of the data: the digest covers what came before.
                e.rows.insert(Row::ReadBrokenPipe);
                if (faults_[i].at.bytes_before != bytes_of(Content::Version2).size())
                    return failure(e, "replacement patcher SHA-256 mismatch", "steps 1 to 4", Row::DigestMismatch);
                continue;
            }
            e.rows.insert(Row::ReadNegativeStatus);
            e.rows.insert(Row::DigestReadFails);
            return failure(e, os_error_display(code), "steps 1 to 4", Row::DigestFails);
        }

        if (take(Step::Wait, Role::OpenProcess)) {
            e.rows.insert(Row::OpenProcessIgnored);
        } else if (take(Step::Wait, Role::WaitForProcess)) {
            return failure(e, "timed out waiting for the old patcher process to exit", "step 5", Row::WaitFails);
        }

        // A failed full-path lookup leaves the texts compared as given.
        while (take(Step::StaleBackup, Role::BackupNameCompare)) {
        }
        if (start_ == Start::ReplacementAtBackup) {
            // The new path is the backup path by its text, which needs no
            // query that could fail: nothing may delete the replacement as
            // stale, nor a rename replace it.
            return failure(e, "replacement patcher is at the backup path", "step 7", Row::ReplacementIsBackup);
        }
        const bool found = query(e, Step::StaleBackup, 0, start_ == Start::StaleBackup) != Answer::Failed;
        if (start_ == Start::StaleBackup && !found) e.rows.insert(Row::BackupQueryIgnored);
        if (found) {
            // Whether the backup is the replacement itself: here it never is,
            // and a failed query answers "different files" as well.
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
            std::string state = "step 9, roll-back succeeded";
            if (rename_error(e, Step::RollBack)) {
                e.rows.insert(Row::RollBackIgnored);
                state = "step 9, roll-back failed";
            } else {
                e.current = Content::Version1;
                e.backup = Content::Missing;
            }
            return failure(e, "cannot install the new patcher executable: " + *error, state, Row::InstallFails);
        }
        e.current = Content::Version2;
        e.replacement = Content::Missing;
        if (delete_error(e, Step::DeleteBackup))
            e.rows.insert(Row::DeleteAfterInstallIgnored);
        else
            e.backup = Content::Missing;

        for (const auto& [role, row] : {std::pair{Role::LaunchFullPath, Row::LaunchFullPathFails},
                                        std::pair{Role::Duplicate, Row::LaunchDuplicateFails},
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
        switch (role) {
        case Role::QueryClose:
        case Role::ItselfClose:
        case Role::ListingClose:
        case Role::DigestFree:
        case Role::DigestClose:
        case Role::ProcessClose:
        case Role::DeleteFallbackClose:
        case Role::RenameBlockFree:
        case Role::RenameFallbackClose:
        case Role::DuplicateClose:
        case Role::StartedClose:
        case Role::StdHandle: return true;
        default: return false;
        }
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

    // How the metadata query of one path (links followed) answers: from an
    // open handle (with the file's identity), from the folder's listing
    // (without it), or not at all.
    enum class Answer : std::uint8_t { Failed, Listed, Opened };

    Answer query(Expectation& e, Step step, std::size_t operation, bool exists) {
        const auto open = take(step, Role::QueryOpen, operation);
        const auto info = take(step, Role::QueryInfo, operation);
        const auto tag = take(step, Role::QueryTag, operation);
        if (!open) {
            if (!info && !tag) return exists ? Answer::Opened : Answer::Failed;
            e.rows.insert(Row::QueryOtherFailure);
            return Answer::Failed;
        }
        if (*open == ERROR_ACCESS_DENIED || *open == ERROR_SHARING_VIOLATION) {
            // The folder's listing stands in for the open.
            const bool listing_failed = take(step, Role::Listing, operation).has_value();
            if (exists && !listing_failed) return Answer::Listed;
            e.rows.insert(Row::QueryListingFails);
            return Answer::Failed;
        }
        if (*open == ERROR_CANT_ACCESS_FILE) {
            // A second attempt on the entry itself, links not followed.
            Answer answer = exists ? Answer::Opened : Answer::Failed;
            if (const auto itself = take(step, Role::ItselfOpen, operation)) {
                const bool listing_failed = take(step, Role::Listing, operation).has_value();
                const bool listed =
                    (*itself == ERROR_ACCESS_DENIED || *itself == ERROR_SHARING_VIOLATION) && !listing_failed;
                answer = exists && listed ? Answer::Listed : Answer::Failed;
            }
            const auto itself_info = take(step, Role::ItselfInfo, operation);
            const auto itself_tag = take(step, Role::ItselfTag, operation);
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
        const bool disposition_failed = take(step, Role::Disposition).has_value();
        if (!open_failed && !disposition_failed && facts_.delete_by_handle) return std::nullopt;
        e.rows.insert(Row::DeleteFallbackFails);
        return os_error_display(ERROR_ACCESS_DENIED);
    }

    std::optional<std::string> rename_error(Expectation& e, Step step) {
        const auto code = take(step, Role::Move);
        if (!code) return std::nullopt;
        if (*code != ERROR_ACCESS_DENIED) {
            e.rows.insert(Row::RenameOther);
            return os_error_display(*code);
        }
        if (take(step, Role::RenameFallbackOpen)) {
            e.rows.insert(Row::RenameFallbackOpenFails);
            return os_error_display(ERROR_ACCESS_DENIED);
        }
        if (take(step, Role::RenameBlock)) {
            e.rows.insert(Row::RenameOutOfMemory);
            return "out of memory";
        }
        if (const auto by_handle = take(step, Role::RenameInfo)) {
            if (*by_handle == ERROR_DIR_NOT_EMPTY) {
                e.rows.insert(Row::RenameDirNotEmpty);
                return os_error_display(ERROR_DIR_NOT_EMPTY);
            }
        } else if (facts_.rename_by_handle) {
            return std::nullopt;
        }
        e.rows.insert(Row::RenameFallbackFails);
        return os_error_display(ERROR_ACCESS_DENIED);
    }

    std::vector<Fault> faults_;
    std::vector<bool> taken_;
    Start start_;
    Facts facts_;
    std::string replacement_text_;
};

struct Observed {
    Trace trace;
    Ending ending = Ending::Success;
    std::string text;
    std::size_t open_resources = 0;
};

// Whether the k-run entered a fallback or the roll-back after its failing
// call: calls that only a failure brings about.
bool takes_a_fallback(const Trace& trace, const TracedCall& failed) {
    for (std::size_t i = failed.number; i < trace.size(); ++i) {
        const TracedCall& call = trace[i];
        if (call.step == Step::RollBack) return true;
        if (call.step != failed.step || call.operation != failed.operation) continue;
        switch (call.role) {
        case Role::Listing:
        case Role::ItselfOpen:
        case Role::DeleteFallbackOpen:
        case Role::RenameFallbackOpen: return true;
        default: break;
        }
    }
    return false;
}

class FaultSweep : public ::testing::Test {
protected:
    // One update in a fresh folder with the given calls failing (the first by
    // its number, the others by their occurrence), checked against what the
    // model expects. Gives the run's trace.
    Trace run_and_check(Start start, const std::vector<Fault>& faults) {
        SCOPED_TRACE(faults.empty() ? std::string("no call failing") : describe(faults));
        SweepFolder folder(start);
        const UpdateLayout& layout = folder.layout();
        Model model(faults, start, facts_, utf8(layout.replacement));
        const Expectation expected = model.expect();
        for (const Fault& left : model.unexplained()) ADD_FAILURE() << "no rule for " << describe(left);
        ++runs_;
        ++outcomes_[without_folder(outcome_text(expected), utf8(layout.root))];
        rows_.insert(expected.rows.begin(), expected.rows.end());

        Observed observed;
        observed.ending = expected.ending;
        if (expected.ending == Ending::FailFast) {
            // The process ends at once: run it in a copy of this program.
            EXPECT_LT(faults.front().at.step, Step::Restart);  // numbered alike in the child
            ChildOrder order;
            order.root = layout.root;
            order.replacement_at_backup = start == Start::ReplacementAtBackup;
            order.pid = ended_.pid();
            order.fault_call = faults.front().at.call;
            order.fault_occurrence = faults.front().at.occurrence;
            order.fault_code = faults.front().code;
            const auto exit_code = run_update_child(order);
            EXPECT_EQ(exit_code.value_or(0), FAIL_FAST_EXIT_CODE) << (exit_code ? std::string() : exit_code.error());
            EXPECT_FALSE(std::filesystem::exists(layout.root / OUTCOME_FILE));
        } else {
            observed = run_in_process(layout, faults);
            EXPECT_EQ(ending_name(observed.ending), ending_name(expected.ending)) << observed.text;
            if (expected.ending == Ending::Failure && expected.text_known) EXPECT_EQ(observed.text, expected.text);
            EXPECT_EQ(observed.open_resources, 0u);
            for (const Fault& fault : faults) {
                // The failure landed on the call it was meant for.
                if (observed.trace.size() < fault.at.number) {
                    ADD_FAILURE() << "the run made only " << observed.trace.size() << " calls";
                    continue;
                }
                const TracedCall& hit = observed.trace[fault.at.number - 1];
                EXPECT_EQ(hit.call, fault.at.call);
                EXPECT_EQ(hit.step, fault.at.step);
                EXPECT_EQ(hit.role, fault.at.role);
            }
        }

        last_outcome_ = observed.ending == Ending::Failure    ? without_folder(observed.text, utf8(layout.root))
                        : observed.ending == Ending::FailFast ? "fail-fast"
                                                              : "success";
        EXPECT_EQ(content_name(content_of(layout.current)), content_name(expected.current)) << expected.state;
        EXPECT_EQ(content_name(content_of(layout.replacement)), content_name(expected.replacement)) << expected.state;
        EXPECT_EQ(content_name(content_of(layout.backup)), content_name(expected.backup)) << expected.state;
        // A run that already ended otherwise than expected is not waited for.
        if (expected.restarted && observed.ending == Ending::Success)
            EXPECT_TRUE(folder.restarted());
        else if (!expected.restarted)
            EXPECT_EQ(folder.starts(), "");
        return observed.trace;
    }

    Observed run_in_process(const UpdateLayout& layout, const std::vector<Fault>& faults) {
        Observed observed;
        const UpdateRequest request = layout.request(ended_.pid());
        std::optional<std::expected<void, ErrorChain>> updated;
        {
            SystemCallRecorder recorder;
            UpdateTracer tracer(layout.paths());
            for (std::size_t i = 0; i < faults.size(); ++i) {
                if (i == 0)
                    recorder.fail_nth_call(faults[i].at.number, faults[i].code);
                else
                    recorder.fail_call(faults[i].at.call, faults[i].code, faults[i].at.occurrence);
            }
            updated.emplace(apply_update(request));
            observed.trace = tracer.trace();
            observed.open_resources = recorder.open_resources();
        }
        // The message texts are asked of the system after the recorder has gone.
        if (!*updated) {
            observed.ending = Ending::Failure;
            observed.text = chain_text(updated->error(), system_message_text);
        }
        return observed;
    }

    // The clean run, its trace, and the sweep over it.
    void sweep(Start start) {
        const Trace clean = run_and_check(start, {});
        ASSERT_FALSE(clean.empty());
        std::vector<std::string_view> steps;
        for (const TracedCall& call : clean) {
            // Every call found its place; the sweep's expectations rest on it.
            EXPECT_NE(call.step, Step::None) << "#" << call.number << " " << call_name(call.call);
            EXPECT_NE(call.role, Role::Other) << "#" << call.number << " " << call_name(call.call);
            if (steps.empty() || steps.back() != step_name(call.step)) steps.push_back(step_name(call.step));
        }
        // A step that makes no call could not be swept: each is there, in order.
        std::vector<Step> expected_steps{Step::CurrentTest, Step::NewTest, Step::Digest, Step::Wait, Step::StaleBackup};
        if (start != Start::ReplacementAtBackup) {
            for (const Step step : {Step::MoveToBackup, Step::Install, Step::DeleteBackup, Step::Restart,
                                    Step::CloseStarted})
                expected_steps.push_back(step);
        }
        std::vector<std::string_view> expected_names;
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
                    const TracedCall& then = trace[j];
                    if (then.step != Step::RollBack && (then.step != at.step || then.operation != at.operation))
                        continue;
                    for (const std::uint32_t second_code : codes_for(then.call)) {
                        (void)run_and_check(start, {first, Fault{then, second_code}});
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

    static void SetUpTestSuite() { (void)version2_digest(); }

    void SetUp() override {
        ASSERT_TRUE(ended_.ended());
        facts_ = probe_facts();
    }

    EndedProcess ended_;
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
        const Row row = static_cast<Row>(i);
        if (rows_.contains(row)) continue;
        const RowInfo info = row_info(row);
        std::printf("  %s: %s\n", std::string(info.text).c_str(),
                    info.unreachable_because.empty() ? "NOT REACHED" : std::string(info.unreachable_because).c_str());
        EXPECT_FALSE(info.unreachable_because.empty()) << info.text << " was meant to be reached";
    }
    std::fflush(stdout);

    // The steps that never stop an update were each seen to let it go on.
    for (const Row row :
         {Row::OpenProcessIgnored, Row::BackupQueryIgnored, Row::RollBackIgnored, Row::DeleteAfterInstallIgnored})
        EXPECT_TRUE(rows_.contains(row)) << row_info(row).text;
}

// A replacement downloaded to the backup path is the verified build: the
// update refuses it with nothing changed rather than delete it as a stale
// backup or rename the old executable over it. The refusal rests on telling
// that both paths name one file, so it must hold whichever call of that test
// fails.
TEST_F(FaultSweep, ReplacementAtTheBackupPathIsNeverLost) {
    sweep(Start::ReplacementAtBackup);
    print_outcomes();
    EXPECT_TRUE(rows_.contains(Row::ReplacementIsBackup));
}

}  // namespace
