// The metadata fetch of a batch: synchronous statx, or passes through the ring.
#include "fr2_stat.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "fr2.h"
#include "fr2_load.h"
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

// ---- the choice -----------------------------------------------------------------
//
// Mean statx latency per group of 64 entries, 64 synchronous workers on the
// benchmark's wide tree (ext4 on virtio, 2 CPUs shared with other work):
// cached, median 1.7 us, 99th percentile 40-60 us; caches dropped, median
// 7 us, 90th percentile 30-60 us (ext4 reads inode blocks ahead, so most
// entries of a cold directory are cheap). FUSE answering after 1 ms: 1,000 us
// and more for every entry. On local storage, cached or cold, 64 synchronous
// workers walked faster than the ring (837k against 488k entries/s cached,
// 214k against 133k cold), since every IORING_OP_STATX is handed to an io-wq
// thread; on 1 ms FUSE the ring was 3x, since one worker in a 10,000-entry
// directory would otherwise wait for each entry in turn.
//
// What stretches a group on fast storage is a preemption (64 workers on 2
// CPUs: 0.5% of cached groups, 5% of cold ones, above 250 us) or one inode
// block read from disk, and a second group is often stretched too. A single
// entry is rarely preempted and is slow only when entries are slow, so a slow
// group is confirmed by single entries: after a slow group and two slow
// entries the worker takes the ring (cached, 0 of 55,000 groups confirmed so;
// cold, 46, where a group and one entry gave 105 and two groups 500).
static const int64_t STAT_RING_ABOVE_NS = 250'000;
static const int64_t STAT_SYNC_BELOW_NS = 80'000;
static const int32_t STAT_TO_RING_AFTER = 3;  // slow samples in a row
static const int32_t STAT_TO_SYNC_AFTER = 2;  // fast probes in a row
// Groups of synchronous statx calls, timed as a whole so a cached entry pays
// for two clock reads per group, not per entry. A batch starts with small
// groups (8, then 16, 32, 64), so slow storage is noticed after 10 entries.
static const int32_t STAT_FIRST_GROUP = 8;
static const int32_t STAT_GROUP = 64;
// On the ring, one entry goes the synchronous way at most this often, to
// notice storage that has become fast; on 1 ms storage it costs 2% of the time.
static const int64_t STAT_PROBE_EVERY_NS = 50'000'000;

bool fr2_stat_choose(fr2_stat_choice *choice, int64_t mean_ns) {
    bool toward_switch = choice->ring ? mean_ns < STAT_SYNC_BELOW_NS : mean_ns > STAT_RING_ABOVE_NS;
    choice->streak = toward_switch ? choice->streak + 1 : 0;
    if (choice->streak >= (choice->ring ? STAT_TO_SYNC_AFTER : STAT_TO_RING_AFTER)) {
        choice->ring = !choice->ring;
        choice->streak = 0;
    }
    return choice->ring;
}

static int64_t stat_now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// ---- the back ends ----------------------------------------------------------------

static void stat_ring_setup(fr2_stat *st) {
    st->ring_tried = true;
    uint32_t iowq = st->ring_allowed > 0 ? uint32_t(st->ring_allowed) : st->iowq;
    if (fr2_ring_setup(&st->ring, uint32_t(st->depth), iowq) == 0) {
        st->ring_up = true;
        st->iowq_set = iowq;
        return;
    }
    fprintf(stderr, "worker %d: io_uring_setup failed (%s), using sync fallback\n", st->worker_id,
            strerror(errno));
}

static uint32_t stat_iowq_share(int32_t threads) {
    uint32_t share = STAT_IOWQ_BUDGET / uint32_t(threads < 1 ? 1 : threads);
    return share < 1 ? 1 : share > STAT_IOWQ_MAX_PER_RING ? STAT_IOWQ_MAX_PER_RING : share;
}

int32_t fr2_stat_most_requests(int32_t threads) {
    return threads * (1 + int32_t(stat_iowq_share(threads)));
}

void fr2_stat_setup(fr2_stat *st, int32_t worker_id, int32_t depth, int32_t threads,
                    fr2_stat_mode mode) {
    memset(st, 0, sizeof *st);
    st->worker_id = worker_id;
    st->depth = depth;
    st->mode = mode;
    st->iowq = stat_iowq_share(threads);
    st->ring_allowed = int32_t(st->iowq);
    st->cur = &st->devices[0];
    if (mode == FR2_STAT_MODE_RING) stat_ring_setup(st);
}

