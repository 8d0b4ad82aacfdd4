// fsrake2-report: loads fsrake2 scans into SQLite and reports where the space is.
// Plain records and free functions; failures are return values plus one line
// on standard error.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct sqlite3;

// ---------------------------------------------------------------- CSV lines

enum { FR2R_NFIELDS = 17 };
// The scanner never writes a line of 16384 bytes or more; a record that runs
// past this is broken (usually a quote left open) and is reported as such.
enum { FR2R_MAX_RECORD = 16384 };

// One data line of a scan, decoded. Unsigned 64-bit columns (inode, parent
// inode, device, blocks) are kept as their bit pattern.
struct fr2r_entry {
    uint64_t inode;
    uint64_t parent_inode;
    int64_t depth;
    std::string path;       // byte-exact, quotes undoubled
    std::string extension;  // byte-exact
    uint32_t uid;
    uint32_t gid;
    int64_t size;
    uint64_t dev;
    uint64_t blocks;
    uint32_t nlink;
    uint32_t mode;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
    int64_t fcount;
    int64_t dirsum;
};

enum fr2r_parse_status {
    FR2R_PARSE_OK = 0,
    FR2R_PARSE_NEED_MORE = 1,  // the record is not complete in the bytes given
    FR2R_PARSE_ERROR = 2,
};

// Parses one record that starts at data[0]. eof says no bytes follow the
// len given. On OK *used is the record's length including its line feed and
// *lines the number of line feeds in it; on ERROR *why says what is wrong.
fr2r_parse_status fr2r_parse_record(const char *data, size_t len, bool eof, fr2r_entry *e,
                                    size_t *used, int *lines, std::string *why);
// The header line fsrake2 prints with --header (without its line feed).
extern const char *const g_fr2r_header;

// ---------------------------------------------------------------- database

// A directory the scanner could not read (wholly or in part), from its
// standard error.
struct fr2r_problem {
    std::string kind;     // "locked", "timeout" or "read error"
    std::string path;     // byte-exact
    std::string message;  // the scanner's line
};

// What the scanner said on standard error, and how it ended.
struct fr2r_messages {
    bool known = false;          // messages were given (--messages, or scan)
    int status = -1;             // the scanner's exit status; -1 unknown
    std::string summary;         // its final "fsrake2 done: ..." line
    int64_t summary_lines = -1;  // the line count of that summary
    bool no_progress = false;    // it gave up on threads that made no progress
    bool write_error = false;    // it could not write its output
    std::string fatal;           // another line that ended it early
    std::vector<fr2r_problem> problems;
};
// Takes one line of the scanner's standard error (without its line feed).
void fr2r_messages_line(fr2r_messages *m, const std::string &line);
// Reads a saved standard error. Returns 0, or -1 after a message.
int fr2r_messages_read(const char *path, fr2r_messages *m);

struct fr2r_load_options {
    std::string label;       // empty: the input's file name, or "stdin"
    int64_t scan_time = -1;  // -1: the input file's modification time, or now
    bool skip_bad = false;   // report malformed lines, load the rest
    int progress = -1;       // -1: when stderr is a terminal; 0 off; 1 on
    int max_messages = 20;   // malformed-line messages before only counting
    // The scanner's saved standard error: of one run, or of a stopped run and
    // its resumes in order.
    std::vector<std::string> messages;
    // Loading from a running scanner: the stream replaces the inputs, and
    // finish() is called at its end (before the commit) to wait for the
    // scanner and fill in what it said.
    FILE *stream = nullptr;
    std::string stream_name;
    void (*finish)(void *ctx, fr2r_messages *m) = nullptr;
    void *finish_ctx = nullptr;
    // A rollup: no row per line, but per-directory, per-owner, per-kind and
    // per-day totals, the biggest files (keep_files of them) and the files
    // with several links.
    bool rollup = false;
    int64_t keep_files = 1000;
    // Parsing threads of a rollup load of files; 0: one per CPU.
    int threads = 0;
};

struct fr2r_load_result {
    int64_t scan_id = 0;
    int64_t lines = 0;  // data lines loaded
    int64_t bad = 0;    // malformed lines (skipped, or the reason of failure)
    double seconds = 0;
    std::string incomplete;  // why the scan is incomplete; "" when it is not
    int64_t problems = 0;    // directories the scanner could not read
};

