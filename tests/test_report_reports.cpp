// Every report's numbers against the same numbers computed here from an
// independent lstat listing of the scanned tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string.h>

#include <set>

#include "harness.h"
#include "test_report_util.h"

using namespace fr2test;
using namespace r2t;

namespace {

using Tree = std::map<std::string, struct stat>;

// What the reports should say, from the tree alone. Sizes "once" count a
// file with several links once per device and inode.
struct Expect {
    long long files = 0, dirs = 0, links = 0, regular = 0, once = 0, raw = 0, extra = 0;
    int deepest = 0;
    std::map<unsigned, std::map<std::string, long long>> users, groups;
    std::map<std::string, std::map<std::string, long long>> exts;
    std::set<std::string> multi;  // paths of files with several links
};

Expect expect_of(const Tree &tree) {
    Expect x;
    std::set<std::pair<dev_t, ino_t>> counted;
    for (const auto &[path, st] : tree) {
        bool dir = S_ISDIR(st.st_mode);
        bool first = dir || counted.insert({st.st_dev, st.st_ino}).second;
        long long once = first ? st.st_size : 0;
        (dir ? x.dirs : x.files)++;
        x.links += S_ISLNK(st.st_mode);
        x.regular += S_ISREG(st.st_mode);
        x.once += once;
        x.raw += st.st_size;
        x.extra += !first;
        if (!dir && st.st_nlink > 1) x.multi.insert(path);
        for (int g = 0; g < 2; g++) {
            auto &m = (g ? x.groups : x.users)[g ? st.st_gid : st.st_uid];
            m["entries"]++;
            m["files"] += !dir;
            m["size"] += once;
            m["size_every_link"] += st.st_size;
            m["allocated"] += first ? st.st_blocks * 512 : 0;
        }
        if (!dir) {
            auto &e = x.exts[extension_of(base_of(path))];
            e["files"]++;
            e["size"] += once;
            e["size_every_link"] += st.st_size;
        }
    }
    return x;
}

long long num(const std::map<std::string, std::string> &row, const char *col) {
    auto it = row.find(col);
    EXPECT_NE(it, row.end()) << "no column " << col;
    return it == row.end() || it->second.empty() ? 0 : std::stoll(it->second);
}

struct DirTotal {
    long long entries = 0, own = 0, raw = 0, below = 0;
    bool has_multi = false;
};

std::map<std::string, DirTotal> dir_totals(const std::string &root, const Tree &tree) {
    std::map<std::string, DirTotal> d;
    for (const auto &[path, st] : tree)
        if (S_ISDIR(st.st_mode)) d[path].raw += st.st_size;
    for (const auto &[path, st] : tree) {
        if (path == root) continue;
        d[parent_of(path)].entries++;
        d[parent_of(path)].own += st.st_size;
        // Everything counts in the subtree of every directory above it.
        for (std::string p = parent_of(path);; p = parent_of(p)) {
            DirTotal &a = d[p];
            a.below++;
            a.raw += st.st_size;
            if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) a.has_multi = true;
            if (p == root) break;
        }
    }
    return d;
}

struct Scanned {
    std::string root, db;
    long long t0;
    Tree tree;
};

}  // namespace

