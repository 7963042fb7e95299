// The digest does not depend on how the bytes are cut into updates, nor on the
// kernel; the digest match ignores the case of ASCII letters and nothing else.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "digest_match.h"
#include "patcher/cpu_features.h"
#include "patcher/sha256.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span bytes(data, size);
    Sha256 whole;
    whole.update(bytes);
    const Sha256Digest digest = whole.finish();
    // The first byte sets the size of every update.
    const std::size_t step = size == 0 ? 1 : data[0] % 131 + 1;
    for (const Sha256Kernel kernel : {Sha256Kernel::Portable, Sha256Kernel::ShaExtensions}) {
        if (kernel == Sha256Kernel::ShaExtensions && !cpu_has_sha_extensions()) continue;
        Sha256 pieces(kernel);
        for (std::size_t at = 0; at < size; at += step) pieces.update(bytes.subspan(at, std::min(step, size - at)));
        if (pieces.finish() != digest) std::abort();
    }

    const std::string text = to_hex(digest) + std::string(reinterpret_cast<const char*>(data), size);
    std::string upper = text;
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (!digests_match(text, upper) || !digests_match(upper, text) || digests_match(text, text + '0')) std::abort();
    // Bit 7 moves a byte between ASCII and the rest, which no case mapping joins.
    std::string other = text;
    other[size == 0 ? 0 : data[size - 1] % other.size()] ^= '\x80';
    if (digests_match(text, other)) std::abort();
    return 0;
}
