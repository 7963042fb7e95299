#include "platform/system_message.h"

#include <gtest/gtest.h>

#include "error_chain.h"
#include "platform/wide_text.h"
#include "platform/windows_api.h"
#include "support/system_call_override.h"

namespace {

// What the system on this machine says for a code, trimmed the documented way.
std::string machine_message(DWORD code) {
    wchar_t buffer[2048];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                          buffer, 2048, nullptr);
    std::string text = to_wtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
    while (!text.empty() && std::string_view(" \t\n\f\r").find(text.back()) != std::string_view::npos) text.pop_back();
    return text;
}

TEST(SystemMessage, IsTheSystemsTextWithoutItsLineBreak) {
    for (DWORD code : {2u, 3u, 5u, 17u, 32u, 112u}) {
        const std::string expected = machine_message(code);
        ASSERT_FALSE(expected.empty()) << code;
        EXPECT_EQ(system_message_text(code), expected) << code;
        EXPECT_NE(system_message_text(code).back(), '\n');
    }
}

TEST(SystemMessage, ChainShowsTheSystemTextAndTheCode) {
    const auto chain = ErrorChain::with_context("cannot move the old patcher to backup", OsError::from_code(5));
    EXPECT_EQ(chain_text(chain, system_message_text),
              "cannot move the old patcher to backup: " + machine_message(5) + " (os error 5)");
}

TEST(SystemMessage, UnknownCodeGivesTheFallbackWithTheLookupError) {
    // No system has a message for this code.
    const std::uint32_t code = 0x0ABCDEF1;
    ::SetLastError(0);
    wchar_t buffer[16];
    ASSERT_EQ(::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer, 16,
                               nullptr),
              0u);
    const DWORD lookup_error = ::GetLastError();
    EXPECT_EQ(system_message_text(code), "OS Error 180150001 (FormatMessageW() returned error " +
                                             std::to_string(static_cast<std::int32_t>(lookup_error)) + ")");
}

// Codes with the NT facility bit are looked up in ntdll's table under the
// code without that bit; the "os error" number keeps the full code.
TEST(SystemMessage, NtCodesAreLookedUpInNtdll) {
    ScopedSystemCalls scope;
    static HMODULE module_seen;
    static DWORD flags_seen, id_seen;
    sys().FormatMessageW = [](DWORD flags, LPCVOID module, DWORD id, DWORD language, LPWSTR buffer, DWORD size,
                              va_list*) -> DWORD {
        flags_seen = flags, module_seen = static_cast<HMODULE>(const_cast<void*>(module)), id_seen = id;
        EXPECT_EQ(language, 0u);
        EXPECT_EQ(size, 2048u);
        wcscpy(buffer, L"The NT text.\r\n");
        return 14;
    };
    const auto chain = ErrorChain::from_os_error(OsError::from_code(0xD0000022));
    EXPECT_EQ(chain_text(chain, system_message_text), "The NT text. (os error -805306334)");
    EXPECT_EQ(flags_seen, 0x1A00u);
    EXPECT_EQ(module_seen, ::GetModuleHandleW(L"NTDLL.DLL"));
    EXPECT_EQ(id_seen, 0xC0000022u);

    // Without the bit: the system table, no module.
    EXPECT_EQ(system_message_text(5), "The NT text.");
    EXPECT_EQ(flags_seen, 0x1200u);
    EXPECT_EQ(module_seen, nullptr);
    EXPECT_EQ(id_seen, 5u);
}

TEST(SystemMessage, NtCodeWithoutNtdllStaysInTheSystemTable) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::GetModuleHandleW, ERROR_MOD_NOT_FOUND);
    recorder.fail_call(Call::FormatMessageW, ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(system_message_text(0xD0000022), "OS Error -805306334 (FormatMessageW() returned error 317)");
}

TEST(SystemMessage, FailedNtLookupShowsTheIdWithoutTheBit) {
    SystemCallRecorder recorder;
    recorder.fail_call(Call::FormatMessageW, ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(system_message_text(0xD0000022), "OS Error -1073741790 (FormatMessageW() returned error 317)");
}

TEST(SystemMessage, TrimsOnlyTrailingSpaceTabNewlineFormFeedAndReturn) {
    ScopedSystemCalls scope;
    static const wchar_t* reply;
    sys().FormatMessageW = [](DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*) -> DWORD {
        wcscpy(buffer, reply);
        return static_cast<DWORD>(wcslen(reply));
    };
    struct Row {
        const wchar_t* reply;
        const char* text;
    };
    const Row rows[] = {
        {L"Access is denied.\r\n", "Access is denied."},
        {L"Text \t\n\f\r ", "Text"},
        {L"Line one.\r\nLine two.\r\n", "Line one.\r\nLine two."},
        {L"Vertical\v", "Vertical\v"},
        {L"No-break\u00a0", "No-break\xc2\xa0"},
        {L"Bad EXE format for %1.\n", "Bad EXE format for %1."},
        {L" \r\n\t", ""},
    };
    for (const Row& row : rows) {
        reply = row.reply;
        EXPECT_EQ(system_message_text(5), row.text);
    }
}

TEST(SystemMessage, UnpairedSurrogateGivesTheInvalidTextFallback) {
    ScopedSystemCalls scope;
    sys().FormatMessageW = [](DWORD, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*) -> DWORD {
        buffer[0] = L'a';
        buffer[1] = static_cast<wchar_t>(0xD800);
        return 2;
    };
    EXPECT_EQ(system_message_text(5), "OS Error 5 (FormatMessageW() returned invalid UTF-16)");
}

}  // namespace
