// Ways a walk could lose entries, or print wrong ones, while still ending
// with status 0: too few file descriptors, statx requests the kernel cancels
// (a pids cgroup leaves io_uring without worker threads), entries that change
// type between the directory read and their statx, size sums beyond 64 bits,
// a symbolic link given as the root of a one-file-system walk, and a root that
// cannot be read at all. Each case runs the real binary on a real tree.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

// `dirs` directories of `files` empty files each, under a new root.
void make_flat_tree(const std::string &root, int dirs, int files) {
    make_dir(root);
    for (int d = 0; d < dirs; d++) {
        std::string dir = root + "/d" + std::to_string(d);
        make_dir(dir);
        make_many_files(dir, files);
    }
    freeze_atimes(root);
}

}  // namespace

// ---- file descriptors -------------------------------------------------------

// 64 workers each hold a ring, a directory and a prefetched directory: with a
// hard limit of 64 descriptors they cannot all run, and a directory that finds
// no descriptor free must wait for one rather than pass for locked.
TEST(Descriptors, HardLimitBelowWhatTheWorkersWouldHold) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "t";
    make_flat_tree(root, 300, 30);
    Model m = model_walk(root);

    RunResult r = run_command({"prlimit", "--nofile=64", FR2_BINARY, root}, with_timeout(300));
    std::vector<std::string> recs = split_records(r.out);
    std::sort(recs.begin(), recs.end());
    EXPECT_EQ(diff_sorted(recs, m.records), "");
    EXPECT_EQ(r.status, 0) << r.err;
    // Fewer workers than asked for is said once, and is the only message.
    ErrParts e = split_stderr(r.err);
    ASSERT_EQ(e.messages.size(), 1u) << r.err;
    EXPECT_TRUE(std::regex_match(
        e.messages[0], std::regex(R"(fsrake2: the open file limit of 64 allows \d+ workers, not 64)"))) << r.err;
    EXPECT_EQ(e.files, (long long)recs.size());

    // Even a single worker: the root holds a descriptor, the rest are spare.
    r = run_command({"prlimit", "--nofile=12", FR2_BINARY, "--threads", "3", root}, with_timeout(300));
    recs = split_records(r.out);
    std::sort(recs.begin(), recs.end());
    EXPECT_EQ(diff_sorted(recs, m.records), "");
    EXPECT_EQ(r.status, 0) << r.err;
}

// A low soft limit under a high hard one is raised at start: every worker
// runs, nothing is said.
TEST(Descriptors, LowSoftLimitIsRaisedToTheHardOne) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "t";
    make_flat_tree(root, 300, 30);
    RunResult r = run_command({"prlimit", "--nofile=64:4096", FR2_BINARY, root}, with_timeout(300));
    expect_walk(r, model_walk(root));
}

// ---- statx results ---------------------------------------------------------

namespace {

// A pids cgroup (v1 controller, or a cgroup2 folder with the pids controller)
// that is removed when the object dies. The kernel counts io_uring's worker
// threads against it, so a limit just above the program's own threads leaves
// the rings without workers: queued statx requests then complete with
// ECANCELED.
class PidsCgroup {
  public:
    explicit PidsCgroup(int max) {
        std::string name = "/fr2-test-" + std::to_string(getpid());
        for (std::string base : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
            struct stat st;
            if (stat((base + "/cgroup.procs").c_str(), &st) != 0) continue;
            if (mkdir((base + name).c_str(), 0755) != 0) continue;
            path_ = base + name;
            if (access((path_ + "/pids.max").c_str(), W_OK) == 0) break;
            rmdir(path_.c_str());
            path_.clear();
        }
        if (path_.empty()) {
            why_ = "no pids cgroup controller this test can use (needs root)";
            return;
        }
        if (sh("echo " + std::to_string(max) + " > " + path_ + "/pids.max") != 0)
            why_ = "cannot set pids.max in " + path_;
    }
    ~PidsCgroup() {
        if (path_.empty()) return;
        for (int i = 0; i < 100 && rmdir(path_.c_str()) != 0 && errno == EBUSY; i++) usleep(20000);
    }
    const std::string &unavailable() const { return why_; }
    // A prefix that runs a command inside the cgroup.
    std::vector<std::string> prefix() const {
        return {"sh", "-c", "echo $$ > " + path_ + "/cgroup.procs && exec \"$@\"", "sh"};
    }

