// Big directories cut into chunks: name lists whose statx work any worker,
// or another rank of a multi-node run, can take.
//
// A directory whose entries pass the cut threshold keeps its first entries
// for its reader; every further entry goes into a chunk item (a copy of the
// directory's item with a name list attached), queued like a subdirectory.
// The directory's own line needs the count and size sum of all of its
// entries, so it waits in an fr2_big_dir record until the reader and every
// chunk have reported their part; the last report writes the line and
// finishes the directory. The plain scanner never cuts (threshold 0).
#pragma once

#include <stdint.h>

#include <atomic>

#include "fr2_dirent.h"
#include "fr2_output.h"
#include "fr2_queue.h"

// The directory whose line waits for its parts.
struct fr2_big_dir {
    fr2_dir_item *dir;   // owned here until the line is written
    std::atomic<int64_t> fcount;      // entries counted by the reported parts
    std::atomic<int64_t> dirsum;      // their sizes
    std::atomic<int32_t> parts_left;  // chunks not yet reported, plus 1 for the reader
};

// Entries a directory's reader stats itself before the rest is cut into
// chunks of as many; 0 (the plain scanner) never cuts.
extern int32_t g_chunk_entries;
// This process's rank: a chunk whose owner is another rank reports there.
extern int32_t g_chunk_rank;
// Sends a chunk's report to its owner rank (the multi-node program's outbox).
extern void (*g_chunk_report_remote)(int32_t owner, uint64_t big_id, int64_t fcount,
                                     int64_t dirsum);

// Cuts the entries of dir beyond the first `keep` into chunk items, counts
// and queues them. Returns how many entries stay with the reader (`keep`, or
// `count` when nothing could be cut).
int32_t fr2_chunk_cut(fr2_dir_item *dir, fr2_entry *entries, int32_t count, int32_t keep);

// Fills the batch (grown as needed) with a chunk's names, ready to be
// statted. 0, or -1 when the array cannot grow.
int fr2_chunk_entries(const fr2_chunk *c, fr2_batch *batch);

// One part of a big directory is done: adds its counts; the last part writes
// the directory's line into `out`, counts it in the totals, frees the
// directory and finishes it.
void fr2_big_dir_report(fr2_outbuf *out, fr2_big_dir *big, int64_t fcount, int64_t dirsum);

// Reports a finished chunk to its owner: in this process, or through the
// remote hook.
void fr2_chunk_report(fr2_outbuf *out, const fr2_chunk *c, int64_t fcount, int64_t dirsum);
