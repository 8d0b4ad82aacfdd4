// Reading scans: the parallel parse gives what one thread gives, compressed
// scans load as plain ones, messages of a stopped and resumed scan, and the
// scanner found from the build tree.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "fr2r_input.h"
#include "harness.h"
#include "test_report_util.h"
#include "walk_util.h"

using namespace fr2test;
using namespace r2t;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string record(unsigned long long ino, const std::string &path) {
    std::string q;
    for (char c : path) {
        if (c == '"') q += '"';
        q += c;
    }
    return std::to_string(ino) + ",2,0,\"" + q +
           "\",\"\",1000,1000,1,2049,8,1,\"0100644\",1700000000,1700000000,1700000000,-1,0\n";
}

// Every record of a read as "file:line:path" (or "file:line:bad:why"), in
// part order: the order one thread reads them in.
struct collected {
    std::vector<std::vector<std::string>> parts;
    int restarts = 0;
};

std::vector<std::string> read_all(const std::vector<std::string> &files, int threads,
                                  fr2r_read_result *res, int *restarts = nullptr) {
    collected c;
    fr2r_reader rd;
    rd.ctx = &c;
    rd.begin = [](void *ctx, int parts) { ((collected *)ctx)->parts.assign(parts, {}); };
    rd.restart = [](void *ctx) {
        collected *k = (collected *)ctx;
        k->restarts++;
        for (auto &p : k->parts) p.clear();
    };
    rd.record = [](void *ctx, int part, const fr2r_record &r) {
        std::string s = std::to_string(r.file) + ":" + std::to_string(r.line) + ":" +
                        (r.bad ? "bad:" + r.why : r.e.path);
        ((collected *)ctx)->parts[part].push_back(s);
        return true;
    };
    EXPECT_EQ(fr2r_read_parallel(files, threads, rd, res), 0);
    std::vector<std::string> all;
    for (auto &p : c.parts) all.insert(all.end(), p.begin(), p.end());
    if (restarts) *restarts = c.restarts;
    return all;
}

}  // namespace

// Paths made mostly of line feeds and quotes: wherever a file is cut, the cut
// is likely inside a quoted field. The parts must still be the records one
// thread reads, with the same line numbers; with a stray quote too.
TEST(ReportInput, ParallelParseEqualsOneThreadWhereverSplitsFall) {
    TempDir tmp;
    std::string text = std::string(g_fr2r_header) + "\n",
                quoted;  // quoted: 'q' where inside quotes
    quoted.assign(text.size(), '.');
    for (int i = 0; text.size() < (1u << 20); i++) {
        std::string path = "/r/" + std::to_string(i) + std::string(150 + i % 7, '\n') + "\"x\"," +
                           std::string(i % 5, '\n');
        std::string rec = record(100 + i, path);
        size_t open = rec.find('"'), close = rec.find("\",\"\",");
        std::string mark(rec.size(), '.');
        for (size_t k = open + 1; k < close; k++) mark[k] = 'q';
        text += rec;
        quoted += mark;
    }
    std::string f = tmp / "scan.csv";
    write_file(f, text);
    // The test is only worth it if some nominal cut is on a quoted line feed.
    int on_quoted_lf = 0;
    for (int n = 2; n <= 8; n++)
        for (int i = 1; i < n; i++) {
            size_t o = text.size() * i / n;
            if (text[o] == '\n' && quoted[o] == 'q') on_quoted_lf++;
        }
    ASSERT_GT(on_quoted_lf, 3);

    fr2r_read_result one;
    std::vector<std::string> want = read_all({f}, 1, &one);
    ASSERT_GT(want.size(), 3000u);
    EXPECT_EQ(one.bad, 0);
    EXPECT_TRUE(one.files[0].header);
    for (int n = 2; n <= 8; n++) {
        SCOPED_TRACE(n);
        fr2r_read_result res;
        int restarts = 0;
        EXPECT_EQ(read_all({f}, n, &res, &restarts), want);
        EXPECT_EQ(res.parts, n);
        EXPECT_EQ(restarts, 0);
        EXPECT_EQ(res.records, one.records);
    }

    // Too small to split: read whole, all the same.
    std::string small = tmp / "small.csv";
    write_file(small, record(7, "/r/a\nb") + record(8, "/r/c"));
    fr2r_read_result small_res;
    EXPECT_EQ(read_all({small}, 4, &small_res),
              (std::vector<std::string>{"0:1:/r/a\nb", "0:3:/r/c"}));

    // A malformed line with an odd number of quotes turns the quote parity
    // after it: the parts disagree and the file is read again in one part,
    // with the same malformed lines at the same numbers.
    size_t at = text.find("\n1000,2,0,");  // a record in the first tenth
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 1, "9,2,0,\"/r/open,\"\",1000,1000,1,2049,8,1,\"0100644\",1,1,1,-1,0\n");
    write_file(f, text);
    want = read_all({f}, 1, &one);
    EXPECT_GT(one.bad, 0);
    for (int n : {2, 5}) {
        SCOPED_TRACE(n);
        fr2r_read_result res;
        int restarts = 0;
        EXPECT_EQ(read_all({f}, n, &res, &restarts), want);
        EXPECT_EQ(restarts, 1);
    }
}

