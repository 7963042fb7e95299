#include "e2e/update_fixture.h"

#include "patcher/file_sha256.h"
#include "patcher_updater/start_updater.hpp"
#include "support/build_paths.h"
#include "support/process.h"

std::wstring widen_ascii(std::string_view text) { return std::wstring(text.begin(), text.end()); }

void UpdateFixture::SetUp() {
    app = root / L"App Folder \u00e9";
    updater_folder = root / L"updater";
    std::filesystem::create_directory(app);
    std::filesystem::create_directory(updater_folder);
    current = app / L"patcher.exe";
    replacement = app / L"patcher.new";
    backup = app / L"patcher.exe.old";
    updater = updater_folder / L"patcher-updater.exe";
    log_path = updater_folder / L"patcher-updater.log";

    std::filesystem::copy_file(updater_exe(), updater);
    std::filesystem::copy_file(build_file(PU_STAND_IN_V1_EXE), current);
    std::filesystem::copy_file(build_file(PU_STAND_IN_V2_EXE), replacement);
    version1 = read_file(current).value();
    version2 = read_file(replacement).value();
    ASSERT_NE(version1, version2);
    const auto computed = file_sha256(utf8(replacement));
    ASSERT_TRUE(computed);
    digest = widen_ascii(*computed);
}

std::optional<std::uint32_t> UpdateFixture::run_updater(std::uint32_t pid, const std::wstring& current_text,
                                                         const std::wstring& new_text, const std::wstring& sha256,
                                                         const std::filesystem::path& working_directory) {
    const std::wstring line =
        patcher_updater::build_updater_command_line(updater.native(), pid, current_text, new_text, sha256);
    return run_process(updater, line, working_directory, 120000);
}

std::string UpdateFixture::starts_in(const std::filesystem::path& folder) const {
    return read_file(folder / L"patcher-starts.txt").value_or("");
}

bool UpdateFixture::restarted_in(const std::filesystem::path& folder) const {
    return eventually([&] { return starts_in(folder).find('\n') != std::string::npos; }, 20000);
}

void UpdateFixture::expect_unchanged() const {
    EXPECT_EQ(read_file(current), version1);
    EXPECT_EQ(read_file(replacement), version2);
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_EQ(starts_in(app), "");
}
