#include "digest_match.h"

#include <cstddef>

#include "platform/ascii.h"

bool digests_match(std::string_view computed, std::string_view expected) {
    if (computed.size() != expected.size())
        return false;
    for (std::size_t i = 0; i < computed.size(); ++i) {
        if (ascii_lower(computed[i]) != ascii_lower(expected[i]))
            return false;
    }
    return true;
}
