// fsrake2: the records and interfaces shared by its three source files.
//
//   fsrake2.cpp    start-up, command line, final summary, directory queue,
//                  progress reporter and watchdog
//   fr2_worker.cpp directory reader, statx batching (io_uring ring and
//                  synchronous), batch processing, completion accounting,
//                  read-admission gate, the worker loop
//   fr2_output.cpp CSV formatting, quoting, output buffering, exclude list
//
// Shared fields that other threads read or write are plain integers accessed
// only through the fr2_load/fr2_store/fr2_add helpers below, so the records
// stay plain (zero-filled by calloc) while every cross-thread access is atomic.
#pragma once

#include <fcntl.h>
#include <linux/io_uring.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

// ---- atomics on plain fields ----------------------------------------------
// Acquire loads and release stores/adds are all the walk needs: no counter is
// used to order anything but its own publishers and readers.
template <typename T> static inline T fr2_load(const T *p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
template <typename T> static inline void fr2_store(T *p, T v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
template <typename T> static inline T fr2_add(T *p, T v) { // returns the old value
    return __atomic_fetch_add(p, v, __ATOMIC_ACQ_REL);
}

// ---- constants --------------------------------------------------------------
#define FR2_PROGRAM_NAME "fsrake2"
#define FR2_VERSION "1.0.0 2025 io_uring rewrite"
#define FR2_DEFAULT_THREADS 64
#define FR2_MAX_THREADS 1024
#define FR2_DEFAULT_RING_DEPTH 2048
#define FR2_MIN_RING_DEPTH 16
#define FR2_MAX_RING_DEPTH 4096
#define FR2_MAX_PATH 4095          // longest directory path that is queued
#define FR2_MAX_EXCLUDES 512
#define FR2_DIRENT_BUF_SIZE 32768
#define FR2_OUT_BUF_SIZE 65536
#define FR2_PATH_BUF_SIZE 8192
#define FR2_FIRST_BATCH_CAP 256
#define FR2_PUBLISH_EVERY 100     // lines a worker counts before publishing
#define FR2_STATX_MASK STATX_BASIC_STATS

#define FR2_CSV_HEADER                                                              \
    "inode,parent-inode,directory-depth,\"filename\",\"fileExtension\",UID,GID,"    \
    "st_size,st_dev,st_blocks,st_nlink,\"st_mode\",st_atime,st_mtime,st_ctime,"     \
    "fr_fcount,fr_dirsum"

// Worker activity states, published for the watchdog.
enum : uint32_t {
    WORKER_IDLE = 0,
    WORKER_IN_OPEN = 1,
    WORKER_IN_GETDENTS = 2,
    WORKER_IN_STATX_WAIT = 3,
    WORKER_IN_QUEUE_WAIT = 4,
};

// ---- records ----------------------------------------------------------------

// A directory waiting to be read or being read; also its own queue node.
// The path is allocated to its length (at most FR2_MAX_PATH characters), so a
// queue of a million directories costs what their paths cost, not 4 KiB each.
struct fr2_dir_item {
    fr2_dir_item *next;
    uint64_t parent_ino;  // 0 for the root
    struct statx stx;     // the directory's own metadata, from its parent's batch
    int32_t depth;        // 0 for the root
    uint16_t path_len;
    char path[];          // NUL-terminated
};

// One directory entry of a batch.
struct fr2_entry {
    char name[256];
    uint64_t d_ino;
    uint8_t d_type;
    uint8_t is_dir;
    uint16_t name_len;
    struct statx stx;
    uint32_t stat_ok;     // 1: stx holds this entry's statx result
};

// The per-worker io_uring ring, driven by raw system calls.
struct fr2_ring {
    int32_t ring_fd;
    uint32_t sq_entries;
    uint32_t cq_entries;
    uint32_t *sq_head;
    uint32_t *sq_tail;
    uint32_t *sq_ring_mask;
    uint32_t *sq_ring_entries;
    uint32_t *sq_flags;
    uint32_t *sq_array;
    uint32_t *cq_head;
    uint32_t *cq_tail;
    uint32_t *cq_ring_mask;
    uint32_t *cq_ring_entries;
    struct io_uring_cqe *cqes;
    struct io_uring_sqe *sqes;
    void *sq_ring_ptr;
    uint64_t sq_ring_sz;
    void *cq_ring_ptr;
    uint64_t cq_ring_sz;
    void *sqes_ptr;
    uint64_t sqes_sz;
    // Beyond the kernel's view: how this program keeps passes apart.
    uint32_t pass_seq;     // tag of the current pass, in the high half of user_data
    int32_t inflight;      // requests of the current pass the kernel accepted
    int32_t broken;        // the ring failed; stat synchronously from now on
};

struct fr2_worker {
    int32_t id;
    pthread_t thread;
    fr2_ring ring;
    uint32_t sync_mode;          // 1: one synchronous statx per entry
    fr2_entry *batch[2];
    int32_t batch_count[2];
    int32_t batch_cap[2];
    fr2_dir_item *pf_item;       // the prefetched directory
    int32_t pf_fd;
    int32_t pf_valid;
    int32_t pf_eof;
    int32_t pf_slot;
    uint32_t activity;           // atomic: WORKER_*
    int64_t activity_since;      // atomic: start of the timed step, 0 when none
    int32_t cancel;              // atomic: set by the watchdog
    alignas(8) char cur_path[4096];  // written and read a word at a time, atomically
    alignas(64) char dirent_buf[FR2_DIRENT_BUF_SIZE];
    char out_buf[FR2_OUT_BUF_SIZE];
    int32_t out_len;
    int64_t files_unflushed;
    uint64_t bytes_unflushed;
    char path_buf[FR2_PATH_BUF_SIZE];
};

struct fr2_state {
    int32_t dirs_pending;        // atomic
    int32_t done;                // atomic
    int64_t total_files;         // atomic
    int64_t total_bytes;         // atomic
    fr2_dir_item *queue_head;
    fr2_dir_item *queue_tail;
    pthread_mutex_t queue_lock;
    pthread_cond_t queue_cond;
    pthread_mutex_t output_lock;
    pthread_mutex_t getdents_lock;
    pthread_cond_t getdents_cond;
    int32_t getdents_active;
    int32_t getdents_max;
    int32_t threads;
    int32_t max_depth;
    int32_t no_snap;
    int32_t one_file_system;
    int32_t ring_depth;
    uint64_t root_dev;
    char *exclude_paths[FR2_MAX_EXCLUDES];
    int32_t exclude_count;
    fr2_worker *workers;
    int32_t worker_count;
    int32_t output_failed;       // atomic: a write to standard output failed
};

extern fr2_state g_state;

// glibc's makedev rule, spelled out so the device column never depends on
// which headers happen to be included.
static inline uint64_t fr2_makedev(uint32_t major, uint32_t minor) {
    uint64_t ma = major, mi = minor;
    return ((ma & 0xfff) << 8) | (mi & 0xff) | ((mi & ~0xffull) << 12) |
           ((ma & ~0xfffull) << 32);
}

// ---- fsrake2.cpp --------------------------------------------------------------
void fr2_state_init(void);  // zero g_state, set defaults, initialise its locks
void fr2_queue_push(fr2_dir_item *item);
fr2_dir_item *fr2_queue_pop(void);
fr2_dir_item *fr2_queue_try_pop(void);
int fr2_main(int argc, char **argv);

// The progress reporter's one sample, with the clock passed in so that its
// boundaries can be tested without waiting minutes.
struct fr2_monitor {
    int64_t prev_files;
    int32_t stall_count;
};
enum { FR2_SAMPLE_GO_ON = 0, FR2_SAMPLE_NO_PROGRESS = 1 };
int fr2_monitor_sample(fr2_monitor *mon, int64_t now, int64_t start_time);
int64_t fr2_watchdog_scan(int64_t now);  // returns the number of reports

// ---- fr2_worker.cpp -----------------------------------------------------------
void *fr2_worker_thread(void *arg);
fr2_dir_item *fr2_dir_item_new(const char *path, size_t path_len);
// Steps of the walker that the tests and fuzzers drive directly.
int open_directory(fr2_worker *w, const char *path);
int read_directory_batch(fr2_worker *w, int fd, fr2_entry **entries, int32_t *count,
                         int32_t *capacity, int32_t limit, int32_t *eof);
// Appends the entries of one buffer of kernel linux_dirent64 records to the
// batch; -1 when the array cannot grow. A record that claims to run past the
// end of the buffer, or is shorter than its header, ends the walk.
int parse_dirent_buffer(const char *buf, long len, fr2_entry **entries, int32_t *count,
                        int32_t *capacity);

// ---- fr2_output.cpp ----------------------------------------------------------
void fr2_csv_escape(const char *src, char *dst, size_t dst_size);
const char *fr2_extension(const char *name);  // null when there is none
void fr2_format_file(fr2_worker *w, const char *path, const char *ext,
                     const struct statx *stx, uint64_t parent_ino, int32_t depth);
void fr2_format_dir(fr2_worker *w, const char *path, const char *ext,
                    const struct statx *stx, uint64_t parent_ino, int32_t depth,
                    int64_t fcount, int64_t dirsum);
// Formats one line into line (at least FR2_LINE_MAX bytes); returns its length,
// or 0 when the line is dropped.
#define FR2_LINE_MAX 16384
int fr2_format_line(char *line, const char *path, const char *ext,
                    const struct statx *stx, uint64_t parent_ino, int32_t depth,
                    int64_t fcount, int64_t dirsum);
void fr2_flush_output(fr2_worker *w);
void fr2_load_exclude_list(const char *path);
int fr2_check_exclude(const char *path);
