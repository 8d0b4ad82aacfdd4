// Loading one scan into the database in one transaction: a row per line (a
// whole scan), or its totals (a rollup).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "fr2r_messages.h"

struct sqlite3;

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

// Loads one scan from inputs ("-" is standard input; several files are the
// parts of one scan) in one transaction.
// Returns 0, or -1 after a message (and then nothing of the scan is stored).
int fr2r_load(sqlite3 *db, const std::vector<std::string> &inputs, const fr2r_load_options &opt,
              fr2r_load_result *res);
