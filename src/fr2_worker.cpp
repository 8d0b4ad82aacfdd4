// The worker threads: directory reader, statx batches, batch processing,
// end-of-walk accounting and the read-admission gate.
//
// One directory through a ring worker (two entry arrays, slots s and n):
//
//   open + read batch -> [s]            (under a read-admission slot)
//   submit statx pass for [s] ------------------> kernel (io-wq) works on [s]
//   read next batch -> [n]              (overlaps the kernel's work)
//   reap [s], stat the rest of [s] <------------ completions
//   process [s]: file lines, counts, queue subdirectories
//   submit [n], swap s and n, repeat until the directory ends
//   at the end: open + read the next queued directory into the free slot
//   (prefetch) while the last batch is in flight; reap, process, write the
//   directory's own line, finish it.
//
// A worker without a ring does the same with one synchronous statx per entry
// and one array, without overlap.
#include <dirent.h>
#include <errno.h>
#include <linux/io_uring.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "fr2.h"

// The kernel writes each statx result into its entry from an io-wq thread,
// which memcheck cannot see: under valgrind the result is declared written
// when its completion arrives. Outside valgrind this is a few instructions.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define RESULT_WRITTEN_BY_KERNEL(p, n) VALGRIND_MAKE_MEM_DEFINED(p, n)
#else
#define RESULT_WRITTEN_BY_KERNEL(p, n) ((void)0)
#endif

// An entry whose statx request is with the kernel and not yet answered.
static const uint32_t STAT_PENDING = 2;

// io-wq workers each ring may start for its statx requests, which the kernel
// always runs on io-wq threads. Its own bound grows with the CPUs (4 per CPU),
// so 64 rings on a large host could start thousands of kernel threads. On a
// latency-bound (FUSE, 1 ms per request) tree 16 per ring walked 1.75x as fast
// as the kernel's 8 of a 2-CPU host and 64 were no better; on a local disk,
// warm or cold, the cap made no measurable difference. So each ring gets 16,
// and a larger pool shares a budget of 1024 (1024 workers get 1 each instead
// of the kernel's own bound for every ring).
static const uint32_t IOWQ_MAX_PER_RING = 16;
static const uint32_t IOWQ_BUDGET = 1024;

// ---- directory items and end-of-walk accounting ------------------------------

fr2_dir_item *fr2_dir_item_new(const char *path, size_t path_len) {
    fr2_dir_item *item =
        static_cast<fr2_dir_item *>(calloc(1, offsetof(fr2_dir_item, path) + path_len + 1));
    if (!item) return nullptr;
    memcpy(item->path, path, path_len);
    item->path[path_len] = 0;
    item->path_len = uint16_t(path_len);
    return item;
}

// Called once for every item that leaves the walk, after it was freed. The
// call that brings the count to zero ends the walk and wakes every waiter.
static void finish_directory(void) {
    if (fr2_add(&g_state.dirs_pending, -1) == 1) {
        fr2_store(&g_state.done, 1);
        pthread_mutex_lock(&g_state.queue_lock);
        pthread_cond_broadcast(&g_state.queue_cond);
        pthread_mutex_unlock(&g_state.queue_lock);
    }
}

// ---- read-admission gate: bounds the workers opening or reading directories --

static void acquire_getdents_slot(void) {
    pthread_mutex_lock(&g_state.getdents_lock);
    while (g_state.getdents_active >= g_state.getdents_max)
        pthread_cond_wait(&g_state.getdents_cond, &g_state.getdents_lock);
    g_state.getdents_active++;
    pthread_mutex_unlock(&g_state.getdents_lock);
}

static void release_getdents_slot(void) {
    pthread_mutex_lock(&g_state.getdents_lock);
    g_state.getdents_active--;
    pthread_cond_signal(&g_state.getdents_cond);
    pthread_mutex_unlock(&g_state.getdents_lock);
}

static bool try_acquire_getdents_slot(void) {
    pthread_mutex_lock(&g_state.getdents_lock);
    bool ok = g_state.getdents_active < g_state.getdents_max;
    if (ok) g_state.getdents_active++;
    pthread_mutex_unlock(&g_state.getdents_lock);
    return ok;
}

