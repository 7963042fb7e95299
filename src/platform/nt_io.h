#pragma once

#include <cstddef>
#include <expected>

#include "platform/os_error.h"
#include "platform/windows_api.h"

// One synchronous write at the handle's position with NtWriteFile. Returns
// the number of bytes written (at most 0xFFFFFFFF per call) or the code of a
// failed status.
[[nodiscard]] std::expected<std::size_t, OsError> write_chunk(HANDLE handle, const void* bytes, std::size_t length);

// One synchronous read at the handle's position with NtReadFile. Returns the
// number of bytes read, 0 at the end of the file or when the writer of a pipe
// has gone, or the code of a failed status.
[[nodiscard]] std::expected<std::size_t, OsError> read_chunk(HANDLE handle, void* buffer, std::size_t length);
