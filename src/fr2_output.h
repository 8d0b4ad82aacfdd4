// CSV lines: formatting, quoting, the extension rule, and the per-worker
// output buffers that reach the output (standard output or a file, plain or
// zstd) under one lock.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#define FR2_OUT_BUF_SIZE 65536
// Formats one line into line (at least FR2_LINE_MAX bytes).
#define FR2_LINE_MAX     16384

struct fr2_zframe;  // a worker's compressor and the frame it makes

// A worker's output buffer: whole lines, written out when the next would not
// fit. Zero-filled is empty. The owner holds `lock` while it touches the
// buffer, so that a forced exit can take what a stuck worker holds.
struct fr2_outbuf {
    pthread_mutex_t lock;
    fr2_zframe *z;  // made on the first compressed write
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

// The workers' buffers, one per worker, zero-filled (empty), each on cache
// lines of its own; start-up makes the table before the workers start and
// releases it once every reader has ended (the forced exit writes them out).
// 0, or -1 when memory runs out.
int fr2_output_buffers_alloc(int32_t n);
void fr2_output_buffers_release(void);
fr2_outbuf *fr2_output_buffer_of(int32_t worker);
// Releases what the buffer holds beyond its bytes (its compressor); after the
// last flush.
void fr2_outbuf_release(fr2_outbuf *out);

// Opens the destination: null path = standard output. A name ending in ".zst"
// is zstd, written as independent frames (each a whole number of lines) at
// compress_level. resume_len < 0: create or truncate. resume_len >= 0: the
// file must exist and be at least that long; it is cut to resume_len and
// continued. 0, or -1 after one line.
int fr2_output_open(const char *path, int compress_level, int64_t resume_len);
// With every worker's buffer already flushed: ends the current zstd frame,
// writes out everything, fsyncs; *committed = the output's length on disk.
// 0, or -1 after one line.
int fr2_output_commit(int64_t *committed);
// Writes data as one unit (the header line); a failure ends the run as a
// worker's failed write does.
void fr2_output_write(const char *data, size_t len);
// Whether a name gets the zstd format.
bool fr2_output_is_zstd_name(const char *path);
// Writes the whole of what the walk has written so far and closes a file of
// its own. 0, or -1 after one line when it failed.
int fr2_output_finish(void);
// The no-progress exit: only when no worker holds the output lock (a stuck
// worker may hold it for good), writes out the buffers of the workers that
// are not inside theirs and flushes standard output. Never waits for a worker
// or long for a reader.
void fr2_output_flush_if_free(void);
