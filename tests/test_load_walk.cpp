// Load control on the real binary: the entry rate cap holds a walk back, and
// the cap on requests in flight holds against a FUSE file system that counts
// the requests it is serving at once.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "hangfs_fixture.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

TEST(MaxRate, TwentyThousandEntriesAtFiveThousandASecondTakeAtLeastThreeAndAHalfSeconds) {
    TempDir tmp{big_tree_base()};
    std::string root = tmp / "r";
    make_dir(root);
    for (int d = 0; d < 4; d++) {
        make_dir(root + "/d" + std::to_string(d));
        make_many_files(root + "/d" + std::to_string(d), 4999);
    }
    freeze_atimes(root);
    Model m = model_walk(root);
    ASSERT_EQ(m.records.size(), 20001u);

    auto start = std::chrono::steady_clock::now();
    RunResult r = run_fsrake2({"--max-rate", "5000", root}, with_timeout(120));
    double took = seconds_since(start);
    expect_walk(r, m);
    // Without the cap this tree takes a fraction of a second; the cap allows
    // a burst of a fiftieth of a second and a batch read ahead of its budget.
    EXPECT_GE(took, 3.5);
}

// The most requests hangfs had in its delay at once, from its last words.
int most_in_flight(const std::string &log) {
    std::smatch mm;
    std::regex re("hangfs: at most ([0-9]+) requests in flight");
    if (!std::regex_search(log, mm, re)) return -1;
    return std::stoi(mm[1]);
}

class MaxInflight : public HangfsTest {
  protected:
    void SetUp() override {
        HangfsTest::SetUp();
        if (IsSkipped()) return;
        // Many small directories: requests of different directories run in
        // parallel even where the kernel serialises lookups within one.
        for (int d = 0; d < 12; d++) {
            std::string sub = backing + "/d" + std::to_string(d);
            make_dir(sub);
            make_many_files(sub, 30);
        }
        freeze_atimes(backing);
    }
    // One walk over a fresh mount; the most requests it had in flight.
    int walk(const std::vector<std::string> &args) {
        mount({"--delay-us", "2000", "--threads", "64"});
        if (HasFatalFailure()) return -1;
        Model m = model_walk(fs->path());
        std::vector<std::string> argv = args;
        argv.push_back(fs->path());
        RunResult r = run_fsrake2(argv, with_timeout(120));
        expect_walk(r, m);
        fs->unmount();
        int most = most_in_flight(fs->log());
        EXPECT_GT(most, 0) << fs->log();
        return most;
    }
};

TEST_F(MaxInflight, NeverMoreRequestsInFlightThanTheCap) {
    // Both back ends: synchronous workers, and rings whose io-wq threads run
    // requests beside their worker.
    for (std::string mode : {"sync", "ring", "auto"}) {
        SCOPED_TRACE(mode);
        EXPECT_LE(walk({"--stat-mode", mode, "--max-inflight", "3", "--threads", "16"}), 3);
    }
    // Without the cap the same walk has more out at once: the counting sees it.
    EXPECT_GT(walk({"--stat-mode", "ring", "--no-adapt", "--threads", "16"}), 3);
}

}  // namespace
