// One run of the scanner: the command line, start-up, the walk and its end;
// and the start-up that fsrake2-mpi shares with it.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include "fr2_monitor.h"

// Runs fsrake2 with these arguments and returns its exit status. Never exits
// the process itself, but for the watchdog's forced exit and a failed output
// write, which end the run where they happen.
int fr2_main(int argc, char **argv);

// ---- start-up, shared by both programs ----------------------------------------
//
// In this order, on the main thread, after the configuration is read:
// fr2_state_init, fr2_run_fit_descriptor_limit, fr2_load_init, the output,
// the root (fr2_run_stat_root, then fr2_run_queue_root or fr2_resume_restore),
// fr2_run_start; then fr2_run_join once the walk is over.

// Stats the root: 0 with its own metadata in *stx and the device that
// --one-file-system keeps to in *dev; else its errno, after the message.
int fr2_run_stat_root(const char *dir, struct statx *stx, uint64_t *dev);
// Queues the root as the walk's first directory. 0, or 1 after the message.
int fr2_run_queue_root(const char *dir, const struct statx *stx);
// Raises the soft descriptor limit to the hard one and fits the walk to what
// is left: first without prefetches, then with fewer workers (said once).
// Sets g_state.prefetch and may lower g_config.threads.
void fr2_run_fit_descriptor_limit(void);
// Makes the worker table and each module's per-worker table, starts the
// workers, then the monitor (with its hooks, null: none) and, when asked,
// the checkpoint thread (which also catches SIGTERM and SIGINT). false, after
// the message, when not even one worker could be started.
bool fr2_run_start(int64_t start_time, const fr2_monitor_hooks *hooks, bool checkpoint_thread);
// Waits for every worker, marks the walk done, stops the threads that
// fr2_run_start started and releases the tables.
void fr2_run_join(void);
