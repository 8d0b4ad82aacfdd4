// The ring and the metadata fetch against a kernel played by the test: the
// system-call record is replaced by one whose io_uring runs each statx at
// once, and which can be told to interrupt calls, take fewer requests than
// offered, post a completion twice or one of an older pass, keep its
// completion queue small, lose a completion or fail a wait. Every entry must
// end with its own metadata, or with none where its statx failed.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>

#include "fr2_stat.h"
#include "fr2_sys.h"
#include "harness.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct FakeKernel {
    // What the test asks of it.
    unsigned cq_entries = 0;        // 0: twice the SQ, as the kernel does
    int eintr_submits = 0;          // fail this many submitting calls with EINTR
    int eintr_waits = 0;            // ... and this many waiting calls
    unsigned take_at_most = ~0u;    // requests accepted per call
    int submit_errno = 0;           // fail every submitting call with this
    bool duplicate_first = false;   // post the first completion of a pass twice
    bool stale_first = false;       // post a completion of an older pass first
    bool lose_last = false;         // never post the last completion of a pass
    int wait_errno = 0;             // a wait that can deliver nothing fails with this

    // Its state.
    unsigned sq_entries = 0;
    char *sq_ring = nullptr, *cq_ring = nullptr;
    io_uring_sqe *sqes = nullptr;
    std::deque<io_uring_cqe> overflow;  // completions waiting for room in the CQ
    int enters = 0;
    int setups = 0;

    uint32_t *u32(char *base, unsigned off) { return reinterpret_cast<uint32_t *>(base + off); }
    io_uring_cqe *cqes() { return reinterpret_cast<io_uring_cqe *>(cq_ring + 64); }

    void flush() {
        uint32_t head = __atomic_load_n(u32(cq_ring, 0), __ATOMIC_ACQUIRE);
        uint32_t tail = *u32(cq_ring, 4);
        while (!overflow.empty() && tail - head < cq_entries) {
            cqes()[tail & (cq_entries - 1)] = overflow.front();
            overflow.pop_front();
            tail++;
        }
        __atomic_store_n(u32(cq_ring, 4), tail, __ATOMIC_RELEASE);
    }

    int enter(unsigned to_submit, unsigned min_complete, unsigned flags) {
        enters++;
        if (to_submit > 0) {
            if (eintr_submits > 0) return eintr_submits--, errno = EINTR, -1;
            if (submit_errno) return errno = submit_errno, -1;
            uint32_t head = *u32(sq_ring, 0), tail = __atomic_load_n(u32(sq_ring, 4), __ATOMIC_ACQUIRE);
            unsigned n = std::min({to_submit, take_at_most, tail - head});
            for (unsigned k = 0; k < n; k++, head++) {
                uint32_t idx = u32(sq_ring, 64)[head & (sq_entries - 1)];
                const io_uring_sqe &sqe = sqes[idx];
                EXPECT_EQ(sqe.opcode, IORING_OP_STATX);
                int rc = statx(sqe.fd, reinterpret_cast<const char *>(sqe.addr), int(sqe.statx_flags),
                               sqe.len, reinterpret_cast<struct statx *>(sqe.addr2));
                io_uring_cqe c = {};
                c.user_data = sqe.user_data;
                c.res = rc == 0 ? 0 : -errno;
                bool first = uint32_t(c.user_data) == 0, last = head + 1 == tail;
                if (first && stale_first) {
                    io_uring_cqe old = c;
                    old.user_data -= uint64_t(1) << 32;
                    old.res = -ENOENT;
                    overflow.push_back(old);
                }
                if (last && lose_last) continue;
                overflow.push_back(c);
                if (first && duplicate_first) {
                    c.res = -ENOENT;  // counted twice, it would hide a request still out
                    overflow.push_back(c);
                }
            }
            __atomic_store_n(u32(sq_ring, 0), head, __ATOMIC_RELEASE);
            flush();
            return int(n);
        }
        if (flags & IORING_ENTER_GETEVENTS) {
            if (eintr_waits > 0) return eintr_waits--, errno = EINTR, -1;
            flush();
            uint32_t ready = *u32(cq_ring, 4) - *u32(cq_ring, 0);
            if (ready < min_complete && overflow.empty() && ready == 0) {
                // A real kernel would block here for ever.
                errno = wait_errno ? wait_errno : ETIME;
                return -1;
            }
        }
        return 0;
    }
};

