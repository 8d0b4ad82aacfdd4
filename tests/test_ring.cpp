// The io_uring pipeline end to end: every entry listed exactly once whatever
// the ring depth, thread count and read admission; the ring really batches;
// prefetched directories that are empty or cannot be opened.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "walk_util.h"

using namespace fr2test;

namespace {

// One tree for the suite: a directory larger than several batches at any
// ring depth, directories that overshoot one batch by a buffer's worth,
// nested levels, many small and empty directories, links of both kinds.
class RingTree : public testing::Test {
  protected:
    static TempDir *dir;
    static std::string root;

    static void SetUpTestSuite() {
        dir = new TempDir();
        root = dir->path() + "/t";
        make_pass_tree(root, 9000, 40, 50);
        for (int e = 0; e < 300; e++) make_dir(root + "/e" + std::to_string(e));
        if (link((root + "/big/f1").c_str(), (root + "/hardlink").c_str()) != 0) abort();
        freeze_atimes(root);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
};
TempDir *RingTree::dir;
std::string RingTree::root;

}  // namespace

TEST_F(RingTree, SameLinesInEveryStatModeDepthThreadCountAndAdmission) {
    Model m = model_walk(root);
    const std::vector<std::vector<std::string>> variants = {
        {},
        {"--ring-depth", "16"},
        {"--ring-depth", "100"},  // the kernel rounds the ring up to 128
        {"--ring-depth", "4096"},
        {"--threads", "1"},
        {"--threads", "8", "--ring-depth", "16"},
        {"--threads", "64", "--getdents-max", "1"},
        {"--threads", "1", "--getdents-max", "1", "--ring-depth", "16"},
    };
    for (const char *mode : {"ring", "auto", "sync"}) {
        for (auto args : variants) {
            args.insert(args.begin(), {"--stat-mode", mode});
            std::string label;
            for (auto &a : args) label += a + " ";
            SCOPED_TRACE("options: " + label);
            args.push_back(root);
            RunResult r = run_fsrake2(args);
            EXPECT_EQ(r.err.find("io_uring"), std::string::npos) << r.err;
            expect_walk(r, m);
        }
    }
}

TEST_F(RingTree, RingBatchesStatxRequests) {
    if (!have_command("strace")) GTEST_SKIP() << "strace is not installed";
    TempDir out;
    std::string trace = out / "trace";
    // Two workers, the default ring depth: the biggest directory needs a few
    // passes, the rest one each.
    // LeakSanitizer cannot run under ptrace; the leak check is not what this
    // test is about.
    RunResult r = run_command({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-c", "-o", trace, "-e",
                               "trace=statx,newfstatat,io_uring_enter,getdents64", FR2_BINARY,
                               "--stat-mode", "ring", "--threads", "2", root});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string counts = read_file(trace);
    auto calls = [&](const std::string &name) -> long {
        for (auto &line : split_lines(counts)) {
            std::vector<std::string> f;
            size_t i = 0;
            while (i < line.size()) {
                while (i < line.size() && line[i] == ' ') i++;
                size_t j = line.find(' ', i);
                if (j == std::string::npos) j = line.size();
                if (j > i) f.push_back(line.substr(i, j - i));
                i = j;
            }
            if (!f.empty() && f.back() == name && f.size() >= 5) return std::stol(f[3]);
        }
        return 0;
    };
    long entries = long(lstat_tree(root).size());
    // Passes: one per directory with entries (root, big, 40 d*, their deeper
    // and deepest), and a few more for the 9000 entries of big.
    long passes = 1 + 1 + 3 * 40 + 9000 / 2048;
    // Only start-up stats the root itself; no worker stats an entry alone
    // (the few newfstatat calls are the dynamic loader's).
    EXPECT_EQ(calls("statx"), 1) << counts;
    EXPECT_LT(calls("newfstatat"), 10) << counts;
    // One submission per pass and at most a wait or two.
    long enters = calls("io_uring_enter");
    EXPECT_GE(enters, passes) << counts;
    EXPECT_LE(enters, 3 * passes) << counts;
    EXPECT_LT(enters * 20, entries) << counts;
}

TEST(RingPrefetch, EmptyAndUnopenableDirectoriesStillEndTheWalk) {
    // Directories that the next worker takes while its last batch is with the
    // kernel: mostly empty ones, and some the user may not open.
    TempDir dir;
    std::string root = dir.path() + "/p";
    make_dir(root);
    chmod(dir.path().c_str(), 0755);
    ModelOptions opt;
    for (int i = 0; i < 400; i++) {
        std::string sub = root + "/s" + std::to_string(i);
        make_dir(sub);
        if (i % 7 == 0) {
            chmod(sub.c_str(), 0700);
            if (chown(sub.c_str(), 0, 0) != 0) abort();
            opt.unopenable.insert(sub);
        } else if (i % 3 == 0) {
            write_file(sub + "/one", "1");
        }
    }
    freeze_atimes(root);
    if (!running_as_root()) GTEST_SKIP() << "needs root to run the walk as another user";
    Model m = model_walk(root, opt);
    m.messages.push_back(setuid_warning());
    std::sort(m.messages.begin(), m.messages.end());
    for (const char *threads : {"1", "2", "16"}) {
        SCOPED_TRACE(std::string("threads ") + threads);
        RunOptions ro;
        ro.prefix = unprivileged_prefix();
        ro.timeout_sec = 120;
        RunResult r = run_fsrake2({"--stat-mode", "ring", "--threads", threads, root}, ro);
        expect_walk(r, m);
    }
}
