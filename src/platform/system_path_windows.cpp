#include "platform/system_path.h"

#include "platform/system_calls.h"
#include "platform/text_query.h"
#include "platform/wide_text.h"

std::wstring as_wide(std::u16string_view units) {
    return std::wstring(reinterpret_cast<const wchar_t*>(units.data()), units.size());
}

std::u16string_view as_u16(std::wstring_view units) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(units.data()), units.size());
}

std::expected<std::wstring, OsError> full_path_name(const wchar_t* path) {
    return query_text([path](wchar_t* buffer, DWORD size) { return sys().GetFullPathNameW(path, size, buffer, nullptr); });
}

std::expected<std::wstring, OsError> to_wide_path(std::string_view path, bool prefer_verbatim) {
    const std::u16string units = to_utf16(path);
    if (units.find(u'\0') != std::u16string::npos)
        return std::unexpected(OsError::with_message(OsErrorKind::InvalidInput, NUL_IN_PATH_TEXT));
    if (passes_unchanged(units)) return as_wide(units);

    const std::wstring wide = as_wide(units);
    auto full = full_path_name(wide.c_str());
    if (!full) return std::unexpected(full.error());
    if (prefer_verbatim || full->size() >= LONG_PATH_LIMIT) return as_wide(with_long_path_prefix(as_u16(*full)));
    return std::move(*full);
}