// ---- activity published for the watchdog ------------------------------------

// cur_path is read by the watchdog while the worker may move on, so it is
// written word by word with atomic stores: the text may be mixed from two
// paths at worst, but never a data race.
static void set_cur_path(fr2_worker *w, const char *path) {
    uint64_t *dst = reinterpret_cast<uint64_t *>(w->cur_path);
    size_t len = strnlen(path, sizeof w->cur_path - 1);  // the last byte stays NUL
    for (size_t off = 0; off <= len; off += 8) {
        uint64_t word = 0;
        size_t take = len + 1 - off < 8 ? len + 1 - off : 8;
        memcpy(&word, path + off, take);
        if (off + take == len + 1)  // this word ends the copy: put its NUL in
            reinterpret_cast<char *>(&word)[len - off] = 0;
        __atomic_store_n(&dst[off / 8], word, __ATOMIC_RELAXED);
    }
}

static void enter_state(fr2_worker *w, uint32_t state, const char *path) {
    set_cur_path(w, path);
    fr2_store(&w->activity_since, int64_t(time(nullptr)));
    fr2_store(&w->activity, state);
}

static void leave_state(fr2_worker *w) {
    fr2_store(&w->activity, uint32_t(WORKER_IDLE));
    fr2_store(&w->activity_since, int64_t(0));
}

// ---- directory reader ---------------------------------------------------------

int open_directory(fr2_worker *w, const char *path) {
    enter_state(w, WORKER_IN_OPEN, path);
    for (;;) {
        int fd = open(path, O_RDONLY | O_DIRECTORY);
        if (fd >= 0 || errno != EINTR) {
            int err = errno;
            leave_state(w);
            errno = err;
            return fd;
        }
        if (fr2_load(&w->cancel)) {
            leave_state(w);
            return -2;
        }
    }
}

struct kernel_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    uint16_t d_reclen;
    uint8_t d_type;
    char d_name[];
};

static bool grow_batch(fr2_entry **entries, int32_t *capacity, int32_t need) {
    int64_t cap = *capacity == 0 ? FR2_FIRST_BATCH_CAP : int64_t(*capacity) * 2;
    while (cap < need) cap *= 2;
    if (cap > INT32_MAX) {
        errno = ENOMEM;
        return false;
    }
    void *grown = realloc(*entries, size_t(cap) * sizeof(fr2_entry));
    if (!grown) return false;
    *entries = static_cast<fr2_entry *>(grown);
    *capacity = int32_t(cap);
    return true;
}

int parse_dirent_buffer(const char *buf, long len, fr2_entry **entries, int32_t *count,
                        int32_t *capacity) {
    const long name_off = offsetof(kernel_dirent64, d_name);
    long off = 0;
    while (off + name_off < len) {
        // Fields are copied out, not read through a record pointer: a record
        // that is not what the kernel makes may sit at any alignment.
        uint16_t reclen;
        memcpy(&reclen, buf + off + offsetof(kernel_dirent64, d_reclen), sizeof reclen);
        if (reclen <= name_off || off + reclen > len) break;  // not a record the kernel makes
        const char *name = buf + off + name_off;
        size_t name_len = strnlen(name, size_t(reclen - name_off));
        off += reclen;
        if (name_len > 255) name_len = 255;
        if (name[0] == '.' && (name_len == 1 || (name_len == 2 && name[1] == '.'))) continue;
        if (*count + 1 > *capacity && !grow_batch(entries, capacity, *count + 1)) return -1;
        fr2_entry *e = &(*entries)[*count];
        memcpy(e->name, name, name_len);
        e->name[name_len] = 0;
        e->name_len = uint16_t(name_len);
        memcpy(&e->d_ino, buf + (off - reclen) + offsetof(kernel_dirent64, d_ino), 8);
        e->d_type = uint8_t(buf[off - reclen + offsetof(kernel_dirent64, d_type)]);
        e->is_dir = e->d_type == DT_DIR;
        e->stat_ok = 0;  // stx stays unread until a statx succeeds
        (*count)++;
    }
    return 0;
}

