// The raw io_uring behind the ring back end of the metadata fetch.
//
// The life of one pass
// --------------------
// A pass is at most `depth` statx requests for consecutive entries of one
// batch. Its number (pass_seq) is in the high half of every request's
// user_data, the entry's position in the pass in the low half.
//
//   submit:  pass_seq++; per entry: SQE written, stat_ok = PENDING
//            store-release sq_tail ............ pairs with the kernel's load
//            io_uring_enter(to_submit): the kernel accepts k requests
//            (a failed enter breaks the ring; unaccepted SQEs are taken back
//            and their entries stay NONE for the caller to stat itself)
//   kernel:  io-wq threads run each statx and write the result straight
//            into entry.stx, then post a CQE
//   reap:    load-acquire cq_tail ................ pairs with the kernel's store-release
//            CQE of this pass for an entry still PENDING: stat_ok = OK or
//            NONE; a CQE of an older pass, or a second one for the same entry,
//            is dropped
//            store-release cq_head ............... the slot is the kernel's again
//            when the CQ is empty: io_uring_enter(GETEVENTS, rest of the pass)
//
// A wait that fails abandons the pass: the ring is broken and the kernel may
// still write into the entries it holds, at any later time. The caller moves
// the batch out of that array and hands the array to fr2_ring_abandon, which
// owns it from then on: it is never freed or written again, and its completions,
// should they ever be read, carry an old pass number.
//
// Only the owning thread touches a ring; the kernel is the other side of every
// barrier above.
#include "fr2_ring.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "fr2.h"
#include "fr2_sys.h"

// The kernel writes each statx result into its entry from an io-wq thread,
// which memcheck cannot see: under valgrind the result is declared written
// when its completion arrives. Outside valgrind this is a few instructions.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define RING_RESULT_WRITTEN_BY_KERNEL(p, n) VALGRIND_MAKE_MEM_DEFINED(p, n)
#else
#define RING_RESULT_WRITTEN_BY_KERNEL(p, n) ((void)0)
#endif

#define FR2_STATX_MASK STATX_BASIC_STATS

static uint32_t ring_load_acquire(uint32_t *p) {
    return std::atomic_ref<uint32_t>(*p).load(std::memory_order_acquire);
}

static void ring_store_release(uint32_t *p, uint32_t v) {
    std::atomic_ref<uint32_t>(*p).store(v, std::memory_order_release);
}

static void ring_unmap(fr2_ring *r) {
    if (r->sqes_ptr) g_sys.munmap(r->sqes_ptr, r->sqes_sz);
    if (r->cq_ring_ptr) g_sys.munmap(r->cq_ring_ptr, r->cq_ring_sz);
    if (r->sq_ring_ptr) g_sys.munmap(r->sq_ring_ptr, r->sq_ring_sz);
    if (r->ring_fd >= 0) close(r->ring_fd);
    memset(r, 0, sizeof *r);
    r->ring_fd = -1;
}

static void *ring_map_region(int fd, uint64_t len, off_t offset) {
    void *p =
        g_sys.mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, offset);
    return p == MAP_FAILED ? nullptr : p;
}