// Shards read one per thread: a malformed line is named by its own file and
// line, and the messages come out in input order whichever thread found them.
TEST(ReportInput, MalformedLineInOneShardIsNamedInOrder) {
    TempDir tmp;
    std::vector<std::string> files;
    for (int k = 0; k < 3; k++) {
        std::string text;
        for (int i = 0; i < 2000; i++) text += record(k * 10000 + i, "/r/s" + std::to_string(i));
        if (k == 1) text.insert(text.find("\"/r/s500\""), "\n");  // lines 501 and 502 broken
        if (k == 2) text += "oops\n";
        files.push_back(tmp / ("scan." + std::to_string(k) + ".csv"));
        write_file(files.back(), text);
    }
    std::vector<fr2r_bad_lines> bad;
    fr2r_reader rd;
    rd.ctx = &bad;
    rd.begin = [](void *ctx, int parts) { ((std::vector<fr2r_bad_lines> *)ctx)->resize(parts); };
    rd.record = [](void *ctx, int part, const fr2r_record &r) {
        if (r.bad)
            fr2r_bad_add(&(*(std::vector<fr2r_bad_lines> *)ctx)[part], 1, r.file, r.line, r.why);
        return true;
    };
    fr2r_read_result res;
    ASSERT_EQ(fr2r_read_parallel(files, 2, rd, &res), 0);
    EXPECT_EQ(res.parts, 3);
    EXPECT_EQ(res.records, 6000 - 1);
    CaptureStderr();
    EXPECT_EQ(fr2r_bad_print(bad, res.files, 1), 3);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "fsrake2-report: " + files[1] + ":501: 4 fields, expected 17\n" +
                       "fsrake2-report: " + files[1] +
                       ": more malformed lines; only counting them now\n")
        << err;
}

