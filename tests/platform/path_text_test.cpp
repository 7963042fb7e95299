#include "platform/path_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(PathText, ReplaceExtensionKeepsTheStemOfTheLastName) {
    struct Row {
        std::string path;
        std::string extension;
        std::string expected;
    };
    const Row rows[] = {
        {R"(C:\App\patcher.exe)", "exe.old", R"(C:\App\patcher.exe.old)"},
        {R"(C:\App\patcher)", "exe.old", R"(C:\App\patcher.exe.old)"},
        {R"(C:\App\patcher.beta.exe)", "exe.old", R"(C:\App\patcher.beta.exe.old)"},
        {R"(C:\App\.patcher)", "exe.old", R"(C:\App\.patcher.exe.old)"},
        {R"(C:\App\patcher.)", "exe.old", R"(C:\App\patcher.exe.old)"},
        {"patcher.exe", "exe.old", "patcher.exe.old"},
        {"C:patcher.exe", "exe.old", "C:patcher.exe.old"},
        {"C:/App.d/patcher", "exe.old", "C:/App.d/patcher.exe.old"},
        // Trailing separators and `.` names go with the old extension.
        {R"(C:\App\patcher.exe\)", "exe.old", R"(C:\App\patcher.exe.old)"},
        {R"(C:\App\patcher.exe\\.\/.)", "exe.old", R"(C:\App\patcher.exe.old)"},
        {R"(\\server\share\patcher.exe)", "exe.old", R"(\\server\share\patcher.exe.old)"},
        {R"(\\.\pipe\patcher.exe)", "exe.old", R"(\\.\pipe\patcher.exe.old)"},
        {R"(\\?\C:\App\patcher.exe)", "exe.old", R"(\\?\C:\App\patcher.exe.old)"},
        {R"(\\?\UNC\server\share\patcher.exe)", "exe.old", R"(\\?\UNC\server\share\patcher.exe.old)"},
        // `/` is part of a verbatim name, so the last dot here is the first one.
        {R"(\\?\C:\App\patcher.exe/x)", "exe.old", R"(\\?\C:\App\patcher.exe.old)"},
        {R"(C:\Données\日本.exe)", "exe.old", R"(C:\Données\日本.exe.old)"},
        {R"(C:\App\patcher.exe)", "", R"(C:\App\patcher)"},
        {R"(C:\App\.patcher)", "", R"(C:\App\.patcher)"},
        {R"(C:\App\patcher.exe.old)", "exe", R"(C:\App\patcher.exe.exe)"},
        // No name at the end: unchanged.
        {R"(C:\)", "exe.old", R"(C:\)"},
        {"C:", "exe.old", "C:"},
        {"", "exe.old", ""},
        {"/", "exe.old", "/"},
        {R"(C:\App\..)", "exe.old", R"(C:\App\..)"},
        {"..", "exe.old", ".."},
        {".", "exe.old", "."},
        {R"(\\server\share\)", "exe.old", R"(\\server\share\)"},
        {R"(\\.\pipe)", "exe.old", R"(\\.\pipe)"},
        {R"(\\?\C:\)", "exe.old", R"(\\?\C:\)"},
        {R"(\\?\UNC\server\share)", "exe.old", R"(\\?\UNC\server\share)"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(replace_extension(row.path, row.extension), row.expected) << row.path << " + " << row.extension;
}

TEST(PathTextDeathTest, ReplaceExtensionWithASeparatorIsAnInternalFault) {
    EXPECT_DEATH_IF_SUPPORTED((void)replace_extension("patcher.exe", "exe/old"),
                              R"(extension cannot contain path separators: "exe/old")");
    EXPECT_DEATH_IF_SUPPORTED((void)replace_extension("patcher.exe", R"(exe\old)"),
                              R"(extension cannot contain path separators: "exe\\\\old")");
}

TEST(PathText, ParentPathIsTheTextBeforeTheLastComponent) {
    struct Row {
        std::string path;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {R"(C:\App\patcher.exe)", R"(C:\App)"},
        {R"(C:\App\)", R"(C:\)"},
        {R"(C:\patcher.exe)", R"(C:\)"},
        {R"(\\server\share\patcher.exe)", R"(\\server\share\)"},
        {R"(bin\patcher.exe)", "bin"},
        {"patcher.exe", ""},
        {"C:patcher.exe", "C:"},
        {R"(C:\)", std::nullopt},
        {"C:", std::nullopt},
        {"", std::nullopt},
        // Trailing separators and `.` names do not count, nor do doubled separators.
        {R"(C:\App\patcher.exe\.\\)", R"(C:\App)"},
        {R"(C:\App\.\\patcher.exe)", R"(C:\App)"},
        {R"(C:\.\App)", R"(C:\)"},
        {"C:/App/patcher.exe", "C:/App"},
        {R"(C:/App\patcher.exe)", "C:/App"},
        {"/App", "/"},
        {"/", std::nullopt},
        {R"(\)", std::nullopt},
        // `..` is a component; a leading `.` is one too.
        {R"(C:\App\..)", R"(C:\App)"},
        {R"(..\patcher.exe)", ".."},
        {"..", ""},
        {R"(.\patcher.exe)", "."},
        {".", ""},
        {R"(C:.\patcher.exe)", "C:."},
        {"//server/share/patcher.exe", "//server/share/"},
        {R"(\\server\share\)", std::nullopt},
        {R"(\\server\share)", std::nullopt},
        {R"(\\.\pipe\patcher)", R"(\\.\pipe\)"},
        {R"(\\.\COM1)", std::nullopt},
        {R"(\\?\C:\App\patcher.exe)", R"(\\?\C:\App)"},
        {R"(\\?\C:\patcher.exe)", R"(\\?\C:\)"},
        {R"(\\?\C:\)", std::nullopt},
        {R"(\\?\C:)", std::nullopt},
        {R"(\\?\UNC\server\share\patcher.exe)", R"(\\?\UNC\server\share\)"},
        {R"(\\?\UNC\server\share)", std::nullopt},
        {R"(\\?\Volume{1}\patcher.exe)", R"(\\?\Volume{1}\)"},
        // After \\?\ a `/` is an ordinary character.
        {R"(\\?\C:\App/patcher.exe)", R"(\\?\C:\)"},
        {R"(\\?\C:/App\patcher.exe)", R"(\\?\C:/App\)"},
        {"//?/C:/App/x", "//?/C:/App"},  // not verbatim: spelt with `/`
        {R"(C:\Données\日本.exe)", R"(C:\Données)"},
        // Only an ASCII letter makes a drive.
        {R"(é:\x)", "é:"},
    };
    for (const Row& row : rows) EXPECT_EQ(parent_path(row.path), row.expected) << row.path;
}

TEST(PathText, JoinPathAddsOneSeparatorWhereNeeded) {
    struct Row {
        std::string folder;
        std::string name;
        std::string expected;
    };
    const Row rows[] = {
        {R"(C:\App)", "patcher-updater.log", R"(C:\App\patcher-updater.log)"},
        {R"(C:\)", "patcher-updater.log", R"(C:\patcher-updater.log)"},
        {"", "patcher-updater.log", "patcher-updater.log"},
        {"C:", "patcher-updater.log", "C:patcher-updater.log"},
        {"C:/App/", "x", "C:/App/x"},
        {"bin", "x", R"(bin\x)"},
        {R"(C:\App)", "", R"(C:\App\)"},
        {"", "", ""},
        {R"(\\server\share)", "x", R"(\\server\share\x)"},
        {R"(C:\Données)", "日本.log", R"(C:\Données\日本.log)"},
        // A name with a prefix stands alone.
        {R"(C:\App)", R"(D:\x)", R"(D:\x)"},
        {R"(C:\App)", "D:x", "D:x"},
        {R"(C:\App)", R"(\\server\share\x)", R"(\\server\share\x)"},
        {R"(\\?\C:\App)", R"(\\.\pipe\x)", R"(\\.\pipe\x)"},
        {R"(C:\App)", R"(\\?\C:\x)", R"(\\?\C:\x)"},
        // A rooted name keeps the folder's drive or share.
        {R"(C:\App)", R"(\x)", R"(C:\x)"},
        {R"(\\server\share\App)", "/x", R"(\\server\share/x)"},
        {"App", R"(\x)", R"(\x)"},
        // Under a verbatim folder `.` and `..` are resolved and `\` written.
        {R"(\\?\C:\App)", "patcher-updater.log", R"(\\?\C:\App\patcher-updater.log)"},
        {R"(\\?\C:\App\)", "x", R"(\\?\C:\App\x)"},
        {R"(\\?\C:\App)", R"(..\x)", R"(\\?\C:\x)"},
        {R"(\\?\C:\App)", R"(.\x)", R"(\\?\C:\App\x)"},
        {R"(\\?\C:\App)", R"(..\..\..\x)", R"(\\?\C:\x)"},
        {R"(\\?\C:\App)", "a/./b//c", R"(\\?\C:\App\a\b\c)"},
        {R"(\\?\C:\App)", R"(x\..)", R"(\\?\C:\App)"},
        {R"(\\?\C:\App)", "/x", R"(\\?\C:\x)"},
        {R"(\\?\C:)", "x", R"(\\?\C:\x)"},
        {R"(\\?\UNC\server\share)", "x", R"(\\?\UNC\server\share\x)"},
        {R"(\\?\UNC\server\share\App)", R"(\x)", R"(\\?\UNC\server\share\x)"},
        {R"(\\?\C:\App)", "", R"(\\?\C:\App\)"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(join_path(row.folder, row.name), row.expected) << row.folder << " + " << row.name;
}

}  // namespace
