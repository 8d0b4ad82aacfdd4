// The metadata fetch of a batch: synchronous statx, or passes through the ring.
#include "fr2_stat.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fr2.h"
#include "fr2_sys.h"

#define FR2_STATX_MASK STATX_BASIC_STATS

// io-wq workers each ring may start for its statx requests, which the kernel
// always runs on io-wq threads. Its own bound grows with the CPUs (4 per CPU),
// so 64 rings on a large host could start thousands of kernel threads. On a
// latency-bound (FUSE, 1 ms per request) tree 16 per ring walked 1.75x as fast
// as the kernel's 8 of a 2-CPU host and 64 were no better; on a local disk,
// warm or cold, the cap made no measurable difference. So each ring gets 16,
// and a larger pool shares a budget of 1024 (1024 workers get 1 each instead
// of the kernel's own bound for every ring).
static const uint32_t STAT_IOWQ_MAX_PER_RING = 16;
static const uint32_t STAT_IOWQ_BUDGET = 1024;

// A statx that failed only for the moment: interrupted, or cancelled by the
// kernel (an io_uring request whose worker thread could not be started).
static bool stat_transient(int err) { return err == EINTR || err == EAGAIN || err == ECANCELED; }

// Tries of a synchronous statx that keeps failing for the moment.
static const int STAT_SYNC_TRIES = 100;

void fr2_stat_sync(int dir_fd, fr2_entry *entries, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        fr2_entry *e = &entries[i];
        int rc, tries = 0;
        do rc = g_sys.statx(dir_fd, e->name, AT_SYMLINK_NOFOLLOW, FR2_STATX_MASK, &e->stx);
        while (rc != 0 && stat_transient(errno) && ++tries < STAT_SYNC_TRIES);
        if (rc == 0) {
            e->stat_ok = FR2_STAT_OK;
            e->stat_err = 0;
            fr2_entry_classify(e);
        } else {
            e->stat_ok = FR2_STAT_NONE;
            e->stat_err = errno;
        }
    }
}

void fr2_stat_setup(fr2_stat *st, int32_t worker_id, int32_t depth, int32_t threads) {
    memset(st, 0, sizeof *st);
    st->worker_id = worker_id;
    st->depth = depth;
    uint32_t share = STAT_IOWQ_BUDGET / uint32_t(threads < 1 ? 1 : threads);
    uint32_t iowq = share < 1 ? 1 : share > STAT_IOWQ_MAX_PER_RING ? STAT_IOWQ_MAX_PER_RING : share;
    if (fr2_ring_setup(&st->ring, uint32_t(depth), iowq) == 0) {
        st->ring_up = true;
        return;
    }
    fprintf(stderr, "worker %d: io_uring_setup failed (%s), using sync fallback\n", worker_id,
            strerror(errno));
}

void fr2_stat_teardown(fr2_stat *st) {
    if (st->ring_up) fr2_ring_teardown(&st->ring);
    st->ring_up = false;
}

static bool stat_ring_usable(const fr2_stat *st) { return st->ring_up && !st->ring.broken; }

// Submits a pass for the entries from `first` on; entries the kernel did not
// take are statted here, so every covered entry gets its metadata. Returns how
// many entries the pass covers.
static int32_t stat_submit_pass(fr2_stat *st, int dir_fd, fr2_entry *entries, int32_t count) {
    int32_t n = count < st->depth ? count : st->depth;
    if (n <= 0) return 0;
    if (!stat_ring_usable(st)) {
        fr2_stat_sync(dir_fd, entries, n);
        return n;
    }
    int32_t taken = fr2_ring_submit(&st->ring, dir_fd, entries, n);
    if (st->ring.broken)
        fprintf(stderr, "worker %d: io_uring_submit: %s\n", st->worker_id,
                st->ring.error ? strerror(st->ring.error) : "no request accepted");
    if (taken < n) fr2_stat_sync(dir_fd, entries + taken, n - taken);
    return n;
}

