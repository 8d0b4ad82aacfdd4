// Checkpoints, resuming, and stopping on SIGTERM or SIGINT.
//
// A checkpoint is the walk's state at one instant at which every line of
// the output up to a length L (committed, on disk) has been written and no
// line beyond it belongs to that state. Its invariant: every directory of the
// walk is, at that instant, exactly one of
//   - finished: its own line and every line of its entries are within L;
//   - in progress: the lines of its entries up to getdents64 offset O are
//     within L, none after O is; the checkpoint holds O and the count and
//     size sum of the entries before O;
//   - queued (or read ahead by a worker, not yet listed): none of its lines
//     is within L; the checkpoint holds its item;
//   - not yet found: its parent is in progress or queued.
// A resume cuts the output back to L and goes on from the queued and
// in-progress directories, so that no line is lost and none written twice.
//
// The timeline of one checkpoint (the checkpoint thread, every
// --checkpoint-every seconds):
//   1. g_ck_pausing is set and the queue stops handing out directories.
//   2. Each worker pauses at its next batch boundary: after a batch was
//      listed and before the next one goes to the kernel (a batch already
//      read but not listed is read again after a resume from the offset of
//      the last listed one). It flushes its output buffer, publishes its
//      counters, fills its slot (directory in progress, its offset and
//      counts, a read-ahead directory) and waits. A worker that waits for
//      work comes out of the queue to pause; one that has left the walk
//      holds nothing.
//   3. When all have paused: the state is serialized from the slots and the
//      queue, and fr2_output_commit writes out and fsyncs the output: L.
//   4. The workers go on. The state goes to CK.tmp, is fsynced and renamed
//      over CK, and the folder is fsynced. A checksum covers the whole file.
// A worker stuck on storage that does not answer never pauses: after
// FR2_CHECKPOINT_PAUSE_SEC the checkpoint is skipped (said once) and tried
// again at the next interval. A file that cannot be written (a full disk)
// is said once and leaves the previous checkpoint as it was.
//
// SIGTERM or SIGINT: the handler only writes a byte to a pipe. The thread
// pauses the workers as for a checkpoint (they finish the batches in hand),
// writes the checkpoint, says how to go on and ends the process with
// FR2_EXIT_STOPPED; without --checkpoint the lines produced are written out
// and the status is the same. A second signal while the workers are being
// paused ends the process at once: the last checkpoint still holds.
#include "fr2_checkpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fr2.h"
#include "fr2_output.h"
#include "fr2_walk.h"

std::atomic<bool> g_ck_pausing;

#define CK_MAGIC       "FR2CKPT"  // and its NUL: 8 bytes
#define CK_VERSION     1u
// magic, version, reserved word, body length; the checksum follows the body.
#define CK_HEADER_SIZE 24

// Pausing: workers wait on workers_cond until the generation moves on; the
// thread waits on coord_cond until every worker paused or left.
static struct {
    pthread_mutex_t lock;
    pthread_cond_t workers_cond;
    pthread_cond_t coord_cond;  // waited on in short slices, so the realtime clock will do
    int32_t parked;
    int32_t exited;
    uint64_t generation;
} g_ck = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0};

static int g_ck_pipe[2] = {-1, -1};        // signal handler and end of walk -> thread
static std::atomic<int32_t> g_ck_signals;  // SIGTERM and SIGINT received
static pthread_t g_ck_thread;
static bool g_ck_running;
static int64_t g_ck_start_time;

// ---- pausing -----------------------------------------------------------------

void fr2_checkpoint_park(fr2_ck_slot *slot) {
    pthread_mutex_lock(&g_ck.lock);
    if (g_ck_pausing.load(std::memory_order_relaxed)) {
        slot->parked = true;
        g_ck.parked++;
        pthread_cond_signal(&g_ck.coord_cond);
        uint64_t gen = g_ck.generation;
        while (gen == g_ck.generation) pthread_cond_wait(&g_ck.workers_cond, &g_ck.lock);
        g_ck.parked--;
        slot->parked = false;
    }
    pthread_mutex_unlock(&g_ck.lock);
}

