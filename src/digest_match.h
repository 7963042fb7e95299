#pragma once

#include <string_view>

// Whether the computed digest text equals the expected one, ignoring the case
// of ASCII letters only: the texts must have the same length in bytes, and
// each pair of bytes must be equal once the bytes A to Z (0x41 to 0x5A) are
// mapped to a to z. Every other byte, non-ASCII ones included, must match
// exactly, and nothing is trimmed.
[[nodiscard]] bool digests_match(std::string_view computed, std::string_view expected);
