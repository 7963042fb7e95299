#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <cstdint>
#include <random>
#include <vector>

#include "patcher/cpu_features.h"
#include "patcher/sha256.h"

namespace {

// The size of one read of the file being hashed.
constexpr std::size_t BUFFER_SIZE = 1 << 20;

const std::vector<std::uint8_t>& buffer() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> random_bytes(BUFFER_SIZE);
        std::mt19937 random(1);
        for (auto& b : random_bytes)
            b = static_cast<std::uint8_t>(random());
        return random_bytes;
    }();
    return bytes;
}

void hash_with(benchmark::State& state, Sha256Kernel kernel) {
    const auto& bytes = buffer();
    for (auto _ : state) {
        Sha256 hasher(kernel);
        hasher.update(bytes);
        Sha256Digest digest = hasher.finish();
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Sha256ShaExtensions(benchmark::State& state) {
    if (!cpu_has_sha_extensions()) {
        state.SkipWithError("this processor lacks the SHA extensions");
        return;
    }
    hash_with(state, Sha256Kernel::ShaExtensions);
}

void BM_Sha256Avx2(benchmark::State& state) {
    if (!cpu_has_avx2_bmi2()) {
        state.SkipWithError("this processor lacks AVX2 or BMI2");
        return;
    }
    hash_with(state, Sha256Kernel::Avx2);
}

void BM_Sha256Portable(benchmark::State& state) { hash_with(state, Sha256Kernel::Portable); }

void BM_OpenSslSha256(benchmark::State& state) {
    const auto& bytes = buffer();
    for (auto _ : state) {
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(bytes.data(), bytes.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

}  // namespace

BENCHMARK(BM_Sha256ShaExtensions);
BENCHMARK(BM_Sha256Avx2);
BENCHMARK(BM_Sha256Portable);
BENCHMARK(BM_OpenSslSha256);

BENCHMARK_MAIN();