int read_directory_batch(fr2_worker *w, int fd, fr2_entry **entries, int32_t *count,
                         int32_t *capacity, int32_t limit, int32_t *eof) {
    *count = 0;
    *eof = 0;
    if (limit <= 0) return 0;
    do {
        long n = syscall(SYS_getdents64, fd, w->dirent_buf, sizeof w->dirent_buf);
        if (n == 0) {
            *eof = 1;
            return 0;
        }
        if (n < 0) {
            if (errno != EINTR) return -1;
            if (fr2_load(&w->cancel)) return -2;
            continue;  // another signal: the entries so far stay, read on
        }
        if (parse_dirent_buffer(w->dirent_buf, n, entries, count, capacity) != 0) return -1;
    } while (*count < limit);
    return 0;
}

// ---- synchronous statx ----------------------------------------------------------

static inline void mark_dir_from_mode(fr2_entry *e) {
    if (e->d_type == DT_UNKNOWN) e->is_dir = (e->stx.stx_mode & 0xF000) == 0x4000;
}

static void stat_entries_sync(int fd, fr2_entry *entries, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        fr2_entry *e = &entries[i];
        if (statx(fd, e->name, AT_SYMLINK_NOFOLLOW, FR2_STATX_MASK, &e->stx) == 0) {
            e->stat_ok = 1;
            mark_dir_from_mode(e);
        } else {
            e->stat_ok = 0;
        }
    }
}

// ---- io_uring statx ring ----------------------------------------------------------
//
// user_data carries the pass number in its high half and the entry's position
// in the pass in its low half, so a completion left over from an abandoned pass
// is recognised and dropped instead of being applied to a later pass.

static int sys_io_uring_setup(unsigned entries, struct io_uring_params *p) {
    return int(syscall(__NR_io_uring_setup, entries, p));
}

static int sys_io_uring_enter(int fd, unsigned to_submit, unsigned min_complete, unsigned flags) {
    return int(syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 0));
}

static void unmap_ring(fr2_ring *r) {
    if (r->sqes_ptr) munmap(r->sqes_ptr, r->sqes_sz);
    if (r->cq_ring_ptr) munmap(r->cq_ring_ptr, r->cq_ring_sz);
    if (r->sq_ring_ptr) munmap(r->sq_ring_ptr, r->sq_ring_sz);
    if (r->ring_fd >= 0) close(r->ring_fd);
    memset(r, 0, sizeof *r);
    r->ring_fd = -1;
}

static void *map_region(int fd, uint64_t len, off_t offset) {
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, offset);
    return p == MAP_FAILED ? nullptr : p;
}

static void ring_setup(fr2_worker *w) {
    fr2_ring *r = &w->ring;
    struct io_uring_params p;
    memset(&p, 0, sizeof p);
    memset(r, 0, sizeof *r);
    w->sync_mode = 0;
    r->ring_fd = sys_io_uring_setup(unsigned(g_state.ring_depth), &p);
    if (r->ring_fd < 0) goto fail;
    r->sq_entries = p.sq_entries;
    r->cq_entries = p.cq_entries;

    r->sq_ring_sz = p.sq_off.array + uint64_t(p.sq_entries) * sizeof(uint32_t);
    r->sq_ring_ptr = map_region(r->ring_fd, r->sq_ring_sz, IORING_OFF_SQ_RING);
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
    r->cq_ring_ptr = map_region(r->ring_fd, r->cq_ring_sz, IORING_OFF_CQ_RING);
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
    r->sqes_ptr = map_region(r->ring_fd, r->sqes_sz, IORING_OFF_SQES);
    if (!r->sqes_ptr) goto fail;
    r->sqes = static_cast<struct io_uring_sqe *>(r->sqes_ptr);

    {
        // statx requests run as bound io-wq work; 0 leaves the unbounded limit.
        // A kernel without this registration simply keeps its own limit.
        uint32_t share = IOWQ_BUDGET / uint32_t(g_state.threads);
        uint32_t limits[2] = {share < 1 ? 1 : share > IOWQ_MAX_PER_RING ? IOWQ_MAX_PER_RING : share, 0};
        syscall(__NR_io_uring_register, r->ring_fd, IORING_REGISTER_IOWQ_MAX_WORKERS, limits, 2);
    }
    return;

fail:
    int err = errno;
    fprintf(stderr, "worker %d: io_uring_setup failed (%s), using sync fallback\n", w->id,
            strerror(err));
    unmap_ring(r);
    w->sync_mode = 1;
}

