// The reports: each one made of the query layer's aggregates, returned as
// tables. "Files" are all non-directory lines. Sizes "once" count a file with
// several links once per device and inode; "raw" sizes count every line.
#include "fr2r_reports.h"

#include <inttypes.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <unordered_map>

#include "fr2r_escape.h"
#include "fr2r_query.h"
#include "fr2r_sums.h"

namespace {

double share(int64_t part, int64_t whole) { return whole > 0 ? 100.0 * part / whole : 0; }

std::string more_note(size_t shown, size_t all, const char *what) {
    if (shown >= all) return "";
    return std::to_string(all - shown) + " more " + what + " not shown (--limit 0 shows all)";
}

size_t limit_of(const fr2r_report_options &o, size_t n) {
    return o.limit > 0 && (size_t)o.limit < n ? (size_t)o.limit : n;
}

bool by_alloc(const fr2r_report_options &o) { return o.by == "allocated"; }

// Rows as the query ranked them (by size once), or by allocated space when
// asked (ties keep that order); returns the total of what they are ranked by.
template <typename Row> int64_t rank_by_space(std::vector<Row> *rows, bool alloc) {
    if (alloc)
        std::stable_sort(rows->begin(), rows->end(),
                         [](const Row &a, const Row &b) { return a.alloc > b.alloc; });
    int64_t total = 0;
    for (const auto &r : *rows) total = fr2r_add(total, alloc ? r.alloc : r.once);
    return total;
}

fr2r_cell ext_cell(const std::string &e) { return e.empty() ? fr2r_null() : fr2r_text(e); }

fr2r_cell name_cell(const std::string &n) { return n.empty() ? fr2r_null() : fr2r_text(n); }

// A rollup keeps its times in whole days back from the scan's time.
std::string whole_days_note(const fr2r_scan &s) {
    return "scan " + std::to_string(s.id) +
           " is a rollup: its times are counted in whole days back from the scan's time, so "
           "a reference time that is not a whole number of days from it is rounded";
}

}  // namespace

int fr2r_report_summary(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &,
                        std::vector<fr2r_table> *out) {
    fr2r_totals x;
    if (fr2r_q_totals(db, s, &x) != 0) return -1;
    // A rollup counted them when it was loaded; a whole scan's come with its
    // subtree totals.
    int64_t unattached = x.unattached;
    std::vector<fr2r_dir_total> dirs;
    if (unattached < 0 && fr2r_q_dirs(db, s, &dirs, &unattached) != 0) return -1;
    fr2r_table t;
    t.name = "summary";
    t.title = "Summary";
    t.cols = {{"item", FR2R_TEXT}, {"value", FR2R_INT}};
    auto add = [&](const char *k, fr2r_cell c) { t.rows.push_back({fr2r_text(k), c}); };
    add("lines", fr2r_int(x.lines));
    add("files", fr2r_int(x.files));
    add("directories", fr2r_int(x.dirs));
    add("regular_files", fr2r_int(x.regular));
    add("symbolic_links", fr2r_int(x.symlinks));
    add("other_files", fr2r_int(x.files - x.regular - x.symlinks));
    add("size", fr2r_bytes(x.once));
    add("size_every_link", fr2r_bytes(x.raw));
    add("allocated", fr2r_bytes(x.alloc));
    add("allocated_every_link", fr2r_bytes(x.alloc_raw));
    add("files_with_links", fr2r_int(x.linked));
    add("extra_links", fr2r_int(x.extra));
    add("users", fr2r_int(x.users));
    add("groups", fr2r_int(x.groups));
    add("devices", fr2r_int(x.devices));
    add("deepest_level", x.lines ? fr2r_int(x.deepest) : fr2r_null());
    add("largest_file", x.files ? fr2r_bytes(x.largest) : fr2r_null());
    add("oldest_mtime", x.files ? fr2r_time(x.oldest) : fr2r_null());
    add("newest_mtime", x.files ? fr2r_time(x.newest) : fr2r_null());
    add("unattached_lines", fr2r_int(unattached));
    add("skipped_lines", fr2r_int(s.skipped));
    t.note = "size counts a file with several links once; size_every_link counts each line";
    if (unattached > 0) t.note += "; unattached lines name a directory that has no line of its own";
    out->push_back(t);
    return 0;
}

