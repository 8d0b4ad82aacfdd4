// fsrake2-report: the command line.
//
// Files (report/; a module NAME is NAME.h, what it offers, and NAME.cpp):
//   fsrake2-report.cpp  main: commands and options, running the scanner for scan
//   fr2r_csv        one line of a scan, decoded
//   fr2r_input      reading scans: plain or zstd, a stream, shards and split files
//                   parsed in parallel, malformed lines in input order
//   fr2r_messages   the scanner's standard error: unreadable directories, how the
//                   run ended, of a saved file, of several runs, of the pipe
//   fr2r_db         the database: schema and upgrades, opening, errors, the
//                   statement owner, the scans it holds
//   fr2r_load       the loader: one scan in one transaction, in steps (open the
//                   inputs, begin, stream, record), as rows or as a rollup
//   fr2r_rollup     a scan summed as it is read, per parsing thread, merged,
//                   finished, stored
//   fr2r_tree       subtree totals from parent inodes, for whole scans and rollups
//   fr2r_sums.h     sums of sizes that saturate
//   fr2r_query      the query layer: what the reports ask of a scan, from its rows
//                   or its rollup; owner names
//   fr2r_reports    each report's tables, diff among them
//   fr2r_format     tables of typed cells as text, CSV and JSON
//   fr2r_escape     names as a terminal, JSON and HTML may show them
//   fr2r_html       the page: every report, its charts, treemap and trends
//   bench_read.cpp  the reader's benchmark (lines per second by thread count)
//   bench.sh        the loads' and reports' benchmark, side by side with a base
//   CMakeLists.txt, README.md
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fr2r_db.h"
#include "fr2r_escape.h"
#include "fr2r_format.h"
#include "fr2r_html.h"
#include "fr2r_load.h"
#include "fr2r_messages.h"
#include "fr2r_reports.h"

#ifndef FR2R_VERSION
#define FR2R_VERSION "1.0.0"
#endif

