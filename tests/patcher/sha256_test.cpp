// Every SHA-256 kernel that this processor runs against published vectors and every padding case, and
// the kernel chosen.
#include <gtest/gtest.h>

#include "patcher/cpu_features.h"
#include "patcher/sha256.h"

namespace {

std::string digest_of(Sha256Kernel kernel, std::string_view bytes) {
    Sha256 hasher(kernel);
    hasher.update(bytes.data(), bytes.size());
    return to_hex(hasher.finish());
}

class Sha256Kernels : public ::testing::TestWithParam<Sha256Kernel> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256Kernel::ShaExtensions && !cpu_has_sha_extensions())
            GTEST_SKIP() << "this processor lacks the SHA extensions";
        if (GetParam() == Sha256Kernel::Avx2 && !cpu_has_avx2_bmi2())
            GTEST_SKIP() << "this processor lacks AVX2 or BMI2";
    }
};

TEST_P(Sha256Kernels, MatchPublishedVectors) {
    const std::pair<std::string, std::string_view> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [message, digest] : vectors) EXPECT_EQ(digest_of(GetParam(), message), digest) << message.size();
    // Every length from 0 to 300 (each padding case): the digest of their 301
    // digests, as another implementation computes it.
    Sha256 all(GetParam());
    std::string message;
    for (int length = 0; length <= 300; message += char(length++ % 251)) {
        Sha256 one(GetParam());
        one.update(message.data(), message.size());
        all.update(one.finish());
    }
    EXPECT_EQ(to_hex(all.finish()), "b90e35153500e9a471591550ee25a954527c6b4448afff95f7949a2ca93300ce");
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256Kernels,
                         ::testing::Values(Sha256Kernel::Portable, Sha256Kernel::ShaExtensions, Sha256Kernel::Avx2));

// The kernel chosen is the fastest that this processor runs, as the compiler's own feature test tells.
TEST(Sha256, TheChosenKernelIsTheFastestThisProcessorRuns) {
    const bool sha =
        __builtin_cpu_supports("sha") && __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    EXPECT_EQ(cpu_has_sha_extensions(), sha);
    EXPECT_EQ(cpu_has_avx2_bmi2(), avx2);
    const Sha256Kernel fastest = sha ? Sha256Kernel::ShaExtensions : avx2 ? Sha256Kernel::Avx2 : Sha256Kernel::Portable;
    EXPECT_EQ(sha256_best_kernel(), fastest);
}

}  // namespace
