// Helpers for the fsrake2-report tests: running the program, reading its
// database directly, a tree with hard names, and the model computed from it.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace r2t {

using Rows = std::vector<std::vector<std::string>>;

fr2test::RunResult run_report(const std::vector<std::string> &args,
                              const fr2test::RunOptions &opt = {});
// The rows of a query on a database file, read with SQLite itself; blobs
// as their bytes, NULL as "<null>".
Rows sql(const std::string &db, const std::string &query);
// A report's CSV tables (a blank line separates them); the first row of
// each is the header. Fails the test when the program fails.
std::vector<Rows> report_csv(const std::string &db, const std::vector<std::string> &args);
// Row of table t keyed by column col, each row as a map from column name.
std::map<std::string, std::map<std::string, std::string>> keyed(const Rows &t,
                                                                const std::string &col);

// Scans root with the real fsrake2 (with its header line) into csv.
void scan_to(const std::string &root, const std::string &csv);

// Builds the tree of hard names below root: quotes, commas, line feeds,
// bytes that are not UTF-8, an escape character, hard links in two
// directories, a symbolic link, sparse and empty files, owners (when root)
// and time stamps spread over the years before t0.
void build_tree(const std::string &root, long long t0);

// The extension of a name by the scanner's rule, or "" for none.
std::string extension_of(const std::string &name);
// Number of '/' in the path after the root: 0 for the root itself.
int level_of(const std::string &root, const std::string &path);
std::string parent_of(const std::string &path);
std::string base_of(const std::string &path);

// Names from the system's own files, parsed here, not through the C library.
std::map<unsigned, std::string> passwd_names(const char *file);

}  // namespace r2t