int fr2r_report_owners(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o, bool groups,
                       std::vector<fr2r_table> *out) {
    std::vector<fr2r_owner_row> rows;
    if (fr2r_q_owners(db, s, groups, &rows) != 0) return -1;
    bool alloc = by_alloc(o);
    int64_t total = rank_by_space(&rows, alloc);
    fr2r_table t;
    t.name = groups ? "groups" : "users";
    t.title = groups ? "Space by group" : "Space by user";
    t.cols = {{groups ? "gid" : "uid", FR2R_INT},
              {groups ? "group" : "user", FR2R_TEXT},
              {"entries", FR2R_INT},
              {"files", FR2R_INT},
              {"size", FR2R_BYTES},
              {"size_every_link", FR2R_BYTES},
              {"allocated", FR2R_BYTES},
              {"share", FR2R_PCT}};
    size_t n = limit_of(o, rows.size());
    for (size_t i = 0; i < n; i++) {
        const fr2r_owner_row &r = rows[i];
        std::string name =
            groups ? fr2r_group_name((uint32_t)r.id) : fr2r_user_name((uint32_t)r.id);
        t.rows.push_back({fr2r_int(r.id), name_cell(name), fr2r_int(r.entries), fr2r_int(r.files),
                          fr2r_int(r.once), fr2r_int(r.raw), fr2r_int(r.alloc),
                          fr2r_pct(share(alloc ? r.alloc : r.once, total))});
    }
    t.note = more_note(n, rows.size(), groups ? "groups" : "users");
    if (alloc) t.note += std::string(t.note.empty() ? "" : "; ") + "ranked by allocated space";
    out->push_back(t);
    return 0;
}

int fr2r_report_extensions(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                           std::vector<fr2r_table> *out) {
    std::vector<fr2r_ext_row> rows;
    if (fr2r_q_extensions(db, s, &rows) != 0) return -1;
    bool alloc = by_alloc(o);
    int64_t total = rank_by_space(&rows, alloc);
    fr2r_table t;
    t.name = "extensions";
    t.title = "Space by file extension";
    t.cols = {{"extension", FR2R_TEXT},        {"files", FR2R_INT},       {"size", FR2R_BYTES},
              {"size_every_link", FR2R_BYTES}, {"allocated", FR2R_BYTES}, {"share", FR2R_PCT}};
    size_t n = limit_of(o, rows.size());
    for (size_t i = 0; i < n; i++) {
        const fr2r_ext_row &r = rows[i];
        t.rows.push_back({ext_cell(r.ext), fr2r_int(r.files), fr2r_int(r.once), fr2r_int(r.raw),
                          fr2r_int(r.alloc), fr2r_pct(share(alloc ? r.alloc : r.once, total))});
    }
    t.note = more_note(n, rows.size(), "extensions");
    out->push_back(t);
    return 0;
}

int fr2r_report_ages(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                     std::vector<fr2r_table> *out) {
    int64_t now = o.now >= 0 ? o.now : s.scan_time;
    fr2r_ages a;
    if (fr2r_q_ages(db, s, now, &a) != 0) return -1;
    auto &files = a.files;
    auto &bytes = a.bytes;
    fr2r_table t;
    t.name = "ages";
    t.title = "File ages (last access, modification and change)";
    t.cols = {
        {"age", FR2R_TEXT},           {"files_by_mtime", FR2R_INT},  {"size_by_mtime", FR2R_BYTES},
        {"files_by_atime", FR2R_INT}, {"size_by_atime", FR2R_BYTES}, {"files_by_ctime", FR2R_INT},
        {"size_by_ctime", FR2R_BYTES}};
    for (int i = 0; i < FR2R_NAGES; i++) {
        if (i == 0 && files[0][0] + files[1][0] + files[2][0] == 0) continue;
        t.rows.push_back({fr2r_text(fr2r_age_label(i)), fr2r_int(files[1][i]),
                          fr2r_int(bytes[1][i]), fr2r_int(files[0][i]), fr2r_int(bytes[0][i]),
                          fr2r_int(files[2][i]), fr2r_int(bytes[2][i])});
    }
    char when[64] = "";
    time_t tt = (time_t)now;
    struct tm tm;
    if (localtime_r(&tt, &tm)) strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    t.note = std::string("ages counted back from ") + when +
             " (the scan's time unless --now is given); a file with several links counts once";
    if (a.whole_days) t.note += "; " + whole_days_note(s);
    out->push_back(t);
    return 0;
}

