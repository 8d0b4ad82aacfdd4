// The report database: its schema, and loading one scan in one transaction.
#include <errno.h>
#include <inttypes.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "fr2r.h"

namespace {

const int k_schema_version = 1;

const char *const k_schema =
    "CREATE TABLE scans("
    " id INTEGER PRIMARY KEY,"
    " label TEXT NOT NULL,"
    " scan_time INTEGER NOT NULL,"   // when the scan was taken (seconds since the epoch)
    " loaded_at INTEGER NOT NULL,"
    " root BLOB,"                    // path of the root directory line
    " source TEXT NOT NULL,"
    " lines INTEGER NOT NULL,"
    " skipped INTEGER NOT NULL,"
    " first_row INTEGER NOT NULL,"   // the scan's entries are rows first_row..last_row
    " last_row INTEGER NOT NULL);"
    "CREATE INDEX scans_label ON scans(label);"
    // Unsigned 64-bit columns (inode, parent_inode, dev, blocks) hold their bit pattern.
    "CREATE TABLE entries("
    " scan INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " parent_inode INTEGER NOT NULL,"
    " depth INTEGER NOT NULL,"       // as in the scan: a directory line has its own depth - 1
    " path BLOB NOT NULL,"           // byte-exact
    " extension BLOB NOT NULL,"
    " uid INTEGER NOT NULL,"
    " gid INTEGER NOT NULL,"
    " size INTEGER NOT NULL,"
    " dev INTEGER NOT NULL,"
    " blocks INTEGER NOT NULL,"
    " nlink INTEGER NOT NULL,"
    " mode INTEGER NOT NULL,"
    " atime INTEGER NOT NULL,"
    " mtime INTEGER NOT NULL,"
    " ctime INTEGER NOT NULL,"
    " fcount INTEGER NOT NULL,"      // entries of a directory; -1 on file lines
    " dirsum INTEGER NOT NULL,"      // size sum of a directory's entries; 0 on file lines
    " is_dir INTEGER NOT NULL,"
    " dup INTEGER NOT NULL DEFAULT 0);"  // 1: another link of a file counted on an earlier line
    "CREATE VIEW files AS SELECT * FROM entries WHERE is_dir = 0;"
    "CREATE VIEW dirs AS SELECT * FROM entries WHERE is_dir = 1;";

// Made after the rows of a first scan are in (faster than keeping them up
// to date row by row), and kept up to date for the scans after it.
const char *const k_indexes =
    "CREATE INDEX IF NOT EXISTS entries_parent ON entries(scan, dev, parent_inode);"
    "CREATE INDEX IF NOT EXISTS entries_inode ON entries(scan, dev, inode);";

bool exec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        fprintf(stderr, "fsrake2-report: database: %s\n", err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        return false;
    }
    return true;
}

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// The progress bar: a bar and percentage when the input size is known,
// otherwise the line count and rate. Redrawn at most five times a second.
struct progress {
    bool on = false;
    int64_t total = -1;
    double start = 0;
    double last = 0;
    bool drawn = false;
};

void progress_draw(progress *p, int64_t bytes, int64_t lines, bool final) {
    double t = now_seconds();
    if (!final && t - p->last < 0.2) return;
    p->last = t;
    double el = t - p->start;
    double rate = el > 0 ? lines / el : 0;
    char buf[256];
    if (p->total > 0) {
        double frac = (double)bytes / (double)p->total;
        if (frac > 1) frac = 1;
        char bar[41];
        int fill = (int)(frac * 40);
        for (int i = 0; i < 40; i++) bar[i] = i < fill ? '#' : '.';
        bar[40] = 0;
        snprintf(buf, sizeof buf, "\r[%s] %5.1f%%  %" PRId64 " lines  %.0f lines/s ", bar,
                 frac * 100, lines, rate);
    } else {
        snprintf(buf, sizeof buf, "\rloading: %" PRId64 " lines  %.0f lines/s ", lines, rate);
    }
    fputs(buf, stderr);
    if (final) fputs("\n", stderr);
    fflush(stderr);
    p->drawn = true;
}