void fr2_checkpoint_worker_exit(void) {
    pthread_mutex_lock(&g_ck.lock);
    g_ck.exited++;
    pthread_cond_signal(&g_ck.coord_cond);
    pthread_mutex_unlock(&g_ck.lock);
}

static void ck_release(void) {
    // The queue first: a released worker must find it handing out work again.
    fr2_queue_pause(false);
    pthread_mutex_lock(&g_ck.lock);
    g_ck_pausing.store(false, std::memory_order_release);
    g_ck.generation++;
    pthread_cond_broadcast(&g_ck.workers_cond);
    pthread_mutex_unlock(&g_ck.lock);
}

// Ends the process without waiting on anything that may hang: a second
// signal, or a stop that cannot be checkpointed.
[[noreturn]] static void ck_exit_now(const char *why) {
    fr2_output_flush_if_free();
    // The stream's lock is kept until _exit, so that no progress or watchdog
    // line from another thread comes after the last word.
    flockfile(stderr);
    fprintf(stderr, FR2_PROGRAM_NAME ": stopped%s\n", why);
    fflush(stderr);
    _exit(FR2_EXIT_STOPPED);
}

// Pauses every worker. A periodic checkpoint gives up after
// FR2_CHECKPOINT_PAUSE_SEC (the workers go on); a stop waits for as long as
// it takes, or until a second signal. true when all paused and the walk is
// not over.
static bool ck_pause(bool stopping) {
    pthread_mutex_lock(&g_ck.lock);
    g_ck_pausing.store(true, std::memory_order_release);
    pthread_mutex_unlock(&g_ck.lock);
    fr2_queue_pause(true);

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);
    bool all = false, said = false;
    pthread_mutex_lock(&g_ck.lock);
    for (;;) {
        all = g_ck.parked + g_ck.exited >= count;
        if (all) break;
        struct timespec now, until;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long waited = long(now.tv_sec - start.tv_sec);
        if (stopping && g_ck_signals.load(std::memory_order_relaxed) > 1) {
            pthread_mutex_unlock(&g_ck.lock);
            ck_exit_now(" at once; the output is incomplete (a checkpoint, if any, still holds)");
        }
        if (stopping && !said && waited >= 5) {
            fprintf(stderr,
                    FR2_PROGRAM_NAME ": stopping: waiting for %d workers busy on "
                                     "storage (a second signal stops at once)\n",
                    count - g_ck.parked - g_ck.exited);
            said = true;
        }
        if (!stopping && waited >= FR2_CHECKPOINT_PAUSE_SEC) break;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 200 * 1000 * 1000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(&g_ck.coord_cond, &g_ck.lock, &until);
    }
    int32_t busy = count - g_ck.parked - g_ck.exited;
    pthread_mutex_unlock(&g_ck.lock);
    if (!all) {
        static bool said_skip;
        if (!said_skip)
            fprintf(stderr,
                    FR2_PROGRAM_NAME ": checkpoint skipped: %d workers still busy after %d s "
                                     "(storage that does not answer?); trying again later\n",
                    busy, FR2_CHECKPOINT_PAUSE_SEC);
        said_skip = true;
        ck_release();
        return false;
    }
    if (g_state.done.load(std::memory_order_acquire)) {
        ck_release();
        return false;
    }
    return true;
}

// ---- the file format -----------------------------------------------------------
//
//   "FR2CKPT\0", u32 version, u32 0, u64 body length, body, u64 checksum
//   body: str root, str output, i32 max_depth, u8 no_snap, u8 one_file_system,
//         u8 header, u8 0, u32 exclude count, str exclude..., i64 total lines,
//         i64 total bytes, i64 seconds walked, i64 committed output length,
//         u64 directory count, then per directory: u8 in progress, str path,
//         u64 parent inode, i32 depth, its metadata (the statx fields a line
//         shows, see ck_put_stat), i64 offset, i64 count, i64 size sum
//   str: u32 length, bytes. Numbers in the machine's byte order.

