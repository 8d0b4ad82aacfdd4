// Whole walks of real trees, compared record for record with the model of
// walk_util.h (built from the tree by the test itself) and with the
// harness's independent lstat listing: the CSV bytes, the counts and sums,
// the rules that keep a subdirectory from being queued (depth, .snapshot,
// exclusion, path length), links, forms of the root, and large trees.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

const time_t k1960 = -315619200;  // 1960-01-01T00:00:00Z

std::set<std::string> printed_paths(const std::vector<std::string> &recs) {
    std::set<std::string> paths;
    for (auto &rec : recs) paths.insert(record_fields(rec).at(COL_PATH));
    return paths;
}

std::string ino(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) die("lstat " + path);
    return std::to_string((unsigned long long)st.st_ino);
}

long long size_of(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) die("lstat " + path);
    return st.st_size;
}

// Names that a CSV writer can get wrong.
const std::vector<std::string> kHardNames = {
    "quote\"name.txt", "\"", "\"\"", "a,b.csv", "line\nfeed.txt", "cr\rname", "\xff\xfe.bin",
    "caf\xc3\xa9.txt", " leading space", "...", "..config", ".bashrc", "archive.tar.gz", "name.",
    "noext", "x.\"q\",y", "tab\there", std::string(251, 'n') + ".ext",
};

}  // namespace

TEST(Walk, EveryFileAndDirectoryExactlyOnceWithCountsAndSums) {
    TempDir tmp;
    std::string root = tmp / "tree";
    make_dirs(root + "/a/b/c");
    make_dirs(root + "/empty");
    make_dirs(root + "/d/e");
    write_file(root + "/top.txt", std::string(10000, 't'));   // real blocks
    make_sized_file(root + "/sparse.img", 5ll << 30);        // 5 GiB, no blocks
    write_file(root + "/a/one", "1");
    write_file(root + "/a/b/two", "22");
    write_file(root + "/a/b/c/three", "333");
    make_many_files(root + "/d/e", 300);
    make_many_files(root + "/d", 40, "g");
    if (link((root + "/a/one").c_str(), (root + "/a/one-again").c_str()) != 0) die("link");
    freeze_atimes(root);

    RunResult r = run_fsrake2({root});
    Model m = model_walk(root);
    auto recs = expect_walk(r, m);

    // Against the harness's own listing: every path once, nothing else.
    auto listing = lstat_tree(root);
    std::set<std::string> want;
    for (auto &kv : listing) want.insert(kv.first);
    EXPECT_EQ(printed_paths(recs), want);
    EXPECT_EQ(recs.size(), listing.size());

    // Directory lines: entries and their sizes, not recursive.
    Row rf = find_record(recs, root);
        EXPECT_EQ(rf[COL_FCOUNT], "5");  // a, empty, d, top.txt, sparse.img
    EXPECT_EQ(rf[COL_DIRSUM], std::to_string(size_of(root + "/a") + size_of(root + "/empty") +
                                             size_of(root + "/d") + 10000 + (5ll << 30)));
    Row ef = find_record(recs, root + "/empty");
    EXPECT_EQ(ef[COL_FCOUNT], "0");
    EXPECT_EQ(ef[COL_DIRSUM], "0");
    Row de = find_record(recs, root + "/d/e");
    long long sum = 0;
    for (int i = 0; i < 300; i++) sum += i;
    EXPECT_EQ(de[COL_FCOUNT], "300");
    EXPECT_EQ(de[COL_DIRSUM], std::to_string(sum));
    // Hard links: one line each, the same inode, a link count of 2.
    Row h1 = find_record(recs, root + "/a/one"), h2 = find_record(recs, root + "/a/one-again");
    EXPECT_EQ(h1[COL_INODE], h2[COL_INODE]);
    EXPECT_EQ(h1[COL_NLINK], "2");
    // The big sparse file: its size, no blocks.
    Row sp = find_record(recs, root + "/sparse.img");
    EXPECT_EQ(sp[COL_SIZE], "5368709120");
    EXPECT_EQ(sp[COL_BLOCKS], "0");
}