struct loader {
    sqlite3 *db;
    sqlite3_stmt *ins = nullptr;
    const char *source;
    const fr2r_load_options *opt;
    int64_t bad = 0;
    int64_t lines = 0;
    int64_t roots = 0;
    std::string root;
    int64_t root_line = 0;
    int64_t first_row = 0, last_row = -1;
    bool failed = false;  // a database failure: stop at once
    bool reported_empty = false;
};

void bad_line(loader *L, int64_t line, const std::string &why) {
    L->bad++;
    if (L->bad <= L->opt->max_messages) {
        fprintf(stderr, "fsrake2-report: %s:%" PRId64 ": %s\n", L->source, line, why.c_str());
    } else if (L->bad == L->opt->max_messages + 1) {
        fprintf(stderr, "fsrake2-report: %s: more malformed lines; only counting them now\n",
                L->source);
    }
}

void store(loader *L, int64_t scan, const fr2r_entry &e, int64_t line) {
    bool is_dir = (e.mode & 0170000) == 0040000;
    if (is_dir && e.depth == -1 && e.parent_inode == 0) {
        if (++L->roots > 1) {
            bad_line(L, line, "a second root directory line (line " +
                                  std::to_string(L->root_line) +
                                  " was the first): two scans in one input?");
            return;
        }
        L->root = e.path;
        L->root_line = line;
    }
    // Once a line is bad (and bad lines are not skipped) the scan will be
    // rolled back: keep checking the rest, but store nothing more.
    if (L->bad > 0 && !L->opt->skip_bad) return;
    sqlite3_stmt *st = L->ins;
    sqlite3_bind_int64(st, 1, scan);
    sqlite3_bind_int64(st, 2, (int64_t)e.inode);
    sqlite3_bind_int64(st, 3, (int64_t)e.parent_inode);
    sqlite3_bind_int64(st, 4, e.depth);
    sqlite3_bind_blob(st, 5, e.path.data(), (int)e.path.size(), SQLITE_STATIC);
    sqlite3_bind_blob(st, 6, e.extension.data(), (int)e.extension.size(), SQLITE_STATIC);
    sqlite3_bind_int64(st, 7, e.uid);
    sqlite3_bind_int64(st, 8, e.gid);
    sqlite3_bind_int64(st, 9, e.size);
    sqlite3_bind_int64(st, 10, (int64_t)e.dev);
    sqlite3_bind_int64(st, 11, (int64_t)e.blocks);
    sqlite3_bind_int64(st, 12, e.nlink);
    sqlite3_bind_int64(st, 13, e.mode);
    sqlite3_bind_int64(st, 14, e.atime);
    sqlite3_bind_int64(st, 15, e.mtime);
    sqlite3_bind_int64(st, 16, e.ctime);
    sqlite3_bind_int64(st, 17, e.fcount);
    sqlite3_bind_int64(st, 18, e.dirsum);
    sqlite3_bind_int64(st, 19, is_dir ? 1 : 0);
    if (sqlite3_step(st) != SQLITE_DONE) {
        fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(L->db));
        L->failed = true;
    }
    sqlite3_reset(st);
    int64_t row = sqlite3_last_insert_rowid(L->db);
    if (L->lines == 0) L->first_row = row;
    L->last_row = row;
    L->lines++;
}

}  // namespace

