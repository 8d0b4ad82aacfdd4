// Checkpoints of a walk, and stopping on SIGTERM or SIGINT. The design, the
// timeline of one checkpoint and its invariant are at the top of
// fr2_checkpoint.cpp.
#pragma once

#include <stdint.h>

// Exit status of a run stopped by SIGTERM or SIGINT (sysexits' EX_TEMPFAIL:
// try again, with --resume): the output is incomplete.
#define FR2_EXIT_STOPPED         75
// How long a periodic checkpoint waits for every worker to pause before it is
// skipped and tried again at the next interval.
#define FR2_CHECKPOINT_PAUSE_SEC 30

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
// Stops the checkpoint thread after the walk is done.
void fr2_checkpoint_stop(void);
// After a finished walk whose output is complete: removes the checkpoint.
void fr2_checkpoint_remove(void);