int fr2_ring_setup(fr2_ring *r, uint32_t depth, uint32_t iowq_workers) {
    struct io_uring_params p;
    memset(&p, 0, sizeof p);
    memset(r, 0, sizeof *r);
    r->ring_fd = g_sys.io_uring_setup(depth, &p);
    if (r->ring_fd < 0) goto fail;
    r->sq_entries = p.sq_entries;
    r->cq_entries = p.cq_entries;

    r->sq_ring_sz = p.sq_off.array + uint64_t(p.sq_entries) * sizeof(uint32_t);
    r->sq_ring_ptr = ring_map_region(r->ring_fd, r->sq_ring_sz, IORING_OFF_SQ_RING);
    if (!r->sq_ring_ptr) goto fail;
    {
        char *sq = static_cast<char *>(r->sq_ring_ptr);
        r->sq_head = reinterpret_cast<uint32_t *>(sq + p.sq_off.head);
        r->sq_tail = reinterpret_cast<uint32_t *>(sq + p.sq_off.tail);
        r->sq_ring_mask = reinterpret_cast<uint32_t *>(sq + p.sq_off.ring_mask);
        r->sq_ring_entries = reinterpret_cast<uint32_t *>(sq + p.sq_off.ring_entries);
        r->sq_flags = reinterpret_cast<uint32_t *>(sq + p.sq_off.flags);
        r->sq_array = reinterpret_cast<uint32_t *>(sq + p.sq_off.array);
    }
    // The CQ ring gets a mapping of its own, whatever features the kernel offers.
    r->cq_ring_sz = p.cq_off.cqes + uint64_t(p.cq_entries) * sizeof(struct io_uring_cqe);
    r->cq_ring_ptr = ring_map_region(r->ring_fd, r->cq_ring_sz, IORING_OFF_CQ_RING);
    if (!r->cq_ring_ptr) goto fail;
    {
        char *cq = static_cast<char *>(r->cq_ring_ptr);
        r->cq_head = reinterpret_cast<uint32_t *>(cq + p.cq_off.head);
        r->cq_tail = reinterpret_cast<uint32_t *>(cq + p.cq_off.tail);
        r->cq_ring_mask = reinterpret_cast<uint32_t *>(cq + p.cq_off.ring_mask);
        r->cq_ring_entries = reinterpret_cast<uint32_t *>(cq + p.cq_off.ring_entries);
        r->cqes = reinterpret_cast<struct io_uring_cqe *>(cq + p.cq_off.cqes);
    }
    r->sqes_sz = uint64_t(p.sq_entries) * sizeof(struct io_uring_sqe);
    r->sqes_ptr = ring_map_region(r->ring_fd, r->sqes_sz, IORING_OFF_SQES);
    if (!r->sqes_ptr) goto fail;
    r->sqes = static_cast<struct io_uring_sqe *>(r->sqes_ptr);

    if (iowq_workers > 0) fr2_ring_cap_workers(r, iowq_workers);
    return 0;

fail:
    int err = errno;
    ring_unmap(r);
    errno = err;
    return -1;
}

void fr2_ring_cap_workers(fr2_ring *r, uint32_t iowq_workers) {
    // statx requests run as bound io-wq work; 0 leaves the unbounded limit.
    uint32_t limits[2] = {iowq_workers, 0};
    g_sys.io_uring_register(r->ring_fd, IORING_REGISTER_IOWQ_MAX_WORKERS, limits, 2);
}

void fr2_ring_teardown(fr2_ring *r) {
    // Arrays left to the kernel by an abandoned pass are never freed, so
    // closing the ring is all that is left to do.
    ring_unmap(r);
}