int fr2r_report_sizes(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &,
                      std::vector<fr2r_table> *out) {
    fr2r_sizes z;
    if (fr2r_q_sizes(db, s, &z) != 0) return -1;
    auto &files = z.files;
    auto &bytes = z.bytes;
    int64_t all_files = 0, all_bytes = 0;
    for (int b = 0; b < 65; b++) {
        all_files += files[b];
        all_bytes = fr2r_add(all_bytes, bytes[b]);
    }
    fr2r_table t;
    t.name = "sizes";
    t.title = "File sizes (powers of two)";
    t.cols = {{"from", FR2R_BYTES},          {"below", FR2R_BYTES},     {"files", FR2R_INT},
              {"size", FR2R_BYTES},          {"files_share", FR2R_PCT}, {"size_share", FR2R_PCT},
              {"files_cumulative", FR2R_PCT}};
    int lo = 0, hi = -1;
    for (int b = 0; b < 65; b++)
        if (files[b]) {
            if (hi < 0) lo = b;
            hi = b;
        }
    int64_t cum = 0;
    for (int b = lo; b <= hi; b++) {
        cum += files[b];
        fr2r_cell from = b == 0 ? fr2r_int(0) : fr2r_int((int64_t)(1ull << (b - 1)));
        fr2r_cell below = b == 0    ? fr2r_int(1)
                          : b >= 64 ? fr2r_null()
                                    : fr2r_int((int64_t)(1ull << b));
        if (b == 63) below = fr2r_null();
        t.rows.push_back({from, below, fr2r_int(files[b]), fr2r_int(bytes[b]),
                          fr2r_pct(share(files[b], all_files)),
                          fr2r_pct(share(bytes[b], all_bytes)), fr2r_pct(share(cum, all_files))});
    }
    t.note = "a file with several links counts once";
    out->push_back(t);
    return 0;
}

namespace {

fr2r_table biggest_table(const std::vector<fr2r_dir_total> &all, const fr2r_report_options &o,
                         const char *by) {
    std::vector<size_t> idx(all.size());
    for (size_t i = 0; i < all.size(); i++) idx[i] = i;
    auto key = [&](size_t i) {
        if (!strcmp(by, "own")) return all[i].dirsum;
        if (!strcmp(by, "count")) return all[i].fcount;
        if (!strcmp(by, "allocated")) return all[i].tree_alloc;
        return all[i].tree_size;
    };
    std::stable_sort(idx.begin(), idx.end(), [&](size_t a, size_t b) {
        int64_t ka = key(a), kb = key(b);
        if (ka != kb) return ka > kb;
        return all[a].path < all[b].path;
    });
    fr2r_table t;
    t.name = std::string("biggest_") + by;
    t.title = !strcmp(by, "own")         ? "Biggest directories by their own entries"
              : !strcmp(by, "count")     ? "Most crowded directories"
              : !strcmp(by, "allocated") ? "Biggest directories by allocated space below them"
                                         : "Biggest directories with everything below them";
    t.cols = {{"directory", FR2R_TEXT},
              {"entries", FR2R_INT},
              {"own_size", FR2R_BYTES},
              {"tree_size", FR2R_BYTES},
              {"tree_size_every_link", FR2R_BYTES},
              {"tree_allocated", FR2R_BYTES},
              {"tree_entries", FR2R_INT}};
    size_t n = limit_of(o, idx.size());
    for (size_t k = 0; k < n; k++) {
        const fr2r_dir_total &x = all[idx[k]];
        t.rows.push_back({fr2r_text(x.path), fr2r_int(x.fcount), fr2r_int(x.dirsum),
                          fr2r_int(x.tree_size), fr2r_int(x.tree_raw), fr2r_int(x.tree_alloc),
                          fr2r_int(x.tree_entries)});
    }
    t.note = more_note(n, idx.size(), "directories");
    return t;
}

}  // namespace

