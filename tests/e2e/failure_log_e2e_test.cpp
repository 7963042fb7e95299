// The real executable, started without options: it logs "missing --pid"
// beside itself and exits 0.
#include <gtest/gtest.h>

#include "support/build_paths.h"
#include "support/process.h"
#include "support/temp_folder.h"
#include "support/test_drives.h"

namespace {

class FailureLogE2e : public ::testing::Test {
protected:
    // A copy of the updater named `name` in `folder`, so that its log lands there.
    std::filesystem::path install(const std::filesystem::path& folder, std::wstring_view name) {
        const auto exe = folder / name;
        std::filesystem::copy_file(updater_exe(), exe, std::filesystem::copy_options::overwrite_existing);
        return exe;
    }

    TempFolder folder{L"log-e2e"};
};

TEST_F(FailureLogE2e, NoArgumentsLogsMissingPidAndExitsZero) {
    const auto exe = install(folder.path(), L"patcher-updater.exe");
    EXPECT_EQ(run_process(exe, quoted(exe)), 0u);
    EXPECT_EQ(read_file(folder / L"patcher-updater.log"), "missing --pid");
}

TEST_F(FailureLogE2e, LogKeepsItsNameWhenTheExecutableIsRenamed) {
    const auto exe = install(folder.path(), L"upd.exe");
    EXPECT_EQ(run_process(exe, quoted(exe)), 0u);
    EXPECT_EQ(read_file(folder / L"patcher-updater.log"), "missing --pid");
    EXPECT_FALSE(std::filesystem::exists(folder / L"upd.log"));
}

TEST_F(FailureLogE2e, OlderLongerLogIsReplacedWhole) {
    const auto exe = install(folder.path(), L"patcher-updater.exe");
    write_file(folder / L"patcher-updater.log", std::string(500, 'o'));
    EXPECT_EQ(run_process(exe, quoted(exe)), 0u);
    EXPECT_EQ(read_file(folder / L"patcher-updater.log"), "missing --pid");
}

TEST_F(FailureLogE2e, DirectoryInThePlaceOfTheLogIsLeftAloneAndTheExitCodeIsZero) {
    const auto exe = install(folder.path(), L"patcher-updater.exe");
    std::filesystem::create_directory(folder / L"patcher-updater.log");
    EXPECT_EQ(run_process(exe, quoted(exe)), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(folder / L"patcher-updater.log"));
    EXPECT_TRUE(std::filesystem::is_empty(folder / L"patcher-updater.log"));
}

// Hand-written command lines, exactly as a caller might pass them: every
// message of the option stage, byte for byte.
TEST_F(FailureLogE2e, OptionErrorsAreLoggedAsWritten) {
    const auto exe = install(folder.path(), L"patcher-updater.exe");
    const std::pair<const wchar_t*, const char*> rows[] = {
        {L" --pid", "missing value for --pid"},
        {L" ----pid", "missing value for ----pid"},
        {L" --pid=5", "missing value for --pid=5"},
        {L" -pid 5", "unexpected argument: -pid"},
        {L" --verbose --pid 1", "unexpected argument: 1"},
        {L" \"\" x", "unexpected argument: "},
        {L" --pid \"\"", "--pid must be an integer: cannot parse integer from empty string"},
        {L" --pid 0x2A", "--pid must be an integer: invalid digit found in string"},
        {L" --pid 4294967296", "--pid must be an integer: number too large to fit in target type"},
        {L" --PID 5", "missing --pid"},
        {L" --pid +42", "missing --current"},
        {L" --pid 1 --current \"C:\\My App\\p.exe\"", "missing --new"},
        {L" --new n --current c --pid 007", "missing --sha256"},
    };
    for (const auto& [options, log] : rows) {
        std::filesystem::remove(folder / L"patcher-updater.log");
        EXPECT_EQ(run_process(exe, quoted(exe) + options), 0u) << log;
        EXPECT_EQ(read_file(folder / L"patcher-updater.log"), log);
    }
}

// Drive R: is mapped to a folder of the test prefix: the log lies at R:\ with
// one separator.
TEST_F(FailureLogE2e, ExecutableAtADriveRootLogsAtThatRoot) {
    const std::filesystem::path root = L"R:\\";
    PU_REQUIRE_TEST_DRIVE(root);
    std::filesystem::remove(root / L"patcher-updater.log");
    const auto exe = install(root, L"patcher-updater.exe");
    EXPECT_EQ(run_process(exe, quoted(exe)), 0u);
    EXPECT_EQ(read_file(root / L"patcher-updater.log"), "missing --pid");
    std::filesystem::remove(root / L"patcher-updater.log");
    std::filesystem::remove(exe);
}

}  // namespace
