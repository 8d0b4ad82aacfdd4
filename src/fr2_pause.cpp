// The pause protocol; see fr2_pause.h, and fr2_checkpoint.cpp for the design.
#include "fr2_pause.h"

#include <pthread.h>
#include <time.h>

#include "fr2.h"
#include "fr2_queue.h"

std::atomic<bool> g_pause_wanted;

// Workers wait on workers_cond until the generation moves on; the pausing
// thread waits on coord_cond until every worker paused or left.
static struct {
    pthread_mutex_t lock;
    pthread_cond_t workers_cond;
    pthread_cond_t coord_cond;  // waited on in short slices, so the realtime clock will do
    int32_t parked;
    int32_t exited;
    uint64_t generation;
} g_pause = {
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0};

static fr2_pause_slot *g_pause_slots;

int fr2_pause_slots_alloc(int32_t n) {
    fr2_table_free(g_pause_slots);
    g_pause_slots =
        static_cast<fr2_pause_slot *>(fr2_table_alloc(size_t(n), sizeof(fr2_pause_slot)));
    // Only while no worker runs: a new walk starts with nobody parked or gone.
    g_pause.parked = g_pause.exited = 0;
    return g_pause_slots ? 0 : -1;
}

void fr2_pause_slots_release(void) {
    fr2_table_free(g_pause_slots);
    g_pause_slots = nullptr;
}

fr2_pause_slot *fr2_pause_slot_of(int32_t worker) { return &g_pause_slots[worker]; }

void fr2_pause_park(fr2_pause_slot *slot) {
    pthread_mutex_lock(&g_pause.lock);
    if (g_pause_wanted.load(std::memory_order_relaxed)) {
        slot->parked = true;
        g_pause.parked++;
        pthread_cond_signal(&g_pause.coord_cond);
        uint64_t gen = g_pause.generation;
        while (gen == g_pause.generation) pthread_cond_wait(&g_pause.workers_cond, &g_pause.lock);
        g_pause.parked--;
        slot->parked = false;
    }
    pthread_mutex_unlock(&g_pause.lock);
}

void fr2_pause_worker_exit(void) {
    pthread_mutex_lock(&g_pause.lock);
    g_pause.exited++;
    pthread_cond_signal(&g_pause.coord_cond);
    pthread_mutex_unlock(&g_pause.lock);
}

void fr2_pause_release(void) {
    // The queue first: a released worker must find it handing out work again.
    fr2_queue_pause(false);
    pthread_mutex_lock(&g_pause.lock);
    g_pause_wanted.store(false, std::memory_order_release);
    g_pause.generation++;
    pthread_cond_broadcast(&g_pause.workers_cond);
    pthread_mutex_unlock(&g_pause.lock);
}

fr2_pause_result fr2_pause_all(bool (*keep_waiting)(int64_t waited_sec, int32_t busy),
                               int32_t *busy) {
    pthread_mutex_lock(&g_pause.lock);
    g_pause_wanted.store(true, std::memory_order_release);  // pairs with fr2_pause_wanted
    pthread_mutex_unlock(&g_pause.lock);
    fr2_queue_pause(true);

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);  // pairs with start-up
    bool all = false;
    pthread_mutex_lock(&g_pause.lock);
    for (;;) {
        *busy = count - g_pause.parked - g_pause.exited;
        all = *busy <= 0;
        if (all) break;
        struct timespec now, until;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!keep_waiting(int64_t(now.tv_sec - start.tv_sec), *busy)) break;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 200 * 1000 * 1000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&g_pause.coord_cond, &g_pause.lock, &until);
    }
    pthread_mutex_unlock(&g_pause.lock);
    if (!all) return FR2_PAUSE_NOT_ALL;
    if (g_state.done.load(std::memory_order_acquire)) return FR2_PAUSE_WALK_OVER;
    return FR2_PAUSE_ALL;
}
