// fsrake2-report load: real scans of trees with hard names land in the
// database byte for byte; broken input is refused whole, with line numbers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "fr2r_csv.h"
#include "fr2r_escape.h"
#include "fr2r_format.h"
#include "harness.h"
#include "test_report_util.h"
#include "walk_util.h"

using namespace fr2test;
using namespace r2t;

namespace {

long long count_of(const std::string &db, const std::string &table) {
    Rows r = sql(db, "SELECT count(*) FROM " + table);
    return r.empty() ? -1 : std::stoll(r[0][0]);
}

// One valid line as the scanner writes it.
std::string line(unsigned long long ino, unsigned long long parent, int depth,
                 const std::string &path, long long size, const char *mode = "0100644",
                 long long fcount = -1, long long dirsum = 0) {
    std::string q;
    for (char c : path) {
        if (c == '"') q += '"';
        q += c;
    }
    return std::to_string(ino) + "," + std::to_string(parent) + "," + std::to_string(depth) +
           ",\"" + q + "\",\"\",1000,1000," + std::to_string(size) + ",2049,8,1,\"" + mode +
           "\",1700000000,1700000000,1700000000," + std::to_string(fcount) + "," +
           std::to_string(dirsum) + "\n";
}

std::string small_scan() {
    return line(2, 0, -1, "/r", 4096, "0040755", 2, 30) + line(3, 2, 0, "/r/a", 10) +
           line(4, 2, 0, "/r/b", 20);
}

}  // namespace

TEST(ReportLoad, RealScanOfHardNamesMatchesTheTree) {
    TempDir tmp;
    std::string root = tmp / "data";
    long long t0 = time(nullptr) + 3600;
    build_tree(root, t0);
    freeze_atimes(root);  // the scan's reads must not move what lstat sees after it
    std::string csv = tmp / "scan.csv", db = tmp / "r.db";
    scan_to(root, csv);
    RunResult r = run_report({"load", "--label", "first", "--time", std::to_string(t0), csv, db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("lines loaded"), std::string::npos) << r.err;

    auto tree = lstat_tree(root);
    Rows rows = sql(db, "SELECT path, inode, parent_inode, depth, size, uid, gid, mode, nlink, "
                        "mtime, atime, ctime, dev, blocks, is_dir, extension, scan FROM entries");
    ASSERT_EQ(rows.size(), tree.size());
    std::map<std::string, bool> seen;
    for (const auto &row : rows) {
        const std::string &path = row[0];
        auto it = tree.find(path);
        ASSERT_NE(it, tree.end()) << "not in the tree: " << path;
        EXPECT_FALSE(seen[path]) << "twice: " << path;
        seen[path] = true;
        const struct stat &st = it->second;
        bool dir = S_ISDIR(st.st_mode);
        EXPECT_EQ((unsigned long long)std::stoll(row[1]), (unsigned long long)st.st_ino) << path;
        unsigned long long pino = path == root ? 0 : tree.at(parent_of(path)).st_ino;
        EXPECT_EQ((unsigned long long)std::stoll(row[2]), pino) << path;
        EXPECT_EQ(std::stoi(row[3]), level_of(root, path) - 1) << path;
        EXPECT_EQ(std::stoll(row[4]), (long long)st.st_size) << path;
        EXPECT_EQ(std::stoul(row[5]), st.st_uid) << path;
        EXPECT_EQ(std::stoul(row[6]), st.st_gid) << path;
        EXPECT_EQ(std::stoul(row[7]), st.st_mode) << path;
        EXPECT_EQ(std::stoul(row[8]), st.st_nlink) << path;
        EXPECT_EQ(std::stoll(row[9]), (long long)st.st_mtime) << path;
        EXPECT_EQ(std::stoll(row[10]), (long long)st.st_atime) << path;
        EXPECT_EQ(std::stoll(row[11]), (long long)st.st_ctime) << path;
        EXPECT_EQ((unsigned long long)std::stoll(row[12]), (unsigned long long)st.st_dev) << path;
        EXPECT_EQ(std::stoll(row[13]), (long long)st.st_blocks) << path;
        EXPECT_EQ(row[14], dir ? "1" : "0") << path;
        EXPECT_EQ(row[15], path == root ? "" : extension_of(base_of(path))) << path;
        EXPECT_EQ(row[16], "1");
    }
    Rows scans = sql(db, "SELECT id, label, scan_time, root, lines, skipped FROM scans");
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0][1], "first");
    EXPECT_EQ(scans[0][2], std::to_string(t0));
    EXPECT_EQ(scans[0][3], root);
    EXPECT_EQ(scans[0][4], std::to_string(tree.size()));
    EXPECT_EQ(scans[0][5], "0");

    // The pipe the README shows, without the header line, as a second scan.
    std::string cmd = shell_quote(FR2_BINARY) + " " + shell_quote(root) + " 2>/dev/null | " +
                      shell_quote(FR2R_BINARY) + " load --no-progress - " + shell_quote(db);
    std::string out;
    ASSERT_EQ(sh(cmd, &out), 0) << out;
    Rows two = sql(db, "SELECT id, label, lines, root FROM scans ORDER BY id");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1][1], "stdin");
    EXPECT_EQ(two[1][2], std::to_string(tree.size()));
    EXPECT_EQ(two[1][3], root);
    // The second scan's rows are the same paths, apart from the first's.
    Rows same = sql(db, "SELECT count(*) FROM entries a JOIN entries b ON a.path = b.path AND "
                        "a.inode = b.inode WHERE a.scan = 1 AND b.scan = 2");
    EXPECT_EQ(same[0][0], std::to_string(tree.size()));
    // Of the three links to one file only the first line counts in totals.
    Rows dup = sql(db, "SELECT sum(dup), count(*) FROM entries WHERE scan = 1 AND nlink = 3 AND is_dir = 0");
    EXPECT_EQ(dup[0][0], "2");
    EXPECT_EQ(dup[0][1], "3");
}

