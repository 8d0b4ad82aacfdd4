// The walk at its limits: 1024 threads, a ring of 4096, a directory of a
// million entries, a tree 2,000 levels deep (paths far past 4095 bytes), a
// hundred thousand empty directories. Each run must end, list exactly what it
// must, and its memory is measured. Also hostile names and arguments: text
// that would mean something to a shell or a printf reaches neither.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "harness.h"

using namespace fr2test;

namespace {

// Splits CSV text into records of unquoted fields; *broken counts text that
// is not a whole record of 17 fields.
void for_each_record(const std::string &out, const std::function<void(const Row &)> &fn,
                     size_t *broken) {
    Row f;
    std::string cur;
    bool quoted = false;
    for (size_t i = 0; i < out.size(); i++) {
        char c = out[i];
        if (quoted) {
            if (c == '"' && i + 1 < out.size() && out[i + 1] == '"') cur += '"', i++;
            else if (c == '"') quoted = false;
            else cur += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            f.push_back(std::move(cur)), cur.clear();
        } else if (c == '\n') {
            f.push_back(std::move(cur)), cur.clear();
            if (f.size() == COL_COUNT) fn(f);
            else (*broken)++;
            f.clear();
        } else {
            cur += c;
        }
    }
    if (!f.empty() || !cur.empty()) (*broken)++;
}

// path -> fields, failing on a broken or repeated record.
std::map<std::string, Row> records_by_path(const std::string &out) {
    std::map<std::string, Row> m;
    size_t broken = 0, repeated = 0;
    for_each_record(out, [&](const Row &f) {
        if (!m.emplace(f[COL_PATH], f).second) repeated++;
    }, &broken);
    EXPECT_EQ(broken, 0u) << "records that are not whole";
    EXPECT_EQ(repeated, 0u) << "paths listed twice";
    return m;
}

std::set<std::string> keys(const std::map<std::string, struct stat> &m) {
    std::set<std::string> s;
    for (auto &kv : m) s.insert(kv.first);
    return s;
}
std::set<std::string> keys(const std::map<std::string, Row> &m) {
    std::set<std::string> s;
    for (auto &kv : m) s.insert(kv.first);
    return s;
}

void expect_clean_end(const RunResult &r) {
    EXPECT_FALSE(r.timed_out) << "the walk did not end";
    EXPECT_EQ(r.term_signal, 0) << r.err.substr(0, 2000);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 2000);
}

