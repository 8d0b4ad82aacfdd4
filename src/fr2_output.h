// CSV lines: formatting, quoting, the extension rule, and the per-worker
// output buffers that reach standard output under one lock.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#define FR2_OUT_BUF_SIZE 65536
// Formats one line into line (at least FR2_LINE_MAX bytes).
#define FR2_LINE_MAX     16384

// A worker's output buffer: whole lines, written out when the next would not fit.
struct fr2_outbuf {
    int32_t len;
    char buf[FR2_OUT_BUF_SIZE];
};

void fr2_csv_escape(const char *src, char *dst, size_t dst_size);
const char *fr2_extension(const char *name);  // null when there is none
// Returns the line's length, or 0 when the line is dropped.
int fr2_format_line(char *line, const char *path, const char *ext, const struct statx *stx,
                    uint64_t parent_ino, int32_t depth, int64_t fcount, int64_t dirsum);
void fr2_format_file(fr2_outbuf *out, const char *path, const char *ext, const struct statx *stx,
                     uint64_t parent_ino, int32_t depth);
void fr2_format_dir(fr2_outbuf *out, const char *path, const char *ext, const struct statx *stx,
                    uint64_t parent_ino, int32_t depth, int64_t fcount, int64_t dirsum);
void fr2_flush_output(fr2_outbuf *out);
// Writes the whole of what the walk has written so far to the descriptor:
// standard output is flushed under the output lock. 0, or -1 when it failed.
int fr2_output_finish(void);
// Opens the destination: null path = standard output. A name ending in ".zst" is zstd.
// resume_len < 0: create or truncate. resume_len >= 0: the file must exist and be at
// least that long; it is cut to resume_len and continued. 0, or -1 after one line.
int fr2_output_open(const char *path, int compress_level, int64_t resume_len);
// With every worker's buffer already flushed: ends the current zstd frame, writes out
// everything, fsyncs; *committed = the output's length on disk. 0, or -1 after one line.
int fr2_output_commit(int64_t *committed);
// The no-progress exit: flushes standard output only when no worker holds the
// output lock (a stuck worker may hold it for good).
void fr2_output_flush_if_free(void);
