// fsrake2-report: the command line.
#include <errno.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fr2r.h"

#ifndef FR2R_VERSION
#define FR2R_VERSION "1.0.0"
#endif

namespace {

const char *const k_usage =
    "Usage: fsrake2-report COMMAND [options] ARGS\n"
    "Loads fsrake2 scans into SQLite and shows where the space is.\n"
    "\n"
    "Commands:\n"
    "  load SCAN.csv|- DB   load a scan (with or without its header line) into DB\n"
    "  scans DB             list the scans in DB\n"
    "  summary DB           totals of a scan\n"
    "  users DB             space by user          groups DB   space by group\n"
    "  extensions DB        space by file extension\n"
    "  ages DB              file ages by last modification, access and change\n"
    "  sizes DB             file sizes in powers of two\n"
    "  biggest DB           directories by own size, by subtree total, by entries;\n"
    "                       and the biggest files\n"
    "  diff OLD [NEW]       growth between two scans: two databases (their latest\n"
    "                       scans), or one database (its last two scans)\n"
    "  html DB              the whole report as one HTML page on standard output\n"
    "\n"
    "Options:\n"
    "  --csv, --json        output for scripts (default: aligned text)\n"
    "  --scan ID|LABEL      the scan to report (default: the latest)\n"
    "  --old ID|LABEL, --new ID|LABEL   the scans diff compares\n"
    "  --limit N            rows of ranked tables (default 20; 0 = all)\n"
    "  --by own|tree|count|files   biggest: only this ranking\n"
    "  --now SECONDS        ages: count from this time (default: the scan's time)\n"
    "  load: --label TEXT   name of the scan (default: the file name)\n"
    "        --time SECONDS when the scan was taken (default: the file's mtime, or now)\n"
    "        --skip-bad     report malformed lines and load the rest\n"
    "        --progress, --no-progress   progress bar on standard error (default: on a terminal)\n"
    "  --help, --version\n";

struct args {
    std::string cmd;
    std::vector<std::string> pos;
    fr2r_format fmt = FR2R_FMT_TEXT;
    fr2r_report_options ro;
    fr2r_load_options lo;
};

bool parse_int(const char *s, int64_t min, int64_t *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno || *end || v < min) return false;
    *out = v;
    return true;
}

int usage_error(const char *fmt, const char *what) {
    fprintf(stderr, "fsrake2-report: ");
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\nTry 'fsrake2-report --help'.\n");
    return 2;
}

