#pragma once

// The one place for the compiler-specific spellings that the digest kernels
// need (the processor feature query, per-function instruction-set targets and
// forced inlining), so that they build with GCC, Clang (mingw-w64 included)
// and MSVC alike.

#include <cstdint>

#if !(defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86))
#error "the SHA-256 kernels are written for x86 processors"
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
// MSVC lets any function use any intrinsic; the caller checks the processor.
#define PU_TARGET_SHA_EXTENSIONS
#define PU_TARGET_AVX2
#define PU_TARGET_XSAVE
#define PU_ALWAYS_INLINE __forceinline
#else
#include <cpuid.h>
#include <immintrin.h>
// Only the functions so marked may contain SHA instructions; enabling them for
// a whole file would let the compiler emit them anywhere in it.
#define PU_TARGET_SHA_EXTENSIONS __attribute__((target("sha,sse4.1,ssse3")))
#define PU_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#define PU_TARGET_XSAVE __attribute__((target("xsave")))
#define PU_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

struct CpuidRegisters {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

// CPUID for one leaf and sub-leaf; all zero when the leaf is beyond the
// highest one that the processor reports.
inline CpuidRegisters cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    CpuidRegisters registers;
#if defined(_MSC_VER) && !defined(__clang__)
    int highest[4] = {};
    __cpuid(highest, 0);
    if (leaf > static_cast<std::uint32_t>(highest[0]))
        return registers;
    int values[4] = {};
    __cpuidex(values, static_cast<int>(leaf), static_cast<int>(subleaf));
    registers.eax = static_cast<std::uint32_t>(values[0]);
    registers.ebx = static_cast<std::uint32_t>(values[1]);
    registers.ecx = static_cast<std::uint32_t>(values[2]);
    registers.edx = static_cast<std::uint32_t>(values[3]);
#else
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(leaf, subleaf, &eax, &ebx, &ecx, &edx) == 0)
        return registers;
    registers = {eax, ebx, ecx, edx};
#endif
    return registers;
}

// True when the processor has the SHA extensions and the SSSE3 and SSE4.1
// instructions that the SHA-256 kernel uses beside them.
inline bool cpu_has_sha_extensions() {
    constexpr std::uint32_t SSSE3 = 1u << 9;      // leaf 1, ecx
    constexpr std::uint32_t SSE4_1 = 1u << 19;    // leaf 1, ecx
    constexpr std::uint32_t SHA = 1u << 29;       // leaf 7 sub-leaf 0, ebx
    const CpuidRegisters basic = cpuid(1, 0);
    const CpuidRegisters extended = cpuid(7, 0);
    return (basic.ecx & SSSE3) != 0 && (basic.ecx & SSE4_1) != 0 && (extended.ebx & SHA) != 0;
}

// True when the processor has AVX2, BMI1 and BMI2 and the system saves the
// 256-bit registers across thread switches (without that, AVX2 faults).
PU_TARGET_XSAVE inline bool cpu_has_avx2_bmi2() {
    constexpr std::uint32_t OSXSAVE = 1u << 27;   // leaf 1, ecx
    constexpr std::uint32_t AVX = 1u << 28;       // leaf 1, ecx
    constexpr std::uint32_t BMI1 = 1u << 3;       // leaf 7 sub-leaf 0, ebx
    constexpr std::uint32_t AVX2 = 1u << 5;       // leaf 7 sub-leaf 0, ebx
    constexpr std::uint32_t BMI2 = 1u << 8;       // leaf 7 sub-leaf 0, ebx
    constexpr std::uint64_t SSE_AND_AVX_STATE = 0x6;  // XCR0 bits 1 and 2
    const CpuidRegisters basic = cpuid(1, 0);
    if ((basic.ecx & OSXSAVE) == 0 || (basic.ecx & AVX) == 0)
        return false;
    if ((_xgetbv(0) & SSE_AND_AVX_STATE) != SSE_AND_AVX_STATE)
        return false;
    const CpuidRegisters extended = cpuid(7, 0);
    constexpr std::uint32_t needed = BMI1 | AVX2 | BMI2;
    return (extended.ebx & needed) == needed;
}
