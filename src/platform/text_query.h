#pragma once

#include <algorithm>
#include <expected>
#include <string>

#include "platform/os_error.h"
#include "platform/system_calls.h"

// The buffer rule of the system's text queries (GetFullPathNameW,
// GetModuleFileNameW, GetSystemDirectoryW, ...). `query(buffer, size)` makes
// the call and returns its count. Starts with 512 units; 0 with a last error
// is a failure and 0 without one the empty text; a count above the size is
// the size needed; a count equal to the size means the text was cut (Wine
// then even leaves out the terminator), so the buffer doubles.
template <class Query>
[[nodiscard]] std::expected<std::wstring, OsError> query_text(Query&& query) {
    std::wstring buffer(512, L'\0');
    for (;;) {
        const auto size = static_cast<DWORD>(buffer.size());
        sys().SetLastError(0);
        const DWORD count = query(buffer.data(), size);
        if (count == 0) {
            if (const DWORD error = sys().GetLastError(); error != 0) return std::unexpected(OsError::from_code(error));
            return std::wstring();
        }
        if (count > size) {
            buffer.assign(count, L'\0');
        } else if (count == size) {
            buffer.assign(std::min<std::size_t>(std::size_t{size} * 2, 0xFFFFFFFF), L'\0');
        } else {
            buffer.resize(count);
            return buffer;
        }
    }
}
