// The directory queue and the end-of-walk signal, with real threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fr2.h"
#include "fr2_queue.h"

static fr2_dir_item *item(const char *path) { return fr2_dir_item_new(path, strlen(path)); }

TEST(Queue, FifoOrderAndDoneOnlyEndsAnEmptyQueue) {
    fr2_state_init();
    EXPECT_EQ(fr2_queue_try_pop(), nullptr);
    fr2_queue_add(item("a"));
    fr2_queue_add(item("b"));
    fr2_queue_add(item("c"));
    g_state.done.store(true);
    // Items still queued come out, in order, although the walk is marked done.
    const char *want[] = {"a", "b", "c"};
    for (const char *w : want) {
        fr2_dir_item *it = fr2_queue_pop();
        ASSERT_NE(it, nullptr);
        EXPECT_STREQ(it->path, w);
        EXPECT_EQ(it->path_len, strlen(w));
        free(it);
    }
    EXPECT_EQ(fr2_queue_pop(), nullptr);
    EXPECT_EQ(fr2_queue_try_pop(), nullptr);
    // The queue is usable again after it ran empty (tail reset).
    fr2_queue_add(item("d"));
    fr2_dir_item *d = fr2_queue_try_pop();
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->path, "d");
    free(d);
}

// Consumers that are also producers, as workers are: each item popped may
// lead to new ones, and the walk ends exactly when the last one is finished,
// with every consumer blocked in the pop woken.
TEST(Queue, WalkEndsWhenTheLastCountedItemIsFinished) {
    fr2_state_init();
    const int consumers = 4, fanout = 3, levels = 7;  // 1 + 3 + ... + 3^6 items
    std::atomic<int> popped{0};
    fr2_queue_add(item("0"));
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; c++)
        threads.emplace_back([&] {
            while (fr2_dir_item *it = fr2_queue_pop()) {
                int level = int(strlen(it->path));
                if (level < levels)
                    for (int k = 0; k < fanout; k++) fr2_queue_add(item(std::string(size_t(level + 1), 'x').c_str()));
                free(it);
                popped++;
                fr2_finish_directory();
            }
        });
    for (auto &t : threads) t.join();
    int want = 0;
    for (int l = 0, n = 1; l < levels; l++, n *= fanout) want += n;
    EXPECT_EQ(popped, want);
    EXPECT_TRUE(g_state.done.load());
    EXPECT_EQ(g_state.dirs_pending.load(), 0);
}

TEST(Queue, ReadAdmissionGateBoundsTheHolders) {
    fr2_queue_reset(2);
    EXPECT_TRUE(fr2_try_acquire_getdents_slot());
    EXPECT_TRUE(fr2_try_acquire_getdents_slot());
    EXPECT_FALSE(fr2_try_acquire_getdents_slot());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        fr2_acquire_getdents_slot();  // blocks until a slot comes back
        got = true;
        fr2_release_getdents_slot();
    });
    usleep(20000);
    EXPECT_FALSE(got);
    fr2_release_getdents_slot();
    waiter.join();
    EXPECT_TRUE(got);
    fr2_release_getdents_slot();
    EXPECT_TRUE(fr2_try_acquire_getdents_slot());
    fr2_release_getdents_slot();
}
