// The query layer: the aggregates every report is made of, from a whole
// scan's rows or from a rollup's tables. A whole scan is summed here in one
// pass over its rows per question (SQLite would sort a million rows for each
// GROUP BY on a column without an index); a rollup reads the sums it stored.
#include "fr2r_query.h"

#include <grp.h>
#include <pwd.h>
#include <sqlite3.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "fr2r_sums.h"

namespace {

// Counts a file's size into sums that credit a hard-linked file once: every
// link in raw, the first only (dup false) in once and alloc.
template <typename Sums> void sums_add_file(Sums *r, int64_t size, bool dup, int64_t blocks) {
    r->raw = fr2r_add(r->raw, size);
    if (dup) return;
    r->once = fr2r_add(r->once, size);
    r->alloc = fr2r_add(r->alloc, fr2r_blocks_bytes(blocks));
}

fr2r_stmt prepare(sqlite3 *db, const char *sql) {
    fr2r_stmt st = fr2r_prepare(db, sql);
    if (!st) fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(db));
    return st;
}

// A statement over one whole scan's rows: ?1 and ?2 are its first and last row.
fr2r_stmt prepare_rows(sqlite3 *db, const fr2r_scan &s, const char *sql) {
    fr2r_stmt st = prepare(db, sql);
    if (st) {
        sqlite3_bind_int64(st, 1, s.first_row);
        sqlite3_bind_int64(st, 2, s.last_row);
    }
    return st;
}

// A statement over one rollup's rows: ?1 is the scan.
fr2r_stmt prepare_rollup(sqlite3 *db, const fr2r_scan &s, const char *sql) {
    fr2r_stmt st = prepare(db, sql);
    if (st) sqlite3_bind_int64(st, 1, s.id);
    return st;
}

// Whether the rows of a statement ended as they should (rc is its last step).
bool finish(sqlite3 *db, int rc) {
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

int64_t col(sqlite3_stmt *st, int i) { return sqlite3_column_int64(st, i); }

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

void sort_owners(std::vector<fr2r_owner_row> *v) {
    std::sort(v->begin(), v->end(), [](const fr2r_owner_row &a, const fr2r_owner_row &b) {
        return a.once != b.once ? a.once > b.once : a.id < b.id;
    });
}

int owners_uncached(sqlite3 *db, const fr2r_scan &s, bool groups,
                    std::vector<fr2r_owner_row> *out) {
    int rc;
    if (s.rollup()) {
        fr2r_stmt st = prepare_rollup(db, s,
                                      "SELECT id, entries, files, size, size_every_link, "
                                      "allocated FROM rollup_owners WHERE scan = ?1 AND "
                                      "is_group = ?2");
        if (!st) return -1;
        sqlite3_bind_int(st, 2, groups ? 1 : 0);
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            out->push_back(
                {col(st, 0), col(st, 1), col(st, 2), col(st, 3), col(st, 4), col(st, 5)});
        if (!finish(db, rc)) return -1;
        sort_owners(out);
        return 0;
    }
    fr2r_stmt st = prepare_rows(db, s,
                                groups ? "SELECT gid, is_dir, dup, size, blocks FROM entries "
                                         "WHERE rowid BETWEEN ?1 AND ?2"
                                       : "SELECT uid, is_dir, dup, size, blocks FROM entries "
                                         "WHERE rowid BETWEEN ?1 AND ?2");
    if (!st) return -1;
    std::unordered_map<int64_t, fr2r_owner_row> m;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t id = col(st, 0);
        auto it = m.find(id);
        if (it == m.end()) it = m.emplace(id, fr2r_owner_row{id, 0, 0, 0, 0, 0}).first;
        fr2r_owner_row &r = it->second;
        bool dup = col(st, 2) != 0;
        int64_t size = col(st, 3);
        r.entries++;
        r.files += col(st, 1) == 0;
        sums_add_file(&r, size, dup, col(st, 4));
    }
    if (!finish(db, rc)) return -1;
    for (auto &kv : m) out->push_back(kv.second);
    sort_owners(out);
    return 0;
}

