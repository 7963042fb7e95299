#pragma once

#include <expected>
#include <string_view>

#include "error_chain.h"

// Puts the replacement at the current path, through the backup path, so that
// a crash, a reader that denies a rename, or a second updater for the same
// files never leaves the current path without a whole build where the file
// system has links:
// - the backup becomes a second name (a hard link) of the current executable,
//   one replacing rename installs the replacement, and the backup name goes;
// - where no link can be made, or the install is refused with 5 (the old
//   image is still mapped by another running instance, or the current file is
//   read-only), the current executable is renamed to the backup path, the
//   replacement renamed into place, and a failed install is rolled back once.
// Two names of one file take the two renames, and their install fails. A stale
// entry at the backup path is deleted first, while the current path holds a
// file. The backup is deleted
// only while the current path holds a file, and only if it is still the file
// that this run put there (where the file system identifies files). Returns
// the step's message over the system's error; a left-over backup is no
// failure.
[[nodiscard]] std::expected<void, ErrorChain> swap_executables(std::string_view current, std::string_view replacement,
                                                               std::string_view backup);
