// Rollup scans against whole ones: every report, in every format, from the
// same scans loaded both ways must be the same bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string.h>

#include "fr2r_csv.h"
#include "harness.h"
#include "test_report_util.h"

using namespace fr2test;
using namespace r2t;

namespace {

// Splits a scan into two shards at the record boundary nearest its middle
// (records may hold line feeds, so the parser finds the boundary).
void split_scan(const std::string &csv, const std::string &a, const std::string &b) {
    std::string data = read_file(csv);
    size_t at = 0, cut = 0;
    fr2r_entry e;
    while (at < data.size() && at < data.size() / 2) {
        size_t used = 0;
        int lines = 0;
        std::string why;
        if (fr2r_parse_record(data.data() + at, data.size() - at, true, &e, &used, &lines, &why) !=
            FR2R_PARSE_OK)
            used = data.find('\n', at) - at + 1;  // the header line
        at += used;
        cut = at;
    }
    ASSERT_GT(cut, 0u);
    ASSERT_LT(cut, data.size());
    write_file(a, data.substr(0, cut));
    write_file(b, data.substr(cut));
}

void load(const std::vector<std::string> &args) {
    std::vector<std::string> a = {"load", "--time", "1800000000"};
    a.insert(a.end(), args.begin(), args.end());
    RunResult r = run_report(a);
    ASSERT_EQ(r.status, 0) << r.err;
}

// The same command on a whole and a rollup database: same status and bytes.
void same(const std::string &whole, const std::string &rollup, std::vector<std::string> args) {
    std::vector<std::string> w = args, r = args;
    w.push_back(whole);
    r.push_back(rollup);
    RunResult a = run_report(w), b = run_report(r);
    std::string what;
    for (const auto &x : args) what += x + " ";
    EXPECT_EQ(a.status, 0) << what << a.err;
    EXPECT_EQ(a.status, b.status) << what << b.err;
    EXPECT_EQ(a.out, b.out) << what;
    EXPECT_EQ(a.err, b.err) << what;
}

// Each report with the options that change what it computes, in every
// format on the latest scan; the first scan in CSV.
void every_report_same(const std::string &w, const std::string &r) {
    using Opts = std::vector<std::vector<std::string>>;
    const Opts ranked = {{}, {"--by", "allocated"}, {"--limit", "0"}};
    const std::vector<std::pair<const char *, Opts>> reports = {
        {"summary", {{}}},
        {"users", ranked},
        {"groups", ranked},
        {"extensions", ranked},
        {"ages", {{}, {"--now", "1800864000"}}},
        {"sizes", {{}}},
        {"biggest", ranked},
        {"cold", {{}, {"--years", "0"}, {"--now", "1800864000"}}}};
    for (const auto &[report, opts] : reports) {
        same(w, r, {report, "--scan", "1", "--csv"});
        for (const char *fmt : {"", "--csv", "--json"})
            for (const auto &opt : opts) {
                std::vector<std::string> args = {report};
                if (*fmt) args.push_back(fmt);
                args.insert(args.end(), opt.begin(), opt.end());
                same(w, r, args);
            }
    }
    same(w, r, {"html"});
    same(w, r, {"html", "--scan", "1"});
    for (const char *fmt : {"--csv", "--json", "--limit"}) {
        std::vector<std::string> args = {"diff", fmt};
        if (!strcmp(fmt, "--limit")) args.push_back("0");
        same(w, r, args);
    }
}

// A scan as the scanner writes it, big enough to be read in parts: ten
// folders and a deeper one, three owners, ages over eight years, names with
// quotes and commas, files linked across folders and across the two halves
// of the file. Between the halves, made the same length, is a file whose
// name is mostly line feeds: a read in two parts is cut inside its quotes.
std::string synthetic_scan(int files, long long now) {
    auto rec = [](long long ino, long long parent, int depth, const std::string &path,
                  const std::string &ext, int uid, long long size, int nlink, const char *mode,
                  long long atime, long long mtime) {
        std::string q;
        for (char c : path) {
            if (c == '"') q += '"';
            q += c;
        }
        return std::to_string(ino) + "," + std::to_string(parent) + "," + std::to_string(depth) +
               ",\"" + q + "\",\"" + ext + "\"," + std::to_string(uid) + "," +
               std::to_string(100 + uid % 2) + "," + std::to_string(size) + ",2049," +
               std::to_string(size / 512 + 8) + "," + std::to_string(nlink) + ",\"" + mode + "\"," +
               std::to_string(atime) + "," + std::to_string(mtime) + "," + std::to_string(mtime) +
               ",-1,0\n";
    };
    const long long day = 86400;
    std::string half[2];
    auto shorter = [&]() -> std::string & { return half[half[1].size() < half[0].size()]; };
    half[0] = rec(2, 0, -1, "/r", "", 0, 4096, 12, "0040755", now, now);
    for (int k = 0; k < 10; k++)
        half[0] += rec(10 + k, 2, 0, "/r/d" + std::to_string(k), "", 1000 + k % 3, 4096, 2,
                       "0040755", now, now - k * day);
    half[0] += rec(30, 13, 1, "/r/d3/deep", "", 1001, 4096, 2, "0040755", now, now);
    const char *exts[] = {"txt", "log", "", "tar.gz"};
    for (int i = 0; i < files; i++) {
        bool deep = i % 13 == 0;
        int k = i % 10;
        std::string ext = exts[i % 4];
        std::string name =
            "f" + std::to_string(i) + (i % 17 ? "" : "\",q") + (ext.empty() ? "" : "." + ext);
        std::string dir = deep ? "/r/d3/deep" : "/r/d" + std::to_string(k);
        long long mtime = now - (i * 37 % 3000) * day - i % 5000;
        shorter() += rec(1000 + i, deep ? 30 : 10 + k, deep ? 2 : 1, dir + "/" + name,
                         ext == "tar.gz" ? "gz" : ext, 1000 + i % 3, i * 7919LL % 200000, 1,
                         "0100644", mtime + (i % 4) * day, mtime);
    }
    for (int j = 0; j < 20; j++)
        for (int h = 0; h < 2; h++)
            half[h] += rec(500000 + j, 10 + (j + 3 * h) % 10, 1,
                           "/r/d" + std::to_string((j + 3 * h) % 10) + "/link" + std::to_string(j) +
                               (h ? "b" : "a"),
                           "", 1002, 100000 + j, 2, "0100644", now - 400 * day, now - 500 * day);
    std::string middle = rec(499999, 11, 1, "/r/d1/mid" + std::string(4000, '\n') + "dle", "", 1000,
                             12345, 1, "0100644", now, now);
    return half[0] + middle + half[1];
}

}  // namespace

