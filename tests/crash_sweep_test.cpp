// An update ended at once at each of its calls in turn, as a power cut would
// end it: a copy of this program performs the update and terminates itself
// just before the k-th numbered call. Whatever the moment, neither executable
// may be lost: until the replacement is installed, version 1 lies whole at the
// current or the backup path, and the replacement lies whole at the new or the
// current path. The next update with the same options then shows whether the
// installation recovers.
#include "update_procedure.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/system_message.h"
#include "support/system_call_override.h"
#include "support/temp_folder.h"
#include "support/update_sweep.h"

namespace {

constexpr std::string_view MISSING = "current or replacement patcher executable is missing";

void end_now(std::size_t) { ::TerminateProcess(::GetCurrentProcess(), ENDED_AT_CALL_EXIT_CODE); }

// The child's side: one update as ordered, then its outcome and, if asked,
// its trace beside the update's folder.
TEST(CrashChild, PerformsTheOrderedUpdate) {
    const auto order = child_order_from_environment();
    if (!order) GTEST_SKIP() << "runs only as a child of the sweeps";
    const UpdateLayout layout(order->root, order->replacement_at_backup);
    const UpdateRequest request = layout.request(order->pid);
    std::optional<std::expected<void, ErrorChain>> updated;
    Trace trace;
    {
        SystemCallRecorder recorder;
        UpdateTracer tracer(layout.paths());
        if (order->end_at != 0) recorder.on_nth_call(order->end_at, end_now);
        if (order->fault_call) recorder.fail_call(*order->fault_call, order->fault_code, order->fault_occurrence);
        updated.emplace(apply_update(request));
        trace = tracer.trace();
    }
    if (order->write_trace) write_file(layout.root / TRACE_FILE, trace_text(trace));
    write_file(layout.root / OUTCOME_FILE,
               *updated ? std::string("success") : chain_text(updated->error(), system_message_text));
}

// What one crash left behind, and what the next update made of it.
struct CrashRow {
    TracedCall at;
    std::expected<std::uint32_t, std::string> exit_code;
    Content current = Content::Missing, replacement = Content::Missing, backup = Content::Missing;
    bool installed = false;  // the install rename had completed before the crash
    bool invariant = false;
    bool broken = false;  // no executable at the current path
    std::string rerun;    // the outcome of the next update
    Content after_rerun = Content::Missing;
};

std::string outcome_of(const std::expected<void, ErrorChain>& updated) {
    return updated ? std::string("success") : chain_text(updated.error(), system_message_text);
}

class CrashSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (void)version2_digest(); }
    void SetUp() override { ASSERT_TRUE(ended_.ended()); }

    // The trace of a whole run in a child, with the given failure if any.
    Trace child_trace(const ChildOrder& failure) {
        SweepFolder folder(Start::Plain);
        ChildOrder order = failure;
        order.root = folder.layout().root;
        order.pid = ended_.pid();
        order.write_trace = true;
        const auto exit_code = run_update_child(order);
        EXPECT_EQ(exit_code.value_or(1), 0u) << (exit_code ? std::string() : exit_code.error());
        return parse_trace(read_file(order.root / TRACE_FILE).value_or(""));
    }

    // Ends the child at each call from `first` to the last of `trace` and
    // checks what is left.
    std::vector<CrashRow> sweep(const ChildOrder& failure, const Trace& trace, std::size_t first) {
        const auto install = first_of(trace, Step::Install);
        EXPECT_TRUE(install.has_value());
        const std::size_t install_number = install ? *install + 1 : trace.size() + 1;
        std::vector<CrashRow> rows;
        for (std::size_t k = first; k <= trace.size(); ++k) {
            SCOPED_TRACE("ended before call #" + std::to_string(k));
            SweepFolder folder(Start::Plain);
            const UpdateLayout& layout = folder.layout();
            ChildOrder order = failure;
            order.root = layout.root;
            order.pid = ended_.pid();
            order.end_at = k;

            CrashRow row;
            row.at = trace[k - 1];
            row.exit_code = run_update_child(order);
            EXPECT_EQ(row.exit_code.value_or(0), ENDED_AT_CALL_EXIT_CODE)
                << (row.exit_code ? std::string() : row.exit_code.error());
            row.current = content_of(layout.current);
            row.replacement = content_of(layout.replacement);
            row.backup = content_of(layout.backup);
            // Call k itself never ran. A failed install does not install.
            row.installed = !failure.fault_call && k > install_number;
            const bool old_whole = row.current == Content::Version1 || row.backup == Content::Version1;
            const bool new_whole = row.replacement == Content::Version2 || row.current == Content::Version2;
            row.invariant = row.installed ? row.current == Content::Version2 : old_whole && new_whole;
            row.broken = row.current != Content::Version1 && row.current != Content::Version2;
            EXPECT_TRUE(row.invariant) << "current " << content_name(row.current) << ", new "
                                       << content_name(row.replacement) << ", backup " << content_name(row.backup);

            const auto rerun = apply_update(layout.request(ended_.pid()));
            row.rerun = outcome_of(rerun);
            row.after_rerun = content_of(layout.current);
            if (rerun) EXPECT_TRUE(folder.restarted());
            rows.push_back(row);
        }
        return rows;
    }

    static void print(const std::string& title, const std::vector<CrashRow>& rows) {
        std::printf("\n%s\n  %3s  %-27s %-29s %-20s %-7s %-5s %-6s %-9s %s\n", title.c_str(), "k", "call", "role",
                    "step", "current", "new", "backup", "invariant", "next update -> current");
        for (const CrashRow& row : rows) {
            std::printf("  %3zu  %-27s %-29s %-20s %-7s %-5s %-6s %-9s %-7s -> %s%s\n", row.at.number,
                        std::string(call_name(row.at.call)).c_str(), std::string(role_name(row.at.role)).c_str(),
                        std::string(step_name(row.at.step)).c_str(), std::string(content_name(row.current)).c_str(),
                        std::string(content_name(row.replacement)).c_str(),
                        std::string(content_name(row.backup)).c_str(), row.invariant ? "holds" : "BROKEN",
                        row.rerun == "success" ? "success" : "fails",
                        std::string(content_name(row.after_rerun)).c_str(),
                        row.broken ? "   <- no executable at the current path" : "");
        }
        for (const CrashRow& row : rows) {
            if (!row.broken) continue;
            std::printf("  broken window: ended before #%zu %s (%s, %s); the next update: %s\n", row.at.number,
                        std::string(call_name(row.at.call)).c_str(), std::string(step_name(row.at.step)).c_str(),
                        std::string(role_name(row.at.role)).c_str(), row.rerun.c_str());
        }
        std::fflush(stdout);
    }

    EndedProcess ended_;
};