int fr2r_report_biggest(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                        std::vector<fr2r_table> *out) {
    std::vector<fr2r_dir_total> all;
    int64_t lost = 0;
    if (fr2r_q_dirs(db, s, &all, &lost) != 0) return -1;
    if (o.by.empty() || o.by == "own") out->push_back(biggest_table(all, o, "own"));
    if (o.by.empty() || o.by == "tree") out->push_back(biggest_table(all, o, "tree"));
    if (o.by.empty() || o.by == "count") out->push_back(biggest_table(all, o, "count"));
    if (o.by == "allocated") out->push_back(biggest_table(all, o, "allocated"));
    if (lost > 0 && !out->empty())
        out->back().note += (out->back().note.empty() ? "" : "; ") + std::to_string(lost) +
                            " lines name a directory that has no line and are left out";
    if (o.by.empty() || o.by == "files" || o.by == "allocated") {
        std::vector<fr2r_file_row> files;
        int64_t missing = 0;
        if (fr2r_q_biggest_files(db, s, o.by == "allocated", o.limit, &files, &missing) != 0)
            return -1;
        fr2r_table t;
        t.name = "biggest_files";
        t.title = "Biggest files";
        t.cols = {{"file", FR2R_TEXT}, {"size", FR2R_BYTES}, {"allocated", FR2R_BYTES},
                  {"uid", FR2R_INT},   {"user", FR2R_TEXT},  {"mtime", FR2R_TIME},
                  {"links", FR2R_INT}};
        for (const auto &f : files)
            t.rows.push_back({fr2r_text(f.path), fr2r_int(f.size),
                              fr2r_int(fr2r_blocks_bytes(f.blocks)), fr2r_int(f.uid),
                              name_cell(fr2r_user_name((uint32_t)f.uid)), fr2r_int(f.mtime),
                              fr2r_int(f.nlink)});
        if (missing > 0)
            t.note =
                std::to_string(missing) + " more files not shown: the rollup scan kept only the " +
                std::to_string(s.keep_files) + " biggest (load --rollup --keep-files N keeps more)";
        out->push_back(t);
    }
    return 0;
}

