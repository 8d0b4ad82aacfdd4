#include "test_report_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace fr2test;

namespace r2t {

RunResult run_report(const std::vector<std::string> &args, const RunOptions &opt) {
    std::vector<std::string> argv = {FR2R_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, opt);
}

Rows sql(const std::string &db, const std::string &query) {
    Rows rows;
    sqlite3 *h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << db;
        sqlite3_close(h);
        return rows;
    }
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(h, query.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << query << ": " << sqlite3_errmsg(h);
        sqlite3_close(h);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> r;
        for (int i = 0; i < sqlite3_column_count(st); i++) {
            if (sqlite3_column_type(st, i) == SQLITE_NULL) {
                r.push_back("<null>");
            } else {
                const void *b = sqlite3_column_blob(st, i);
                r.push_back(b ? std::string((const char *)b, sqlite3_column_bytes(st, i)) : "");
            }
        }
        rows.push_back(r);
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

std::vector<Rows> report_csv(const std::string &db, const std::vector<std::string> &args) {
    std::vector<std::string> a = {args[0], db};
    a.insert(a.end(), args.begin() + 1, args.end());
    a.push_back("--csv");
    RunResult r = run_report(a);
    EXPECT_EQ(r.status, 0) << r.err;
    bool ok = true;
    std::vector<Row> all = parse_csv(r.out, &ok);
    EXPECT_TRUE(ok) << "the report's CSV does not parse";
    std::vector<Rows> tables(1);
    for (auto &row : all) {
        if (row.size() == 1 && row[0].empty()) {
            tables.emplace_back();
            continue;
        }
        tables.back().push_back(row);
    }
    return tables;
}

std::map<std::string, std::map<std::string, std::string>> keyed(const Rows &t,
                                                                const std::string &col) {
    std::map<std::string, std::map<std::string, std::string>> out;
    if (t.empty()) return out;
    size_t k = 0;
    while (k < t[0].size() && t[0][k] != col) k++;
    EXPECT_LT(k, t[0].size()) << "no column " << col;
    for (size_t i = 1; i < t.size(); i++) {
        std::map<std::string, std::string> m;
        for (size_t c = 0; c < t[0].size() && c < t[i].size(); c++) m[t[0][c]] = t[i][c];
        if (k < t[i].size()) {
            EXPECT_EQ(out.count(t[i][k]), 0u) << "key twice: " << t[i][k];
            out[t[i][k]] = m;
        }
    }
    return out;
}

void scan_to(const std::string &root, const std::string &csv) {
    RunOptions o;
    o.stdout_path = csv;
    RunResult r = run_fsrake2({"--header", "--threads", "4", root}, o);
    ASSERT_EQ(r.status, 0) << r.err;
}

namespace {

void file_of(const std::string &path, long long size, long long mtime, long long atime,
             int uid = -1) {
    write_file(path, std::string((size_t)size, 'x'));
    if (uid >= 0 && running_as_root()) {
        ASSERT_EQ(lchown(path.c_str(), uid, uid), 0) << path;
    }
    struct timespec ts[2] = {{(time_t)atime, 0}, {(time_t)mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}  // namespace

void build_tree(const std::string &root, long long t0) {
    const long long day = 86400;
    make_dirs(root);
    file_of(root + "/plain.txt", 100, t0 - 2 * day, t0 - 1 * day);
    file_of(root + "/line\nfeed.log", 2000, t0 - 10 * day, t0 - 5 * day, 1000);
    file_of(root + "/quo\"te.csv", 300, t0 - 40 * day, t0 - 40 * day);
    file_of(root + "/com,ma.tar.gz", 4096, t0 - 100 * day, t0 - 3 * day, 54321);
    file_of(root + "/\xff\xfe.bin", 70000, t0 - 200 * day, t0 - 200 * day, 54321);
    file_of(root + "/.hidden", 10, t0 - 400 * day, t0 - 400 * day);
    file_of(root + "/noext", 0, t0 - 800 * day, t0 - 800 * day);
    file_of(root + "/name.", 1, t0 - 1200 * day, t0 - 1200 * day);
    file_of(root + "/future.txt", 3, t0 + 30 * day, t0 + 30 * day);
    std::string d = root + "/d\"ir,\n2";
    const std::string deeper = d + "/\x1b[31mdeeper";  // an escape sequence in a name
    make_dirs(deeper);
    file_of(d + "/old.iso", 0, t0 - 2000 * day, t0 - 2000 * day, 1000);
    // Sparse: a large size with few blocks.
    ASSERT_EQ(truncate((d + "/old.iso").c_str(), 3 << 20), 0);
    struct timespec ts[2] = {{(time_t)(t0 - 2000 * day), 0}, {(time_t)(t0 - 2000 * day), 0}};
    utimensat(AT_FDCWD, (d + "/old.iso").c_str(), ts, 0);
    file_of(deeper + "/x.txt", 50, t0 - 4000 * day, t0 - 4000 * day);
    file_of(deeper + "/\x1b[31mred.TXT", 20, t0 - 1 * day, t0 - 1 * day);
    file_of(deeper + "/caf\xc3\xa9.txt", 7, t0 - 1 * day, t0 - 1 * day);
    // Three links to one file, in two directories.
    make_dirs(root + "/links");
    make_dirs(root + "/other");
    file_of(root + "/links/a.dat", 5000, t0 - 20 * day, t0 - 20 * day, 1000);
    ASSERT_EQ(link((root + "/links/a.dat").c_str(), (root + "/links/b.dat").c_str()), 0);
    ASSERT_EQ(link((root + "/links/a.dat").c_str(), (root + "/other/c.dat").c_str()), 0);
    make_symlink("plain.txt", root + "/sym");
    make_dirs(root + "/empty");
}

std::string extension_of(const std::string &name) {
    std::string rest = !name.empty() && name[0] == '.' ? name.substr(1) : name;
    size_t k = rest.rfind('.');
    return k == std::string::npos ? "" : rest.substr(k + 1);
}

int level_of(const std::string &root, const std::string &path) {
    int n = 0;
    for (size_t i = root.size(); i < path.size(); i++) n += path[i] == '/';
    return n;
}

std::string parent_of(const std::string &path) { return path.substr(0, path.rfind('/')); }
std::string base_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

std::map<unsigned, std::string> passwd_names(const char *file) {
    std::map<unsigned, std::string> m;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::stringstream ss(line);
        std::string name, pw, id;
        if (!std::getline(ss, name, ':') || !std::getline(ss, pw, ':') || !std::getline(ss, id, ':'))
            continue;
        unsigned v = (unsigned)std::stoul(id);
        if (!m.count(v)) m[v] = name;
    }
    return m;
}

}  // namespace r2t
