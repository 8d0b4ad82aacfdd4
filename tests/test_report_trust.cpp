// fsrake2-report: numbers that do not depend on the scanner's line order,
// diffs that compare like with like, scans that say how complete they are,
// and databases that fail with a reason.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "fr2r_csv.h"
#include "harness.h"
#include "test_report_util.h"
#include "walk_util.h"

using namespace fr2test;
using namespace r2t;

namespace {

// One line as the scanner writes it.
std::string line(unsigned long long ino, unsigned long long parent, int depth,
                 const std::string &path, long long size, const char *mode = "0100644",
                 long long fcount = -1, long long dirsum = 0, int nlink = 1,
                 long long blocks = -1, long long atime = 1700000000, unsigned uid = 1000) {
    std::string q;
    for (char c : path) {
        if (c == '"') q += '"';
        q += c;
    }
    if (blocks < 0) blocks = (size + 511) / 512;
    return std::to_string(ino) + "," + std::to_string(parent) + "," + std::to_string(depth) +
           ",\"" + q + "\",\"\"," + std::to_string(uid) + ",1000," + std::to_string(size) +
           ",2049," + std::to_string(blocks) + "," + std::to_string(nlink) + ",\"" + mode +
           "\"," + std::to_string(atime) + ",1700000000,1700000000," + std::to_string(fcount) +
           "," + std::to_string(dirsum) + "\n";
}

std::string dir_line(unsigned long long ino, unsigned long long parent, int depth,
                     const std::string &path) {
    return line(ino, parent, depth, path, 4096, "0040755", 1, 0);
}

// A root with 20 folders, each holding one link of the same 1 MB file: the
// lines in the order given by seed.
std::string shared_link_scan(const std::string &root, unsigned seed) {
    std::vector<std::string> lines;
    for (int i = 0; i < 20; i++) {
        char name[16];
        snprintf(name, sizeof name, "d%02d", i);
        lines.push_back(dir_line(100 + i, 2, 0, root + "/" + name));
        lines.push_back(line(9999, 100 + i, 1, root + "/" + name + "/shared.bin", 1 << 20,
                             "0100644", -1, 0, 20));
    }
    std::mt19937 rng(seed);
    std::shuffle(lines.begin(), lines.end(), rng);
    std::string s;
    for (auto &l : lines) s += l;
    return s + line(2, 0, -1, root, 4096, "0040755", 20, 81920);
}

long long count_of(const std::string &db, const std::string &q) {
    Rows r = sql(db, q);
    return r.empty() ? -1 : std::stoll(r[0][0]);
}

}  // namespace

TEST(ReportTrust, HardLinkCreditDoesNotDependOnLineOrder) {
    TempDir tmp;
    std::string db = tmp / "r.db";
    std::set<std::string> biggest;
    for (unsigned seed = 1; seed <= 5; seed++) {
        std::string f = tmp / ("scan" + std::to_string(seed) + ".csv");
        write_file(f, shared_link_scan("/r", seed));
        ASSERT_EQ(run_report({"load", f, db}).status, 0);
        auto t = report_csv(db, {"biggest", "--by", "tree", "--limit", "2"});
        ASSERT_GE(t[0].size(), 3u);
        EXPECT_EQ(t[0][1][0], "/r");
        biggest.insert(t[0][2][0]);
    }
    // The lowest path of the inode gets the file, every time.
    EXPECT_EQ(biggest, std::set<std::string>{"/r/d00"});
    EXPECT_EQ(count_of(db, "SELECT count(*) FROM entries WHERE dup = 0 AND is_dir = 0"), 5);
    EXPECT_EQ(count_of(db, "SELECT count(*) FROM entries WHERE dup = 0 AND is_dir = 0 AND "
                           "path = CAST('/r/d00/shared.bin' AS BLOB)"),
              5);
    // Nothing changed between any two of them.
    auto d = report_csv(db, {"diff", "--old", "2", "--new", "5", "--limit", "0"});
    ASSERT_EQ(d.size(), 5u);
    EXPECT_EQ(d[1].size(), 1u) << "a directory changed: " << d[1][1][0];
    auto sum = keyed(d[0], "item");
    EXPECT_EQ(sum["size"]["growth"], "0");
}