namespace {

struct delta_row {
    fr2r_cell key, name;
    int64_t old_v = 0, new_v = 0;
    int64_t old_n = 0, new_n = 0;
    std::string status;
};

int64_t magnitude(int64_t v) { return v == INT64_MIN ? INT64_MAX : v < 0 ? -v : v; }

// Rows whose size and count did not move are left out; the rest come
// biggest change first, growth or shrinkage alike, so that one directory
// that changed is not buried under many that did not.
fr2r_table delta_table(const char *name, const char *title, const char *key_col,
                       const char *name_col, std::vector<delta_row> rows,
                       const fr2r_report_options &o, const char *what) {
    size_t unchanged = 0;
    std::vector<delta_row> changed;
    for (auto &r : rows) {
        if (r.old_v == r.new_v && r.old_n == r.new_n && r.status.empty())
            unchanged++;
        else
            changed.push_back(std::move(r));
    }
    std::stable_sort(changed.begin(), changed.end(), [](const delta_row &a, const delta_row &b) {
        int64_t ga = magnitude(fr2r_sub(a.new_v, a.old_v)),
                gb = magnitude(fr2r_sub(b.new_v, b.old_v));
        if (ga != gb) return ga > gb;
        int64_t ca = magnitude(a.new_n - a.old_n), cb = magnitude(b.new_n - b.old_n);
        if (ca != cb) return ca > cb;
        return a.new_v > b.new_v;
    });
    fr2r_table t;
    t.name = name;
    t.title = title;
    t.cols.push_back({key_col, FR2R_TEXT});
    if (name_col) t.cols.push_back({name_col, FR2R_TEXT});
    bool alloc = by_alloc(o);
    t.cols.push_back({alloc ? "old_allocated" : "old_size", FR2R_BYTES});
    t.cols.push_back({alloc ? "new_allocated" : "new_size", FR2R_BYTES});
    t.cols.push_back({"growth", FR2R_BYTES});
    t.cols.push_back({"old_count", FR2R_INT});
    t.cols.push_back({"new_count", FR2R_INT});
    t.cols.push_back({"status", FR2R_TEXT});
    if (t.cols[0].name == "uid" || t.cols[0].name == "gid") t.cols[0].kind = FR2R_INT;
    size_t n = limit_of(o, changed.size());
    for (size_t i = 0; i < n; i++) {
        const delta_row &r = changed[i];
        std::vector<fr2r_cell> c;
        c.push_back(r.key);
        if (name_col) c.push_back(r.name);
        c.push_back(fr2r_int(r.old_v));
        c.push_back(fr2r_int(r.new_v));
        c.push_back(fr2r_int(fr2r_sub(r.new_v, r.old_v)));
        c.push_back(fr2r_int(r.old_n));
        c.push_back(fr2r_int(r.new_n));
        c.push_back(r.status.empty() ? fr2r_null() : fr2r_text(r.status));
        t.rows.push_back(c);
    }
    t.note = more_note(n, changed.size(), what);
    if (unchanged > 0)
        t.note += (t.note.empty() ? "" : "; ") + std::to_string(unchanged) + " unchanged " + what +
                  " left out";
    return t;
}

// The problem of a scan that covers path: the directory itself or one above it.
const fr2r_problem *problem_at(const fr2r_scan &s, const std::string &path) {
    for (const auto &p : s.problems) {
        if (path == p.path) return &p;
        if (path.size() > p.path.size() && path.compare(0, p.path.size(), p.path) == 0 &&
            (path[p.path.size()] == '/' || p.path == "/"))
            return &p;
    }
    return nullptr;
}

}  // namespace

// Old and new rows of one grouping side by side: gone, new, or in both.
template <typename Key, typename Row, typename KeyOf, typename CountOf, typename ValueOf>
static void merge_deltas(std::map<Key, delta_row> &m, const std::vector<Row> &old_rows,
                         const std::vector<Row> &new_rows, KeyOf key_of, CountOf count_of,
                         ValueOf value_of) {
    for (const auto &r : old_rows) {
        delta_row &x = m[key_of(r)];
        x.old_v = value_of(r);
        x.old_n = count_of(r);
        x.new_v = x.new_n = 0;
        x.status = "gone";
    }
    for (const auto &r : new_rows) {
        auto it = m.find(key_of(r));
        delta_row &x = m[key_of(r)];
        if (it == m.end()) {
            x.old_v = x.old_n = 0;
            x.status = "new";
        } else {
            x.status = "";
        }
        x.new_v = value_of(r);
        x.new_n = count_of(r);
    }
}

