#include "patcher/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <ostream>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/cpu_features.h"

// Names the kernel in the messages of failed parameterised tests.
void PrintTo(Sha256Kernel kernel, std::ostream* out) {
    *out << (kernel == Sha256Kernel::Portable ? "Portable" : "ShaExtensions");
}

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string one_shot_hex(Sha256Kernel kernel, std::span<const std::uint8_t> bytes) {
    Sha256 hasher(kernel);
    hasher.update(bytes);
    return to_hex(hasher.finish());
}

// Feeds `bytes` in pieces cut at `cuts` (sorted offsets, repeats allowed, so
// some pieces are empty).
std::string split_hex(Sha256Kernel kernel, std::span<const std::uint8_t> bytes,
                      const std::vector<std::size_t>& cuts) {
    Sha256 hasher(kernel);
    std::size_t start = 0;
    for (const std::size_t cut : cuts) {
        hasher.update(bytes.subspan(start, cut - start));
        start = cut;
    }
    hasher.update(bytes.subspan(start));
    return to_hex(hasher.finish());
}

std::vector<std::uint8_t> random_bytes(std::mt19937_64& random, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(byte(random));
    return bytes;
}

std::vector<std::size_t> random_cuts(std::mt19937_64& random, std::size_t size) {
    std::vector<std::size_t> cuts(std::uniform_int_distribution<std::size_t>(0, 12)(random));
    std::uniform_int_distribution<std::size_t> offset(0, size);
    for (auto& cut : cuts)
        cut = offset(random);
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

// Content whose digests were taken once with coreutils sha256sum: byte i is
// the top byte of x(i + 1), where x(0) = 1 and
// x(n + 1) = (1664525 x(n) + 1013904223) mod 2^32.
std::vector<std::uint8_t> generated_content(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 1;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

constexpr std::string_view ABC_DIGEST = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class Sha256KernelTest : public ::testing::TestWithParam<Sha256Kernel> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256Kernel::ShaExtensions && !cpu_has_sha_extensions())
            GTEST_SKIP() << "this processor lacks the SHA extensions";
    }
};

TEST_P(Sha256KernelTest, MatchesPublishedVectors) {
    struct Case {
        std::string message;
        std::string_view digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", ABC_DIGEST},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("message of " + std::to_string(c.message.size()) + " bytes");
        EXPECT_EQ(one_shot_hex(GetParam(), bytes_of(c.message)), c.digest);
    }
}

// Lengths around the padding boundaries (55 bytes leave just room for the
// 0x80 byte and the length; 56 to 63 push the length into an extra block) and
// around the 1 MiB read size.
TEST_P(Sha256KernelTest, MatchesSha256sumAtBoundaryLengths) {
    struct Case {
        std::size_t size;
        std::string_view digest;
    };
    const Case cases[] = {
        {55, "3ca61aefed89811cfdd5fc5a131c73250d6d556ad6e379e98fc0a748dc6c712e"},
        {56, "23b83c1957dcbf2cc769ea265de2496d530679398ab1eaee60ed3a9924952961"},
        {63, "1b1e8a91273dfa48857490c590e219ed7a3b4a5a2529f8f140c690314d866d5a"},
        {64, "bcaa0c51106feb59b9a6709083e54b7744602caa23c59224ebb4651341e64fc3"},
        {65, "15e8208179c167a401c50467c80c0bd0233654a32121a7e5b9cde0b11838c851"},
        {1'048'576, "8ffdf7e6cfde155ab118e1f70435db9efd0e96745e674854895edd173fc591ca"},
        {1'048'577, "26751545131891bca90d5f9f7b4572c35614b9286fdcf730baaff87ac49a098b"},
    };
    const std::vector<std::uint8_t> content = generated_content(1'048'577);
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.size));
        EXPECT_EQ(one_shot_hex(GetParam(), std::span(content).first(c.size)), c.digest);
    }
}

TEST_P(Sha256KernelTest, SplitUpdatesMatchOneShot) {
    std::mt19937_64 random(20240611);
    for (int trial = 0; trial < 300; ++trial) {
        // Mostly a few blocks, sometimes many, so that whole blocks go
        // straight from the caller's memory at every alignment.
        const std::size_t limit = trial % 10 == 0 ? 40'000 : 700;
        const std::size_t size = std::uniform_int_distribution<std::size_t>(0, limit)(random);
        const std::vector<std::uint8_t> data = random_bytes(random, size);
        const std::vector<std::size_t> cuts = random_cuts(random, size);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(size) + " bytes in " +
                     std::to_string(cuts.size() + 1) + " pieces");
        EXPECT_EQ(split_hex(GetParam(), data, cuts), one_shot_hex(GetParam(), data));
    }
}

