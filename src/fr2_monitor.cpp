// The progress reporter and watchdog: one thread that prints a progress line
// every five seconds, interrupts workers stuck for a minute in open or
// getdents64, and ends the run when no line has been written for five minutes.
#include "fr2_monitor.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "fr2.h"
#include "fr2_output.h"

// ---- the activity a worker publishes --------------------------------------------

static fr2_activity *g_activity;  // one record per worker

int fr2_activity_table_alloc(int32_t n) {
    fr2_table_free(g_activity);
    g_activity = static_cast<fr2_activity *>(fr2_table_alloc(size_t(n), sizeof(fr2_activity)));
    if (!g_activity) return -1;
    // The atomics are brought to life in place; the paths stay untouched pages.
    for (int32_t i = 0; i < n; i++) new (&g_activity[i]) fr2_activity;
    return 0;
}

void fr2_activity_table_release(void) {
    fr2_table_free(g_activity);
    g_activity = nullptr;
}

fr2_activity *fr2_activity_of(int32_t worker) { return &g_activity[worker]; }

bool fr2_activity_any(uint32_t state) {
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);  // pairs with start-up
    for (int32_t i = 0; i < count; i++)
        if (g_activity[i].activity.load(std::memory_order_acquire) == state) return true;
    return false;
}

// cur_path is read by the watchdog while the worker may move on, so it is
// written word by word with atomic stores: the text may be mixed from two
// paths at worst, but never a data race.
static void monitor_set_cur_path(fr2_activity *act, const char *path) {
    uint64_t *dst = reinterpret_cast<uint64_t *>(act->cur_path);
    size_t len = strnlen(path, sizeof act->cur_path - 1);  // the last byte stays NUL
    for (size_t off = 0; off <= len; off += 8) {
        uint64_t word = 0;
        size_t take = len + 1 - off < 8 ? len + 1 - off : 8;
        memcpy(&word, path + off, take);
        if (off + take == len + 1)  // this word ends the copy: put its NUL in
            reinterpret_cast<char *>(&word)[len - off] = 0;
        std::atomic_ref<uint64_t>(dst[off / 8]).store(word, std::memory_order_relaxed);
    }
}

void fr2_activity_enter(fr2_activity *act, uint32_t state, const char *path) {
    monitor_set_cur_path(act, path);
    act->since.store(int64_t(time(nullptr)), std::memory_order_release);
    act->activity.store(state, std::memory_order_release);  // pairs with the watchdog's acquire
}

void fr2_activity_leave(fr2_activity *act) {
    act->activity.store(WORKER_IDLE, std::memory_order_release);
    act->since.store(0, std::memory_order_release);
}

void fr2_activity_show(fr2_activity *act, uint32_t state) {
    act->activity.store(state, std::memory_order_release);
}

// ---- the watchdog ------------------------------------------------------------

static const char *monitor_activity_name(uint32_t activity) {
    switch (activity) {
    case WORKER_IN_OPEN: return "open()";
    case WORKER_IN_GETDENTS: return "getdents64()";
    default: return "unknown";
    }
}

static void monitor_sigusr1_handler(int) {}

void fr2_watchdog_install_signal(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = monitor_sigusr1_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the signal must break a blocked open or getdents64
    sigaction(SIGUSR1, &sa, nullptr);
}

int64_t fr2_watchdog_scan(int64_t now) {
    int64_t reports = 0;
    int32_t count =
        g_state.worker_count.load(std::memory_order_acquire);  // pairs with start-up's release
    for (int32_t i = 0; i < count; i++) {
        fr2_activity *act = &g_activity[i];
        uint32_t activity = act->activity.load(std::memory_order_acquire);
        if (activity == WORKER_IDLE || activity == WORKER_IN_STATX_WAIT ||
            activity == WORKER_IN_QUEUE_WAIT)
            continue;
        int64_t since = act->since.load(std::memory_order_acquire);
        if (since == 0) continue;
        long stuck = long(now - since);
        if (stuck < FR2_WATCHDOG_STUCK_SEC) continue;
        // The worker writes cur_path word by word with atomic stores and may
        // move on as soon as it is signalled: take the text first.
        char path[sizeof act->cur_path];
        uint64_t *words = reinterpret_cast<uint64_t *>(act->cur_path);
        for (size_t k = 0; k < sizeof path / 8; k++) {
            uint64_t word = std::atomic_ref<uint64_t>(words[k]).load(std::memory_order_relaxed);
            memcpy(path + 8 * k, &word, 8);
            if (memchr(&word, 0, 8)) break;
        }
        path[sizeof path - 1] = 0;
        // The flag is stored before the signal, so the interrupted call finds it.
        act->cancel.store(true, std::memory_order_release);
        pthread_kill(act->thread, SIGUSR1);
        fprintf(stderr, FR2_PROGRAM_NAME ": watchdog: worker %d stuck in %s for %lds on %s\n", i,
                monitor_activity_name(activity), stuck, path);
        reports++;
    }
    if (reports) fflush(stderr);
    return reports;
}

// ---- progress ------------------------------------------------------------------

