#pragma once

#include <expected>

#include "platform/os_error.h"
#include "platform/system_calls.h"

// The calling thread's last system error, as the failure of the call that set it.
inline std::unexpected<OsError> last_error() { return std::unexpected(OsError::from_code(sys().GetLastError())); }