TEST(ReportRollup, EveryReportGivesWhatAWholeLoadGives) {
    TempDir tmp;
    std::string root = tmp / "data";
    // A whole number of days before the scans' time, and one that is not.
    long long t0 = 1800000000LL - 86400 * 3;
    build_tree(root, t0);
    scan_to(root, tmp / "1.csv");
    // Growth and shrinkage, and one more link across folders.
    write_file(root + "/links/new.big", std::string(300000, 'b'));
    ASSERT_EQ(link((root + "/links/new.big").c_str(), (root + "/other/\"q\".big").c_str()), 0);
    ASSERT_EQ(unlink((root + "/plain.txt").c_str()), 0);
    scan_to(root, tmp / "2.csv");
    split_scan(tmp / "2.csv", tmp / "2.0.csv", tmp / "2.1.csv");

    std::string w = tmp / "w.db", r = tmp / "r.db";
    load({tmp / "1.csv", w});
    load({tmp / "2.0.csv", tmp / "2.1.csv", w});
    load({"--rollup", tmp / "1.csv", r});
    load({"--rollup", tmp / "2.0.csv", tmp / "2.1.csv", r});
    ASSERT_EQ(sql(r, "SELECT count(*) FROM entries")[0][0], "0");

    every_report_same(w, r);

    // Across kinds: an old whole scan against a new rollup, and the other way.
    std::string w1 = tmp / "w1.db", w2 = tmp / "w2.db", r1 = tmp / "r1.db", r2 = tmp / "r2.db";
    load({tmp / "1.csv", w1});
    load({"--rollup", tmp / "1.csv", r1});
    load({tmp / "2.0.csv", tmp / "2.1.csv", w2});
    load({"--rollup", tmp / "2.0.csv", tmp / "2.1.csv", r2});
    RunResult ww = run_report({"diff", "--csv", w1, w2});
    ASSERT_EQ(ww.status, 0) << ww.err;
    for (const auto &pair : {std::make_pair(w1, r2), std::make_pair(r1, w2)}) {
        RunResult x = run_report({"diff", "--csv", pair.first, pair.second});
        EXPECT_EQ(x.status, 0) << x.err;
        EXPECT_EQ(x.out, ww.out) << pair.first << " " << pair.second;
    }

    // A ranked list longer than what was kept says so; what was kept is exact.
    std::string small = tmp / "keep2.db";
    load({"--rollup", "--keep-files", "2", tmp / "2.0.csv", tmp / "2.1.csv", small});
    same(w2, small, {"biggest", "--by", "files", "--limit", "2", "--csv"});
    same(w2, small, {"biggest", "--by", "allocated", "--limit", "2", "--csv"});
    auto whole = report_csv(w2, {"biggest", "--by", "files", "--limit", "0"});
    auto kept = report_csv(small, {"biggest", "--by", "files", "--limit", "0"});
    ASSERT_EQ(kept[0].size(), 3u);  // the header and the two kept
    EXPECT_EQ(kept[0][1], whole[0][1]);
    EXPECT_EQ(kept[0][2], whole[0][2]);
    RunResult text = run_report({"biggest", "--by", "files", "--limit", "0", small});
    std::string note = std::to_string(whole[0].size() - 3) +
                       " more files not shown: the rollup scan kept only the 2 biggest";
    EXPECT_NE(text.out.find(note), std::string::npos) << text.out;

    // A database of the previous schema is upgraded and reads as before.
    RunResult before = run_report({"summary", w1});
    std::string out;
    ASSERT_EQ(sh("sqlite3 " + shell_quote(w1) +
                     " \"DROP TABLE rollup_totals; DROP TABLE rollup_dirs; DROP TABLE "
                     "rollup_owners; DROP TABLE rollup_extensions; DROP TABLE rollup_days; DROP "
                     "TABLE rollup_sizes; DROP TABLE rollup_cold; DROP TABLE rollup_files; DROP "
                     "TABLE rollup_links; ALTER TABLE scans DROP COLUMN keep_files; PRAGMA "
                     "user_version=2;\"",
                 &out),
              0)
        << out;
    if (running_as_root() && have_command("setpriv")) {
        // Someone who cannot write it still reads it, as it is.
        chmod(tmp.path().c_str(), 0755);
        RunOptions other;
        other.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        RunResult ro = run_report({"summary", w1}, other);
        EXPECT_EQ(ro.status, 0) << ro.err;
        EXPECT_EQ(ro.out, before.out);
        EXPECT_EQ(sql(w1, "PRAGMA user_version")[0][0], "2");
    }
    RunResult after = run_report({"summary", w1});
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(after.out, before.out);
    load({"--rollup", tmp / "2.0.csv", tmp / "2.1.csv", w1});
    same(w2, w1, {"users", "--csv"});
}

