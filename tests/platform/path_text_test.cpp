// Path text taken apart and put together, and the rules by which a path
// reaches the system: tables, each row one path.
#include <gtest/gtest.h>

#include "platform/path_text.h"
#include "platform/system_path.h"
#include "platform/wide_text.h"

namespace {

TEST(PathText, BackupNameParentAndJoin) {
    const std::pair<std::string, std::string> backups[] = {
        {R"(C:\App\patcher)", R"(C:\App\patcher.exe.old)"},
        {R"(C:\App\.patcher)", R"(C:\App\.patcher.exe.old)"},
        {"C:/App.d/patcher", "C:/App.d/patcher.exe.old"},
        {R"(C:\App\patcher.exe\.\)", R"(C:\App\patcher.exe.old)"},
        {R"(\\?\C:\App\patcher.exe/x)", R"(\\?\C:\App\patcher.exe.old)"},  // `/` is part of a verbatim name
        {R"(C:\App\..)", R"(C:\App\..)"},
        {R"(C:\)", R"(C:\)"},
        {R"(\\server\share\)", R"(\\server\share\)"},
    };
    for (const auto& [path, backup] : backups) EXPECT_EQ(replace_extension(path, "exe.old"), backup) << path;
    const std::pair<std::string, std::optional<std::string>> parents[] = {
        {R"(C:\patcher.exe)", R"(C:\)"},
        {"patcher.exe", ""},
        {"C:patcher.exe", "C:"},
        {R"(C:\App\patcher.exe\.\\)", R"(C:\App)"},
        {R"(\\server\share\p.exe)", R"(\\server\share\)"},
        {R"(\\?\C:\App/patcher.exe)", R"(\\?\C:\)"},
        {R"(\\?\UNC\server\share\p.exe)", R"(\\?\UNC\server\share\)"},
        {"C:", std::nullopt},
        {R"(\\server\share)", std::nullopt},
    };
    for (const auto& [path, parent] : parents) EXPECT_EQ(parent_path(path), parent) << path;
    const std::tuple<std::string, std::string, std::string> joins[] = {
        {R"(C:\App)", "u.log", R"(C:\App\u.log)"},
        {R"(C:\)", "u.log", R"(C:\u.log)"},
        {"C:", "u.log", "C:u.log"},
        {R"(C:\App)", R"(\x)", R"(C:\x)"},
        {R"(\\?\C:\App)", "a/./b//../c", R"(\\?\C:\App\a\c)"},
        {R"(\\?\C:)", "x", R"(\\?\C:\x)"},
    };
    for (const auto& [folder, name, joined] : joins)
        EXPECT_EQ(join_path(folder, name), joined) << folder << " + " << name;
}

// Short absolute paths skip GetFullPathNameW; full paths of 247 units get the long-path prefix.
TEST(LongPath, WhichTextsPassAndWhichPrefixAFullPathGets) {
    const std::string long_tail(243, 'x');
    const std::pair<std::string, bool> passes[] = {
        {"C:/a", true},
        {R"(\\server\share)", true},
        {R"(\??\C:\x)", true},
        {"p.exe", false},
        {R"(\App)", false},
        {"C:x", false},
        {R"(C:\)" + long_tail, true},
        {R"(C:\x)" + long_tail, false},
    };
    for (const auto& [path, unchanged] : passes) EXPECT_EQ(passes_unchanged(to_utf16(path)), unchanged) << path;
    const std::pair<std::string, std::string> prefixed[] = {
        {R"(C:\x)", R"(\\?\C:\x)"},
        {R"(\\.\pipe\x)", R"(\\?\pipe\x)"},
        {R"(\\server\share\x)", R"(\\?\UNC\server\share\x)"},
    };
    for (const auto& [full, form] : prefixed) EXPECT_EQ(to_wtf8(with_long_path_prefix(to_utf16(full))), form) << full;
}

// Lone surrogates show as U+FFFD and alone make text invalid.
TEST(WideText, LoneSurrogatesShowAsReplacementCharacters) {
    const std::u16string units = {u'a', 0xD800, u'\u00e9', 0xDC00, 0xD83D, 0xDE00};
    EXPECT_EQ(display_text(to_wtf8(units)), "a\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD\xF0\x9F\x98\x80");
    EXPECT_FALSE(is_valid_unicode(std::u16string(1, 0xDC00)));
    EXPECT_TRUE(is_valid_unicode(u"\u00e9\U0001F600"));
}

// The units on either side of each surrogate boundary, alone and paired, and their WTF-8 bytes both ways.
TEST(WideText, SurrogateBoundariesRoundTrip) {
    const std::pair<std::u16string, std::string> rows[] = {
        {{0xD7FF}, "\xED\x9F\xBF"},
        {{0xD800}, "\xED\xA0\x80"},
        {{0xDBFF}, "\xED\xAF\xBF"},
        {{0xDC00}, "\xED\xB0\x80"},
        {{0xDFFF}, "\xED\xBF\xBF"},
        {{0xE000}, "\xEE\x80\x80"},
        {{0xD800, 0xDC00}, "\xF0\x90\x80\x80"},
        {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
        {{0xDBFF, 0xE000}, "\xED\xAF\xBF\xEE\x80\x80"},
    };
    for (const auto& [units, bytes] : rows) {
        EXPECT_EQ(to_wtf8(units), bytes);
        EXPECT_EQ(to_utf16(bytes), units);
    }
}

}  // namespace