FakeKernel *g_fake;

int fake_setup(unsigned entries, io_uring_params *p) {
    g_fake->setups++;
    unsigned n = 1;
    while (n < entries) n *= 2;
    g_fake->sq_entries = n;
    if (!g_fake->cq_entries) g_fake->cq_entries = 2 * n;
    p->sq_entries = n;
    p->cq_entries = g_fake->cq_entries;
    p->sq_off = {0, 4, 8, 12, 16, 20, 64, 0, 0};
    p->cq_off = {0, 4, 8, 12, 16, 64, 0, 0, 0};
    return eventfd(0, EFD_CLOEXEC);  // a real descriptor for the ring to close
}

int fake_enter(int, unsigned to_submit, unsigned min_complete, unsigned flags) {
    return g_fake->enter(to_submit, min_complete, flags);
}

int fake_register(int, unsigned, void *, unsigned) { return 0; }

// Synchronous statx on storage that answers after a millisecond.
int g_slow_calls;
int slow_statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *buf) {
    g_slow_calls++;
    usleep(1000);
    return statx(dirfd, path, flags, mask, buf);
}

void *fake_mmap(void *, size_t len, int, int, int, off_t offset) {
    char *p = static_cast<char *>(aligned_alloc(64, (len + 63) & ~size_t(63)));
    memset(p, 0, len);
    FakeKernel &k = *g_fake;
    if (offset == IORING_OFF_SQ_RING) {
        k.sq_ring = p;
        *k.u32(p, 8) = k.sq_entries - 1;
        *k.u32(p, 12) = k.sq_entries;
    } else if (offset == IORING_OFF_CQ_RING) {
        k.cq_ring = p;
        *k.u32(p, 8) = k.cq_entries - 1;
        *k.u32(p, 12) = k.cq_entries;
    } else {
        k.sqes = reinterpret_cast<io_uring_sqe *>(p);
    }
    return p;
}

int fake_munmap(void *p, size_t) {
    free(p);
    return 0;
}

// A folder of files f0.. of sizes 0, 1, 2, ..., a batch naming them (and one
// name that does not exist), and the kernel above in place of the real one.
class RingFaults : public ::testing::Test {
  protected:
    static const int kFiles = 40;
    fr2test::TempDir dir_;
    int dir_fd_ = -1;
    fr2_batch batch_ = {};
    char names_[kFiles + 1][16];
    FakeKernel fake_;