// Opens (creating when asked) a report database with its schema in place.
// write: the caller will change it (a load, delete, rename), so a database
// that cannot be written is refused at once, with the reason.
sqlite3 *fr2r_db_open(const char *path, bool create, bool write = false);
void fr2r_db_close(sqlite3 *db);
// The database's file name, for messages ("" for a database in memory).
std::string fr2r_db_path(sqlite3 *db);
// Runs sql; false after fr2r_db_error's line on what was being done.
bool fr2r_db_exec(sqlite3 *db, const char *sql, const char *doing = "updating it");
// One line on standard error about a failed database operation: the
// database's path, what was being done and why it failed.
void fr2r_db_error(sqlite3 *db, const char *doing);
// Loads one scan from inputs ("-" is standard input; several files are the
// parts of one scan) in one transaction.
// Returns 0, or -1 after a message (and then nothing of the scan is stored).
int fr2r_load(sqlite3 *db, const std::vector<std::string> &inputs, const fr2r_load_options &opt,
              fr2r_load_result *res);

struct fr2r_scan {
    int64_t id = 0;
    std::string label;
    int64_t scan_time = 0;
    int64_t loaded_at = 0;
    std::string root;
    std::string source;
    int64_t lines = 0;
    int64_t skipped = 0;
    int64_t first_row = 0;  // the scan's lines are rows first_row..last_row
    int64_t last_row = -1;
    std::string incomplete;       // why the scan is incomplete; "" when complete
    int64_t scanner_status = -1;  // -1: not known
    std::string summary;          // the scanner's final summary line, if known
    std::vector<fr2r_problem> problems;
    int64_t keep_files = -1;  // a rollup keeping this many biggest files; -1: a row per line
    bool rollup() const { return keep_files >= 0; }
};

// Finds a scan by id or label ("" = the latest). Returns 0 or -1 after a message.
int fr2r_find_scan(sqlite3 *db, const std::string &which, fr2r_scan *out);
int fr2r_list_scans(sqlite3 *db, std::vector<fr2r_scan> *out);
// Removes a scan and its rows; renames one. 0, or -1 after a message.
int fr2r_delete_scan(sqlite3 *db, const fr2r_scan &s);
int fr2r_rename_scan(sqlite3 *db, const fr2r_scan &s, const std::string &label);
// The warning lines every report shows at its top: an incomplete scan and
// the directories that could not be read (at most max of them; 0 = all).
std::vector<std::string> fr2r_scan_warnings(const fr2r_scan &s, size_t max);

// Sums of sizes saturate instead of overflowing: a sparse file may claim
// nearly 2^63 bytes, and a scan may be forged.
inline int64_t fr2r_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}
inline int64_t fr2r_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
    return r;
}
inline int64_t fr2r_blocks_bytes(int64_t blocks) {
    int64_t r;
    if (blocks < 0 || __builtin_mul_overflow(blocks, (int64_t)512, &r)) return INT64_MAX;
    return r;
}

// ---------------------------------------------------------------- tables

enum fr2r_kind {
    FR2R_TEXT,   // a name from the scan or a label: escaped on output
    FR2R_INT,    // a count or a signed number
    FR2R_BYTES,  // a size in bytes: human units in text tables
    FR2R_PCT,    // a share in percent
    FR2R_TIME,   // seconds since the epoch
};

struct fr2r_cell {
    bool null = false;
    int kind = -1;  // overrides the column's kind when >= 0
    int64_t i = 0;
    double d = 0;
    std::string s;
};

struct fr2r_column {
    std::string name;
    fr2r_kind kind;
};

struct fr2r_table {
    std::string name;   // machine name ("users", "biggest_own")
    std::string title;  // for people
    std::vector<fr2r_column> cols;
    std::vector<std::vector<fr2r_cell>> rows;
    std::string note;  // one line under the table, may be empty
};

fr2r_cell fr2r_text(const std::string &s);
fr2r_cell fr2r_int(int64_t v);
fr2r_cell fr2r_pct(double v);
fr2r_cell fr2r_null();
fr2r_cell fr2r_bytes(int64_t v);  // an FR2R_BYTES cell in a column of another kind
fr2r_cell fr2r_time(int64_t v);

// ---------------------------------------------------------------- queries

// What the reports ask of a scan, answered from its rows (a whole scan) or
// from its rollup tables, with the same numbers either way. Sizes "once"
// count a file with several links once, at its lowest path; "raw" sizes
// count every line. Each returns 0, or -1 after a message.

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

// ---------------------------------------------------------------- rollups

