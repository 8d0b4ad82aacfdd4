// A tree that changes while it is walked: a churner thread creates, deletes
// and renames files and directories (whole subtrees move) under one part of
// the tree while the scanner walks all of it with 64 threads, round after
// round, with the io_uring ring and with synchronous statx. Every run must
// end by itself with status 0, every line must be one whole 17-field record,
// no path may appear twice, and every entry of the part nobody touched must
// be listed with exactly its metadata.
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace fr2test;

namespace {

#ifdef FR2_SANITIZED
const int ROUNDS = 8;  // each round is several times slower under the sanitizers
#else
const int ROUNDS = 30;
#endif
const int CHURN_DIRS = 48;

// Unquoted fields of every record; counts what is not a whole record.
std::vector<Row> records(const std::string &out, size_t *broken) {
    std::vector<Row> all;
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
            if (f.size() == COL_COUNT) all.push_back(std::move(f));
            else (*broken)++;
            f.clear();
        } else {
            cur += c;
        }
    }
    if (!f.empty() || !cur.empty()) (*broken)++;
    return all;
}

std::string ext_of(const std::string &path) {
    std::string name = path.substr(path.rfind('/') + 1);
    size_t from = name.size() && name[0] == '.' ? 1 : 0;
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot < from ? "" : name.substr(dot + 1);
}

std::string octal_mode(mode_t m) {
    char b[16];
    snprintf(b, sizeof b, "%07o", unsigned(m & 0xffff));
    return b;
}

// What the line of an untouched entry must hold, from lstat.
Row expected_fields(const std::string &path, const struct stat &st, const struct stat &parent,
                    int depth_field, long long fcount, long long dirsum) {
    return {std::to_string(st.st_ino),
            std::to_string(parent.st_ino),
            std::to_string(depth_field),
            path,
            ext_of(path),
            std::to_string(st.st_uid),
            std::to_string(st.st_gid),
            std::to_string((long long)st.st_size),
            std::to_string((unsigned long long)st.st_dev),
            std::to_string((unsigned long long)st.st_blocks),
            std::to_string((unsigned long long)st.st_nlink),
            octal_mode(st.st_mode),
            std::to_string((long long)st.st_atim.tv_sec),
            std::to_string((long long)st.st_mtim.tv_sec),
            std::to_string((long long)st.st_ctim.tv_sec),
            std::to_string(fcount),
            std::to_string(dirsum)};
}

