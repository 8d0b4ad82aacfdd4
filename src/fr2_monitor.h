// What a worker is blocked on and how much it has done, published for the
// watchdog; the progress reporter and watchdog thread; the no-progress exit.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>

// Worker activity states, published for the watchdog.
enum : uint32_t {
    WORKER_IDLE = 0,
    WORKER_IN_OPEN = 1,
    WORKER_IN_GETDENTS = 2,
    WORKER_IN_STATX_WAIT = 3,
    WORKER_IN_QUEUE_WAIT = 4,
};

// One worker's blocking step and its work done, in a table the monitor owns
// (one record per worker, on cache lines of its own). Entering a timed step:
// cur_path, then since, then activity (release); leaving: activity, then
// since. The watchdog loads activity and since (acquire) and only then reads
// cur_path, which it may see mixed from two paths at worst (it is copied a
// word at a time, relaxed), never torn within a word.
struct fr2_activity {
    alignas(64) std::atomic<uint32_t> activity;  // WORKER_*
    std::atomic<int64_t> since;  // start of the timed step in seconds, 0 when none
    std::atomic<bool> cancel;    // set by the watchdog before it signals the thread
    // Entries statted and lines made, published or not: the monitor's measure
    // of progress. Written by the worker only.
    std::atomic<uint64_t> produced;
    pthread_t thread;                // the worker's, set before the worker count is published
    alignas(8) char cur_path[4096];  // accessed a word at a time through std::atomic_ref
};

// The activity table for `n` workers, zero-filled; start-up makes it before
// the workers start and releases it after the monitor has stopped. 0, or -1
// when memory runs out.
int fr2_activity_table_alloc(int32_t n);
void fr2_activity_table_release(void);
fr2_activity *fr2_activity_of(int32_t worker);
// Whether some started worker is in `state` now.
bool fr2_activity_any(uint32_t state);

// Only the worker writes its count; the monitor reads it.
static inline void fr2_activity_produced(fr2_activity *act, uint64_t n) {
    act->produced.store(act->produced.load(std::memory_order_relaxed) + n,
                        std::memory_order_relaxed);
}

void fr2_activity_enter(fr2_activity *act, uint32_t state, const char *path);
void fr2_activity_leave(fr2_activity *act);
// The untimed queue wait shows only the state; since and cur_path stay.
void fr2_activity_show(fr2_activity *act, uint32_t state);

// Seconds between progress samples, and the first sample's delay.
#define FR2_PROGRESS_INTERVAL_SEC 5
#define FR2_PROGRESS_FIRST_SEC    2
// A worker in open or getdents64 for this long is interrupted.
#define FR2_WATCHDOG_STUCK_SEC    60
// Samples in a row in which no worker did anything, and none waited on the
// output, before the forced exit (300 seconds).
#define FR2_NO_PROGRESS_SAMPLES   60
#define FR2_NO_PROGRESS_SEC       (FR2_NO_PROGRESS_SAMPLES * FR2_PROGRESS_INTERVAL_SEC)
// Exit status of the forced no-progress exit: the walk did not finish and
// buffered lines are lost, so it must not look like success.
#define FR2_EXIT_NO_PROGRESS      3

// What a walk that is one part of a larger one tells the monitor (fsrake2-mpi:
// one rank's). Null hooks: the monitor serves a whole walk of its own.
struct fr2_monitor_hooks {
    // Whether this process holds work of the walk now; one without (a rank
    // waiting for the others) is not stalled. Null: it always does.
    bool (*has_work)(void);
    // The progress lines and the forced exit's summary are printed elsewhere
    // (the job's totals, by rank 0's communication thread).
    bool quiet;
};

// The progress reporter's one sample, with the clock passed in so that its
// boundaries can be tested without waiting minutes.
struct fr2_monitor {
    int64_t prev_files;  // the previous sample's measure of work done
    int32_t stall_count;
    const fr2_monitor_hooks *hooks;  // null: a walk of its own
};
enum fr2_sample_verdict { FR2_SAMPLE_GO_ON = 0, FR2_SAMPLE_NO_PROGRESS = 1 };
fr2_sample_verdict fr2_monitor_sample(fr2_monitor *mon, int64_t now, int64_t start_time);
// Interrupts the workers stuck in open or getdents64 for a minute; returns
// the number of reports.
int64_t fr2_watchdog_scan(int64_t now);
// Installs the empty SIGUSR1 handler through which the watchdog interrupts a
// worker; before any worker starts.
void fr2_watchdog_install_signal(void);

// "fsrake2 done: ..." from the global totals.
void fr2_print_summary_line(int64_t start_time);
// "fsrake2<what> N files, G GB, S sec, R files/sec", flushed.
void fr2_monitor_print_totals(const char *what, int64_t files, int64_t bytes, int64_t now,
                              int64_t start_time);

// Starts the progress thread for a walk that began at start_time; false when
// it could not be started (the walk goes on without it). The hooks (null:
// none) must live until fr2_monitor_stop.
bool fr2_monitor_start(int64_t start_time, const fr2_monitor_hooks *hooks);
// Wakes the progress thread after the walk is done and waits for it.
void fr2_monitor_stop(void);
