// A report is tables of typed cells; they are printed as aligned text, CSV
// or JSON.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct fr2r_scan;

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

enum fr2r_format { FR2R_FMT_TEXT, FR2R_FMT_CSV, FR2R_FMT_JSON };

// The tables of one report; scan (may be null) heads the text and JSON
// forms with the scan and its warnings.
void fr2r_print_tables(FILE *f, const std::string &report, const fr2r_scan *scan,
                       const std::vector<fr2r_table> &tables, fr2r_format fmt);
std::string fr2r_human_bytes(int64_t v);
