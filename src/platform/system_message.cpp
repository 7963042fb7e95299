#include "platform/system_message.h"

#include <array>
#include <charconv>
#include <string_view>

#include "platform/system_calls.h"
#include "platform/wide_text.h"

namespace {

constexpr std::uint32_t FACILITY_NT_BIT_VALUE = 0x10000000;
constexpr DWORD MESSAGE_BUFFER_UNITS = 2048;

std::string signed_decimal(std::uint32_t value) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<std::int32_t>(value)).ptr;
    return std::string(digits, end);
}

bool is_trailing_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

std::string system_message_text(std::uint32_t code) {
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE module = nullptr;
    std::uint32_t message_id = code;
    if (code & FACILITY_NT_BIT_VALUE) {
        if (const HMODULE ntdll = sys().GetModuleHandleW(L"NTDLL.DLL")) {
            message_id = code & ~FACILITY_NT_BIT_VALUE;
            module = ntdll;
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
        }
    }

    std::array<wchar_t, MESSAGE_BUFFER_UNITS> buffer{};
    const DWORD count =
        sys().FormatMessageW(flags, module, message_id, 0, buffer.data(), MESSAGE_BUFFER_UNITS, nullptr);
    if (count == 0) {
        const DWORD error = sys().GetLastError();
        return "OS Error " + signed_decimal(message_id) + " (FormatMessageW() returned error " +
               signed_decimal(error) + ")";
    }

    const std::u16string_view units(reinterpret_cast<const char16_t*>(buffer.data()), count);
    if (!is_valid_unicode(units))
        return "OS Error " + signed_decimal(message_id) + " (FormatMessageW() returned invalid UTF-16)";

    std::string text = to_wtf8(units);
    while (!text.empty() && is_trailing_space(text.back())) text.pop_back();
    return text;
}
