// A rollup: one scan's lines summed as they are read, with no row per
// line. One rollup per parsing thread, merged in input order, finished once
// every line is in, then stored.
#pragma once

#include <stdint.h>

#include "fr2r_csv.h"

struct sqlite3;

struct fr2r_rollup;
fr2r_rollup *fr2r_rollup_new(int64_t scan_time, int64_t keep_files);
void fr2r_rollup_free(fr2r_rollup *r);
// One line of the scan; file and line order the lines of a scan that came
// in several inputs (the input's index, the line in it).
void fr2r_rollup_add(fr2r_rollup *r, const fr2r_entry &e, uint32_t file, int64_t line);
// Adds everything of from (the lines that follow into's in the input) to into.
void fr2r_rollup_merge(fr2r_rollup *into, fr2r_rollup *from);
// Once every line is in: credits the files with several links and rebuilds
// the subtree totals. Nothing may be added or merged after it.
void fr2r_rollup_finish(fr2r_rollup *r);
// Writes the rollup rows of a finished rollup for scan (inside the caller's
// transaction). 0, or -1 after a message.
int fr2r_rollup_store(sqlite3 *db, int64_t scan, const fr2r_rollup *r);
