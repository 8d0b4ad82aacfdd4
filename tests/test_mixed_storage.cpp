// A local tree with a slow FUSE subtree inside it: a worker that chooses its
// back end stats the local entries one statx at a time and takes the ring for
// the slow ones, and prints exactly the records of the model either way.
#include <gtest/gtest.h>

#include "hangfs_fixture.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

class MixedStorage : public HangfsTest {
  protected:
    std::string root, local;

    void SetUp() override {
        HangfsTest::SetUp();
        if (IsSkipped()) return;
        make_dir(backing + "/many");
        make_many_files(backing + "/many", 300);
        for (int d = 0; d < 4; d++) {
            make_dir(backing + "/d" + std::to_string(d));
            make_many_files(backing + "/d" + std::to_string(d), 10);
        }
        // Every FUSE request answered after 2 ms: far slower than any cached
        // or local statx.
        mount({"--delay-us", "2000"});
        if (HasFatalFailure()) return;
        // The walk's root holds the mount point and a local tree beside it.
        root = fs->path().substr(0, fs->path().rfind('/'));
        local = root + "/local";
        make_dir(local);
        for (int d = 0; d < 3; d++) {
            make_dir(local + "/l" + std::to_string(d));
            make_many_files(local + "/l" + std::to_string(d), 200);
        }
        freeze_atimes(root);
    }
    void TearDown() override {
        if (!local.empty()) sh("rm -rf " + shell_quote(local));
        HangfsTest::TearDown();
    }

    // Runs the walk under strace -c; the records and the count of each call.
    std::map<std::string, long> traced_walk(const std::string &stat_mode, RunResult *r) {
        TempDir out;
        std::string trace = out / "trace";
        // LeakSanitizer cannot run under ptrace.
        *r = run_command({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-c", "-o", trace,
                          "-e", "trace=statx,io_uring_setup,io_uring_enter", FR2_BINARY,
                          "--stat-mode", stat_mode, "--threads", "4", root});
        std::map<std::string, long> calls;
        for (auto &line : split_lines(read_file(trace))) {
            // % time, seconds, usecs/call, calls, [errors,] syscall
            std::vector<std::string> f;
            size_t i = 0;
            while (i < line.size()) {
                while (i < line.size() && line[i] == ' ') i++;
                size_t j = line.find(' ', i);
                if (j == std::string::npos) j = line.size();
                if (j > i) f.push_back(line.substr(i, j - i));
                i = j;
            }
            if (f.size() >= 5 && isdigit((unsigned char)f[3][0])) calls[f.back()] = std::stol(f[3]);
        }
        return calls;
    }
};

}  // namespace

TEST_F(MixedStorage, LocalEntriesSynchronousSlowOnesThroughTheRingSameRecords) {
    if (!have_command("strace")) GTEST_SKIP() << "strace is not installed";
    Model m = model_walk(root);
    long fuse_entries = 300 + 4 * 10 + 4 + 1;  // files, directories, the mount point
    long local_entries = 3 * 200 + 3 + 1;

    RunResult r;
    auto chosen = traced_walk("auto", &r);
    expect_walk(r, m);
    // Local entries one statx each (a few slow ones may still go to a ring);
    // the slow ones mostly through rings set up on the way.
    EXPECT_GE(chosen["statx"], local_entries / 3) << r.err;
    EXPECT_LT(chosen["statx"], local_entries + fuse_entries / 2) << r.err;
    EXPECT_GE(chosen["io_uring_setup"], 1) << r.err;
    EXPECT_GE(chosen["io_uring_enter"], 2) << r.err;

    // The forced modes: never a ring, or every entry through one.
    auto sync = traced_walk("sync", &r);
    expect_walk(r, m);
    EXPECT_EQ(sync["io_uring_setup"], 0);
    EXPECT_EQ(sync["io_uring_enter"], 0);
    EXPECT_GE(sync["statx"], local_entries + fuse_entries);
    auto ring = traced_walk("ring", &r);
    expect_walk(r, m);
    EXPECT_EQ(ring["io_uring_setup"], 4);
    EXPECT_EQ(ring["statx"], 1);  // the root, at start-up
}