static void ring_teardown(fr2_worker *w) {
    // Arrays left to the kernel by an abandoned pass are never freed, so
    // closing the ring is all that is left to do.
    unmap_ring(&w->ring);
}

// Prepares and submits one pass for up to ring_depth entries from `entries`;
// returns how many entries the pass covers. Entries the kernel did not take
// are statted here synchronously, so every covered entry gets its metadata.
static int32_t submit_statx_batch(fr2_worker *w, int dir_fd, fr2_entry *entries, int32_t count) {
    fr2_ring *r = &w->ring;
    r->inflight = 0;
    if (count <= 0) return 0;
    int32_t n = count < g_state.ring_depth ? count : g_state.ring_depth;
    if (r->broken) {
        stat_entries_sync(dir_fd, entries, n);
        return n;
    }
    r->pass_seq++;
    const uint32_t mask = *r->sq_ring_mask;
    uint32_t tail = *r->sq_tail;  // only this thread writes the tail
    int32_t prepared = 0;
    for (; prepared < n; prepared++) {
        uint32_t head = __atomic_load_n(r->sq_head, __ATOMIC_ACQUIRE);
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
        entries[prepared].stat_ok = STAT_PENDING;
        tail++;
    }
    // The kernel must see the SQEs and their index slots before the tail moves.
    __atomic_store_n(r->sq_tail, tail, __ATOMIC_RELEASE);

    int32_t submitted = 0;
    while (submitted < prepared) {
        int ret = sys_io_uring_enter(r->ring_fd, unsigned(prepared - submitted), 0, 0);
        if (ret < 0 && errno == EINTR) continue;
        if (ret <= 0) {
            // A failure, or a kernel that takes nothing more: the ring is not
            // to be trusted with later passes either.
            fprintf(stderr, "worker %d: io_uring_submit: %s\n", w->id,
                    ret < 0 ? strerror(errno) : "no request accepted");
            r->broken = 1;
            break;
        }
        submitted += ret;  // a short count leaves the rest for another enter
    }
    if (submitted < prepared) {
        // Take back the SQEs the kernel never consumed (no SQ polling thread
        // reads the tail behind our back), so no later pass counts them.
        __atomic_store_n(r->sq_tail, tail - uint32_t(prepared - submitted), __ATOMIC_RELEASE);
    }
    r->inflight = submitted;
    if (submitted < n) stat_entries_sync(dir_fd, entries + submitted, n - submitted);
    return n;
}

static void apply_completion(fr2_entry *e, int32_t res) {
    if (res != 0) {
        e->stat_ok = 0;
        return;
    }
    RESULT_WRITTEN_BY_KERNEL(&e->stx, sizeof e->stx);
    e->stat_ok = 1;
    mark_dir_from_mode(e);
}

// Arrays that abandoned passes left to the kernel, at most one per worker (a
// worker gives its ring up at the first failed wait). They are never freed, as
// the kernel may write into them at any time, and are kept here so that they
// stay reachable to the end.
static fr2_entry *g_left_to_kernel[FR2_MAX_THREADS];

// After an abandoned pass the kernel may still write results into the entries
// it was given, at any later time: the batch moves to a fresh array and the old
// one is left to the kernel for good, never freed and never read into again.
// Returns the array the batch now lives in.
static fr2_entry *leave_batch_to_kernel(fr2_worker *w, int slot, fr2_entry *entries,
                                        int32_t first, int32_t count, int dir_fd) {
    g_left_to_kernel[w->id] = entries;
    fr2_entry *fresh = static_cast<fr2_entry *>(
        malloc(size_t(w->batch_cap[slot]) * sizeof(fr2_entry)));
    w->batch[slot] = fresh;
    if (!fresh) {
        // No memory for a copy: what did not arrive is left out (it cannot be
        // statted where the kernel may still write), and the slot starts over.
        w->batch_cap[slot] = 0;
        for (int32_t i = first; i < first + count; i++)
            if (entries[i].stat_ok == STAT_PENDING) entries[i].stat_ok = 0;
        return entries;
    }
    memcpy(fresh, entries, size_t(w->batch_count[slot]) * sizeof(fr2_entry));
    for (int32_t i = first; i < first + count; i++)
        if (fresh[i].stat_ok == STAT_PENDING) stat_entries_sync(dir_fd, &fresh[i], 1);
    return fresh;
}