// Moves the access time of directories into the future, where reading them
// (relatime) no longer changes it: their lines then match a later lstat.
void freeze_dir_atime(const std::string &path) {
    struct timespec ts[2] = {{time(nullptr) + 3 * 86400, 0}, {0, UTIME_OMIT}};
    utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

// rm -rf without a process: the churner must stay fast.
void remove_tree(const std::string &path) { nftw(path.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS); }

class Churn : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = tmp_.path();
        make_dir(root_ + "/stable");
        for (int d = 0; d < 60; d++) {
            std::string dir = root_ + "/stable/s" + std::to_string(d);
            make_dir(dir);
            if (d % 4 == 0) make_dir(dir + "/inner");
            for (int f = 0; f < 150; f++)
                write_file(dir + "/file" + std::to_string(f) + (f % 3 ? ".txt" : ""),
                           std::string(size_t(f), 'x'));
        }
        make_dir(root_ + "/churn");
        for (int c = 0; c < CHURN_DIRS; c++) {
            std::string dir = root_ + "/churn/c" + std::to_string(c);
            make_dir(dir);
            for (int f = 0; f < 200; f++) write_file(dir + "/seed" + std::to_string(f));
        }
        for (auto &kv : lstat_tree(root_ + "/stable"))
            if (S_ISDIR(kv.second.st_mode)) freeze_dir_atime(kv.first);
        freeze_dir_atime(root_);
    }

    // Creates, deletes and renames under churn/ until told to stop. Every new
    // name is fresh, so no path can honestly be listed twice.
    void churn(std::atomic<bool> &stop, unsigned seed) {
        std::mt19937 rng(seed);
        long serial = 0;
        std::vector<std::string> files, dirs;
        for (int c = 0; c < CHURN_DIRS; c++) {
            std::string dir = root_ + "/churn/c" + std::to_string(c);
            for (int f = 0; f < 200; f++) files.push_back(dir + "/seed" + std::to_string(f));
        }
        auto top = [&] { return root_ + "/churn/c" + std::to_string(rng() % CHURN_DIRS); };
        auto anywhere = [&] {
            return !dirs.empty() && rng() % 2 ? dirs[rng() % dirs.size()] : top();
        };
        auto take = [&](std::vector<std::string> &v) {
            size_t i = rng() % v.size();
            std::string s = v[i];
            v[i] = v.back();
            v.pop_back();
            return s;
        };
        while (!stop.load()) {
            changes_++;
            std::string fresh = "/n" + std::to_string(serial++);
            switch (rng() % 8) {
            case 0:
            case 1: {  // a new file
                std::string p = anywhere() + fresh;
                int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (fd >= 0) {
                    close(fd);
                    files.push_back(p);
                }
                break;
            }
            case 2:  // a file goes
                if (!files.empty()) unlink(take(files).c_str());
                break;
            case 3:  // a file moves to another directory
                if (!files.empty()) {
                    std::string from = take(files), to = anywhere() + fresh;
                    if (rename(from.c_str(), to.c_str()) == 0) files.push_back(to);
                }
                break;
            case 4: {  // a new directory with a few files
                std::string p = anywhere() + fresh;
                if (mkdir(p.c_str(), 0755) == 0) {
                    dirs.push_back(p);
                    for (int k = 0; k < 5; k++) {
                        std::string f = p + "/f" + std::to_string(k);
                        int fd = open(f.c_str(), O_WRONLY | O_CREAT, 0644);
                        if (fd >= 0) close(fd), files.push_back(f);
                    }
                }
                break;
            }
            case 5:  // a whole subtree moves (into itself fails, that is fine)
                if (!dirs.empty()) {
                    std::string from = take(dirs), to = anywhere() + fresh;
                    if (rename(from.c_str(), to.c_str()) == 0) dirs.push_back(to);
                    // The names of what was inside are stale now: forget them.
                    if (dirs.size() > 200) dirs.erase(dirs.begin(), dirs.begin() + 100);
                }
                break;
            case 6:  // a directory goes, with what is left in it
                if (!dirs.empty()) remove_tree(take(dirs));
                break;
            case 7:
                if (files.size() > 20000) files.erase(files.begin(), files.begin() + 5000);
                break;
            }
        }
    }

    void check_run(const RunResult &r, const std::string &mode, int round) {
        SCOPED_TRACE(mode + " round " + std::to_string(round));
        ASSERT_FALSE(r.timed_out) << "the walk did not end";
        ASSERT_EQ(r.term_signal, 0) << r.err.substr(0, 2000);
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
        size_t broken = 0;
        std::vector<Row> recs = records(r.out, &broken);
        EXPECT_EQ(broken, 0u) << "text that is not a whole 17-field record";
        std::set<std::string> seen;
        for (auto &f : recs) {
            EXPECT_TRUE(seen.insert(f[COL_PATH]).second) << "listed twice: " << f[COL_PATH];
            const std::string &p = f[COL_PATH];
            if (p == root_ + "/stable" || p.rfind(root_ + "/stable/", 0) == 0) got_stable_[p] = f;
        }
        // Standard error: only messages about directories that vanished or
        // moved under churn/, besides progress and the summary.
        static const std::regex allowed(
            "(fsrake2: \\d+ files, .*|fsrake2 done: \\d+ files, .*|"
            "unable to setuid root; not all files may be processed|"
            "worker \\d+: io_uring_setup failed \\(.*\\), using sync fallback|"
            "(Locked Dir: |worker \\d+: (prefetch )?getdents64 error: )(.*))");
        std::smatch m;
        size_t fallbacks = 0;
        for (auto &line : split_lines(r.err)) {
            if (line.find("io_uring_setup failed") != std::string::npos) fallbacks++;
            EXPECT_TRUE(std::regex_match(line, m, allowed)) << "unexpected message: " << line;
            if (m[4].matched) {
                EXPECT_TRUE(m[4].str().rfind(root_ + "/churn/", 0) == 0)
                    << "a message about an untouched directory: " << line;
            }
        }
        // Each worker says once that it has no ring, in synchronous mode only.
        EXPECT_EQ(fallbacks, mode == "sync" ? 64u : 0u);
        std::smatch s;
        static const std::regex summary("fsrake2 done: (\\d+) files");
        ASSERT_TRUE(std::regex_search(r.err, s, summary)) << r.err;
        EXPECT_EQ(std::stoul(s[1]), recs.size()) << "the summary counts other lines than printed";
    }

    // Every entry of stable/ with exactly the metadata lstat gives now.
    void check_stable() {
        auto tree = lstat_tree(root_ + "/stable");
        struct stat root_st;
        ASSERT_EQ(lstat(root_.c_str(), &root_st), 0);
        std::map<std::string, std::pair<long long, long long>> counts;
        for (auto &kv : tree) {
            size_t slash = kv.first.rfind('/');
            auto &c = counts[kv.first.substr(0, slash)];
            c.first++;
            c.second += kv.second.st_size;
        }
        EXPECT_EQ(got_stable_.size(), tree.size()) << "untouched entries missing";
        for (auto &kv : tree) {
            const std::string &p = kv.first;
            std::string parent = p.substr(0, p.rfind('/'));
            const struct stat &pst = parent == root_ ? root_st : tree.at(parent);
            int depth = 0;
            for (size_t i = root_.size(); i < p.size(); i++) depth += p[i] == '/';
            bool dir = S_ISDIR(kv.second.st_mode);
            Row want = dir ? expected_fields(p, kv.second, pst, depth - 1, counts[p].first,
                                             counts[p].second)
                           : expected_fields(p, kv.second, pst, depth - 1, -1, 0);
            auto it = got_stable_.find(p);
            if (it == got_stable_.end()) {
                ADD_FAILURE() << "not listed: " << p;
                continue;
            }
            EXPECT_EQ(it->second, want) << p;
        }
    }

    void rounds(const std::string &mode, const std::vector<std::string> &prefix) {
        std::atomic<bool> stop{false};
        std::thread churner([&] { churn(stop, 12345u + unsigned(prefix.size())); });
        for (int round = 0; round < ROUNDS; round++) {
            got_stable_.clear();
            RunOptions o;
            o.prefix = prefix;
            o.timeout_sec = 300;
            long before = changes_.load();
            // The ring, set up at start: under the seccomp wrapper its set-up
            // fails and every worker falls back to synchronous statx.
            RunResult r = run_fsrake2({"--stat-mode", "ring", "--threads", "64", root_}, o);
            check_run(r, mode, round);
            // The tree did change under this walk.
            EXPECT_GT(changes_.load() - before, 0) << mode << " round " << round;
            if (HasFatalFailure()) break;
        }
        stop = true;
        churner.join();
        EXPECT_GT(changes_.load(), 100L * ROUNDS) << "the churner hardly ran";
        check_stable();  // of the last round, with the tree now at rest
    }

    TempDir tmp_;
    std::string root_;
    std::map<std::string, Row> got_stable_;
    std::atomic<long> changes_{0};
};

TEST_F(Churn, RingPipeline) { rounds("ring", {}); }

TEST_F(Churn, SynchronousPipeline) {
#ifndef FR2_SECCOMP_RUN
    GTEST_SKIP() << "no seccomp wrapper in this build to take io_uring away";
#else
    RunResult probe = run_command({FR2_SECCOMP_RUN, "--fail-setup", "--", "true"});
    if (probe.status != 0) GTEST_SKIP() << "the seccomp wrapper cannot run here: " << probe.err;
    rounds("sync", {FR2_SECCOMP_RUN, "--fail-setup", "--"});
#endif
}

}  // namespace
