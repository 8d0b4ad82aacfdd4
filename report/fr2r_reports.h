// The reports, each made of the query layer's answers and returned as
// tables.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "fr2r_db.h"
#include "fr2r_format.h"

struct sqlite3;

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