void sort_extensions(std::vector<fr2r_ext_row> *v) {
    std::sort(v->begin(), v->end(), [](const fr2r_ext_row &a, const fr2r_ext_row &b) {
        if (a.once != b.once) return a.once > b.once;
        if (a.files != b.files) return a.files > b.files;
        return a.ext < b.ext;
    });
}

int extensions_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_ext_row> *out) {
    int rc;
    if (s.rollup()) {
        fr2r_stmt st = prepare_rollup(db, s,
                                      "SELECT extension, files, size, size_every_link, "
                                      "allocated FROM rollup_extensions WHERE scan = ?1");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            out->push_back({column_blob(st, 0), col(st, 1), col(st, 2), col(st, 3), col(st, 4)});
        if (!finish(db, rc)) return -1;
        sort_extensions(out);
        return 0;
    }
    fr2r_stmt st = prepare_rows(db, s,
                                "SELECT extension, dup, size, blocks FROM entries WHERE rowid "
                                "BETWEEN ?1 AND ?2 AND is_dir = 0");
    if (!st) return -1;
    std::unordered_map<std::string, fr2r_ext_row> m;
    std::string key;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const void *b = sqlite3_column_blob(st, 0);
        key.assign(b ? (const char *)b : "", b ? sqlite3_column_bytes(st, 0) : 0);
        auto it = m.find(key);
        if (it == m.end()) it = m.emplace(key, fr2r_ext_row{key, 0, 0, 0, 0}).first;
        fr2r_ext_row &r = it->second;
        int64_t size = col(st, 2);
        r.files++;
        sums_add_file(&r, size, col(st, 1) != 0, col(st, 3));
    }
    if (!finish(db, rc)) return -1;
    for (auto &kv : m) out->push_back(std::move(kv.second));
    sort_extensions(out);
    return 0;
}

struct age_class {
    const char *label;
    int64_t below_days;  // upper bound (exclusive)
};

const age_class k_ages[FR2R_NAGES] = {
    {"future", 0},
    {"< 1 week", 7},
    {"1 week - 1 month", 30},
    {"1 - 3 months", 91},
    {"3 - 6 months", 182},
    {"6 - 12 months", 365},
    {"1 - 2 years", 730},
    {"2 - 3 years", 1095},
    {"3 - 5 years", 1826},
    {"5 - 10 years", 3652},
    {"10 years or more", INT64_MAX / 86400},
};

int age_of_days(int64_t days) {
    for (int i = 1; i < FR2R_NAGES; i++)
        if (days < k_ages[i].below_days) return i;
    return FR2R_NAGES - 1;
}

int age_index(int64_t now, int64_t t) {
    if (t > now) return 0;
    return age_of_days(fr2r_sub(now, t) / 86400);
}

int dirs_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_dir_total> *out,
                  int64_t *unattached);

}  // namespace

const char *fr2r_age_label(int age) { return k_ages[age].label; }

int fr2r_q_owners(sqlite3 *db, const fr2r_scan &s, bool groups, std::vector<fr2r_owner_row> *out) {
    static std::map<memo_key, std::vector<fr2r_owner_row>> memo;
    memo_key k{db, s.id, s.last_row, groups ? 1 : 0};
    auto it = memo.find(k);
    if (it == memo.end()) {
        std::vector<fr2r_owner_row> rows;
        if (owners_uncached(db, s, groups, &rows) != 0) return -1;
        it = memo.emplace(k, std::move(rows)).first;
    }
    *out = it->second;
    return 0;
}