sqlite3 *fr2r_db_open(const char *path, bool create) {
    sqlite3 *db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path, &db, flags, nullptr) != SQLITE_OK) {
        fprintf(stderr, "fsrake2-report: cannot open database %s: %s\n", path,
                db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt *st = nullptr;
    int version = -1, tables = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        tables = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (version < 0 || tables < 0) {
        fprintf(stderr, "fsrake2-report: %s: not a database: %s\n", path, sqlite3_errmsg(db));
        sqlite3_close(db);
        return nullptr;
    }
    if (version == 0 && tables == 0) {
        if (!create) {
            fprintf(stderr, "fsrake2-report: %s: no scan has been loaded into it\n", path);
            sqlite3_close(db);
            return nullptr;
        }
        std::string sql = std::string("BEGIN;") + k_schema + "PRAGMA user_version=" +
                          std::to_string(k_schema_version) + ";COMMIT;";
        if (!exec(db, sql.c_str())) {
            sqlite3_close(db);
            return nullptr;
        }
    } else if (version != k_schema_version) {
        fprintf(stderr, "fsrake2-report: %s: not a database of this program (schema %d)\n",
                path, version);
        sqlite3_close(db);
        return nullptr;
    }
    exec(db, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-262144; PRAGMA temp_store=MEMORY;");
    return db;
}

void fr2r_db_close(sqlite3 *db) { sqlite3_close(db); }

int fr2r_load(sqlite3 *db, const char *input, const fr2r_load_options &opt,
              fr2r_load_result *res) {
    bool from_stdin = strcmp(input, "-") == 0;
    const char *source = from_stdin ? "stdin" : input;
    FILE *in = from_stdin ? stdin : fopen(input, "rb");
    if (!in) {
        fprintf(stderr, "fsrake2-report: cannot open %s: %s\n", input, strerror(errno));
        return -1;
    }
    double t0 = now_seconds();
    struct stat st;
    int64_t in_size = -1;
    int64_t scan_time = opt.scan_time >= 0 ? opt.scan_time : (int64_t)time(nullptr);
    if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode)) {
        in_size = st.st_size;
        if (opt.scan_time < 0 && !from_stdin) scan_time = st.st_mtime;
    }
    progress prog;
    prog.on = opt.progress > 0 || (opt.progress < 0 && isatty(2));
    prog.total = in_size;
    prog.start = prog.last = t0;

    loader L;
    L.db = db;
    L.source = source;
    L.opt = &opt;
    int64_t scan = 0;
    std::string label = opt.label;
    if (label.empty()) {
        const char *slash = strrchr(source, '/');
        label = slash ? slash + 1 : source;
    }
    {
        if (!exec(db, "BEGIN IMMEDIATE")) {
            if (!from_stdin) fclose(in);
            return -1;
        }
        sqlite3_stmt *s = nullptr;
        bool empty = true;
        if (sqlite3_prepare_v2(db, "SELECT 1 FROM entries LIMIT 1", -1, &s, nullptr) == SQLITE_OK)
            empty = sqlite3_step(s) != SQLITE_ROW;
        sqlite3_finalize(s);
        s = nullptr;
        if (empty && !exec(db, "DROP INDEX IF EXISTS entries_parent; DROP INDEX IF EXISTS entries_inode"))
            L.failed = true;
        sqlite3_prepare_v2(db,
                           "INSERT INTO scans(label, scan_time, loaded_at, source, lines, "
                           "skipped, first_row, last_row) VALUES(?1, ?2, ?3, ?4, 0, 0, 0, -1)",
                           -1, &s, nullptr);
        sqlite3_bind_text(s, 1, label.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, scan_time);
        sqlite3_bind_int64(s, 3, (int64_t)time(nullptr));
        sqlite3_bind_text(s, 4, source, -1, SQLITE_TRANSIENT);
        if (sqlite3_step(s) != SQLITE_DONE) L.failed = true;
        sqlite3_finalize(s);
        scan = sqlite3_last_insert_rowid(db);
        if (sqlite3_prepare_v2(db,
                               "INSERT INTO entries(scan, inode, parent_inode, depth, path, "
                               "extension, uid, gid, size, dev, blocks, nlink, mode, atime, "
                               "mtime, ctime, fcount, dirsum, is_dir) VALUES(?1, ?2, ?3, ?4, "
                               "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, "
                               "?18, ?19)",
                               -1, &L.ins, nullptr) != SQLITE_OK)
            L.failed = true;
        if (L.failed) fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(db));
    }

    // Read in large chunks, always keeping a whole record's worth of bytes
    // ahead of the parser unless the input has ended.
    const size_t cap = 4u << 20;
    std::vector<char> buf(cap);
    size_t start = 0, end = 0;
    bool eof = false, read_error = false;
    int64_t line = 1, consumed = 0;
    bool first = true;
    size_t header_len = strlen(g_fr2r_header);
    fr2r_entry e;
    std::string why;
    int64_t since_draw = 0;
    while (!L.failed) {
        if (!eof && end - start < (size_t)FR2R_MAX_RECORD) {
            memmove(buf.data(), buf.data() + start, end - start);
            end -= start;
            start = 0;
            while (end < cap && !eof) {
                size_t n = fread(buf.data() + end, 1, cap - end, in);
                end += n;
                if (n == 0) {
                    if (ferror(in)) read_error = true;
                    eof = true;
                }
            }
        }
        if (first) {
            first = false;
            if (end == 0) {
                fprintf(stderr, "fsrake2-report: %s: empty input, nothing loaded\n", source);
                L.bad++;
                L.reported_empty = true;
                break;
            }
            if (end >= header_len + 1 && memcmp(buf.data(), g_fr2r_header, header_len) == 0 &&
                buf[header_len] == '\n') {
                start = header_len + 1;
                line = 2;
            }
        }
        if (start >= end) break;
        size_t used = 0;
        int nl = 0;
        fr2r_parse_status r =
            fr2r_parse_record(buf.data() + start, end - start, eof, &e, &used, &nl, &why);
        if (r == FR2R_PARSE_NEED_MORE) {
            if (eof) break;  // cannot happen: at end of input the parser decides
            continue;
        }
        if (r == FR2R_PARSE_OK) {
            store(&L, scan, e, line);
            start += used;
            consumed += (int64_t)used;
            line += nl;
        } else {
            if (end - start >= header_len &&
                memcmp(buf.data() + start, g_fr2r_header, header_len) == 0)
                why = "a header line in the middle of the data";
            bad_line(&L, line, why);
            // Go on after this physical line.
            const char *p = buf.data() + start;
            const char *lf = (const char *)memchr(p, '\n', end - start);
            size_t skip = lf ? (size_t)(lf - p) + 1 : end - start;
            start += skip;
            consumed += (int64_t)skip;
            line += lf ? 1 : 0;
        }
        if (prog.on && ++since_draw >= 4096) {
            since_draw = 0;
            progress_draw(&prog, consumed, L.lines, false);
        }
    }
    if (prog.on) progress_draw(&prog, consumed, L.lines, true);
    if (!from_stdin) fclose(in);
    sqlite3_finalize(L.ins);
    L.ins = nullptr;

    if (read_error) {
        fprintf(stderr, "fsrake2-report: %s: read error, nothing loaded\n", source);
        L.failed = true;
    }
    if (!L.failed && L.lines == 0 && L.bad == 0) {
        fprintf(stderr, "fsrake2-report: %s: no data lines (%s), nothing loaded\n", source,
                line == 2 ? "only the header line" : "empty input");
        L.bad++;
        L.reported_empty = true;
    }
    bool ok = !L.failed && L.lines > 0 && (L.bad == 0 || opt.skip_bad);
    if (ok) {
        if (L.roots == 0)
            fprintf(stderr, "fsrake2-report: %s: warning: no root directory line (depth -1); "
                            "was the scan cut short?\n", source);
        // Another link of a file already counted on an earlier line of the
        // scan: totals count each device and inode once.
        sqlite3_stmt *s = nullptr;
        const char *sql =
            "UPDATE entries SET dup = 1 WHERE rowid BETWEEN ?1 AND ?2 AND nlink > 1 AND "
            "is_dir = 0 AND rowid NOT IN (SELECT min(rowid) FROM entries WHERE rowid BETWEEN "
            "?1 AND ?2 AND nlink > 1 AND is_dir = 0 GROUP BY dev, inode)";
        ok = sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK;
        if (ok) {
            sqlite3_bind_int64(s, 1, L.first_row);
            sqlite3_bind_int64(s, 2, L.last_row);
            ok = sqlite3_step(s) == SQLITE_DONE;
        }
        sqlite3_finalize(s);
        s = nullptr;
        if (ok) {
            ok = sqlite3_prepare_v2(db,
                                    "UPDATE scans SET root = ?2, lines = ?3, skipped = ?4, "
                                    "first_row = ?5, last_row = ?6 WHERE id = ?1",
                                    -1, &s, nullptr) == SQLITE_OK;
        }
        if (ok) {
            sqlite3_bind_int64(s, 1, scan);
            if (L.roots > 0) sqlite3_bind_blob(s, 2, L.root.data(), (int)L.root.size(), SQLITE_STATIC);
            else sqlite3_bind_null(s, 2);
            sqlite3_bind_int64(s, 3, L.lines);
            sqlite3_bind_int64(s, 4, L.bad);
            sqlite3_bind_int64(s, 5, L.first_row);
            sqlite3_bind_int64(s, 6, L.last_row);
            ok = sqlite3_step(s) == SQLITE_DONE;
        }
        sqlite3_finalize(s);
        if (!ok) fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(db));
        ok = ok && exec(db, k_indexes) && exec(db, "COMMIT");
    }
    if (!ok) {
        exec(db, "ROLLBACK");
        if (L.bad > 0 && !L.reported_empty)
            fprintf(stderr, "fsrake2-report: %s: %" PRId64 " malformed line%s, nothing loaded "
                            "(--skip-bad loads the rest)\n",
                    source, L.bad, L.bad == 1 ? "" : "s");
    } else if (L.bad > 0) {
        fprintf(stderr, "fsrake2-report: %s: %" PRId64 " malformed line%s skipped\n", source,
                L.bad, L.bad == 1 ? "" : "s");
    }
    res->scan_id = ok ? scan : 0;
    res->lines = ok ? L.lines : 0;
    res->bad = L.bad;
    res->seconds = now_seconds() - t0;
    return ok ? 0 : -1;
}

