#include "platform/whole_file.h"

#include "platform/last_error.h"
#include "platform/nt_io.h"
#include "platform/open_settings.h"
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

// True when the open entry is a plain file with this one name: not a link
// (the open did not follow one), not a folder, and no second name through
// which another file, perhaps not ours to change, would be written.
bool is_plain_file(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return sys().GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           info.nNumberOfLinks == 1;
}

}  // namespace

std::expected<void, OsError> write_whole_file(std::string_view path, std::string_view bytes) {
    const auto wide = to_wide_path(path, true);
    if (!wide) return std::unexpected(wide.error());

    const UniqueFile file(sys().CreateFileW(wide->c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_ALWAYS,
                                            FILE_FLAG_OPEN_REPARSE_POINT | IDENTIFY_ONLY, nullptr));
    if (!file) return last_error();
    const bool existed = sys().GetLastError() == ERROR_ALREADY_EXISTS;
    if (!is_plain_file(file.get())) return std::unexpected(OsError::from_code(ERROR_ACCESS_DENIED));
    if (existed) {
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