TEST_F(CrashSweep, NoCrashLosesAnExecutable) {
    const Trace trace = child_trace({});
    ASSERT_FALSE(trace.empty());
    const auto moved = first_of(trace, Step::MoveToBackup);
    const auto install = first_of(trace, Step::Install);
    ASSERT_TRUE(moved && install);
    const std::size_t moved_number = *moved + 1, install_number = *install + 1;

    const std::vector<CrashRow> rows = sweep({}, trace, 1);
    print("an update ended before each of its " + std::to_string(trace.size()) + " calls:", rows);

    for (const CrashRow& row : rows) {
        SCOPED_TRACE("ended before call #" + std::to_string(row.at.number));
        const std::size_t k = row.at.number;
        if (k <= moved_number) {
            // Nothing was moved yet: the next update does the whole job.
            EXPECT_FALSE(row.broken);
            EXPECT_EQ(row.rerun, "success");
            EXPECT_EQ(row.after_rerun, Content::Version2);
        } else if (k <= install_number) {
            // The one window of the swap: the old executable has gone to the
            // backup and the replacement is not yet in its place. Nothing is
            // lost, but the current path is empty, and the next update with
            // the same options refuses at its first test: the installation
            // stays without an executable until someone moves the backup back.
            EXPECT_TRUE(row.broken);
            EXPECT_EQ(row.current, Content::Missing);
            EXPECT_EQ(row.backup, Content::Version1);
            EXPECT_EQ(row.replacement, Content::Version2);
            EXPECT_EQ(row.rerun, MISSING);
            EXPECT_EQ(row.after_rerun, Content::Missing);
        } else {
            // Installed: the new path is gone, so the next update refuses,
            // with the replacement already in place.
            EXPECT_FALSE(row.broken);
            EXPECT_EQ(row.rerun, MISSING);
            EXPECT_EQ(row.after_rerun, Content::Version2);
        }
    }
}

// A refused install and the roll-back that follows it: ended between the two,
// the current path is empty as in the swap's own window.
TEST_F(CrashSweep, CrashBeforeTheRollBackLeavesTheOldExecutableAtTheBackup) {
    ChildOrder refused_install;
    refused_install.fault_call = Call::MoveFileExW;
    refused_install.fault_occurrence = 2;
    refused_install.fault_code = ERROR_SHARING_VIOLATION;
    const Trace trace = child_trace(refused_install);
    const auto install = first_of(trace, Step::Install);
    const auto roll_back = first_of(trace, Step::RollBack);
    ASSERT_TRUE(install && roll_back);
    ASSERT_EQ(trace.size(), *roll_back + 1);  // the roll-back is the run's last call

    const std::vector<CrashRow> rows = sweep(refused_install, trace, *install + 2);
    print("an update whose install rename fails with 32, ended after that failure:", rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].broken);
    EXPECT_EQ(rows[0].current, Content::Missing);
    EXPECT_EQ(rows[0].backup, Content::Version1);
    EXPECT_EQ(rows[0].replacement, Content::Version2);
    EXPECT_EQ(rows[0].rerun, MISSING);
}

}  // namespace