int fr2r_q_extensions(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_ext_row> *out) {
    static std::map<memo_key, std::vector<fr2r_ext_row>> memo;
    memo_key k{db, s.id, s.last_row, 2};
    auto it = memo.find(k);
    if (it == memo.end()) {
        std::vector<fr2r_ext_row> rows;
        if (extensions_uncached(db, s, &rows) != 0) return -1;
        it = memo.emplace(k, std::move(rows)).first;
    }
    *out = it->second;
    return 0;
}

int fr2r_q_ages(sqlite3 *db, const fr2r_scan &s, int64_t now, fr2r_ages *out) {
    int rc;
    if (s.rollup()) {
        // Stored by whole days back from the scan's time: exact for any time
        // a whole number of days from it.
        int64_t shift = fr2r_sub(now, s.scan_time);
        out->whole_days = shift % 86400 != 0;
        int64_t shift_days = shift / 86400 - (shift % 86400 < 0 ? 1 : 0);
        fr2r_stmt st = prepare_rollup(db, s,
                                      "SELECT kind, day, files, size FROM rollup_days "
                                      "WHERE scan = ?1");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            int kind = (int)col(st, 0);
            if (kind < 0 || kind > 2) continue;
            int64_t days = fr2r_add(col(st, 1), shift_days);
            int b = days < 0 ? 0 : age_of_days(days);
            out->files[kind][b] += col(st, 2);
            out->bytes[kind][b] = fr2r_add(out->bytes[kind][b], col(st, 3));
        }
        return finish(db, rc) ? 0 : -1;
    }
    fr2r_stmt st = prepare_rows(db, s,
                                "SELECT atime, mtime, ctime, size FROM entries WHERE rowid "
                                "BETWEEN ?1 AND ?2 AND is_dir = 0 AND dup = 0");
    if (!st) return -1;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t size = col(st, 3);
        for (int k = 0; k < 3; k++) {
            int b = age_index(now, col(st, k));
            out->files[k][b]++;
            out->bytes[k][b] = fr2r_add(out->bytes[k][b], size);
        }
    }
    return finish(db, rc) ? 0 : -1;
}

int fr2r_q_sizes(sqlite3 *db, const fr2r_scan &s, fr2r_sizes *out) {
    int rc;
    if (s.rollup()) {
        fr2r_stmt st = prepare_rollup(db, s,
                                      "SELECT class, files, size FROM rollup_sizes WHERE "
                                      "scan = ?1");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            int64_t b = col(st, 0);
            if (b < 0 || b > 64) continue;
            out->files[b] += col(st, 1);
            out->bytes[b] = fr2r_add(out->bytes[b], col(st, 2));
        }
        return finish(db, rc) ? 0 : -1;
    }
    fr2r_stmt st = prepare_rows(
        db, s, "SELECT size FROM entries WHERE rowid BETWEEN ?1 AND ?2 AND is_dir = 0 AND dup = 0");
    if (!st) return -1;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int64_t v = col(st, 0);
        int b = v <= 0 ? 0 : 64 - __builtin_clzll((unsigned long long)v);
        out->files[b]++;
        out->bytes[b] = fr2r_add(out->bytes[b], v);
    }
    return finish(db, rc) ? 0 : -1;
}

