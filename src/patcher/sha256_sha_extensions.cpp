#include "patcher/sha256.h"

#include <immintrin.h>

#include "patcher/cpu_features.h"
#include "patcher/sha256_constants.h"

// The state is held as two vectors in the order that sha256rnds2 wants: ABEF
// and CDGH. Each sha256rnds2 does two rounds and gives the new ABEF; two
// rounds turn the old ABEF into the new CDGH, so each call overwrites the
// vector that held CDGH and nothing needs shuffling between rounds.

namespace {

PU_TARGET_SHA_EXTENSIONS
PU_ALWAYS_INLINE void four_rounds(__m128i& abef, __m128i& cdgh, __m128i words, std::size_t first_round) {
    const __m128i k_plus_w = _mm_add_epi32(
        words, _mm_load_si128(reinterpret_cast<const __m128i*>(&SHA256_ROUND_CONSTANTS[first_round])));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k_plus_w);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k_plus_w, 0x0E));
}

// Message words t..t+3 from words t-16..t-1, given as four vectors of four.
PU_TARGET_SHA_EXTENSIONS
PU_ALWAYS_INLINE __m128i next_words(__m128i w16, __m128i w12, __m128i w8, __m128i w4) {
    const __m128i partial = _mm_sha256msg1_epu32(w16, w12);
    return _mm_sha256msg2_epu32(_mm_add_epi32(partial, _mm_alignr_epi8(w4, w8, 4)), w4);
}

}  // namespace

PU_TARGET_SHA_EXTENSIONS
void sha256_compress_sha_extensions(Sha256State& state, const std::uint8_t* blocks, std::size_t count) {
    // Big-endian words: reverse the bytes of each 32-bit lane.
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count != 0; --count, blocks += SHA256_BLOCK_SIZE) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        const auto* words = reinterpret_cast<const __m128i*>(blocks);

        __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(words + 0), byte_swap);
        four_rounds(abef, cdgh, w0, 0);
        __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(words + 1), byte_swap);
        four_rounds(abef, cdgh, w1, 4);
        __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(words + 2), byte_swap);
        four_rounds(abef, cdgh, w2, 8);
        __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(words + 3), byte_swap);
        four_rounds(abef, cdgh, w3, 12);
        for (std::size_t round = 16; round < 64; round += 16) {
            w0 = next_words(w0, w1, w2, w3);
            four_rounds(abef, cdgh, w0, round);
            w1 = next_words(w1, w2, w3, w0);
            four_rounds(abef, cdgh, w1, round + 4);
            w2 = next_words(w2, w3, w0, w1);
            four_rounds(abef, cdgh, w2, round + 8);
            w3 = next_words(w3, w0, w1, w2);
            four_rounds(abef, cdgh, w3, round + 12);
        }

        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}