// Files created relative to an open directory, the fastest way to a big tree.
void make_files(const std::string &dir, int count, const std::string &prefix) {
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    for (int i = 0; i < count; i++) {
        int fd = openat(dfd, (prefix + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(fd);
    }
    close(dfd);
}

// The peak resident size of one run, in KiB (stdout to /dev/null).
long peak_rss_kib(const std::vector<std::string> &args, int *status) {
    std::vector<std::string> argv = {FR2_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    int st = 0;
    struct rusage ru;
    wait4(pid, &st, 0, &ru);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return ru.ru_maxrss;
}

#ifdef FR2_LIMITS_SLOW
#define FAST_ONLY() GTEST_SKIP() << "in the quick limits binary"
#define SLOW_ONLY()
#else
#define FAST_ONLY()
#define SLOW_ONLY() GTEST_SKIP() << "in the slow limits binary (label slow)"
#endif

// ---- threads and ring size at their maximum ---------------------------------

TEST(Limits, MaximumThreadsAndRingDepthListEverything) {
    FAST_ONLY();
    TempDir t;
    for (int d = 0; d < 50; d++) {
        make_dir(t / ("d" + std::to_string(d)));
        make_files(t / ("d" + std::to_string(d)), 40, "f");
    }
    make_dir(t / "big");
    make_files(t / "big", 10000, "entry-");  // several passes even of a 4096 ring
    auto want = keys(lstat_tree(t.path()));
    for (auto args : std::vector<std::vector<std::string>>{
             {"--threads", "1024"},
             {"--threads", "5000"},  // clamped to 1024
             {"--ring-depth", "4096"},
             {"--threads", "1024", "--ring-depth", "4096", "--getdents-max", "1"}}) {
        args.push_back(t.path());
        RunOptions o;
        o.timeout_sec = 300;
        RunResult r = run_fsrake2(args, o);
        expect_clean_end(r);
        auto got = records_by_path(r.out);
        EXPECT_TRUE(keys(got) == want) << got.size() << " listed, " << want.size() << " expected, "
                                       << args[0] << " " << args[1];
        EXPECT_EQ(got[t / "big"][COL_FCOUNT], "10000");
    }
}

// ---- deep and wide trees ------------------------------------------------------

// 2,000 levels of "dd", each with a file: directory paths pass 4095 bytes near
// level 1,360. Directories up to 4095 bytes are read and listed (their files
// too, whatever the file path's length); the first one beyond is counted in
// its parent and neither listed nor read.
TEST(Limits, TwoThousandLevelsDeep) {
    FAST_ONLY();
    TempDir t;
    const int levels = 2000;
    int fd = open(t.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; i++) {
        int f = openat(fd, "f", O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(f, 0);
        close(f);
        ASSERT_EQ(mkdirat(fd, "dd", 0755), 0);
        int next = openat(fd, "dd", O_RDONLY | O_DIRECTORY);
        ASSERT_GE(next, 0);
        close(fd);
        fd = next;
    }
    close(fd);

    RunOptions o;
    o.timeout_sec = 300;
    RunResult r = run_fsrake2({"--threads", "16", t.path()}, o);
    expect_clean_end(r);
    auto got = records_by_path(r.out);
    std::set<std::string> want;
    std::string dir = t.path();
    std::string last_listed;
    for (int i = 0; i <= levels && dir.size() <= 4095; i++) {
        want.insert(dir);
        if (i < levels) want.insert(dir + "/f");
        last_listed = dir;
        dir += "/dd";
    }
    EXPECT_TRUE(keys(got) == want) << got.size() << " listed, " << want.size() << " expected";
    // The deepest listed directory counts its file and its unread subdirectory.
    ASSERT_TRUE(got.count(last_listed));
    EXPECT_EQ(got[last_listed][COL_FCOUNT], "2");
    EXPECT_LT(last_listed.size(), 4096u);
    EXPECT_GT(last_listed.size() + 3, 4095u);
}

TEST(Limits, HundredThousandEmptyDirectories) {
    FAST_ONLY();
    TempDir t;
    for (int a = 0; a < 100; a++) {
        std::string top = t / ("top" + std::to_string(a));
        make_dir(top);
        int dfd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dfd, 0);
        for (int b = 0; b < 1000; b++) ASSERT_EQ(mkdirat(dfd, std::to_string(b).c_str(), 0755), 0);
        close(dfd);
    }
    RunOptions o;
    o.timeout_sec = 600;
    RunResult r = run_fsrake2({t.path()}, o);
    expect_clean_end(r);
    auto got = records_by_path(r.out);
    EXPECT_EQ(got.size(), 100u * 1000 + 100 + 1);
    size_t empty = 0;
    for (auto &kv : got)
        if (kv.second[COL_FCOUNT] == "0") empty++;
    EXPECT_EQ(empty, 100000u);
    EXPECT_EQ(got[t.path()][COL_FCOUNT], "100");
}

// A million entries in one directory: batches of the ring's size, hundreds of
// them, through both entry arrays. Slow to create; plain builds only.
TEST(Limits, MillionEntriesInOneDirectory) {
    SLOW_ONLY();
#ifdef FR2_SANITIZED
    GTEST_SKIP() << "too slow under the sanitizers";
#endif
    TempDir t;
    const int n = 1000000;
    make_files(t.path(), n, "");
    std::string out_file = t.path() + ".csv";
    RunOptions o;
    o.stdout_path = out_file;
    o.timeout_sec = 900;
    RunResult r = run_fsrake2({t.path()}, o);
    std::string out = read_file(out_file);
    unlink(out_file.c_str());
    expect_clean_end(r);
    std::vector<char> seen(n, 0);
    size_t broken = 0, repeated = 0, strays = 0, files = 0;
    std::string root_count;
    const std::string prefix = t.path() + "/";
    for_each_record(out, [&](const Row &f) {
        if (f[COL_PATH] == t.path()) {
            root_count = f[COL_FCOUNT];
            return;
        }
        if (f[COL_PATH].compare(0, prefix.size(), prefix) != 0) {
            strays++;
            return;
        }
        long i = strtol(f[COL_PATH].c_str() + prefix.size(), nullptr, 10);
        if (i < 0 || i >= n) strays++;
        else if (seen[size_t(i)]++) repeated++;
        else files++;
    }, &broken);
    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(repeated, 0u);
    EXPECT_EQ(strays, 0u);
    EXPECT_EQ(files, size_t(n));
    EXPECT_EQ(root_count, std::to_string(n));
}

// Peak resident memory on a tree of about 100,000 entries, at 64 and at 1024
// threads; printed for the documentation, bounded loosely here.
TEST(Limits, PeakMemoryAt64And1024Threads) {
    FAST_ONLY();
    TempDir t;
    for (int d = 0; d < 100; d++) {
        std::string dir = t / ("d" + std::to_string(d));
        make_dir(dir);
        make_files(dir, 1000, "file-");
    }
    for (const char *threads : {"64", "1024"}) {
        int status = -1;
        long kib = peak_rss_kib({"--threads", threads, t.path()}, &status);
        EXPECT_EQ(status, 0);
        printf("peak RSS at %s threads, 100,100 entries: %ld KiB (%.1f MiB)\n", threads, kib,
               double(kib) / 1024);
        ::testing::Test::RecordProperty(std::string("peak_rss_kib_threads_") + threads, int(kib));
#ifndef FR2_SANITIZED
        // 1024 records of about 110 KiB plus rings: far below a gigabyte.
        EXPECT_LT(kib, 1024L * 1024) << threads << " threads";
#endif
    }
}

// ---- hostile text -------------------------------------------------------------

// Names, a root and an exclude file made of shell and printf syntax: the
// names are listed as they are, nothing runs, nothing is interpreted.
TEST(Limits, ShellAndFormatTextIsOnlyText) {
    FAST_ONLY();
    TempDir t;
    std::string root = t / "root %s%n%x $(touch pwned-root) `touch pwned-tick`";
    make_dir(root);
    std::vector<std::string> names = {"%s%n%x%p%n", "$(touch pwned)", "`touch pwned2`",
                                      "a;touch pwned3", "%99999999d", "x|touch pwned4",
                                      "'\"\\", "%n%n%n%n.%s"};
    for (auto &n : names) write_file(root + "/" + n);
    make_dir(root + "/$(touch pwned5) %n");
    write_file(root + "/$(touch pwned5) %n/inner %s");
    make_dir(root + "/skip %n $(touch pwned6)");
    write_file(root + "/skip %n $(touch pwned6)/hidden");
    std::string ex = t / "exclude %n $(touch pwned7)";
    write_file(ex, root + "/skip %n $(touch pwned6)\n");

    RunOptions o;
    o.timeout_sec = 120;
    RunResult r = run_command({"env", "-C", t.path(), FR2_BINARY, "--exclude", ex, root}, o);
    expect_clean_end(r);
    auto got = records_by_path(r.out);
    std::set<std::string> want = {root, root + "/$(touch pwned5) %n",
                                  root + "/$(touch pwned5) %n/inner %s"};
    for (auto &n : names) want.insert(root + "/" + n);
    EXPECT_TRUE(keys(got) == want) << r.out;
    EXPECT_EQ(got[root][COL_FCOUNT], "10");  // the excluded directory is still counted
    for (auto &kv : lstat_tree(t.path()))
        EXPECT_EQ(kv.first.find("/pwned"), std::string::npos) << "created: " << kv.first;
    // Messages with such paths are printed as text too.
    RunResult bad = run_fsrake2({"--exclude", t / "none %n%s", root});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("could not open exclude file: " + t / "none %n%s"), std::string::npos)
        << bad.err;
    RunResult missing = run_fsrake2({root + "/%n%s-missing"});
    EXPECT_EQ(missing.status, ENOENT);
    EXPECT_NE(missing.err.find("statx '" + root + "/%n%s-missing'"), std::string::npos)
        << missing.err;
}

}  // namespace
