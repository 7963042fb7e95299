#include "digest_match.h"

#include <cstddef>

namespace {

// Not std::tolower: that depends on the C locale and may fold non-ASCII bytes.
constexpr unsigned char fold_ascii_upper(char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value >= 0x41 && value <= 0x5A ? static_cast<unsigned char>(value + 0x20) : value;
}

}  // namespace

bool digests_match(std::string_view computed, std::string_view expected) {
    if (computed.size() != expected.size())
        return false;
    for (std::size_t i = 0; i < computed.size(); ++i) {
        if (fold_ascii_upper(computed[i]) != fold_ascii_upper(expected[i]))
            return false;
    }
    return true;
}
