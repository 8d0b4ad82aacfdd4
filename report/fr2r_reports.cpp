// The reports: each one a query over one scan's rows, returned as tables.
// "Files" are all non-directory lines. Sizes "once" count a file with several
// links once per device and inode; "raw" sizes count every line.
#include <grp.h>
#include <inttypes.h>
#include <pwd.h>
#include <sqlite3.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "fr2r.h"

namespace {

sqlite3_stmt *prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(db));
        sqlite3_finalize(st);
        return nullptr;
    }
    return st;
}

// A statement over one scan's rows: ?1 and ?2 are its first and last row.
sqlite3_stmt *prepare_scan(sqlite3 *db, const fr2r_scan &s, const char *sql) {
    sqlite3_stmt *st = prepare(db, sql);
    if (st) {
        sqlite3_bind_int64(st, 1, s.first_row);
        sqlite3_bind_int64(st, 2, s.last_row);
    }
    return st;
}

bool finish(sqlite3 *db, sqlite3_stmt *st, int rc) {
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) {
        fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(db));
        return false;
    }
    return true;
}

std::string column_blob(sqlite3_stmt *st, int i) {
    const void *b = sqlite3_column_blob(st, i);
    return b ? std::string((const char *)b, sqlite3_column_bytes(st, i)) : std::string();
}

double share(int64_t part, int64_t whole) { return whole > 0 ? 100.0 * part / whole : 0; }

std::string more_note(size_t shown, size_t all, const char *what) {
    if (shown >= all) return "";
    return std::to_string(all - shown) + " more " + what + " not shown (--limit 0 shows all)";
}

size_t limit_of(const fr2r_report_options &o, size_t n) {
    return o.limit > 0 && (size_t)o.limit < n ? (size_t)o.limit : n;
}

struct owner_row {
    int64_t id, entries, files, once, raw, alloc;
};

// The groupings are summed here in one pass over the scan's rows: SQLite
// would sort a million rows for each GROUP BY on a column without an index.
// The page and diff ask for the same groupings and totals more than once; a
// pass over ten million rows is worth keeping for the rest of the run.
struct memo_key {
    sqlite3 *db;
    int64_t scan, last_row;
    int what;
    bool operator<(const memo_key &o) const {
        if (db != o.db) return db < o.db;
        if (scan != o.scan) return scan < o.scan;
        if (last_row != o.last_row) return last_row < o.last_row;
        return what < o.what;
    }
};

int owner_rows_uncached(sqlite3 *db, const fr2r_scan &s, bool groups, std::vector<owner_row> *out);

int owner_rows(sqlite3 *db, const fr2r_scan &s, bool groups, std::vector<owner_row> *out) {
    static std::map<memo_key, std::vector<owner_row>> memo;
    memo_key k{db, s.id, s.last_row, groups ? 1 : 0};
    auto it = memo.find(k);
    if (it == memo.end()) {
        std::vector<owner_row> rows;
        if (owner_rows_uncached(db, s, groups, &rows) != 0) return -1;
        it = memo.emplace(k, std::move(rows)).first;
    }
    *out = it->second;
    return 0;
}

int owner_rows_uncached(sqlite3 *db, const fr2r_scan &s, bool groups, std::vector<owner_row> *out) {
    sqlite3_stmt *st = prepare_scan(db, s,
                                    groups ? "SELECT gid, is_dir, dup, size, blocks FROM entries "
                                             "WHERE rowid BETWEEN ?1 AND ?2"
                                           : "SELECT uid, is_dir, dup, size, blocks FROM entries "
                                             "WHERE rowid BETWEEN ?1 AND ?2");
    if (!st) return -1;
    std::unordered_map<int64_t, owner_row> m;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t id = sqlite3_column_int64(st, 0);
        auto it = m.find(id);
        if (it == m.end()) it = m.emplace(id, owner_row{id, 0, 0, 0, 0, 0}).first;
        owner_row &r = it->second;
        bool dup = sqlite3_column_int64(st, 2) != 0;
        int64_t size = sqlite3_column_int64(st, 3);
        r.entries++;
        r.files += sqlite3_column_int64(st, 1) == 0;
        r.raw = fr2r_add(r.raw, size);
        if (!dup) {
            r.once = fr2r_add(r.once, size);
            r.alloc = fr2r_add(r.alloc, fr2r_blocks_bytes(sqlite3_column_int64(st, 4)));
        }
    }
    if (!finish(db, st, rc)) return -1;
    for (auto &kv : m) out->push_back(kv.second);
    std::sort(out->begin(), out->end(), [](const owner_row &a, const owner_row &b) {
        return a.once != b.once ? a.once > b.once : a.id < b.id;
    });
    return 0;
}

struct ext_row {
    std::string ext;
    int64_t files, once, raw, alloc;
};

bool by_alloc(const fr2r_report_options &o) { return o.by == "allocated"; }

int ext_rows_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<ext_row> *out);

