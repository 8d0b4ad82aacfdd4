// "Stat this batch": the metadata of a batch of directory entries, fetched by
// one synchronous statx per entry or through the worker's io_uring ring. The
// choice of back end is made here and nowhere else.
#pragma once

#include <stdint.h>

#include "fr2_config.h"
#include "fr2_dirent.h"
#include "fr2_load.h"
#include "fr2_ring.h"

// A worker's choice between synchronous statx and the ring, from the mean
// latency of groups of synchronous statx calls.
struct fr2_stat_choice {
    bool ring;       // the ring is chosen
    int32_t streak;  // consecutive groups that speak for switching
};

// Takes the mean latency per entry (nanoseconds) of one group of synchronous
// statx calls; returns whether the ring is chosen from now on.
bool fr2_stat_choose(fr2_stat_choice *choice, int64_t mean_ns);

// What a worker has learned of one file system.
struct fr2_stat_device {
    uint64_t dev;
    fr2_stat_choice choice;
    int64_t last_probe_ns;
    uint64_t last_used;  // 0: a free record
};
#define FR2_STAT_DEVICES 4

struct fr2_stat {
    int32_t worker_id;   // for messages
    int32_t depth;       // requests per pass
    uint32_t iowq;       // io-wq threads the ring may start
    fr2_stat_mode mode;  // AUTO until the ring is lost, then SYNC
    // The choice is made per file system: a mount point can lead from a fast
    // disk to a slow filer, and a worker takes directories of both in turn.
    fr2_stat_device devices[FR2_STAT_DEVICES];
    fr2_stat_device *cur;  // the device of the directory being listed
    uint64_t directories;  // listed so far, to find the least recently used device
    fr2_ring ring;
    bool ring_tried;     // set-up was attempted (in AUTO at the first switch)
    bool ring_up;        // the ring is set up (it may have broken since)
    int32_t covered;     // entries of the current batch statted or with the kernel
    int32_t pass_first;  // the first entry of the pass with the kernel
    int32_t cancelled_passes;  // passes in a row in which the kernel cancelled requests
    // The load window's share of this worker: io-wq threads its ring may run
    // for the current batch (0: the batch is statted synchronously), the cap
    // last registered with the kernel, and when the pass in flight began.
    int32_t ring_allowed;
    uint32_t iowq_set;
    int64_t pass_start_ns;
    int64_t last_pass_ns;  // how long the last pass took
    // The worker's lease of the window, when it has one: a worker that
    // chooses the ring in the middle of a batch takes what room is free.
    fr2_load_lease *lease;
};

// Sets the worker's back end up. RING sets the ring up now (a failure is said
// once on standard error and the worker stays synchronous); AUTO sets it up
// when the worker first chooses it; SYNC never does.
void fr2_stat_setup(fr2_stat *st, int32_t worker_id, int32_t depth, int32_t threads,
                    fr2_stat_mode mode);
void fr2_stat_teardown(fr2_stat *st);

// The device of the directory whose batches come next: its choice applies.
void fr2_stat_directory(fr2_stat *st, uint64_t dev);

// Units of the load window the next batch would use: 1 for synchronous statx,
// 1 more for every io-wq thread of the ring.
int32_t fr2_stat_wants(const fr2_stat *st);
// The units the worker holds for the next batch: with fewer than 2 it is
// statted synchronously; else the ring runs on units - 1 io-wq threads.
void fr2_stat_allow(fr2_stat *st, int32_t units);
// The most units `threads` workers can use at once.
int32_t fr2_stat_most_requests(int32_t threads);

// Starts fetching the batch's metadata. It may be complete on return
// (synchronous back end) or left with the kernel (fr2_stat_pending).
void fr2_stat_begin(fr2_stat *st, int dir_fd, fr2_batch *batch);
// Whether the batch of the last begin is still with the kernel: then the
// caller may do other work (read the next batch) before fr2_stat_end.
bool fr2_stat_pending(const fr2_stat *st);
// Completes the batch of the last begin: afterwards every entry is
// FR2_STAT_OK or FR2_STAT_NONE. The batch may move to another array.
void fr2_stat_end(fr2_stat *st, int dir_fd, fr2_batch *batch);

// One synchronous statx per entry. A failure is left in the entry's stat_err
// (ENOENT: it vanished since the directory was read).
void fr2_stat_sync(int dir_fd, fr2_entry *entries, int32_t count);
