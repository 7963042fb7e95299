#include "platform/long_path.h"

#include <gtest/gtest.h>

namespace {

TEST(LongPath, WhichPathsSkipTheFullPathLookup) {
    struct Row {
        std::u16string path;
        bool unchanged;
    };
    const Row rows[] = {
        {u"", true},
        {u"C:", true},
        {u"C:\\App\\..\\x", true},
        {u"C:/App/x", true},
        {u"\\\\server\\share\\x", true},
        {u"/\\server/share", true},
        {u"\\\\?\\C:\\x", true},
        {u"\\??\\C:\\x", true},
        {u"C:x", false},
        {u"bin\\patcher.exe", false},
        {u"\\App\\x", false},
        {u"patcher.exe", false},
        {u"\\:\\x", false},
    };
    for (const Row& row : rows) EXPECT_EQ(passes_unchanged(row.path), row.unchanged);
}

TEST(LongPath, LengthLimitCountsTheTerminator) {
    // 246 units + terminator = 247 < 248: unchanged; 247 units + terminator: not.
    const std::u16string short_path = u"C:\\" + std::u16string(243, u'a');
    ASSERT_EQ(short_path.size(), 246u);
    EXPECT_TRUE(passes_unchanged(short_path));
    EXPECT_FALSE(passes_unchanged(short_path + u"a"));
    const std::u16string share = u"\\\\s\\h\\" + std::u16string(240, u'a');  // 246 units
    EXPECT_TRUE(passes_unchanged(share));
    EXPECT_FALSE(passes_unchanged(share + u"a"));
    // Verbatim paths are never too long.
    EXPECT_TRUE(passes_unchanged(u"\\\\?\\C:\\" + std::u16string(1000, u'a')));
}

TEST(LongPath, PrefixFollowsTheStartOfTheFullPath) {
    struct Row {
        std::u16string full;
        std::u16string prefixed;
    };
    const Row rows[] = {
        {u"C:\\App\\x", u"\\\\?\\C:\\App\\x"},
        {u"\\\\.\\pipe\\x", u"\\\\?\\pipe\\x"},
        {u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
        {u"\\??\\C:\\x", u"\\??\\C:\\x"},
        {u"\\\\server\\share\\x", u"\\\\?\\UNC\\server\\share\\x"},
        {u"C:/App", u"C:/App"},
        {u"relative", u"relative"},
    };
    for (const Row& row : rows) EXPECT_EQ(with_long_path_prefix(row.full), row.prefixed);
}

}  // namespace