int ext_rows(sqlite3 *db, const fr2r_scan &s, std::vector<ext_row> *out) {
    static std::map<memo_key, std::vector<ext_row>> memo;
    memo_key k{db, s.id, s.last_row, 2};
    auto it = memo.find(k);
    if (it == memo.end()) {
        std::vector<ext_row> rows;
        if (ext_rows_uncached(db, s, &rows) != 0) return -1;
        it = memo.emplace(k, std::move(rows)).first;
    }
    *out = it->second;
    return 0;
}

int ext_rows_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<ext_row> *out) {
    sqlite3_stmt *st = prepare_scan(db, s,
                                    "SELECT extension, dup, size, blocks FROM entries WHERE rowid "
                                    "BETWEEN ?1 AND ?2 AND is_dir = 0");
    if (!st) return -1;
    std::unordered_map<std::string, ext_row> m;
    std::string key;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const void *b = sqlite3_column_blob(st, 0);
        key.assign(b ? (const char *)b : "", b ? sqlite3_column_bytes(st, 0) : 0);
        auto it = m.find(key);
        if (it == m.end()) it = m.emplace(key, ext_row{key, 0, 0, 0, 0}).first;
        ext_row &r = it->second;
        int64_t size = sqlite3_column_int64(st, 2);
        r.files++;
        r.raw = fr2r_add(r.raw, size);
        if (sqlite3_column_int64(st, 1) == 0) {
            r.once = fr2r_add(r.once, size);
            r.alloc = fr2r_add(r.alloc, fr2r_blocks_bytes(sqlite3_column_int64(st, 3)));
        }
    }
    if (!finish(db, st, rc)) return -1;
    for (auto &kv : m) out->push_back(std::move(kv.second));
    std::sort(out->begin(), out->end(), [](const ext_row &a, const ext_row &b) {
        if (a.once != b.once) return a.once > b.once;
        if (a.files != b.files) return a.files > b.files;
        return a.ext < b.ext;
    });
    return 0;
}

fr2r_cell ext_cell(const std::string &e) { return e.empty() ? fr2r_null() : fr2r_text(e); }

fr2r_cell name_cell(const std::string &n) { return n.empty() ? fr2r_null() : fr2r_text(n); }

std::string parent_path(const std::string &p) {
    size_t k = p.rfind('/');
    if (k == std::string::npos) return "";
    return p.substr(0, k);
}

struct key_hash {
    size_t operator()(const std::pair<int64_t, int64_t> &k) const {
        return std::hash<int64_t>()(k.first) * 1000003u ^ std::hash<int64_t>()(k.second);
    }
};

}  // namespace

std::string fr2r_user_name(uint32_t uid) {
    static std::map<uint32_t, std::string> cache;
    auto it = cache.find(uid);
    if (it != cache.end()) return it->second;
    struct passwd pw, *res = nullptr;
    char buf[16384];
    std::string name;
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) == 0 && res) name = res->pw_name;
    cache[uid] = name;
    return name;
}

std::string fr2r_group_name(uint32_t gid) {
    static std::map<uint32_t, std::string> cache;
    auto it = cache.find(gid);
    if (it != cache.end()) return it->second;
    struct group gr, *res = nullptr;
    char buf[16384];
    std::string name;
    if (getgrgid_r(gid, &gr, buf, sizeof buf, &res) == 0 && res) name = res->gr_name;
    cache[gid] = name;
    return name;
}

int fr2r_user_totals(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_user_total> *out) {
    out->clear();
    sqlite3_stmt *st = prepare(db, "SELECT uid, size, allocated FROM scan_users WHERE scan = ?1");
    if (!st) return -1;
    sqlite3_bind_int64(st, 1, s.id);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out->push_back({sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1),
                        sqlite3_column_int64(st, 2)});
    if (!finish(db, st, rc)) return -1;
    if (!out->empty()) return 0;
    std::vector<owner_row> rows;
    if (owner_rows(db, s, false, &rows) != 0) return -1;
    for (const auto &r : rows) out->push_back({r.id, r.once, r.alloc});
    // Kept for the next page; a database that cannot be written just goes without.
    if (sqlite3_db_readonly(db, "main") == 0 &&
        sqlite3_exec(db, "SAVEPOINT keep_totals", nullptr, nullptr, nullptr) == SQLITE_OK) {
        st = nullptr;
        bool ok = sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO scan_users(scan, uid, size, "
                                         "allocated) VALUES(?1, ?2, ?3, ?4)", -1, &st, nullptr) == SQLITE_OK;
        for (size_t i = 0; ok && i < out->size(); i++) {
            sqlite3_bind_int64(st, 1, s.id);
            sqlite3_bind_int64(st, 2, (*out)[i].uid);
            sqlite3_bind_int64(st, 3, (*out)[i].size);
            sqlite3_bind_int64(st, 4, (*out)[i].allocated);
            ok = sqlite3_step(st) == SQLITE_DONE;
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(db, ok ? "RELEASE keep_totals" : "ROLLBACK TO keep_totals; RELEASE keep_totals",
                     nullptr, nullptr, nullptr);
    }
    return 0;
}

