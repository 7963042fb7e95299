#include "platform/current_exe_path.h"

#include "platform/system_path.h"
#include "platform/text_query.h"
#include "platform/wide_text.h"

std::expected<std::string, OsError> current_exe_path() {
    const auto path =
        query_text([](wchar_t* buffer, DWORD size) { return sys().GetModuleFileNameW(nullptr, buffer, size); });
    if (!path) return std::unexpected(path.error());
    return to_wtf8(as_u16(*path));
}
