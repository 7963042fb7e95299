#include "platform/internal_fault.h"

#include <cstdio>
#include <cstdlib>

void internal_fault(std::string_view text) {
    // fwrite, not fputs: the view need not end in a NUL, and copying it could
    // allocate on the way out of an exhausted heap.
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputs("\n", stderr);
    std::abort();
}
