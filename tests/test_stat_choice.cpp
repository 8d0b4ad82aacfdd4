// The choice between synchronous statx and the ring, on latencies recorded on
// this project's test machine: group means of cached inodes, of the local
// disk with its caches dropped, of a FUSE file system answering after 1 ms,
// and groups stretched by preemption (64 workers on 2 CPUs).
#include <gtest/gtest.h>

#include <vector>

#include "fr2_stat.h"

namespace {

const int64_t us = 1000;

// Feeds the means in order; returns the choice after each.
std::vector<bool> replay(fr2_stat_choice *c, const std::vector<int64_t> &means_us) {
    std::vector<bool> ring;
    for (int64_t m : means_us) ring.push_back(fr2_stat_choose(c, m * us));
    return ring;
}

int switches(const std::vector<bool> &choices, bool start) {
    int n = 0;
    for (bool c : choices) n += c != start, start = c;
    return n;
}

TEST(StatChoice, FastStorageStaysSynchronousThroughSingleSpikes) {
    fr2_stat_choice c = {};
    // Cached groups with a preempted group now and then, cold-disk groups with
    // an inode block read, and a slow group that one slow entry after it does
    // not confirm alone.
    std::vector<bool> got = replay(&c, {2, 1, 3,  4100, 2,    1, 9800, 2,    140,  60, 310, 2,
                                        1, 2, 95, 180,  5200, 3, 2,    6400, 1900, 4,  2});
    EXPECT_EQ(switches(got, false), 0);
    EXPECT_FALSE(c.ring);
}

TEST(StatChoice, SlowStorageSwitchesToTheRingAfterThreeSamplesAndBackAfterTwoFastProbes) {
    fr2_stat_choice c = {};
    EXPECT_EQ(replay(&c, {1050, 1020, 1010}), (std::vector<bool>{false, false, true}));
    // On the ring: single probes. A slow one, a fast one between two slow
    // ones (the probe met a cached inode) and a middling one do not switch back.
    EXPECT_EQ(replay(&c, {1100, 2, 1080, 120, 2, 1010}),
              (std::vector<bool>{true, true, true, true, true, true}));
    EXPECT_EQ(replay(&c, {3, 2}), (std::vector<bool>{true, false}));
    EXPECT_FALSE(c.ring);
}

TEST(StatChoice, MiddlingLatenciesNeitherSwitchNorCompleteAStreak) {
    // Between the thresholds nothing speaks for a switch, and a middling group
    // between two slow ones breaks their streak.
    fr2_stat_choice c = {};
    EXPECT_EQ(switches(replay(&c, {150, 150, 150, 900, 150, 900, 150, 900}), false), 0);
    c = {true, 0};
    EXPECT_EQ(switches(replay(&c, {150, 150, 2, 150, 2, 150}), true), 0);
}

TEST(StatChoice, MixedTreeSwitchesOncePerChangeOfStorage) {
    // A worker walking a cached local tree, then a FUSE subtree, then cached
    // directories again.
    fr2_stat_choice c = {};
    std::vector<int64_t> walk = {2, 2, 3, 1, 2, 1010, 1040, 1090, 1020, 1003, 1300, 2, 1, 2, 2, 3};
    std::vector<bool> got = replay(&c, walk);
    EXPECT_EQ(switches(got, false), 2);
    EXPECT_FALSE(c.ring);
}

}  // namespace