int fr2r_report_diff(sqlite3 *dbo, const fr2r_scan &so, sqlite3 *dbn, const fr2r_scan &sn,
                     const fr2r_report_options &o, std::vector<fr2r_table> *out) {
    bool alloc = by_alloc(o);
    // Directories, by path: the subtree totals of both scans.
    std::vector<fr2r_dir_total> od, nd;
    if (fr2r_q_dirs(dbo, so, &od, nullptr) != 0) return -1;
    if (fr2r_q_dirs(dbn, sn, &nd, nullptr) != 0) return -1;
    auto value = [&](const fr2r_dir_total &x) { return alloc ? x.tree_alloc : x.tree_size; };
    std::unordered_map<std::string, size_t> old_at;
    for (size_t i = 0; i < od.size(); i++) old_at.emplace(od[i].path, i);
    std::vector<delta_row> rows;
    std::vector<bool> seen(od.size(), false);
    int64_t old_total = 0, new_total = 0;
    for (const auto &x : od)
        if (x.depth == 0) old_total = fr2r_add(old_total, value(x));
    for (const auto &x : nd) {
        if (x.depth == 0) new_total = fr2r_add(new_total, value(x));
        auto it = old_at.find(x.path);
        delta_row r;
        r.key = fr2r_text(x.path);
        r.new_v = value(x);
        r.new_n = x.tree_entries;
        if (it != old_at.end()) {
            seen[it->second] = true;
            r.old_v = value(od[it->second]);
            r.old_n = od[it->second].tree_entries;
            // Read only in part this time (or last time): its change may be the scanner's.
            const fr2r_problem *pn = problem_at(sn, x.path), *po = problem_at(so, x.path);
            if (pn)
                r.status = "partly unreadable in the new scan";
            else if (po)
                r.status = "partly unreadable in the old scan";
        } else {
            r.status = problem_at(so, x.path) ? "unreadable in the old scan" : "new";
        }
        rows.push_back(r);
    }
    for (size_t i = 0; i < od.size(); i++) {
        if (seen[i]) continue;
        delta_row r;
        r.key = fr2r_text(od[i].path);
        r.old_v = value(od[i]);
        r.old_n = od[i].tree_entries;
        r.new_v = r.new_n = 0;
        r.status = problem_at(sn, od[i].path) ? "unreadable in the new scan" : "gone";
        rows.push_back(r);
    }
    fr2r_table sum;
    sum.name = "diff_summary";
    sum.title = "Growth from scan " + std::to_string(so.id) + " (" + fr2r_term_escape(so.label) +
                ") to scan " + std::to_string(sn.id) + " (" + fr2r_term_escape(sn.label) + ")";
    sum.cols = {{"item", FR2R_TEXT}, {"old", FR2R_INT}, {"new", FR2R_INT}, {"growth", FR2R_INT}};
    sum.rows.push_back({fr2r_text("lines"), fr2r_int(so.lines), fr2r_int(sn.lines),
                        fr2r_int(sn.lines - so.lines)});
    fr2r_cell a = fr2r_bytes(old_total), b = fr2r_bytes(new_total),
              g = fr2r_bytes(fr2r_sub(new_total, old_total));
    sum.rows.push_back({fr2r_text(alloc ? "allocated" : "size"), a, b, g});
    sum.rows.push_back({fr2r_text("scan_time"), fr2r_time(so.scan_time), fr2r_time(sn.scan_time),
                        fr2r_int(sn.scan_time - so.scan_time)});
    if (so.root != sn.root)
        sum.note = "the scans are of different trees (" + fr2r_term_escape(so.root) + " and " +
                   fr2r_term_escape(sn.root) + "): their difference says little";
    for (const fr2r_scan *x : {&so, &sn})
        if (!x->incomplete.empty() || !x->problems.empty())
            sum.note += std::string(sum.note.empty() ? "" : "; ") + "scan " +
                        std::to_string(x->id) + " is " +
                        (x->incomplete.empty() ? "missing unreadable directories" : "incomplete") +
                        ": differences may be the scanner's";
    out->push_back(sum);
    out->push_back(delta_table("diff_directories", "Growth by directory (everything below it)",
                               "directory", nullptr, rows, o, "directories"));

    for (int g2 = 0; g2 < 2; g2++) {
        bool groups = g2 == 1;
        std::vector<fr2r_owner_row> orow, nrow;
        if (fr2r_q_owners(dbo, so, groups, &orow) != 0 ||
            fr2r_q_owners(dbn, sn, groups, &nrow) != 0)
            return -1;
        std::map<int64_t, delta_row> m;
        merge_deltas(
            m, orow, nrow, [](const fr2r_owner_row &r) { return r.id; },
            [](const fr2r_owner_row &r) { return r.entries; },
            [alloc](const fr2r_owner_row &r) { return alloc ? r.alloc : r.once; });
        std::vector<delta_row> v;
        for (auto &kv : m) {
            kv.second.key = fr2r_int(kv.first);
            std::string nm =
                groups ? fr2r_group_name((uint32_t)kv.first) : fr2r_user_name((uint32_t)kv.first);
            kv.second.name = name_cell(nm);
            v.push_back(kv.second);
        }
        out->push_back(delta_table(
            groups ? "diff_groups" : "diff_users", groups ? "Growth by group" : "Growth by user",
            groups ? "gid" : "uid", groups ? "group" : "user", v, o, groups ? "groups" : "users"));
    }
    std::vector<fr2r_ext_row> oe, ne;
    if (fr2r_q_extensions(dbo, so, &oe) != 0 || fr2r_q_extensions(dbn, sn, &ne) != 0) return -1;
    std::map<std::string, delta_row> m;
    merge_deltas(
        m, oe, ne, [](const fr2r_ext_row &r) { return r.ext; },
        [](const fr2r_ext_row &r) { return r.files; },
        [alloc](const fr2r_ext_row &r) { return alloc ? r.alloc : r.once; });
    std::vector<delta_row> v;
    for (auto &kv : m) {
        kv.second.key = ext_cell(kv.first);
        v.push_back(kv.second);
    }
    out->push_back(delta_table("diff_extensions", "Growth by file extension", "extension", nullptr,
                               v, o, "extensions"));
    return 0;
}

