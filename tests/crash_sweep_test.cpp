// An update ended at once before each of its calls in turn, as a power cut would end it: until the replacement is
// installed, version 1 must lie whole at the current or backup path and the replacement at the new or current path.
// The next update with the same options shows whether the installation recovers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/update_sweep.h"

namespace {

void end_now(std::size_t) { ::TerminateProcess(::GetCurrentProcess(), ENDED_AT_CALL_EXIT_CODE); }

// The child's side: one update as ordered, then its outcome and, if asked, its trace beside the update's folder.
TEST(CrashChild, PerformsTheOrderedUpdate) {
    const auto order = child_order_from_environment();
    if (!order) GTEST_SKIP() << "runs only as a child of the sweeps";
    const UpdateLayout layout(order->root, order->replacement_at_backup);
    const UpdateRun run = run_update(layout, order->pid, [&](SystemCallRecorder& recorder) {
        if (order->end_at != 0) recorder.on_nth_call(order->end_at, end_now);
        if (order->fault_call) recorder.fail_call(*order->fault_call, order->fault_code, order->fault_occurrence);
    });
    if (order->write_trace) write_file(layout.root / TRACE_FILE, trace_text(run.trace));
    write_file(layout.root / OUTCOME_FILE, run.failure.value_or("success"));
}

// What one crash left behind, and what the next update made of it.
struct CrashRow {
    TracedCall at;
    Content current = Content::Missing, replacement = Content::Missing, backup = Content::Missing;
    bool invariant = false;
    bool broken = false;  // no executable at the current path
    std::string rerun;    // the outcome of the next update
    Content after_rerun = Content::Missing;
};

class CrashSweep : public SweepTest {
protected:
    // The trace of a whole run in a child, with the given failure if any.
    Trace child_trace(const ChildOrder& failure) {
        SweepFolder folder(Start::Plain);
        ChildOrder order = order_for(folder.layout(), failure);
        order.write_trace = true;
        const auto exit_code = run_update_child(order);
        EXPECT_EQ(exit_code.value_or(1), 0u) << (exit_code ? std::string() : exit_code.error());
        return parse_trace(read_file(order.root / TRACE_FILE).value_or(""));
    }

