#include "platform/nt_io.h"

#include <algorithm>

#include "platform/fail_fast.h"
#include "platform/system_calls.h"

namespace {

constexpr NTSTATUS STATUS_PENDING_VALUE = 0x00000103;
constexpr NTSTATUS STATUS_END_OF_FILE_VALUE = static_cast<NTSTATUS>(0xC0000011);

ULONG clamp_length(std::size_t length) { return static_cast<ULONG>(std::min<std::size_t>(length, 0xFFFFFFFF)); }

// The handles are opened for synchronous I/O, so a pending status means the
// system broke its promise: wait once, and if it is still pending there is
// nothing sound left to do.
NTSTATUS settle(NTSTATUS status, HANDLE handle, const IO_STATUS_BLOCK& io) {
    if (status == STATUS_PENDING_VALUE) {
        sys().WaitForSingleObject(handle, INFINITE);
        status = io.Status;
    }
    if (status == STATUS_PENDING_VALUE)
        fatal_runtime_error("fatal runtime error: I/O error: operation failed to complete synchronously, aborting");
    return status;
}

std::expected<std::size_t, OsError> io_result(NTSTATUS status, const IO_STATUS_BLOCK& io) {
    if (status >= 0) return static_cast<std::size_t>(io.Information);
    return std::unexpected(OsError::from_code(sys().RtlNtStatusToDosError(status)));
}

IO_STATUS_BLOCK pending_status_block() {
    IO_STATUS_BLOCK io{};
    io.Status = STATUS_PENDING_VALUE;
    io.Information = 0;
    return io;
}

}  // namespace

std::expected<std::size_t, OsError> write_chunk(HANDLE handle, const void* bytes, std::size_t length) {
    IO_STATUS_BLOCK io = pending_status_block();
    const NTSTATUS status = sys().NtWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<void*>(bytes),
                                              clamp_length(length), nullptr, nullptr);
    return io_result(settle(status, handle, io), io);
}

std::expected<std::size_t, OsError> read_chunk(HANDLE handle, void* buffer, std::size_t length) {
    IO_STATUS_BLOCK io = pending_status_block();
    const NTSTATUS status =
        sys().NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, clamp_length(length), nullptr, nullptr);
    const NTSTATUS settled = settle(status, handle, io);
    if (settled == STATUS_END_OF_FILE_VALUE) return 0;
    auto result = io_result(settled, io);
    if (!result && result.error().kind() == OsErrorKind::BrokenPipe) return 0;
    return result;
}
