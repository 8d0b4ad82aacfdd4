// The command line: one read-only configuration record, built before the walk
// starts and never written after, and the exclude list that belongs to it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define FR2_DEFAULT_THREADS    64
#define FR2_MAX_THREADS        1024
#define FR2_DEFAULT_RING_DEPTH 2048
#define FR2_MIN_RING_DEPTH     16
#define FR2_MAX_RING_DEPTH     4096
#define FR2_MAX_EXCLUDES       512
#define FR2_MAX_RATE           1000000000
#define FR2_MAX_INFLIGHT       1000000

// zstd levels for a .zst output: the fast end by default, where compressing
// costs the walk little.
#define FR2_DEFAULT_COMPRESS_LEVEL 1
#define FR2_MIN_COMPRESS_LEVEL     -7
#define FR2_MAX_COMPRESS_LEVEL     19

#define FR2_CHECKPOINT_EVERY_SEC 60.0

#define FR2_CSV_HEADER                                                                             \
    "inode,parent-inode,directory-depth,\"filename\",\"fileExtension\",UID,GID,"                   \
    "st_size,st_dev,st_blocks,st_nlink,\"st_mode\",st_atime,st_mtime,st_ctime,"                    \
    "fr_fcount,fr_dirsum"

struct fr2_exclude_list {
    char *paths[FR2_MAX_EXCLUDES];  // each a heap copy of one line
    int32_t count;
};

// How workers fetch metadata: each chooses by what it measures, always the
// ring, or never the ring.
enum fr2_stat_mode : int32_t { FR2_STAT_MODE_AUTO, FR2_STAT_MODE_RING, FR2_STAT_MODE_SYNC };

struct fr2_config {
    int32_t threads;       // 1 to 1024
    int32_t ring_depth;    // 16 to 4096: ring size and batch size
    int32_t getdents_max;  // read-admission slots, at least 1
    int32_t max_depth;     // 0 (or negative): no limit
    fr2_stat_mode stat_mode;
    bool no_snap;
    bool one_file_system;
    bool header;
    const char *root;  // the directory argument as given (null with --resume alone)
    fr2_exclude_list exclude;
    // The output: null is standard output; a name ending in .zst is zstd.
    const char *output;
    int32_t compress_level;

    // Load control (fr2_load).
    int64_t max_rate;        // entries listed per second, 0: no cap
    int32_t max_inflight;    // metadata requests in flight, 0: no cap
    bool no_adapt;           // every worker at once, no adaptive window
    const char *load_trace;  // the window over time goes here; null: nowhere

    // Checkpoints and resuming.
    const char *checkpoint;   // --checkpoint CK: the walk's state is written there
    double checkpoint_every;  // seconds between checkpoints
    const char *resume;       // --resume CK: continue the walk recorded there
    uint32_t given;           // FR2_GIVEN_*: walk options the command line named
};

// Options that define the walk: beside --resume they must agree with the
// checkpoint, which holds the walk's own.
enum : uint32_t {
    FR2_GIVEN_DEPTH = 1u << 0,
    FR2_GIVEN_NOSNAP = 1u << 1,
    FR2_GIVEN_EXCLUDE = 1u << 2,
    FR2_GIVEN_ONE_FS = 1u << 3,
    FR2_GIVEN_HEADER = 1u << 4,
    FR2_GIVEN_OUTPUT = 1u << 5,
    FR2_GIVEN_CHECKPOINT = 1u << 6,
};

// Written by start-up only, before any other thread exists; read-only after.
extern fr2_config g_config;

enum fr2_config_status {
    FR2_CONFIG_RUN,   // walk cfg->root
    FR2_CONFIG_EXIT,  // stop now with *exit_status (help, version or an error, already said)
};

// Parses the options and the directory; defaults for what is not given. Never
// exits: help and version are printed here and reported as FR2_CONFIG_EXIT.
fr2_config_status fr2_config_parse(int argc, char **argv, fr2_config *cfg, int *exit_status);
// Releases what parsing allocated (the exclude lines) and resets the record.
void fr2_config_free(fr2_config *cfg);
void fr2_print_help(void);

// Appends the lines of an exclude file; 0, or -1 after its message when the
// file cannot be opened or read, or memory runs out.
int fr2_config_read_exclude_file(fr2_exclude_list *list, const char *path);
bool fr2_check_exclude(const fr2_exclude_list *list, const char *path);
