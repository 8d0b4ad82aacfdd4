// The report database: opening it (creating or upgrading its schema),
// its errors, and the scans it holds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fr2r_messages.h"

struct sqlite3;

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