namespace {

void read_scan(sqlite3_stmt *s, fr2r_scan *o) {
    o->id = sqlite3_column_int64(s, 0);
    const unsigned char *t = sqlite3_column_text(s, 1);
    o->label = t ? (const char *)t : "";
    o->scan_time = sqlite3_column_int64(s, 2);
    o->loaded_at = sqlite3_column_int64(s, 3);
    const void *b = sqlite3_column_blob(s, 4);
    o->root = b ? std::string((const char *)b, sqlite3_column_bytes(s, 4)) : "";
    t = sqlite3_column_text(s, 5);
    o->source = t ? (const char *)t : "";
    o->lines = sqlite3_column_int64(s, 6);
    o->skipped = sqlite3_column_int64(s, 7);
    o->first_row = sqlite3_column_int64(s, 8);
    o->last_row = sqlite3_column_int64(s, 9);
}

const char *const k_scan_cols =
    "SELECT id, label, scan_time, loaded_at, root, source, lines, skipped, first_row, "
    "last_row FROM scans ";

}  // namespace

int fr2r_list_scans(sqlite3 *db, std::vector<fr2r_scan> *out) {
    sqlite3_stmt *s = nullptr;
    std::string sql = std::string(k_scan_cols) + "ORDER BY id";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        fprintf(stderr, "fsrake2-report: database: %s\n", sqlite3_errmsg(db));
        return -1;
    }
    while (sqlite3_step(s) == SQLITE_ROW) {
        fr2r_scan sc;
        read_scan(s, &sc);
        out->push_back(sc);
    }
    sqlite3_finalize(s);
    return 0;
}

int fr2r_find_scan(sqlite3 *db, const std::string &which, fr2r_scan *out) {
    std::vector<fr2r_scan> all;
    if (fr2r_list_scans(db, &all) != 0) return -1;
    if (all.empty()) {
        fprintf(stderr, "fsrake2-report: the database holds no scan\n");
        return -1;
    }
    if (which.empty()) {
        *out = all.back();
        return 0;
    }
    // A label wins over an id only when no scan has that id.
    for (const auto &s : all)
        if (std::to_string(s.id) == which) {
            *out = s;
            return 0;
        }
    for (size_t i = all.size(); i-- > 0;)
        if (all[i].label == which) {
            *out = all[i];
            return 0;
        }
    fprintf(stderr, "fsrake2-report: no scan with id or label '%s'\n",
            fr2r_term_escape(which).c_str());
    return -1;
}
