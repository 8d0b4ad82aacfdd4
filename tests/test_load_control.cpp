// The load window's controller, on latency series: storage models that
// answer each window with the latency such storage shows (a filer with a fixed
// capacity, CPU-speed storage, a latency-bound link), with the noise and
// spikes seen on this project's shared test machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "fr2_load.h"

namespace {

const int64_t us = 1000;

// Runs `decisions` decisions in a closed loop: the latency of each period is
// the model's answer to the window in force. Returns the windows.
std::vector<int32_t> run(fr2_load_ctl *c, int decisions,
                         const std::function<int64_t(int, int32_t)> &latency) {
    std::vector<int32_t> w;
    for (int i = 0; i < decisions; i++) w.push_back(fr2_load_decide(c, latency(i, c->window)));
    return w;
}

// A server that serves `capacity` requests at once in `service` each and
// queues the rest, so a window W waits W / capacity services.
int64_t queueing(int64_t service, int32_t capacity, int32_t window) {
    return window <= capacity ? service : service * window / capacity;
}

TEST(LoadControl, SaturatedFilerConvergesNearItsCapacityAndStaysThere) {
    // 1 ms a request, 32 at once; 64 workers with rings could keep 1088 out.
    fr2_load_ctl c;
    fr2_load_ctl_init(&c, 2, 1088);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> jitter(-50, 50);
    auto w = run(&c, 1200,
                 [&](int, int32_t win) { return queueing(1000 * us, 32, win) + jitter(rng) * us; });
    // Within half a second (20 periods) at the capacity, and from then on
    // never far from it: requests queue for at most a service time, and the
    // probes that measure the base again halve it for three periods only.
    EXPECT_GE(*std::max_element(w.begin(), w.begin() + 20), 32);
    int below = 0;
    for (size_t i = 40; i < w.size(); i++) {
        EXPECT_LE(w[i], 64) << "decision " << i;
        below += w[i] < 32;
    }
    EXPECT_LE(below, int(w.size()) / 20);
}

TEST(LoadControl, LatencyBoundStorageGetsTheCeilingAndSpikesDoNotShrinkIt) {
    // A far filer that answers in 1 ms whatever the load, with another
    // client's burst now and then: one period at ten times the latency.
    fr2_load_ctl c;
    fr2_load_ctl_init(&c, 2, 1088);
    auto w = run(&c, 600, [](int i, int32_t) { return (i % 37 == 36 ? 10000 : 1000) * us; });
    auto reached = std::find(w.begin(), w.end(), 1088);
    ASSERT_NE(reached, w.end());
    EXPECT_LT(reached - w.begin(), 40);  // a second of periods
    for (auto it = reached; it != w.end(); ++it)
        ASSERT_EQ(*it, 1088) << "decision " << it - w.begin();
}

TEST(LoadControl, CpuSpeedStorageStaysAtAboutTheCpuCount) {
    // Cached statx on 2 CPUs: 2 us, stretched by every runnable worker beyond
    // the CPUs, and preempted groups now and then.
    fr2_load_ctl c;
    fr2_load_ctl_init(&c, 2, 1088);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> spike(0, 40);
    auto w = run(&c, 800, [&](int, int32_t win) {
        int64_t base = queueing(1700, 2, win);
        return spike(rng) == 0 ? base * 20 : base;
    });
    for (size_t i = 10; i < w.size(); i++) EXPECT_LE(w[i], 4) << "decision " << i;
}

TEST(LoadControl, StorageThatTurnsSlowerForGoodIsRelearned) {
    // The latency doubles for good at decision 100 (a cold part of the tree):
    // after a while at the floor the base is measured again and the window
    // grows back to the capacity.
    fr2_load_ctl c;
    fr2_load_ctl_init(&c, 2, 1088);
    auto w = run(&c, 1200, [](int i, int32_t win) {
        return queueing(i < 100 ? 1000 * us : 2000 * us, 32, win);
    });
    EXPECT_GE(w.back(), 32);
    EXPECT_LE(w.back(), 64);
}

TEST(LoadControl, StaysWithinItsFloorAndCeiling) {
    fr2_load_ctl c;
    fr2_load_ctl_init(&c, 8, 5);  // --max-inflight below the CPUs: the cap wins
    EXPECT_EQ(c.window, 5);
    auto w = run(&c, 50, [](int i, int32_t) { return (i < 25 ? 1 : 100000) * us; });
    for (int32_t x : w) EXPECT_EQ(x, 5);
}

}  // namespace