TEST(ReportTrust, DiffComparesScansOfOneTreeAndSaysWhatBecameUnreadable) {
    TempDir tmp;
    std::string db = tmp / "r.db";
    std::string r1 = dir_line(2, 0, -1, "/r") + dir_line(3, 2, 0, "/r/keep") +
                     line(4, 3, 1, "/r/keep/a", 1000) + dir_line(5, 2, 0, "/r/locked") +
                     line(6, 5, 1, "/r/locked/b", 5000) + dir_line(7, 2, 0, "/r/removed") +
                     line(8, 7, 1, "/r/removed/c", 300);
    for (int i = 0; i < 30; i++)
        r1 += dir_line(100 + i, 2, 0, "/r/same" + std::to_string(i));
    std::string r2 = r1.substr(0, r1.find("\n5,2,0,") + 1) + line(9, 3, 1, "/r/keep/small", 10);
    for (int i = 0; i < 30; i++)
        r2 += dir_line(100 + i, 2, 0, "/r/same" + std::to_string(i));
    r2 = r2.substr(r2.find('\n') + 1) + dir_line(2, 0, -1, "/r");
    write_file(tmp / "r1.csv", r1);
    write_file(tmp / "r2.csv", r2);
    write_file(tmp / "r2.err", "Locked Dir: /r/locked\nfsrake2 done: 34 files, 0.00 GB, 0 sec, 0 files/sec\n");
    write_file(tmp / "s.csv", dir_line(2, 0, -1, "/s") + line(4, 2, 0, "/s/big", 1 << 30));
    ASSERT_EQ(run_report({"load", "--label", "r1", tmp / "r1.csv", db}).status, 0);
    ASSERT_EQ(run_report({"load", "--label", "s", tmp / "s.csv", db}).status, 0);
    RunResult r = run_report({"load", "--label", "r2", "--messages", tmp / "r2.err", tmp / "r2.csv", db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("1 directory could not be read"), std::string::npos) << r.err;

    // The latest scan against the last one of the same tree, not of /s.
    auto t = report_csv(db, {"diff", "--limit", "0"});
    ASSERT_EQ(t.size(), 5u);
    EXPECT_NE(t[0].size(), 0u);
    auto dirs = keyed(t[1], "directory");
    EXPECT_EQ(dirs["/r/locked"]["status"], "unreadable in the new scan");
    EXPECT_EQ(dirs["/r/removed"]["status"], "gone");
    EXPECT_EQ(dirs["/r/keep"]["growth"], "10");
    EXPECT_EQ(dirs.count("/r/same0"), 0u);  // unchanged, left out
    // Biggest change first, shrinkage included: /r (-5290), /r/locked (-5000), ...
    ASSERT_GE(t[1].size(), 5u);
    EXPECT_EQ(t[1][1][0], "/r");
    EXPECT_EQ(t[1][2][0], "/r/locked");
    EXPECT_EQ(t[1][3][0], "/r/removed");
    EXPECT_EQ(t[1][4][0], "/r/keep");

    // Scans of different trees: refused, or compared with a warning when forced.
    r = run_report({"diff", db, "--old", "s", "--new", "r2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not the same tree: scan 2 is of /s, scan 3 of /r"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    r = run_report({"diff", db, "--old", "s", "--new", "r2", "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: not the same tree"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("different trees"), std::string::npos) << r.out;
    // Text output names what could not be read, above the tables.
    r = run_report({"diff", db});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t warn = r.out.find("/r/locked (locked)"), table = r.out.find("Growth by directory");
    EXPECT_NE(warn, std::string::npos) << r.out;
    EXPECT_LT(warn, table);
    // Two databases of different trees, likewise.
    ASSERT_EQ(run_report({"load", tmp / "s.csv", tmp / "s.db"}).status, 0);
    EXPECT_EQ(run_report({"diff", tmp / "s.db", db}).status, 1);
}

TEST(ReportTrust, IncompleteScansSayIncompleteAtTheTopOfEveryReport) {
    TempDir tmp;
    std::string root = tmp / "data", db = tmp / "r.db";
    make_dirs(root + "/a/b");
    for (int i = 0; i < 50; i++) write_file(root + "/a/f" + std::to_string(i), "x");
    std::string csv = tmp / "full.csv";
    scan_to(root, csv);
    // The lines without the root's, as `head` cuts a scan.
    std::string text = read_file(csv), cut;
    for (const auto &l : split_lines(text))
        if (l.find(",0,-1,") == std::string::npos) cut += l + "\n";
    write_file(tmp / "cut.csv", cut);
    RunResult r = run_report({"load", tmp / "cut.csv", db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("incomplete: no root directory line"), std::string::npos) << r.err;
    for (const char *cmd : {"summary", "users", "groups", "extensions", "ages", "sizes", "biggest", "cold"}) {
        r = run_report({cmd, db});
        EXPECT_EQ(r.status, 0) << cmd << r.err;
        size_t w = r.out.find("INCOMPLETE SCAN: no root directory line");
        EXPECT_NE(w, std::string::npos) << cmd << "\n" << r.out;
        EXPECT_LT(w, r.out.find("\n\n")) << cmd;  // in the heading, above every table
        r = run_report({cmd, db, "--csv"});
        EXPECT_NE(r.err.find("INCOMPLETE SCAN"), std::string::npos) << cmd;
        r = run_report({cmd, db, "--json"});
        EXPECT_NE(r.out.find("\"complete\":false"), std::string::npos) << cmd;
    }
    r = run_report({"html", db});
    EXPECT_NE(r.out.find("INCOMPLETE SCAN"), std::string::npos);
    EXPECT_LT(r.out.find("INCOMPLETE SCAN"), r.out.find("id=\"summary\""));

    // The whole scan, with what the scanner said when it gave up.
    struct ending {
        const char *what, *messages, *expect;
    } endings[] = {
        {"no progress",
         "fsrake2: watchdog: worker 1 stuck in getdents64 for 60s on /x\n"
         "Timeout Dir: /x/hung\n"
         "fsrake2: no progress for 300 seconds, forcing exit (threads stuck on uninterruptible I/O)\n"
         "fsrake2 done: 3 files, 0.00 GB, 300 sec, 0 files/sec\n",
         "the scanner gave up"},
        {"no summary", "Locked Dir: /x/locked\n", "without its final summary"},
        {"more lines written than read", "fsrake2 done: 5000 files, 0.00 GB, 1 sec, 5000 files/sec\n",
         "the scanner wrote 5000 lines"},
    };
    for (const auto &e : endings) {
        SCOPED_TRACE(e.what);
        write_file(tmp / "err.txt", e.messages);
        r = run_report({"load", "--messages", tmp / "err.txt", csv, tmp / "e.db"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(e.expect), std::string::npos) << r.err;
        r = run_report({"summary", tmp / "e.db"});
        EXPECT_NE(r.out.find(e.expect), std::string::npos) << r.out;
    }
    Rows p = sql(tmp / "e.db", "SELECT scan, kind, path FROM problems ORDER BY scan");
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0][1], "timeout");
    EXPECT_EQ(p[0][2], "/x/hung");
    EXPECT_EQ(p[1][1], "locked");
    // A complete scan with a clean ending says nothing of the kind.
    write_file(tmp / "err.txt", "fsrake2 done: 53 files, 0.00 GB, 0 sec, 0 files/sec\n");
    r = run_report({"load", "--messages", tmp / "err.txt", csv, tmp / "ok.db"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    r = run_report({"summary", tmp / "ok.db"});
    EXPECT_EQ(r.out.find("INCOMPLETE"), std::string::npos) << r.out;
    auto s = report_csv(tmp / "ok.db", {"scans"});
    EXPECT_EQ(keyed(s[0], "id")["1"]["complete"], "yes");
}

// The scanner run by the report tool, as a user who cannot read one folder:
// its standard error is kept with the scan, nothing goes through a file.
TEST(ReportTrust, ScanRunsTheScannerAndKeepsWhatItCouldNotRead) {
    TempDir tmp;
    std::string root = tmp / "data", db = tmp / "r.db";
    make_dirs(root + "/open");
    make_dirs(root + "/closed/inner");
    write_file(root + "/open/f", std::string(3000, 'o'));
    write_file(root + "/closed/inner/g", std::string(7000, 'c'));
    ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
    RunOptions as_user;
    as_user.prefix = unprivileged_prefix();
    RunResult r = run_report({"scan", "--scanner", FR2_BINARY, root, db}, as_user);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(chmod((root + "/closed").c_str(), 0), 0);
    r = run_report({"scan", "--label", "second", "--scanner", FR2_BINARY, root, db, "--threads", "2"},
                   as_user);
    ASSERT_EQ(r.status, 0) << r.err;
    if (getuid() != 0 && access((root + "/closed").c_str(), R_OK) == 0)
        GTEST_SKIP() << "cannot make a folder unreadable for this user";
    // The scanner's own lines still reach the user.
    EXPECT_NE(r.err.find("Locked Dir: " + root + "/closed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("fsrake2 done:"), std::string::npos) << r.err;
    Rows s = sql(db, "SELECT label, root, scanner_status, summary, incomplete FROM scans ORDER BY id");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0][0], root);
    EXPECT_EQ(s[1][0], "second");
    EXPECT_EQ(s[1][1], root);
    EXPECT_EQ(s[1][2], "0");
    EXPECT_EQ(s[1][3].rfind("fsrake2 done: ", 0), 0u) << s[1][3];
    EXPECT_EQ(s[1][4], "<null>");
    Rows p = sql(db, "SELECT kind, path FROM problems WHERE scan = 2");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0][0], "locked");
    EXPECT_EQ(p[0][1], root + "/closed");
    auto t = report_csv(db, {"diff", "--limit", "0"});
    auto dirs = keyed(t[1], "directory");
    EXPECT_EQ(dirs[root + "/closed"]["status"], "unreadable in the new scan");
    EXPECT_EQ(dirs[root + "/closed/inner"]["status"], "unreadable in the new scan");
    EXPECT_EQ(dirs.count(root + "/open"), 0u);

    // A scanner that fails: the scan is not stored, and the status is told.
    r = run_report({"scan", "--scanner", FR2_BINARY, tmp / "missing", db});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the scanner exited with status 2"), std::string::npos) << r.err;
    r = run_report({"scan", "--scanner", tmp / "no-such-scanner", root, db});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot run the scanner"), std::string::npos) << r.err;
    EXPECT_EQ(count_of(db, "SELECT count(*) FROM scans"), 2);
    chmod((root + "/closed").c_str(), 0755);
}

TEST(ReportTrust, OneGiantLineIsOneMalformedLine) {
    TempDir tmp;
    std::string f = tmp / "scan.csv", db = tmp / "r.db";
    // 40 MiB without a line feed inside a quoted field, between good lines.
    std::string giant = "7,2,0,\"/r/" + std::string(40u << 20, 'g') + "\n";
    write_file(f, dir_line(2, 0, -1, "/r") + line(3, 2, 0, "/r/a", 10) + giant +
                      line(4, 2, 0, "/r/b", 20));
    RunResult r = run_report({"load", "--skip-bad", f, db});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t n = 0;
    for (size_t k = r.err.find("longer than"); k != std::string::npos; k = r.err.find("longer than", k + 1)) n++;
    EXPECT_EQ(n, 1u) << r.err;
    EXPECT_NE(r.err.find(f + ":3: line longer than"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 malformed line skipped"), std::string::npos) << r.err;
    Rows s = sql(db, "SELECT lines, skipped, incomplete FROM scans");
    EXPECT_EQ(s[0][0], "3");
    EXPECT_EQ(s[0][1], "1");
    EXPECT_NE(s[0][2].find("1 malformed line skipped"), std::string::npos);
    // The line after it still has its own number.
    write_file(f, dir_line(2, 0, -1, "/r") + giant + "bad\n");
    r = run_report({"load", f, tmp / "x.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(":3: 1 fields"), std::string::npos) << r.err;
}

TEST(ReportTrust, DatabasesThatCannotBeWrittenFailWithPathAndReason) {
    TempDir tmp;
    std::string csv = tmp / "s.csv";
    write_file(csv, dir_line(2, 0, -1, "/r") + line(3, 2, 0, "/r/a", 10));
    ASSERT_EQ(chmod(tmp.path().c_str(), 0777), 0);
    make_dir(tmp / "ro", 0777);
    std::string in_ro = tmp / "ro/r.db", ro_file = tmp / "readonly.db";
    ASSERT_EQ(run_report({"load", csv, in_ro}).status, 0);
    ASSERT_EQ(run_report({"load", csv, ro_file}).status, 0);
    ASSERT_EQ(chmod(in_ro.c_str(), 0666), 0);
    ASSERT_EQ(chmod((tmp / "ro").c_str(), 0555), 0);
    ASSERT_EQ(chmod(ro_file.c_str(), 0444), 0);
    RunOptions as_user;
    as_user.prefix = unprivileged_prefix();
    struct c {
        std::vector<std::string> args;
        std::string expect;
    } cases[] = {
        {{"load", csv, ro_file}, "database " + ro_file + ": cannot write it: Permission denied"},
        {{"load", csv, in_ro}, "database " + in_ro + ": cannot write (SQLite needs a journal file "
                               "beside it) in its folder " + tmp.path() + "/ro: Permission denied"},
        {{"load", csv, tmp / "ro/new.db"}, "cannot create it in its folder " + tmp.path() + "/ro"},
        {{"delete", ro_file, "1"}, "database " + ro_file + ": cannot write it"},
        {{"rename", ro_file, "1", "x"}, "database " + ro_file + ": cannot write it"},
        {{"summary", tmp / "nowhere.db"}, "database " + tmp.path() + "/nowhere.db: No such file"},
    };
    for (const auto &x : cases) {
        RunResult r = run_report(x.args, as_user);
        EXPECT_EQ(r.status, 1) << x.args[0];
        EXPECT_NE(r.err.find(x.expect), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("not an error"), std::string::npos) << r.err;
    }
    // Reading a read-only database still works.
    RunResult r = run_report({"summary", ro_file}, as_user);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(ro_file, "SELECT count(*) FROM scans"), 1);
    // A database that lost a table: the load fails with the reason too.
    std::string damaged = tmp / "damaged.db", out;
    ASSERT_EQ(run_report({"load", csv, damaged}).status, 0);
    ASSERT_EQ(sh("sqlite3 " + shell_quote(damaged) + " 'DROP TABLE scan_files'", &out), 0) << out;
    r = run_report({"load", csv, damaged});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("database " + damaged + ": preparing the load: no such table: scan_files"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(count_of(damaged, "SELECT count(*) FROM scans"), 1);
}

// The multi-node scanner writes PREFIX.<rank>.csv, each part maybe with the
// header line: loaded together they are one scan, the same as the whole.
TEST(ReportTrust, SeveralFilesLoadAsOneScan) {
    TempDir tmp;
    std::string root = tmp / "data";
    build_tree(root, time(nullptr));
    std::string whole = tmp / "whole.csv";
    scan_to(root, whole);
    std::vector<std::string> lines = split_lines(read_file(whole));
    ASSERT_EQ(lines[0], g_fr2r_header);
    // Records may span lines (a line feed in a name): split between records.
    std::vector<std::string> records;
    for (size_t i = 1; i < lines.size(); i++) {
        if (!records.empty() && std::count(records.back().begin(), records.back().end(), '"') % 2)
            records.back() += "\n" + lines[i];
        else
            records.push_back(lines[i]);
    }
    std::vector<std::string> parts(3);
    for (size_t i = 0; i < records.size(); i++) parts[i % 3] += records[i] + "\n";
    std::vector<std::string> args = {"load"};
    for (int k = 0; k < 3; k++) {
        std::string f = tmp / ("scan." + std::to_string(k) + ".csv");
        write_file(f, (k != 1 ? std::string(g_fr2r_header) + "\n" : "") + parts[k]);
        args.push_back(f);
    }
    args.push_back(tmp / "parts.db");
    RunResult r = run_report(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    ASSERT_EQ(run_report({"load", whole, tmp / "whole.db"}).status, 0);
    Rows s = sql(tmp / "parts.db", "SELECT label, root, lines, incomplete FROM scans");
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0][0], "scan.*.csv");
    EXPECT_EQ(s[0][1], root);
    EXPECT_EQ(s[0][2], std::to_string(records.size()));
    EXPECT_EQ(s[0][3], "<null>");
    for (const char *cmd : {"summary", "users", "biggest", "extensions"})
        EXPECT_EQ(run_report({cmd, tmp / "parts.db", "--csv"}).out,
                  run_report({cmd, tmp / "whole.db", "--csv"}).out)
            << cmd;
    // A bad line is named by its own file and line.
    write_file(tmp / "scan.1.csv", parts[1] + "oops\n");
    args.back() = tmp / "bad.db";
    r = run_report(args);
    EXPECT_EQ(r.status, 1);
    int n = (int)std::count(parts[1].begin(), parts[1].end(), '\n');
    EXPECT_NE(r.err.find(tmp / "scan.1.csv:" + std::to_string(n + 1) + ": 1 fields"), std::string::npos)
        << r.err;
    // Two root lines across the parts: two scans mixed up.
    args = {"load", whole, whole, tmp / "mixed.db"};
    r = run_report(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a second root directory line"), std::string::npos) << r.err;
}

TEST(ReportTrust, ScansCanBeListedRenamedDeletedAndReloadsAreNoticed) {
    TempDir tmp;
    std::string db = tmp / "r.db", f = tmp / "s.csv";
    write_file(f, dir_line(2, 0, -1, "/r") + line(3, 2, 0, "/r/a", 10));
    ASSERT_EQ(run_report({"load", f, db}).status, 0);
    RunResult r = run_report({"load", f, db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: " + f + " (same name, size and modification time) was loaded "
                         "before, as scan 1 \"s.csv\""),
              std::string::npos)
        << r.err;
    ASSERT_EQ(run_report({"rename", db, "2", "again"}).status, 0);
    ASSERT_EQ(run_report({"load", "--label", "third", f, db}).status, 0);
    auto t = keyed(report_csv(db, {"scans"})[0], "id");
    EXPECT_EQ(t["2"]["label"], "again");
    EXPECT_EQ(t.size(), 3u);
    r = run_report({"delete", db, "again"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("scan 2 \"again\" deleted"), std::string::npos) << r.err;
    t = keyed(report_csv(db, {"scans"})[0], "id");
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.count("2"), 0u);
    EXPECT_EQ(count_of(db, "SELECT count(*) FROM entries WHERE scan = 2"), 0);
    EXPECT_EQ(count_of(db, "SELECT count(*) FROM entries"), 4);
    EXPECT_EQ(run_report({"summary", db, "--scan", "third"}).status, 0);
    r = run_report({"delete", db, "nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no scan with id or label 'nope'"), std::string::npos);
}

// Sparse files make sizes lie about the disk; cold data counts what sits
// unread on it.
TEST(ReportTrust, AllocatedSpaceAndColdData) {
    TempDir tmp;
    std::string db = tmp / "r.db", f = tmp / "s.csv";
    long long now = 1800000000, year = 365 * 86400LL;
    // uid 1000: a sparse 1 TiB file (8 blocks) read last week; uid 2000: a
    // dense 1 MiB file not read for three years, and one read for 1.5 years.
    write_file(f, dir_line(2, 0, -1, "/r") + dir_line(3, 2, 0, "/r/sparse") +
                      dir_line(4, 2, 0, "/r/dense") +
                      line(10, 3, 1, "/r/sparse/vm.img", 1LL << 40, "0100644", -1, 0, 1, 8,
                           now - 7 * 86400, 1000) +
                      line(11, 4, 1, "/r/dense/old.dat", 1 << 20, "0100644", -1, 0, 1, 2048,
                           now - 3 * year, 2000) +
                      line(12, 4, 1, "/r/dense/mid.dat", 1 << 20, "0100644", -1, 0, 1, 2048,
                           now - 3 * year / 2, 2000));
    ASSERT_EQ(run_report({"load", "--time", std::to_string(now), f, db}).status, 0);
    auto u = report_csv(db, {"users"});
    EXPECT_EQ(u[0][1][0], "1000");  // by size, the sparse file's owner
    u = report_csv(db, {"users", "--by", "allocated"});
    EXPECT_EQ(u[0][1][0], "2000");
    auto b = report_csv(db, {"biggest", "--by", "allocated"});
    auto dirs = keyed(b[0], "directory");
    EXPECT_EQ(b[0][2][0], "/r/dense");
    EXPECT_EQ(dirs["/r/dense"]["tree_allocated"], std::to_string(4096LL * 512 + 4096));
    EXPECT_EQ(dirs["/r/sparse"]["tree_allocated"], std::to_string(8 * 512 + 4096));
    auto c = keyed(report_csv(db, {"cold"})[0], "uid");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c["2000"]["cold_files"], "1");
    EXPECT_EQ(c["2000"]["cold_allocated"], std::to_string(2048 * 512));
    EXPECT_EQ(c["2000"]["share_of_user"], "50.00");
    c = keyed(report_csv(db, {"cold", "--years", "1"})[0], "uid");
    EXPECT_EQ(c["2000"]["cold_files"], "2");
    EXPECT_EQ(c.count("1000"), 0u);
    c = keyed(report_csv(db, {"cold", "--years", "0"})[0], "uid");
    EXPECT_EQ(c["1000"]["cold_files"], "1");
}

// A database written before scans recorded their completeness is upgraded
// when opened, its hard links credited the new way.
TEST(ReportTrust, OlderDatabasesAreUpgraded) {
    TempDir tmp;
    std::string db = tmp / "old.db";
    std::string schema =
        "CREATE TABLE scans(id INTEGER PRIMARY KEY, label TEXT NOT NULL, scan_time INTEGER NOT "
        "NULL, loaded_at INTEGER NOT NULL, root BLOB, source TEXT NOT NULL, lines INTEGER NOT "
        "NULL, skipped INTEGER NOT NULL, first_row INTEGER NOT NULL, last_row INTEGER NOT NULL);"
        "CREATE INDEX scans_label ON scans(label);"
        "CREATE TABLE entries(scan INTEGER NOT NULL, inode INTEGER NOT NULL, parent_inode "
        "INTEGER NOT NULL, depth INTEGER NOT NULL, path BLOB NOT NULL, extension BLOB NOT NULL, "
        "uid INTEGER NOT NULL, gid INTEGER NOT NULL, size INTEGER NOT NULL, dev INTEGER NOT "
        "NULL, blocks INTEGER NOT NULL, nlink INTEGER NOT NULL, mode INTEGER NOT NULL, atime "
        "INTEGER NOT NULL, mtime INTEGER NOT NULL, ctime INTEGER NOT NULL, fcount INTEGER NOT "
        "NULL, dirsum INTEGER NOT NULL, is_dir INTEGER NOT NULL, dup INTEGER NOT NULL DEFAULT 0);"
        "CREATE VIEW files AS SELECT * FROM entries WHERE is_dir = 0;"
        "CREATE VIEW dirs AS SELECT * FROM entries WHERE is_dir = 1;"
        "INSERT INTO scans VALUES(1, 'old', 1700000000, 1700000000, CAST('/r' AS BLOB), 'x', 3, 0, 1, 3);"
        "INSERT INTO entries VALUES(1, 2, 0, -1, CAST('/r' AS BLOB), CAST('' AS BLOB), 0, 0, 4096, 1, 8, 2, 16877, 0, 0, 0, 2, 0, 1, 0);"
        "INSERT INTO entries VALUES(1, 5, 2, 0, CAST('/r/z' AS BLOB), CAST('' AS BLOB), 0, 0, 10, 1, 8, 2, 33188, 0, 0, 0, -1, 0, 0, 0);"
        "INSERT INTO entries VALUES(1, 5, 2, 0, CAST('/r/a' AS BLOB), CAST('' AS BLOB), 0, 0, 10, 1, 8, 2, 33188, 0, 0, 0, -1, 0, 0, 1);"
        "PRAGMA user_version=1;";
    std::string out;
    ASSERT_EQ(sh("sqlite3 " + shell_quote(db) + " " + shell_quote(schema), &out), 0) << out;
    RunResult r = run_report({"summary", db});
    ASSERT_EQ(r.status, 0) << r.err;
    Rows d = sql(db, "SELECT path, dup FROM entries WHERE is_dir = 0 ORDER BY path");
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0][0] + d[0][1], "/r/a0");
    EXPECT_EQ(d[1][0] + d[1][1], "/r/z1");
    EXPECT_EQ(count_of(db, "PRAGMA user_version"), 3);
}
