#pragma once

#include <expected>
#include <string>

#include "platform/os_error.h"

// The full path of the running executable as GetModuleFileNameW gives it,
// as WTF-8 (no unit lost), neither shortened nor made canonical.
[[nodiscard]] std::expected<std::string, OsError> current_exe_path();