TEST(CsvLines, RootLineDepthsParentsAndCounts) {
    TempDir tmp;
    std::string root = tmp / "root";
    make_dirs(root + "/sub/deeper");
    write_file(root + "/f100", std::string(100, 'x'));
    write_file(root + "/f2000", std::string(2000, 'x'));
    write_file(root + "/sub/inner", std::string(7777, 'x'));
    write_file(root + "/sub/deeper/deepest", "d");
    freeze_atimes(root);
    auto recs = expect_walk(run_fsrake2({root}), model_walk(root));

    Row rt = find_record(recs, root);
        EXPECT_EQ(rt[COL_INODE], ino(root));
    EXPECT_EQ(rt[COL_PARENT_INODE], "0");
    EXPECT_EQ(rt[COL_DEPTH], "-1");
    EXPECT_EQ(rt[COL_MODE], "0040755");
    EXPECT_EQ(rt[COL_FCOUNT], "3");
    EXPECT_EQ(rt[COL_DIRSUM], std::to_string(100 + 2000 + size_of(root + "/sub")));  // not recursive

    Row f = find_record(recs, root + "/f100");
    EXPECT_EQ(f[COL_PARENT_INODE], ino(root));
    EXPECT_EQ(f[COL_DEPTH], "0");
    EXPECT_EQ(f[COL_FCOUNT], "-1");
    EXPECT_EQ(f[COL_DIRSUM], "0");
    EXPECT_EQ(f[COL_MODE], "0100644");

    Row sub = find_record(recs, root + "/sub");
    EXPECT_EQ(sub[COL_PARENT_INODE], ino(root));
    EXPECT_EQ(sub[COL_DEPTH], "0");
    EXPECT_EQ(sub[COL_FCOUNT], "2");
    EXPECT_EQ(sub[COL_DIRSUM], std::to_string(7777 + size_of(root + "/sub/deeper")));

    Row inner = find_record(recs, root + "/sub/inner");
    EXPECT_EQ(inner[COL_PARENT_INODE], ino(root + "/sub"));
    EXPECT_EQ(inner[COL_DEPTH], "1");
    Row deepest = find_record(recs, root + "/sub/deeper/deepest");
    EXPECT_EQ(deepest[COL_DEPTH], "2");
    EXPECT_EQ(find_record(recs, root + "/sub/deeper")[COL_DEPTH], "1");
    for (auto &rec : recs) {
        Row x = record_fields(rec);
        if (x[COL_MODE].substr(0, 3) != "004") {
            EXPECT_EQ(x[COL_FCOUNT], "-1") << rec;
            EXPECT_EQ(x[COL_DIRSUM], "0") << rec;
        }
    }
}