    void SetUp() override {
        for (int i = 0; i < kFiles; i++)
            fr2test::write_file(dir_ / ("f" + std::to_string(i)), std::string(size_t(i), 'x'));
        dir_fd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd_, 0);
        batch_.cap = kFiles + 1;
        batch_.entries = static_cast<fr2_entry *>(calloc(size_t(batch_.cap), sizeof(fr2_entry)));
        for (int i = 0; i <= kFiles; i++) {
            fr2_entry &e = batch_.entries[i];
            e.name = names_[i];
            snprintf(e.name, sizeof names_[i], i < kFiles ? "f%d" : "gone%d", i);
            e.name_len = uint16_t(strlen(e.name));
            e.d_type = DT_REG;
        }
        batch_.count = kFiles + 1;
        g_fake = &fake_;
        g_sys.io_uring_setup = fake_setup;
        g_sys.io_uring_enter = fake_enter;
        g_sys.io_uring_register = fake_register;
        g_sys.mmap = fake_mmap;
        g_sys.munmap = fake_munmap;
    }
    void TearDown() override {
        g_sys = fr2_sys_linux;
        close(dir_fd_);
        if (batch_.cap) free(batch_.entries);  // an array left to the kernel is not ours
    }

    // Every file has its own size, the missing name none.
    void expect_all_statted() {
        for (int i = 0; i < kFiles; i++) {
            const fr2_entry &e = batch_.entries[i];
            ASSERT_EQ(e.stat_ok, FR2_STAT_OK) << e.name;
            EXPECT_EQ(e.stx.stx_size, uint64_t(i)) << e.name;
        }
        EXPECT_EQ(batch_.entries[kFiles].stat_ok, FR2_STAT_NONE);
    }

    // The whole batch through the metadata fetch, in passes of `depth`.
    std::string fetch(int32_t depth) {
        fr2_stat st;
        CaptureStderr();
        fr2_stat_setup(&st, 7, depth, 1, FR2_STAT_MODE_RING);
        EXPECT_TRUE(st.ring_up);
        fr2_stat_begin(&st, dir_fd_, &batch_);
        fr2_stat_end(&st, dir_fd_, &batch_);
        fr2_stat_teardown(&st);
        return GetCapturedStderr();
    }
};

TEST_F(RingFaults, InterruptedAndShortSubmitsAndWaitsLoseNothing) {
    fake_.eintr_submits = 2;
    fake_.eintr_waits = 3;
    fake_.take_at_most = 3;  // each enter takes 3 of the pass, the ring offers the rest again
    EXPECT_EQ(fetch(16), "");
    expect_all_statted();
    EXPECT_GT(fake_.enters, 41 / 3);
}

TEST_F(RingFaults, DuplicateAndStaleCompletionsAreDropped) {
    fake_.duplicate_first = true;
    fake_.stale_first = true;
    fake_.cq_entries = 4;  // and a completion queue that fills up: completions wait for room
    EXPECT_EQ(fetch(16), "");
    expect_all_statted();
}

TEST_F(RingFaults, FailedSubmitFallsBackToSynchronousStatx) {
    fake_.submit_errno = EAGAIN;
    EXPECT_EQ(fetch(16), "worker 7: io_uring_submit: " + std::string(strerror(EAGAIN)) + "\n");
    expect_all_statted();
}

TEST_F(RingFaults, LostCompletionAndFailedWaitMoveTheBatchAway) {
    fake_.lose_last = true;
    fake_.wait_errno = EBADF;
    fr2_entry *before = batch_.entries;
    EXPECT_EQ(fetch(64), "worker 7: io_uring_wait: " + std::string(strerror(EBADF)) + "\n");
    // The kernel may still write into the array it was given: the batch lives
    // in a fresh one from now on, and the old one is never freed.
    EXPECT_NE(batch_.entries, before);
    expect_all_statted();
}