int fr2r_report_cold(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                     std::vector<fr2r_table> *out) {
    int64_t now = o.now >= 0 ? o.now : s.scan_time;
    int64_t cutoff = fr2r_sub(now, o.years * 365 * 86400 + o.years / 4 * 86400);
    std::vector<fr2r_cold_row> rows;
    bool whole_days = false;
    if (fr2r_q_cold(db, s, cutoff, &rows, &whole_days) != 0) return -1;
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const fr2r_cold_row &r) { return r.files == 0; }),
               rows.end());
    int64_t total_files = 0, total_alloc = 0;
    for (const auto &r : rows) {
        total_files += r.files;
        total_alloc = fr2r_add(total_alloc, r.alloc);
    }
    std::sort(rows.begin(), rows.end(), [](const fr2r_cold_row &a, const fr2r_cold_row &b) {
        return a.alloc != b.alloc ? a.alloc > b.alloc : a.uid < b.uid;
    });
    fr2r_table t;
    t.name = "cold";
    t.title = "Cold data: files not read for more than " + std::to_string(o.years) + " year" +
              (o.years == 1 ? "" : "s") + ", by user";
    t.cols = {{"uid", FR2R_INT},           {"user", FR2R_TEXT},
              {"cold_files", FR2R_INT},    {"cold_allocated", FR2R_BYTES},
              {"share_of_user", FR2R_PCT}, {"oldest_access", FR2R_TIME}};
    size_t n = limit_of(o, rows.size());
    for (size_t i = 0; i < n; i++) {
        const fr2r_cold_row &r = rows[i];
        t.rows.push_back({fr2r_int(r.uid), name_cell(fr2r_user_name((uint32_t)r.uid)),
                          fr2r_int(r.files), fr2r_int(r.alloc),
                          fr2r_pct(share(r.alloc, r.all_alloc)), fr2r_int(r.oldest)});
    }
    char when[64] = "";
    time_t tt = (time_t)cutoff;
    struct tm tm;
    if (localtime_r(&tt, &tm)) strftime(when, sizeof when, "%Y-%m-%d", &tm);
    t.note = "last access before " + std::string(when) + ": " + std::to_string(total_files) +
             " files, " + fr2r_human_bytes(total_alloc) +
             " allocated; access times are only as good as the file system keeps them "
             "(noatime, relatime)";
    if (whole_days) t.note += "; " + whole_days_note(s);
    std::string more = more_note(n, rows.size(), "users");
    if (!more.empty()) t.note += "; " + more;
    out->push_back(t);
    return 0;
}