int fr2r_report_summary(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &,
                        std::vector<fr2r_table> *out) {
    sqlite3_stmt *st = prepare_scan(db, s,
                                    "SELECT is_dir, mode, dup, size, blocks, nlink, uid, gid, dev, "
                                    "depth, mtime FROM entries WHERE rowid BETWEEN ?1 AND ?2");
    if (!st) return -1;
    int64_t lines = 0, files = 0, dirs_n = 0, links = 0, regular = 0, once = 0, raw = 0,
            alloc = 0, alloc_raw = 0, linked = 0, extra = 0;
    int64_t deepest = -1, oldest = INT64_MAX, newest = INT64_MIN, largest = -1;
    std::unordered_set<int64_t> uids, gids, devs;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        bool dir = sqlite3_column_int64(st, 0) != 0;
        int64_t mode = sqlite3_column_int64(st, 1);
        bool dup = sqlite3_column_int64(st, 2) != 0;
        int64_t size = sqlite3_column_int64(st, 3);
        int64_t bytes = fr2r_blocks_bytes(sqlite3_column_int64(st, 4));
        int64_t depth = sqlite3_column_int64(st, 9) + (dir ? 1 : 0);
        lines++;
        raw = fr2r_add(raw, size);
        alloc_raw = fr2r_add(alloc_raw, bytes);
        if (!dup) {
            once = fr2r_add(once, size);
            alloc = fr2r_add(alloc, bytes);
        }
        extra += dup;
        uids.insert(sqlite3_column_int64(st, 6));
        gids.insert(sqlite3_column_int64(st, 7));
        devs.insert(sqlite3_column_int64(st, 8));
        if (depth > deepest) deepest = depth;
        if (dir) {
            dirs_n++;
            continue;
        }
        files++;
        links += (mode & 0170000) == 0120000;
        regular += (mode & 0170000) == 0100000;
        linked += !dup && sqlite3_column_int64(st, 5) > 1;
        int64_t mtime = sqlite3_column_int64(st, 10);
        if (mtime < oldest) oldest = mtime;
        if (mtime > newest) newest = mtime;
        if (size > largest) largest = size;
    }
    if (!finish(db, st, rc)) return -1;
    int64_t unattached = 0;
    std::vector<fr2r_dir_total> dirs;
    if (fr2r_tree_totals(db, s.id, &dirs, &unattached) != 0) return -1;
    fr2r_table t;
    t.name = "summary";
    t.title = "Summary";
    t.cols = {{"item", FR2R_TEXT}, {"value", FR2R_INT}};
    auto add = [&](const char *k, fr2r_cell c) { t.rows.push_back({fr2r_text(k), c}); };
    add("lines", fr2r_int(lines));
    add("files", fr2r_int(files));
    add("directories", fr2r_int(dirs_n));
    add("regular_files", fr2r_int(regular));
    add("symbolic_links", fr2r_int(links));
    add("other_files", fr2r_int(files - regular - links));
    add("size", fr2r_bytes(once));
    add("size_every_link", fr2r_bytes(raw));
    add("allocated", fr2r_bytes(alloc));
    add("allocated_every_link", fr2r_bytes(alloc_raw));
    add("files_with_links", fr2r_int(linked));
    add("extra_links", fr2r_int(extra));
    add("users", fr2r_int((int64_t)uids.size()));
    add("groups", fr2r_int((int64_t)gids.size()));
    add("devices", fr2r_int((int64_t)devs.size()));
    add("deepest_level", lines ? fr2r_int(deepest) : fr2r_null());
    add("largest_file", files ? fr2r_bytes(largest) : fr2r_null());
    add("oldest_mtime", files ? fr2r_time(oldest) : fr2r_null());
    add("newest_mtime", files ? fr2r_time(newest) : fr2r_null());
    add("unattached_lines", fr2r_int(unattached));
    add("skipped_lines", fr2r_int(s.skipped));
    t.note = "size counts a file with several links once; size_every_link counts each line";
    if (unattached > 0)
        t.note += "; unattached lines name a directory that has no line of its own";
    out->push_back(t);
    return 0;
}

