#pragma once

#include <expected>

#include "error_chain.h"

// The update body: reads the request from the command line and performs the
// update. Returns the first failure, unchanged.
[[nodiscard]] std::expected<void, ErrorChain> run_update();
