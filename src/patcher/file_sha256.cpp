#include "patcher/file_sha256.h"

#include "patcher/sha256.h"
#include "platform/fail_fast.h"
#include "platform/file_operations.h"
#include "platform/nt_io.h"
#include "platform/system_calls.h"
#include "platform/unique_handle.h"
#include "platform/wide_text.h"

std::expected<std::string, ErrorChain> file_sha256(std::string_view path) {
    const auto file = open_for_read(path);
    if (!file) return std::unexpected(ErrorChain::with_context("cannot open " + display_text(path), file.error()));

    const UniqueHeapBlock buffer(sys().HeapAlloc(sys().GetProcessHeap(), HEAP_ZERO_MEMORY, DIGEST_READ_CHUNK));
    if (!buffer) fail_fast();

    Sha256 hasher;
    for (;;) {
        const auto read = read_chunk(file->get(), buffer.get(), DIGEST_READ_CHUNK);
        if (!read) return std::unexpected(ErrorChain::from_os_error(read.error()));
        if (*read == 0) break;
        hasher.update(buffer.get(), *read);
    }
    return to_hex(hasher.finish());
}