int fr2r_report_owners(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                       bool groups, std::vector<fr2r_table> *out) {
    std::vector<owner_row> rows;
    if (owner_rows(db, s, groups, &rows) != 0) return -1;
    bool alloc = by_alloc(o);
    if (alloc)
        std::stable_sort(rows.begin(), rows.end(), [](const owner_row &a, const owner_row &b) {
            return a.alloc > b.alloc;
        });
    int64_t total = 0;
    for (const auto &r : rows) total = fr2r_add(total, alloc ? r.alloc : r.once);
    fr2r_table t;
    t.name = groups ? "groups" : "users";
    t.title = groups ? "Space by group" : "Space by user";
    t.cols = {{groups ? "gid" : "uid", FR2R_INT}, {groups ? "group" : "user", FR2R_TEXT},
              {"entries", FR2R_INT},   {"files", FR2R_INT},
              {"size", FR2R_BYTES},    {"size_every_link", FR2R_BYTES},
              {"allocated", FR2R_BYTES}, {"share", FR2R_PCT}};
    size_t n = limit_of(o, rows.size());
    for (size_t i = 0; i < n; i++) {
        const owner_row &r = rows[i];
        std::string name = groups ? fr2r_group_name((uint32_t)r.id) : fr2r_user_name((uint32_t)r.id);
        t.rows.push_back({fr2r_int(r.id), name_cell(name), fr2r_int(r.entries),
                          fr2r_int(r.files), fr2r_int(r.once), fr2r_int(r.raw),
                          fr2r_int(r.alloc), fr2r_pct(share(alloc ? r.alloc : r.once, total))});
    }
    t.note = more_note(n, rows.size(), groups ? "groups" : "users");
    if (alloc) t.note += std::string(t.note.empty() ? "" : "; ") + "ranked by allocated space";
    out->push_back(t);
    return 0;
}

int fr2r_report_extensions(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                           std::vector<fr2r_table> *out) {
    std::vector<ext_row> rows;
    if (ext_rows(db, s, &rows) != 0) return -1;
    bool alloc = by_alloc(o);
    if (alloc)
        std::stable_sort(rows.begin(), rows.end(), [](const ext_row &a, const ext_row &b) {
            return a.alloc > b.alloc;
        });
    int64_t total = 0;
    for (const auto &r : rows) total = fr2r_add(total, alloc ? r.alloc : r.once);
    fr2r_table t;
    t.name = "extensions";
    t.title = "Space by file extension";
    t.cols = {{"extension", FR2R_TEXT}, {"files", FR2R_INT},
              {"size", FR2R_BYTES},      {"size_every_link", FR2R_BYTES},
              {"allocated", FR2R_BYTES}, {"share", FR2R_PCT}};
    size_t n = limit_of(o, rows.size());
    for (size_t i = 0; i < n; i++) {
        const ext_row &r = rows[i];
        t.rows.push_back({ext_cell(r.ext), fr2r_int(r.files), fr2r_int(r.once),
                          fr2r_int(r.raw), fr2r_int(r.alloc),
                          fr2r_pct(share(alloc ? r.alloc : r.once, total))});
    }
    t.note = more_note(n, rows.size(), "extensions");
    out->push_back(t);
    return 0;
}

namespace {

struct age_bucket {
    const char *label;
    int64_t below_days;  // upper bound (exclusive)
};

const age_bucket k_ages[] = {
    {"future", 0},          {"< 1 week", 7},       {"1 week - 1 month", 30},
    {"1 - 3 months", 91},   {"3 - 6 months", 182}, {"6 - 12 months", 365},
    {"1 - 2 years", 730},   {"2 - 3 years", 1095}, {"3 - 5 years", 1826},
    {"5 - 10 years", 3652}, {"10 years or more", INT64_MAX / 86400},
};
const int k_nages = sizeof k_ages / sizeof k_ages[0];

int age_index(int64_t now, int64_t t) {
    if (t > now) return 0;
    int64_t days = fr2r_sub(now, t) / 86400;
    for (int i = 1; i < k_nages; i++)
        if (days < k_ages[i].below_days) return i;
    return k_nages - 1;
}

}  // namespace

int fr2r_report_ages(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                     std::vector<fr2r_table> *out) {
    int64_t now = o.now >= 0 ? o.now : s.scan_time;
    int64_t files[3][k_nages] = {}, bytes[3][k_nages] = {};
    sqlite3_stmt *st = prepare_scan(db, s,
                                    "SELECT atime, mtime, ctime, size FROM entries WHERE rowid "
                                    "BETWEEN ?1 AND ?2 AND is_dir = 0 AND dup = 0");
    if (!st) return -1;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t size = sqlite3_column_int64(st, 3);
        for (int k = 0; k < 3; k++) {
            int b = age_index(now, sqlite3_column_int64(st, k));
            files[k][b]++;
            bytes[k][b] = fr2r_add(bytes[k][b], size);
        }
    }
    if (!finish(db, st, rc)) return -1;
    fr2r_table t;
    t.name = "ages";
    t.title = "File ages (last access, modification and change)";
    t.cols = {{"age", FR2R_TEXT},           {"files_by_mtime", FR2R_INT},
              {"size_by_mtime", FR2R_BYTES}, {"files_by_atime", FR2R_INT},
              {"size_by_atime", FR2R_BYTES}, {"files_by_ctime", FR2R_INT},
              {"size_by_ctime", FR2R_BYTES}};
    for (int i = 0; i < k_nages; i++) {
        if (i == 0 && files[0][0] + files[1][0] + files[2][0] == 0) continue;
        t.rows.push_back({fr2r_text(k_ages[i].label), fr2r_int(files[1][i]),
                          fr2r_int(bytes[1][i]), fr2r_int(files[0][i]), fr2r_int(bytes[0][i]),
                          fr2r_int(files[2][i]), fr2r_int(bytes[2][i])});
    }
    char when[64] = "";
    time_t tt = (time_t)now;
    struct tm tm;
    if (localtime_r(&tt, &tm)) strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    t.note = std::string("ages counted back from ") + when +
             " (the scan's time unless --now is given); a file with several links counts once";
    out->push_back(t);
    return 0;
}