void fr2_monitor_print_totals(const char *what, int64_t files, int64_t bytes, int64_t now,
                              int64_t start_time) {
    long elapsed = long(now - start_time);
    long rate = elapsed > 0 ? long(files / elapsed) : 0;
    double gb = double(bytes) / 1073741824.0;
    fprintf(stderr, FR2_PROGRAM_NAME "%s %lld files, %.2f GB, %ld sec, %ld files/sec\n", what,
            (long long)files, gb, elapsed, rate);
    fflush(stderr);
}

void fr2_print_summary_line(int64_t start_time) {
    fr2_monitor_print_totals(" done:", g_state.total_files.load(std::memory_order_relaxed),
                             g_state.total_bytes.load(std::memory_order_relaxed),
                             int64_t(time(nullptr)), start_time);
}

fr2_sample_verdict fr2_monitor_sample(fr2_monitor *mon, int64_t now, int64_t start_time) {
    const fr2_monitor_hooks *hooks = mon->hooks;
    int64_t files = g_state.total_files.load(std::memory_order_relaxed);
    if (!hooks || !hooks->quiet)
        fr2_monitor_print_totals(":", files, g_state.total_bytes.load(std::memory_order_relaxed),
                                 now, start_time);
    fr2_watchdog_scan(now);

    // Progress is what the workers have done, published or not: lines still
    // in their buffers count, so a dead mount met before the first count was
    // published ends the run too. Workers blocked on a slow reader of the
    // output wait on the reader, not on storage, however long that takes.
    // A part of a larger walk that holds no work waits for the others.
    int64_t done_so_far = files;
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);  // pairs with start-up
    for (int32_t i = 0; i < count; i++)
        done_so_far += int64_t(g_activity[i].produced.load(std::memory_order_relaxed));
    bool output_wait = g_state.output_waiting.load(std::memory_order_relaxed) > 0;
    bool idle = hooks && hooks->has_work && !hooks->has_work();

    fr2_sample_verdict verdict = FR2_SAMPLE_GO_ON;
    if (output_wait || idle || done_so_far != mon->prev_files) {
        mon->stall_count = 0;
    } else if (++mon->stall_count >= FR2_NO_PROGRESS_SAMPLES) {
        fprintf(stderr,
                FR2_PROGRAM_NAME ": no progress for %d seconds, forcing exit (threads stuck on "
                                 "uninterruptible I/O)\n",
                FR2_NO_PROGRESS_SEC);
        verdict = FR2_SAMPLE_NO_PROGRESS;
    }
    mon->prev_files = done_so_far;
    return verdict;
}

// ---- the progress thread ---------------------------------------------------------

// The progress thread sleeps on this condition so that the end of the run can
// wake it and wait for it: the activity table is released only after that, so
// the thread never reads released memory.
static pthread_mutex_t g_monitor_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_monitor_cond;
static pthread_t g_monitor_thread;
static bool g_monitor_running;
static int64_t g_monitor_start_time;
static const fr2_monitor_hooks *g_monitor_hooks;

// Sleeps up to `seconds`, or until the end of the walk is announced.
static void monitor_sleep(int seconds) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += seconds;
    pthread_mutex_lock(&g_monitor_lock);
    while (!g_state.done.load(std::memory_order_acquire) &&
           pthread_cond_timedwait(&g_monitor_cond, &g_monitor_lock, &until) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&g_monitor_lock);
}

static void *monitor_thread(void *) {
    fr2_monitor mon = {0, 0, g_monitor_hooks};
    monitor_sleep(FR2_PROGRESS_FIRST_SEC);
    while (!g_state.done.load(std::memory_order_acquire)) {
        if (fr2_monitor_sample(&mon, int64_t(time(nullptr)), g_monitor_start_time) ==
            FR2_SAMPLE_NO_PROGRESS) {
            flockfile(stderr);  // kept until _exit: the summary is the last line
            if (!g_monitor_hooks || !g_monitor_hooks->quiet)
                fr2_print_summary_line(g_monitor_start_time);
            // Workers may be stuck for good, holding locks: end the process
            // here without waiting on anything but what is already written.
            fr2_output_flush_if_free();
            _exit(FR2_EXIT_NO_PROGRESS);
        }
        monitor_sleep(FR2_PROGRESS_INTERVAL_SEC);
    }
    return nullptr;
}

bool fr2_monitor_start(int64_t start_time, const fr2_monitor_hooks *hooks) {
    g_monitor_start_time = start_time;
    g_monitor_hooks = hooks;
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&g_monitor_cond, &ca);
    pthread_condattr_destroy(&ca);
    g_monitor_running = pthread_create(&g_monitor_thread, nullptr, monitor_thread, nullptr) == 0;
    return g_monitor_running;
}

void fr2_monitor_stop(void) {
    // The caller has set done; the broadcast under the lock cannot be missed.
    pthread_mutex_lock(&g_monitor_lock);
    pthread_cond_broadcast(&g_monitor_cond);
    pthread_mutex_unlock(&g_monitor_lock);
    if (g_monitor_running) pthread_join(g_monitor_thread, nullptr);
    g_monitor_running = false;
}
