// The report database: opening it (creating or upgrading its schema),
// its errors, prepared statements, and the scans it holds.
#pragma once

#include <sqlite3.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fr2r_messages.h"

// Opens (creating when asked) a report database with its schema in place.
// write: the caller will change it (a load, delete, rename), so a database
// that cannot be written is refused at once, with the reason.
sqlite3 *fr2r_db_open(const char *path, bool create, bool write = false);
// Every statement of the connection must have been finalized by then.
void fr2r_db_close(sqlite3 *db);
// The database's file name, for messages ("" for a database in memory).
std::string fr2r_db_path(sqlite3 *db);
// Runs sql; false after fr2r_db_error's line on what was being done.
bool fr2r_db_exec(sqlite3 *db, const char *sql, const char *doing = "updating it");
// One line on standard error about a failed database operation: the
// database's path, what was being done and why it failed.
void fr2r_db_error(sqlite3 *db, const char *doing);

// A prepared statement, finalized when its owner goes out of scope or is
// given another. Move-only; it stands for the statement in SQLite's calls.
struct fr2r_stmt {
    sqlite3_stmt *st = nullptr;

    fr2r_stmt() = default;
    fr2r_stmt(const fr2r_stmt &) = delete;
    fr2r_stmt &operator=(const fr2r_stmt &) = delete;
    fr2r_stmt(fr2r_stmt &&o) noexcept : st(o.st) { o.st = nullptr; }
    fr2r_stmt &operator=(fr2r_stmt &&o) noexcept {
        if (this != &o) {
            sqlite3_finalize(st);
            st = o.st;
            o.st = nullptr;
        }
        return *this;
    }
    ~fr2r_stmt() { sqlite3_finalize(st); }
    operator sqlite3_stmt *() const { return st; }
};

// Prepares sql; an empty statement when it cannot be prepared (the caller
// says what it was doing: fr2r_db_error).
fr2r_stmt fr2r_prepare(sqlite3 *db, const char *sql);

// Runs an INSERT of scan's rows n times: ?1 is the scan, fill(st, i) binds
// the rest of row i. false after fr2r_db_error's line on what was being done.
template <typename Fill> bool fr2r_insert_rows(sqlite3 *db, int64_t scan, const char *sql, size_t n,
                                               const char *doing, Fill fill) {
    fr2r_stmt st = fr2r_prepare(db, sql);
    if (!st) {
        fr2r_db_error(db, doing);
        return false;
    }
    sqlite3_bind_int64(st, 1, scan);
    for (size_t i = 0; i < n; i++) {
        fill(st.st, i);
        if (sqlite3_step(st) != SQLITE_DONE) {
            fr2r_db_error(db, doing);
            return false;
        }
        sqlite3_reset(st);
    }
    return true;
}

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