int fr2r_q_cold(sqlite3 *db, const fr2r_scan &s, int64_t cutoff, std::vector<fr2r_cold_row> *out,
                bool *whole_days) {
    std::unordered_map<int64_t, fr2r_cold_row> m;
    int rc;
    *whole_days = false;
    if (s.rollup()) {
        // A file is cold when atime < cutoff, that is when scan_time - atime - 1
        // >= scan_time - cutoff; stored by whole days of scan_time - atime - 1.
        int64_t back = fr2r_sub(s.scan_time, cutoff);
        *whole_days = back % 86400 != 0;
        int64_t back_days = back / 86400 + (back % 86400 > 0 ? 1 : 0);
        fr2r_stmt st = prepare_rollup(db, s,
                                      "SELECT uid, day, files, allocated, oldest FROM "
                                      "rollup_cold WHERE scan = ?1");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            int64_t uid = col(st, 0);
            auto it = m.find(uid);
            if (it == m.end()) it = m.emplace(uid, fr2r_cold_row{uid}).first;
            fr2r_cold_row &r = it->second;
            r.all_files += col(st, 2);
            r.all_alloc = fr2r_add(r.all_alloc, col(st, 3));
            if (col(st, 1) >= back_days) {
                r.files += col(st, 2);
                r.alloc = fr2r_add(r.alloc, col(st, 3));
                r.oldest = std::min(r.oldest, col(st, 4));
            }
        }
        if (!finish(db, rc)) return -1;
    } else {
        fr2r_stmt st = prepare_rows(db, s,
                                    "SELECT uid, atime, blocks FROM entries WHERE rowid "
                                    "BETWEEN ?1 AND ?2 AND is_dir = 0 AND dup = 0");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            int64_t uid = col(st, 0), atime = col(st, 1);
            int64_t bytes = fr2r_blocks_bytes(col(st, 2));
            auto it = m.find(uid);
            if (it == m.end()) it = m.emplace(uid, fr2r_cold_row{uid}).first;
            fr2r_cold_row &r = it->second;
            r.all_files++;
            r.all_alloc = fr2r_add(r.all_alloc, bytes);
            if (atime < cutoff) {
                r.files++;
                r.alloc = fr2r_add(r.alloc, bytes);
                if (atime < r.oldest) r.oldest = atime;
            }
        }
        if (!finish(db, rc)) return -1;
    }
    for (auto &kv : m) out->push_back(kv.second);
    return 0;
}

int fr2r_q_totals(sqlite3 *db, const fr2r_scan &s, fr2r_totals *t) {
    int rc;
    if (s.rollup()) {
        fr2r_stmt st =
            prepare_rollup(db, s, "SELECT item, value FROM rollup_totals WHERE scan = ?1");
        if (!st) return -1;
        struct {
            const char *name;
            int64_t *v;
        } items[] = {{"lines", &t->lines},
                     {"files", &t->files},
                     {"directories", &t->dirs},
                     {"regular_files", &t->regular},
                     {"symbolic_links", &t->symlinks},
                     {"size", &t->once},
                     {"size_every_link", &t->raw},
                     {"allocated", &t->alloc},
                     {"allocated_every_link", &t->alloc_raw},
                     {"files_with_links", &t->linked},
                     {"extra_links", &t->extra},
                     {"users", &t->users},
                     {"groups", &t->groups},
                     {"devices", &t->devices},
                     {"deepest_level", &t->deepest},
                     {"largest_file", &t->largest},
                     {"oldest_mtime", &t->oldest},
                     {"unattached_lines", &t->unattached},
                     {"newest_mtime", &t->newest}};
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            const char *name = (const char *)sqlite3_column_text(st, 0);
            for (auto &x : items)
                if (name && !strcmp(name, x.name)) *x.v = col(st, 1);
        }
        return finish(db, rc) ? 0 : -1;
    }
    fr2r_stmt st = prepare_rows(db, s,
                                "SELECT is_dir, mode, dup, size, blocks, nlink, uid, gid, dev, "
                                "depth, mtime FROM entries WHERE rowid BETWEEN ?1 AND ?2");
    if (!st) return -1;
    std::unordered_set<int64_t> uids, gids, devs;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        bool dir = col(st, 0) != 0;
        int64_t mode = col(st, 1);
        bool dup = col(st, 2) != 0;
        int64_t size = col(st, 3);
        int64_t bytes = fr2r_blocks_bytes(col(st, 4));
        int64_t depth = col(st, 9) + (dir ? 1 : 0);
        t->lines++;
        t->raw = fr2r_add(t->raw, size);
        t->alloc_raw = fr2r_add(t->alloc_raw, bytes);
        if (!dup) {
            t->once = fr2r_add(t->once, size);
            t->alloc = fr2r_add(t->alloc, bytes);
        }
        t->extra += dup;
        uids.insert(col(st, 6));
        gids.insert(col(st, 7));
        devs.insert(col(st, 8));
        if (depth > t->deepest) t->deepest = depth;
        if (dir) {
            t->dirs++;
            continue;
        }
        t->files++;
        t->symlinks += (mode & 0170000) == 0120000;
        t->regular += (mode & 0170000) == 0100000;
        t->linked += !dup && col(st, 5) > 1;
        int64_t mtime = col(st, 10);
        if (mtime < t->oldest) t->oldest = mtime;
        if (mtime > t->newest) t->newest = mtime;
        if (size > t->largest) t->largest = size;
    }
    if (!finish(db, rc)) return -1;
    t->users = (int64_t)uids.size();
    t->groups = (int64_t)gids.size();
    t->devices = (int64_t)devs.size();
    return 0;
}

