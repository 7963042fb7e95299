#include "digest_match.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;

constexpr std::string_view DIGEST = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct Case {
    std::string_view name;
    std::string_view computed;
    std::string_view expected;
    bool match;
};

TEST(DigestMatch, FollowsTheByteRule) {
    const Case cases[] = {
        {"identical", DIGEST, DIGEST, true},
        {"expected in upper case", DIGEST,
         "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", true},
        {"expected in mixed case", DIGEST,
         "Ba7816bF8f01CfEa414140dE5dAe2223B00361a396177A9cB410Ff61F20015aD", true},
        {"case folded on both sides", "ABCdef", "abcDEF", true},
        {"both empty", "", "", true},
        {"empty against a digest", DIGEST, "", false},
        {"63 characters", DIGEST, DIGEST.substr(0, 63), false},
        {"65 characters", DIGEST, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad0", false},
        {"leading space", DIGEST, " ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", false},
        {"trailing space", DIGEST, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad ", false},
        {"trailing newline", DIGEST, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n", false},
        {"space in place of the first digit, same length", DIGEST,
         " a7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", false},
        {"last character differs", DIGEST,
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae", false},
        {"character 17 differs", DIGEST,
         "ba7816bf8f01cfea514140de5dae2223b00361a396177a9cb410ff61f20015ad", false},
        {"A and Z fold", "az", "AZ", true},
        {"@ is not ` (0x40, 0x60)", "@", "`", false},
        {"[ is not { (0x5B, 0x7B)", "[", "{", false},
        {"` is not @ either way", "`", "@", false},
        {"{ is not [ either way", "{", "[", false},
        {"non-ASCII identical", "\xC3\xA9", "\xC3\xA9", true},
        {"non-ASCII letters do not fold (UTF-8)", "\xC3\xA9", "\xC3\x89", false},
        {"non-ASCII letters do not fold (Latin-1)", "\xE1", "\xC1", false},
        {"0xC1 is not A", "\xC1", "A", false},
        {"embedded NUL compared as a byte", "ab\0c"sv, "AB\0C"sv, true},
        {"bytes after an embedded NUL count", "ab\0c"sv, "ab\0d"sv, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(digests_match(c.computed, c.expected), c.match) << c.name;
}

// Every byte value against every other: equal exactly when they are the same
// byte or an ASCII letter and its other case.
TEST(DigestMatch, FoldsOnlyAsciiLettersAmongAllBytePairs) {
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            const auto is_upper = [](int b) { return b >= 'A' && b <= 'Z'; };
            const bool same_letter = (is_upper(x) && y == x + 32) || (is_upper(y) && x == y + 32);
            const std::string computed = "0123456789abcdef" + std::string(1, static_cast<char>(x));
            const std::string expected = "0123456789ABCDEF" + std::string(1, static_cast<char>(y));
            ASSERT_EQ(digests_match(computed, expected), x == y || same_letter) << "bytes " << x << ", " << y;
        }
    }
}

}  // namespace