TEST(ReportNumbers, EveryReportMatchesTheTree) {
    TempDir tmp;
    Scanned s;
    s.root = tmp / "data";
    s.db = tmp / "r.db";
    s.t0 = time(nullptr) + 3600;
    build_tree(s.root, s.t0);
    std::string csv = tmp / "scan.csv";
    scan_to(s.root, csv);
    ASSERT_EQ(run_report({"load", "--time", std::to_string(s.t0), csv, s.db}).status, 0);
    s.tree = lstat_tree(s.root);
    Expect x = expect_of(s.tree);
    ASSERT_GT(x.extra, 0);  // the tree has hard links, or the test proves less

    {
        SCOPED_TRACE("summary");
        auto t = report_csv(s.db, {"summary"});
        ASSERT_EQ(t.size(), 1u);
        auto m = keyed(t[0], "item");
        EXPECT_EQ(num(m["lines"], "value"), (long long)s.tree.size());
        EXPECT_EQ(num(m["files"], "value"), x.files);
        EXPECT_EQ(num(m["directories"], "value"), x.dirs);
        EXPECT_EQ(num(m["symbolic_links"], "value"), x.links);
        EXPECT_EQ(num(m["regular_files"], "value"), x.regular);
        EXPECT_EQ(num(m["size"], "value"), x.once);
        EXPECT_EQ(num(m["size_every_link"], "value"), x.raw);
        EXPECT_EQ(num(m["extra_links"], "value"), x.extra);
        EXPECT_EQ(num(m["users"], "value"), (long long)x.users.size());
        EXPECT_EQ(num(m["groups"], "value"), (long long)x.groups.size());
        EXPECT_EQ(num(m["unattached_lines"], "value"), 0);
        int deepest = 0;
        for (const auto &[path, st] : s.tree)
            deepest = std::max(deepest, level_of(s.root, path) - (S_ISDIR(st.st_mode) ? 0 : 1));
        EXPECT_EQ(num(m["deepest_level"], "value"), deepest);
    }
    for (int g = 0; g < 2; g++) {
        SCOPED_TRACE(g ? "groups" : "users");
        auto names = passwd_names(g ? "/etc/group" : "/etc/passwd");
        auto t = report_csv(s.db, {g ? "groups" : "users", "--limit", "0"});
        auto m = keyed(t[0], g ? "gid" : "uid");
        const auto &want = g ? x.groups : x.users;
        ASSERT_EQ(m.size(), want.size());
        long long prev = -1;
        for (size_t i = 1; i < t[0].size(); i++) {
            long long size = std::stoll(t[0][i][4]);
            if (prev >= 0) {
                EXPECT_LE(size, prev) << "not sorted by size";
            }
            prev = size;
        }
        for (const auto &[id, w] : want) {
            auto &row = m[std::to_string(id)];
            for (const char *col : {"entries", "files", "size", "size_every_link", "allocated"})
                EXPECT_EQ(num(row, col), w.at(col)) << id << " " << col;
            EXPECT_EQ(row[g ? "group" : "user"], names.count(id) ? names[id] : "") << id;
        }
        if (running_as_root()) {
            EXPECT_TRUE(want.count(54321));  // an id the system has no name for
            EXPECT_EQ(m["0"][g ? "group" : "user"], "root");
        }
    }
    {
        SCOPED_TRACE("extensions");
        auto t = report_csv(s.db, {"extensions", "--limit", "0"});
        auto m = keyed(t[0], "extension");
        ASSERT_EQ(m.size(), x.exts.size());
        for (const auto &[ext, w] : x.exts)
            for (const char *col : {"files", "size", "size_every_link"})
                EXPECT_EQ(num(m[ext], col), w.at(col)) << "'" << ext << "' " << col;
        EXPECT_TRUE(m.count("gz") && m.count("TXT") && m.count("") && m.count("dat"));
        // The limit keeps the biggest and says how many it left out.
        auto top = report_csv(s.db, {"extensions", "--limit", "2"});
        EXPECT_EQ(top[0].size(), 3u);
        RunResult text = run_report({"extensions", "--limit", "2", s.db});
        EXPECT_NE(text.out.find(std::to_string(x.exts.size() - 2) + " more extensions not shown"),
                  std::string::npos) << text.out;
    }
    {
        SCOPED_TRACE("ages");
        // The age classes, written out again here: name, up to how many days.
        const std::vector<std::pair<std::string, long long>> classes = {
            {"< 1 week", 7},       {"1 week - 1 month", 30}, {"1 - 3 months", 91},
            {"3 - 6 months", 182}, {"6 - 12 months", 365},   {"1 - 2 years", 730},
            {"2 - 3 years", 1095}, {"3 - 5 years", 1826},    {"5 - 10 years", 3652},
            {"10 years or more", 1LL << 50}};
        auto class_of = [&](long long t) -> std::string {
            if (t > s.t0) return "future";
            long long days = (s.t0 - t) / 86400;
            for (const auto &c : classes)
                if (days < c.second) return c.first;
            return "";
        };
        std::map<std::string, std::map<std::string, long long>> want;
        std::set<std::pair<dev_t, ino_t>> counted;
        for (const auto &[path, st] : s.tree) {
            if (S_ISDIR(st.st_mode) || !counted.insert({st.st_dev, st.st_ino}).second) continue;
            const std::pair<const char *, long long> times[] = {
                {"mtime", st.st_mtime}, {"atime", st.st_atime}, {"ctime", st.st_ctime}};
            for (const auto &[name, t] : times) {
                want[class_of(t)][std::string("files_by_") + name]++;
                want[class_of(t)][std::string("size_by_") + name] += st.st_size;
            }
        }
        auto t = report_csv(s.db, {"ages", "--now", std::to_string(s.t0)});
        auto m = keyed(t[0], "age");
        EXPECT_EQ(m.size(), classes.size() + 1);  // every class, and the future
        for (auto &[cls, row] : m)
            for (const char *col : {"files_by_mtime", "size_by_mtime", "files_by_atime",
                                    "size_by_atime", "files_by_ctime", "size_by_ctime"})
                EXPECT_EQ(num(row, col), want[cls][col]) << cls << " " << col;
        EXPECT_GT(want["10 years or more"]["files_by_mtime"], 0);
    }
    {
        SCOPED_TRACE("sizes");
        std::map<long long, std::pair<long long, long long>> want;  // from -> files, bytes
        std::set<std::pair<dev_t, ino_t>> counted;
        long long files = 0;
        for (const auto &[path, st] : s.tree) {
            if (S_ISDIR(st.st_mode) || !counted.insert({st.st_dev, st.st_ino}).second) continue;
            long long from = 0;
            if (st.st_size > 0)
                for (from = 1; from * 2 <= st.st_size; from *= 2) {}
            want[from].first++;
            want[from].second += st.st_size;
            files++;
        }
        auto t = report_csv(s.db, {"sizes"});
        auto m = keyed(t[0], "from");
        long long seen_files = 0;
        for (auto &[from, row] : m) {
            long long f = std::stoll(from);
            EXPECT_EQ(num(row, "files"), want[f].first) << from;
            EXPECT_EQ(num(row, "size"), want[f].second) << from;
            if (f > 0) {
                EXPECT_EQ(num(row, "below"), 2 * f) << from;
            }
            seen_files += num(row, "files");
        }
        EXPECT_EQ(seen_files, files);
        EXPECT_TRUE(m.count("0") && m.count("2097152"));  // the empty files and the sparse 3 MiB
    }
    {
        SCOPED_TRACE("biggest");
        auto want = dir_totals(s.root, s.tree);
        for (const char *by : {"own", "tree", "count"}) {
            SCOPED_TRACE(by);
            auto t = report_csv(s.db, {"biggest", "--by", by, "--limit", "0"});
            ASSERT_EQ(t.size(), 1u);
            auto m = keyed(t[0], "directory");
            ASSERT_EQ(m.size(), want.size());
            for (auto &[path, w] : want) {
                auto &row = m[path];
                EXPECT_EQ(num(row, "entries"), w.entries) << path;
                EXPECT_EQ(num(row, "own_size"), w.own) << path;
                EXPECT_EQ(num(row, "tree_size_every_link"), w.raw) << path;
                EXPECT_EQ(num(row, "tree_entries"), w.below) << path;
                if (path == s.root) EXPECT_EQ(num(row, "tree_size"), x.once);
                else if (!w.has_multi) EXPECT_EQ(num(row, "tree_size"), w.raw) << path;
                else EXPECT_LE(num(row, "tree_size"), w.raw) << path;
            }
            const char *key = !strcmp(by, "own") ? "own_size" : !strcmp(by, "tree") ? "tree_size" : "entries";
            size_t k = 0;
            while (t[0][0][k] != key) k++;
            for (size_t i = 2; i < t[0].size(); i++)
                EXPECT_GE(std::stoll(t[0][i - 1][k]), std::stoll(t[0][i][k])) << "order by " << by;
        }
        // Both files of links/ and the third link elsewhere: the subtree that
        // holds the first line of the file has it, the other does not.
        auto t = report_csv(s.db, {"biggest", "--by", "tree", "--limit", "0"});
        auto m = keyed(t[0], "directory");
        long long links = num(m[s.root + "/links"], "tree_size"),
                  other = num(m[s.root + "/other"], "tree_size");
        long long dsize = s.tree.at(s.root + "/links").st_size + s.tree.at(s.root + "/other").st_size;
        EXPECT_EQ(links + other, dsize + 5000);
    }
}