// A malformed line in the second shard of a rollup load: nothing is loaded,
// and the message names that shard and line.
TEST(ReportRollup, MalformedLineInAShardLoadsNothing) {
    TempDir tmp;
    std::string root = tmp / "data";
    build_tree(root, time(nullptr));
    scan_to(root, tmp / "s.csv");
    split_scan(tmp / "s.csv", tmp / "s.0.csv", tmp / "s.1.csv");
    write_file(tmp / "s.1.csv", "1,2,not a line\n" + read_file(tmp / "s.1.csv"));
    std::string db = tmp / "r.db";
    RunResult r = run_report({"load", "--rollup", tmp / "s.0.csv", tmp / "s.1.csv", db});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("s.1.csv:1: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing loaded"), std::string::npos) << r.err;
    EXPECT_EQ(sql(db, "SELECT count(*) FROM scans")[0][0], "0");
    EXPECT_EQ(sql(db, "SELECT count(*) FROM rollup_dirs")[0][0], "0");
}

// A folder bind-mounted at a second place in the tree: two directory lines
// with one device and inode, whose files only their paths tell apart.
TEST(ReportRollup, BindMountedFolderIsSplitByPathAsInAWholeLoad) {
    TempDir tmp;
    auto line = [](const char *ino, const char *parent, int depth, const char *path, long size,
                   const char *mode, int nlink) {
        return std::string(ino) + "," + parent + "," + std::to_string(depth) + ",\"" + path +
               "\",\"\",1000,1000," + std::to_string(size) + ",7,8," + std::to_string(nlink) +
               ",\"" + mode + "\",1700000000,1700000000,1700000000,-1,0\n";
    };
    std::string csv = line("2", "0", -1, "/r", 4096, "0040755", 4) +
                      line("10", "2", 0, "/r/a", 4096, "0040755", 2) +
                      line("20", "10", 1, "/r/a/x", 100, "0100644", 1) +
                      line("21", "10", 1, "/r/a/y", 7, "0100644", 1) +
                      line("10", "2", 0, "/r/b", 4096, "0040755", 2) +
                      line("20", "10", 1, "/r/b/x", 100, "0100644", 1) +
                      line("21", "10", 1, "/r/b/y", 7, "0100644", 1);
    write_file(tmp / "bind.csv", csv);
    load({tmp / "bind.csv", tmp / "w.db"});
    load({"--rollup", tmp / "bind.csv", tmp / "r.db"});
    same(tmp / "w.db", tmp / "r.db", {"biggest", "--csv"});
    same(tmp / "w.db", tmp / "r.db", {"summary", "--csv"});
    auto dirs = keyed(report_csv(tmp / "r.db", {"biggest", "--by", "tree"})[0], "directory");
    EXPECT_EQ(dirs["/r/b"]["tree_entries"], "2");
}

