// The bytes that travel between the ranks of a multi-node walk.
//
// Ranks of one job run the same build on one architecture, so numbers go in
// host byte order. A directory item carries what its reader and its line
// need and nothing else: 85 bytes plus its path; a chunk adds its owner,
// its record id and its name list; a directory continued from a checkpoint
// adds where its reading goes on and what its listed part counted. Decoding checks every length against the
// buffer, so a short or garbled message is refused, never read past.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fr2_queue.h"

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

// The fixed part of an encoded item (kind, depth, parent inode, path length,
// the statx fields a line uses).
static const size_t FR2_WIRE_ITEM_FIXED = 1 + 4 + 8 + 2 + 70;
// Added for a chunk: owner, record id, name count, name bytes.
static const size_t FR2_WIRE_CHUNK_FIXED = 4 + 8 + 4 + 4;
// Added for a directory continued from a checkpoint: offset, count, size sum.
static const size_t FR2_WIRE_RESUMED_FIXED = 3 * 8;

// Bytes that encoding `item` takes.
size_t fr2_wire_item_size(const fr2_dir_item *item);
// Encodes `item` at `out` (fr2_wire_item_size bytes); returns the end.
uint8_t *fr2_wire_put_item(uint8_t *out, const fr2_dir_item *item);
// Decodes one item at *in (at most end - *in bytes) into a new heap item (and
// chunk). Returns null, leaving *in alone, when the bytes are not one whole
// item or memory runs out; otherwise advances *in.
fr2_dir_item *fr2_wire_get_item(const uint8_t **in, const uint8_t *end);

// A list: [u32 count] then the items.
size_t fr2_wire_list_size(fr2_dir_item *const *items, uint32_t n);
uint8_t *fr2_wire_put_list(uint8_t *out, fr2_dir_item *const *items, uint32_t n);
// Decodes a whole list into items (at most max); returns the number, or -1
// when the buffer is not exactly such a list (what was decoded is freed).
int fr2_wire_get_list(const uint8_t *buf, size_t len, fr2_dir_item **items, uint32_t max);

