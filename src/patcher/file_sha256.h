#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "error_chain.h"

// The size of each read, and of the one buffer that every read reuses.
inline constexpr std::size_t DIGEST_READ_CHUNK = 1048576;

// The SHA-256 digest of the whole content of the file at `path`, as 64
// lowercase hexadecimal characters. Fails with "cannot open {path}" over the
// open's error, or with a failed read's error alone. The file is read with
// every sharing right, so others may change it meanwhile; the digest covers
// the bytes that the reads returned. The file is closed before the call
// returns. No room for the read buffer ends the process (internal fault).
[[nodiscard]] std::expected<std::string, ErrorChain> file_sha256(std::string_view path);