// Collects the completions of the pass that submit_statx_batch just made for
// the `count` entries from index `first` of `entries`, the array of `slot`
// (or what is left of it after an earlier abandoned pass). Returns the array
// in which the batch now lives, which changes only when the pass is abandoned.
static fr2_entry *reap_statx_batch(fr2_worker *w, int dir_fd, int slot, fr2_entry *entries,
                                   int32_t first, int32_t count) {
    fr2_ring *r = &w->ring;
    fr2_entry *pass = entries + first;
    int32_t want = r->inflight, got = 0;
    const uint32_t mask = *r->cq_ring_mask;
    while (got < want) {
        uint32_t head = *r->cq_head;  // only this thread moves the head
        // Acquire: the CQE, and the result the kernel wrote into the entry,
        // are read only after the kernel published the completion.
        uint32_t tail = __atomic_load_n(r->cq_tail, __ATOMIC_ACQUIRE);
        if (head != tail) {
            const struct io_uring_cqe *cqe = &r->cqes[head & mask];
            uint64_t ud = cqe->user_data;
            int32_t pos = int32_t(uint32_t(ud));
            if (uint32_t(ud >> 32) == r->pass_seq && pos >= 0 && pos < count) {
                apply_completion(&pass[pos], cqe->res);
                got++;
            }
            // Release: the CQE slot is handed back only after it was read.
            __atomic_store_n(r->cq_head, head + 1, __ATOMIC_RELEASE);
            continue;
        }
        // Wait for the whole rest of the pass at once: one wake-up per pass
        // rather than one per completion that trickles in.
        int ret = sys_io_uring_enter(r->ring_fd, 0, unsigned(want - got), IORING_ENTER_GETEVENTS);
        if (ret < 0 && errno != EINTR) {
            fprintf(stderr, "worker %d: io_uring_wait: %s\n", w->id, strerror(errno));
            r->broken = 1;
            break;
        }
    }
    r->inflight = 0;
    // An abandoned pass: whatever the kernel still answers for it is dropped
    // by its pass number.
    if (got < want) return leave_batch_to_kernel(w, slot, entries, first, count, dir_fd);
    return entries;
}

// ---- batch processing -------------------------------------------------------------

static void publish_counters(fr2_worker *w) {
    fr2_add(&g_state.total_files, w->files_unflushed);
    fr2_add(&g_state.total_bytes, int64_t(w->bytes_unflushed));
    w->files_unflushed = 0;
    w->bytes_unflushed = 0;
}

static inline void count_line(fr2_worker *w, uint64_t size) {
    w->files_unflushed++;
    w->bytes_unflushed += size;
    if (w->files_unflushed >= FR2_PUBLISH_EVERY) publish_counters(w);
}

static void process_batch(fr2_worker *w, fr2_dir_item *dir, fr2_entry *entries, int32_t count,
                          int64_t *fcount, int64_t *dirsum) {
    // The directory's path and "/" stay at the front of path_buf; each entry
    // only writes its name behind them.
    memcpy(w->path_buf, dir->path, dir->path_len);
    w->path_buf[dir->path_len] = '/';
    char *name_at = w->path_buf + dir->path_len + 1;
    const size_t prefix_len = size_t(dir->path_len) + 1;

    for (int32_t i = 0; i < count; i++) {
        fr2_entry *e = &entries[i];
        if (e->stat_ok != 1) continue;
        if (g_state.one_file_system &&
            fr2_makedev(e->stx.stx_dev_major, e->stx.stx_dev_minor) != g_state.root_dev)
            continue;
        *fcount += 1;
        *dirsum += int64_t(e->stx.stx_size);
        memcpy(name_at, e->name, size_t(e->name_len) + 1);

        if (!e->is_dir) {
            fr2_format_file(w, w->path_buf, fr2_extension(e->name), &e->stx, dir->stx.stx_ino,
                            dir->depth);
            count_line(w, e->stx.stx_size);
            continue;
        }
        if (g_state.no_snap && strcmp(e->name, ".snapshot") == 0) continue;
        if (g_state.max_depth != 0 && dir->depth == g_state.max_depth) continue;
        size_t path_len = prefix_len + e->name_len;
        if (path_len > FR2_MAX_PATH) continue;
        if (g_state.exclude_count && fr2_check_exclude(w->path_buf)) continue;
        fr2_dir_item *sub = fr2_dir_item_new(w->path_buf, path_len);
        if (!sub) continue;
        sub->parent_ino = dir->stx.stx_ino;
        sub->stx = e->stx;
        sub->depth = dir->depth + 1;
        // Counted before it is queued, so the walk cannot end while it waits.
        fr2_add(&g_state.dirs_pending, 1);
        fr2_queue_push(sub);
    }
}