void fr2_stat_directory(fr2_stat *st, uint64_t dev) {
    st->directories++;
    fr2_stat_device *pick = &st->devices[0];
    for (fr2_stat_device &d : st->devices) {
        if (d.last_used && d.dev == dev) {
            pick = &d;
            pick->last_used = st->directories;
            st->cur = pick;
            return;
        }
        if (d.last_used < pick->last_used) pick = &d;
    }
    *pick = fr2_stat_device{};
    pick->dev = dev;
    pick->last_used = st->directories;
    st->cur = pick;
}

void fr2_stat_teardown(fr2_stat *st) {
    if (st->ring_up) fr2_ring_teardown(&st->ring);
    st->ring_up = false;
}

static bool stat_ring_usable(const fr2_stat *st) { return st->ring_up && !st->ring.broken; }

// Whether the entries left in the batch go to the ring.
static bool stat_use_ring(fr2_stat *st) {
    if (st->mode == FR2_STAT_MODE_SYNC) return false;
    if (st->mode == FR2_STAT_MODE_AUTO && !st->cur->choice.ring) return false;
    if (st->ring_allowed <= 0 && st->lease)
        fr2_stat_allow(st, fr2_load_try_more(st->lease, fr2_stat_wants(st)));
    if (st->ring_allowed <= 0) return false;  // the load window has no room for it now
    if (st->mode == FR2_STAT_MODE_AUTO) {
        if (!st->ring_tried) stat_ring_setup(st);
    }
    if (stat_ring_usable(st)) return true;
    st->mode = FR2_STAT_MODE_SYNC;  // no ring to be had: nothing left to choose
    return false;
}

// Stats the batch's entries from `covered` on, one statx each, until the batch
// is done or the worker chooses the ring. In AUTO the calls go in timed groups,
// and a slow group is followed by single entries that confirm it or not.
static void stat_sync_groups(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    int32_t group = STAT_FIRST_GROUP;
    while (st->covered < batch->count && !stat_use_ring(st)) {
        int32_t left = batch->count - st->covered;
        if (st->mode != FR2_STAT_MODE_AUTO) {
            int64_t start = stat_now_ns();
            fr2_stat_sync(dir_fd, batch->entries + st->covered, left);
            int64_t end = stat_now_ns();
            fr2_load_observe(end, end - start, left);
            st->covered += left;
            return;
        }
        int32_t n = st->cur->choice.streak ? 1 : left < group ? left : group;
        int64_t start = stat_now_ns();
        fr2_stat_sync(dir_fd, batch->entries + st->covered, n);
        int64_t end = stat_now_ns();
        fr2_load_observe(end, end - start, n);
        fr2_stat_choose(&st->cur->choice, (end - start) / n);
        st->covered += n;
        if (n > 1) group = group * 2 < STAT_GROUP ? group * 2 : STAT_GROUP;
    }
}

// On the ring, one entry now and then is statted synchronously and timed.
static void stat_probe(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    if (st->mode != FR2_STAT_MODE_AUTO || !st->cur->choice.ring || st->covered >= batch->count)
        return;
    int64_t start = stat_now_ns();
    if (start - st->cur->last_probe_ns < STAT_PROBE_EVERY_NS) return;
    fr2_stat_sync(dir_fd, batch->entries + st->covered, 1);
    st->cur->last_probe_ns = stat_now_ns();
    fr2_load_observe(st->cur->last_probe_ns, st->cur->last_probe_ns - start, 1);
    fr2_stat_choose(&st->cur->choice, st->cur->last_probe_ns - start);
    st->covered++;
}

// Requests per io-wq thread in a short pass, and the length of a pass that
// calls for short ones.
static const int32_t STAT_SHORT_PASS = 8;
static const int64_t STAT_SLOW_PASS_NS = 10'000'000;