    // Ends the child before each call from `first` to the last of `trace`, checks what is left, and prints the table.
    std::vector<CrashRow> sweep(const ChildOrder& failure, const Trace& trace, std::size_t first,
                                const std::string& title) {
        const auto install = first_of(trace, Step::Install);
        EXPECT_TRUE(install.has_value());
        const std::size_t install_number = install ? *install + 1 : trace.size() + 1;
        std::vector<CrashRow> rows;
        for (std::size_t k = first; k <= trace.size(); ++k) {
            SCOPED_TRACE("ended before call #" + std::to_string(k));
            SweepFolder folder(Start::Plain);
            const UpdateLayout& layout = folder.layout();
            ChildOrder order = order_for(layout, failure);
            order.end_at = k;
            const auto exit_code = run_update_child(order);
            EXPECT_EQ(exit_code.value_or(0), ENDED_AT_CALL_EXIT_CODE) << (exit_code ? "" : exit_code.error());
            CrashRow& row = rows.emplace_back(
                CrashRow{trace[k - 1], content_of(layout.current), content_of(layout.replacement),
                         content_of(layout.backup)});
            // Call k itself never ran. A failed install does not install.
            const bool installed = !failure.fault_call && k > install_number;
            const bool old_whole = row.current == Content::Version1 || row.backup == Content::Version1;
            const bool new_whole = row.replacement == Content::Version2 || row.current == Content::Version2;
            row.invariant = installed ? row.current == Content::Version2 : old_whole && new_whole;
            row.broken = row.current != Content::Version1 && row.current != Content::Version2;
            EXPECT_TRUE(row.invariant) << "current " << content_name(row.current) << ", new "
                                       << content_name(row.replacement) << ", backup " << content_name(row.backup);
            const auto rerun = apply_update(layout.request(ended_.pid()));
            row.rerun = outcome_text(rerun);
            row.after_rerun = content_of(layout.current);
            if (rerun) EXPECT_TRUE(folder.restarted());
        }
        std::printf("\n%s\n  %3s  %-27s %-29s %-20s %-7s %-5s %-6s %-9s %s\n", title.c_str(), "k", "call", "role",
                    "step", "current", "new", "backup", "invariant", "next update -> current");
        const auto s = [](std::string_view text) { return std::string(text); };
        for (const CrashRow& row : rows)
            std::printf("  %3zu  %-27s %-29s %-20s %-7s %-5s %-6s %-9s %-7s -> %s%s\n", row.at.number,
                        s(call_name(row.at.call)).c_str(), s(role_name(row.at.role)).c_str(), s(step_name(row.at.step)).c_str(),
                        s(content_name(row.current)).c_str(), s(content_name(row.replacement)).c_str(),
                        s(content_name(row.backup)).c_str(), row.invariant ? "holds" : "BROKEN",
                        row.rerun == "success" ? "success" : "fails", s(content_name(row.after_rerun)).c_str(),
                        row.broken ? "   <- no executable at the current path" : "");
        for (const CrashRow& row : rows)
            if (row.broken)
                std::printf("  broken window: ended before %s; the next update: %s\n", describe(row.at).c_str(),
                            row.rerun.c_str());
        std::fflush(stdout);
        return rows;
    }
};

TEST_F(CrashSweep, NoCrashLosesAnExecutable) {
    const Trace trace = child_trace({});
    ASSERT_FALSE(trace.empty());
    const auto moved = first_of(trace, Step::MoveToBackup);
    const auto install = first_of(trace, Step::Install);
    ASSERT_TRUE(moved && install);
    const std::vector<CrashRow> rows =
        sweep({}, trace, 1, "an update ended before each of its " + std::to_string(trace.size()) + " calls:");
    for (const CrashRow& row : rows) {
        SCOPED_TRACE("ended before call #" + std::to_string(row.at.number));
        // Before the first rename the next update does the whole job; after the install it refuses, with the
        // replacement already in place. In between (the swap's one window) the current path is empty, nothing is
        // lost, and the next update refuses until someone moves the backup back.
        const bool swapping = row.at.number > *moved + 1 && row.at.number <= *install + 1;
        EXPECT_EQ(row.broken, swapping);
        EXPECT_EQ(row.rerun, row.at.number <= *moved + 1 ? "success" : MISSING);
        EXPECT_EQ(row.after_rerun, swapping ? Content::Missing : Content::Version2);
        if (swapping) {
            EXPECT_EQ(row.current, Content::Missing);
            EXPECT_EQ(row.backup, Content::Version1);
            EXPECT_EQ(row.replacement, Content::Version2);
        }
    }
}

// A refused install and the roll-back that follows it: ended between the two, the current path is empty as in the
// swap's own window.
TEST_F(CrashSweep, CrashBeforeTheRollBackLeavesTheOldExecutableAtTheBackup) {
    const ChildOrder refused_install{.fault_call = Call::MoveFileExW, .fault_occurrence = 2,
                                     .fault_code = ERROR_SHARING_VIOLATION};
    const Trace trace = child_trace(refused_install);
    const auto install = first_of(trace, Step::Install);
    const auto roll_back = first_of(trace, Step::RollBack);
    ASSERT_TRUE(install && roll_back);
    ASSERT_EQ(trace.size(), *roll_back + 1);  // the roll-back is the run's last call
    const std::vector<CrashRow> rows = sweep(refused_install, trace, *install + 2,
                                             "an update whose install rename fails with 32, ended after that failure:");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].broken);
    EXPECT_EQ(rows[0].current, Content::Missing);
    EXPECT_EQ(rows[0].backup, Content::Version1);
    EXPECT_EQ(rows[0].replacement, Content::Version2);
    EXPECT_EQ(rows[0].rerun, MISSING);
}

}  // namespace