static uint64_t ck_checksum(const char *p, size_t n) {
    uint64_t h = 0x6a09e667f3bcc908ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    }
    for (; i < n; i++) {
        h = (h ^ uint8_t(p[i])) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    return h;
}

struct ck_buf {
    char *data;
    size_t len;
    size_t cap;
    bool failed;  // memory ran out
};

static void ck_put(ck_buf *b, const void *p, size_t n) {
    if (b->failed) return;
    if (b->len + n > b->cap) {
        size_t cap = b->cap ? b->cap * 2 : 65536;
        while (cap < b->len + n) cap *= 2;
        char *grown = static_cast<char *>(realloc(b->data, cap));
        if (!grown) {
            b->failed = true;
            return;
        }
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->len, p, n);
    b->len += n;
}

template <typename T> static void ck_put_num(ck_buf *b, T v) { ck_put(b, &v, sizeof v); }

static void ck_put_str(ck_buf *b, const char *s) {
    uint32_t n = s ? uint32_t(strlen(s)) : 0;
    ck_put_num(b, n);
    ck_put(b, s, n);
}

// Only what a directory's line and the walk use of its statx: a quarter of
// the whole record, for checkpoints of millions of queued directories.
static void ck_put_stat(ck_buf *b, const struct statx *x) {
    ck_put_num(b, uint64_t(x->stx_ino));
    ck_put_num(b, uint64_t(x->stx_size));
    ck_put_num(b, uint64_t(x->stx_blocks));
    ck_put_num(b, int64_t(x->stx_atime.tv_sec));
    ck_put_num(b, int64_t(x->stx_mtime.tv_sec));
    ck_put_num(b, int64_t(x->stx_ctime.tv_sec));
    ck_put_num(b, uint32_t(x->stx_uid));
    ck_put_num(b, uint32_t(x->stx_gid));
    ck_put_num(b, uint32_t(x->stx_nlink));
    ck_put_num(b, uint32_t(x->stx_dev_major));
    ck_put_num(b, uint32_t(x->stx_dev_minor));
    ck_put_num(b, uint16_t(x->stx_mode));
}

static void ck_put_dir(ck_buf *b, const fr2_dir_item *item, bool in_progress, int64_t off,
                       int64_t fcount, int64_t dirsum) {
    ck_put_num(b, uint8_t(in_progress));
    ck_put_str(b, item->path);
    ck_put_num(b, item->parent_ino);
    ck_put_num(b, item->depth);
    ck_put_stat(b, &item->stx);
    ck_put_num(b, off);
    ck_put_num(b, fcount);
    ck_put_num(b, dirsum);
}

struct ck_reader {
    const char *p;
    const char *end;
    bool bad;
};

static void ck_get(ck_reader *r, void *out, size_t n) {
    if (r->bad || size_t(r->end - r->p) < n) {
        r->bad = true;
        memset(out, 0, n);
        return;
    }
    memcpy(out, r->p, n);
    r->p += n;
}

template <typename T> static T ck_get_num(ck_reader *r) {
    T v;
    ck_get(r, &v, sizeof v);
    return v;
}

static void ck_get_stat(ck_reader *r, struct statx *x) {
    memset(x, 0, sizeof *x);
    x->stx_mask = STATX_BASIC_STATS;
    x->stx_ino = ck_get_num<uint64_t>(r);
    x->stx_size = ck_get_num<uint64_t>(r);
    x->stx_blocks = ck_get_num<uint64_t>(r);
    x->stx_atime.tv_sec = ck_get_num<int64_t>(r);
    x->stx_mtime.tv_sec = ck_get_num<int64_t>(r);
    x->stx_ctime.tv_sec = ck_get_num<int64_t>(r);
    x->stx_uid = ck_get_num<uint32_t>(r);
    x->stx_gid = ck_get_num<uint32_t>(r);
    x->stx_nlink = ck_get_num<uint32_t>(r);
    x->stx_dev_major = ck_get_num<uint32_t>(r);
    x->stx_dev_minor = ck_get_num<uint32_t>(r);
    x->stx_mode = ck_get_num<uint16_t>(r);
}

