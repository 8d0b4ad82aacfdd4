// The worker threads: each takes directories from the queue, reads them in
// batches, has their metadata fetched, writes the lines and queues the
// subdirectories. The only module that puts the others together; only it
// and start-up know the worker record.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "fr2_dirent.h"
#include "fr2_load.h"
#include "fr2_monitor.h"
#include "fr2_output.h"
#include "fr2_pause.h"
#include "fr2_queue.h"
#include "fr2_stat.h"

#define FR2_PATH_BUF_SIZE 8192
#define FR2_PUBLISH_EVERY 100  // lines a worker counts before publishing

// One worker's own record. The parts that other threads look at belong to
// their modules, in tables of their own (one record per worker, each in its
// own cache lines), and the worker holds pointers to them; start-up sets
// them before the worker starts.
struct fr2_worker {
    int32_t id;
    pthread_t thread;
    fr2_activity *act;   // what the watchdog sees and sets (fr2_monitor)
    fr2_outbuf *out;     // its lines on their way to the output (fr2_output)
    fr2_pause_slot *ck;  // what it holds while a checkpoint is taken (fr2_pause)
    fr2_stat stat;
    fr2_batch batch[2];     // two arrays, so one batch is read while the other is statted
    fr2_dir_item *pf_item;  // the prefetched directory, when pf_valid
    int32_t pf_fd;
    int32_t pf_slot;
    bool pf_valid;
    bool pf_eof;
    fr2_load_lease lease;  // what the worker holds of the load window
    alignas(64) char dirent_buf[FR2_DIRENT_BUF_SIZE];
    int64_t files_unflushed;
    int64_t bytes_unflushed;
    char path_buf[FR2_PATH_BUF_SIZE];
};

// The thread of one worker record (from a zero-filled table): returns when the
// walk is done.
void *fr2_worker_thread(void *arg);
