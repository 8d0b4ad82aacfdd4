// The pause in which a checkpoint is taken: the workers stop at their next
// batch boundary, each leaves what it holds in its slot, and they wait until
// the state has been read from the slots and the queue. The protocol, its
// timeline and its invariant are at the top of fr2_checkpoint.cpp.
#pragma once

#include <stdint.h>

#include <atomic>

#include "fr2_item.h"

// What a paused worker holds, read by the checkpoint while it waits. One
// slot per worker, each in cache lines of its own.
struct fr2_pause_slot {
    alignas(64) const fr2_dir_item *dir;  // the directory in progress, or null
    int64_t offset;                       // where its reading goes on
    int64_t fcount;                       // what its listed entries counted
    int64_t dirsum;
    const fr2_dir_item *held;  // read ahead but not listed: queued again on a resume
    bool parked;               // under the pause lock
};

extern std::atomic<bool> g_pause_wanted;

// A checkpoint asks the workers to pause: tested at every batch boundary.
static inline bool fr2_pause_wanted(void) {
    return g_pause_wanted.load(std::memory_order_acquire);  // pairs with fr2_pause_all's store
}

// The slot table for `n` workers, zero-filled; start-up makes it before the
// workers start and releases it after every reader has ended. 0, or -1 when
// memory runs out.
int fr2_pause_slots_alloc(int32_t n);
void fr2_pause_slots_release(void);
fr2_pause_slot *fr2_pause_slot_of(int32_t worker);

// Waits while a pause is asked for. The caller has flushed its output
// buffer, published its counters and filled its slot. Returns at once when
// no pause is under way.
void fr2_pause_park(fr2_pause_slot *slot);
// A worker leaves the walk: it holds nothing a pause must wait for.
void fr2_pause_worker_exit(void);

enum fr2_pause_result {
    FR2_PAUSE_ALL,       // every worker paused (or left) and the walk is not over
    FR2_PAUSE_NOT_ALL,   // keep_waiting said to stop waiting first
    FR2_PAUSE_WALK_OVER  // the walk ended meanwhile: nothing to take
};
// Asks every worker to pause and waits until each has paused or left. While
// some are busy, keep_waiting(seconds waited, workers busy) is asked about
// five times a second, under the pause lock, whether to go on waiting;
// *busy is what it was when the wait ended. However it ends, the workers
// stay paused until fr2_pause_release.
fr2_pause_result fr2_pause_all(bool (*keep_waiting)(int64_t waited_sec, int32_t busy),
                               int32_t *busy);
// Lets the workers go on: the queue hands out work again, then they wake.
void fr2_pause_release(void);
