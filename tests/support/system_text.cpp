#include "support/system_text.h"

#include <string_view>

#include "platform/wide_text.h"
#include "platform/windows_api.h"

std::string os_error_display(std::uint32_t code) {
    wchar_t buffer[2048];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                          buffer, 2048, nullptr);
    std::string text = to_wtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
    while (!text.empty() && std::string_view(" \t\n\f\r").find(text.back()) != std::string_view::npos) text.pop_back();
    return text + " (os error " + std::to_string(static_cast<std::int32_t>(code)) + ")";
}
