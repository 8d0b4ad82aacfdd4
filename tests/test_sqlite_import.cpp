// The README's way of loading a scan into SQLite, done for real on real
// output with hard names: the same commands the README shows.
//
//   fsrake2 --header DIR > scan.csv
//   sqlite3 scan.db '.import --csv scan.csv entries'
//   sqlite3 scan.db 'SELECT UID, sum(st_size) FROM entries WHERE fr_fcount = -1 GROUP BY UID'
#include <gtest/gtest.h>

#include <map>

#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

std::string hex(const std::string &s) {
    static const char *digits = "0123456789ABCDEF";
    std::string h;
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

}  // namespace

TEST(SqliteImport, TheReadmeCommandsLoadEveryRecord) {
    if (!have_command("sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
    TempDir tmp;
    std::string root = tmp / "data";
    make_dirs(root + "/photos.old/2024");
    const std::vector<std::string> hard = {"quote\"d.txt", "comma,name.csv", "line\nfeed",
                                           "\xff\xfe not utf-8", "\"\"", "cr\r.txt"};
    long long bytes = 0;
    for (size_t i = 0; i < hard.size(); i++) {
        write_file(root + "/" + hard[i], std::string(100 * (i + 1), 'x'));
        bytes += 100 * (i + 1);
    }
    write_file(root + "/photos.old/2024/pic.jpg", std::string(12345, 'j'));
    bytes += 12345;
    make_many_files(root + "/photos.old", 100);
    for (int i = 0; i < 100; i++) bytes += i;
    freeze_atimes(root);

    // The scan, as the README shows it: standard output into scan.csv.
    std::string csv = tmp / "scan.csv", db = tmp / "scan.db";
    RunOptions to_file;
    to_file.stdout_path = csv;
    RunResult r = run_fsrake2({"--header", root}, to_file);
    ASSERT_EQ(r.status, 0) << r.err;
    Model m = model_walk(root);
    long long dir_bytes = 0;
    for (auto &rec : m.records)
        if (record_fields(rec)[COL_FCOUNT] != "-1") dir_bytes += std::stoll(record_fields(rec)[COL_SIZE]);

    // Run in the scan's folder, with the README's very words.
    RunResult imp = run_command({"env", "-C", tmp.path(), "sqlite3", "scan.db", ".import --csv scan.csv entries"});
    ASSERT_EQ(imp.status, 0) << imp.err;
    EXPECT_EQ(imp.err, "");
    auto query = [&](const std::string &sql) {
        RunResult q = run_command({"sqlite3", db, sql});
        EXPECT_EQ(q.status, 0) << sql << ": " << q.err;
        EXPECT_EQ(q.err, "") << sql;
        return q.out;
    };
    // Every record is a row (the header named the columns, it is no row).
    EXPECT_EQ(query("SELECT count(*), sum(st_size) FROM entries"),
              std::to_string(m.records.size()) + "|" + std::to_string(bytes + dir_bytes) + "\n");
    EXPECT_EQ(query("SELECT count(*), sum(st_size) FROM entries WHERE fr_fcount = -1"),
              std::to_string(hard.size() + 101) + "|" + std::to_string(bytes) + "\n");
    // The README's query: file bytes per owner.
    std::map<long long, long long> per_uid;
    for (auto &rec : m.records) {
        Row f = record_fields(rec);
        if (f[COL_FCOUNT] == "-1") per_uid[std::stoll(f[COL_UID])] += std::stoll(f[COL_SIZE]);
    }
    std::string want;
    for (auto &kv : per_uid) want += std::to_string(kv.first) + "|" + std::to_string(kv.second) + "\n";
    EXPECT_EQ(query("SELECT UID, sum(st_size) FROM entries WHERE fr_fcount = -1 GROUP BY UID"), want);
    // The columns are the header's names, and the values are intact.
    EXPECT_EQ(query("SELECT fr_fcount, st_mode, \"directory-depth\", \"parent-inode\" FROM entries "
                    "WHERE filename = '" + root + "'"),
              std::to_string(hard.size() + 1) + "|0040755|-1|0\n");
    EXPECT_EQ(query("SELECT fileExtension FROM entries WHERE filename = '" + root + "/photos.old'"), "old\n");
    // Hard names arrive byte for byte.
    for (auto &name : hard) {
        SCOPED_TRACE(hex(name));
        EXPECT_EQ(query("SELECT count(*) FROM entries WHERE hex(filename) = '" + hex(root + "/" + name) + "'"),
                  "1\n");
    }
}