// ---- the worker loop ---------------------------------------------------------------

static void report_read_failure(fr2_worker *w, int rc, const char *path, const char *what) {
    if (rc == -2)
        fprintf(stderr, "Timeout Dir: %s\n", path);
    else
        fprintf(stderr, "worker %d: %s: %s: %s\n", w->id, what, path, strerror(errno));
}

// A read of a directory's next batch into `slot`, inside a published
// getdents64 step; the caller holds the read-admission slot.
static int read_batch(fr2_worker *w, int fd, const char *path, int slot, int32_t *eof) {
    enter_state(w, WORKER_IN_GETDENTS, path);
    int rc = read_directory_batch(w, fd, &w->batch[slot], &w->batch_count[slot],
                                  &w->batch_cap[slot], g_state.ring_depth, eof);
    int err = errno;
    leave_state(w);
    errno = err;
    return rc;
}

static void sync_pipeline(fr2_worker *w, fr2_dir_item *item, int fd, int slot, int32_t eof,
                          int64_t *fcount, int64_t *dirsum) {
    stat_entries_sync(fd, w->batch[slot], w->batch_count[slot]);
    process_batch(w, item, w->batch[slot], w->batch_count[slot], fcount, dirsum);
    while (!eof) {
        acquire_getdents_slot();
        int rc = read_batch(w, fd, item->path, slot, &eof);
        int err = errno;
        release_getdents_slot();
        errno = err;
        if (rc != 0) {
            report_read_failure(w, rc, item->path, "getdents64 error");
            return;  // what the failed read gathered is dropped
        }
        stat_entries_sync(fd, w->batch[slot], w->batch_count[slot]);
        process_batch(w, item, w->batch[slot], w->batch_count[slot], fcount, dirsum);
    }
}

// Opens and reads the first batch of the next queued directory into `slot`
// while the current directory's last batch is with the kernel. Never waits.
static void prefetch(fr2_worker *w, int slot) {
    if (w->pf_valid || w->sync_mode) return;
    if (!try_acquire_getdents_slot()) return;
    fr2_dir_item *item = fr2_queue_try_pop();
    if (!item) {
        release_getdents_slot();
        return;
    }
    fr2_store(&w->cancel, 0);
    int fd = open_directory(w, item->path);
    if (fd < 0) {
        release_getdents_slot();
        fprintf(stderr, fd == -2 ? "Timeout Dir: %s\n" : "Locked Dir: %s\n", item->path);
        free(item);
        finish_directory();
        return;
    }
    int32_t eof = 0;
    int rc = read_batch(w, fd, item->path, slot, &eof);
    int err = errno;
    release_getdents_slot();
    if (rc != 0) {
        errno = err;
        report_read_failure(w, rc, item->path, "prefetch getdents64 error");
        close(fd);
        free(item);
        finish_directory();
        return;
    }
    w->pf_item = item;
    w->pf_fd = fd;
    w->pf_eof = eof;
    w->pf_slot = slot;
    w->pf_valid = 1;
}