// The totals of one scan's lines, summed as they are read: one per parsing
// thread, merged in input order. Plain data; see fr2r_rollup.cpp.
struct fr2r_rollup;
fr2r_rollup *fr2r_rollup_new(int64_t scan_time, int64_t keep_files);
void fr2r_rollup_free(fr2r_rollup *r);
// One line of the scan; file and line order the lines of a scan that came
// in several inputs (the input's index, the line in it).
void fr2r_rollup_add(fr2r_rollup *r, const fr2r_entry &e, uint32_t file, int64_t line);
// Adds everything of from (the lines that follow into's in the input) to into.
void fr2r_rollup_merge(fr2r_rollup *into, fr2r_rollup *from);
// Credits the files with several links, rebuilds the subtree totals and
// writes the rollup rows of scan (inside the caller's transaction). 0, or -1
// after a message.
int fr2r_rollup_store(sqlite3 *db, int64_t scan, fr2r_rollup *r);

// ---------------------------------------------------------------- reports

struct fr2r_report_options {
    std::string scan;      // id or label; "" = latest
    int limit = 20;        // rows of ranked tables; 0 = all
    std::string by;        // "allocated": space by allocated blocks; biggest: "own",
                           // "tree", "count", "files" or "" for all of them
    int64_t now = -1;      // ages: reference time; -1 = the scan's time
    std::string old_scan;  // diff
    std::string new_scan;
    bool force = false;  // diff: compare scans of different roots
    int64_t years = 2;   // cold: not read for more than this many years
};

// Each report fills *out with one or more tables; 0 or -1 after a message.
int fr2r_report_summary(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                        std::vector<fr2r_table> *out);
int fr2r_report_owners(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o, bool groups,
                       std::vector<fr2r_table> *out);
int fr2r_report_extensions(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                           std::vector<fr2r_table> *out);
int fr2r_report_ages(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                     std::vector<fr2r_table> *out);
int fr2r_report_sizes(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                      std::vector<fr2r_table> *out);
int fr2r_report_biggest(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                        std::vector<fr2r_table> *out);
// Per user, files and allocated space not read (atime) for more than o.years.
int fr2r_report_cold(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                     std::vector<fr2r_table> *out);
int fr2r_report_diff(sqlite3 *dbo, const fr2r_scan &so, sqlite3 *dbn, const fr2r_scan &sn,
                     const fr2r_report_options &o, std::vector<fr2r_table> *out);

// Subtree totals, rebuilt from the parent inodes of the lines.
struct fr2r_dir_total {
    std::string path;
    int64_t depth;            // the directory's own depth (root 0)
    int64_t fcount;           // entries, as the scanner counted them
    int64_t dirsum;           // own size sum, as the scanner counted it
    int64_t tree_size;        // the directory and everything below it, hard links once
    int64_t tree_raw;         // the same, every link counted
    int64_t tree_entries;     // lines below it (itself not counted)
    int64_t tree_alloc;       // allocated space of it and everything below, hard links once
    int64_t own_entries = 0;  // lines directly in it that are not directories
    int64_t own_size = 0;     // their size, hard links once
    int64_t own_alloc = 0;    // their allocated space, hard links once
};
// Returns 0 or -1; *unattached counts lines whose directory has no line.
int fr2r_tree_totals(sqlite3 *db, int64_t scan, std::vector<fr2r_dir_total> *out,
                     int64_t *unattached);

// Per-user size and allocated space of a scan (hard links once), kept in
// the database once computed when it can be written.
struct fr2r_user_total {
    int64_t uid, size, allocated;
};
int fr2r_user_totals(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_user_total> *out);

// User and group names where the system knows them ("" otherwise).
std::string fr2r_user_name(uint32_t uid);
std::string fr2r_group_name(uint32_t gid);

// ---------------------------------------------------------------- output

enum fr2r_format { FR2R_FMT_TEXT, FR2R_FMT_CSV, FR2R_FMT_JSON };

void fr2r_print_tables(FILE *f, const std::string &report, const fr2r_scan *scan,
                       const std::vector<fr2r_table> &tables, fr2r_format fmt);
std::string fr2r_human_bytes(int64_t v);
// Printable forms of names that may hold any byte.
std::string fr2r_term_escape(const std::string &s);  // control bytes and bad UTF-8 as \n, \xNN
std::string fr2r_json_escape(const std::string &s);  // bad UTF-8 bytes as \udcNN
std::string fr2r_html_escape(const std::string &s);  // & < > " ' plus the terminal escapes

// The self-contained page with every report and its charts.
int fr2r_write_html(FILE *f, sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o);
