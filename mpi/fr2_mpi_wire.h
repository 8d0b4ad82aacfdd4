// The bytes that travel between the ranks of a multi-node walk.
//
// Ranks of one job run the same build on one architecture, so numbers go in
// host byte order. Directory items travel in the encoding of fr2_item.h,
// the one the checkpoint files use, chunks included. Decoding checks every
// length against the buffer, so a short or garbled message is refused, never
// read past.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fr2_item.h"

enum : int {
    FR2_TAG_STEAL_REQUEST = 1,  // empty: "send me work"
    FR2_TAG_STEAL_REPLY = 2,    // a list of items, possibly empty
    FR2_TAG_TOKEN = 3,          // the end-of-walk token: [i64 count sum][i64 black]
    FR2_TAG_DONE = 4,           // empty: the walk is over everywhere
    FR2_TAG_CHUNK_REPORT = 5,   // [u64 big_id][i64 fcount][i64 dirsum]
    FR2_TAG_PROGRESS = 6,       // [i64 files][i64 bytes][i64 stats...]: a rank's totals
    FR2_TAG_CK_PAUSE = 7,       // [u64 generation][u8 stopping]: rank 0 starts a checkpoint
    FR2_TAG_CK_VOTE = 8,        // [u8 written]: a rank's part of it, to rank 0
    FR2_TAG_CK_COMMIT = 9,      // [u8 committed]: rank 0's verdict; the ranks go on (or end)
    FR2_TAG_STOP = 10,          // empty: a rank was signalled, to rank 0
    FR2_TAG_RATE_USE = 11,      // [i64 entries per second][i64 held]: to rank 0
    FR2_TAG_RATE_SHARE = 12,    // [i64 entries per second]: a rank's new share
};

// A list of items: [u32 count] then the items.
size_t fr2_wire_list_size(fr2_dir_item *const *items, uint32_t n);
uint8_t *fr2_wire_put_list(uint8_t *out, fr2_dir_item *const *items, uint32_t n);
// Decodes a whole list into items (at most max); returns the number, or -1
// when the buffer is not exactly such a list (what was decoded is freed).
int fr2_wire_get_list(const uint8_t *buf, size_t len, fr2_dir_item **items, uint32_t max);