TEST(ReportLoad, MalformedInputIsRefusedWholeWithItsLineNumber) {
    TempDir tmp;
    std::string db = tmp / "r.db", good = tmp / "good.csv";
    write_file(good, std::string(g_fr2r_header) + "\n" + small_scan());
    ASSERT_EQ(run_report({"load", good, db}).status, 0);
    std::string ok3 = small_scan();
    struct bad_case {
        const char *what;
        std::string text;
        const char *expect;  // in the message, after "FILE:"
    };
    std::string l4 = line(5, 2, 0, "/r/c", 5);
    const std::vector<bad_case> cases = {
        {"empty file", "", "empty input"},
        {"header only", std::string(g_fr2r_header) + "\n", "only the header line"},
        {"truncated last line", ok3 + l4.substr(0, l4.size() - 5), ":4: truncated line"},
        {"truncated inside the path", ok3 + l4.substr(0, 10), ":4: a quoted field (field 4) is never closed"},
        {"16 fields", ok3.substr(0, ok3.rfind(',')) + "\n", ":3: 16 fields, expected 17"},
        {"18 fields", ok3 + l4.substr(0, l4.size() - 1) + ",7\n", ":4: 18 fields"},
        {"quote left open in the middle",
         line(2, 0, -1, "/r", 4096, "0040755", 2, 30) + "3,2,0,\"/r/a,\"\",1000,1000,10,2049,8,1,"
         "\"0100644\",1,1,1,-1,0\n" + l4,
         ":2: field 4: a quote inside a quoted field is not doubled"},
        {"quote left open at the end", ok3 + "6,2,0,\"/r/open,\"\",1,1\n", "never closed"},
        {"not a number", ok3 + line(5, 2, 0, "/r/c", 5).replace(0, 1, "x"),
         ":4: field 1 (inode): 'x' is not a valid number"},
        {"mode not octal", ok3 + line(5, 2, 0, "/r/c", 5, "0100648"), ":4: field 12 (st_mode)"},
        {"header in the middle", ok3 + g_fr2r_header + "\n", ":4: a header line in the middle"},
        {"path with a line feed, then an empty line",
         line(2, 0, -1, "/r", 4096, "0040755", 1, 1) + line(3, 2, 0, "/r/a\nb", 1) + "\n",
         ":4: empty line"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string f = tmp / "bad.csv";
        write_file(f, c.text);
        RunResult r = run_report({"load", f, db});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing loaded"), std::string::npos) << r.err;
        // The earlier scan is all there is.
        EXPECT_EQ(count_of(db, "scans"), 1);
        EXPECT_EQ(count_of(db, "entries"), 3);
    }
    // From standard input too.
    RunOptions in;
    in.stdin_data = ok3 + "1,2\n";
    RunResult r = run_report({"load", "-", db}, in);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("stdin:4: 2 fields"), std::string::npos) << r.err;
    EXPECT_EQ(count_of(db, "entries"), 3);
    // A file that is not there, and a database that is not one.
    EXPECT_EQ(run_report({"load", tmp / "missing.csv", db}).status, 1);
    write_file(tmp / "not.db", "this is no database, just text that is long enough to see\n");
    r = run_report({"load", good, tmp / "not.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a database"), std::string::npos) << r.err;
}