int fr2r_report_sizes(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &,
                      std::vector<fr2r_table> *out) {
    // Bucket 0 holds empty files, bucket k sizes from 2^(k-1) to 2^k - 1.
    int64_t files[65] = {}, bytes[65] = {};
    sqlite3_stmt *st = prepare_scan(
        db, s, "SELECT size FROM entries WHERE rowid BETWEEN ?1 AND ?2 AND is_dir = 0 AND dup = 0");
    if (!st) return -1;
    int rc;
    int64_t all_files = 0, all_bytes = 0;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t v = sqlite3_column_int64(st, 0);
        int b = v <= 0 ? 0 : 64 - __builtin_clzll((unsigned long long)v);
        files[b]++;
        bytes[b] = fr2r_add(bytes[b], v);
        all_files++;
        all_bytes = fr2r_add(all_bytes, v);
    }
    if (!finish(db, st, rc)) return -1;
    fr2r_table t;
    t.name = "sizes";
    t.title = "File sizes (powers of two)";
    t.cols = {{"from", FR2R_BYTES},  {"below", FR2R_BYTES}, {"files", FR2R_INT},
              {"size", FR2R_BYTES},  {"files_share", FR2R_PCT}, {"size_share", FR2R_PCT},
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
        fr2r_cell below = b == 0 ? fr2r_int(1) : b >= 64 ? fr2r_null() : fr2r_int((int64_t)(1ull << b));
        if (b == 63) below = fr2r_null();
        t.rows.push_back({from, below, fr2r_int(files[b]), fr2r_int(bytes[b]),
                          fr2r_pct(share(files[b], all_files)),
                          fr2r_pct(share(bytes[b], all_bytes)), fr2r_pct(share(cum, all_files))});
    }
    t.note = "a file with several links counts once";
    out->push_back(t);
    return 0;
}

static int tree_totals_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_dir_total> *out,
                                int64_t *unattached);

int fr2r_tree_totals(sqlite3 *db, int64_t scan_id, std::vector<fr2r_dir_total> *out,
                     int64_t *unattached) {
    fr2r_scan s;
    if (fr2r_find_scan(db, std::to_string(scan_id), &s) != 0) return -1;
    struct totals {
        std::vector<fr2r_dir_total> dirs;
        int64_t unattached;
    };
    static std::map<memo_key, totals> memo;
    memo_key k{db, s.id, s.last_row, 3};
    auto it = memo.find(k);
    if (it == memo.end()) {
        totals t;
        if (tree_totals_uncached(db, s, &t.dirs, &t.unattached) != 0) return -1;
        it = memo.emplace(k, std::move(t)).first;
    }
    *out = it->second.dirs;
    if (unattached) *unattached = it->second.unattached;
    return 0;
}

