#include "executable_swap.h"

#include <optional>
#include <string>

#include "platform/file_metadata.h"
#include "platform/file_operations.h"

namespace {

std::unexpected<ErrorChain> failure(std::string_view message, const OsError& cause) {
    return std::unexpected(ErrorChain::with_context(std::string(message), cause));
}

constexpr std::string_view NO_BACKUP = "cannot move the old patcher to backup";
constexpr std::string_view NOT_INSTALLED = "cannot install the new patcher executable";

// Best effort: the backup goes only while a build is at the current path, so
// that it is never the last one, and only if it is the file that this run put
// there: another updater may have moved a build to that name meanwhile.
void delete_backup(std::string_view current, std::string_view backup, const std::optional<FileIdentity>& moved) {
    if (!is_regular_file(current)) return;
    if (moved) {
        (void)delete_same_file(backup, *moved);
    } else {
        (void)delete_file(backup);
    }
}

bool same_file(std::string_view first, std::string_view second) {
    const auto first_metadata = query_metadata(first);
    const auto second_metadata = query_metadata(second);
    return first_metadata && second_metadata && first_metadata->identity() &&
           first_metadata->identity() == second_metadata->identity();
}

}  // namespace

std::expected<void, ErrorChain> swap_executables(std::string_view current, std::string_view replacement,
                                                 std::string_view backup) {
    // A stale entry is not deleted while the current path is empty: it may be
    // the build that another updater has just moved away.
    if (path_exists(backup) && is_regular_file(current)) {
        if (auto deleted = delete_file(backup); !deleted)
            return failure("cannot remove stale patcher backup", deleted.error());
    }
    const auto entry = query_entry_metadata(current);
    const std::optional<FileIdentity> old_build = entry ? entry->identity() : std::nullopt;

    // Two names of one file cannot replace each other; the two renames then
    // end in the install's failure, with the build back in place.
    if (!same_file(current, replacement) && create_hard_link(backup, current)) {
        auto installed = rename_replace(replacement, current);
        if (installed || installed.error().code() != ERROR_ACCESS_DENIED) {
            delete_backup(current, backup, old_build);
            if (!installed) return failure(NOT_INSTALLED, installed.error());
            return {};
        }
        // The replacing rename was refused: the two renames below need no
        // replacement of the current file. Our own second name goes first
        // where it can; the rename may replace it otherwise.
        delete_backup(current, backup, old_build);
    }

    if (auto moved = rename_replace(current, backup); !moved) {
        delete_backup(current, backup, old_build);
        return failure(NO_BACKUP, moved.error());
    }
    if (auto installed = rename_replace(replacement, current); !installed) {
        // Put the old executable back; the install error is the one to report.
        (void)rename_replace(backup, current);
        delete_backup(current, backup, old_build);
        return failure(NOT_INSTALLED, installed.error());
    }
    // A backup left behind is removed as a stale one by the next update.
    delete_backup(current, backup, old_build);
    return {};
}
