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

std::string one_shot_hex(Sha256Kernel kernel, std::span<const std::uint8_t> bytes) {
    Sha256 hasher(kernel);
    hasher.update(bytes);
    return to_hex(hasher.finish());
}

std::vector<std::uint8_t> random_bytes(std::mt19937_64& random, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(random));
    return bytes;
}

class Sha256KernelTest : public ::testing::TestWithParam<Sha256Kernel> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256Kernel::ShaExtensions && !cpu_has_sha_extensions())
            GTEST_SKIP() << "this processor lacks the SHA extensions";
    }
};

// One hasher for all the messages, so that finish() must also start a new computation.
TEST_P(Sha256KernelTest, MatchesPublishedVectors) {
    const std::pair<std::string, std::string_view> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    Sha256 hasher(GetParam());
    for (const auto& [message, digest] : cases) {
        hasher.update(message.data(), message.size());
        EXPECT_EQ(to_hex(hasher.finish()), digest) << message.size() << " bytes";
    }
}

// sha256sum's digests around the padding boundaries (56 to 63 bytes push the length into an extra block).
TEST_P(Sha256KernelTest, MatchesSha256sumAtBoundaryLengths) {
    std::vector<std::uint8_t> content(1'048'577);
    std::uint32_t x = 1;
    for (auto& b : content) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    const std::pair<std::size_t, std::string_view> cases[] = {
        {55, "3ca61aefed89811cfdd5fc5a131c73250d6d556ad6e379e98fc0a748dc6c712e"},
        {56, "23b83c1957dcbf2cc769ea265de2496d530679398ab1eaee60ed3a9924952961"},
        {63, "1b1e8a91273dfa48857490c590e219ed7a3b4a5a2529f8f140c690314d866d5a"},
        {64, "bcaa0c51106feb59b9a6709083e54b7744602caa23c59224ebb4651341e64fc3"},
        {65, "15e8208179c167a401c50467c80c0bd0233654a32121a7e5b9cde0b11838c851"},
        {1'048'576, "8ffdf7e6cfde155ab118e1f70435db9efd0e96745e674854895edd173fc591ca"},
        {1'048'577, "26751545131891bca90d5f9f7b4572c35614b9286fdcf730baaff87ac49a098b"},
    };
    for (const auto& [size, digest] : cases)
        EXPECT_EQ(one_shot_hex(GetParam(), std::span(content).first(size)), digest) << "length " << size;
}

// Random lengths (sometimes many blocks) in random pieces, some empty, against the portable kernel in one piece.
TEST_P(Sha256KernelTest, SplitUpdatesMatchPortableOneShot) {
    std::mt19937_64 random(20240611);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t size = std::uniform_int_distribution<std::size_t>(0, trial % 10 == 0 ? 200'000 : 800)(random);
        const std::vector<std::uint8_t> data = random_bytes(random, size);
        std::vector<std::size_t> cuts(std::uniform_int_distribution<std::size_t>(0, 12)(random));
        for (auto& cut : cuts) cut = std::uniform_int_distribution<std::size_t>(0, size)(random);
        std::sort(cuts.begin(), cuts.end());
        Sha256 hasher(GetParam());
        std::size_t start = 0;
        for (const std::size_t cut : cuts) {
            hasher.update(std::span(data).subspan(start, cut - start));
            start = cut;
        }
        hasher.update(std::span(data).subspan(start));
        EXPECT_EQ(to_hex(hasher.finish()), one_shot_hex(Sha256Kernel::Portable, data))
            << "trial " << trial << ", " << size << " bytes in " << cuts.size() + 1 << " pieces";
    }
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256KernelTest,
                         ::testing::Values(Sha256Kernel::Portable, Sha256Kernel::ShaExtensions),
                         [](const ::testing::TestParamInfo<Sha256Kernel>& info) {
                             return info.param == Sha256Kernel::Portable ? "Portable" : "ShaExtensions";
                         });

// From arbitrary states, so a kernel that loads or stores the state words in the wrong order cannot pass.
TEST(Sha256Kernels, CompressAgreesFromArbitraryStates) {
    if (!cpu_has_sha_extensions()) GTEST_SKIP() << "this processor lacks the SHA extensions";
    std::mt19937_64 random(31337);
    std::uniform_int_distribution<std::uint32_t> word;
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 20)(random);
        const std::size_t misalignment = std::uniform_int_distribution<std::size_t>(0, 15)(random);
        const std::vector<std::uint8_t> data = random_bytes(random, misalignment + count * SHA256_BLOCK_SIZE);
        Sha256State portable;
        for (auto& w : portable) w = word(random);
        Sha256State sha_extensions = portable;
        sha256_compress_portable(portable, data.data() + misalignment, count);
        sha256_compress_sha_extensions(sha_extensions, data.data() + misalignment, count);
        EXPECT_EQ(sha_extensions, portable) << "trial " << trial << ", " << count << " blocks";
    }
}

// 2^29 + 65 bytes are more than 2^32 bits: a 32-bit bit count would wrap.
TEST(Sha256, CountsTheLengthInSixtyFourBits) {
    const std::vector<std::uint8_t> zeros(1 << 20);
    Sha256 hasher;
    for (std::size_t left = (std::size_t{1} << 29) + 65; left != 0;) {
        const std::size_t size = std::min(left, zeros.size());
        hasher.update(zeros.data(), size);
        left -= size;
    }
    EXPECT_EQ(to_hex(hasher.finish()), "bca9f36ed114b793c16365619587f6067d164a4d93d7da9a7dc949fdad928fba");
}

// The CPUID decoding against the flags that Linux reports; skipped without /proc/cpuinfo (as under Wine).
TEST(Sha256, KernelChoiceFollowsTheProcessorFlags) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && !line.starts_with("flags")) {}
    if (!line.starts_with("flags")) GTEST_SKIP() << "no /proc/cpuinfo flags";
    std::istringstream words(line);
    int needed = 0;
    for (std::string flag; words >> flag;) needed += flag == "sha_ni" || flag == "ssse3" || flag == "sse4_1";
    const bool expected = needed == 3;
    EXPECT_EQ(cpu_has_sha_extensions(), expected);
    EXPECT_EQ(sha256_best_kernel(), expected ? Sha256Kernel::ShaExtensions : Sha256Kernel::Portable);
}

}  // namespace
