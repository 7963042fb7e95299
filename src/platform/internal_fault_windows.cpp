#include "platform/internal_fault.h"

#include "platform/fail_fast.h"

void internal_fault(std::string_view text) { fatal_runtime_error(text); }