// One big file read in parts (cut inside a quoted name, and redone as one
// part when a stray quote hides where records begin): every report as from
// a whole load. Malformed lines are named in input order, as one thread
// would name them.
TEST(ReportRollup, OneFileReadInPartsGivesWhatAWholeLoadGives) {
    TempDir tmp;
    const long long now = 1800000000LL;
    std::string before = synthetic_scan(1800, now - 86400 * 30), after = synthetic_scan(2000, now);
    ASSERT_GE(before.size(), 3u * (64 << 10));  // three parts of at least 64 KiB
    // The middle of the second falls inside the long name.
    size_t name = after.find("/r/d1/mid");
    ASSERT_LT(name, after.size() / 2);
    ASSERT_GT(name + 4000, after.size() / 2);
    write_file(tmp / "1.csv", before);
    write_file(tmp / "2.csv", after);
    std::string w = tmp / "w.db", r = tmp / "r.db";
    load({tmp / "1.csv", w});
    load({tmp / "2.csv", w});
    // Every file kept, so that "biggest --limit 0" lists them all.
    load({"--rollup", "--keep-files", "5000", "--threads", "3", tmp / "1.csv", r});
    load({"--rollup", "--keep-files", "5000", "--threads", "2", tmp / "2.csv", r});
    every_report_same(w, r);

    // A stray quote early in the file: its parts' sums are dropped and the
    // file read again as one; the malformed lines come in line order.
    std::string bad = after;
    bad.insert(bad.find('\n') + 1, "1,2,\"stray\n");
    bad.insert(bad.rfind('\n', bad.size() - 2) + 1, "bad line\n");
    write_file(tmp / "bad.csv", bad);
    std::string wb = tmp / "wb.db", rb = tmp / "rb.db";
    RunResult x = run_report({"load", "--skip-bad", "--time", "1800000000", tmp / "bad.csv", wb});
    RunResult y = run_report({"load", "--skip-bad", "--rollup", "--keep-files", "5000", "--threads",
                              "2", "--time", "1800000000", tmp / "bad.csv", rb});
    ASSERT_EQ(x.status, 0) << x.err;
    ASSERT_EQ(y.status, 0) << y.err;
    EXPECT_EQ(x.err.substr(0, x.err.find("lines loaded in")),
              y.err.substr(0, y.err.find("lines loaded in")));
    for (const char *report : {"summary", "biggest", "users"})
        same(wb, rb, {report, "--csv", "--limit", "0"});
}
