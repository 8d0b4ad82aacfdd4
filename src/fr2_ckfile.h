// The checkpoint file: its bytes, its checksum, and the checks that a file
// read back is one whole checkpoint of this version.
//
//   "FR2CKPT\0", u32 version, u32 0, u64 body length, body, u64 checksum
//   body: str root, str output, i32 max_depth, u8 no_snap, u8 one_file_system,
//         u8 header, u8 0, u32 exclude count, str exclude..., i64 total lines,
//         i64 total bytes, i64 seconds walked, i64 committed output length,
//         u64 directory count, then the directories, each in the encoding of
//         fr2_item.h (queued or in progress; never a chunk)
//   str: u32 length, bytes. Numbers in the machine's byte order.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fr2_config.h"
#include "fr2_item.h"

#define FR2_CKFILE_VERSION 1u

// A file being written, in memory.
struct fr2_ckfile_buf {
    char *data;
    size_t len;
    size_t cap;
    bool failed;  // memory ran out
    size_t committed_at;
    size_t count_at;
    uint64_t dirs;
};

// Starts a file: the walk's own options from cfg, its totals and the seconds
// walked so far.
void fr2_ckfile_begin(fr2_ckfile_buf *b, const fr2_config *cfg, int64_t total_files,
                      int64_t total_bytes, int64_t elapsed);
// Adds a directory: queued, or in progress at `at` (null: as the item says).
void fr2_ckfile_put_dir(fr2_ckfile_buf *b, const fr2_dir_item *item, const fr2_item_progress *at);
// Ends the file: the committed output length, the directory count, the
// checksum.
void fr2_ckfile_seal(fr2_ckfile_buf *b, int64_t committed);
void fr2_ckfile_buf_free(fr2_ckfile_buf *b);

// What a checkpoint file holds. The strings and the items are the caller's.
struct fr2_ckfile_state {
    fr2_config walk;  // root, output, max_depth, no_snap, one_file_system, header, exclude
    int64_t total_files;
    int64_t total_bytes;
    int64_t elapsed;
    int64_t committed;
    fr2_dir_item **dirs;
    uint64_t ndirs;
};

// Checks the whole file (data, len), read from `ck`, and decodes it into st.
// 0, or 1 after the refusal (st then holds nothing).
int fr2_ckfile_parse(const char *ck, const char *data, size_t len, fr2_ckfile_state *st);
// Frees what st holds (after a refusal of what it holds).
void fr2_ckfile_state_free(fr2_ckfile_state *st);

// "fsrake2: cannot resume from CK: <why>"; returns the exit status, 1.
int fr2_ckfile_refuse(const char *ck, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
