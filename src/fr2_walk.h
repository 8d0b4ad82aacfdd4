// The worker threads: each takes directories from the queue, reads them in
// batches, has their metadata fetched, writes the lines and queues the
// subdirectories. The only module that puts the others together.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "fr2_checkpoint.h"
#include "fr2_dirent.h"
#include "fr2_load.h"
#include "fr2_monitor.h"
#include "fr2_output.h"
#include "fr2_queue.h"
#include "fr2_stat.h"

#define FR2_PATH_BUF_SIZE 8192
#define FR2_PUBLISH_EVERY 100  // lines a worker counts before publishing

struct fr2_worker {
    int32_t id;
    pthread_t thread;
    fr2_stat stat;
    fr2_batch batch[2];     // two arrays, so one batch is read while the other is statted
    fr2_dir_item *pf_item;  // the prefetched directory, when pf_valid
    int32_t pf_fd;
    int32_t pf_slot;
    bool pf_valid;
    bool pf_eof;
    fr2_activity act;      // what the watchdog sees and sets
    fr2_load_lease lease;  // what the worker holds of the load window
    alignas(64) char dirent_buf[FR2_DIRENT_BUF_SIZE];
    fr2_outbuf out;
    int64_t files_unflushed;
    int64_t bytes_unflushed;
    // Entries statted and lines made, published or not: the monitor's measure
    // of progress. Written by the worker only.
    std::atomic<uint64_t> produced;
    char path_buf[FR2_PATH_BUF_SIZE];
    fr2_ck_slot ck;  // what the worker holds while a checkpoint is taken
};

// The thread of one worker record (from a zero-filled table): returns when the
// walk is done.
void *fr2_worker_thread(void *arg);
