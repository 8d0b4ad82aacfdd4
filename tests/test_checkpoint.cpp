// Checkpoints and resuming: a walk killed at random moments and resumed until
// it ends has written exactly what one uninterrupted walk writes (tmpfs, and
// slow FUSE storage on which directories are caught half read); SIGTERM and
// SIGINT; every refusal of --resume leaves the checkpoint and the output as
// they were; a disk that fills keeps the previous checkpoint.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>

#include "hangfs_fixture.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

void sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// The scanner in the background, standard error to err_path (appended), its
// standard output thrown away (the CSV goes to --output).
pid_t spawn_fsrake2(std::vector<std::string> args, const std::string &err_path) {
    if (const char *mode = getenv("FR2_TEST_STAT_MODE"); mode && *mode)
        args.insert(args.begin(), {"--stat-mode", mode});
    args.insert(args.begin(), FR2_BINARY);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err);
    close(null_fd);
    return pid;
}

// The wait status, or -1 when the child did not end within timeout_ms.
int reap(pid_t pid, int timeout_ms = 120000) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) return st;
        sleep_ms(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

struct timespec mtime_of(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mtim : timespec{0, 0};
}

// Not yet ended (the child stays to be reaped).
bool still_running(pid_t pid) {
    siginfo_t info = {};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::vector<std::string> sorted_records(const std::string &path) {
    std::string rest;
    auto recs = split_records(read_file(path), &rest);
    EXPECT_EQ(rest, "") << "a record cut short at the end of " << path;
    std::sort(recs.begin(), recs.end());
    return recs;
}

std::vector<std::string> lines_of(const std::string &text) { return split_lines(text); }

// Runs `fresh` (a walk with --checkpoint ck --output out), killing it and
// then each resume after a random delay, `kills` times, then lets the last
// resume finish. Returns how many runs resumed from a checkpoint.
int kill_and_resume(const std::vector<std::string> &fresh, const std::string &ck,
                    const std::string &err_path, int kills, int min_ms, int max_ms, unsigned seed) {
    // Resumes checkpoint as often as the first run did.
    auto at = std::find(fresh.begin(), fresh.end(), "--checkpoint-every");
    std::string every = at + 1 < fresh.end() ? *(at + 1) : "0.05";
    // And with as many workers: a checkpoint waits for every worker's batch in
    // hand, which on storage that answers one request at a time takes as long
    // as the workers are many.
    auto th = std::find(fresh.begin(), fresh.end(), "--threads");
    std::string threads = th + 1 < fresh.end() ? *(th + 1) : "64";
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay(min_ms, max_ms);
    int resumed = 0;
    for (int run = 0;; run++) {
        bool resume = exists(ck);
        std::vector<std::string> args =
            resume ? std::vector<std::string>{"--resume", ck, "--checkpoint-every", every,
                                              "--threads", threads}
               : fresh;
        resumed += resume;
        struct timespec before = mtime_of(ck);
        pid_t pid = spawn_fsrake2(args, err_path);
        bool killing = run < kills;
        if (killing) {
            // Each run gets past one checkpoint of its own before its kill
            // (however slowly a sanitizer starts it), then dies at random.
            for (int i = 0; i < 2000 && still_running(pid); i++) {
                struct timespec now = mtime_of(ck);
                if (now.tv_sec != before.tv_sec || now.tv_nsec != before.tv_nsec) break;
                sleep_ms(5);
            }
            sleep_ms(delay(rng));
            kill(pid, SIGKILL);
        }
        int st = reap(pid);
        if (WIFEXITED(st)) {  // the last run, or one that ended before its kill
            EXPECT_EQ(WEXITSTATUS(st), 0) << read_file(err_path);
            return resumed;
        }
        EXPECT_TRUE(killing && WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << read_file(err_path);
        if (!killing) return resumed;
    }
}

// The last run's summary counts every line of the output and nothing twice.
void expect_summary_covers(const std::string &err, size_t lines) {
    ErrParts parts = split_stderr(err);
    ASSERT_GE(parts.summaries, 1) << err;
    EXPECT_EQ(parts.files, (long long)lines) << "the summary of the last run: " << err;
}

std::string last_summary_text(const std::string &err) {
    std::string last;
    for (auto &l : lines_of(err))
        if (l.rfind("fsrake2 done:", 0) == 0) last = l;
    return last + "\n";
}

// A tree of directories with files and a nested subdirectory each.
void make_tree(const std::string &root, int dirs, int files) {
    make_dir(root);
    for (int d = 0; d < dirs; d++) {
        std::string dir = root + "/d" + std::to_string(d);
        make_dir(dir);
        make_many_files(dir, files);
        make_dir(dir + "/sub");
        make_many_files(dir + "/sub", files / 2, "g");
    }
    freeze_atimes(root);
}

TEST(Checkpoint, KilledAtRandomAndResumedOnTmpfsWritesEveryLineOnce) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "tree", out = tmp / "out.csv", ck = tmp / "ck", err = tmp / "err";
    make_tree(root, 150, 200);
    Model m = model_walk(root);
    unsigned seed = unsigned(time(nullptr));
    SCOPED_TRACE("seed " + std::to_string(seed));
    // One request in flight for two workers: the first run's checkpoints must
    // also pause a worker that waits for room in the load window.
    int resumed = kill_and_resume({"--threads", "2", "--ring-depth", "16", "--max-inflight", "1",
                                   "--checkpoint", ck, "--checkpoint-every", "0.01", "--output",
                                   out, root},
                                  ck, err, 8, 0, 15, seed);
    EXPECT_GE(resumed, 1) << "the kills should fall after checkpoints";
    EXPECT_EQ(diff_sorted(sorted_records(out), m.records), "");
    expect_summary_covers(last_summary_text(read_file(err)), m.records.size());
    EXPECT_FALSE(exists(ck)) << "a finished walk removes its checkpoint";
}

// A directory that one stop caught half read, and that is still queued when
// the resumed walk is stopped again (its one worker hardly moves), is saved
// again with where its reading goes on: the walk's end lists none of its
// entries twice.
TEST(Checkpoint, HalfReadDirectoryStillQueuedAtTheNextStopKeepsItsOffset) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "tree", out = tmp / "out.csv", ck = tmp / "ck", err = tmp / "err";
    make_tree(root, 6, 200);
    Model m = model_walk(root);
    auto stop_after = [&](const std::vector<std::string> &args, int ms) {
        pid_t pid = spawn_fsrake2(args, err);
        sleep_ms(ms);
        kill(pid, SIGTERM);
        int st = reap(pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 75) << read_file(err);
    };
    // Four workers in batches of 16 at 400 entries a second: four
    // directories half read at the stop.
    stop_after({"--threads", "4", "--ring-depth", "16", "--max-rate", "400", "--checkpoint", ck,
                "--checkpoint-every", "60", "--output", out, root},
               700);
    stop_after({"--resume", ck, "--threads", "1", "--max-rate", "1"}, 700);
    RunResult r = run_fsrake2({"--resume", ck}, with_timeout(60));
    ASSERT_EQ(r.status, 0) << read_file(err) << r.err;
    EXPECT_EQ(diff_sorted(sorted_records(out), m.records), "");
}

// Slow storage: a daemon that answers one request at a time, each after a
// delay, so a walk takes seconds and workers are caught in the middle of
// directories (batches of 16) at every kill. What one uninterrupted walk of
// it writes is the reference.
class SlowTree : public HangfsTest {
  protected:
    void SetUp() override {
        HangfsTest::SetUp();
        if (IsSkipped()) return;
        rmdir(backing.c_str());
        make_tree(backing, 12, 80);
        mount({"--delay-us", "700", "--threads", "1"});
    }
    std::vector<std::string> reference() {
        std::string ref = backing_dir / "ref.csv";
        RunResult r = run_fsrake2({"--output", ref, fs->path()}, with_timeout(60));
        EXPECT_EQ(r.status, 0) << r.err;
        return sorted_records(ref);
    }
    std::string out = backing_dir / "out.csv", ck = backing_dir / "ck", err = backing_dir / "err";
    std::vector<std::string> fresh(const std::string &every = "0.1") {
        return {"--threads",          "4",   "--ring-depth", "16", "--checkpoint", ck,
                "--checkpoint-every", every, "--output",     out,  fs->path()};
    }
};

TEST_F(SlowTree, KilledAtRandomAndResumedWritesEveryLineOnce) {
    auto ref = reference();
    unsigned seed = unsigned(time(nullptr));
    SCOPED_TRACE("seed " + std::to_string(seed));
    int resumed = kill_and_resume(fresh(), ck, err, 5, 0, 400, seed);
    EXPECT_GE(resumed, 2) << "the kills should fall after checkpoints";
    EXPECT_EQ(diff_sorted(sorted_records(out), ref), "");
    expect_summary_covers(last_summary_text(read_file(err)), ref.size());
}

// SIGTERM writes a checkpoint and says how to go on; every refusal of
// --resume then leaves both files as they were; the resume with a compatible
// option finishes the walk.
TEST_F(SlowTree, SigtermCheckpointsAndRefusalsTouchNothing) {
    auto ref = reference();
    pid_t pid = spawn_fsrake2(fresh("60"), err);
    sleep_ms(600);
    kill(pid, SIGTERM);
    int st = reap(pid);
    ASSERT_TRUE(WIFEXITED(st)) << read_file(err);
    EXPECT_EQ(WEXITSTATUS(st), 75);
    auto msgs = lines_of(read_file(err));
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), "fsrake2: stopped; resume with --resume " + ck);
    ASSERT_TRUE(exists(ck));
    std::string ck_bytes = read_file(ck), out_bytes = read_file(out);
    ASSERT_GT(out_bytes.size(), 0u);

    struct Case {
        std::string name;
        std::function<void()> spoil, mend;
        std::vector<std::string> args;
        std::string reason;
    };
    std::string other = backing_dir / "other";
    auto put = [](const std::string &p, const std::string &b) {
        std::string tmp = p + ".new";
        write_file(tmp, b);
        rename(tmp.c_str(), p.c_str());
    };
    std::string flipped = ck_bytes, versioned = ck_bytes;
    flipped[flipped.size() / 2] ^= 0x20;
    versioned[8] = 99;
    std::vector<Case> cases = {
        {"missing", {}, {}, {"--resume", other}, "No such file or directory"},
        {"cut",
         [&] { put(ck, ck_bytes.substr(0, ck_bytes.size() - 9)); },
         [&] { put(ck, ck_bytes); },
         {"--resume", ck},
         "cut short"},
        {"corrupt",
         [&] { put(ck, flipped); },
         [&] { put(ck, ck_bytes); },
         {"--resume", ck},
         "checksum"},
        {"version",
         [&] { put(ck, versioned); },
         [&] { put(ck, ck_bytes); },
         {"--resume", ck},
         "format version 99"},
        {"output missing",
         [&] { rename(out.c_str(), other.c_str()); },
         [&] { rename(other.c_str(), out.c_str()); },
         {"--resume", ck},
         "No such file"},
        {"output short",
         [&] { put(out, out_bytes.substr(0, out_bytes.size() - 1)); },
         [&] { put(out, out_bytes); },
         {"--resume", ck},
         "fewer than the"},
        {"contradicting option", {}, {}, {"--resume", ck, "--depth", "1"}, "--depth"},
        {"another directory", {}, {}, {"--resume", ck, backing}, "the directory"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.spoil) c.spoil();
        std::string ck_before = exists(ck) ? read_file(ck) : "";
        std::string out_before = exists(out) ? read_file(out) : "";
        RunResult r = run_fsrake2(c.args, with_timeout(60));
        EXPECT_NE(r.status, 0);
        auto err_lines = lines_of(r.err);
        ASSERT_EQ(err_lines.size(), 1u) << r.err;
        EXPECT_NE(err_lines[0].find(c.args[1]), std::string::npos) << "names the file: " << r.err;
        EXPECT_NE(err_lines[0].find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(exists(ck) ? read_file(ck) : "", ck_before);
        EXPECT_EQ(exists(out) ? read_file(out) : "", out_before);
        if (c.mend) c.mend();
    }

    unlink(err.c_str());
    pid = spawn_fsrake2({"--resume", ck, "--threads", "2"}, err);
    st = reap(pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << read_file(err);
    EXPECT_EQ(diff_sorted(sorted_records(out), ref), "");
    expect_summary_covers(read_file(err), ref.size());
    EXPECT_FALSE(exists(ck));
}

// Without --checkpoint, SIGINT writes out what was listed (whole records of
// the tree) and ends with the same status.
TEST_F(SlowTree, SigintWithoutCheckpointWritesOutWhatWasListed) {
    auto ref = reference();
    pid_t pid = spawn_fsrake2({"--threads", "4", "--output", out, fs->path()}, err);
    sleep_ms(600);
    kill(pid, SIGINT);
    int st = reap(pid);
    ASSERT_TRUE(WIFEXITED(st)) << read_file(err);
    EXPECT_EQ(WEXITSTATUS(st), 75);
    EXPECT_EQ(lines_of(read_file(err)).back(), "fsrake2: stopped; the output is incomplete");
    auto recs = sorted_records(out);
    EXPECT_GT(recs.size(), 0u);
    EXPECT_LT(recs.size(), ref.size());
    std::vector<std::string> foreign;
    std::set_difference(recs.begin(), recs.end(), ref.begin(), ref.end(),
                        std::back_inserter(foreign));
    EXPECT_TRUE(foreign.empty()) << foreign.front();
}

// The checkpoint's disk fills: the failure is said, the walk goes on, and the
// previous checkpoint still resumes the walk to the right end.
TEST_F(SlowTree, DiskFullDuringACheckpointKeepsThePreviousOne) {
    if (!running_as_root()) GTEST_SKIP() << "mounting a small tmpfs needs root";
    std::string small = backing_dir / "small";
    make_dir(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k"), 0) << strerror(errno);
    struct Unmount {
        std::string p;
        ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
    } unmount{small};
    auto ref = reference();
    ck = small + "/ck";
    pid_t pid = spawn_fsrake2(fresh("0.05"), err);
    for (int i = 0; i < 500 && !exists(ck); i++) sleep_ms(10);
    ASSERT_TRUE(exists(ck)) << read_file(err);
    {
        // Fill what is left.
        int fd = open((small + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
        std::string block(4096, 'x');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    }
    bool said = false;
    for (int i = 0; i < 300 && !said; i++) {
        sleep_ms(10);
        said = read_file(err).find("checkpoint not written: " + ck +
                                   ".tmp: write: No space left on device") != std::string::npos;
    }
    kill(pid, SIGKILL);
    reap(pid);
    EXPECT_TRUE(said) << read_file(err);
    EXPECT_FALSE(exists(ck + ".tmp"));
    unlink((small + "/filler").c_str());

    unlink(err.c_str());
    pid = spawn_fsrake2({"--resume", ck}, err);
    int st = reap(pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << read_file(err);
    EXPECT_EQ(diff_sorted(sorted_records(out), ref), "");
}

// A worker held by storage that does not answer keeps a stop waiting (its
// batch never ends); the wait is said, and a second signal ends the run at
// once with the same status.
class DeadMount : public HangfsTest {};

TEST_F(DeadMount, SecondSignalStopsAtOnce) {
    make_dir(backing + "/dead");
    make_many_files(backing, 50);
    mount({"--hang", "readdir:interruptible:/dead"});
    std::string out = backing_dir / "out.csv", ck = backing_dir / "ck", err = backing_dir / "err";
    pid_t pid =
        spawn_fsrake2({"--threads", "2", "--checkpoint", ck, "--output", out, fs->path()}, err);
    sleep_ms(1000);
    kill(pid, SIGTERM);
    bool waiting = false;
    for (int i = 0; i < 1000 && !waiting; i++) {
        sleep_ms(10);
        waiting = read_file(err).find("fsrake2: stopping: waiting for 1 workers busy") !=
                  std::string::npos;
    }
    EXPECT_TRUE(waiting) << read_file(err);
    kill(pid, SIGTERM);
    int st = reap(pid, 5000);
    ASSERT_TRUE(WIFEXITED(st)) << read_file(err);
    EXPECT_EQ(WEXITSTATUS(st), 75);
    EXPECT_EQ(lines_of(read_file(err)).back(),
              "fsrake2: stopped at once; the output is incomplete (a checkpoint, if any, still "
              "holds)");
}

}  // namespace
