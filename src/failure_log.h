#pragma once

#include <string_view>

#include "error_chain.h"

inline constexpr std::string_view LOG_FILE_NAME = "patcher-updater.log";

// Writes the chain's text, and nothing else, into patcher-updater.log beside
// the running executable (or in the current directory when that folder cannot
// be had). Reports nothing: a log that cannot be written is left unwritten.
void write_failure_log(ErrorChain chain);
