#include "platform/command_line_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct LineCase {
    std::u16string program;
    std::vector<std::u16string> arguments;
    std::u16string line;
};

// Each row is what the C runtime of the child must split back into the same
// arguments (the real split is checked in launch_test).
TEST(CommandLineText, ArgumentsAreQuotedAndEscapedForTheChildsSplit) {
    const std::vector<LineCase> cases = {
        {u"C:\\App\\patcher.exe", {}, u"\"C:\\App\\patcher.exe\""},
        {u"patcher.exe", {u"plain"}, u"\"patcher.exe\" plain"},
        {u"p", {u""}, u"\"p\" \"\""},
        {u"p", {u"a b", u"tab\there"}, u"\"p\" \"a b\" \"tab\there\""},
        {u"p", {u"say\"hi\""}, u"\"p\" say\\\"hi\\\""},
        {u"p", {u"a\\\\\"b"}, u"\"p\" a\\\\\\\\\\\"b"},
        {u"p", {u"C:\\dir\\"}, u"\"p\" C:\\dir\\"},
        {u"p", {u"C:\\my dir\\"}, u"\"p\" \"C:\\my dir\\\\\""},
        {u"p", {u"a b\\\\"}, u"\"p\" \"a b\\\\\\\\\""},
        {u"p", {u"\\\\server\\share"}, u"\"p\" \\\\server\\share"},
        {u"p", {u"x\\\"y z"}, u"\"p\" \"x\\\\\\\"y z\""},
        {u"p", {u"\xD800lone"}, u"\"p\" \xD800lone"},
    };
    for (const LineCase& row : cases) {
        const auto line = build_command_line(row.program, row.arguments);
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, row.line);
    }
}

// The program text is the restart's own --current text: it is put in quotes
// exactly as given, even when that makes no sense to the child's split.
TEST(CommandLineText, ProgramTextIsNeitherEscapedNorChecked) {
    for (const std::u16string program : {u"C:\\my dir\\p.exe", u"C:\\App\\", u"odd\"name", u""}) {
        const auto line = build_command_line(program, {});
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, u"\"" + program + u"\"");
    }
}

TEST(CommandLineText, ArgumentWithNulIsRefused) {
    const std::vector<std::u16string> arguments = {u"fine", std::u16string(u"a\0b", 3)};
    const auto line = build_command_line(u"p", arguments);
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error(), OsError::with_message(OsErrorKind::InvalidInput, "nul byte found in provided data"));
}

TEST(CommandLineText, ScriptLineRunsTheQuotedScriptUnderTheInterpreter) {
    const std::vector<LineCase> cases = {
        {u"C:\\App\\update.cmd", {}, u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\App\\update.cmd\"\""},
        {u"C:\\my app\\run.bat",
         {u"a b", u"", u"x\"y", u"a&b|c", u"dir\\"},
         u"cmd.exe /e:ON /v:OFF /d /c \"\"C:\\my app\\run.bat\" \"a b\" \"\" \"x\"\"y\" \"a&b|c\" \"dir\\\"\""},
    };
    for (const LineCase& row : cases) {
        const auto line = build_script_command_line(row.program, row.arguments);
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, row.line);
    }
}

TEST(CommandLineText, ScriptLineRefusesWhatWouldEndTheCommand) {
    struct Case {
        std::u16string script;
        std::vector<std::u16string> arguments;
        std::string_view message;
    };
    const std::vector<Case> cases = {
        {u"C:\\App\\up\"date.bat", {}, "Windows file names may not contain `\"` or end with `\\`"},
        {u"C:\\App\\run.bat", {u"line\rbreak"}, "batch file arguments are invalid"},
        {u"C:\\App\\run.bat", {u"ok", u"line\nbreak"}, "batch file arguments are invalid"},
        {u"C:\\App\\run.bat", {std::u16string(u"a\0b", 3)}, "nul byte found in provided data"},
    };
    for (const Case& row : cases) {
        const auto line = build_script_command_line(row.script, row.arguments);
        ASSERT_FALSE(line) << row.message;
        EXPECT_EQ(line.error(), OsError::with_message(OsErrorKind::InvalidInput, row.message));
    }
}

}  // namespace
