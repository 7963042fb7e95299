#include "patcher/sha256.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <utility>

#include "patcher/cpu_features.h"
#include "patcher/sha256_constants.h"

// The message schedule of eight blocks at once, one block per 32-bit lane of
// an AVX2 vector, then the rounds of each block in scalar code, where BMI2's
// rorx rotates without a copy. The vector units have no rotate, but eight
// lanes make each shift pay for eight words.

namespace {

constexpr std::size_t LANES = 8;

// Word t of lane l's block at [t][l], and the same plus round constant t.
struct alignas(32) Schedule {
    std::uint32_t words[64][LANES];
    std::uint32_t words_plus_constants[64][LANES];
};

PU_TARGET_AVX2 PU_ALWAYS_INLINE __m256i load(const std::uint32_t* lanes) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
}
PU_TARGET_AVX2 PU_ALWAYS_INLINE void store(std::uint32_t* lanes, __m256i value) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), value);
}
PU_TARGET_AVX2 PU_ALWAYS_INLINE __m256i rotr(__m256i x, int n) {
    return _mm256_or_si256(_mm256_srli_epi32(x, n), _mm256_slli_epi32(x, 32 - n));
}
PU_TARGET_AVX2 PU_ALWAYS_INLINE __m256i small_sigma0(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotr(x, 7), rotr(x, 18)), _mm256_srli_epi32(x, 3));
}
PU_TARGET_AVX2 PU_ALWAYS_INLINE __m256i small_sigma1(__m256i x) {
    return _mm256_xor_si256(_mm256_xor_si256(rotr(x, 17), rotr(x, 19)), _mm256_srli_epi32(x, 10));
}

// The schedules of `lanes` (1 to 8) consecutive blocks. Lanes beyond them
// repeat the last block, so that nothing past the caller's blocks is read.
PU_TARGET_AVX2 void schedule(Schedule& out, const std::uint8_t* blocks, std::size_t lanes) {
    // Big-endian words: reverse the bytes of each 32-bit lane.
    const __m256i byte_swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                               3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    for (std::size_t half = 0; half < 2; ++half) {
        // Eight words of eight blocks, one block per row, transposed so that
        // each row holds one word of every block.
        __m256i rows[LANES];
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            const std::uint8_t* block = blocks + SHA256_BLOCK_SIZE * std::min(lane, lanes - 1);
            rows[lane] = _mm256_shuffle_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * half)), byte_swap);
        }
        __m256i pairs[LANES];
        for (std::size_t i = 0; i < LANES; i += 2) {
            pairs[i] = _mm256_unpacklo_epi32(rows[i], rows[i + 1]);
            pairs[i + 1] = _mm256_unpackhi_epi32(rows[i], rows[i + 1]);
        }
        __m256i quads[LANES];
        for (std::size_t i = 0; i < LANES; i += 4) {
            quads[i] = _mm256_unpacklo_epi64(pairs[i], pairs[i + 2]);
            quads[i + 1] = _mm256_unpackhi_epi64(pairs[i], pairs[i + 2]);
            quads[i + 2] = _mm256_unpacklo_epi64(pairs[i + 1], pairs[i + 3]);
            quads[i + 3] = _mm256_unpackhi_epi64(pairs[i + 1], pairs[i + 3]);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            store(out.words[8 * half + i], _mm256_permute2x128_si256(quads[i], quads[i + 4], 0x20));
            store(out.words[8 * half + i + 4], _mm256_permute2x128_si256(quads[i], quads[i + 4], 0x31));
        }
    }
    for (std::size_t t = 16; t < 64; ++t)
        store(out.words[t],
              _mm256_add_epi32(_mm256_add_epi32(load(out.words[t - 16]), small_sigma0(load(out.words[t - 15]))),
                               _mm256_add_epi32(load(out.words[t - 7]), small_sigma1(load(out.words[t - 2])))));
    for (std::size_t t = 0; t < 64; ++t)
        store(out.words_plus_constants[t],
              _mm256_add_epi32(load(out.words[t]),
                               _mm256_set1_epi32(static_cast<int>(SHA256_ROUND_CONSTANTS[t]))));
}

// Round I of eight, with the working variables left in place as in the
// portable kernel: round I reads a from v[-I mod 8], b from v[1 - I mod 8]
// and so on. `b_xor_c` comes in as b ^ c and leaves as a ^ b.
template <std::size_t I>
PU_TARGET_AVX2 PU_ALWAYS_INLINE void round(std::array<std::uint32_t, 8>& v, std::uint32_t& b_xor_c,
                                           const std::uint32_t* word_plus_constant) {
    constexpr auto at = [](std::size_t role) { return (role - I) & 7; };
    const std::uint32_t a = v[at(0)], b = v[at(1)], e = v[at(4)], f = v[at(5)], g = v[at(6)];
    std::uint32_t& d = v[at(3)];
    std::uint32_t& h = v[at(7)];
    h += word_plus_constant[LANES * I];
    h += (e & f) + (~e & g);
    h += std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
    d += h;
    const std::uint32_t a_xor_b = a ^ b;
    h += b ^ (a_xor_b & b_xor_c);
    h += std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
    b_xor_c = a_xor_b;
}

template <std::size_t... I>
PU_TARGET_AVX2 PU_ALWAYS_INLINE void eight_rounds(std::array<std::uint32_t, 8>& v, std::uint32_t& b_xor_c,
                                                  const std::uint32_t* word_plus_constant,
                                                  std::index_sequence<I...>) {
    (round<I>(v, b_xor_c, word_plus_constant), ...);
}

}  // namespace

PU_TARGET_AVX2
void sha256_compress_avx2(Sha256State& state, const std::uint8_t* blocks, std::size_t count) {
    Schedule schedules;  // NOLINT(cppcoreguidelines-pro-type-member-init): schedule() writes every word before it is read
    while (count != 0) {
        const std::size_t lanes = std::min(count, LANES);
        schedule(schedules, blocks, lanes);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            std::array<std::uint32_t, 8> v = state;
            std::uint32_t b_xor_c = v[1] ^ v[2];
            // Eight rounds at a time bring the variables back to their
            // places, so the loop keeps the code small.
            for (std::size_t t = 0; t < 64; t += 8)
                eight_rounds(v, b_xor_c, &schedules.words_plus_constants[t][lane], std::make_index_sequence<8>{});
            for (std::size_t i = 0; i < v.size(); ++i)
                state[i] += v[i];
        }
        blocks += lanes * SHA256_BLOCK_SIZE;
        count -= lanes;
    }
}