static int tree_totals_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_dir_total> *out,
                                int64_t *unattached) {
    struct dir {
        int64_t inode, parent_inode, dev, depth, size;
        std::string path;
        int64_t fcount, dirsum;
        int64_t tree, raw, entries, alloc;
        int64_t parent;
    };
    std::vector<dir> d;
    sqlite3_stmt *st = prepare_scan(db, s,
                                    "SELECT inode, parent_inode, dev, depth, size, path, fcount, "
                                    "dirsum, blocks FROM entries WHERE rowid BETWEEN ?1 AND ?2 "
                                    "AND is_dir = 1");
    if (!st) return -1;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        dir x;
        x.inode = sqlite3_column_int64(st, 0);
        x.parent_inode = sqlite3_column_int64(st, 1);
        x.dev = sqlite3_column_int64(st, 2);
        x.depth = sqlite3_column_int64(st, 3) + 1;
        x.size = sqlite3_column_int64(st, 4);
        x.path = column_blob(st, 5);
        x.fcount = sqlite3_column_int64(st, 6);
        x.dirsum = sqlite3_column_int64(st, 7);
        x.tree = x.raw = x.size;
        x.alloc = fr2r_blocks_bytes(sqlite3_column_int64(st, 8));
        x.entries = 0;
        x.parent = -1;
        d.push_back(std::move(x));
    }
    if (!finish(db, st, rc)) return -1;

    // Directories by inode alone (a mount point's parent is on another
    // device) and by device and inode (for the files inside them).
    std::unordered_multimap<int64_t, size_t> by_ino;
    std::unordered_multimap<std::pair<int64_t, int64_t>, size_t, key_hash> by_key;
    for (size_t i = 0; i < d.size(); i++) {
        by_ino.emplace(d[i].inode, i);
        by_key.emplace(std::make_pair(d[i].dev, d[i].inode), i);
    }
    // The parent is the directory with the parent inode whose path is the
    // child's path less its last name; without such a path, a single
    // directory with that inode on the child's device, or anywhere.
    auto find_parent = [&](int64_t dev, int64_t pino, const std::string &path) -> int64_t {
        std::string pp = parent_path(path);
        int64_t same_dev = -1, any = -1;
        int n_same = 0, n_any = 0;
        auto range = by_ino.equal_range(pino);
        for (auto it = range.first; it != range.second; ++it) {
            const dir &c = d[it->second];
            if (c.path == pp) return (int64_t)it->second;
            n_any++;
            any = (int64_t)it->second;
            if (c.dev == dev) {
                n_same++;
                same_dev = (int64_t)it->second;
            }
        }
        if (n_same == 1) return same_dev;
        if (n_any == 1) return any;
        return -1;
    };
    int64_t lost = 0;
    for (size_t i = 0; i < d.size(); i++) {
        if (d[i].depth == 0 && d[i].parent_inode == 0) continue;
        int64_t p = find_parent(d[i].dev, d[i].parent_inode, d[i].path);
        if (p >= 0 && d[p].depth < d[i].depth) d[i].parent = p;
        else lost++;
    }
    // Files, summed per containing directory; a file lives on the device of
    // its directory, so device and parent inode name that directory unless
    // the same directory shows up twice (a bind mount), when paths decide.
    struct sums {
        int64_t n, once, raw, alloc;
    };
    std::unordered_map<std::pair<int64_t, int64_t>, sums, key_hash> per_dir;
    st = prepare_scan(db, s,
                      "SELECT dev, parent_inode, size, dup, blocks FROM entries WHERE rowid "
                      "BETWEEN ?1 AND ?2 AND is_dir = 0");
    if (!st) return -1;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        sums &x = per_dir[std::make_pair(sqlite3_column_int64(st, 0), sqlite3_column_int64(st, 1))];
        int64_t size = sqlite3_column_int64(st, 2);
        x.n++;
        x.raw = fr2r_add(x.raw, size);
        if (sqlite3_column_int64(st, 3) == 0) {
            x.once = fr2r_add(x.once, size);
            x.alloc = fr2r_add(x.alloc, fr2r_blocks_bytes(sqlite3_column_int64(st, 4)));
        }
    }
    if (!finish(db, st, rc)) return -1;
    std::vector<std::pair<int64_t, int64_t>> ambiguous;
    for (const auto &kv : per_dir) {
        const auto &key = kv.first;
        int64_t pino = key.second;
        size_t c = by_key.count(key);
        int64_t target = -1;
        if (c == 1) {
            target = (int64_t)by_key.find(key)->second;
        } else if (c > 1) {
            ambiguous.push_back(key);
            continue;
        } else if (by_ino.count(pino) == 1) {
            target = (int64_t)by_ino.find(pino)->second;
        }
        if (target < 0) {
            lost += kv.second.n;
            continue;
        }
        d[target].tree = fr2r_add(d[target].tree, kv.second.once);
        d[target].raw = fr2r_add(d[target].raw, kv.second.raw);
        d[target].alloc = fr2r_add(d[target].alloc, kv.second.alloc);
        d[target].entries += kv.second.n;
    }
    for (const auto &key : ambiguous) {
        st = prepare_scan(db, s,
                          "SELECT path, size, dup, blocks FROM entries WHERE rowid BETWEEN ?1 AND ?2 "
                          "AND scan = ?5 AND is_dir = 0 AND dev = ?3 AND parent_inode = ?4");
        if (!st) return -1;
        sqlite3_bind_int64(st, 3, key.first);
        sqlite3_bind_int64(st, 4, key.second);
        sqlite3_bind_int64(st, 5, s.id);
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            int64_t p = find_parent(key.first, key.second, column_blob(st, 0));
            if (p < 0) {
                lost++;
                continue;
            }
            int64_t size = sqlite3_column_int64(st, 1);
            d[p].raw = fr2r_add(d[p].raw, size);
            if (sqlite3_column_int64(st, 2) == 0) {
                d[p].tree = fr2r_add(d[p].tree, size);
                d[p].alloc = fr2r_add(d[p].alloc, fr2r_blocks_bytes(sqlite3_column_int64(st, 3)));
            }
            d[p].entries++;
        }
        if (!finish(db, st, rc)) return -1;
    }
    // Deepest first, each directory adds its whole subtree to its parent.
    std::vector<size_t> order(d.size());
    for (size_t i = 0; i < d.size(); i++) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return d[a].depth > d[b].depth; });
    for (size_t i : order) {
        if (d[i].parent < 0) continue;
        dir &p = d[d[i].parent];
        p.tree = fr2r_add(p.tree, d[i].tree);
        p.raw = fr2r_add(p.raw, d[i].raw);
        p.alloc = fr2r_add(p.alloc, d[i].alloc);
        p.entries += d[i].entries + 1;
    }
    out->clear();
    out->reserve(d.size());
    for (auto &x : d) {
        fr2r_dir_total t;
        t.path = std::move(x.path);
        t.depth = x.depth;
        t.fcount = x.fcount;
        t.dirsum = x.dirsum;
        t.tree_size = x.tree;
        t.tree_raw = x.raw;
        t.tree_entries = x.entries;
        t.tree_alloc = x.alloc;
        out->push_back(std::move(t));
    }
    if (unattached) *unattached = lost;
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
    t.title = !strcmp(by, "own")   ? "Biggest directories by their own entries"
              : !strcmp(by, "count")   ? "Most crowded directories"
              : !strcmp(by, "allocated") ? "Biggest directories by allocated space below them"
                                         : "Biggest directories with everything below them";
    t.cols = {{"directory", FR2R_TEXT}, {"entries", FR2R_INT},        {"own_size", FR2R_BYTES},
              {"tree_size", FR2R_BYTES}, {"tree_size_every_link", FR2R_BYTES},
              {"tree_allocated", FR2R_BYTES}, {"tree_entries", FR2R_INT}};
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
    if (fr2r_tree_totals(db, s.id, &all, &lost) != 0) return -1;
    if (o.by.empty() || o.by == "own") out->push_back(biggest_table(all, o, "own"));
    if (o.by.empty() || o.by == "tree") out->push_back(biggest_table(all, o, "tree"));
    if (o.by.empty() || o.by == "count") out->push_back(biggest_table(all, o, "count"));
    if (o.by == "allocated") out->push_back(biggest_table(all, o, "allocated"));
    if (lost > 0 && !out->empty())
        out->back().note += (out->back().note.empty() ? "" : "; ") + std::to_string(lost) +
                            " lines name a directory that has no line and are left out";
    if (o.by.empty() || o.by == "files" || o.by == "allocated") {
        sqlite3_stmt *st = prepare_scan(db, s,
                                        o.by == "allocated"
                                            ? "SELECT path, size, blocks, uid, mtime, nlink FROM "
                                              "entries WHERE rowid BETWEEN ?1 AND ?2 AND is_dir = 0 "
                                              "AND dup = 0 ORDER BY blocks DESC, path LIMIT ?3"
                                            : "SELECT path, size, blocks, uid, mtime, nlink FROM "
                                              "entries WHERE rowid BETWEEN ?1 AND ?2 AND is_dir = 0 "
                                              "AND dup = 0 ORDER BY size DESC, path LIMIT ?3");
        if (!st) return -1;
        sqlite3_bind_int64(st, 3, o.limit > 0 ? o.limit : -1);
        fr2r_table t;
        t.name = "biggest_files";
        t.title = "Biggest files";
        t.cols = {{"file", FR2R_TEXT}, {"size", FR2R_BYTES}, {"allocated", FR2R_BYTES},
                  {"uid", FR2R_INT},   {"user", FR2R_TEXT},  {"mtime", FR2R_TIME},
                  {"links", FR2R_INT}};
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            int64_t uid = sqlite3_column_int64(st, 3);
            t.rows.push_back({fr2r_text(column_blob(st, 0)), fr2r_int(sqlite3_column_int64(st, 1)),
                              fr2r_int(fr2r_blocks_bytes(sqlite3_column_int64(st, 2))), fr2r_int(uid),
                              name_cell(fr2r_user_name((uint32_t)uid)),
                              fr2r_int(sqlite3_column_int64(st, 4)),
                              fr2r_int(sqlite3_column_int64(st, 5))});
        }
        if (!finish(db, st, rc)) return -1;
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
        if (r.old_v == r.new_v && r.old_n == r.new_n && r.status.empty()) unchanged++;
        else changed.push_back(std::move(r));
    }
    std::stable_sort(changed.begin(), changed.end(), [](const delta_row &a, const delta_row &b) {
        int64_t ga = magnitude(fr2r_sub(a.new_v, a.old_v)), gb = magnitude(fr2r_sub(b.new_v, b.old_v));
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
    if (fr2r_tree_totals(dbo, so.id, &od, nullptr) != 0) return -1;
    if (fr2r_tree_totals(dbn, sn.id, &nd, nullptr) != 0) return -1;
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
            if (pn) r.status = "partly unreadable in the new scan";
            else if (po) r.status = "partly unreadable in the old scan";
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
        std::vector<owner_row> orow, nrow;
        if (owner_rows(dbo, so, groups, &orow) != 0 || owner_rows(dbn, sn, groups, &nrow) != 0)
            return -1;
        std::map<int64_t, delta_row> m;
        merge_deltas(m, orow, nrow, [](const owner_row &r) { return r.id; },
                     [](const owner_row &r) { return r.entries; },
                     [alloc](const owner_row &r) { return alloc ? r.alloc : r.once; });
        std::vector<delta_row> v;
        for (auto &kv : m) {
            kv.second.key = fr2r_int(kv.first);
            std::string nm = groups ? fr2r_group_name((uint32_t)kv.first)
                                    : fr2r_user_name((uint32_t)kv.first);
            kv.second.name = name_cell(nm);
            v.push_back(kv.second);
        }
        out->push_back(delta_table(groups ? "diff_groups" : "diff_users",
                                   groups ? "Growth by group" : "Growth by user",
                                   groups ? "gid" : "uid", groups ? "group" : "user", v, o,
                                   groups ? "groups" : "users"));
    }
    std::vector<ext_row> oe, ne;
    if (ext_rows(dbo, so, &oe) != 0 || ext_rows(dbn, sn, &ne) != 0) return -1;
    std::map<std::string, delta_row> m;
    merge_deltas(m, oe, ne, [](const ext_row &r) { return r.ext; },
                 [](const ext_row &r) { return r.files; },
                 [alloc](const ext_row &r) { return alloc ? r.alloc : r.once; });
    std::vector<delta_row> v;
    for (auto &kv : m) {
        kv.second.key = ext_cell(kv.first);
        v.push_back(kv.second);
    }
    out->push_back(delta_table("diff_extensions", "Growth by file extension", "extension",
                               nullptr, v, o, "extensions"));
    return 0;
}

