// Checkpoints of a walk, resuming one, and stopping on SIGTERM or SIGINT.
// The design, the timeline of one checkpoint and its invariant are at the top
// of fr2_checkpoint.cpp.
#pragma once

#include <stdint.h>

#include <atomic>

#include "fr2_config.h"
#include "fr2_queue.h"

// Exit status of a run stopped by SIGTERM or SIGINT (sysexits' EX_TEMPFAIL:
// try again, with --resume): the output is incomplete.
#define FR2_EXIT_STOPPED         75
// How long a periodic checkpoint waits for every worker to pause before it is
// skipped and tried again at the next interval.
#define FR2_CHECKPOINT_PAUSE_SEC 30

// What a paused worker holds, read by the checkpoint while it waits.
struct fr2_ck_slot {
    const fr2_dir_item *dir;  // the directory in progress, or null
    int64_t offset;           // where its reading goes on
    int64_t fcount;           // what its listed entries counted
    int64_t dirsum;
    const fr2_dir_item *held;  // read ahead but not listed: queued again on a resume
    bool parked;               // under the checkpoint's lock
};

extern std::atomic<bool> g_ck_pausing;

// A checkpoint asks the workers to pause: tested at every batch boundary.
static inline bool fr2_checkpoint_pausing(void) {
    return g_ck_pausing.load(std::memory_order_acquire);
}
// Waits while a checkpoint is being taken. The caller has flushed its output
// buffer, published its counters and filled its slot. Returns at once when
// no checkpoint is under way.
void fr2_checkpoint_park(fr2_ck_slot *slot);
// A worker leaves the walk: it holds nothing a checkpoint must wait for.
void fr2_checkpoint_worker_exit(void);

// --resume: reads and checks the checkpoint named in cfg->resume, compares
// the options given beside it, and fills cfg with the walk's own (root,
// output, options). Nothing is touched. 0, or the exit status after one line.
int fr2_checkpoint_load(fr2_config *cfg);
// The resumed walk's length of committed output, and the seconds its earlier
// runs took.
int64_t fr2_checkpoint_resume_committed(void);
int64_t fr2_checkpoint_resume_elapsed(void);
// Queues the directories of the loaded checkpoint and sets the totals to what
// the earlier runs listed. Before the workers start.
int fr2_checkpoint_restore(void);

// SIGTERM and SIGINT go to `handler` (restarting what they interrupt).
void fr2_checkpoint_catch_stops(void (*handler)(int));
// Installs the SIGTERM and SIGINT handlers and starts the checkpoint thread,
// which takes the periodic checkpoints and stops the run on a signal. The
// start time counts the earlier runs of a resumed walk. false when the
// thread could not be started.
bool fr2_checkpoint_start(int64_t start_time);
// For checkpoints that another thread takes (the communication thread of a
// multi-node walk): no checkpoint thread and no signal handlers, only the
// start time that the seconds walked count from.
void fr2_checkpoint_coordinated(int64_t start_time);
// Pauses the workers and writes the walk's state to `path`, its output
// committed first (null: only writes out what was listed). When stopping,
// the workers stay paused for good; otherwise they go on once the state is
// serialized. true when it is on disk; a failure is said once.
bool fr2_checkpoint_take(const char *path, bool stopping);
// Writes `len` bytes to PATH.tmp, syncs them, renames the file over PATH and
// syncs the folder. 0, or -1 with errno and *what naming the step.
int fr2_checkpoint_write_file(const char *path, const char *data, size_t len, const char **what);
// Stops the checkpoint thread after the walk is done.
void fr2_checkpoint_stop(void);
// After a finished walk whose output is complete: removes the checkpoint.
void fr2_checkpoint_remove(void);