namespace {

const char *const k_usage =
    "Usage: fsrake2-report COMMAND [options] ARGS\n"
    "Loads fsrake2 scans into SQLite and shows where the space is.\n"
    "\n"
    "Commands:\n"
    "  load SCAN.csv|- ... DB\n"
    "                       load a scan (with or without its header line; plain or\n"
    "                       zstd-compressed) into DB; several files are the parts\n"
    "                       of one scan\n"
    "  scan DIR DB [fsrake2 options]   run fsrake2 on DIR and load what it writes\n"
    "  scans DB             list the scans in DB, with how complete they are\n"
    "  delete DB SCAN       remove a scan          rename DB SCAN LABEL   relabel it\n"
    "  summary DB           totals of a scan\n"
    "  users DB             space by user          groups DB   space by group\n"
    "  extensions DB        space by file extension\n"
    "  ages DB              file ages by last modification, access and change\n"
    "  sizes DB             file sizes in powers of two\n"
    "  biggest DB           directories by own size, by subtree total, by entries;\n"
    "                       and the biggest files\n"
    "  cold DB              per user, files not read for more than --years N years\n"
    "  diff OLD [NEW]       growth between two scans of the same tree: two databases\n"
    "                       (their latest scans), or one database (its latest scan and\n"
    "                       the one of the same tree before it)\n"
    "  html DB              the whole report as one HTML page on standard output\n"
    "\n"
    "Options:\n"
    "  --csv, --json        output for scripts (default: aligned text)\n"
    "  --scan ID|LABEL      the scan to report (default: the latest)\n"
    "  --old ID|LABEL, --new ID|LABEL   the scans diff compares\n"
    "  --limit N            rows of ranked tables (default 20; 0 = all)\n"
    "  --by allocated       space by allocated blocks instead of sizes (users, groups,\n"
    "                       extensions, biggest, diff)\n"
    "  --by own|tree|count|files   biggest: only this ranking\n"
    "  --now SECONDS        ages, cold: count from this time (default: the scan's time)\n"
    "  --years N            cold: not read for more than N years (default 2)\n"
    "  --force              diff: compare scans of different trees\n"
    "  load: --label TEXT   name of the scan (default: the file name)\n"
    "        --time SECONDS when the scan was taken (default: the file's mtime, or now)\n"
    "        --skip-bad     report malformed lines and load the rest\n"
    "        --messages FILE  the scanner's saved standard error: its unreadable\n"
    "                       directories and how it ended are kept with the scan;\n"
    "                       once per run of a stopped and resumed scan, in order\n"
    "        --progress, --no-progress   progress bar on standard error (default: on a terminal)\n"
    "        --rollup       keep totals per folder, owner, kind and day and the biggest\n"
    "                       files, not a row per line (far smaller and faster)\n"
    "        --keep-files N a rollup's biggest files kept (default 1000)\n"
    "        --threads N    a rollup load's parsing threads (default: one per CPU)\n"
    "  scan: --scanner PATH the fsrake2 to run (default: beside this program, that of\n"
    "                       its build tree, or PATH); --label, --time, --rollup and\n"
    "                       --keep-files as for load; these may follow DB, other\n"
    "                       options there (and all after --) go to the scanner\n"
    "  --help, --version\n";

struct args {
    std::string cmd;
    std::vector<std::string> pos;
    std::vector<std::string> scanner_args;  // scan: everything after DIR and DB
    std::string scanner;
    fr2r_format fmt = FR2R_FMT_TEXT;
    fr2r_report_options ro;
    fr2r_load_options lo;
    bool keep_files_given = false;
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
        if (!strcmp(s, "--csv"))
            a->fmt = FR2R_FMT_CSV;
        else if (!strcmp(s, "--json"))
            a->fmt = FR2R_FMT_JSON;
        else if (!strcmp(s, "--skip-bad"))
            a->lo.skip_bad = true;
        else if (!strcmp(s, "--rollup"))
            a->lo.rollup = true;
        else if (!strcmp(s, "--progress"))
            a->lo.progress = 1;
        else if (!strcmp(s, "--no-progress"))
            a->lo.progress = 0;
        else if (!strcmp(s, "--force"))
            a->ro.force = true;
        else if (!strcmp(s, "--scan") || !strcmp(s, "--old") || !strcmp(s, "--new") ||
                 !strcmp(s, "--by") || !strcmp(s, "--label") || !strcmp(s, "--messages") ||
                 !strcmp(s, "--scanner")) {
            if (!value(&v)) return usage_error("%s requires an argument", s);
            if (!strcmp(s, "--scan"))
                a->ro.scan = v;
            else if (!strcmp(s, "--old"))
                a->ro.old_scan = v;
            else if (!strcmp(s, "--new"))
                a->ro.new_scan = v;
            else if (!strcmp(s, "--label"))
                a->lo.label = v;
            else if (!strcmp(s, "--messages"))
                a->lo.messages.push_back(v);
            else if (!strcmp(s, "--scanner"))
                a->scanner = v;
            else {
                if (strcmp(v, "own") && strcmp(v, "tree") && strcmp(v, "count") &&
                    strcmp(v, "files") && strcmp(v, "allocated"))
                    return usage_error("--by takes allocated, own, tree, count or files, not '%s'",
                                       v);
                a->ro.by = v;
            }
        } else if (!strcmp(s, "--limit") || !strcmp(s, "--now") || !strcmp(s, "--time") ||
                   !strcmp(s, "--years") || !strcmp(s, "--keep-files") || !strcmp(s, "--threads")) {
            if (!value(&v)) return usage_error("%s requires an argument", s);
            if (!parse_int(v, 0, &n))
                return usage_error("not a number of the right range: '%s'", v);
            if (!strcmp(s, "--limit")) {
                if (n > 1000000000) n = 0;
                a->ro.limit = (int)n;
            } else if (!strcmp(s, "--now")) {
                a->ro.now = n;
            } else if (!strcmp(s, "--keep-files")) {
                a->lo.keep_files = n;
                a->keep_files_given = true;
            } else if (!strcmp(s, "--threads")) {
                if (n < 1 || n > 1024)
                    return usage_error("--threads: not a number of the right range: '%s'", v);
                a->lo.threads = (int)n;
            } else if (!strcmp(s, "--years")) {
                if (n > 10000)
                    return usage_error("--years: not a number of the right range: '%s'", v);
                a->ro.years = n;
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
            // scan DIR DB: what follows is for the scanner, options included,
            // but for this program's own scan options, which the scanner does
            // not have (after "--" everything is the scanner's).
            if (a->cmd == "scan" && a->pos.size() == 2) {
                bool verbatim = false;
                for (i++; i < argc; i++) {
                    const char *o = argv[i];
                    if (!verbatim && !strcmp(o, "--")) {
                        verbatim = true;
                        continue;
                    }
                    if (!verbatim && !strcmp(o, "--rollup")) {
                        a->lo.rollup = true;
                        continue;
                    }
                    bool own = !verbatim && (!strcmp(o, "--scanner") || !strcmp(o, "--label") ||
                                             !strcmp(o, "--time") || !strcmp(o, "--keep-files"));
                    if (!own) {
                        a->scanner_args.push_back(o);
                        continue;
                    }
                    if (i + 1 >= argc) return usage_error("%s requires an argument", o);
                    const char *val = argv[++i];
                    if (!strcmp(o, "--scanner")) {
                        a->scanner = val;
                    } else if (!strcmp(o, "--label")) {
                        a->lo.label = val;
                    } else {
                        if (!parse_int(val, 0, &n))
                            return usage_error("not a number of the right range: '%s'", val);
                        if (!strcmp(o, "--keep-files")) {
                            a->lo.keep_files = n;
                            a->keep_files_given = true;
                        } else {
                            a->lo.scan_time = n;
                        }
                    }
                }
            }
        }
    }
    return 0;
}

int need_args(const args &a, size_t lo, size_t hi) {
    if (a.pos.size() < lo || a.pos.size() > hi)
        return usage_error("wrong number of arguments for '%s'", a.cmd.c_str());
    return 0;
}

void print_load_result(const fr2r_load_result &res) {
    double rate = res.seconds > 0 ? res.lines / res.seconds : 0;
    fprintf(stderr,
            "fsrake2-report: scan %" PRId64 ": %" PRId64 " lines loaded in %.2f s (%.0f lines/s)\n",
            res.scan_id, res.lines, res.seconds, rate);
    if (!res.incomplete.empty())
        fprintf(stderr, "fsrake2-report: warning: scan %" PRId64 " is incomplete: %s\n",
                res.scan_id, res.incomplete.c_str());
    if (res.problems > 0)
        fprintf(stderr,
                "fsrake2-report: warning: %" PRId64 " director%s could not be read by the "
                "scanner (see the top of every report)\n",
                res.problems, res.problems == 1 ? "y" : "ies");
}

int cmd_load(const args &a) {
    if (a.pos.size() < 2) return usage_error("wrong number of arguments for '%s'", a.cmd.c_str());
    sqlite3 *db = fr2r_db_open(a.pos.back().c_str(), true, true);
    if (!db) return 1;
    fr2r_load_result res;
    std::vector<std::string> inputs(a.pos.begin(), a.pos.end() - 1);
    int r = fr2r_load(db, inputs, a.lo, &res);
    fr2r_db_close(db);
    if (r != 0) return 1;
    print_load_result(res);
    return 0;
}

// ---- scan: the scanner as a child, its output loaded as it comes

struct scanner_run {
    pid_t pid = -1;
    FILE *out = nullptr;  // its standard output
    int err_fd = -1;      // its standard error
    pthread_t reader;
    bool reader_started = false;
    fr2r_messages msgs;  // filled by the reader thread until it is joined
    bool finished = false;
};

// Passes the scanner's standard error on to ours (its progress lines are
// worth seeing) and keeps what it says about unreadable directories.
void *read_messages(void *p) {
    scanner_run *run = (scanner_run *)p;
    std::string line;
    char buf[65536];
    for (;;) {
        ssize_t n = read(run->err_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        fwrite(buf, 1, (size_t)n, stderr);
        fr2r_messages_feed(&run->msgs, &line, buf, (size_t)n);
    }
    fr2r_messages_end(&run->msgs, &line);
    return nullptr;
}

void finish_scanner(void *ctx, fr2r_messages *m) {
    scanner_run *run = (scanner_run *)ctx;
    if (run->finished) return;
    run->finished = true;
    // Closing our end first: a scanner still writing (after a failed load)
    // gets a write error and ends instead of blocking.
    if (run->out) fclose(run->out);
    run->out = nullptr;
    int st = 0;
    while (waitpid(run->pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (run->reader_started) pthread_join(run->reader, nullptr);
    close(run->err_fd);
    run->msgs.known = true;
    run->msgs.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (m) *m = run->msgs;
}

// The scanner beside this program (both installed in one folder), or the
// one of the build tree this program was built in (report/ below it), or
// the first on the PATH.
std::string default_scanner() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/') + 1);
        std::string beside = dir + "fsrake2";
        if (access(beside.c_str(), X_OK) == 0) return beside;
        const std::string sub = "/report/";
        if (dir.size() > sub.size() && dir.compare(dir.size() - sub.size(), sub.size(), sub) == 0) {
            std::string built = dir.substr(0, dir.size() - sub.size() + 1) + "fsrake2";
            if (access(built.c_str(), X_OK) == 0) return built;
        }
    }
    return "fsrake2";
}

int cmd_scan(const args &a) {
    if (a.pos.size() != 2) return usage_error("wrong number of arguments for '%s'", a.cmd.c_str());
    const std::string &dir = a.pos[0];
    sqlite3 *db = fr2r_db_open(a.pos[1].c_str(), true, true);
    if (!db) return 1;
    std::string scanner = a.scanner.empty() ? default_scanner() : a.scanner;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        fprintf(stderr, "fsrake2-report: pipe: %s\n", strerror(errno));
        fr2r_db_close(db);
        return 1;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        fprintf(stderr, "fsrake2-report: pipe: %s\n", strerror(errno));
        close(out[0]);
        close(out[1]);
        fr2r_db_close(db);
        return 1;
    }
    std::vector<std::string> argv_s = {scanner};
    argv_s.insert(argv_s.end(), a.scanner_args.begin(), a.scanner_args.end());
    argv_s.push_back(dir);
    std::vector<char *> argv;
    for (auto &x : argv_s) argv.push_back(&x[0]);
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    scanner_run run;
    run.pid = fork();
    if (run.pid < 0) {
        fprintf(stderr, "fsrake2-report: cannot start the scanner: %s\n", strerror(errno));
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        fr2r_db_close(db);
        return 1;
    }
    if (run.pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(argv[0], argv.data());
        dprintf(2, "fsrake2-report: cannot run the scanner %s: %s (--scanner PATH names it)\n",
                argv[0], strerror(errno));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    run.err_fd = err[0];
    run.reader_started = pthread_create(&run.reader, nullptr, read_messages, &run) == 0;
    run.out = fdopen(out[0], "rb");
    if (!run.out) {
        fprintf(stderr, "fsrake2-report: cannot read the scanner's output: %s\n", strerror(errno));
        close(out[0]);
        finish_scanner(&run, nullptr);
        fr2r_db_close(db);
        return 1;
    }
    fr2r_load_options lo = a.lo;
    lo.stream = run.out;
    lo.stream_name = scanner + " " + dir;
    if (lo.label.empty()) lo.label = dir;
    if (lo.scan_time < 0) lo.scan_time = (int64_t)time(nullptr);
    if (lo.progress < 0) lo.progress = 0;  // the scanner's own progress lines show
    lo.finish = finish_scanner;
    lo.finish_ctx = &run;
    fr2r_load_result res;
    int r = fr2r_load(db, {}, lo, &res);
    finish_scanner(&run, nullptr);  // when the load stopped before the end
    fr2r_db_close(db);
    if (r != 0) return 1;
    print_load_result(res);
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
    t.cols = {{"id", FR2R_INT},         {"label", FR2R_TEXT},     {"scan_time", FR2R_TIME},
              {"root", FR2R_TEXT},      {"lines", FR2R_INT},      {"skipped", FR2R_INT},
              {"complete", FR2R_TEXT},  {"unreadable", FR2R_INT}, {"source", FR2R_TEXT},
              {"loaded_at", FR2R_TIME}, {"kind", FR2R_TEXT}};
    for (const auto &s : all)
        t.rows.push_back(
            {fr2r_int(s.id), fr2r_text(s.label), fr2r_int(s.scan_time),
             s.root.empty() ? fr2r_null() : fr2r_text(s.root), fr2r_int(s.lines),
             fr2r_int(s.skipped), fr2r_text(s.incomplete.empty() ? "yes" : "no: " + s.incomplete),
             fr2r_int((int64_t)s.problems.size()), fr2r_text(s.source), fr2r_int(s.loaded_at),
             fr2r_text(s.rollup()
                           ? "rollup, " + std::to_string(s.keep_files) + " biggest files kept"
                           : "whole")});
    fr2r_print_tables(stdout, "scans", nullptr, {t}, a.fmt);
    return fflush(stdout) == 0 ? 0 : 1;
}

// delete DB SCAN, rename DB SCAN LABEL
int cmd_change(const args &a) {
    bool del = a.cmd == "delete";
    if (int r = need_args(a, del ? 2 : 3, del ? 2 : 3)) return r;
    sqlite3 *db = fr2r_db_open(a.pos[0].c_str(), false, true);
    if (!db) return 1;
    fr2r_scan s;
    int r = fr2r_find_scan(db, a.pos[1], &s);
    if (r == 0) r = del ? fr2r_delete_scan(db, s) : fr2r_rename_scan(db, s, a.pos[2]);
    fr2r_db_close(db);
    if (r != 0) return 1;
    if (del)
        fprintf(stderr, "fsrake2-report: scan %" PRId64 " \"%s\" deleted (%" PRId64 " lines)\n",
                s.id, fr2r_term_escape(s.label).c_str(), s.lines);
    return 0;
}

// Scripts reading CSV get the warnings of an incomplete scan on standard error.
void warn_csv(const args &a, const fr2r_scan &s) {
    if (a.fmt != FR2R_FMT_CSV) return;
    for (const auto &l : fr2r_scan_warnings(s, 20))
        fprintf(stderr, "fsrake2-report: warning: scan %" PRId64 ": %s\n", s.id, l.c_str());
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
        if (c == "summary")
            r = fr2r_report_summary(db, s, a.ro, &tables);
        else if (c == "users")
            r = fr2r_report_owners(db, s, a.ro, false, &tables);
        else if (c == "groups")
            r = fr2r_report_owners(db, s, a.ro, true, &tables);
        else if (c == "extensions")
            r = fr2r_report_extensions(db, s, a.ro, &tables);
        else if (c == "ages")
            r = fr2r_report_ages(db, s, a.ro, &tables);
        else if (c == "sizes")
            r = fr2r_report_sizes(db, s, a.ro, &tables);
        else if (c == "biggest")
            r = fr2r_report_biggest(db, s, a.ro, &tables);
        else if (c == "cold")
            r = fr2r_report_cold(db, s, a.ro, &tables);
        else if (c == "html")
            r = fr2r_write_html(stdout, db, s, a.ro);
    }
    fr2r_db_close(db);
    if (r != 0) return 1;
    if (c != "html") {
        warn_csv(a, s);
        fr2r_print_tables(stdout, c, &s, tables, a.fmt);
    }
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
        // One database: the newer scan (given or latest) against the one of
        // the same tree before it (or, forced, the one just before it).
        r = fr2r_find_scan(dbn, a.ro.new_scan, &sn);
        std::vector<fr2r_scan> all;
        if (r == 0) r = fr2r_list_scans(dbo, &all);
        bool found = false, older = false;
        for (const auto &x : all)
            if (x.id < sn.id) {
                older = true;
                if (x.root == sn.root || a.ro.force) {
                    so = x;
                    found = true;
                }
            }
        if (r == 0 && !found) {
            if (older)
                fprintf(stderr,
                        "fsrake2-report: %s holds no scan of %s older than scan %" PRId64
                        " (--old picks one, --force compares scans of different trees)\n",
                        old_path.c_str(),
                        sn.root.empty() ? "an unknown root" : fr2r_term_escape(sn.root).c_str(),
                        sn.id);
            else
                fprintf(stderr, "fsrake2-report: %s holds no scan older than scan %" PRId64 "\n",
                        old_path.c_str(), sn.id);
            r = -1;
        }
    } else {
        r = fr2r_find_scan(dbo, a.ro.old_scan, &so);
        if (r == 0) r = fr2r_find_scan(dbn, a.ro.new_scan, &sn);
    }
    if (r == 0 && so.root != sn.root) {
        std::string what = "scan " + std::to_string(so.id) + " is of " +
                           (so.root.empty() ? "an unknown root" : fr2r_term_escape(so.root)) +
                           ", scan " + std::to_string(sn.id) + " of " +
                           (sn.root.empty() ? "an unknown root" : fr2r_term_escape(sn.root));
        if (!a.ro.force) {
            fprintf(stderr,
                    "fsrake2-report: not the same tree: %s (--force compares them anyway)\n",
                    what.c_str());
            r = -1;
        } else {
            fprintf(stderr, "fsrake2-report: warning: not the same tree: %s\n", what.c_str());
        }
    }
    std::vector<fr2r_table> tables;
    if (r == 0) r = fr2r_report_diff(dbo, so, dbn, sn, a.ro, &tables);
    if (dbn != dbo) fr2r_db_close(dbn);
    fr2r_db_close(dbo);
    if (r != 0) return 1;
    warn_csv(a, so);
    warn_csv(a, sn);
    if (a.fmt == FR2R_FMT_TEXT && so.id != sn.id)
        for (const auto &l : fr2r_scan_warnings(so, 20))
            printf("old scan %" PRId64 ": %s\n", so.id, l.c_str());
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
    if (a.keep_files_given && !a.lo.rollup)
        return usage_error("%s: --keep-files is for --rollup loads", a.cmd.c_str());
    if (a.lo.threads > 0 && (!a.lo.rollup || a.cmd != "load"))
        return usage_error("%s: --threads is for load --rollup", a.cmd.c_str());
    const std::string &c = a.cmd;
    if (c == "load") return cmd_load(a);
    if (c == "scan") return cmd_scan(a);
    if (c == "scans") return cmd_scans(a);
    if (c == "delete" || c == "rename") return cmd_change(a);
    if (c == "diff") return cmd_diff(a);
    if (c == "summary" || c == "users" || c == "groups" || c == "extensions" || c == "ages" ||
        c == "sizes" || c == "biggest" || c == "cold" || c == "html")
        return cmd_report(a);
    return usage_error("unknown command '%s'", c.c_str());
}
