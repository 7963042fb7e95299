#include "error_chain.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string fake_message(std::uint32_t code) { return "message " + std::to_string(code) + "."; }
std::string blank_message(std::uint32_t) { return ""; }

TEST(ErrorChain, MessageAloneDisplaysAsItsText) {
    const auto chain = ErrorChain::from_message("missing --pid");
    EXPECT_EQ(chain_text(chain, fake_message), "missing --pid");
    EXPECT_EQ(outer_text(chain, fake_message), "missing --pid");
}

TEST(ErrorChain, ContextOverSystemCodeShowsMessageThenSystemText) {
    const auto chain = ErrorChain::with_context("cannot move the old patcher to backup", OsError::from_code(5));
    EXPECT_EQ(chain_text(chain, fake_message), "cannot move the old patcher to backup: message 5. (os error 5)");
    EXPECT_EQ(outer_text(chain, fake_message), "cannot move the old patcher to backup");
}

TEST(ErrorChain, ContextOverParseErrorShowsTheKindsText) {
    struct Row {
        ParseIntError error;
        const char* text;
    };
    for (const Row& row : {Row{ParseIntError::Empty, "--pid must be an integer: cannot parse integer from empty string"},
                           Row{ParseIntError::InvalidDigit, "--pid must be an integer: invalid digit found in string"},
                           Row{ParseIntError::PosOverflow,
                               "--pid must be an integer: number too large to fit in target type"}}) {
        const auto chain = ErrorChain::with_context("--pid must be an integer", row.error);
        EXPECT_EQ(chain_text(chain, fake_message), row.text);
        EXPECT_EQ(outer_text(chain, fake_message), "--pid must be an integer");
    }
}

TEST(ErrorChain, BareSystemErrorHasNothingBeforeIt) {
    const auto chain = ErrorChain::from_os_error(OsError::from_code(38));
    EXPECT_EQ(chain_text(chain, fake_message), "message 38. (os error 38)");
    EXPECT_EQ(outer_text(chain, fake_message), "message 38. (os error 38)");
}

TEST(ErrorChain, CodesFromTheTopHalfShowAsNegativeNumbers) {
    // The system message is looked up with the full code; only the display is signed.
    const auto chain = ErrorChain::from_os_error(OsError::from_code(0xC0000011));
    EXPECT_EQ(chain_text(chain, fake_message), "message 3221225489. (os error -1073741807)");
}

TEST(ErrorChain, FixedTextsShowWithoutCodeOrKind) {
    const auto fixed = ErrorChain::with_context("cannot restart the updated patcher",
                                                OsError::with_message(OsErrorKind::NotFound, "program not found"));
    EXPECT_EQ(chain_text(fixed, fake_message), "cannot restart the updated patcher: program not found");

    const auto nul = ErrorChain::with_context("cannot open a", OsError::with_message(OsErrorKind::InvalidInput,
                                                                                      NUL_IN_PATH_TEXT));
    EXPECT_EQ(chain_text(nul, fake_message), "cannot open a: strings passed to WinAPI cannot contain NULs");

    const auto kind_only = ErrorChain::with_context("cannot install the new patcher executable",
                                                    OsError::from_kind(OsErrorKind::OutOfMemory));
    EXPECT_EQ(chain_text(kind_only, fake_message), "cannot install the new patcher executable: out of memory");
}

TEST(ErrorChain, BlankSystemMessageLeavesTwoSpacesAfterTheColon) {
    const auto chain = ErrorChain::with_context("cannot remove stale patcher backup", OsError::from_code(5));
    EXPECT_EQ(chain_text(chain, blank_message), "cannot remove stale patcher backup:  (os error 5)");
}

TEST(OsError, KindsOfCodes) {
    for (std::uint32_t code : {109u, 232u, 10058u}) EXPECT_EQ(OsError::from_code(code).kind(), OsErrorKind::BrokenPipe) << code;
    for (std::uint32_t code : {2u, 3u}) EXPECT_EQ(OsError::from_code(code).kind(), OsErrorKind::NotFound) << code;
    // No Windows code is "interrupted": writes are never retried because of one.
    for (std::uint32_t code = 0; code < 20000; ++code)
        ASSERT_NE(OsError::from_code(code).kind(), OsErrorKind::Interrupted) << code;
    EXPECT_EQ(OsError::with_message(OsErrorKind::WriteZero, WRITE_ZERO_TEXT).kind(), OsErrorKind::WriteZero);
    EXPECT_EQ(OsError::from_kind(OsErrorKind::OutOfMemory).kind(), OsErrorKind::OutOfMemory);
}

}  // namespace