// A scan compressed with the zstd tool loads, whatever its name and from a
// pipe too, to the same reports as the plain scan; one cut short is refused.
TEST(ReportInput, CompressedScansLoadAsPlainOnes) {
    TempDir tmp;
    std::string root = tmp / "data", csv = tmp / "scan.csv", zst = tmp / "scan.csv.zst";
    build_tree(root, time(nullptr));
    scan_to(root, csv);
    RunResult z = run_command({"zstd", "-q", "-3", csv, "-o", zst});
    if (z.status != 0) GTEST_SKIP() << "no zstd tool: " << z.err;
    ASSERT_EQ(run_report({"load", csv, tmp / "plain.db"}).status, 0);
    ASSERT_EQ(rename(zst.c_str(), (tmp / "scan.dat").c_str()), 0);
    RunResult r = run_report({"load", tmp / "scan.dat", tmp / "z.db"});
    ASSERT_EQ(r.status, 0) << r.err;
    RunOptions in;
    in.stdin_data = read_file(tmp / "scan.dat");
    ASSERT_EQ(run_report({"load", "-", tmp / "pipe.db"}, in).status, 0);
    for (const char *cmd : {"summary", "users", "biggest", "extensions"}) {
        std::string plain = run_report({cmd, tmp / "plain.db", "--csv"}).out;
        EXPECT_EQ(run_report({cmd, tmp / "z.db", "--csv"}).out, plain) << cmd;
        EXPECT_EQ(run_report({cmd, tmp / "pipe.db", "--csv"}).out, plain) << cmd;
    }
    write_file(tmp / "cut.zst", in.stdin_data.substr(0, in.stdin_data.size() - 9));
    r = run_report({"load", tmp / "cut.zst", tmp / "cut.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut.zst: the zstd data ends inside a frame"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing loaded"), std::string::npos) << r.err;
}

// The standard error of a stopped run and of its resume: complete when the
// last run completed, with the problems of both; incomplete when the last
// run is the one that stopped.
TEST(ReportInput, MessagesOfAStoppedAndResumedScan) {
    TempDir tmp;
    std::string csv = tmp / "scan.csv";
    write_file(csv,
               "2,0,-1,\"/r\",\"\",0,0,4096,2049,8,2,\"0040755\",1,1,1,1,1\n" + record(3, "/r/a"));
    std::string stopped = tmp / "run1.err", resumed = tmp / "run2.err";
    write_file(stopped, "Locked Dir: /r/x: Permission denied\n"
                        "fsrake2: stopped; resume with --resume /c/ck\n");
    write_file(resumed, "Locked Dir: /r/x: Permission denied\nTimeout Dir: /r/y\n"
                        "fsrake2 done: 2 files, 0.00 GB, 5 sec, 0 files/sec\n");
    RunResult r =
        run_report({"load", "--messages", stopped, "--messages", resumed, csv, tmp / "a.db"});
    ASSERT_EQ(r.status, 0) << r.err;
    Rows s = sql(tmp / "a.db", "SELECT incomplete, summary FROM scans");
    EXPECT_EQ(s[0][0], "<null>");
    EXPECT_EQ(s[0][1], "fsrake2 done: 2 files, 0.00 GB, 5 sec, 0 files/sec");
    Rows p = sql(tmp / "a.db", "SELECT kind, path FROM problems ORDER BY path");
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0][1], "/r/x");
    EXPECT_EQ(p[1][0], "timeout");

    r = run_report({"load", "--messages", resumed, "--messages", stopped, csv, tmp / "b.db"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("incomplete: the scanner said: fsrake2: stopped; resume with"),
              std::string::npos)
        << r.err;

    // A multi-node job that stopped says so in its own name.
    write_file(stopped, "fsrake2-mpi: stopped; resume with --resume /c/ck\n");
    r = run_report({"load", "--messages", stopped, csv, tmp / "c.db"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("incomplete: the scanner said: fsrake2-mpi: stopped"), std::string::npos)
        << r.err;
}

// From a fresh build, without installing: scan finds the scanner of its own
// build tree, and takes its own options after DB.
TEST(ReportInput, ScanFindsTheScannerOfItsBuildTree) {
    TempDir tmp;
    std::string root = tmp / "data";
    make_dirs(root + "/d");
    write_file(root + "/d/f", "x");
    const char *old = getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", "/usr/bin:/bin", 1);
    RunResult r = run_report({"scan", root, tmp / "r.db", "--label", "late", "--threads", "2"});
    setenv("PATH", saved.c_str(), 1);
    ASSERT_EQ(r.status, 0) << r.err;
    Rows s = sql(tmp / "r.db", "SELECT label, lines, incomplete FROM scans");
    EXPECT_EQ(s[0][0], "late");
    EXPECT_EQ(s[0][1], "3");
    EXPECT_EQ(s[0][2], "<null>");
}