TEST(ReportLoad, SkipBadLoadsTheRestAndCountsWhatItSkipped) {
    TempDir tmp;
    std::string db = tmp / "r.db", f = tmp / "scan.csv";
    std::string text = line(2, 0, -1, "/r", 4096, "0040755", 4, 40) +
                       "3,2,0,\"/r/open,\"\",1000,1000,10,2049,8,1,\"0100644\",1,1,1,-1,0\n" +
                       line(4, 2, 0, "/r/b", 20) + "garbage\n" + line(5, 2, 0, "/r/\"q\"", 5) +
                       line(6, 2, 0, "/r/cut", 1).substr(0, 20);
    write_file(f, text);
    RunResult r = run_report({"load", "--skip-bad", f, db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(":2:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(":4: 1 fields"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(":6: truncated"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 malformed lines skipped"), std::string::npos) << r.err;
    Rows paths = sql(db, "SELECT path FROM entries ORDER BY inode");
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0][0], "/r");
    EXPECT_EQ(paths[1][0], "/r/b");
    EXPECT_EQ(paths[2][0], "/r/\"q\"");
    Rows s = sql(db, "SELECT lines, skipped FROM scans");
    EXPECT_EQ(s[0][0], "3");
    EXPECT_EQ(s[0][1], "3");
}

