#pragma once

#include <cstdint>
#include <string>

// What the system on this machine says for a Windows error code, without its
// trailing line break, followed by " (os error N)": the text that the log
// shows for a system error. Asked of FormatMessageW, never written out, since
// Wine's texts differ from Windows'.
std::string os_error_display(std::uint32_t code);
