// What the reports ask of a scan, answered from its rows (a whole scan) or
// from its rollup tables, with the same numbers either way. Sizes "once"
// count a file with several links once, at its lowest path; "raw" sizes
// count every line. Each returns 0, or -1 after a message.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "fr2r_db.h"
#include "fr2r_tree.h"

struct sqlite3;

struct fr2r_owner_row {
    int64_t id, entries, files, once, raw, alloc;
};
// Per user (or group), biggest once-size first, then by id.
int fr2r_q_owners(sqlite3 *db, const fr2r_scan &s, bool groups, std::vector<fr2r_owner_row> *out);

struct fr2r_ext_row {
    std::string ext;
    int64_t files, once, raw, alloc;
};
// Per extension of the files, biggest once-size first, then most files, then by name.
int fr2r_q_extensions(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_ext_row> *out);

// Age classes counted back from a time, in whole days; class 0 is the future.
enum { FR2R_NAGES = 11 };
const char *fr2r_age_label(int age);
struct fr2r_ages {
    int64_t files[3][FR2R_NAGES] = {};  // by atime, mtime, ctime
    int64_t bytes[3][FR2R_NAGES] = {};
    bool whole_days = false;  // a rollup asked for a time that is not whole days from its scan's
};
int fr2r_q_ages(sqlite3 *db, const fr2r_scan &s, int64_t now, fr2r_ages *out);

// Files per size class: class 0 holds empty files, class k sizes from 2^(k-1) to 2^k - 1.
struct fr2r_sizes {
    int64_t files[65] = {}, bytes[65] = {};
};
int fr2r_q_sizes(sqlite3 *db, const fr2r_scan &s, fr2r_sizes *out);

struct fr2r_cold_row {
    int64_t uid = 0, files = 0, alloc = 0, all_files = 0, all_alloc = 0, oldest = INT64_MAX;
};
// Per user, files last read before cutoff (and all their files, for the share).
int fr2r_q_cold(sqlite3 *db, const fr2r_scan &s, int64_t cutoff, std::vector<fr2r_cold_row> *out,
                bool *whole_days);

// A scan's summary figures; a rollup sums them as it loads.
struct fr2r_totals {
    int64_t lines = 0, files = 0, dirs = 0, regular = 0, symlinks = 0, once = 0, raw = 0, alloc = 0,
            alloc_raw = 0, linked = 0, extra = 0, users = 0, groups = 0, devices = 0, deepest = -1,
            largest = -1, oldest = INT64_MAX, newest = INT64_MIN;
    int64_t unattached = -1;  // lines whose directory has no line; -1: not counted yet
};
int fr2r_q_totals(sqlite3 *db, const fr2r_scan &s, fr2r_totals *out);

struct fr2r_file_row {
    std::string path;
    int64_t size, blocks, uid, mtime, nlink;
};
// The biggest files (by size, or by allocated blocks), at most limit of
// them (0: all). *missing: how many a rollup could not show because it kept
// fewer files than asked for; 0 otherwise.
int fr2r_q_biggest_files(sqlite3 *db, const fr2r_scan &s, bool by_blocks, int64_t limit,
                         std::vector<fr2r_file_row> *out, int64_t *missing);

// Every directory of a scan with its subtree totals, in the order of the
// scan. Returns 0 or -1; *unattached (may be null) counts lines whose
// directory has no line.
int fr2r_q_dirs(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_dir_total> *out,
                int64_t *unattached);

// Per-user size and allocated space of a scan (hard links once), kept in
// the database once computed when it can be written.
struct fr2r_user_total {
    int64_t uid, size, allocated;
};
int fr2r_q_user_totals(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_user_total> *out);

// User and group names where the system knows them ("" otherwise).
std::string fr2r_user_name(uint32_t uid);
std::string fr2r_group_name(uint32_t gid);
