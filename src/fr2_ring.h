// A raw io_uring that fetches the statx metadata of directory entries, one
// pass of requests at a time. It knows entries, not workers: its callers say
// what a failure means and which worker it was.
#pragma once

#include <linux/io_uring.h>
#include <stdint.h>

#include "fr2_dirent.h"

struct fr2_ring {
    int32_t ring_fd;  // -1 when not set up
    uint32_t sq_entries;
    uint32_t cq_entries;
    uint32_t *sq_head;
    uint32_t *sq_tail;
    uint32_t *sq_ring_mask;
    uint32_t *sq_ring_entries;
    uint32_t *sq_flags;
    uint32_t *sq_array;
    uint32_t *cq_head;
    uint32_t *cq_tail;
    uint32_t *cq_ring_mask;
    uint32_t *cq_ring_entries;
    struct io_uring_cqe *cqes;
    struct io_uring_sqe *sqes;
    void *sq_ring_ptr;
    uint64_t sq_ring_sz;
    void *cq_ring_ptr;
    uint64_t cq_ring_sz;
    void *sqes_ptr;
    uint64_t sqes_sz;
    // Beyond the kernel's view: how passes are kept apart.
    uint32_t pass_seq;  // tag of the current pass, in the high half of user_data
    int32_t inflight;   // requests of the current pass the kernel accepted and has not answered
    bool broken;        // a submit or wait failed: the ring takes no more passes
    int32_t error;      // errno of that failure; 0 when the kernel took nothing without one
};

// Sets the ring up for passes of up to `depth` requests, with at most
// `iowq_workers` kernel worker threads (0: the kernel's own bound). 0, or -1
// with errno set and nothing held.
int fr2_ring_setup(fr2_ring *r, uint32_t depth, uint32_t iowq_workers);
void fr2_ring_teardown(fr2_ring *r);
// Lets the kernel run the ring's requests on at most `iowq_workers` io-wq
// threads of the calling thread. A kernel without this registration keeps its
// own limit.
void fr2_ring_cap_workers(fr2_ring *r, uint32_t iowq_workers);

// Hands the kernel one pass: statx requests for entries[0..n-1] relative to
// dir_fd, written straight into the entries. Returns how many it accepted, from
// the first on; those are FR2_STAT_PENDING until reaped, the rest are left for
// the caller to stat. A failed submit also marks the ring broken. n must not
// exceed the depth.
int32_t fr2_ring_submit(fr2_ring *r, int dir_fd, fr2_entry *entries, int32_t n);
// Collects every completion of the pass just submitted for `entries`. 0 when all
// arrived; -1 when a wait failed: the ring is broken and the pass abandoned, and
// the kernel may still write into the entries that are left FR2_STAT_PENDING,
// at any later time (see fr2_ring_abandon).
int fr2_ring_reap(fr2_ring *r, fr2_entry *entries, int32_t n);
// Hands an array of an abandoned pass over to the kernel for good: it is never
// freed or reused, and stays reachable to the end of the process.
void fr2_ring_abandon(fr2_entry *array);