int fr2r_q_biggest_files(sqlite3 *db, const fr2r_scan &s, bool by_blocks, int64_t limit,
                         std::vector<fr2r_file_row> *out, int64_t *missing) {
    *missing = 0;
    fr2r_stmt st;
    if (s.rollup()) {
        st = prepare_rollup(db, s,
                            by_blocks ? "SELECT path, size, blocks, uid, mtime, nlink FROM "
                                        "rollup_files WHERE scan = ?1 ORDER BY blocks DESC, "
                                        "path LIMIT ?3"
                                      : "SELECT path, size, blocks, uid, mtime, nlink FROM "
                                        "rollup_files WHERE scan = ?1 ORDER BY size DESC, "
                                        "path LIMIT ?3");
        // Only the keep_files first of each ranking were kept.
        if (st) sqlite3_bind_int64(st, 3, limit > 0 ? std::min(limit, s.keep_files) : s.keep_files);
    } else {
        st = prepare_rows(db, s,
                          by_blocks ? "SELECT path, size, blocks, uid, mtime, nlink FROM "
                                      "entries WHERE rowid BETWEEN ?1 AND ?2 AND is_dir = 0 "
                                      "AND dup = 0 ORDER BY blocks DESC, path LIMIT ?3"
                                    : "SELECT path, size, blocks, uid, mtime, nlink FROM "
                                      "entries WHERE rowid BETWEEN ?1 AND ?2 AND is_dir = 0 "
                                      "AND dup = 0 ORDER BY size DESC, path LIMIT ?3");
        if (st) sqlite3_bind_int64(st, 3, limit > 0 ? limit : -1);
    }
    if (!st) return -1;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out->push_back(
            {column_blob(st, 0), col(st, 1), col(st, 2), col(st, 3), col(st, 4), col(st, 5)});
    if (!finish(db, rc)) return -1;
    if (s.rollup() && (int64_t)out->size() == s.keep_files) {
        // The whole scan would show more when the scan has more files (each
        // counted once) than were kept.
        fr2r_totals t;
        if (fr2r_q_totals(db, s, &t) != 0) return -1;
        int64_t all = t.files - t.extra;
        int64_t want = limit > 0 ? std::min(limit, all) : all;
        if (want > s.keep_files) *missing = want - s.keep_files;
    }
    return 0;
}

namespace {

// Names are asked for again and again (a row per owner, per report): each id
// is looked up once.
std::string cached_name(std::map<uint32_t, std::string> *cache, uint32_t id,
                        std::string (*lookup)(uint32_t id)) {
    auto it = cache->find(id);
    if (it != cache->end()) return it->second;
    std::string name = lookup(id);
    (*cache)[id] = name;
    return name;
}

std::string passwd_name(uint32_t uid) {
    struct passwd pw, *res = nullptr;
    char buf[16384];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) == 0 && res) return res->pw_name;
    return "";
}

