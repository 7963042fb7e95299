#pragma once

#include <cstdint>
#include <string>

// The system's message for a Windows error code, in the system's language,
// without trailing whitespace. Codes with the NT facility bit are looked up in
// ntdll's message table. When the system has no text, a fallback names the
// code and why: "OS Error {} (FormatMessageW() returned error {})".
std::string system_message_text(std::uint32_t code);