TEST_P(Sha256KernelTest, FinishStartsANewComputation) {
    Sha256 hasher(GetParam());
    hasher.update("an earlier message of more than one block, so that state and length both change", 80);
    (void)hasher.finish();
    hasher.update("abc", 3);
    EXPECT_EQ(to_hex(hasher.finish()), ABC_DIGEST);
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256KernelTest,
                         ::testing::Values(Sha256Kernel::Portable, Sha256Kernel::ShaExtensions),
                         [](const ::testing::TestParamInfo<Sha256Kernel>& param_info) {
                             return param_info.param == Sha256Kernel::Portable ? "Portable" : "ShaExtensions";
                         });

// Random lengths, each kernel fed with its own random cuts, against one-shot
// hashing with either kernel.
TEST(Sha256Kernels, AgreeOnRandomInputsAndSplits) {
    if (!cpu_has_sha_extensions())
        GTEST_SKIP() << "this processor lacks the SHA extensions";
    std::mt19937_64 random(977);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t limit = trial % 10 == 0 ? 200'000 : 1'000;
        const std::size_t size = std::uniform_int_distribution<std::size_t>(0, limit)(random);
        const std::vector<std::uint8_t> data = random_bytes(random, size);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(size) + " bytes");
        const std::string portable = one_shot_hex(Sha256Kernel::Portable, data);
        EXPECT_EQ(one_shot_hex(Sha256Kernel::ShaExtensions, data), portable);
        EXPECT_EQ(split_hex(Sha256Kernel::Portable, data, random_cuts(random, size)), portable);
        EXPECT_EQ(split_hex(Sha256Kernel::ShaExtensions, data, random_cuts(random, size)), portable);
    }
}

// The compression functions alone, from arbitrary states rather than the
// initial one, so that a kernel that loads or stores the state words in the
// wrong order cannot pass.
TEST(Sha256Kernels, CompressAgreesFromArbitraryStates) {
    if (!cpu_has_sha_extensions())
        GTEST_SKIP() << "this processor lacks the SHA extensions";
    std::mt19937_64 random(31337);
    std::uniform_int_distribution<std::uint32_t> word;
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 20)(random);
        const std::size_t misalignment = std::uniform_int_distribution<std::size_t>(0, 15)(random);
        const std::vector<std::uint8_t> data = random_bytes(random, misalignment + count * SHA256_BLOCK_SIZE);
        Sha256State portable;
        for (auto& w : portable)
            w = word(random);
        Sha256State sha_extensions = portable;
        sha256_compress_portable(portable, data.data() + misalignment, count);
        sha256_compress_sha_extensions(sha_extensions, data.data() + misalignment, count);
        EXPECT_EQ(sha_extensions, portable) << "trial " << trial << ", " << count << " blocks";
    }
}

// 2^29 + 65 bytes are more than 2^32 bits: a 32-bit bit count would wrap.
TEST(Sha256, CountsTheLengthInSixtyFourBits) {
    const std::vector<std::uint8_t> zeros(1 << 20);
    std::size_t left = (std::size_t{1} << 29) + 65;
    Sha256 hasher;
    while (left != 0) {
        const std::size_t size = std::min(left, zeros.size());
        hasher.update(zeros.data(), size);
        left -= size;
    }
    EXPECT_EQ(to_hex(hasher.finish()), "bca9f36ed114b793c16365619587f6067d164a4d93d7da9a7dc949fdad928fba");
}

TEST(Sha256, HexIsLowercaseHighNibbleFirst) {
    struct Case {
        Sha256Digest digest;
        std::string_view text;
    };
    Case cases[3] = {};
    for (std::size_t i = 0; i < 32; ++i) {
        cases[0].digest[i] = static_cast<std::uint8_t>(i);
        cases[1].digest[i] = i % 2 == 0 ? 0xF0 : 0x0A;
        cases[2].digest[i] = 0xFF;
    }
    cases[0].text = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    cases[1].text = "f00af00af00af00af00af00af00af00af00af00af00af00af00af00af00af00a";
    cases[2].text = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
    for (const Case& c : cases)
        EXPECT_EQ(to_hex(c.digest), c.text);
}

// The CPUID decoding against the flags that Linux reports; skipped where there
// is no /proc/cpuinfo (under Wine it may not be reachable).
TEST(Sha256, KernelChoiceFollowsTheProcessorFlags) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && !line.starts_with("flags"))
        ;
    if (!line.starts_with("flags"))
        GTEST_SKIP() << "no /proc/cpuinfo flags";
    std::istringstream words(line);
    bool sha_ni = false, ssse3 = false, sse4_1 = false;
    for (std::string flag; words >> flag;) {
        sha_ni = sha_ni || flag == "sha_ni";
        ssse3 = ssse3 || flag == "ssse3";
        sse4_1 = sse4_1 || flag == "sse4_1";
    }
    const bool expected = sha_ni && ssse3 && sse4_1;
    EXPECT_EQ(cpu_has_sha_extensions(), expected);
    EXPECT_EQ(sha256_best_kernel(), expected ? Sha256Kernel::ShaExtensions : Sha256Kernel::Portable);
}

}  // namespace
