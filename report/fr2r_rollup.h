// A rollup: one scan's lines summed as they are read, with no row per
// line. One rollup per parsing thread, merged in input order, and stored
// once every line is in.
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
// Credits the files with several links, rebuilds the subtree totals and
// writes the rollup rows of scan (inside the caller's transaction). 0, or -1
// after a message.
int fr2r_rollup_store(sqlite3 *db, int64_t scan, fr2r_rollup *r);