// A heap copy (never null unless r->bad), or null for an empty string.
static char *ck_get_str(ck_reader *r, uint32_t max) {
    uint32_t n = ck_get_num<uint32_t>(r);
    if (r->bad || n > max || size_t(r->end - r->p) < n) {
        r->bad = true;
        return nullptr;
    }
    char *s = static_cast<char *>(malloc(size_t(n) + 1));
    if (!s) {
        r->bad = true;
        return nullptr;
    }
    memcpy(s, r->p, n);
    s[n] = 0;
    r->p += n;
    return s;
}

// ---- taking a checkpoint ---------------------------------------------------------

struct ck_queued {
    ck_buf *buf;
    uint64_t count;
};

static void ck_put_queued(const fr2_dir_item *item, void *ctx) {
    ck_queued *q = static_cast<ck_queued *>(ctx);
    ck_put_dir(q->buf, item, false, 0, 0, 0);
    q->count++;
}

// The state, with every worker paused; the committed length is patched in
// by the caller once the output is committed.
static void ck_serialize(ck_buf *b, size_t *committed_at) {
    ck_put(b, CK_MAGIC, 8);
    ck_put_num(b, uint32_t(CK_VERSION));
    ck_put_num(b, uint32_t(0));
    ck_put_num(b, uint64_t(0));  // body length
    ck_put_str(b, g_config.root);
    ck_put_str(b, g_config.output);
    ck_put_num(b, g_config.max_depth);
    ck_put_num(b, uint8_t(g_config.no_snap));
    ck_put_num(b, uint8_t(g_config.one_file_system));
    ck_put_num(b, uint8_t(g_config.header));
    ck_put_num(b, uint8_t(0));
    ck_put_num(b, uint32_t(g_config.exclude.count));
    for (int32_t i = 0; i < g_config.exclude.count; i++) ck_put_str(b, g_config.exclude.paths[i]);
    ck_put_num(b, g_state.total_files.load(std::memory_order_relaxed));
    ck_put_num(b, g_state.total_bytes.load(std::memory_order_relaxed));
    ck_put_num(b, int64_t(time(nullptr)) - g_ck_start_time);
    *committed_at = b->len;
    ck_put_num(b, int64_t(0));
    size_t count_at = b->len;
    ck_put_num(b, uint64_t(0));
    ck_queued q = {b, 0};
    // Directories in progress first: a resume finishes them before it starts new ones.
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);
    for (int32_t i = 0; i < count; i++) {
        const fr2_ck_slot *slot = &g_state.workers[i].ck;
        if (!slot->parked || !slot->dir) continue;
        ck_put_dir(b, slot->dir, true, slot->offset, slot->fcount, slot->dirsum);
        q.count++;
    }
    for (int32_t i = 0; i < count; i++) {
        const fr2_ck_slot *slot = &g_state.workers[i].ck;
        if (slot->parked && slot->held) ck_put_queued(slot->held, &q);
    }
    fr2_queue_visit(ck_put_queued, &q);
    if (!b->failed) memcpy(b->data + count_at, &q.count, sizeof q.count);
}

static void ck_seal(ck_buf *b) {
    uint64_t body = b->len - CK_HEADER_SIZE;
    memcpy(b->data + 16, &body, sizeof body);
    uint64_t sum = ck_checksum(b->data, b->len);
    ck_put_num(b, sum);
}

