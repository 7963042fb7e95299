// How each shape of error chain is displayed, and the digest comparison.
#include <gtest/gtest.h>

#include "digest_match.h"
#include "error_chain.h"

namespace {

std::string fake_system_message(std::uint32_t code) { return code == 0x13 ? "" : "Text " + std::to_string(code) + "."; }

TEST(ErrorChain, EachShapeDisplaysItsLinksJoinedByColonAndSpace) {
    using enum ParseIntError;
    const auto os = OsError::from_code(5);
    const std::pair<ErrorChain, std::string> rows[] = {
        {ErrorChain::from_message("missing --pid"), "missing --pid"},
        {ErrorChain::with_context("cannot move", os), "cannot move: Text 5. (os error 5)"},
        {ErrorChain::with_context("--pid must be an integer", Empty),
         "--pid must be an integer: cannot parse integer from empty string"},
        {ErrorChain::with_context("p", InvalidDigit), "p: invalid digit found in string"},
        {ErrorChain::with_context("p", PosOverflow), "p: number too large to fit in target type"},
        {ErrorChain::from_os_error(OsError::from_code(0xC0000022)), "Text 3221225506. (os error -1073741790)"},
        {ErrorChain::with_context("x", OsError::with_message(OsErrorKind::NotFound, "program not found")),
         "x: program not found"},
        {ErrorChain::with_context("x", OsError::from_kind(OsErrorKind::OutOfMemory)), "x: out of memory"},
        {ErrorChain::with_context("x", OsError::from_code(0x13)), "x:  (os error 19)"},  // a blank system message
    };
    for (const auto& [chain, text] : rows) {
        EXPECT_EQ(chain_text(chain, fake_system_message), text);
        EXPECT_EQ(outer_text(chain, fake_system_message), text.substr(0, chain.message() ? text.find(':') : text.npos));
    }
}

// Only A to Z fold; nothing is trimmed; the lengths must agree.
TEST(DigestMatch, IgnoresTheCaseOfAsciiLettersOnly) {
    const std::string computed = "09afz";
    for (const std::string_view same : {"09afz", "09AFZ", "09aFZ"}) EXPECT_TRUE(digests_match(computed, same)) << same;
    for (const std::string_view other : {"09afz0", "09af", " 09afz", "09afy",
                                         "\xEF\xBC\x90"
                                         "9afz",
                                         "09af\xC3\xBA"})
        EXPECT_FALSE(digests_match(computed, other)) << other;
    EXPECT_FALSE(digests_match("\xC3\xA9", "\xC3\x89"));  // é and É are not ASCII letters
}

}  // namespace
