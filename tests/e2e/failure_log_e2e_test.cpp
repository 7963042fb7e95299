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
