#include "update_procedure.h"

#include <optional>
#include <string>

#include "digest_match.h"
#include "patcher/file_sha256.h"
#include "platform/ascii.h"
#include "platform/file_metadata.h"
#include "platform/file_operations.h"
#include "platform/launch.h"
#include "platform/path_text.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"
#include "platform/unique_handle.h"
#include "platform/wide_text.h"

namespace {

constexpr std::string_view MISSING_EXECUTABLE = "current or replacement patcher executable is missing";

std::unexpected<ErrorChain> failure(std::string_view message) {
    return std::unexpected(ErrorChain::from_message(std::string(message)));
}

std::unexpected<ErrorChain> failure(std::string_view message, const OsError& cause) {
    return std::unexpected(ErrorChain::with_context(std::string(message), cause));
}

// Waits for the old patcher to end. A process that cannot be opened (ended,
// never there, or not ours to open) is not waited for.
std::expected<void, ErrorChain> wait_for_old_process(std::uint32_t pid) {
    const UniqueKernelObject process(sys().OpenProcess(PROCESS_WAIT_ACCESS, FALSE, pid));
    if (!process) return {};
    const DWORD waited = sys().WaitForSingleObject(process.get(), OLD_PROCESS_WAIT_MS);
    if (waited == WAIT_TIMEOUT || waited == WAIT_FAILED)
        return failure("timed out waiting for the old patcher process to exit");
    return {};
}

// True when the two texts name one path: their full paths are equal, ASCII
// letter case and the kind of separator ignored. A text whose full path
// cannot be had is compared as it is. Needs no query of the entry itself.
bool same_path_text(std::string_view first, std::string_view second) {
    const auto normalised = [](std::string_view path) {
        std::wstring text = as_wide(to_utf16(path));
        if (text.find(L'\0') == std::wstring::npos) {
            if (auto full = full_path_name(text.c_str())) text = std::move(*full);
        }
        for (wchar_t& unit : text) {
            if (unit == L'/') unit = L'\\';
            unit = ascii_lower(unit);
        }
        return text;
    };
    return normalised(first) == normalised(second);
}

// True when both paths name one file (same volume and file index). Unknown
// identities (a query failed, or came from a directory entry) count as
// different files.
bool same_file(std::string_view first, std::string_view second) {
    const auto a = query_metadata(first);
    const auto b = query_metadata(second);
    if (!a || !b) return false;
    // Known on one side and equal to the other: known on both.
    return a->volume_serial_number && a->file_index && a->volume_serial_number == b->volume_serial_number &&
           a->file_index == b->file_index;
}

// Clears the backup path for the swap. The replacement itself may have been
// downloaded to that path: deleting it as a stale backup, or moving the old
// executable over it, would lose the verified build and end in a
// "successful" update to the old one, so that case stops here with nothing
// changed. The text comparison comes first because it needs no query that
// could fail; the file identity catches other names for the same file.
std::expected<void, ErrorChain> remove_stale_backup(std::string_view backup, std::string_view new_path) {
    constexpr std::string_view REPLACEMENT_AT_BACKUP = "replacement patcher is at the backup path";
    if (same_path_text(backup, new_path)) return failure(REPLACEMENT_AT_BACKUP);
    if (!path_exists(backup)) return {};
    if (same_file(backup, new_path)) return failure(REPLACEMENT_AT_BACKUP);
    if (auto deleted = delete_file(backup); !deleted)
        return failure("cannot remove stale patcher backup", deleted.error());
    return {};
}

}  // namespace

std::expected<void, ErrorChain> apply_update(const UpdateRequest& request) {
    const std::string& current = request.current_path;
    const std::string& replacement = request.new_path;

    if (!is_regular_file(current)) return failure(MISSING_EXECUTABLE);
    if (!is_regular_file(replacement)) return failure(MISSING_EXECUTABLE);

    // The replacement is checked before the old patcher is waited for, so a
    // wrong download is refused at once.
    auto digest = file_sha256(replacement);
    if (!digest) return std::unexpected(std::move(digest.error()));
    if (!digests_match(*digest, request.expected_sha256)) return failure("replacement patcher SHA-256 mismatch");

    if (auto waited = wait_for_old_process(request.pid); !waited) return waited;

    const std::string backup = replace_extension(current, BACKUP_EXTENSION);
    if (auto cleared = remove_stale_backup(backup, replacement); !cleared) return cleared;

    if (auto moved = rename_replace(current, backup); !moved)
        return failure("cannot move the old patcher to backup", moved.error());
    if (auto installed = rename_replace(replacement, current); !installed) {
        // Put the old executable back; the install error is the one to report.
        (void)rename_replace(backup, current);
        return failure("cannot install the new patcher executable", installed.error());
    }
    // A backup left behind is removed as a stale one by the next update.
    (void)delete_file(backup);

    const std::optional<std::string> folder = parent_path(current);
    if (!folder) return failure("patcher path has no parent");

    LaunchRequest restart;
    restart.program = to_utf16(current);
    restart.working_directory = to_utf16(*folder);
    auto launched = launch_process(restart);
    if (!launched) return failure("cannot restart the updated patcher", launched.error());
    // The patcher runs on its own: close the process handle, then the
    // thread handle, without waiting.
    launched->process.reset();
    launched->thread.reset();
    return {};
}
