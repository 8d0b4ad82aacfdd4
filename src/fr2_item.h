// Directory work items: the record, its life (made by whoever finds the
// directory, freed by whoever finishes it, with the chunk it may carry) and
// its one byte encoding, shared by the checkpoint file and the messages
// between the ranks of a multi-node walk.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#define FR2_MAX_PATH 4095  // longest directory path that is queued

struct fr2_chunk;
struct fr2_big_dir;

// A directory waiting to be read or being read; also its own queue node.
// The path is allocated to its length, so a queue of a million directories
// costs what their paths cost, not 4 KiB each.
struct fr2_dir_item {
    fr2_dir_item *next;
    fr2_chunk *chunk;  // set: not a directory to read but a chunk of a big one's entries
    fr2_big_dir *big;  // set while the directory's line waits for its chunks (fr2_chunk.h)
    uint64_t parent_ino;  // 0 for the root
    struct statx stx;     // the directory's own metadata, from its parent's batch
    int32_t depth;        // 0 for the root
    // A directory continued from a checkpoint: its reading goes on at this
    // getdents64 offset (0: from the start), and its count and size sum
    // start from what the entries read before it added up to.
    int64_t resume_off;
    int64_t resume_fcount;
    int64_t resume_dirsum;
    uint16_t path_len;
    char path[];  // NUL-terminated
};

// One chunk of a big directory's entries: `count` records of
// [d_type: 1 byte][name length: 1 byte, 1..255][name bytes, no NUL].
struct fr2_chunk {
    int32_t owner;     // rank whose fr2_big_dir collects the report
    uint64_t big_id;   // that record's address on the owner rank
    uint32_t count;
    uint32_t bytes;    // of names[]
    uint8_t names[];
};

// A zero-filled item holding a copy of path; null when memory runs out.
fr2_dir_item *fr2_dir_item_new(const char *path, size_t path_len);
// Frees an item and the chunk it may carry (null: nothing).
void fr2_dir_item_free(fr2_dir_item *item);
// A chunk with room for `bytes` of name records; null when memory runs out.
fr2_chunk *fr2_chunk_alloc(uint32_t count, uint32_t bytes);

// ---- the encoding -----------------------------------------------------------
//
//   u8 kind: 0 queued, 1 in progress (reading goes on at an offset), 2 chunk
//   u32 path length (1..4095), the path (no NUL)
//   u64 parent inode, i32 depth
//   the statx fields a line and the walk use: u64 ino, u64 size, u64 blocks,
//     i64 atime, i64 mtime, i64 ctime (seconds), u32 uid, u32 gid, u32 nlink,
//     u32 dev_major, u32 dev_minor, u16 mode
//   i64 offset, i64 count, i64 size sum (0 unless in progress)
//   chunk only: i32 owner, u64 record id, u32 name count, u32 name bytes,
//     the name records
// Numbers in the machine's byte order: the checkpoint is read back where it
// was written, and the ranks of one job run one build. This is the layout
// of a directory in checkpoint files: a change needs a new file version.

enum : uint8_t { FR2_ITEM_QUEUED = 0, FR2_ITEM_IN_PROGRESS = 1, FR2_ITEM_CHUNK = 2 };

// The fixed part of a record, and what a chunk adds before its names.
static const size_t FR2_ITEM_FIXED = 1 + 4 + 8 + 4 + 70 + 3 * 8;
static const size_t FR2_ITEM_CHUNK_FIXED = 4 + 8 + 4 + 4;

// Where a directory in progress stands, when it is not what the item says
// (the checkpoint's record of a directory a worker is reading).
struct fr2_item_progress {
    int64_t offset;
    int64_t fcount;
    int64_t dirsum;
};

// Bytes that encoding `item` takes.
size_t fr2_dir_item_encoded_size(const fr2_dir_item *item);
// Encodes `item` at `out` (fr2_dir_item_encoded_size bytes) and returns the
// end. `at` (null: the item's own resume fields) makes it a directory in
// progress at that point.
uint8_t *fr2_dir_item_encode(uint8_t *out, const fr2_dir_item *item, const fr2_item_progress *at);
// Decodes one record at *in (at most end - *in bytes) into a new item (and
// chunk, when chunks are allowed: a chunk names a record in another
// process's memory, so only the wire between the ranks of one job carries
// them). Returns null, leaving *in alone, when the bytes are not one whole
// valid record or memory runs out; otherwise advances *in past it.
fr2_dir_item *fr2_dir_item_decode(const uint8_t **in, const uint8_t *end, bool allow_chunks);
