// The report database: its schema and its upgrades from older versions,
// opening it, and the scans it holds (listing, finding, deleting, renaming).
#include "fr2r_db.h"

#include <errno.h>
#include <libgen.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fr2r_escape.h"

namespace {

// What version 2 adds to version 1; an older database gets it on opening.
#define K_SCHEMA_2                                                                                 \
    "ALTER TABLE scans ADD COLUMN incomplete TEXT;"        /* why; NULL when complete */           \
    "ALTER TABLE scans ADD COLUMN scanner_status INTEGER;" /* NULL: not known */                   \
    "ALTER TABLE scans ADD COLUMN summary TEXT;"           /* the scanner's final line */          \
    "CREATE TABLE problems(scan INTEGER NOT NULL, kind TEXT NOT NULL, path BLOB NOT NULL,"         \
    " message TEXT NOT NULL);"                                                                     \
    "CREATE INDEX problems_scan ON problems(scan);"                                                \
    "CREATE TABLE scan_files(scan INTEGER NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL,"    \
    " mtime INTEGER NOT NULL);" /* per-user totals of a scan, kept once computed (for trends over  \
                                   many scans) */                                                  \
    "CREATE TABLE scan_users(scan INTEGER NOT NULL, uid INTEGER NOT NULL, size INTEGER NOT NULL,"  \
    " allocated INTEGER NOT NULL, PRIMARY KEY(scan, uid)) WITHOUT ROWID;"

// What version 3 adds: rollup scans, kept as totals with no row per line.
#define K_SCHEMA_3                                                                                                                                                                          \
    /* NULL: a row per line in entries; else a rollup that kept this many biggest files */                                                                                                  \
    "ALTER TABLE scans ADD COLUMN keep_files INTEGER;" /* the summary's figures, by name */                                                                                                 \
    "CREATE TABLE rollup_totals(scan INTEGER NOT NULL, item TEXT NOT NULL, value INTEGER,"                                                                                                  \
    " PRIMARY KEY(scan, item)) WITHOUT ROWID;" /* a row per directory, in the order of the scan:                                                                                            \
                                                  its own files and everything below it */                                                                                                  \
    "CREATE TABLE rollup_dirs(scan INTEGER NOT NULL, path BLOB NOT NULL, depth INTEGER NOT NULL,"                                                                                           \
    " fcount INTEGER NOT NULL, dirsum INTEGER NOT NULL, own_entries INTEGER NOT NULL,"                                                                                                      \
    " own_size INTEGER NOT NULL, own_allocated INTEGER NOT NULL, tree_size INTEGER NOT NULL,"                                                                                               \
    " tree_size_every_link INTEGER NOT NULL, tree_allocated INTEGER NOT NULL,"                                                                                                              \
    " tree_entries INTEGER NOT NULL);"                                                                                                                                                      \
    "CREATE INDEX rollup_dirs_scan ON rollup_dirs(scan);"                                                                                                                                   \
    "CREATE TABLE rollup_owners(scan INTEGER NOT NULL, is_group INTEGER NOT NULL,"                                                                                                          \
    " id INTEGER NOT NULL, entries INTEGER NOT NULL, files INTEGER NOT NULL,"                                                                                                               \
    " size INTEGER NOT NULL, size_every_link INTEGER NOT NULL, allocated INTEGER NOT NULL,"                                                                                                 \
    " PRIMARY KEY(scan, is_group, id)) WITHOUT ROWID;"                                                                                                                                      \
    "CREATE TABLE rollup_extensions(scan INTEGER NOT NULL, extension BLOB NOT NULL,"                                                                                                        \
    " files INTEGER NOT NULL, size INTEGER NOT NULL, size_every_link INTEGER NOT NULL,"                                                                                                     \
    " allocated INTEGER NOT NULL, PRIMARY KEY(scan, extension)) WITHOUT ROWID;" /* files by whole                                                                                           \
                                                                                   days back from                                                                                           \
                                                                                   the scan's time                                                                                          \
                                                                                   to their atime                                                                                           \
                                                                                   (kind 0), mtime                                                                                          \
                                                                                   (1), ctime (2)                                                                                           \
                                                                                 */                                                                                                         \
    "CREATE TABLE rollup_days(scan INTEGER NOT NULL, kind INTEGER NOT NULL, day INTEGER NOT NULL,"                                                                                          \
    " files INTEGER NOT NULL, size INTEGER NOT NULL, PRIMARY KEY(scan, kind, day)) WITHOUT ROWID;" /* files by powers of two of their size */                                               \
    "CREATE TABLE rollup_sizes(scan INTEGER NOT NULL, class INTEGER NOT NULL,"                                                                                                              \
    " files INTEGER NOT NULL, size INTEGER NOT NULL, PRIMARY KEY(scan, class)) WITHOUT ROWID;" /* per user, files by whole days of (scan time - atime - 1): cold for any number of years */ \
    "CREATE TABLE rollup_cold(scan INTEGER NOT NULL, uid INTEGER NOT NULL, day INTEGER NOT NULL,"                                                                                           \
    " files INTEGER NOT NULL, allocated INTEGER NOT NULL, oldest INTEGER NOT NULL,"                                                                                                         \
    " PRIMARY KEY(scan, uid, day)) WITHOUT ROWID;" /* the biggest files, by size and by allocated                                                                                           \
                                                      blocks */                                                                                                                             \
    "CREATE TABLE rollup_files(scan INTEGER NOT NULL, path BLOB NOT NULL, size INTEGER NOT NULL,"                                                                                           \
    " blocks INTEGER NOT NULL, uid INTEGER NOT NULL, mtime INTEGER NOT NULL,"                                                                                                               \
    " nlink INTEGER NOT NULL);"                                                                                                                                                             \
    "CREATE INDEX rollup_files_scan ON rollup_files(scan);" /* the files with several links; dup:                                                                                           \
                                                               counted at another, lower path */                                                                                            \
    "CREATE TABLE rollup_links(scan INTEGER NOT NULL, dev INTEGER NOT NULL, inode INTEGER NOT "                                                                                             \
    "NULL,"                                                                                                                                                                                 \
    " path BLOB NOT NULL, size INTEGER NOT NULL, blocks INTEGER NOT NULL, nlink INTEGER NOT NULL,"                                                                                          \
    " dup INTEGER NOT NULL);"                                                                                                                                                               \
    "CREATE INDEX rollup_links_scan ON rollup_links(scan);"

// 2: completeness of a scan (scans.incomplete, scanner_status, summary), the
// directories the scanner could not read (problems), the files a scan came
// from (scan_files), and hard-link credit to the lowest path of an inode.
// 3: rollup scans (scans.keep_files, the rollup_ tables).
const int k_schema_version = 3;

const char *const k_schema =
    "CREATE TABLE scans("
    " id INTEGER PRIMARY KEY,"
    " label TEXT NOT NULL,"
    " scan_time INTEGER NOT NULL,"  // when the scan was taken (seconds since the epoch)
    " loaded_at INTEGER NOT NULL,"
    " root BLOB,"  // path of the root directory line
    " source TEXT NOT NULL,"
    " lines INTEGER NOT NULL,"
    " skipped INTEGER NOT NULL,"
    " first_row INTEGER NOT NULL,"  // the scan's entries are rows first_row..last_row
    " last_row INTEGER NOT NULL);"
    "CREATE INDEX scans_label ON scans(label);" K_SCHEMA_2 K_SCHEMA_3
    // Unsigned 64-bit columns (inode, parent_inode, dev, blocks) hold their bit pattern.
    "CREATE TABLE entries("
    " scan INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " parent_inode INTEGER NOT NULL,"
    " depth INTEGER NOT NULL,"  // as in the scan: a directory line has its own depth - 1
    " path BLOB NOT NULL,"      // byte-exact
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
    " fcount INTEGER NOT NULL,"  // entries of a directory; -1 on file lines
    " dirsum INTEGER NOT NULL,"  // size sum of a directory's entries; 0 on file lines
    " is_dir INTEGER NOT NULL,"
    " dup INTEGER NOT NULL DEFAULT 0);"  // 1: another link of a file, counted at its lowest path
    "CREATE VIEW files AS SELECT * FROM entries WHERE is_dir = 0;"
    "CREATE VIEW dirs AS SELECT * FROM entries WHERE is_dir = 1;";

// Refuses, with the reason, a database that cannot be written: the file
// itself, or its folder (SQLite keeps a journal beside the file while it
// writes, and creates the file there).
bool check_writable(const char *path, bool create) {
    struct stat st;
    std::string copy = path;
    std::string dir = dirname(&copy[0]);
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            fprintf(stderr, "fsrake2-report: database %s: it is a folder\n", path);
            return false;
        }
        if (access(path, R_OK | W_OK) != 0) {
            fprintf(stderr, "fsrake2-report: database %s: cannot write it: %s\n", path,
                    strerror(errno));
            return false;
        }
    } else if (errno != ENOENT || !create) {
        fprintf(stderr, "fsrake2-report: database %s: %s\n", path, strerror(errno));
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        fprintf(stderr, "fsrake2-report: database %s: cannot %s in its folder %s: %s\n", path,
                stat(path, &st) == 0 ? "write (SQLite needs a journal file beside it)"
                                     : "create it",
                dir.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// Version 1 marked extra links differently: they are marked again, the
// lowest path of an inode credited as a load does now.
bool upgrade_from_1(sqlite3 *db) {
    std::string sql = std::string("BEGIN IMMEDIATE;") + K_SCHEMA_2 +
                      "UPDATE entries SET dup = EXISTS (SELECT 1 FROM entries o WHERE "
                      "o.scan = entries.scan AND o.dev = entries.dev AND o.inode = "
                      "entries.inode AND o.is_dir = 0 AND (o.path < entries.path OR "
                      "(o.path = entries.path AND o.rowid < entries.rowid))) WHERE nlink > 1 "
                      "AND is_dir = 0;" K_SCHEMA_3 "PRAGMA user_version=3;COMMIT;";
    if (!fr2r_db_exec(db, sql.c_str(), "upgrading it to this version's schema")) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

// The integer in the first row of sql; -1 when there is none.
int first_int(sqlite3 *db, const char *sql) {
    fr2r_stmt st = fr2r_prepare(db, sql);
    return st && sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
}

bool upgrade_from_2(sqlite3 *db) {
    std::string sql =
        std::string("BEGIN IMMEDIATE;") + K_SCHEMA_3 + "PRAGMA user_version=3;COMMIT;";
    if (!fr2r_db_exec(db, sql.c_str(), "upgrading it to this version's schema")) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

}  // namespace

void fr2r_db_error(sqlite3 *db, const char *doing) {
    std::string path = fr2r_db_path(db);
    int code = sqlite3_extended_errcode(db);
    const char *msg = sqlite3_errmsg(db);
    int sys = sqlite3_system_errno(db);
    std::string why = msg ? msg : "unknown error";
    if ((code & 0xff) == SQLITE_READONLY)
        why += " (the file, or its folder where SQLite keeps a journal, is read-only)";
    else if (sys != 0 && ((code & 0xff) == SQLITE_IOERR || (code & 0xff) == SQLITE_FULL ||
                          (code & 0xff) == SQLITE_CANTOPEN))
        why += std::string(" (") + strerror(sys) + ")";
    fprintf(stderr, "fsrake2-report: database %s: %s: %s\n",
            path.empty() ? "(memory)" : path.c_str(), doing, why.c_str());
}

sqlite3 *fr2r_db_open(const char *path, bool create, bool write) {
    if (write && !check_writable(path, create)) return nullptr;
    struct stat pst;
    if (!create && stat(path, &pst) != 0) {
        fprintf(stderr, "fsrake2-report: database %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    sqlite3 *db = nullptr;
    // One thread uses the connection: SQLite's own locking is not needed.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path, &db, flags, nullptr) != SQLITE_OK) {
        int sys = db ? sqlite3_system_errno(db) : 0;
        fprintf(stderr, "fsrake2-report: database %s: cannot open it: %s%s%s%s\n", path,
                db ? sqlite3_errmsg(db) : "out of memory", sys ? " (" : "",
                sys ? strerror(sys) : "", sys ? ")" : "");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    int version = first_int(db, "PRAGMA user_version");
    int tables = first_int(db, "SELECT count(*) FROM sqlite_master");
    if (tables < 0) {
        fprintf(stderr, "fsrake2-report: database %s: not a database: %s\n", path,
                sqlite3_errmsg(db));
        sqlite3_close(db);
        return nullptr;
    }
    if (version == 0 && tables == 0) {
        if (!create) {
            fprintf(stderr, "fsrake2-report: database %s: no scan has been loaded into it\n", path);
            sqlite3_close(db);
            return nullptr;
        }
        std::string sql = std::string("BEGIN;") + k_schema +
                          "PRAGMA user_version=" + std::to_string(k_schema_version) + ";COMMIT;";
        if (!fr2r_db_exec(db, sql.c_str(), "creating its tables")) {
            sqlite3_close(db);
            return nullptr;
        }
    } else if (version == 1) {
        if (!upgrade_from_1(db)) {
            sqlite3_close(db);
            return nullptr;
        }
    } else if (version == 2) {
        // One that cannot be written (a read-only file, or file system) is
        // read as it is: it holds no rollups.
        if (sqlite3_db_readonly(db, "main") != 1 && !upgrade_from_2(db)) {
            sqlite3_close(db);
            return nullptr;
        }
    } else if (version != k_schema_version) {
        fprintf(stderr, "fsrake2-report: database %s: not a database of this program (schema %d)\n",
                path, version);
        sqlite3_close(db);
        return nullptr;
    }
    // A page cache of 64 MiB, and sorts (index builds) that spill to temporary
    // files: memory stays bounded whatever the size of the scans.
    fr2r_db_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536;");
    return db;
}

void fr2r_db_close(sqlite3 *db) { sqlite3_close(db); }

std::string fr2r_db_path(sqlite3 *db) {
    const char *p = sqlite3_db_filename(db, "main");
    return p ? p : "";
}

fr2r_stmt fr2r_prepare(sqlite3 *db, const char *sql) {
    fr2r_stmt s;
    // A failed prepare leaves no statement behind.
    if (sqlite3_prepare_v2(db, sql, -1, &s.st, nullptr) != SQLITE_OK) s.st = nullptr;
    return s;
}

bool fr2r_db_exec(sqlite3 *db, const char *sql, const char *doing) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        sqlite3_free(err);
        fr2r_db_error(db, doing);
        return false;
    }
    return true;
}

namespace {

std::string col_text(sqlite3_stmt *s, int i) {
    const void *b = sqlite3_column_blob(s, i);
    return b ? std::string((const char *)b, sqlite3_column_bytes(s, i)) : "";
}

void read_scan(sqlite3_stmt *s, fr2r_scan *o) {
    o->id = sqlite3_column_int64(s, 0);
    o->label = col_text(s, 1);
    o->scan_time = sqlite3_column_int64(s, 2);
    o->loaded_at = sqlite3_column_int64(s, 3);
    o->root = col_text(s, 4);
    o->source = col_text(s, 5);
    o->lines = sqlite3_column_int64(s, 6);
    o->skipped = sqlite3_column_int64(s, 7);
    o->first_row = sqlite3_column_int64(s, 8);
    o->last_row = sqlite3_column_int64(s, 9);
    o->incomplete = col_text(s, 10);
    o->scanner_status =
        sqlite3_column_type(s, 11) == SQLITE_NULL ? -1 : sqlite3_column_int64(s, 11);
    o->summary = col_text(s, 12);
    o->keep_files = sqlite3_column_type(s, 13) == SQLITE_NULL ? -1 : sqlite3_column_int64(s, 13);
}

const char *const k_scan_cols =
    "SELECT id, label, scan_time, loaded_at, root, source, lines, skipped, first_row, "
    "last_row, incomplete, scanner_status, summary, keep_files FROM scans ";
// The same from a version 2 database that could not be upgraded.
const char *const k_scan_cols_2 =
    "SELECT id, label, scan_time, loaded_at, root, source, lines, skipped, first_row, "
    "last_row, incomplete, scanner_status, summary, NULL FROM scans ";

int read_problems(sqlite3 *db, fr2r_scan *sc) {
    fr2r_stmt s = fr2r_prepare(db, "SELECT kind, path, message FROM problems WHERE scan = ?1 "
                                   "ORDER BY path, rowid");
    if (!s) {
        fr2r_db_error(db, "reading the unreadable directories");
        return -1;
    }
    sqlite3_bind_int64(s, 1, sc->id);
    sc->problems.clear();
    while (sqlite3_step(s) == SQLITE_ROW)
        sc->problems.push_back(fr2r_problem{col_text(s, 0), col_text(s, 1), col_text(s, 2)});
    return 0;
}

}  // namespace

int fr2r_list_scans(sqlite3 *db, std::vector<fr2r_scan> *out) {
    std::string sql = std::string(k_scan_cols) + "ORDER BY id";
    std::string sql_2 = std::string(k_scan_cols_2) + "ORDER BY id";
    fr2r_stmt s = fr2r_prepare(db, sql.c_str());
    if (!s) s = fr2r_prepare(db, sql_2.c_str());
    if (!s) {
        fr2r_db_error(db, "listing the scans");
        return -1;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        fr2r_scan sc;
        read_scan(s, &sc);
        out->push_back(sc);
    }
    if (rc != SQLITE_DONE) {
        fr2r_db_error(db, "listing the scans");
        return -1;
    }
    for (auto &sc : *out)
        if (read_problems(db, &sc) != 0) return -1;
    return 0;
}

int fr2r_find_scan(sqlite3 *db, const std::string &which, fr2r_scan *out) {
    std::vector<fr2r_scan> all;
    if (fr2r_list_scans(db, &all) != 0) return -1;
    if (all.empty()) {
        fprintf(stderr, "fsrake2-report: database %s holds no scan\n", fr2r_db_path(db).c_str());
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

int fr2r_delete_scan(sqlite3 *db, const fr2r_scan &sc) {
    if (!fr2r_db_exec(db, "BEGIN IMMEDIATE", "starting to write")) return -1;
    const char *sql[] = {"DELETE FROM entries WHERE rowid BETWEEN ?2 AND ?3 AND scan = ?1",
                         "DELETE FROM problems WHERE scan = ?1",
                         "DELETE FROM scan_files WHERE scan = ?1",
                         "DELETE FROM scan_users WHERE scan = ?1",
                         "DELETE FROM rollup_totals WHERE scan = ?1",
                         "DELETE FROM rollup_dirs WHERE scan = ?1",
                         "DELETE FROM rollup_owners WHERE scan = ?1",
                         "DELETE FROM rollup_extensions WHERE scan = ?1",
                         "DELETE FROM rollup_days WHERE scan = ?1",
                         "DELETE FROM rollup_sizes WHERE scan = ?1",
                         "DELETE FROM rollup_cold WHERE scan = ?1",
                         "DELETE FROM rollup_files WHERE scan = ?1",
                         "DELETE FROM rollup_links WHERE scan = ?1",
                         "DELETE FROM scans WHERE id = ?1"};
    bool ok = true;
    for (const char *q : sql) {
        fr2r_stmt s = fr2r_prepare(db, q);
        ok = s;
        if (ok) {
            sqlite3_bind_int64(s, 1, sc.id);
            if (sqlite3_bind_parameter_count(s) >= 3) {
                sqlite3_bind_int64(s, 2, sc.first_row);
                sqlite3_bind_int64(s, 3, sc.last_row);
            }
            ok = sqlite3_step(s) == SQLITE_DONE;
        }
        if (!ok) {
            fr2r_db_error(db, "deleting the scan");
            break;
        }
    }
    if (!ok || !fr2r_db_exec(db, "COMMIT", "deleting the scan")) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return -1;
    }
    return 0;
}

int fr2r_rename_scan(sqlite3 *db, const fr2r_scan &sc, const std::string &label) {
    fr2r_stmt s = fr2r_prepare(db, "UPDATE scans SET label = ?2 WHERE id = ?1");
    bool ok = s;
    if (ok) {
        sqlite3_bind_int64(s, 1, sc.id);
        sqlite3_bind_text(s, 2, label.data(), (int)label.size(), SQLITE_TRANSIENT);
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (!ok) fr2r_db_error(db, "renaming the scan");
    return ok ? 0 : -1;
}

std::vector<std::string> fr2r_scan_warnings(const fr2r_scan &s, size_t max) {
    std::vector<std::string> w;
    if (!s.incomplete.empty()) w.push_back("INCOMPLETE SCAN: " + s.incomplete);
    if (!s.problems.empty()) {
        w.push_back(std::to_string(s.problems.size()) + " director" +
                    (s.problems.size() == 1 ? "y" : "ies") +
                    " could not be read, wholly or in part; the totals leave out what is in them:");
        size_t n = max > 0 && max < s.problems.size() ? max : s.problems.size();
        for (size_t i = 0; i < n; i++)
            w.push_back("  " + fr2r_term_escape(s.problems[i].path) + " (" + s.problems[i].kind +
                        ")");
        if (n < s.problems.size())
            w.push_back("  ... and " + std::to_string(s.problems.size() - n) +
                        " more (the table problems in the database holds them all)");
    }
    return w;
}
