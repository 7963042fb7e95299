#pragma once

#include <cstdint>
#include <string_view>

#include "platform/unique_handle.h"

// How long an update waits for another updater of the same executable: longer
// than that one's wait for the old patcher and its swap. Then it goes on
// anyway, so that a holder that never lets go only delays every update.
inline constexpr std::uint32_t UPDATE_LOCK_WAIT_MS = 120000;

// Keeps two updaters of one executable (a patcher that started the updater
// twice) from running their steps at once, for the life of the object: a
// mutex of this session named after the executable's full path (ASCII case
// and the kind of separator ignored). One that cannot be had, or not in time,
// is no failure: the swap never loses a build without it either, it only
// makes the second updater's outcome depend on the order of their steps. A
// holder that ended without letting go hands it on.
class UpdateLock {
public:
    explicit UpdateLock(std::string_view current_path);
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

private:
    UniqueKernelObject mutex_;
    bool held_ = false;
};
