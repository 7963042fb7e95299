#pragma once

#include <string_view>

// Ends the process at once as an internal fault (a broken invariant, a
// programming error) after writing `text` and a line end to standard error,
// if the process has one. No log is written and the exit status is not 0.
// Each platform supplies its own definition, so that pure code can report a
// fault without reaching the system itself.
[[noreturn]] void internal_fault(std::string_view text);
