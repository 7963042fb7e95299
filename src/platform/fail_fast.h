#pragma once

#include <string_view>

// Ends the process at once through the system's fail-fast service with
// FAST_FAIL_FATAL_APP_EXIT: no handler, no log, a non-zero exit status. For
// internal faults only (exhausted memory, a broken invariant).
[[noreturn]] void fail_fast();

// Writes `text` to standard error, if the process has one, then fails fast.
[[noreturn]] void fatal_runtime_error(std::string_view text);