// The worker that chooses its back end sets the ring up when synchronous statx
// turns out slow, and hands it the rest of the batch to overlap with the next
// read; one that never uses the ring never sets it up. (Whether fast storage
// keeps a worker synchronous depends on the clock; the benchmarks show it.)
TEST_F(RingFaults, ChoosingWorkerSetsTheRingUpOnlyWhenItSwitches) {
    g_sys.statx = slow_statx;
    fr2_stat st;
    fr2_stat_setup(&st, 7, 16, 1, FR2_STAT_MODE_SYNC);
    fr2_stat_begin(&st, dir_fd_, &batch_);
    EXPECT_FALSE(fr2_stat_pending(&st));
    fr2_stat_teardown(&st);
    expect_all_statted();
    EXPECT_EQ(fake_.setups, 0);

    for (int i = 0; i < batch_.count; i++) batch_.entries[i].stat_ok = FR2_STAT_NONE;
    fr2_stat_setup(&st, 7, 16, 1, FR2_STAT_MODE_AUTO);
    EXPECT_EQ(fake_.setups, 0);
    fr2_stat_begin(&st, dir_fd_, &batch_);
    // A group of 8 and two single entries went the slow way, the rest of the
    // 41 to the ring.
    EXPECT_TRUE(fr2_stat_pending(&st));
    EXPECT_EQ(fake_.setups, 1);
    fr2_stat_end(&st, dir_fd_, &batch_);
    expect_all_statted();
    // The next batch starts on the ring, with one probe taken the slow way.
    for (int i = 0; i < batch_.count; i++) batch_.entries[i].stat_ok = FR2_STAT_NONE;
    int enters = fake_.enters;
    fr2_stat_begin(&st, dir_fd_, &batch_);
    EXPECT_TRUE(fr2_stat_pending(&st));
    fr2_stat_end(&st, dir_fd_, &batch_);
    EXPECT_GT(fake_.enters, enters);
    expect_all_statted();
    EXPECT_EQ(fake_.setups, 1);
    fr2_stat_teardown(&st);
}

// The choice belongs to the file system: a worker that took the ring for one
// keeps it there while it learns another from scratch.
TEST_F(RingFaults, EachDeviceHasItsOwnChoice) {
    g_sys.statx = slow_statx;
    fr2_stat st;
    fr2_stat_setup(&st, 7, 16, 1, FR2_STAT_MODE_AUTO);
    auto fetch_on = [&](uint64_t dev) {
        for (int i = 0; i < batch_.count; i++) batch_.entries[i].stat_ok = FR2_STAT_NONE;
        g_slow_calls = 0;
        fr2_stat_directory(&st, dev);
        fr2_stat_begin(&st, dir_fd_, &batch_);
        fr2_stat_end(&st, dir_fd_, &batch_);
        expect_all_statted();
        return g_slow_calls;
    };
    EXPECT_EQ(fetch_on(1), 10);  // a group of 8 and two single entries, then the ring
    EXPECT_EQ(fetch_on(2), 10);  // another device: learned again
    // Back on the first: the ring at once, with at most one entry timed.
    EXPECT_LE(fetch_on(1), 1);
    // More devices than the worker remembers: the least recently used goes.
    for (uint64_t dev = 3; dev < 3 + FR2_STAT_DEVICES; dev++) fetch_on(dev);
    EXPECT_EQ(fetch_on(1), 10);
    fr2_stat_teardown(&st);
    EXPECT_EQ(fake_.setups, 1);
}

TEST_F(RingFaults, RingPassesMatchSynchronousStatx) {
    // The plain ring calls, pass by pass, without the fallback around them.
    fr2_ring r;
    ASSERT_EQ(fr2_ring_setup(&r, 16, 0), 0);
    for (int32_t first = 0; first < batch_.count; first += 16) {
        int32_t n = std::min(16, batch_.count - first);
        ASSERT_EQ(fr2_ring_submit(&r, dir_fd_, batch_.entries + first, n), n);
        for (int32_t i = 0; i < n; i++) EXPECT_EQ(batch_.entries[first + i].stat_ok, FR2_STAT_PENDING);
        ASSERT_EQ(fr2_ring_reap(&r, batch_.entries + first, n), 0);
    }
    fr2_ring_teardown(&r);
    expect_all_statted();
    fr2_batch sync = batch_;
    sync.entries = static_cast<fr2_entry *>(calloc(size_t(sync.cap), sizeof(fr2_entry)));
    memcpy(sync.entries, batch_.entries, size_t(sync.count) * sizeof(fr2_entry));
    fr2_stat_sync(dir_fd_, sync.entries, sync.count);
    for (int i = 0; i < kFiles; i++)
        EXPECT_EQ(memcmp(&sync.entries[i].stx, &batch_.entries[i].stx, sizeof(struct statx)), 0)
            << sync.entries[i].name;
    free(sync.entries);
}

}  // namespace
