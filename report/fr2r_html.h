// The self-contained HTML page of a scan: every report with its charts, a
// treemap of the folders, growth and trends.
#pragma once

#include <stdio.h>

#include "fr2r_db.h"
#include "fr2r_reports.h"

struct sqlite3;

// Writes the page of scan s to f. 0, or -1: after a message, or alone when
// f could not be written (as for every report, the exit status says it).
int fr2r_write_html(FILE *f, sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o);