// Reaps the first pass of the batch in `slot` (k entries), then stats the rest
// of the batch in further passes of ring_depth. Returns the batch's entries.
static fr2_entry *stat_whole_batch_wait(fr2_worker *w, fr2_dir_item *item, int fd, int s,
                                        int32_t k) {
    enter_state(w, WORKER_IN_STATX_WAIT, item->path);
    fr2_entry *entries = reap_statx_batch(w, fd, s, w->batch[s], 0, k);
    const int32_t count = w->batch_count[s];
    for (int32_t covered = k; covered < count;) {
        int32_t n = submit_statx_batch(w, fd, entries + covered, count - covered);
        if (n <= 0) break;
        entries = reap_statx_batch(w, fd, s, entries, covered, n);
        covered += n;
    }
    leave_state(w);
    return entries;
}

static void ring_pipeline(fr2_worker *w, fr2_dir_item *item, int fd, int slot, int32_t eof,
                          int64_t *fcount, int64_t *dirsum) {
    int s = slot;  // the slot whose batch is with the kernel
    int32_t k = submit_statx_batch(w, fd, w->batch[s], w->batch_count[s]);
    while (!eof) {
        int n = 1 - s;
        acquire_getdents_slot();
        int rc = read_batch(w, fd, item->path, n, &eof);
        int err = errno;
        release_getdents_slot();
        if (rc != 0) {
            errno = err;
            report_read_failure(w, rc, item->path, "getdents64 error");
            break;  // the batch in flight is still listed below
        }
        fr2_entry *done = stat_whole_batch_wait(w, item, fd, s, k);
        process_batch(w, item, done, w->batch_count[s], fcount, dirsum);
        k = submit_statx_batch(w, fd, w->batch[n], w->batch_count[n]);
        s = n;
    }
    prefetch(w, 1 - s);
    fr2_entry *last = stat_whole_batch_wait(w, item, fd, s, k);
    process_batch(w, item, last, w->batch_count[s], fcount, dirsum);
}

void *fr2_worker_thread(void *arg) {
    fr2_worker *w = static_cast<fr2_worker *>(arg);
    ring_setup(w);

    while (!fr2_load(&g_state.done)) {
        fr2_store(&w->cancel, 0);
        int64_t fcount = 0, dirsum = 0;
        fr2_dir_item *item;
        int fd, slot;
        int32_t eof;
        if (w->pf_valid) {
            item = w->pf_item;
            fd = w->pf_fd;
            eof = w->pf_eof;
            slot = w->pf_slot;
            w->pf_valid = 0;
        } else {
            fr2_store(&w->activity, uint32_t(WORKER_IN_QUEUE_WAIT));
            item = fr2_queue_pop();
            fr2_store(&w->activity, uint32_t(WORKER_IDLE));
            if (!item) break;
            acquire_getdents_slot();
            fd = open_directory(w, item->path);
            if (fd < 0) {
                release_getdents_slot();
                fprintf(stderr, fd == -2 ? "Timeout Dir: %s\n" : "Locked Dir: %s\n", item->path);
                free(item);
                finish_directory();
                continue;
            }
            slot = 0;
            int rc = read_batch(w, fd, item->path, slot, &eof);
            int err = errno;
            release_getdents_slot();
            if (rc != 0) {
                errno = err;
                report_read_failure(w, rc, item->path, "getdents64 error");
                close(fd);
                free(item);
                finish_directory();
                continue;
            }
        }

        if (w->sync_mode)
            sync_pipeline(w, item, fd, slot, eof, &fcount, &dirsum);
        else
            ring_pipeline(w, item, fd, slot, eof, &fcount, &dirsum);

        // The directory's own line, from the metadata its parent's batch gave it.
        const char *last = strrchr(item->path, '/');
        const char *base = last ? last + 1 : item->path;
        fr2_format_dir(w, item->path, fr2_extension(base), &item->stx, item->parent_ino,
                       item->depth, fcount, dirsum);
        count_line(w, item->stx.stx_size);
        close(fd);
        free(item);
        finish_directory();
    }

    if (w->pf_valid) {
        close(w->pf_fd);
        free(w->pf_item);
        w->pf_valid = 0;
        finish_directory();
    }
    fr2_flush_output(w);
    if (w->files_unflushed > 0) publish_counters(w);
    if (!w->sync_mode) ring_teardown(w);
    free(w->batch[0]);
    free(w->batch[1]);
    w->batch[0] = w->batch[1] = nullptr;
    return nullptr;
}
