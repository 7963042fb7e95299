#pragma once

// Makes every internal fault (exhausted memory, std::terminate) end the
// process through fail-fast.
void install_runtime_support();