int fr2_checkpoint_write_file(const char *path, const char *data, size_t len, const char **what) {
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= int(sizeof tmp)) {
        errno = ENAMETOOLONG;
        *what = "name";
        return -1;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *what = "open";
        return -1;
    }
    const char *p = data;
    size_t left = len;
    while (left > 0) {
        ssize_t put = write(fd, p, left);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = ENOSPC;
            *what = "write";
            goto failed;
        }
        p += put;
        left -= size_t(put);
    }
    if (fsync(fd) != 0) {
        *what = "fsync";
        goto failed;
    }
    if (close(fd) != 0) {
        fd = -1;
        *what = "close";
        goto failed;
    }
    fd = -1;
    if (rename(tmp, path) != 0) {
        *what = "rename";
        goto failed;
    }
    {
        char dir[PATH_MAX];
        snprintf(dir, sizeof dir, "%s", path);
        char *slash = strrchr(dir, '/');
        if (slash == dir)
            dir[1] = 0;
        else if (slash)
            *slash = 0;
        else
            strcpy(dir, ".");
        int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            int rc = fsync(dfd);
            int err = errno;
            close(dfd);
            if (rc != 0) {
                errno = err;
                *what = "fsync of the folder";
                return -1;
            }
        }
    }
    return 0;
failed:
    int err = errno;
    if (fd >= 0) close(fd);
    unlink(tmp);
    errno = err;
    return -1;
}

bool fr2_checkpoint_take(const char *path, bool stopping) {
    if (!path) return ck_pause(stopping) && fr2_output_finish() == 0;
    if (!ck_pause(stopping)) return false;
    ck_buf b = {};
    size_t committed_at = 0;
    ck_serialize(&b, &committed_at);
    int64_t committed = 0;
    bool ok = !b.failed && fr2_output_commit(&committed) == 0;
    if (!stopping) ck_release();
    if (b.failed) fprintf(stderr, FR2_PROGRAM_NAME ": checkpoint not written: out of memory\n");
    if (ok) {
        memcpy(b.data + committed_at, &committed, sizeof committed);
        ck_seal(&b);
        const char *what = "";
        static bool said_failure;
        if (b.failed || fr2_checkpoint_write_file(path, b.data, b.len, &what) != 0) {
            ok = false;
            if (!said_failure)
                fprintf(stderr,
                        FR2_PROGRAM_NAME ": checkpoint not written: %s.tmp: %s: %s (the previous "
                                         "checkpoint stays)\n",
                        path, what, b.failed ? "out of memory" : strerror(errno));
            said_failure = true;
        } else {
            said_failure = false;
        }
    }
    free(b.data);
    return ok;
}

// SIGTERM or SIGINT: pause, checkpoint, say how to go on, end.
[[noreturn]] static void ck_stop_run(void) {
    if (g_config.checkpoint) {
        fr2_checkpoint_take(g_config.checkpoint, true);
        if (access(g_config.checkpoint, F_OK) == 0) {
            char how[PATH_MAX + 32];
            snprintf(how, sizeof how, "; resume with --resume %s", g_config.checkpoint);
            ck_exit_now(how);
        }
        ck_exit_now("; no checkpoint could be written, the output is incomplete");
    }
    fr2_checkpoint_take(nullptr, true);
    ck_exit_now("; the output is incomplete");
}

// ---- the thread and the signals ----------------------------------------------------

static void ck_signal_handler(int) {
    int err = errno;
    g_ck_signals.fetch_add(1, std::memory_order_relaxed);
    ssize_t rc = write(g_ck_pipe[1], "s", 1);
    (void)rc;
    errno = err;
}

static double ck_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