// Returns 0, or the exit status for a usage error (after its message).
int parse_args(int argc, char **argv, args *a) {
    for (int i = 1; i < argc; i++) {
        const char *s = argv[i];
        auto value = [&](const char **v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        const char *v = nullptr;
        int64_t n;
        if (!strcmp(s, "--csv")) a->fmt = FR2R_FMT_CSV;
        else if (!strcmp(s, "--json")) a->fmt = FR2R_FMT_JSON;
        else if (!strcmp(s, "--skip-bad")) a->lo.skip_bad = true;
        else if (!strcmp(s, "--progress")) a->lo.progress = 1;
        else if (!strcmp(s, "--no-progress")) a->lo.progress = 0;
        else if (!strcmp(s, "--scan") || !strcmp(s, "--old") || !strcmp(s, "--new") ||
                 !strcmp(s, "--by") || !strcmp(s, "--label")) {
            if (!value(&v)) return usage_error("%s requires an argument", s);
            if (!strcmp(s, "--scan")) a->ro.scan = v;
            else if (!strcmp(s, "--old")) a->ro.old_scan = v;
            else if (!strcmp(s, "--new")) a->ro.new_scan = v;
            else if (!strcmp(s, "--label")) a->lo.label = v;
            else {
                if (strcmp(v, "own") && strcmp(v, "tree") && strcmp(v, "count") && strcmp(v, "files"))
                    return usage_error("--by takes own, tree, count or files, not '%s'", v);
                a->ro.by = v;
            }
        } else if (!strcmp(s, "--limit") || !strcmp(s, "--now") || !strcmp(s, "--time")) {
            if (!value(&v)) return usage_error("%s requires an argument", s);
            if (!parse_int(v, 0, &n)) return usage_error("not a number of the right range: '%s'", v);
            if (!strcmp(s, "--limit")) {
                if (n > 1000000000) n = 0;
                a->ro.limit = (int)n;
            } else if (!strcmp(s, "--now")) {
                a->ro.now = n;
            } else {
                a->lo.scan_time = n;
            }
        } else if (s[0] == '-' && s[1] == '-' && s[2] == 0) {
            for (i++; i < argc; i++) a->pos.push_back(argv[i]);
        } else if (s[0] == '-' && s[1] != 0) {
            return usage_error("unknown option: %s", s);
        } else if (a->cmd.empty()) {
            a->cmd = s;
        } else {
            a->pos.push_back(s);
        }
    }
    return 0;
}

int need_args(const args &a, size_t lo, size_t hi) {
    if (a.pos.size() < lo || a.pos.size() > hi)
        return usage_error("wrong number of arguments for '%s'", a.cmd.c_str());
    return 0;
}

int cmd_load(const args &a) {
    if (int r = need_args(a, 2, 2)) return r;
    sqlite3 *db = fr2r_db_open(a.pos[1].c_str(), true);
    if (!db) return 1;
    fr2r_load_result res;
    int r = fr2r_load(db, a.pos[0].c_str(), a.lo, &res);
    fr2r_db_close(db);
    if (r != 0) return 1;
    double rate = res.seconds > 0 ? res.lines / res.seconds : 0;
    fprintf(stderr, "fsrake2-report: scan %" PRId64 ": %" PRId64 " lines loaded in %.2f s (%.0f lines/s)\n",
            res.scan_id, res.lines, res.seconds, rate);
    return 0;
}

int cmd_scans(const args &a) {
    if (int r = need_args(a, 1, 1)) return r;
    sqlite3 *db = fr2r_db_open(a.pos[0].c_str(), false);
    if (!db) return 1;
    std::vector<fr2r_scan> all;
    int r = fr2r_list_scans(db, &all);
    fr2r_db_close(db);
    if (r != 0) return 1;
    fr2r_table t;
    t.name = "scans";
    t.title = "Scans";
    t.cols = {{"id", FR2R_INT},   {"label", FR2R_TEXT},     {"scan_time", FR2R_TIME},
              {"root", FR2R_TEXT}, {"lines", FR2R_INT},      {"skipped", FR2R_INT},
              {"source", FR2R_TEXT}, {"loaded_at", FR2R_TIME}};
    for (const auto &s : all)
        t.rows.push_back({fr2r_int(s.id), fr2r_text(s.label), fr2r_int(s.scan_time),
                          s.root.empty() ? fr2r_null() : fr2r_text(s.root), fr2r_int(s.lines),
                          fr2r_int(s.skipped), fr2r_text(s.source), fr2r_int(s.loaded_at)});
    fr2r_print_tables(stdout, "scans", nullptr, {t}, a.fmt);
    return 0;
}

int cmd_report(const args &a) {
    if (int r = need_args(a, 1, 1)) return r;
    sqlite3 *db = fr2r_db_open(a.pos[0].c_str(), false);
    if (!db) return 1;
    fr2r_scan s;
    std::vector<fr2r_table> tables;
    int r = fr2r_find_scan(db, a.ro.scan, &s);
    const std::string &c = a.cmd;
    if (r == 0) {
        if (c == "summary") r = fr2r_report_summary(db, s, a.ro, &tables);
        else if (c == "users") r = fr2r_report_owners(db, s, a.ro, false, &tables);
        else if (c == "groups") r = fr2r_report_owners(db, s, a.ro, true, &tables);
        else if (c == "extensions") r = fr2r_report_extensions(db, s, a.ro, &tables);
        else if (c == "ages") r = fr2r_report_ages(db, s, a.ro, &tables);
        else if (c == "sizes") r = fr2r_report_sizes(db, s, a.ro, &tables);
        else if (c == "biggest") r = fr2r_report_biggest(db, s, a.ro, &tables);
        else if (c == "html") r = fr2r_write_html(stdout, db, s, a.ro);
    }
    fr2r_db_close(db);
    if (r != 0) return 1;
    if (c != "html") fr2r_print_tables(stdout, c, &s, tables, a.fmt);
    return fflush(stdout) == 0 ? 0 : 1;
}

int cmd_diff(const args &a) {
    if (int r = need_args(a, 1, 2)) return r;
    const std::string &old_path = a.pos[0];
    const std::string &new_path = a.pos.size() > 1 ? a.pos[1] : a.pos[0];
    sqlite3 *dbo = fr2r_db_open(old_path.c_str(), false);
    if (!dbo) return 1;
    sqlite3 *dbn = new_path == old_path ? dbo : fr2r_db_open(new_path.c_str(), false);
    if (!dbn) {
        fr2r_db_close(dbo);
        return 1;
    }
    int r = 0;
    fr2r_scan so, sn;
    if (dbn == dbo && a.ro.old_scan.empty()) {
        // One database: the newer scan (given or latest) against the one before it.
        r = fr2r_find_scan(dbn, a.ro.new_scan, &sn);
        std::vector<fr2r_scan> all;
        if (r == 0) r = fr2r_list_scans(dbo, &all);
        bool found = false;
        for (const auto &x : all)
            if (x.id < sn.id) {
                so = x;
                found = true;
            }
        if (r == 0 && !found) {
            fprintf(stderr, "fsrake2-report: %s holds no scan older than scan %" PRId64 "\n",
                    old_path.c_str(), sn.id);
            r = -1;
        }
    } else {
        r = fr2r_find_scan(dbo, a.ro.old_scan, &so);
        if (r == 0) r = fr2r_find_scan(dbn, a.ro.new_scan, &sn);
    }
    std::vector<fr2r_table> tables;
    if (r == 0) r = fr2r_report_diff(dbo, so, dbn, sn, a.ro, &tables);
    if (dbn != dbo) fr2r_db_close(dbn);
    fr2r_db_close(dbo);
    if (r != 0) return 1;
    fr2r_print_tables(stdout, "diff", &sn, tables, a.fmt);
    return fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(k_usage, stdout);
            return 0;
        }
        if (!strcmp(argv[i], "--version")) {
            printf("fsrake2-report version %s\n", FR2R_VERSION);
            return 0;
        }
    }
    args a;
    if (int r = parse_args(argc, argv, &a)) return r;
    if (a.cmd.empty()) {
        fputs(k_usage, stderr);
        return 2;
    }
    const std::string &c = a.cmd;
    if (c == "load") return cmd_load(a);
    if (c == "scans") return cmd_scans(a);
    if (c == "diff") return cmd_diff(a);
    if (c == "summary" || c == "users" || c == "groups" || c == "extensions" || c == "ages" ||
        c == "sizes" || c == "biggest" || c == "html")
        return cmd_report(a);
    return usage_error("unknown command '%s'", c.c_str());
}