// Submits a pass for the entries from `covered` on; entries the kernel did not
// take are statted here, so every covered entry gets its metadata.
static void stat_submit_pass(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    int32_t left = batch->count - st->covered;
    // A worker that got less room than its ring could use takes what came
    // free since, between passes, and while passes are slow (or it has not
    // timed one yet) keeps them short until it has it all: a pass with one
    // io-wq thread on a slow filer could take seconds. Fast passes stay
    // whole: they end soon anyway.
    if (st->lease && st->ring_allowed < int32_t(st->iowq))
        fr2_stat_allow(st, fr2_load_try_more(st->lease, fr2_stat_wants(st)));
    int32_t n = left < st->depth ? left : st->depth;
    // Under a hard cap a pass carries no more requests than the io-wq threads
    // the worker holds room for: threads the kernel keeps from an earlier,
    // larger cap must find nothing more to run.
    if (fr2_load_capped() && n > st->ring_allowed)
        n = st->ring_allowed;
    else if (st->ring_allowed < int32_t(st->iowq) &&
             (st->last_pass_ns == 0 || st->last_pass_ns > STAT_SLOW_PASS_NS) &&
             n > STAT_SHORT_PASS * st->ring_allowed)
        n = STAT_SHORT_PASS * st->ring_allowed;
    fr2_entry *entries = batch->entries + st->covered;
    st->pass_start_ns = stat_now_ns();
    st->pass_first = st->covered;
    st->covered += n;
    int32_t taken = fr2_ring_submit(&st->ring, dir_fd, entries, n);
    if (st->ring.broken)
        fprintf(stderr, "worker %d: io_uring_submit: %s\n", st->worker_id,
                st->ring.error ? strerror(st->ring.error) : "no request accepted");
    if (taken < n) fr2_stat_sync(dir_fd, entries + taken, n - taken);
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
        // The pass ran on at most as many io-wq threads as were allowed: its
        // requests took about that many times its length together.
        int64_t end = stat_now_ns();
        st->last_pass_ns = end - st->pass_start_ns;
        int64_t running = n < int32_t(st->iowq_set) ? n : int32_t(st->iowq_set);
        fr2_load_observe(end, (end - st->pass_start_ns) * running, n);
        stat_retry_transient(st, dir_fd, batch->entries + first, n);
        return;
    }
    fprintf(stderr, "worker %d: io_uring_wait: %s\n", st->worker_id, strerror(st->ring.error));
    stat_leave_batch_to_kernel(dir_fd, batch, first, n);
}

int32_t fr2_stat_wants(const fr2_stat *st) {
    if (st->mode == FR2_STAT_MODE_SYNC) return 1;
    if (st->mode == FR2_STAT_MODE_AUTO && !st->cur->choice.ring) return 1;
    if (st->ring_tried && !stat_ring_usable(st)) return 1;
    return 1 + int32_t(st->iowq);
}

void fr2_stat_allow(fr2_stat *st, int32_t units) {
    st->ring_allowed = units - 1;
    // A ring that was asked for by name is used even with the least room: its
    // one io-wq thread and the worker's next read then share a unit, unless
    // the cap on requests in flight is a hard one.
    if (st->ring_allowed < 1 && st->mode == FR2_STAT_MODE_RING && !fr2_load_capped())
        st->ring_allowed = 1;
    if (st->ring_allowed > 0 && stat_ring_usable(st) &&
        uint32_t(st->ring_allowed) != st->iowq_set) {
        st->iowq_set = uint32_t(st->ring_allowed);
        fr2_ring_cap_workers(&st->ring, st->iowq_set);
    }
}

void fr2_stat_begin(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    st->covered = 0;
    stat_probe(st, dir_fd, batch);
    stat_sync_groups(st, dir_fd, batch);
    if (st->covered < batch->count) stat_submit_pass(st, dir_fd, batch);
    if (!fr2_stat_pending(st)) fr2_stat_end(st, dir_fd, batch);
}

bool fr2_stat_pending(const fr2_stat *st) { return st->ring_up && st->ring.inflight > 0; }

void fr2_stat_end(fr2_stat *st, int dir_fd, fr2_batch *batch) {
    if (fr2_stat_pending(st))
        stat_reap_pass(st, dir_fd, batch, st->pass_first, st->covered - st->pass_first);
    // A batch can hold more entries than one pass carries: its last read may add
    // a whole getdents64 buffer's worth beyond the depth.
    while (st->covered < batch->count) {
        stat_sync_groups(st, dir_fd, batch);
        if (st->covered >= batch->count) break;
        stat_submit_pass(st, dir_fd, batch);
        if (fr2_stat_pending(st))
            stat_reap_pass(st, dir_fd, batch, st->pass_first, st->covered - st->pass_first);
    }
}
