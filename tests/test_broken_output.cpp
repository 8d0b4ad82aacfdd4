// Standard output that fails under the walk: a full disk, a reader that goes
// away after a few lines, a reader that is slow. Lines may be lost only with a
// non-zero status (and a message, or the usual SIGPIPE end); the run never
// hangs, and a slow reader gets every line whole.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include <gtest/gtest.h>

#include "harness.h"

using namespace fr2test;

extern char **environ;

namespace {

const char *const WRITE_ERROR = "fsrake2: error writing standard output: ";

// A tree whose listing is some megabytes: many workers fill their 64 KiB
// buffers and write during the walk, not only at the end.
void make_wide_tree(const std::string &root, int dirs, int files_per_dir) {
    for (int d = 0; d < dirs; d++) {
        std::string dir = root + "/dir" + std::to_string(d);
        make_dir(dir);
        for (int f = 0; f < files_per_dir; f++)
            write_file(dir + "/a-rather-long-file-name-to-fill-the-output-" + std::to_string(f) +
                       ".dat");
    }
}

std::vector<std::string> sorted_lines(const std::string &s) {
    auto v = split_lines(s);
    std::sort(v.begin(), v.end());
    return v;
}

class BrokenOutput : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir();
        make_wide_tree(tree_->path(), 40, 500);  // about 20,000 lines, 2.5 MB
        // Reading a directory may move its access time (relatime), which would
        // make two runs differ; one in the future never moves.
        struct timespec ts[2] = {{time(nullptr) + 3 * 86400, 0}, {0, UTIME_OMIT}};
        for (auto &kv : lstat_tree(tree_->path()))
            if (S_ISDIR(kv.second.st_mode)) utimensat(AT_FDCWD, kv.first.c_str(), ts, 0);
        RunResult r = run_fsrake2({"--threads", "8", tree_->path()});
        ASSERT_EQ(r.status, 0) << r.err;
        reference_ = new std::vector<std::string>(sorted_lines(r.out));
        ASSERT_GT(reference_->size(), 20000u);
    }
    static void TearDownTestSuite() {
        delete tree_;
        delete reference_;
    }
    static TempDir *tree_;
    static std::vector<std::string> *reference_;
};
TempDir *BrokenOutput::tree_;
std::vector<std::string> *BrokenOutput::reference_;

// /dev/full takes nothing: a failed write during the walk, or the last flush
// of a small walk, ends the run with status 1 and says why.
TEST_F(BrokenOutput, FullDiskEndsWithStatusOneAndTheReason) {
    TempDir small;
    write_file(small / "one");
    for (const std::string &root : {small.path(), tree_->path()}) {
        RunOptions o;
        o.stdout_path = "/dev/full";
        o.timeout_sec = 120;
        RunResult r = run_fsrake2({"--threads", "16", root}, o);
        EXPECT_FALSE(r.timed_out) << root;
        EXPECT_EQ(r.term_signal, 0) << r.err;
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(std::string(WRITE_ERROR) + strerror(ENOSPC)), std::string::npos)
            << r.err;
        // Said once, however many workers failed.
        EXPECT_EQ(r.err.find(WRITE_ERROR), r.err.rfind(WRITE_ERROR)) << r.err;
    }
    // The header alone fails the same way.
    RunOptions o;
    o.stdout_path = "/dev/full";
    RunResult r = run_fsrake2({"--header", small.path()}, o);
    EXPECT_EQ(r.status, 1) << r.err;
}

// `| head -n 5`: the reader leaves after five lines. The scanner ends by
// SIGPIPE, or with status 1 when SIGPIPE is ignored; never 0, never a hang.
TEST_F(BrokenOutput, ClosedPipeNeverEndsAsSuccess) {
    ASSERT_TRUE(have_command("bash"));
    for (bool ignore_pipe : {false, true}) {
        std::string cmd = std::string(ignore_pipe ? "trap '' PIPE; " : "") +
                          shell_quote(FR2_BINARY) + " --threads 32 " + shell_quote(tree_->path()) +
                          " | head -n 5 > /dev/null; echo \"status=${PIPESTATUS[0]}\"";
        RunOptions o;
        o.timeout_sec = 120;
        RunResult r = run_command({"bash", "-c", cmd}, o);
        ASSERT_FALSE(r.timed_out) << "the scanner hung on a closed pipe";
        if (ignore_pipe) {
            EXPECT_NE(r.out.find("status=1\n"), std::string::npos) << r.out << r.err;
            EXPECT_NE(r.err.find(std::string(WRITE_ERROR) + strerror(EPIPE)), std::string::npos)
                << r.err;
        } else {
            EXPECT_NE(r.out.find("status=141\n"), std::string::npos)  // 128 + SIGPIPE
                << r.out << r.err;
        }
    }
}

