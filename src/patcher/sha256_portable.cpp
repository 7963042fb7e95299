#include "patcher/sha256.h"

#include <bit>
#include <utility>

#include "patcher/cpu_features.h"
#include "patcher/sha256_constants.h"

// Plain C++ for any processor. The helpers are forced inline because the
// product is built for size, and a call per round would halve the speed of
// the processors that lack the SHA extensions.

namespace {

PU_ALWAYS_INLINE std::uint32_t load_be32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

// The rotations are nested, rotr(x ^ rotr(x, m), n) == rotr(x, n) ^ rotr(x, m + n),
// so that x is copied once rather than once per rotation: without BMI2's
// non-destructive rotate that is fewer instructions, and measurably faster.
PU_ALWAYS_INLINE std::uint32_t big_sigma0(std::uint32_t x) {
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, 9), 11), 2);  // 2, 13, 22
}
PU_ALWAYS_INLINE std::uint32_t big_sigma1(std::uint32_t x) {
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, 14), 5), 6);  // 6, 11, 25
}
PU_ALWAYS_INLINE std::uint32_t small_sigma0(std::uint32_t x) {
    return std::rotr(x ^ std::rotr(x, 11), 7) ^ (x >> 3);  // 7, 18; 3
}
PU_ALWAYS_INLINE std::uint32_t small_sigma1(std::uint32_t x) {
    return std::rotr(x ^ std::rotr(x, 2), 17) ^ (x >> 10);  // 17, 19; 10
}

// Round I. The working variables are not moved from round to round: round I
// reads variable a from v[-I mod 8], b from v[1 - I mod 8] and so on, with
// indices fixed at compile time, so v lives in registers and only d and h are
// written. The message schedule keeps the last 16 words in w.
// `b_xor_c` comes in as b ^ c and leaves as a ^ b, which is the next round's
// b ^ c, so Maj costs three operations.
template <std::size_t I>
PU_ALWAYS_INLINE void round(std::array<std::uint32_t, 8>& v, std::array<std::uint32_t, 16>& w,
                            std::uint32_t& b_xor_c, const std::uint8_t* block) {
    constexpr auto at = [](std::size_t role) { return (role - I) & 7; };
    std::uint32_t word;
    if constexpr (I < 16) {
        word = w[I] = load_be32(block + 4 * I);
    } else {
        word = w[I & 15] +=
            small_sigma1(w[(I - 2) & 15]) + w[(I - 7) & 15] + small_sigma0(w[(I - 15) & 15]);
    }
    const std::uint32_t a = v[at(0)], b = v[at(1)], e = v[at(4)], f = v[at(5)], g = v[at(6)];
    std::uint32_t& d = v[at(3)];
    std::uint32_t& h = v[at(7)];

    h += SHA256_ROUND_CONSTANTS[I] + word + (g ^ (e & (f ^ g))) + big_sigma1(e);
    d += h;
    const std::uint32_t a_xor_b = a ^ b;
    h += big_sigma0(a) + (b ^ (a_xor_b & b_xor_c));
    b_xor_c = a_xor_b;
}

template <std::size_t... I>
PU_ALWAYS_INLINE void all_rounds(std::array<std::uint32_t, 8>& v, const std::uint8_t* block,
                                 std::index_sequence<I...>) {
    std::array<std::uint32_t, 16> w;  // NOLINT(cppcoreguidelines-pro-type-member-init): rounds 0 to 15 write each word before it is read
    std::uint32_t b_xor_c = v[1] ^ v[2];
    (round<I>(v, w, b_xor_c, block), ...);
}

}  // namespace

void sha256_compress_portable(Sha256State& state, const std::uint8_t* blocks, std::size_t count) {
    for (; count != 0; --count, blocks += SHA256_BLOCK_SIZE) {
        std::array<std::uint32_t, 8> v = state;
        all_rounds(v, blocks, std::make_index_sequence<64>{});
        for (std::size_t i = 0; i < v.size(); ++i)
            state[i] += v[i];
    }
}