  private:
    std::string path_, why_;
};

}  // namespace

TEST(StatxErrors, CancelledRequestsInAPidsCgroupAreRetried) {
    if (!running_as_root()) GTEST_SKIP() << "creating a cgroup needs root";
    TempDir tmp(big_tree_base());
    std::string root = tmp / "t";
    make_flat_tree(root, 200, 100);
    Model m = model_walk(root);
    // Eight workers, the main thread and the monitor: room for two io_uring
    // worker threads at most.
    PidsCgroup cg(12);
    if (!cg.unavailable().empty()) GTEST_SKIP() << cg.unavailable();
    RunOptions o = with_timeout(300);
    o.prefix = cg.prefix();
    RunResult r = run_fsrake2({"--threads", "8", root}, o);
    std::vector<std::string> recs = split_records(r.out);
    std::sort(recs.begin(), recs.end());
    EXPECT_EQ(diff_sorted(recs, m.records), "");
    EXPECT_EQ(r.status, 0) << r.err;
    // Giving the ring up may be said, once per worker at most, and the io_uring
    // threads may take the last pids before the last workers start; nothing else.
    ErrParts e = split_stderr(r.err);
    static const std::regex allowed(
        R"(worker \d+: io_uring statx requests cancelled by the kernel \(.*\), using sync statx|)"
        R"(fsrake2: could not start worker \d+ of 8: Resource temporarily unavailable)");
    for (auto &msg : e.messages) EXPECT_TRUE(std::regex_match(msg, allowed)) << msg;
    EXPECT_LE(e.messages.size(), 9u) << r.err;
    EXPECT_EQ(e.files, (long long)recs.size());
}

// ---- an entry that changes type under the walk -------------------------------

// Pairs of a directory and a file in one parent are swapped with
// renameat2(RENAME_EXCHANGE) while the walk reads them, so the type that
// getdents64 reports and the mode that statx finds often disagree. A line
// must agree with itself: a directory mode has an entry count, any other mode
// the file's -1 and 0.
TEST(TypeRace, EveryLineIsClassifiedByItsOwnMode) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "t";
    const int pairs = 400;
    make_dir(root);
    for (int i = 0; i < pairs; i++) {
        std::string p = root + "/p" + std::to_string(i);
        make_dir(p);
        make_dir(p + "/a");
        make_many_files(p + "/a", 3);
        write_file(p + "/b", "file");
    }
    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    auto churn = [&](int first) {
        std::vector<int> fds;
        for (int i = first; i < pairs; i += 2) fds.push_back(open_dir_fd(root + "/p" + std::to_string(i)));
        while (!stop)
            for (int fd : fds)
                if (syscall(SYS_renameat2, fd, "a", fd, "b", RENAME_EXCHANGE) == 0) swaps++;
        for (int fd : fds) close(fd);
    };
    std::thread c0(churn, 0), c1(churn, 1);
    long bad = 0;
    std::string first_bad;
    for (int run = 0; run < 6; run++) {
        RunResult r = run_fsrake2({"--threads", "16", root}, with_timeout(120));
        EXPECT_EQ(r.status, 0) << r.err;
        for (auto &rec : split_records(r.out)) {
            Row f = record_fields(rec);
            if (f.size() != 17) {
                ADD_FAILURE() << "not a whole record: " << rec;
                continue;
            }
            bool dir_mode = f[11].compare(0, 3, "004") == 0;
            bool dir_line = f[15] != "-1";
            if (dir_mode != dir_line || (!dir_line && f[16] != "0")) {
                if (bad++ == 0) first_bad = rec;
            }
        }
        // A directory that became a file between its statx and its open is
        // reported with the reason, never as a bare "Locked Dir".
        for (auto &msg : split_stderr(r.err).messages)
            EXPECT_TRUE(std::regex_match(msg, std::regex(R"(Locked Dir: .*: (Not a directory|No such file or directory))")))
                << msg;
    }
    stop = true;
    c0.join();
    c1.join();
    EXPECT_GT(swaps.load(), 1000) << "the churn did not run";
    EXPECT_EQ(bad, 0) << "lines whose mode and entry count disagree; the first: " << first_bad;
}