// After an abandoned pass the kernel may still write results into the entries
// it was given, at any later time: the batch moves to a fresh array and the old
// one is left to the kernel for good, never freed and never read into again.
static void stat_leave_batch_to_kernel(int dir_fd, fr2_batch *batch, int32_t first, int32_t n) {
    fr2_entry *old = batch->entries;
    fr2_ring_abandon(old);
    fr2_entry *fresh = static_cast<fr2_entry *>(malloc(size_t(batch->cap) * sizeof(fr2_entry)));
    if (!fresh) {
        // No memory for a copy: what did not arrive is left out (it cannot be
        // statted where the kernel may still write), and the array starts over.
        for (int32_t i = first; i < first + n; i++)
            if (old[i].stat_ok == FR2_STAT_PENDING) {
                old[i].stat_ok = FR2_STAT_NONE;
                old[i].stat_err = ENOMEM;  // missing from the listing: said with the reason
            }
        // The batch is read once more from the abandoned array, which a
        // capacity of 0 marks as not ours: the next read starts a new one.
        batch->cap = 0;
        return;
    }
    memcpy(fresh, old, size_t(batch->count) * sizeof(fr2_entry));
    batch->entries = fresh;
    for (int32_t i = first; i < first + n; i++)
        if (fresh[i].stat_ok == FR2_STAT_PENDING ||
            (fresh[i].stat_ok == FR2_STAT_NONE && stat_transient(fresh[i].stat_err)))
            fr2_stat_sync(dir_fd, &fresh[i], 1);
}

// Passes in a row with cancelled requests after which the ring is given up:
// the kernel cannot start the threads that run them (a pids cgroup,
// RLIMIT_NPROC), and each pass would only be statted twice.
static const int32_t STAT_CANCELLED_PASSES_LIMIT = 3;

// Stats again, synchronously, the entries of a reaped pass that the kernel
// answered with a transient error.
static void stat_retry_transient(fr2_stat *st, int dir_fd, fr2_entry *pass, int32_t n) {
    bool cancelled = false;
    for (int32_t i = 0; i < n; i++) {
        fr2_entry *e = &pass[i];
        if (e->stat_ok != FR2_STAT_NONE || !stat_transient(e->stat_err)) continue;
        cancelled |= e->stat_err == ECANCELED;
        fr2_stat_sync(dir_fd, e, 1);
    }
    if (!cancelled) {
        st->cancelled_passes = 0;
    } else if (++st->cancelled_passes == STAT_CANCELLED_PASSES_LIMIT) {
        fprintf(stderr,
                "worker %d: io_uring statx requests cancelled by the kernel (%s), using sync "
                "statx\n",
                st->worker_id, strerror(ECANCELED));
        st->ring.broken = true;
    }
}

static void stat_reap_pass(fr2_stat *st, int dir_fd, fr2_batch *batch, int32_t first, int32_t n) {
    if (fr2_ring_reap(&st->ring, batch->entries + first, n) == 0) {
        stat_retry_transient(st, dir_fd, batch->entries + first, n);
        return;
    }
    fprintf(stderr, "worker %d: io_uring_wait: %s\n", st->worker_id, strerror(st->ring.error));
    stat_leave_batch_to_kernel(dir_fd, batch, first, n);
}

void fr2_stat_begin(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    st->covered = stat_submit_pass(st, dir_fd, batch->entries, batch->count);
    if (!fr2_stat_pending(st)) fr2_stat_end(st, dir_fd, batch);
}

bool fr2_stat_pending(const fr2_stat *st) { return st->ring_up && st->ring.inflight > 0; }

void fr2_stat_end(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    if (fr2_stat_pending(st)) stat_reap_pass(st, dir_fd, batch, 0, st->covered);
    // A batch can hold more entries than one pass carries: its last read may add
    // a whole getdents64 buffer's worth beyond the depth.
    while (st->covered < batch->count) {
        int32_t first = st->covered;
        int32_t n = stat_submit_pass(st, dir_fd, batch->entries + first, batch->count - first);
        if (fr2_stat_pending(st)) stat_reap_pass(st, dir_fd, batch, first, n);
        st->covered += n;
    }
}
