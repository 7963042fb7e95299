#include "update_procedure.h"

#include <optional>
#include <string>

#include "digest_match.h"
#include "executable_swap.h"
#include "patcher/file_sha256.h"
#include "platform/ascii.h"
#include "platform/file_metadata.h"
#include "platform/launch.h"
#include "platform/path_text.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"
#include "platform/unique_handle.h"
#include "platform/wide_text.h"
#include "update_lock.h"

namespace {

constexpr std::string_view MISSING_EXECUTABLE = "current or replacement patcher executable is missing";

std::unexpected<ErrorChain> failure(std::string_view message) {
    return std::unexpected(ErrorChain::from_message(std::string(message)));
}

std::unexpected<ErrorChain> failure(std::string_view message, const OsError& cause) {
    return std::unexpected(ErrorChain::with_context(std::string(message), cause));
}

std::uint64_t ticks(const FILETIME& time) { return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

// True when the process was created after this one: the patcher that started
// the updater cannot be, so its pid has been reused by another process. When
// either creation time cannot be had, the process is taken for the patcher.
bool created_after_this_process(HANDLE process) {
    FILETIME created{}, this_created{}, ignored{};
    return sys().GetProcessTimes(process, &created, &ignored, &ignored, &ignored) &&
           sys().GetProcessTimes(sys().GetCurrentProcess(), &this_created, &ignored, &ignored, &ignored) &&
           ticks(created) > ticks(this_created);
}

// Waits for the old patcher to end. A process that cannot be opened (ended,
// never there, or not ours to open), or that another process now holds the
// pid of, is not waited for.
std::expected<void, ErrorChain> wait_for_old_process(std::uint32_t pid) {
    const UniqueKernelObject process(sys().OpenProcess(PROCESS_WAIT_ACCESS, FALSE, pid));
    if (!process || created_after_this_process(process.get())) return {};
    const DWORD waited = sys().WaitForSingleObject(process.get(), OLD_PROCESS_WAIT_MS);
    if (waited == WAIT_TIMEOUT || waited == WAIT_FAILED)
        return failure("timed out waiting for the old patcher process to exit");
    return {};
}

// True when the two texts name one path: their full paths are equal, ASCII
// letter case and the kind of separator ignored. A text whose full path
// cannot be had is compared as it is. Needs no query of the entry, so it
// holds on file systems that identify no file.
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

// True when deleting the backup name would delete the replacement, which may
// have been downloaded there: deleting it as a stale backup, or moving the
// old executable over it, would lose the verified build and end in a
// "successful" update to the old one. That is the same path text, or the one
// name of one file: the entry at the backup path (a link there not followed)
// and the replacement have the same known identity and that file has no
// other name. A link or a second name there may go; the download keeps its
// own. Some file systems give every file the index 0, which identifies none.
bool replacement_at_backup(std::string_view backup, std::string_view replacement) {
    if (same_path_text(backup, replacement)) return true;
    const auto entry = query_entry_metadata(backup);
    if (!entry || !entry->identity()) return false;
    const auto download = query_metadata(replacement);
    return download && download->identity() == entry->identity() && entry->link_count == 1u;
}

}  // namespace

std::expected<void, ErrorChain> apply_update(const UpdateRequest& request) {
    const std::string& current = request.current_path;
    const std::string& replacement = request.new_path;
    // A second updater for the same files waits here, and then finds the
    // replacement gone.
    const UpdateLock lock(current);

    if (!is_regular_file(current)) return failure(MISSING_EXECUTABLE);
    if (!is_regular_file(replacement)) return failure(MISSING_EXECUTABLE);
    // A rename by another name of the file (a short alias, a stream) would
    // install the replacement under that name, or move the build away for good.
    if (!is_own_name(current) || !is_own_name(replacement))
        return failure("current or replacement patcher path is not the file's own name");

    // The replacement is checked before the old patcher is waited for, so a
    // wrong download is refused at once.
    auto digest = file_sha256(replacement);
    if (!digest) return std::unexpected(std::move(digest.error()));
    if (!digests_match(*digest, request.expected_sha256)) return failure("replacement patcher SHA-256 mismatch");

    // Nor does a replacement at the backup path need the wait to be refused.
    const std::string backup = replace_extension(current, BACKUP_EXTENSION);
    if (replacement_at_backup(backup, replacement)) return failure("replacement patcher is at the backup path");

    if (auto waited = wait_for_old_process(request.pid); !waited) return waited;

    if (auto swapped = swap_executables(current, replacement, backup); !swapped) return swapped;

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