int32_t fr2_ring_submit(fr2_ring *r, int dir_fd, fr2_entry *entries, int32_t n) {
    r->inflight = 0;
    if (n <= 0 || r->broken) return 0;
    r->pass_seq++;
    const uint32_t mask = *r->sq_ring_mask;
    uint32_t tail = *r->sq_tail;  // only this thread writes the tail
    int32_t prepared = 0;
    for (; prepared < n; prepared++) {
        uint32_t head =
            ring_load_acquire(r->sq_head);  // pairs with the kernel's release of consumed SQEs
        if (tail - head >= r->sq_entries) break;  // SQ full
        uint32_t idx = tail & mask;
        struct io_uring_sqe *sqe = &r->sqes[idx];
        memset(sqe, 0, sizeof *sqe);
        sqe->opcode = IORING_OP_STATX;
        sqe->fd = dir_fd;
        sqe->addr = uint64_t(uintptr_t(entries[prepared].name));
        // The kernel writes the result straight into the entry: no result
        // slots to keep per ring, no copy per entry.
        sqe->addr2 = uint64_t(uintptr_t(&entries[prepared].stx));
        sqe->len = FR2_STATX_MASK;
        sqe->statx_flags = AT_SYMLINK_NOFOLLOW;
        sqe->user_data = (uint64_t(r->pass_seq) << 32) | uint32_t(prepared);
        r->sq_array[idx] = idx;
        entries[prepared].stat_ok = FR2_STAT_PENDING;
        tail++;
    }
    // Release: the kernel must see the SQEs and their index slots before the
    // tail moves; pairs with its acquire of the tail in io_uring_enter.
    ring_store_release(r->sq_tail, tail);

    int32_t submitted = 0;
    while (submitted < prepared) {
        int ret = g_sys.io_uring_enter(r->ring_fd, unsigned(prepared - submitted), 0, 0);
        if (ret < 0 && errno == EINTR) continue;
        if (ret <= 0) {
            // A failure, or a kernel that takes nothing more: the ring is not
            // to be trusted with later passes either.
            r->error = ret < 0 ? errno : 0;
            r->broken = true;
            break;
        }
        submitted += ret;  // a short count leaves the rest for another enter
    }
    if (submitted < prepared) {
        // Take back the SQEs the kernel never consumed (no SQ polling thread
        // reads the tail behind our back), so no later pass counts them.
        ring_store_release(r->sq_tail, tail - uint32_t(prepared - submitted));
        for (int32_t i = submitted; i < prepared; i++) entries[i].stat_ok = FR2_STAT_NONE;
    }
    r->inflight = submitted;
    return submitted;
}

static void ring_apply_completion(fr2_entry *e, int32_t res) {
    if (res != 0) {
        e->stat_ok = FR2_STAT_NONE;
        e->stat_err = -res;  // the caller decides what the failure means
        return;
    }
    RING_RESULT_WRITTEN_BY_KERNEL(&e->stx, sizeof e->stx);
    e->stat_ok = FR2_STAT_OK;
    e->stat_err = 0;
    fr2_entry_classify(e);
}

int fr2_ring_reap(fr2_ring *r, fr2_entry *entries, int32_t n) {
    const uint32_t mask = *r->cq_ring_mask;
    while (r->inflight > 0) {
        uint32_t head = *r->cq_head;  // only this thread moves the head
        // Acquire: the CQE, and the result the kernel wrote into the entry,
        // are read only after the kernel published the completion.
        uint32_t tail = ring_load_acquire(r->cq_tail);
        if (head != tail) {
            const struct io_uring_cqe *cqe = &r->cqes[head & mask];
            uint64_t ud = cqe->user_data;
            int32_t pos = int32_t(uint32_t(ud));
            // Only the first answer for an entry of this pass counts: anything
            // else would end the wait with a request still out.
            if (uint32_t(ud >> 32) == r->pass_seq && pos >= 0 && pos < n &&
                entries[pos].stat_ok == FR2_STAT_PENDING) {
                ring_apply_completion(&entries[pos], cqe->res);
                r->inflight--;
            }
            // Release: the CQE slot is handed back only after it was read.
            ring_store_release(r->cq_head, head + 1);
            continue;
        }
        // Wait for the whole rest of the pass at once: one wake-up per pass
        // rather than one per completion that trickles in.
        int ret =
            g_sys.io_uring_enter(r->ring_fd, 0, unsigned(r->inflight), IORING_ENTER_GETEVENTS);
        if (ret < 0 && errno != EINTR) {
            r->error = errno;
            r->broken = true;
            r->inflight = 0;
            return -1;
        }
    }
    return 0;
}

// Arrays that abandoned passes left to the kernel: a ring gives up at its
// first failed wait, so there are at most as many as rings. Kept here so they
// stay reachable to the end.
static const uint32_t RING_MAX_ABANDONED = 4096;
static fr2_entry *g_ring_abandoned[RING_MAX_ABANDONED];
static std::atomic<uint32_t> g_ring_abandoned_count;

void fr2_ring_abandon(fr2_entry *array) {
    uint32_t i = g_ring_abandoned_count.fetch_add(1, std::memory_order_relaxed);
    if (i < RING_MAX_ABANDONED) g_ring_abandoned[i] = array;
}
