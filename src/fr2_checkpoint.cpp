// Checkpoints and stopping on SIGTERM or SIGINT. The pause is fr2_pause, the
// file fr2_ckfile, resuming fr2_resume.
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
//   1. g_pause_wanted is set and the queue stops handing out directories.
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
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "fr2.h"
#include "fr2_ckfile.h"
#include "fr2_output.h"
#include "fr2_pause.h"
#include "fr2_queue.h"
#include "fr2_replace.h"

static int g_ck_pipe[2] = {-1, -1};        // signal handler and end of walk -> thread
static std::atomic<int32_t> g_ck_signals;  // SIGTERM and SIGINT received
static pthread_t g_ck_thread;
static bool g_ck_running;
static int64_t g_ck_start_time;

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

// ---- pausing the workers -----------------------------------------------------

// A periodic checkpoint gives up after FR2_CHECKPOINT_PAUSE_SEC (the workers
// go on); a stop waits for as long as it takes, or until a second signal.
static bool ck_wait_for_checkpoint(int64_t waited, int32_t) {
    return waited < FR2_CHECKPOINT_PAUSE_SEC;
}

static bool g_ck_said_waiting;

static bool ck_wait_for_stop(int64_t waited, int32_t busy) {
    if (g_ck_signals.load(std::memory_order_relaxed) > 1) return false;
    if (!g_ck_said_waiting && waited >= 5) {
        fprintf(stderr,
                FR2_PROGRAM_NAME ": stopping: waiting for %d workers busy on "
                                 "storage (a second signal stops at once)\n",
                busy);
        g_ck_said_waiting = true;
    }
    return true;
}

// Pauses every worker: true when all paused and the walk is not over. Else
// the workers go on, but after a second signal, which ends the process.
static bool ck_pause(bool stopping) {
    int32_t busy = 0;
    g_ck_said_waiting = false;
    fr2_pause_result r = fr2_pause_all(stopping ? ck_wait_for_stop : ck_wait_for_checkpoint, &busy);
    if (r == FR2_PAUSE_ALL) return true;
    if (r == FR2_PAUSE_NOT_ALL && stopping)
        ck_exit_now(" at once; the output is incomplete (a checkpoint, if any, still holds)");
    if (r == FR2_PAUSE_NOT_ALL) {
        static bool said_skip;
        if (!said_skip)
            fprintf(stderr,
                    FR2_PROGRAM_NAME ": checkpoint skipped: %d workers still busy after %d s "
                                     "(storage that does not answer?); trying again later\n",
                    busy, FR2_CHECKPOINT_PAUSE_SEC);
        said_skip = true;
    }
    fr2_pause_release();
    return false;
}

// ---- taking a checkpoint ---------------------------------------------------------

static void ck_put_queued(const fr2_dir_item *item, void *ctx) {
    // A queued directory continued from an earlier checkpoint keeps where its
    // reading goes on: its lines up to there are in the committed output.
    fr2_ckfile_put_dir(static_cast<fr2_ckfile_buf *>(ctx), item, nullptr);
}

// The state, with every worker paused; the committed length is sealed in by
// the caller once the output is committed.
static void ck_serialize(fr2_ckfile_buf *b) {
    fr2_ckfile_begin(b, &g_config, g_state.total_files.load(std::memory_order_relaxed),
                     g_state.total_bytes.load(std::memory_order_relaxed),
                     int64_t(time(nullptr)) - g_ck_start_time);
    // Directories in progress first: a resume finishes them before it starts new ones.
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);  // pairs with start-up
    for (int32_t i = 0; i < count; i++) {
        const fr2_pause_slot *slot = fr2_pause_slot_of(i);
        if (!slot->parked || !slot->dir) continue;
        fr2_item_progress at = {slot->offset, slot->fcount, slot->dirsum};
        fr2_ckfile_put_dir(b, slot->dir, &at);
    }
    for (int32_t i = 0; i < count; i++) {
        const fr2_pause_slot *slot = fr2_pause_slot_of(i);
        if (slot->parked && slot->held) ck_put_queued(slot->held, b);
    }
    fr2_queue_visit(ck_put_queued, b);
}

bool fr2_checkpoint_take(const char *path, bool stopping) {
    if (!path) return ck_pause(stopping) && fr2_output_finish() == 0;
    if (!ck_pause(stopping)) return false;
    fr2_ckfile_buf b = {};
    ck_serialize(&b);
    int64_t committed = 0;
    bool ok = !b.failed && fr2_output_commit(&committed) == 0;
    if (!stopping) fr2_pause_release();
    if (b.failed) fprintf(stderr, FR2_PROGRAM_NAME ": checkpoint not written: out of memory\n");
    if (ok) {
        fr2_ckfile_seal(&b, committed);
        const char *what = "";
        static bool said_failure;
        if (b.failed || fr2_replace_file(path, b.data, b.len, &what) != 0) {
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
    fr2_ckfile_buf_free(&b);
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
