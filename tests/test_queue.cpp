// The directory queue and the end-of-walk signal, with real threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fr2.h"

static fr2_dir_item *item(const char *path) { return fr2_dir_item_new(path, strlen(path)); }

TEST(Queue, FifoOrderAndDoneOnlyEndsAnEmptyQueue) {
    fr2_state_init();
    EXPECT_EQ(fr2_queue_try_pop(), nullptr);
    fr2_queue_push(item("a"));
    fr2_queue_push(item("b"));
    fr2_queue_push(item("c"));
    fr2_store(&g_state.done, 1);
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
    fr2_queue_push(item("d"));
    fr2_dir_item *d = fr2_queue_try_pop();
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->path, "d");
    free(d);
}

TEST(Queue, ManyProducersAndConsumersLoseNothing) {
    fr2_state_init();
    const int producers = 4, per = 5000, consumers = 4;
    std::atomic<int> popped{0};
    std::atomic<int> producing{producers};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; p++)
        threads.emplace_back([&] {
            for (int i = 0; i < per; i++) fr2_queue_push(item("x"));
            if (--producing == 0) {
                // Like the last finish_directory: mark done, wake everyone.
                pthread_mutex_lock(&g_state.queue_lock);
                fr2_store(&g_state.done, 1);
                pthread_cond_broadcast(&g_state.queue_cond);
                pthread_mutex_unlock(&g_state.queue_lock);
            }
        });
    for (int c = 0; c < consumers; c++)
        threads.emplace_back([&] {
            while (fr2_dir_item *it = fr2_queue_pop()) {
                free(it);
                popped++;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(popped, producers * per);
}
