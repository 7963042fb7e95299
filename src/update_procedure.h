#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "error_chain.h"
#include "update_request.h"

// Access asked for when the old patcher process is opened: enough to wait
// for it, nothing more.
inline constexpr std::uint32_t PROCESS_WAIT_ACCESS = 0x00101000;  // SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION
// How long the old patcher may take to end.
inline constexpr std::uint32_t OLD_PROCESS_WAIT_MS = 60000;
// The backup of the old executable: the current path with this extension.
inline constexpr std::string_view BACKUP_EXTENSION = "exe.old";

// Performs one update: both files tested, the replacement's digest compared,
// the old process waited for, the executables swapped through the backup
// (with one roll-back of a failed install), the backup deleted and the patcher
// started again in its own folder. Returns the first failure; effects before
// it are not undone, except by the roll-back.
[[nodiscard]] std::expected<void, ErrorChain> apply_update(const UpdateRequest& request);