// A reader that takes 4 KiB at a time with pauses: the writers block on the
// full pipe, and every line arrives whole, once.
TEST_F(BrokenOutput, SlowReaderGetsEveryLineWhole) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::string bin = FR2_BINARY, path = tree_->path();
    char *argv[] = {bin.data(), const_cast<char *>("--threads"), const_cast<char *>("64"),
                    path.data(), nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    std::string out;
    char buf[4096];
    struct timespec pause = {0, 1000000};  // 1 ms per 4 KiB: about a second for the tree
    time_t deadline = time(nullptr) + 300;
    for (;;) {
        ssize_t got = read(p[0], buf, sizeof buf);
        if (got == 0) break;
        if (got < 0) {
            ASSERT_EQ(errno, EINTR);
            continue;
        }
        out.append(buf, size_t(got));
        nanosleep(&pause, nullptr);
        if (time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            FAIL() << "the scanner did not finish for a slow reader";
        }
    }
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    std::vector<std::string> got = sorted_lines(out);
    std::vector<std::string> missing, extra;
    std::set_difference(reference_->begin(), reference_->end(), got.begin(), got.end(),
                        std::back_inserter(missing));
    std::set_difference(got.begin(), got.end(), reference_->begin(), reference_->end(),
                        std::back_inserter(extra));
    EXPECT_TRUE(missing.empty() && extra.empty())
        << missing.size() << " lines missing, " << extra.size() << " unexpected; first missing: "
        << (missing.empty() ? "" : missing[0]) << "; first unexpected: "
        << (extra.empty() ? "" : extra[0]);
}

// The threads of `pid` blocked writing to a pipe.
std::vector<pid_t> threads_in_pipe_write(pid_t pid) {
    std::vector<pid_t> tids;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d) return tids;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        // pipe_write, or anon_pipe_write on newer kernels
        if (read_file(dir + "/" + e->d_name + "/wchan").find("pipe_write") != std::string::npos)
            tids.push_back(atoi(e->d_name));
    }
    closedir(d);
    return tids;
}

// The watchdog's signal may reach a worker that has just left a watched step
// and blocks writing to a full pipe: the interrupted write is retried, it is
// not an output error. Every thread of the scanner gets SIGUSR1 many times
// while its workers wait on a reader that has stopped, then the reader takes
// everything.
TEST_F(BrokenOutput, WatchdogSignalDuringABlockedWriteIsNoOutputError) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    std::string err_path = tree_->path() + ".err";
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string bin = FR2_BINARY, path = tree_->path();
    char *argv[] = {bin.data(), const_cast<char *>("--threads"), const_cast<char *>("8"),
                    path.data(), nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);

    // Wait until a worker is blocked on the full pipe.
    std::vector<pid_t> blocked;
    for (int i = 0; i < 3000 && blocked.empty(); i++) {
        usleep(10000);
        blocked = threads_in_pipe_write(pid);
    }
    EXPECT_FALSE(blocked.empty()) << "no worker ever blocked writing";
    // Signal every thread, again and again, as a watchdog that fires often would.
    int signals = 0;
    for (int round = 0; round < 50; round++) {
        std::string dir = "/proc/" + std::to_string(pid) + "/task";
        DIR *d = opendir(dir.c_str());
        if (!d) break;
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.' && syscall(SYS_tgkill, pid, atoi(e->d_name), SIGUSR1) == 0) signals++;
        closedir(d);
        usleep(5000);
    }
    EXPECT_GT(signals, 0);

    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t got = read(p[0], buf, sizeof buf);
        if (got == 0) break;
        if (got < 0) {
            ASSERT_EQ(errno, EINTR);
            continue;
        }
        out.append(buf, size_t(got));
    }
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    std::string err = read_file(err_path);
    unlink(err_path.c_str());
    ASSERT_TRUE(WIFEXITED(st)) << err;
    EXPECT_EQ(WEXITSTATUS(st), 0) << err;
    EXPECT_EQ(err.find(WRITE_ERROR), std::string::npos) << err;
    EXPECT_EQ(sorted_lines(out), *reference_);
}

}  // namespace
