#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/temp_folder.h"

// An installed stand-in patcher (version 1) in a folder whose name has a space
// and a non-ASCII letter, a downloaded version 2 beside it, and a copy of the
// updater in a folder of its own, where its log lands.
class UpdateFixture : public ::testing::Test {
protected:
    void SetUp() override;

    // Runs the updater with exactly these options (quoted the patcher's way)
    // and waits for it; returns its exit code.
    std::optional<std::uint32_t> run_updater(std::uint32_t pid, const std::wstring& current_text,
                                             const std::wstring& new_text, const std::wstring& sha256,
                                             const std::filesystem::path& working_directory = {});
    std::optional<std::uint32_t> run_updater(const std::wstring& sha256) {
        return run_updater(0, current.native(), replacement.native(), sha256);
    }

    // The lines that stand-in patchers started from `folder` recorded.
    std::string starts_in(const std::filesystem::path& folder) const;
    // Waits until a stand-in in `folder` has recorded a start.
    bool restarted_in(const std::filesystem::path& folder) const;
    std::optional<std::string> log() const { return read_file(log_path); }

    // The three paths hold what they held before the run; nothing restarted.
    void expect_unchanged() const;

    TempFolder root{L"update"};
    std::filesystem::path app;
    std::filesystem::path current, replacement, backup;
    std::filesystem::path updater_folder, updater, log_path;
    std::string version1, version2;
    std::wstring digest;
};

std::wstring widen_ascii(std::string_view text);
