// fsrake2: the walk state that the modules share, and the constants of the
// program as a whole. Each module has its own header for its interface; the
// file map is at the top of fsrake2.cpp.
//
// Locks, what each guards, and what may be taken under it:
//   queue lock (fr2_queue)       the queue's links and its paused flag; the
//                                end-of-walk broadcast. Nothing under it.
//   read-admission lock (queue)  the gate's count of readers. Nothing under it.
//   load lock (fr2_load)         the window's controller, its waiters, the
//                                trace file. Only the trace file's stream.
//   pause lock (fr2_pause)       who is parked or gone, the generation. Only
//                                standard error's stream (a stop's wait line).
//   monitor lock (fr2_monitor)   the progress thread's sleep. Nothing under it.
//   outbox lock (fsrake2-mpi)    the chunk reports for other ranks. Nothing.
//   a worker's buffer lock       its output buffer and compressor. Under it,
//     (fr2_output)               in this order: the output lock (a full buffer
//                                goes out), the output-failure lock (that
//                                write failed), standard error's stream.
//   output lock (fr2_output)     the destination: descriptor, length written.
//                                Only standard output's stream (its flush).
//   output-failure lock (output) the one report of a failed write. Only
//                                standard error's stream.
//   standard error's stream      each message; held for good by the two
//                                forced ends (the no-progress exit, a stop's
//                                last words), so that their line is the last.
// Every nesting follows that order: buffer, then output or failure, then the
// stream. The forced ends go the other way (stream, output, buffers, failure)
// with trylock only, so a worker stuck holding any of them never stops the
// process from ending. No other path holds two locks.
//
// Atomics: fields that more than one thread touches are std::atomic at the
// field, and every access names its memory order.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#define FR2_PROGRAM_NAME "fsrake2"
#define FR2_VERSION      "1.0.0 2025 io_uring rewrite"

// A call that gave up because the watchdog cancelled it; -1 is any other
// failure, with errno set.
#define FR2_CANCELLED (-2)

// The state of one walk that more than one module reads: the end-of-walk count
// and flag, the global totals and the number of workers.
struct fr2_state {
    // Directory items counted in and not yet finished (fr2_queue).
    std::atomic<int32_t> dirs_pending;
    // The walk is over: set by the finish that brings dirs_pending to 0, and
    // by start-up after the join. Never cleared during a walk.
    std::atomic<bool> done;
    // Lines written and the sum of their sizes, published by the workers in
    // portions; only shown, so relaxed order is enough (the final summary is
    // read after the join).
    std::atomic<int64_t> total_files;
    std::atomic<int64_t> total_bytes;
    // Device of the root, for --one-file-system; set before any worker runs.
    uint64_t root_dev;
    // Workers started. Each module that keeps a part of every worker (its
    // output buffer, its activity, its pause slot) has its table filled
    // before start-up publishes this count (release); a reader of a table
    // loads it with acquire and looks at no record past it. 0 again once
    // the workers have been joined, before the tables go.
    std::atomic<int32_t> worker_count;
    // Workers blocked writing standard output (or waiting for its lock): they
    // wait on the reader, not on storage, which the monitor must know.
    std::atomic<int32_t> output_waiting;
    // The descriptor limit leaves room for each worker to hold a prefetched
    // directory; set by start-up before any worker runs.
    bool prefetch;
    // Why the root could not be read (an errno), else 0: the run then ends
    // with that status.
    std::atomic<int32_t> root_errno;
};

extern fr2_state g_state;

// Zeroes the walk state and empties the queue and the read-admission gate.
// Only while no other thread runs.
void fr2_state_init(void);

// A zero-filled table of n records of `size` bytes (a multiple of 64) that
// starts on a cache line, so that no two workers' records share one. Pages
// stay untouched until used. Null when memory runs out; freed with
// fr2_table_free (null: nothing).
void *fr2_table_alloc(size_t n, size_t size);
void fr2_table_free(void *table);

// Sizes are summed up to the largest value the signed 64-bit columns hold and
// stay there: two files of 2^63-1 bytes must not wrap to a negative sum.
static inline int64_t fr2_size_add(int64_t sum, uint64_t size) {
    return size > uint64_t(INT64_MAX - sum) ? INT64_MAX : sum + int64_t(size);
}

// glibc's makedev rule, spelled out so the device column never depends on
// which headers happen to be included.
static inline uint64_t fr2_makedev(uint32_t major, uint32_t minor) {
    uint64_t ma = major, mi = minor;
    return ((ma & 0xfff) << 8) | (mi & 0xff) | ((mi & ~0xffull) << 12) | ((ma & ~0xfffull) << 32);
}