// ---- size sums -----------------------------------------------------------------

// Two sparse files of the largest size a file can have: their sum does not fit
// a signed 64-bit number. The directory's size sum and the summary's total
// stay at the largest value the column holds instead of wrapping (and the
// sanitizer build does not abort on the addition).
TEST(SizeSums, SumsBeyondSixtyFourBitsStayAtTheLargestValue) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "huge";
    make_dir(root);
    const off_t max = INT64_MAX;
    int fd = open((root + "/a").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, max) != 0) {
        close(fd);
        GTEST_SKIP() << "this file system cannot hold a file of 2^63-1 bytes: " << strerror(errno);
    }
    close(fd);
    make_sized_file(root + "/b", max);
    write_file(root + "/small", "abc");
    RunResult r = run_fsrake2({root});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.term_signal, 0) << r.err;
    auto recs = split_records(r.out);
    ASSERT_EQ(recs.size(), 4u) << r.out << r.err;
    Row dir = find_record(recs, root);
    EXPECT_EQ(dir[15], "3");
    EXPECT_EQ(dir[16], "9223372036854775807");
    EXPECT_EQ(find_record(recs, root + "/a")[7], "9223372036854775807");
    ErrParts e = split_stderr(r.err);
    EXPECT_EQ(e.gigabytes, "8589934592.00") << r.err;
}

// ---- a symbolic link as the root ---------------------------------------------

// The link lives on one file system (the temporary folder), the directory it
// points to on another (tmpfs): -x keeps to the file system of the directory
// that is walked. The root line is still the link's own.
TEST(SymlinkRoot, OneFileSystemFollowsTheWalkedDirectory) {
    TempDir shm(big_tree_base());
    TempDir tmp;
    struct stat a, b;
    ASSERT_EQ(stat(shm.path().c_str(), &a), 0);
    ASSERT_EQ(stat(tmp.path().c_str(), &b), 0);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "the temporary folders share one file system";
    std::string target = shm / "vol";
    make_dirs(target + "/sub/deeper");
    write_file(target + "/one", "1");
    write_file(target + "/sub/two", "22");
    freeze_atimes(target);
    std::string link = tmp / "data";
    make_symlink(target, link);

    RunResult r = run_fsrake2({"-x", link});
    auto recs = expect_walk(r, model_walk(link, one_file_system()));
    EXPECT_EQ(recs.size(), 5u);
    EXPECT_TRUE(has_record(recs, link + "/sub/two"));
    EXPECT_EQ(find_record(recs, link)[11], "0120777");
}

// ---- a root that cannot be read ----------------------------------------------

// Nothing can be listed: one line says why, and the status is the error's
// number, as for a root that cannot be statted.
TEST(RootUnreadable, NotADirectory) {
    TempDir tmp;
    std::string file = tmp / "plain.txt";
    write_file(file, "text");
    RunResult r = run_fsrake2({"--header", file});
    EXPECT_EQ(r.status, ENOTDIR) << r.err;
    EXPECT_EQ(r.out.substr(0, 6), "inode,");
    EXPECT_EQ(split_records(r.out).size(), 1u) << "only the header";
    ErrParts e = split_stderr(r.err);
    std::vector<std::string> want{"fsrake2: cannot read directory '" + file + "': Not a directory"};
    if (!running_as_root()) want.insert(want.begin(), setuid_warning());
    EXPECT_EQ(e.messages, want) << r.err;
}
