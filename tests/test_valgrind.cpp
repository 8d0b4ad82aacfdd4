// Memcheck on small walks of the real binary: with the io_uring ring, and
// with synchronous statx (io_uring taken away by the seccomp wrapper), plus
// the ends that leave through exit(): a failed write, a missing root.
// Memcheck follows io_uring_setup and io_uring_enter, but not what the kernel
// writes into the result slots behind its back; those slots are zero-filled
// when allocated, so they are never undefined to it either way.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "harness.h"

using namespace fr2test;

namespace {

const int VALGRIND_ERROR = 99;

std::vector<std::string> memcheck() {
    return {"valgrind", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--track-fds=no", "-q"};
}

class Valgrind : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_command("valgrind")) GTEST_SKIP() << "valgrind is not installed";
        make_dirs(t_ / "a/b/c");
        make_dir(t_ / "skip");
        write_file(t_ / "skip/hidden");
        for (int i = 0; i < 300; i++) write_file(t_ / ("a/f" + std::to_string(i) + ".txt"));
        write_file(t_ / "a/b/name with \"quotes\", commas\nand a line feed");
        make_symlink("a", t_ / "link");
        write_file(t_ / "exclude", t_ / "skip" + "\n");
        want_ = lstat_tree(t_.path()).size() - 2;  // all but skip and skip/hidden
    }

    void expect_clean(const RunResult &r, int status) {
        EXPECT_FALSE(r.timed_out);
        EXPECT_NE(r.status, VALGRIND_ERROR) << r.err;
        EXPECT_EQ(r.status, status) << r.err;
        // A run that ends with _exit() while workers live leaves their thread
        // blocks "possibly lost": that is no fault, everything else is.
        for (const char *fault : {"Invalid ", "uninitialised", "definitely lost", "Syscall param",
                                  "Mismatched free", "overlap"})
            EXPECT_EQ(r.err.find(fault), std::string::npos) << "memcheck reported:\n" << r.err;
    }

    std::vector<std::string> walk_args(const std::string &stat_mode = "ring") {
        return {FR2_BINARY, "--stat-mode", stat_mode, "--threads", "4", "--ring-depth", "16",
                "--header", "--exclude", t_ / "exclude", t_.path()};
    }

    TempDir t_;
    size_t want_ = 0;
};

TEST_F(Valgrind, RingWalkIsClean) {
    std::vector<std::string> cmd = memcheck();
    auto args = walk_args();
    cmd.insert(cmd.end(), args.begin(), args.end());
    RunOptions o;
    o.timeout_sec = 600;
    RunResult r = run_command(cmd, o);
    expect_clean(r, 0);
    EXPECT_EQ(r.err.find("io_uring_setup failed"), std::string::npos)
        << "the ring was not used under memcheck:\n" << r.err;
    bool ok = false;
    auto rows = parse_csv(r.out, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(rows.size(), want_ + 1);  // and the header
}

// Each worker choosing for itself: timed groups, and the ring when the
// slowness under memcheck makes a worker choose it.
TEST_F(Valgrind, ChoosingWalkIsClean) {
    std::vector<std::string> cmd = memcheck();
    auto args = walk_args("auto");
    cmd.insert(cmd.end(), args.begin(), args.end());
    RunOptions o;
    o.timeout_sec = 600;
    RunResult r = run_command(cmd, o);
    expect_clean(r, 0);
    bool ok = false;
    auto rows = parse_csv(r.out, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(rows.size(), want_ + 1);
}

TEST_F(Valgrind, SynchronousWalkIsClean) {
#ifndef FR2_SECCOMP_RUN
    GTEST_SKIP() << "no seccomp wrapper in this build to take io_uring away";
#else
    std::vector<std::string> cmd = {FR2_SECCOMP_RUN, "--fail-setup", "--"};
    auto mc = memcheck();
    cmd.insert(cmd.end(), mc.begin(), mc.end());
    auto args = walk_args();
    cmd.insert(cmd.end(), args.begin(), args.end());
    RunOptions o;
    o.timeout_sec = 600;
    RunResult r = run_command(cmd, o);
    expect_clean(r, 0);
    EXPECT_NE(r.err.find("io_uring_setup failed"), std::string::npos) << r.err;
    bool ok = false;
    auto rows = parse_csv(r.out, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(rows.size(), want_ + 1);
#endif
}

TEST_F(Valgrind, EarlyEndsAreClean) {
    std::vector<std::string> cmd = memcheck();
    auto args = walk_args();
    cmd.insert(cmd.end(), args.begin(), args.end());
    RunOptions o;
    o.timeout_sec = 600;
    o.stdout_path = "/dev/full";
    expect_clean(run_command(cmd, o), 1);

    cmd = memcheck();
    cmd.insert(cmd.end(), {FR2_BINARY, "--exclude", t_ / "exclude", t_ / "missing"});
    expect_clean(run_command(cmd), ENOENT);
}

}  // namespace