TEST(ReportNumbers, OutputForScriptsAndTerminalsKeepsNamesExactAndHarmless) {
    TempDir tmp;
    std::string root = tmp / "data", db = tmp / "r.db", csv = tmp / "scan.csv";
    long long t0 = time(nullptr);
    build_tree(root, t0);
    scan_to(root, csv);
    ASSERT_EQ(run_report({"load", csv, db}).status, 0);
    Tree tree = lstat_tree(root);
    std::set<std::string> dirs;
    for (const auto &[p, st] : tree)
        if (S_ISDIR(st.st_mode)) dirs.insert(p);

    // CSV: the directory names come back byte for byte.
    auto t = report_csv(db, {"biggest", "--by", "tree", "--limit", "0"});
    std::set<std::string> got;
    for (size_t i = 1; i < t[0].size(); i++) got.insert(t[0][i][0]);
    EXPECT_EQ(got, dirs);

    // Text: control bytes and bytes that are not UTF-8 are shown escaped, one
    // table row per line.
    RunResult r = run_report({"biggest", "--limit", "0", db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("d\"ir,\\n2/\\x1b[31mdeeper"), std::string::npos) << r.out;
    r = run_report({"summary", db});
    EXPECT_NE(r.out.find("size_every_link"), std::string::npos);

    // JSON: valid, and with Python's surrogateescape the exact bytes return.
    r = run_report({"biggest", "--by", "tree", "--limit", "0", "--json", db});
    ASSERT_EQ(r.status, 0) << r.err;
    if (have_command("jq")) {
        RunOptions in;
        in.stdin_data = r.out;
        RunResult jq = run_command({"jq", "-r", ".tables[0].rows | length"}, in);
        EXPECT_EQ(jq.status, 0) << jq.err;
        EXPECT_EQ(jq.out, std::to_string(dirs.size()) + "\n");
    }
    if (have_command("python3")) {
        RunOptions in;
        in.stdin_data = r.out;
        RunResult py = run_command(
            {"python3", "-c",
             "import json,sys\n"
             "d=json.load(sys.stdin)\n"
             "for r in d['tables'][0]['rows']: print(r['directory'].encode('utf-8','surrogateescape').hex())"},
            in);
        ASSERT_EQ(py.status, 0) << py.err;
        std::set<std::string> hex;
        for (const auto &l : split_lines(py.out)) hex.insert(l);
        std::set<std::string> want;
        for (const auto &d : dirs) {
            std::string h;
            char b[3];
            for (unsigned char c : d) {
                snprintf(b, sizeof b, "%02x", c);
                h += b;
            }
            want.insert(h);
        }
        EXPECT_EQ(hex, want);
    }
    // Usage errors and unknown scans are refused with status 2 and 1.
    EXPECT_EQ(run_report({"frobnicate", db}).status, 2);
    EXPECT_EQ(run_report({"biggest", "--by", "size", db}).status, 2);
    r = run_report({"summary", "--scan", "nope", db});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no scan with id or label 'nope'"), std::string::npos) << r.err;
    EXPECT_EQ(run_report({"summary", tmp / "missing.db"}).status, 1);
}

TEST(ReportNumbers, DiffShowsGrowthByDirectoryUserAndExtension) {
    TempDir tmp;
    std::string root = tmp / "data", db = tmp / "r.db";
    long long t0 = time(nullptr);
    build_tree(root, t0);
    scan_to(root, tmp / "1.csv");
    Tree before = lstat_tree(root);
    // Growth: a big file deep down, a new folder with a new kind of file;
    // shrinkage: a file and an empty folder gone.
    std::string deep = root + "/d\"ir,\n2/\x1b[31mdeeper";
    write_file(deep + "/new.big", std::string(1 << 20, 'b'));
    make_dirs(root + "/fresh");
    write_file(root + "/fresh/f.newext", std::string(777, 'n'));
    ASSERT_EQ(unlink((root + "/plain.txt").c_str()), 0);
    ASSERT_EQ(unlink((root + "/sym").c_str()), 0);
    ASSERT_EQ(rmdir((root + "/empty").c_str()), 0);
    scan_to(root, tmp / "2.csv");
    Tree after = lstat_tree(root);
    ASSERT_EQ(run_report({"load", "--label", "before", tmp / "1.csv", db}).status, 0);
    ASSERT_EQ(run_report({"load", "--label", "after", tmp / "2.csv", db}).status, 0);
    ASSERT_EQ(run_report({"load", tmp / "1.csv", tmp / "old.db"}).status, 0);
    ASSERT_EQ(run_report({"load", tmp / "2.csv", tmp / "new.db"}).status, 0);

    Expect xb = expect_of(before), xa = expect_of(after);
    auto wb = dir_totals(root, before), wa = dir_totals(root, after);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"diff", "--limit", "0"},
             {"diff", "--old", "before", "--new", "after", "--limit", "0"}}) {
        auto t = report_csv(db, args);
        ASSERT_EQ(t.size(), 5u);
        auto sum = keyed(t[0], "item");
        EXPECT_EQ(num(sum["size"], "old"), xb.once);
        EXPECT_EQ(num(sum["size"], "new"), xa.once);
        EXPECT_EQ(num(sum["size"], "growth"), xa.once - xb.once);
        EXPECT_EQ(num(sum["lines"], "growth"), (long long)after.size() - (long long)before.size());

        auto dirs = keyed(t[1], "directory");
        std::set<std::string> all;
        for (auto &[p, w] : wb) all.insert(p);
        for (auto &[p, w] : wa) all.insert(p);
        size_t unchanged = 0;
        for (const auto &p : all) {
            bool in_b = wb.count(p), in_a = wa.count(p);
            DirTotal b = in_b ? wb.at(p) : DirTotal(), a = in_a ? wa.at(p) : DirTotal();
            if (in_b && in_a && a.raw == b.raw && a.below == b.below) {
                // Unchanged directories are left out.
                EXPECT_EQ(dirs.count(p), 0u) << p;
                unchanged++;
                continue;
            }
            ASSERT_EQ(dirs.count(p), 1u) << p;
            auto &row = dirs[p];
            EXPECT_EQ(row["status"], !in_b ? "new" : !in_a ? "gone" : "") << p;
            if (b.has_multi || a.has_multi) continue;
            EXPECT_EQ(num(row, "growth"), a.raw - b.raw) << p;
            EXPECT_EQ(num(row, "new_count"), a.below) << p;
        }
        EXPECT_GT(unchanged, 0u);
        EXPECT_EQ(dirs.size() + unchanged, all.size());
        EXPECT_EQ(num(dirs[root], "growth"), xa.once - xb.once);
        // Sorted by the size of the change: the new big file's folder chain comes first.
        EXPECT_EQ(t[1][1][0], root);
        long long last = -1;
        for (size_t i = 1; i < t[1].size(); i++) {
            long long g = std::llabs(std::stoll(t[1][i][3]));
            if (last >= 0) {
                EXPECT_LE(g, last) << t[1][i][0];
            }
            last = g;
        }

        for (int g = 0; g < 2; g++) {
            auto m = keyed(t[2 + g], g ? "gid" : "uid");
            const auto &ob = g ? xb.groups : xb.users;
            const auto &oa = g ? xa.groups : xa.users;
            for (const auto &[id, w] : oa) {
                long long old = ob.count(id) ? ob.at(id).at("size") : 0;
                if (!m.count(std::to_string(id))) {  // left out as unchanged
                    EXPECT_EQ(w.at("size"), old) << id;
                    continue;
                }
                EXPECT_EQ(num(m[std::to_string(id)], "growth"), w.at("size") - old) << id;
            }
        }
        auto ext = keyed(t[4], "extension");
        EXPECT_EQ(ext["newext"]["status"], "new");
        EXPECT_EQ(num(ext["newext"], "growth"), 777);
        EXPECT_EQ(num(ext["big"], "growth"), 1 << 20);
        EXPECT_EQ(num(ext["txt"], "growth"), -100);
    }
    // Two databases, their latest scans: the same totals.
    auto t = report_csv(tmp / "old.db", {"diff", tmp / "new.db"});
    auto sum = keyed(t[0], "item");
    EXPECT_EQ(num(sum["size"], "growth"), xa.once - xb.once);
    // One scan alone has nothing to compare with.
    RunResult r = run_report({"diff", tmp / "new.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no scan older"), std::string::npos) << r.err;
}