std::string group_file_name(uint32_t gid) {
    struct group gr, *res = nullptr;
    char buf[16384];
    if (getgrgid_r(gid, &gr, buf, sizeof buf, &res) == 0 && res) return res->gr_name;
    return "";
}

}  // namespace

std::string fr2r_user_name(uint32_t uid) {
    static std::map<uint32_t, std::string> cache;
    return cached_name(&cache, uid, passwd_name);
}

std::string fr2r_group_name(uint32_t gid) {
    static std::map<uint32_t, std::string> cache;
    return cached_name(&cache, gid, group_file_name);
}

namespace {

// The per-user totals a whole scan keeps once they have been computed.
int kept_user_totals(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_user_total> *out) {
    fr2r_stmt st = prepare(db, "SELECT uid, size, allocated FROM scan_users WHERE scan = ?1");
    if (!st) return -1;
    sqlite3_bind_int64(st, 1, s.id);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out->push_back({col(st, 0), col(st, 1), col(st, 2)});
    return finish(db, rc) ? 0 : -1;
}

// Kept for the next page; a database that cannot be written just goes without.
void keep_user_totals(sqlite3 *db, const fr2r_scan &s, const std::vector<fr2r_user_total> &v) {
    if (sqlite3_db_readonly(db, "main") != 0 ||
        sqlite3_exec(db, "SAVEPOINT keep_totals", nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    bool ok;
    {
        fr2r_stmt st = fr2r_prepare(db, "INSERT OR REPLACE INTO scan_users(scan, uid, size, "
                                        "allocated) VALUES(?1, ?2, ?3, ?4)");
        ok = st;
        for (size_t i = 0; ok && i < v.size(); i++) {
            sqlite3_bind_int64(st, 1, s.id);
            sqlite3_bind_int64(st, 2, v[i].uid);
            sqlite3_bind_int64(st, 3, v[i].size);
            sqlite3_bind_int64(st, 4, v[i].allocated);
            ok = sqlite3_step(st) == SQLITE_DONE;
            sqlite3_reset(st);
        }
    }
    sqlite3_exec(db, ok ? "RELEASE keep_totals" : "ROLLBACK TO keep_totals; RELEASE keep_totals",
                 nullptr, nullptr, nullptr);
}

}  // namespace

int fr2r_q_user_totals(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_user_total> *out) {
    out->clear();
    std::vector<fr2r_owner_row> rows;
    if (!s.rollup()) {
        if (kept_user_totals(db, s, out) != 0) return -1;
        if (!out->empty()) return 0;
    }
    if (fr2r_q_owners(db, s, false, &rows) != 0) return -1;
    for (const auto &r : rows) out->push_back({r.id, r.once, r.alloc});
    if (!s.rollup()) keep_user_totals(db, s, *out);
    return 0;
}

int fr2r_q_dirs(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_dir_total> *out,
                int64_t *unattached) {
    struct totals {
        std::vector<fr2r_dir_total> dirs;
        int64_t unattached;
    };
    static std::map<memo_key, totals> memo;
    memo_key k{db, s.id, s.last_row, 3};
    auto it = memo.find(k);
    if (it == memo.end()) {
        totals t;
        if (dirs_uncached(db, s, &t.dirs, &t.unattached) != 0) return -1;
        it = memo.emplace(k, std::move(t)).first;
    }
    *out = it->second.dirs;
    if (unattached) *unattached = it->second.unattached;
    return 0;
}

namespace {

int dirs_uncached(sqlite3 *db, const fr2r_scan &s, std::vector<fr2r_dir_total> *out,
                  int64_t *unattached) {
    int rc;
    if (s.rollup()) {
        fr2r_stmt st = prepare_rollup(db, s,
                                      "SELECT path, depth, fcount, dirsum, tree_size, "
                                      "tree_size_every_link, tree_entries, tree_allocated, "
                                      "own_entries, own_size, own_allocated FROM rollup_dirs "
                                      "WHERE scan = ?1 ORDER BY rowid");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            fr2r_dir_total x;
            x.path = column_blob(st, 0);
            x.depth = col(st, 1);
            x.fcount = col(st, 2);
            x.dirsum = col(st, 3);
            x.tree_size = col(st, 4);
            x.tree_raw = col(st, 5);
            x.tree_entries = col(st, 6);
            x.tree_alloc = col(st, 7);
            x.own_entries = col(st, 8);
            x.own_size = col(st, 9);
            x.own_alloc = col(st, 10);
            out->push_back(std::move(x));
        }
        if (!finish(db, rc)) return -1;
        *unattached = 0;
        st = prepare_rollup(db, s,
                            "SELECT value FROM rollup_totals WHERE scan = ?1 AND item = "
                            "'unattached_lines'");
        if (!st) return -1;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) *unattached = col(st, 0);
        return finish(db, rc) ? 0 : -1;
    }
    fr2r_tree t;
    fr2r_stmt st = prepare_rows(db, s,
                                "SELECT inode, parent_inode, dev, depth, size, path, fcount, "
                                "dirsum, blocks FROM entries WHERE rowid BETWEEN ?1 AND ?2 "
                                "AND is_dir = 1");
    if (!st) return -1;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        fr2r_tree_dir x;
        x.inode = col(st, 0);
        x.parent_inode = col(st, 1);
        x.dev = col(st, 2);
        x.depth = col(st, 3) + 1;
        x.size = col(st, 4);
        x.path = column_blob(st, 5);
        x.fcount = col(st, 6);
        x.dirsum = col(st, 7);
        x.alloc = fr2r_blocks_bytes(col(st, 8));
        t.d.push_back(std::move(x));
    }
    if (!finish(db, rc)) return -1;
    fr2r_tree_link(&t);
    // Files, summed per containing directory.
    std::unordered_map<std::pair<int64_t, int64_t>, fr2r_file_sums, fr2r_pair_hash> per_dir;
    st = prepare_rows(db, s,
                      "SELECT dev, parent_inode, size, dup, blocks FROM entries WHERE rowid "
                      "BETWEEN ?1 AND ?2 AND is_dir = 0");
    if (!st) return -1;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        fr2r_file_sums &x = per_dir[std::make_pair(col(st, 0), col(st, 1))];
        int64_t size = col(st, 2);
        x.n++;
        sums_add_file(&x, size, col(st, 3) != 0, col(st, 4));
    }
    if (!finish(db, rc)) return -1;
    std::vector<std::pair<int64_t, int64_t>> ambiguous;
    for (const auto &kv : per_dir) {
        int64_t target = fr2r_tree_target(&t, kv.first.first, kv.first.second);
        if (target == -2)
            ambiguous.push_back(kv.first);
        else
            fr2r_tree_add(&t, target, kv.second);
    }
    for (const auto &key : ambiguous) {
        st = prepare_rows(
            db, s,
            "SELECT path, size, dup, blocks FROM entries WHERE rowid BETWEEN ?1 AND ?2 "
            "AND scan = ?5 AND is_dir = 0 AND dev = ?3 AND parent_inode = ?4");
        if (!st) return -1;
        sqlite3_bind_int64(st, 3, key.first);
        sqlite3_bind_int64(st, 4, key.second);
        sqlite3_bind_int64(st, 5, s.id);
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            fr2r_file_sums one;
            int64_t size = col(st, 1);
            one.n = 1;
            one.raw = size;
            if (col(st, 2) == 0) {
                one.once = size;
                one.alloc = fr2r_blocks_bytes(col(st, 3));
            }
            fr2r_tree_add(&t, fr2r_tree_find_parent(&t, key.first, key.second, column_blob(st, 0)),
                          one);
        }
        if (!finish(db, rc)) return -1;
    }
    fr2r_tree_finish(&t, out);
    *unattached = t.lost;
    return 0;
}

}  // namespace
