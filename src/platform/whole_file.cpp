#include "platform/whole_file.h"

#include "platform/file_sharing.h"
#include "platform/last_error.h"
#include "platform/nt_io.h"
#include "platform/system_calls.h"
#include "platform/system_path.h"
#include "platform/unique_handle.h"

namespace {

// Cuts an open file to length 0. Setting the allocation size is the cheaper
// call, but not every file system takes it (Wine answers 120), so the end of
// file is set instead when it fails.
std::expected<void, OsError> truncate(HANDLE file) {
    FILE_ALLOCATION_INFO allocation{};
    if (sys().SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation)) return {};
    FILE_END_OF_FILE_INFO end_of_file{};
    if (sys().SetFileInformationByHandle(file, FileEndOfFileInfo, &end_of_file, sizeof end_of_file)) return {};
    return last_error();
}

}  // namespace

std::expected<void, OsError> write_whole_file(std::string_view path, std::string_view bytes) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());

    const UniqueFile file(
        sys().CreateFileW(wide->c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) return last_error();
    if (sys().GetLastError() == ERROR_ALREADY_EXISTS) {
        if (auto truncated = truncate(file.get()); !truncated) return truncated;
    }

    while (!bytes.empty()) {
        const auto written = write_chunk(file.get(), bytes.data(), bytes.size());
        if (!written) {
            if (written.error().kind() == OsErrorKind::Interrupted) continue;
            return std::unexpected(written.error());
        }
        if (*written == 0) return std::unexpected(OsError::with_message(OsErrorKind::WriteZero, WRITE_ZERO_TEXT));
        bytes.remove_prefix(std::min(*written, bytes.size()));
    }
    return {};
}
