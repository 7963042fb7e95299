#include "platform/wide_text.h"

#include <gtest/gtest.h>

namespace {

TEST(WideText, RoundTripKeepsEveryUnitIncludingLoneSurrogates) {
    const std::u16string samples[] = {
        u"", u"C:\\App\\patcher.exe", u"caf\u00e9 \u6f22\u5b57", u"\U0001F600 pair",
        std::u16string{u'a', 0xD800, u'b'}, std::u16string{0xDC00}, std::u16string{0xDBFF, 0xDBFF, 0xDFFF},
        std::u16string{0xDFFF, 0xD800},
    };
    for (const auto& units : samples) EXPECT_EQ(to_utf16(to_wtf8(units)), units);
}

TEST(WideText, ValidTextIsPlainUtf8) {
    EXPECT_EQ(to_wtf8(u"caf\u00e9"), "caf\xc3\xa9");
    EXPECT_EQ(to_wtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_TRUE(is_valid_unicode(u"\U0001F600 caf\u00e9"));
    EXPECT_FALSE(is_valid_unicode(std::u16string{u'a', 0xD800}));
    EXPECT_FALSE(is_valid_unicode(std::u16string{0xDC00, 0xD800}));
}

TEST(WideText, DisplayShowsLoneSurrogatesAsReplacementCharacters) {
    const std::string text = to_wtf8(std::u16string{u'a', 0xD800, u'b', 0xDFFF});
    EXPECT_EQ(display_text(text), "a\xef\xbf\xbd" "b\xef\xbf\xbd");
    EXPECT_EQ(display_text("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(WideText, MalformedBytesBecomeReplacementCharacters) {
    EXPECT_EQ(to_utf16("a\xff" "b"), (std::u16string{u'a', 0xFFFD, u'b'}));
    EXPECT_EQ(to_utf16("\xe2\x82"), (std::u16string{0xFFFD, 0xFFFD}));
    EXPECT_EQ(to_utf16("\xc0\xaf"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
}

}  // namespace