static void *ck_thread(void *) {
    double every = g_config.checkpoint_every;
    double next = ck_now() + every;
    for (;;) {
        int timeout_ms = -1;
        if (g_config.checkpoint) {
            double left = next - ck_now();
            timeout_ms = left <= 0 ? 0 : int(left * 1000) + 1;
        }
        struct pollfd pfd = {g_ck_pipe[0], POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) > 0) {
            char bytes[16];
            ssize_t n = read(g_ck_pipe[0], bytes, sizeof bytes);
            (void)n;
        }
        if (g_state.done.load(std::memory_order_acquire)) return nullptr;
        if (g_ck_signals.load(std::memory_order_relaxed) > 0) ck_stop_run();
        if (g_config.checkpoint && ck_now() >= next) {
            fr2_checkpoint_take(g_config.checkpoint, false);
            next = ck_now() + every;
        }
    }
}

void fr2_checkpoint_catch_stops(void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

bool fr2_checkpoint_start(int64_t start_time) {
    g_ck_start_time = start_time;
    if (pipe2(g_ck_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror(FR2_PROGRAM_NAME ": pipe");
        return false;
    }
    fr2_checkpoint_catch_stops(ck_signal_handler);

    g_ck_running = pthread_create(&g_ck_thread, nullptr, ck_thread, nullptr) == 0;
    if (!g_ck_running)
        fprintf(stderr, FR2_PROGRAM_NAME ": could not start the checkpoint thread\n");
    return g_ck_running;
}

void fr2_checkpoint_coordinated(int64_t start_time) { g_ck_start_time = start_time; }

void fr2_checkpoint_stop(void) {
    if (!g_ck_running) return;
    ssize_t rc = write(g_ck_pipe[1], "q", 1);  // the thread sees done
    (void)rc;
    pthread_join(g_ck_thread, nullptr);
    g_ck_running = false;
}

void fr2_checkpoint_remove(void) {
    if (g_config.checkpoint && unlink(g_config.checkpoint) != 0 && errno != ENOENT)
        fprintf(stderr, FR2_PROGRAM_NAME ": cannot remove the checkpoint %s: %s\n",
                g_config.checkpoint, strerror(errno));
}

// ---- resuming ------------------------------------------------------------------------

static struct {
    char *root;
    char *output;
    int64_t total_files;
    int64_t total_bytes;
    int64_t elapsed;
    int64_t committed;
    fr2_dir_item **dirs;
    uint64_t ndirs;
} g_resume;

int64_t fr2_checkpoint_resume_committed(void) { return g_resume.committed; }
int64_t fr2_checkpoint_resume_elapsed(void) { return g_resume.elapsed; }

static int ck_refuse(const char *ck, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static int ck_refuse(const char *ck, const char *fmt, ...) {
    char why[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, sizeof why, fmt, ap);
    va_end(ap);
    fprintf(stderr, FR2_PROGRAM_NAME ": cannot resume from %s: %s\n", ck, why);
    return 1;
}

// Reads the whole file. 0, or the status after the refusal.
static int ck_read_file(const char *path, char **data, size_t *len) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        if (fd >= 0) close(fd);
        return ck_refuse(path, "%s", strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return ck_refuse(path, "not a regular file");
    }
    char *buf = static_cast<char *>(malloc(size_t(st.st_size) + 1));
    size_t got = 0;
    while (buf && got < size_t(st.st_size)) {
        ssize_t n = read(fd, buf + got, size_t(st.st_size) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    int err = errno;
    close(fd);
    if (!buf || got < size_t(st.st_size)) {
        free(buf);
        return ck_refuse(path, "%s", buf ? strerror(err) : "out of memory");
    }
    *data = buf;
    *len = got;
    return 0;
}

static bool ck_same(const char *a, const char *b) { return strcmp(a ? a : "", b ? b : "") == 0; }

// Options given beside --resume must be those of the walk it continues.
static int ck_compare_options(const fr2_config *cfg, const fr2_config *rec, const char *ck) {
    const char *clash = nullptr;
    if (cfg->root && !ck_same(cfg->root, rec->root))
        clash = "the directory";
    else if ((cfg->given & FR2_GIVEN_DEPTH) && cfg->max_depth != rec->max_depth)
        clash = "--depth";
    else if ((cfg->given & FR2_GIVEN_NOSNAP) && !rec->no_snap)
        clash = "--NoSnap";
    else if ((cfg->given & FR2_GIVEN_ONE_FS) && !rec->one_file_system)
        clash = "--one-file-system";
    else if ((cfg->given & FR2_GIVEN_HEADER) && !rec->header)
        clash = "--header";
    else if ((cfg->given & FR2_GIVEN_OUTPUT) && !ck_same(cfg->output, rec->output))
        clash = "--output";
    else if ((cfg->given & FR2_GIVEN_CHECKPOINT) && !ck_same(cfg->checkpoint, cfg->resume))
        clash = "--checkpoint (a resumed walk checkpoints into the file it resumed from)";
    else if (cfg->given & FR2_GIVEN_EXCLUDE) {
        bool same = cfg->exclude.count == rec->exclude.count;
        for (int32_t i = 0; same && i < cfg->exclude.count; i++)
            same = ck_same(cfg->exclude.paths[i], rec->exclude.paths[i]);
        if (!same) clash = "--exclude";
    }
    if (clash) return ck_refuse(ck, "%s given differs from the walk it holds", clash);
    return 0;
}

int fr2_checkpoint_load(fr2_config *cfg) {
    const char *ck = cfg->resume;
    char *data = nullptr;
    size_t len = 0;
    int status = ck_read_file(ck, &data, &len);
    if (status) return status;

    fr2_config rec = {};
    ck_reader r = {data, data + len, false};
    uint32_t version = 0;
    uint64_t body = 0;
    if (len < 8 || memcmp(data, CK_MAGIC, 8) != 0) {
        status = ck_refuse(ck, "not a checkpoint of " FR2_PROGRAM_NAME);
        goto out;
    }
    memcpy(&version, data + 8, 4);
    if (len >= 12 && version != CK_VERSION) {
        status = ck_refuse(ck, "format version %u; this " FR2_PROGRAM_NAME " reads version %u",
                           version, CK_VERSION);
        goto out;
    }
    if (len >= CK_HEADER_SIZE) memcpy(&body, data + 16, 8);
    if (len < CK_HEADER_SIZE || body > len || len - CK_HEADER_SIZE - body != 8) {
        status = ck_refuse(ck, "the file is cut short or padded (%zu bytes)", len);
        goto out;
    }
    {
        uint64_t sum;
        memcpy(&sum, data + len - 8, 8);
        if (sum != ck_checksum(data, len - 8)) {
            status = ck_refuse(ck, "checksum mismatch: the file is corrupt");
            goto out;
        }
    }
    r.p = data + CK_HEADER_SIZE;
    r.end = data + len - 8;
    g_resume.root = ck_get_str(&r, FR2_MAX_PATH);
    g_resume.output = ck_get_str(&r, PATH_MAX);
    rec.root = g_resume.root;
    rec.output = g_resume.output;
    rec.max_depth = ck_get_num<int32_t>(&r);
    rec.no_snap = ck_get_num<uint8_t>(&r);
    rec.one_file_system = ck_get_num<uint8_t>(&r);
    rec.header = ck_get_num<uint8_t>(&r);
    ck_get_num<uint8_t>(&r);
    {
        uint32_t n = ck_get_num<uint32_t>(&r);
        if (n > FR2_MAX_EXCLUDES) r.bad = true;
        for (uint32_t i = 0; i < n && !r.bad; i++)
            rec.exclude.paths[rec.exclude.count++] = ck_get_str(&r, 4096);
    }
    g_resume.total_files = ck_get_num<int64_t>(&r);
    g_resume.total_bytes = ck_get_num<int64_t>(&r);
    g_resume.elapsed = ck_get_num<int64_t>(&r);
    g_resume.committed = ck_get_num<int64_t>(&r);
    g_resume.ndirs = ck_get_num<uint64_t>(&r);
    if (!r.bad && g_resume.ndirs > uint64_t(r.end - r.p)) r.bad = true;
    if (!r.bad) {
        g_resume.dirs =
            static_cast<fr2_dir_item **>(calloc(g_resume.ndirs + 1, sizeof(fr2_dir_item *)));
        if (!g_resume.dirs) r.bad = true;
    }
    for (uint64_t i = 0; i < g_resume.ndirs && !r.bad; i++) {
        uint8_t in_progress = ck_get_num<uint8_t>(&r);
        char *path = ck_get_str(&r, FR2_MAX_PATH);
        if (r.bad || !path) {
            free(path);
            r.bad = true;
            break;
        }
        fr2_dir_item *item = fr2_dir_item_new(path, strlen(path));
        free(path);
        if (!item) {
            r.bad = true;
            break;
        }
        g_resume.dirs[i] = item;
        item->parent_ino = ck_get_num<uint64_t>(&r);
        item->depth = ck_get_num<int32_t>(&r);
        ck_get_stat(&r, &item->stx);
        item->resume_off = ck_get_num<int64_t>(&r);
        item->resume_fcount = ck_get_num<int64_t>(&r);
        item->resume_dirsum = ck_get_num<int64_t>(&r);
        if (!in_progress) item->resume_off = item->resume_fcount = item->resume_dirsum = 0;
    }
    if (r.bad || r.p != r.end || !rec.root) {
        status = ck_refuse(ck, "its contents do not add up (a checksum that matches by chance?)");
        goto out;
    }
    status = ck_compare_options(cfg, &rec, ck);
    if (status) goto out;
    {
        const char *out_path = rec.output;
        struct stat st;
        if (!out_path) {
            status = ck_refuse(ck, "it names no output file");
            goto out;
        }
        if (stat(out_path, &st) != 0) {
            status = ck_refuse(ck, "its output %s: %s", out_path, strerror(errno));
            goto out;
        }
        if (st.st_size < g_resume.committed) {
            status = ck_refuse(ck, "its output %s holds %lld bytes, fewer than the %lld committed",
                               out_path, (long long)st.st_size, (long long)g_resume.committed);
            goto out;
        }
    }
    // The walk's own options; the ones that only steer the speed stay as given.
    cfg->root = rec.root;
    cfg->output = rec.output;
    cfg->max_depth = rec.max_depth;
    cfg->no_snap = rec.no_snap;
    cfg->one_file_system = rec.one_file_system;
    cfg->header = false;  // already at the head of the output
    for (int32_t i = 0; i < cfg->exclude.count; i++) free(cfg->exclude.paths[i]);
    cfg->exclude = rec.exclude;
    rec.exclude.count = 0;
    cfg->checkpoint = cfg->resume;
out:
    for (int32_t i = 0; i < rec.exclude.count; i++) free(rec.exclude.paths[i]);
    if (status && g_resume.dirs) {
        for (uint64_t i = 0; i < g_resume.ndirs; i++) free(g_resume.dirs[i]);
        free(g_resume.dirs);
        g_resume.dirs = nullptr;
    }
    free(data);
    return status;
}

int fr2_checkpoint_restore(void) {
    g_state.total_files.store(g_resume.total_files, std::memory_order_relaxed);
    g_state.total_bytes.store(g_resume.total_bytes, std::memory_order_relaxed);
    for (uint64_t i = 0; i < g_resume.ndirs; i++) fr2_queue_add(g_resume.dirs[i]);
    // A checkpoint of a walk with nothing left to read: it is over at once,
    // unless other ranks hold this one's walk open.
    if (g_resume.ndirs == 0 && g_state.dirs_pending.load(std::memory_order_acquire) == 0)
        g_state.done.store(true, std::memory_order_release);
    free(g_resume.dirs);
    g_resume.dirs = nullptr;
    return 0;
}
