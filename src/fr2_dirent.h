// Reading a directory: open it, read a getdents64 batch, parse the records.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include "fr2_monitor.h"

#define FR2_DIRENT_BUF_SIZE 32768
#define FR2_FIRST_BATCH_CAP 256
#define FR2_FIRST_NAMES_CAP 8192
// Past these a batch is trimmed after its directory: 1024 entries of 280 bytes.
#define FR2_TRIM_BATCH_CAP  1024
#define FR2_TRIM_NAMES_CAP  65536

// What is known of an entry's metadata.
enum : uint32_t {
    FR2_STAT_NONE = 0,     // no result (not asked yet, or its statx failed)
    FR2_STAT_OK = 1,       // stx holds this entry's statx result
    FR2_STAT_PENDING = 2,  // its request is with the kernel and not yet answered
};

// One directory entry of a batch. Its name lives in the batch's name arena.
struct fr2_entry {
    char *name;  // NUL-terminated, at most 255 bytes
    uint64_t d_ino;
    uint8_t d_type;
    bool is_dir;
    uint16_t name_len;
    uint32_t stat_ok;  // FR2_STAT_*
    int32_t stat_err;  // the errno of a failed statx, else 0
    struct statx stx;
};

// An entry is what its own statx says it is: the type getdents64 reported may
// be stale when the entry was replaced in between (a rename over it).
static inline void fr2_entry_classify(fr2_entry *e) {
    e->is_dir = (e->stx.stx_mode & S_IFMT) == S_IFDIR;
}

// A batch of entries in an array that grows by doubling, and the names of its
// entries in an arena that grows with it. Neither moves while the batch's
// metadata is with the kernel: the next batch is read into another one.
struct fr2_batch {
    fr2_entry *entries;
    int32_t count;
    int32_t cap;  // 0 with entries set: an array left to the kernel, not ours to grow or free
    char *names;
    size_t names_used;
    size_t names_cap;
    // The getdents64 offset after the last record read into this batch ("."
    // and ".." included), where reading goes on after it; off_known is false
    // while a read brought no record.
    int64_t end_off;
    bool off_known;
};

// Frees a batch's array and arena when they grew past what an ordinary
// directory needs, so a huge directory does not pin its memory for the rest
// of the walk; the next read starts small again. An array left to the kernel
// is only forgotten.
void fr2_batch_trim(fr2_batch *batch);
// Frees the array (unless left to the kernel) and the arena.
void fr2_batch_free(fr2_batch *batch);

// A descriptor, -1 (errno set) or FR2_CANCELLED when the watchdog interrupted
// the open; shown to the watchdog as WORKER_IN_OPEN. With no descriptor free
// (EMFILE, ENFILE) it waits for one to come free, unless told not to.
int fr2_dirent_open(fr2_activity *act, const char *path, bool wait_for_descriptor = true);
// Reads records into the batch until it holds at least `limit` entries or the
// directory ends (*eof). 0, -1 (errno set) or FR2_CANCELLED.
int fr2_dirent_read_batch(fr2_activity *act, int fd, char *buf, size_t buf_size, fr2_batch *batch,
                          int32_t limit, bool *eof);
// Appends the entries of one buffer of kernel linux_dirent64 records to the
// batch; -1 when the array cannot grow. A record that claims to run past the
// end of the buffer, or is shorter than its header, ends the buffer.
int fr2_dirent_parse(const char *buf, long len, fr2_batch *batch);