int fr2r_report_cold(sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o,
                     std::vector<fr2r_table> *out) {
    int64_t now = o.now >= 0 ? o.now : s.scan_time;
    int64_t cutoff = fr2r_sub(now, o.years * 365 * 86400 + o.years / 4 * 86400);
    struct cold_row {
        int64_t uid, files = 0, alloc = 0, all_files = 0, all_alloc = 0, oldest = INT64_MAX;
    };
    std::unordered_map<int64_t, cold_row> m;
    sqlite3_stmt *st = prepare_scan(db, s,
                                    "SELECT uid, atime, blocks FROM entries WHERE rowid BETWEEN "
                                    "?1 AND ?2 AND is_dir = 0 AND dup = 0");
    if (!st) return -1;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t uid = sqlite3_column_int64(st, 0), atime = sqlite3_column_int64(st, 1);
        int64_t bytes = fr2r_blocks_bytes(sqlite3_column_int64(st, 2));
        auto it = m.find(uid);
        if (it == m.end()) it = m.emplace(uid, cold_row{uid}).first;
        cold_row &r = it->second;
        r.all_files++;
        r.all_alloc = fr2r_add(r.all_alloc, bytes);
        if (atime < cutoff) {
            r.files++;
            r.alloc = fr2r_add(r.alloc, bytes);
            if (atime < r.oldest) r.oldest = atime;
        }
    }
    if (!finish(db, st, rc)) return -1;
    std::vector<cold_row> rows;
    int64_t total_files = 0, total_alloc = 0;
    for (auto &kv : m)
        if (kv.second.files > 0) {
            rows.push_back(kv.second);
            total_files += kv.second.files;
            total_alloc = fr2r_add(total_alloc, kv.second.alloc);
        }
    std::sort(rows.begin(), rows.end(), [](const cold_row &a, const cold_row &b) {
        return a.alloc != b.alloc ? a.alloc > b.alloc : a.uid < b.uid;
    });
    fr2r_table t;
    t.name = "cold";
    t.title = "Cold data: files not read for more than " + std::to_string(o.years) + " year" +
              (o.years == 1 ? "" : "s") + ", by user";
    t.cols = {{"uid", FR2R_INT},          {"user", FR2R_TEXT},
              {"cold_files", FR2R_INT},   {"cold_allocated", FR2R_BYTES},
              {"share_of_user", FR2R_PCT}, {"oldest_access", FR2R_TIME}};
    size_t n = limit_of(o, rows.size());
    for (size_t i = 0; i < n; i++) {
        const cold_row &r = rows[i];
        t.rows.push_back({fr2r_int(r.uid), name_cell(fr2r_user_name((uint32_t)r.uid)),
                          fr2r_int(r.files), fr2r_int(r.alloc), fr2r_pct(share(r.alloc, r.all_alloc)),
                          fr2r_int(r.oldest)});
    }
    char when[64] = "";
    time_t tt = (time_t)cutoff;
    struct tm tm;
    if (localtime_r(&tt, &tm)) strftime(when, sizeof when, "%Y-%m-%d", &tm);
    t.note = "last access before " + std::string(when) + ": " + std::to_string(total_files) +
             " files, " + fr2r_human_bytes(total_alloc) +
             " allocated; access times are only as good as the file system keeps them "
             "(noatime, relatime)";
    std::string more = more_note(n, rows.size(), "users");
    if (!more.empty()) t.note += "; " + more;
    out->push_back(t);
    return 0;
}
