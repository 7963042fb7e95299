#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha256State = std::array<std::uint32_t, 8>;

inline constexpr std::size_t SHA256_BLOCK_SIZE = 64;

// The compression function over whole blocks: folds `count` consecutive
// 64-byte blocks starting at `blocks` into `state`, as FIPS 180-4 defines it.
// `blocks` need not be aligned; with `count` 0 nothing is read.
using Sha256Compress = void (*)(Sha256State& state, const std::uint8_t* blocks, std::size_t count);

// Plain C++, for any processor.
void sha256_compress_portable(Sha256State& state, const std::uint8_t* blocks, std::size_t count);

// The x86 SHA extensions. Call only where cpu_has_sha_extensions()
// (patcher/cpu_features.h) is true.
void sha256_compress_sha_extensions(Sha256State& state, const std::uint8_t* blocks, std::size_t count);

// AVX2 and BMI2, for the processors without the SHA extensions. Call only
// where cpu_has_avx2_bmi2() (patcher/cpu_features.h) is true.
void sha256_compress_avx2(Sha256State& state, const std::uint8_t* blocks, std::size_t count);

enum class Sha256Kernel : std::uint8_t { Portable, ShaExtensions, Avx2 };

// The fastest kernel that this processor can run, chosen once per process.
Sha256Kernel sha256_best_kernel();

// One incremental SHA-256 computation. Any number of update() calls, of any
// sizes, give the digest of their bytes concatenated; the length is counted
// in 64 bits.
class Sha256 {
public:
    Sha256() : Sha256(sha256_best_kernel()) {}
    // Forces a kernel, for tests and benchmarks. ShaExtensions only where
    // cpu_has_sha_extensions() is true, Avx2 only where cpu_has_avx2_bmi2().
    explicit Sha256(Sha256Kernel kernel);

    void update(std::span<const std::uint8_t> bytes);
    void update(const void* data, std::size_t size) {
        update(std::span(static_cast<const std::uint8_t*>(data), size));
    }

    // The digest of everything fed so far. The hasher then starts over, as if
    // newly made with the same kernel.
    [[nodiscard]] Sha256Digest finish();

private:
    void restart();

    Sha256Compress compress_;
    Sha256State state_{};
    std::array<std::uint8_t, SHA256_BLOCK_SIZE> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t total_bytes_ = 0;
};

// 64 lowercase hexadecimal characters, digest byte 0 first, high nibble first.
std::string to_hex(const Sha256Digest& digest);