TEST(ReportLoad, ExtremeValuesKeepTheirBitsAndProgressIsShown) {
    TempDir tmp;
    std::string db = tmp / "r.db", f = tmp / "scan.csv";
    // Unsigned 64-bit inode, device and block numbers at their limit, negative
    // times, the largest size, the root's parent and depth.
    std::string big = "18446744073709551615,2,0,\"/r/x\",\"\",4294967295,4294967295,"
                      "9223372036854775807,18446744073709551615,18446744073709551615,4294967295,"
                      "\"0177777\",-5,-9223372036854775808,0,-1,0\n";
    std::string big2 = big;
    big2.replace(0, 20, "7");  // another file of the largest size: sums overflow
    big2.replace(big2.find("/r/x"), 4, "/r/z");
    write_file(f, line(2, 0, -1, "/r", 1, "0040755", 1, 0) + big + big2);
    RunResult r = run_report({"load", "--progress", f, db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("100.0%"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("lines/s"), std::string::npos) << r.err;
    Rows x = sql(db, "SELECT inode, dev, blocks, uid, size, nlink, mode, atime, mtime FROM entries "
                     "WHERE path = '/r/x' OR path = CAST('/r/x' AS BLOB)");
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ((unsigned long long)std::stoll(x[0][0]), 18446744073709551615ull);
    EXPECT_EQ((unsigned long long)std::stoll(x[0][1]), 18446744073709551615ull);
    EXPECT_EQ((unsigned long long)std::stoll(x[0][2]), 18446744073709551615ull);
    EXPECT_EQ(x[0][3], "4294967295");
    EXPECT_EQ(x[0][4], "9223372036854775807");
    EXPECT_EQ(x[0][5], "4294967295");
    EXPECT_EQ(x[0][6], std::to_string(0177777));
    EXPECT_EQ(x[0][7], "-5");
    EXPECT_EQ(x[0][8], "-9223372036854775808");
    // Every report copes: sums stop at the largest value instead of wrapping.
    for (const char *cmd : {"summary", "users", "groups", "extensions", "ages", "sizes", "biggest", "html"}) {
        RunResult rr = run_report({cmd, db});
        EXPECT_EQ(rr.status, 0) << cmd << ": " << rr.err;
    }
    auto sum = keyed(report_csv(db, {"summary"})[0], "item");
    EXPECT_EQ(sum["size"]["value"], "9223372036854775807");
    EXPECT_EQ(sum["allocated"]["value"], "9223372036854775807");
    // One past each limit is refused.
    for (const char *bad : {"18446744073709551616,2,0,\"/r/y\"", "1,2,0,\"/r/y\",\"\",4294967296"}) {
        std::string l = big;
        std::string head = bad;
        size_t fields = std::count(head.begin(), head.end(), ',');
        size_t cut = 0;
        for (size_t i = 0; i <= fields; i++) cut = l.find(',', cut) + 1;
        write_file(f, line(2, 0, -1, "/r", 1, "0040755", 1, 0) + head + "," + l.substr(cut));
        r = run_report({"load", f, tmp / "other.db"});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find("is not a valid number"), std::string::npos) << r.err;
    }
}

// The parser and the escapes on their own: what the loader and every
// output rely on.
TEST(ReportUnits, ParserAndEscapes) {
    fr2r_entry e;
    size_t used = 0;
    int lines = 0;
    std::string why;
    std::string rec = "1,2,3,\"a,\"\"b\nc\",\"x\",0,0,5,1,1,1,\"0100644\",1,2,3,-1,0\nNEXT";
    ASSERT_EQ(fr2r_parse_record(rec.data(), rec.size(), true, &e, &used, &lines, &why),
              FR2R_PARSE_OK) << why;
    EXPECT_EQ(e.path, "a,\"b\nc");
    EXPECT_EQ(used, rec.size() - 4);
    EXPECT_EQ(lines, 2);
    // A record cut by the end of a read buffer waits for more unless at the end.
    EXPECT_EQ(fr2r_parse_record(rec.data(), 10, false, &e, &used, &lines, &why),
              FR2R_PARSE_NEED_MORE);
    EXPECT_EQ(fr2r_parse_record(rec.data(), 10, true, &e, &used, &lines, &why), FR2R_PARSE_ERROR);
    // A quote left open stops at the record limit instead of reading on.
    std::string open = "1,2,3,\"" + std::string(FR2R_MAX_RECORD + 10, 'z');
    EXPECT_EQ(fr2r_parse_record(open.data(), open.size(), false, &e, &used, &lines, &why),
              FR2R_PARSE_ERROR);
    EXPECT_NE(why.find("longer than"), std::string::npos) << why;

    EXPECT_EQ(fr2r_json_escape("a\"\\\n\x01\xff\xc3\xa9"), "a\\\"\\\\\\n\\u0001\\udcffé");
    EXPECT_EQ(fr2r_json_escape("\xed\xa0\x80"), "\\udced\\udca0\\udc80");  // a UTF-8 surrogate
    EXPECT_EQ(fr2r_term_escape("x\n\x1b[31m\\\xc2\x9b\xff"), "x\\n\\x1b[31m\\\\\\xc2\\x9b\\xff");
    EXPECT_EQ(fr2r_html_escape("<script>alert('&\"')</script>"),
              "&lt;script&gt;alert(&#39;&amp;&quot;&#39;)&lt;/script&gt;");
    EXPECT_EQ(fr2r_human_bytes(1023), "1023 B");
    EXPECT_EQ(fr2r_human_bytes(1536), "1.5 KiB");
    EXPECT_EQ(fr2r_human_bytes(-(3ll << 30)), "-3.0 GiB");
}