TEST(CsvLines, HardNamesModesTimesAndSpecialFiles) {
    TempDir tmp;
    std::string root = tmp / "names";
    make_dir(root);
    for (auto &n : kHardNames) write_file(root + "/" + n, n);
    // Directories with hard names, and files below them.
    make_dir(root + "/photos.old");
    write_file(root + "/photos.old/pic.jpg", "jpg");
    std::string hard_dir = root + "/dir \"with\", comma\nand lf.d";
    make_dir(hard_dir);
    write_file(hard_dir + "/in.side", "x");
    make_dir(root + "/\xff\xfe dir");
    write_file(root + "/\xff\xfe dir/\x80", "");
    // Seven-digit modes.
    write_file(root + "/setuid.sh", "#!");
    chmod((root + "/setuid.sh").c_str(), 04755);
    write_file(root + "/nomode");
    chmod((root + "/nomode").c_str(), 0);
    make_dir(root + "/sticky");
    chmod((root + "/sticky").c_str(), 01777);
    // Times before the epoch, and after 2038.
    write_file(root + "/old.txt", "old");
    set_times(root + "/old.txt", k1960, k1960 + 1);
    write_file(root + "/future.txt", "new");
    set_times(root + "/future.txt", 4102444800, 4102444801);  // 2100-01-01
    // Special files: a fifo, and as root a character device.
    if (mkfifo((root + "/fifo").c_str(), 0644) != 0) die("mkfifo");
    chmod((root + "/fifo").c_str(), 0644);
    bool have_dev = running_as_root() &&
                    mknod((root + "/chardev").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    freeze_atimes(root);

    auto recs = expect_walk(run_fsrake2({root}), model_walk(root));

    auto raw = [&](const std::string &name) { return find_raw_record(recs, root + "/" + name); };
    auto fields = [&](const std::string &name) { return find_record(recs, root + "/" + name); };
    // Quote doubling, and commas, line feeds and high bytes inside the quotes.
    EXPECT_NE(raw("quote\"name.txt").find(",\"" + root + "/quote\"\"name.txt\",\"txt\","),
              std::string::npos);
    EXPECT_NE(raw("\"").find(",\"" + root + "/\"\"\",\"\","), std::string::npos);
    EXPECT_NE(raw("\"\"").find(",\"" + root + "/\"\"\"\"\",\"\","), std::string::npos);
    EXPECT_NE(raw("a,b.csv").find(",\"" + root + "/a,b.csv\",\"csv\","), std::string::npos);
    EXPECT_NE(raw("line\nfeed.txt").find(",\"" + root + "/line\nfeed.txt\",\"txt\","), std::string::npos);
    EXPECT_NE(raw("cr\rname").find(",\"" + root + "/cr\rname\",\"\","), std::string::npos);
    EXPECT_NE(raw("\xff\xfe.bin").find(",\"" + root + "/\xff\xfe.bin\",\"bin\","), std::string::npos);
    EXPECT_NE(raw("x.\"q\",y").find(",\"\"\"q\"\",y\","), std::string::npos);  // extension quoted too
    EXPECT_NE(find_raw_record(recs, hard_dir + "/in.side").find("\"side\""), std::string::npos);
    // The extension rule.
    EXPECT_EQ(fields("archive.tar.gz")[COL_EXTENSION], "gz");
    EXPECT_EQ(fields(".bashrc")[COL_EXTENSION], "");
    EXPECT_EQ(fields("..config")[COL_EXTENSION], "config");
    EXPECT_EQ(fields("name.")[COL_EXTENSION], "");
    EXPECT_EQ(fields("noext")[COL_EXTENSION], "");
    EXPECT_EQ(fields("...")[COL_EXTENSION], "");
    EXPECT_EQ(fields("photos.old")[COL_EXTENSION], "old");  // a directory line
    EXPECT_EQ(find_record(recs, hard_dir)[COL_EXTENSION], "d");
    EXPECT_EQ(fields(std::string(251, 'n') + ".ext")[COL_EXTENSION], "ext");
    // Modes: seven digits, file type included.
    EXPECT_EQ(fields("setuid.sh")[COL_MODE], "0104755");
    EXPECT_EQ(fields("nomode")[COL_MODE], "0100000");
    EXPECT_EQ(fields("sticky")[COL_MODE], "0041777");
    EXPECT_EQ(fields("fifo")[COL_MODE], "0010644");
    EXPECT_NE(raw("noext").find(",\"0100644\","), std::string::npos);
    // Times: whole seconds, negative before 1970.
    EXPECT_EQ(fields("old.txt")[COL_ATIME], std::to_string(k1960));
    EXPECT_EQ(fields("old.txt")[COL_MTIME], std::to_string(k1960 + 1));
    EXPECT_EQ(fields("future.txt")[COL_MTIME], "4102444801");
    // Device column: the file system's device by the makedev rule, for a device node too.
    struct stat rs;
    lstat(root.c_str(), &rs);
    std::string dev = std::to_string(uint64_t(makedev(major(rs.st_dev), minor(rs.st_dev))));
    EXPECT_EQ(fields("noext")[COL_DEV], dev);
    if (have_dev) {
        EXPECT_EQ(fields("chardev")[COL_MODE], "0020600");
        EXPECT_EQ(fields("chardev")[COL_DEV], dev);
    }
}

TEST(Walk, DepthLimits) {
    TempDir tmp;
    std::string root = tmp / "d";
    make_dirs(root + "/a/b/c/d");
    make_dir(root + "/x");
    write_file(root + "/f0", "0");
    write_file(root + "/a/f1", "1");
    write_file(root + "/a/b/f2", "2");
    write_file(root + "/a/b/c/f3", "3");
    write_file(root + "/a/b/c/d/f4", "4");
    freeze_atimes(root);

    // Depth 1: the root and its subdirectories are read; below them, counted only.
    auto recs = expect_walk(run_fsrake2({"--depth", "1", root}), model_walk(root, depth_limit(1)));
    EXPECT_EQ(printed_paths(recs),
              (std::set<std::string>{root, root + "/f0", root + "/a", root + "/a/f1", root + "/x"}));
    EXPECT_EQ(find_record(recs, root + "/a")[COL_FCOUNT], "2");  // f1 and b
    EXPECT_EQ(find_record(recs, root + "/a")[COL_DIRSUM], std::to_string(1 + size_of(root + "/a/b")));

    recs = expect_walk(run_fsrake2({"--depth", "3", root}), model_walk(root, depth_limit(3)));
    EXPECT_EQ(printed_paths(recs).count(root + "/a/b/c/f3"), 1u);
    EXPECT_EQ(printed_paths(recs).count(root + "/a/b/c/d"), 0u);

    // 0 and negative: no limit.
    Model all = model_walk(root);
    recs = expect_walk(run_fsrake2({"--depth", "0", root}), all);
    EXPECT_EQ(printed_paths(recs).count(root + "/a/b/c/d/f4"), 1u);
    expect_walk(run_fsrake2({"--depth", "-1", root}), all);
    expect_walk(run_fsrake2({"--depth", "-2147483648", root}), all);
}

TEST(Walk, NoSnap) {
    TempDir tmp;
    std::string root = tmp / "s";
    make_dirs(root + "/.snapshot/hourly.0");
    write_file(root + "/.snapshot/hourly.0/old", "old");
    write_file(root + "/.snapshot/snapfile", "s");
    make_dirs(root + "/sub/.snapshot");
    write_file(root + "/sub/.snapshot/x", "x");
    make_dirs(root + "/.snapshotx");
    write_file(root + "/.snapshotx/read", "r");
    make_dirs(root + "/x.snapshot");
    make_dirs(root + "/.SNAPSHOT");
    make_dirs(root + "/d");
    write_file(root + "/d/.snapshot", "a file of that name");
    freeze_atimes(root);

    // Without the option everything is read.
    auto recs = expect_walk(run_fsrake2({root}), model_walk(root));
    EXPECT_EQ(printed_paths(recs).count(root + "/.snapshot/hourly.0/old"), 1u);

    recs = expect_walk(run_fsrake2({"--NoSnap", root}), model_walk(root, no_snapshots()));
    auto paths = printed_paths(recs);
    for (auto p : {"/.snapshot", "/.snapshot/snapfile", "/.snapshot/hourly.0", "/sub/.snapshot",
                   "/sub/.snapshot/x"})
        EXPECT_EQ(paths.count(root + p), 0u) << p;
    for (auto p : {"/.snapshotx", "/.snapshotx/read", "/x.snapshot", "/.SNAPSHOT", "/d/.snapshot"})
        EXPECT_EQ(paths.count(root + p), 1u) << p;
    // A .snapshot directory still counts in its parent.
    Row sub = find_record(recs, root + "/sub");
    EXPECT_EQ(sub[COL_FCOUNT], "1");
    EXPECT_EQ(sub[COL_DIRSUM], std::to_string(size_of(root + "/sub/.snapshot")));
}

namespace {
struct ExcludeTree {
    TempDir tmp;
    std::string root = tmp / "e";
    ExcludeTree() {
        for (auto d : {"a", "b", "b/c", "c", "d", "f.d"}) make_dirs(root + "/" + d);
        write_file(root + "/a/in_a", "a");
        write_file(root + "/b/in_b", "b");
        write_file(root + "/b/c/in_c", "c");
        write_file(root + "/c/in_c2", "c");
        write_file(root + "/d/in_d", "d");
        write_file(root + "/f", "file");
        freeze_atimes(root);
    }
    std::string file(const std::string &name, const std::string &content) {
        std::string p = tmp / name;
        write_file(p, content);
        return p;
    }
};
}  // namespace

TEST(Walk, ExcludeIsAnExactMatchOfTheSubdirectoryPath) {
    ExcludeTree t;
    const std::string &R = t.root;
    std::string ex = t.file("ex", R + "/a\n" + "\n" + R + "/b/\n" + R + "/c\r\n" + "d\n" + R +
                                      "/f\n" + R + "/b/c\n" + R + "\n" + R + "/f.d");  // last line without newline
    // Stored as they are: only a, b/c and f.d name a subdirectory exactly.
    auto recs = expect_walk(run_fsrake2({"--exclude", ex, R}),
                            model_walk(R, excluding({R + "/a", R + "/b/c", R + "/f.d"})));
    auto paths = printed_paths(recs);
    for (auto p : {"/a", "/a/in_a", "/b/c", "/b/c/in_c", "/f.d"}) EXPECT_EQ(paths.count(R + p), 0u) << p;
    for (auto p : {"", "/b", "/b/in_b", "/c", "/c/in_c2", "/d", "/d/in_d", "/f"})
        EXPECT_EQ(paths.count(R + p), 1u) << p;
    EXPECT_EQ(find_record(recs, R)[COL_FCOUNT], "6");   // a and f.d still counted
    EXPECT_EQ(find_record(recs, R + "/b")[COL_FCOUNT], "2");

    // With the root given as ".", paths are ./a: only that text matches.
    std::string ex2 = t.file("ex2", "./b\nc\n" + R + "/d\n");
    Model dot = rebase_model(model_walk(R, excluding({R + "/b"})), R, ".");
    recs = expect_walk(run_fsrake2_in(R, {"--exclude", ex2, "."}), dot);
    EXPECT_EQ(printed_paths(recs).count("./c/in_c2"), 1u);
    EXPECT_EQ(printed_paths(recs).count("./b/in_b"), 0u);
}

TEST(Walk, ExcludeTableHoldsAtMost512EntriesFromAllFiles) {
    ExcludeTree t;
    const std::string &R = t.root;
    std::string junk511;
    for (int i = 0; i < 511; i++) {
        junk511 += "/nowhere/" + std::to_string(i) + "\n";
        if (i % 5 == 0) junk511 += "\n";  // empty lines are not entries
    }
    // Two files fill one table: a is entry 512, b would be 513.
    std::string f1 = t.file("one", junk511);
    std::string f2 = t.file("two", R + "/a\n" + R + "/b\n");
    expect_walk(run_fsrake2({"--exclude", f1, "--exclude", f2, R}),
                model_walk(R, excluding({R + "/a"})));
    // In one file: the 513th line and all after it are ignored.
    std::string f3 = t.file("three", junk511 + "/nowhere/x\n" + R + "/a\n" + R + "/b\n");
    expect_walk(run_fsrake2({"--exclude", f3, R}), model_walk(R));
    // A full table still lets the run go on.
    expect_walk(run_fsrake2({"--exclude", f3, "--exclude", f2, R}), model_walk(R));
}

TEST(Walk, ExcludeLinesLongerThan4095CharactersArePieces) {
    ExcludeTree t;
    const std::string &R = t.root;
    std::string text;
    text += std::string(4095, 'y') + R + "/a\n";  // entries 1, 2: the second piece is R/a
    text += std::string(4090, 'z') + R + "/b\n";  // entries 3, 4: R/b is split, no match
    text += std::string(4095, 'w') + "\n";        // entry 5; the lone line feed is no entry
    for (int i = 0; i < 506; i++) text += "/nowhere/" + std::to_string(i) + "\n";  // 6 to 511
    text += R + "/c\n";                            // entry 512
    text += R + "/d\n";                            // 513: ignored
    std::string ex = t.file("long", text);
    auto recs = expect_walk(run_fsrake2({"--exclude", ex, R}),
                            model_walk(R, excluding({R + "/a", R + "/c"})));
    auto paths = printed_paths(recs);
    EXPECT_EQ(paths.count(R + "/a"), 0u);
    EXPECT_EQ(paths.count(R + "/b"), 1u);
    EXPECT_EQ(paths.count(R + "/c"), 0u);
    EXPECT_EQ(paths.count(R + "/d"), 1u);
}

TEST(Walk, SubdirectoryPathsOver4095BytesAreCountedButNotRead) {
    TempDir tmp;
    std::string root = tmp / "long";
    make_dir(root);
    // A chain of 200-byte names down to a directory D whose path leaves room
    // for one child of exactly 4095 bytes (s) and one of 4096 (t).
    int fd = open_dir_fd(root);
    std::string path = root;
    while (4095 - 1 - path.size() > 254) {
        size_t len = std::min<size_t>(200, 4095 - 1 - path.size() - 100);
        std::string name(len, char('a' + path.size() % 26));
        make_dir_at(fd, name);
        int c = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = c;
        path += "/" + name;
    }
    size_t room = 4095 - path.size() - 1;
    ASSERT_GE(room, 1u);
    ASSERT_LE(room, 254u);
    std::string s_name(room, 's'), t_name(room + 1, 't');
    make_dir_at(fd, s_name);
    make_dir_at(fd, t_name);
    int sfd = openat(fd, s_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    make_file_at(sfd, "file.in.s", 5);   // a file path of 4105 bytes is listed
    make_dir_at(sfd, "deeper");           // a directory path of 4102 bytes is not queued
    int tfd = openat(fd, t_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    make_file_at(tfd, "hidden", 7);
    close(sfd);
    close(tfd);
    close(fd);
    freeze_atimes(root);

    std::string s_path = path + "/" + s_name, t_path = path + "/" + t_name;
    ASSERT_EQ(s_path.size(), 4095u);
    auto recs = expect_walk(run_fsrake2({root}), model_walk(root));
    auto paths = printed_paths(recs);
    EXPECT_EQ(paths.count(s_path), 1u);
    EXPECT_EQ(paths.count(s_path + "/file.in.s"), 1u);
    EXPECT_EQ(paths.count(s_path + "/deeper"), 0u);
    EXPECT_EQ(paths.count(t_path), 0u);
    EXPECT_EQ(paths.count(t_path + "/hidden"), 0u);
    EXPECT_EQ(find_record(recs, path)[COL_FCOUNT], "2");
    EXPECT_EQ(find_record(recs, s_path)[COL_FCOUNT], "2");
}

TEST(Walk, SymbolicLinksAreNeverFollowed) {
    TempDir tmp;
    std::string root = tmp / "links";
    make_dirs(root + "/real/inner");
    write_file(root + "/real/file", "f");
    write_file(root + "/real/inner/deep", "d");
    make_symlink("real", root + "/ldir");
    make_symlink(root + "/real/file", root + "/lfile");
    make_symlink("/nonexistent/target", root + "/dangling");
    make_symlink("/etc", root + "/outside");
    make_symlink("self", root + "/self");
    make_symlink("..", root + "/real/up");
    freeze_atimes(root);

    auto recs = expect_walk(run_fsrake2({root}), model_walk(root));
    Row l = find_record(recs, root + "/ldir");
        EXPECT_EQ(l[COL_MODE], "0120777");
    EXPECT_EQ(l[COL_SIZE], "4");  // the length of "real"
    EXPECT_EQ(l[COL_FCOUNT], "-1");
    for (auto p : {"/ldir/file", "/outside/passwd", "/real/up/real"})
        EXPECT_FALSE(has_record(recs, root + p)) << p;
    for (auto p : {"/lfile", "/dangling", "/outside", "/self", "/real/up"})
        EXPECT_EQ(find_record(recs, root + p)[COL_MODE], "0120777") << p;
    EXPECT_EQ(recs.size(), lstat_tree(root).size());
}

TEST(Walk, FormsOfTheRoot) {
    TempDir tmp;
    std::string root = tmp / "photos.old";
    make_dirs(root + "/sub");
    write_file(root + "/a.txt", "a");
    write_file(root + "/sub/b", "b");
    make_symlink(root, tmp / "link");
    write_file(tmp / "plain.txt", "not a directory");
    make_dir(tmp / "empty");
    freeze_atimes(root);
    freeze_atimes(tmp / "link");
    freeze_atimes(tmp / "empty");
    Model m = model_walk(root);

    // One trailing slash is removed: the same records.
    auto recs = expect_walk(run_fsrake2({root + "/"}), m);
    Row rt = find_record(recs, root);
        EXPECT_EQ(rt[COL_EXTENSION], "old");  // the root's own extension
    // Two: only one is removed, and the children's paths hold a double slash.
    recs = expect_walk(run_fsrake2({root + "//"}), model_walk(root + "//"));
    EXPECT_EQ(find_record(recs, root + "/")[COL_EXTENSION], "");
    EXPECT_TRUE(has_record(recs, root + "//a.txt"));
    EXPECT_TRUE(has_record(recs, root + "//sub/b"));
    // A single dot: paths ./name, no extension for the root.
    recs = expect_walk(run_fsrake2_in(root, {"."}), rebase_model(m, root, "."));
    EXPECT_EQ(find_record(recs, ".")[COL_EXTENSION], "");
    EXPECT_TRUE(has_record(recs, "./sub/b"));
    // A relative path.
    expect_walk(run_fsrake2_in(tmp.path(), {"photos.old"}), rebase_model(m, root, "photos.old"));

    // A symbolic link to a directory: the root line is the link's own
    // metadata, and the target is walked below the link's path.
    recs = expect_walk(run_fsrake2({tmp / "link"}), model_walk(tmp / "link"));
    Row lk = find_record(recs, tmp / "link");
        EXPECT_EQ(lk[COL_MODE], "0120777");
    EXPECT_EQ(lk[COL_INODE], ino(tmp / "link"));
    EXPECT_EQ(lk[COL_FCOUNT], "2");
    EXPECT_TRUE(has_record(recs, tmp / "link/sub/b"));
    EXPECT_EQ(recs.size(), 4u);

    // A regular file: nothing to list, one line that says why, and the
    // status ENOTDIR (20).
    RunResult r = run_fsrake2({tmp / "plain.txt"});
    EXPECT_EQ(r.status, ENOTDIR) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(split_stderr(r.err).messages.back(),
              "fsrake2: cannot read directory '" + tmp / "plain.txt" + "': Not a directory");
    // With --header, only the header.
    r = run_fsrake2({"--header", tmp / "plain.txt"});
    EXPECT_EQ(r.status, ENOTDIR);
    EXPECT_EQ(r.out.substr(0, 6), "inode,");
    EXPECT_EQ(split_records(r.out).size(), 1u);

    // An empty root: its own line, 0 entries.
    recs = expect_walk(run_fsrake2({tmp / "empty"}), model_walk(tmp / "empty"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(find_record(recs, tmp / "empty")[COL_FCOUNT], "0");
}

TEST(Walk, DirectoryOf30000EntriesAtRingDepth16) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "wide";
    make_dir(root);
    make_many_files(root, 30000);
    int fd = open_dir_fd(root);
    for (int i = 0; i < 200; i++) {
        std::string d = "dir" + std::to_string(i);
        make_dir_at(fd, d);
        make_file_at(fd, d + "/only", i);
    }
    close(fd);
    freeze_atimes(root);
    Model m = model_walk(root);
    ASSERT_EQ(m.records.size(), 30000u + 200 + 200 + 1);

    auto recs = expect_walk(run_fsrake2({"--ring-depth", "16", root}), m);
    Row rt = find_record(recs, root);
    EXPECT_EQ(rt[COL_FCOUNT], "30200");
    expect_walk(run_fsrake2({"--ring-depth", "16", "--threads", "1", root}), m);
    expect_walk(run_fsrake2({"--ring-depth", "4096", "--getdents-max", "1", root}), m);
}

TEST(Walk, TreeOf200000EntriesAt64ThreadsAnd1Thread) {
    // 20 top directories of 50 directories of 200 files: 201,021 entries.
    TempDir tmp(big_tree_base());
    std::string root = tmp / "big";
    make_dir(root);
    int rfd = open_dir_fd(root);
    for (int a = 0; a < 20; a++) {
        std::string top = "t" + std::to_string(a);
        make_dir_at(rfd, top);
        int tfd = openat(rfd, top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int b = 0; b < 50; b++) {
            std::string mid = "m" + std::to_string(b) + ".d";
            make_dir_at(tfd, mid);
            int mfd = openat(tfd, mid.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            for (int c = 0; c < 200; c++)
                make_file_at(mfd, "file" + std::to_string(c) + ".dat", (a * 50 + b + c) % 3000);
            close(mfd);
        }
        close(tfd);
    }
    close(rfd);
    freeze_atimes(root);
    Model m = model_walk(root);
    ASSERT_EQ(m.records.size(), 201021u);

    RunResult many = run_fsrake2({"--threads", "64", root});
    auto a = expect_walk(many, m);
    RunResult one = run_fsrake2({"--threads", "1", root});
    auto b = expect_walk(one, m);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_TRUE(a == b) << "the two runs printed different sets of lines";
    EXPECT_EQ(many.out.size(), one.out.size());
}
