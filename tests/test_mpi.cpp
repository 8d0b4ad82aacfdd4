// fsrake2-mpi under a real mpirun on this machine: the shards of 1, 2, 4 and
// 7 ranks together hold exactly the records of one single-process scan (an
// empty root, a chain with nothing to share, a tree with a directory big
// enough to be cut into chunks), one summary with the job's count, work
// spread over the ranks; unreadable directories as an unprivileged user; the
// command-line and root errors as one message and one status; a rank killed
// in the middle of a walk ends the job instead of hanging it; a job stopped
// through mpirun and resumed writes every line once.
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "fr2_config.h"
#include "hangfs_fixture.h"
#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

const int BIG_FILES = 20000;
const int CHUNK = 1000;  // --chunk-entries of the runs

std::string mpi_unavailable_reason() {
    if (!have_command("mpirun")) return "mpirun is not installed (Debian: openmpi-bin)";
    return "";
}

// Open MPI's own libraries are not built with our sanitizers: what they keep
// at exit, and what their threads do unseen by TSan, is theirs, not ours.
// The suppressions name only those libraries.
void use_mpi_suppressions() {
    static bool done = false;
    if (done) return;
    done = true;
    std::string dir = FR2_MPI_SUPPRESSIONS_DIR;
    auto add = [](const char *var, const std::string &opt) {
        const char *old = getenv(var);
        std::string v = old && *old ? std::string(old) + ":" + opt : opt;
        setenv(var, v.c_str(), 1);
    };
    add("LSAN_OPTIONS", "suppressions=" + dir + "/mpi_lsan.supp:print_suppressions=0");
    add("TSAN_OPTIONS", "suppressions=" + dir + "/mpi_tsan.supp");
}

std::vector<std::string> mpirun(int ranks) {
    use_mpi_suppressions();
    return {"mpirun", "--oversubscribe", "--allow-run-as-root", "-n", std::to_string(ranks)};
}

// A record with a directory's access time blanked (reading a directory may
// move it between two scans), fields joined by a separator no test name has.
[[maybe_unused]] std::string comparable(const std::string &rec) {
    Row f = record_fields(rec);
    if (f.size() != COL_COUNT) return "<broken> " + rec;
    if (f[COL_MODE].compare(0, 3, "004") == 0) f[COL_ATIME] = "*";
    std::string s;
    for (auto &x : f) s += x + "\x1f";
    return s;
}

[[maybe_unused]] std::vector<std::string> comparable_sorted(const std::vector<std::string> &recs) {
    std::vector<std::string> v;
    for (auto &r : recs) v.push_back(comparable(r));
    std::sort(v.begin(), v.end());
    return v;
}

// Messages without the rank prefix, progress, summary and setuid warning;
// which worker said it is left out too (it differs from run to run).
std::vector<std::string> plain_messages(const std::string &err) {
    static const std::regex rank_prefix(R"(^rank \d+: )");
    static const std::regex worker_id(R"(^worker \d+: )");
    std::vector<std::string> out;
    for (auto &m : split_stderr(err).messages) {
        std::string s = std::regex_replace(m, rank_prefix, "");
        s = std::regex_replace(s, worker_id, "worker N: ");
        if (s == setuid_warning()) continue;
        out.push_back(s);
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct MpiRun {
    RunResult r;
    std::vector<std::vector<std::string>> shards;  // records of each rank
    std::vector<std::string> all;                  // every record of every shard
};

void read_shards(MpiRun &m, int ranks, const std::string &prefix, bool zst);

// Runs `mpirun -n ranks fsrake2-mpi --header args --output PREFIX root` and
// reads the shards, each checked to start with the header and end whole.
MpiRun run_mpi(int ranks, const std::string &root, const std::vector<std::string> &args,
               const std::string &out_dir, RunOptions opt = with_timeout(600),
               const std::string &binary = FR2_MPI_BINARY) {
    MpiRun m;
    std::vector<std::string> argv = mpirun(ranks);
    argv.push_back(binary);
    argv.push_back("--header");
    argv.insert(argv.end(), args.begin(), args.end());
    std::string prefix = out_dir + "/shard";
    argv.insert(argv.end(), {"--output", prefix, root});
    m.r = run_command(argv, opt);
    bool zst = std::find(args.begin(), args.end(), "--compress") != args.end();
    read_shards(m, ranks, prefix, zst);
    return m;
}

// Reads the shards PREFIX.<rank>.csv[.zst] of a job into m.
void read_shards(MpiRun &m, int ranks, const std::string &prefix, bool zst) {
    for (int k = 0; k < ranks; k++) {
        std::string path = prefix + "." + std::to_string(k) + (zst ? ".csv.zst" : ".csv");
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            ADD_FAILURE() << "no shard " << path;
            m.shards.emplace_back();
            continue;
        }
        std::string text = read_file(path);
        if (zst) {
            RunResult z = run_command({"zstd", "-dc", path});
            EXPECT_EQ(z.status, 0) << path << ": " << z.err;
            text = z.out;
        }
        std::string header = std::string(FR2_CSV_HEADER) + "\n";
        EXPECT_EQ(text.substr(0, header.size()), header) << "shard " << k << " lacks the header";
        std::string rest;
        auto recs = split_records(text.substr(std::min(text.size(), header.size())), &rest);
        EXPECT_EQ(rest, "") << "shard " << k << " ends inside a record";
        m.all.insert(m.all.end(), recs.begin(), recs.end());
        m.shards.push_back(std::move(recs));
    }
}

// The records of the single-process scanner on the same root.
[[maybe_unused]] std::vector<std::string> one_scan(const std::string &root, RunResult *r_out = nullptr,
                                  RunOptions opt = with_timeout(600),
                                  const std::string &binary = FR2_BINARY) {
    RunResult r = run_command({binary, "--threads", "4", root}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    if (r_out) *r_out = r;
    return split_records(r.out);
}

// Checks a finished job: status 0, the shards equal one scan as multisets,
// one summary (rank 0's, last) with the job's count.
[[maybe_unused]] void expect_same_as_one_scan(const MpiRun &m, const std::vector<std::string> &single) {
    EXPECT_FALSE(m.r.timed_out) << "the job did not end";
    EXPECT_EQ(m.r.status, 0) << m.r.err;
    EXPECT_EQ(diff_sorted(comparable_sorted(m.all), comparable_sorted(single)), "");
    ErrParts e = split_stderr(m.r.err);
    EXPECT_EQ(e.summaries, 1) << m.r.err;
    EXPECT_TRUE(e.summary_last) << m.r.err;
    EXPECT_EQ(e.files, (long long)single.size()) << m.r.err;
}

[[maybe_unused]] int shards_with_records(const MpiRun &m) {
    int n = 0;
    for (auto &s : m.shards) n += !s.empty();
    return n;
}

#if !FR2_MPI_SLOW
// The trees of the walks, built once for all rank counts.
struct Trees {
    TempDir tmp{big_tree_base()};
    std::string empty = tmp / "empty";
    std::string chain = tmp / "chain";
    std::string mixed = tmp / "mixed";
    std::string big = mixed + "/big";
    long long big_sum = 0;
    Trees() {
        make_dir(empty);
        make_dir(chain);
        std::string p = chain;
        for (int d = 0; d < 300; d++) {
            p += "/c";
            make_dir(p);
            write_file(p + "/f", std::to_string(d));
        }
        make_dir(mixed);
        make_dir(big);
        make_many_files(big, BIG_FILES);
        for (int i = 0; i < BIG_FILES; i++) big_sum += i % 4096;
        for (int d = 0; d < 24; d++) {
            std::string sub = mixed + "/d" + std::to_string(d);
            make_dir(sub);
            make_many_files(sub, 20 + d);
            for (int s = 0; s < 3; s++) {
                make_dir(sub + "/s" + std::to_string(s));
                make_many_files(sub + "/s" + std::to_string(s), 15);
            }
        }
        make_dir(mixed + "/empty");
        make_symlink("big", mixed + "/link-to-dir");
        freeze_atimes(empty);
        freeze_atimes(chain);
        freeze_atimes(mixed);
    }
};

Trees *g_trees;

class MpiWalk : public testing::TestWithParam<int> {
  protected:
    static void SetUpTestSuite() {
        if (mpi_unavailable_reason().empty()) g_trees = new Trees;
    }
    static void TearDownTestSuite() {
        delete g_trees;
        g_trees = nullptr;
    }
    void SetUp() override {
        std::string why = mpi_unavailable_reason();
        if (!why.empty()) GTEST_SKIP() << why;
    }
    TempDir out;
};

// One record in all; the root may have been stolen before rank 0's workers
// took it, so any one shard may hold it.
TEST_P(MpiWalk, EmptyRootIsOneRecord) {
    int ranks = GetParam();
    MpiRun m = run_mpi(ranks, g_trees->empty, {"--threads", "2"}, out.path());
    expect_same_as_one_scan(m, one_scan(g_trees->empty));
    EXPECT_EQ(shards_with_records(m), 1);
}

TEST_P(MpiWalk, ChainWithNothingToShare) {
    int ranks = GetParam();
    MpiRun m = run_mpi(ranks, g_trees->chain, {"--threads", "2"}, out.path());
    expect_same_as_one_scan(m, one_scan(g_trees->chain));
}

TEST_P(MpiWalk, MixedTreeWithABigDirectorySpreadOverRanks) {
    int ranks = GetParam();
    MpiRun m = run_mpi(ranks, g_trees->mixed,
                       {"--threads", "2", "--chunk-entries", std::to_string(CHUNK)}, out.path());
    expect_same_as_one_scan(m, one_scan(g_trees->mixed));

    // The big directory's line counts every entry, whoever statted them.
    Row big = find_record(m.all, g_trees->big);
    EXPECT_EQ(big[COL_FCOUNT], std::to_string(BIG_FILES));
    EXPECT_EQ(big[COL_DIRSUM], std::to_string(g_trees->big_sum));
    if (ranks == 1) return;
    EXPECT_GT(shards_with_records(m), 1) << "one rank did all the work";
    int ranks_with_big_files = 0;
    for (auto &shard : m.shards) {
        bool has = false;
        for (auto &rec : shard)
            if (rec.find("\"" + g_trees->big + "/f") != std::string::npos) {
                has = true;
                break;
            }
        ranks_with_big_files += has;
    }
    EXPECT_GT(ranks_with_big_files, 1) << "the big directory's files all stayed on one rank";
}

// Compressed shards, read back by the zstd tool, hold the same lines; the
// lines of big directories that a remote rank finished are in them too. (A
// scanner option with a value, --stat-mode, goes along with its value.)
TEST_P(MpiWalk, CompressedShardsHoldTheSameLines) {
    if (!have_command("zstd")) GTEST_SKIP() << "no zstd tool to read the shards back";
    MpiRun m = run_mpi(GetParam(), g_trees->mixed,
                       {"--threads", "2", "--stat-mode", "sync", "--chunk-entries",
                        std::to_string(CHUNK), "--compress"},
                       out.path());
    expect_same_as_one_scan(m, one_scan(g_trees->mixed));
}

INSTANTIATE_TEST_SUITE_P(Ranks, MpiWalk, testing::Values(1, 2, 4, 7),
                         [](const testing::TestParamInfo<int> &i) {
                             return std::to_string(i.param) + "ranks";
                         });

class MpiErrors : public testing::Test {
  protected:
    void SetUp() override {
        std::string why = mpi_unavailable_reason();
        if (!why.empty()) GTEST_SKIP() << why;
    }
    TempDir tmp;
};

int count_lines_matching(const std::string &err, const std::string &needle) {
    int n = 0;
    for (auto &line : split_lines(err)) n += line.find(needle) != std::string::npos;
    return n;
}

TEST_F(MpiErrors, OutputIsRequiredAndSaysWhyOnce) {
    std::vector<std::string> argv = mpirun(3);
    argv.insert(argv.end(), {FR2_MPI_BINARY, tmp.path()});
    RunResult r = run_command(argv, with_timeout(120));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(count_lines_matching(r.err, "--output PREFIX is required"), 1) << r.err;
    EXPECT_NE(r.err.find("can cut lines"), std::string::npos) << r.err;
}

TEST_F(MpiErrors, RootThatCannotBeStattedIsOneMessageAndItsErrno) {
    std::vector<std::string> argv = mpirun(3);
    std::string missing = tmp / "missing";
    argv.insert(argv.end(), {FR2_MPI_BINARY, "--output", tmp / "shard", missing});
    RunResult r = run_command(argv, with_timeout(120));
    EXPECT_EQ(r.status, ENOENT) << r.err;
    EXPECT_EQ(count_lines_matching(r.err, "fsrake2: statx '" + missing + "'"), 1) << r.err;
    EXPECT_FALSE(std::ifstream(tmp / "shard.0.csv").good()) << "a failed run left a shard";
}

TEST_F(MpiErrors, UnknownOptionIsOneMessage) {
    std::vector<std::string> argv = mpirun(3);
    argv.insert(argv.end(), {FR2_MPI_BINARY, "--bogus", "--output", tmp / "s", tmp.path()});
    RunResult r = run_command(argv, with_timeout(120));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(count_lines_matching(r.err, "Unknown option: --bogus"), 1) << r.err;
}

TEST_F(MpiErrors, CompressLevelOutOfRangeIsOneMessageAndNoShard) {
    std::vector<std::string> argv = mpirun(3);
    argv.insert(argv.end(),
                {FR2_MPI_BINARY, "--compress-level", "30", "--output", tmp / "s", tmp.path()});
    RunResult r = run_command(argv, with_timeout(120));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(count_lines_matching(r.err, "--compress-level must be from -7 to 19, not '30'"), 1)
        << r.err;
    EXPECT_FALSE(std::ifstream(tmp / "s.0.csv.zst").good()) << "a refused run left a shard";
}

// As uid 65534: directories it cannot open are "Locked Dir" (whichever rank
// met them), still counted in their parent; the records and messages are
// the single-process scan's.
TEST(MpiUnprivileged, UnreadableDirectoriesAsInOneScan) {
    std::string why = mpi_unavailable_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    if (running_as_root() && !have_command("setpriv")) GTEST_SKIP() << "no setpriv to drop root";
    TempDir tmp;
    chmod(tmp.path().c_str(), 0755);
    std::string root = tmp / "u";
    make_dirs(root + "/open/inner");
    write_file(root + "/open/f", "f");
    for (int d = 0; d < 12; d++) {
        std::string sub = root + "/d" + std::to_string(d);
        make_dirs(sub + "/x");
        write_file(sub + "/x/g", "gg");
        make_many_files(sub, 10);
    }
    make_dirs(root + "/locked/below");
    write_file(root + "/locked/secret", "s");
    chmod((root + "/locked").c_str(), 0000);
    make_dirs(root + "/d3/locked2");
    chmod((root + "/d3/locked2").c_str(), 0000);
    make_dirs(root + "/listonly/y");
    write_file(root + "/listonly/l", "l");
    chmod((root + "/listonly").c_str(), 0644);
    freeze_atimes(root);
    // The build folder may be out of the user's reach: run copies.
    std::string single = tmp / "fsrake2", multi = tmp / "fsrake2-mpi";
    write_file(single, read_file(FR2_BINARY));
    write_file(multi, read_file(FR2_MPI_BINARY));
    chmod(single.c_str(), 0755);
    chmod(multi.c_str(), 0755);
    std::string out = tmp / "out";
    make_dir(out, 0777);
    chmod(out.c_str(), 0777);

    RunOptions opt = with_timeout(600);
    opt.prefix = unprivileged_prefix();
    if (!opt.prefix.empty()) opt.prefix.insert(opt.prefix.end(), {"env", "HOME=" + out});
    RunResult r1;
    std::vector<std::string> recs = one_scan(root, &r1, opt, single);
    MpiRun m = run_mpi(4, root, {"--threads", "2"}, out, opt, multi);
    expect_same_as_one_scan(m, recs);
    EXPECT_EQ(plain_messages(m.r.err), plain_messages(r1.err)) << m.r.err;
    EXPECT_EQ(count_lines_matching(m.r.err, setuid_warning()), 1)
        << "the setuid warning once per job";
    EXPECT_NE(count_lines_matching(m.r.err, "Locked Dir: " + root + "/locked"), 0);
}

// ---- a rank that dies ----------------------------------------------------------

// mpirun in the background, standard error to err_path (-1 when it cannot
// be started).
pid_t spawn_job(const std::vector<std::string> &argv, const std::string &err_path) {
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t job = -1;
    if (posix_spawnp(&job, "mpirun", &fa, nullptr, cargv.data(), environ) != 0) job = -1;
    posix_spawn_file_actions_destroy(&fa);
    return job;
}

// A tree of 8 directories of 1,999 files (16,001 entries), atimes frozen.
std::string make_rate_tree(const TempDir &tmp) {
    std::string root = tmp / "r";
    make_dir(root);
    for (int d = 0; d < 8; d++) {
        make_dir(root + "/d" + std::to_string(d));
        make_many_files(root + "/d" + std::to_string(d), 1999);
    }
    freeze_atimes(root);
    return root;
}


// The pids of the processes whose parent is `parent` and whose command line
// names `what`.
std::vector<pid_t> children_named(pid_t parent, const std::string &what) {
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    if (!d) return pids;
    while (struct dirent *e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0) continue;
        std::string stat = read_file("/proc/" + std::string(e->d_name) + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        int ppid = 0;
        char state;
        if (sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid) != 2) continue;
        if (ppid != parent) continue;
        std::string cmd = read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        if (cmd.find(what) != std::string::npos) pids.push_back(pid);
    }
    closedir(d);
    return pids;
}

// The entry rate cap is the job's: four ranks share it rather than each
// listing at the whole rate.
TEST(MpiRate, FourRanksShareTheJobsCap) {
    std::string why = mpi_unavailable_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir tmp{big_tree_base()};
    std::string root = make_rate_tree(tmp);
    std::vector<std::string> single = one_scan(root);
    ASSERT_EQ(single.size(), 16001u);
    TempDir out;
    auto start = std::chrono::steady_clock::now();
    // Two workers a rank leave most directories queued, for the other ranks to steal.
    MpiRun m = run_mpi(4, root, {"--threads", "2", "--max-rate", "2000"}, out.path(),
                       with_timeout(120));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    expect_same_as_one_scan(m, single);
    // 8 s at the job's rate; 2 s and the job's start had each rank taken it.
    EXPECT_GE(took, 6.5);
    EXPECT_GE(shards_with_records(m), 2);
}
#endif  // !FR2_MPI_SLOW

class MpiFaults : public HangfsTest {
  protected:
    void SetUp() override {
        std::string why = mpi_unavailable_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        HangfsTest::SetUp();
    }
};

#if !FR2_MPI_SLOW
// A walk that cannot end by itself (a directory whose listing hangs until the
// watchdog's minute), and one rank killed with SIGKILL after a few seconds:
// mpirun ends the job with a non-zero status and names the rank, well within
// the watchdog's minute.
TEST_F(MpiFaults, KilledRankEndsTheJobNonZero) {
    for (int d = 0; d < 20; d++) {
        std::string sub = backing + "/d" + std::to_string(d);
        make_dir(sub);
        make_many_files(sub, 30);
    }
    make_dir(backing + "/slow");
    write_file(backing + "/slow/f", "f");
    mount({"--hang", "readdir:interruptible:/slow", "--threads", "32"});
    TempDir out;
    std::string err_path = out / "mpirun.err";

    std::vector<std::string> argv = mpirun(3);
    argv.insert(argv.end(), {FR2_MPI_BINARY, "--threads", "2", "--output", out / "shard",
                             fs->path()});
    pid_t job = spawn_job(argv, err_path);
    ASSERT_GT(job, 0);

    // Wait for the ranks, and for the walk to be under way.
    std::vector<pid_t> ranks;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
        ranks = children_named(job, "fsrake2-mpi");
        if (ranks.size() == 3) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(ranks.size(), 3u) << read_file(err_path);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    int status = 0;
    ASSERT_EQ(waitpid(job, &status, WNOHANG), 0) << "the job ended before the kill: "
                                                 << read_file(err_path);
    pid_t victim = ranks[1];
    // Which rank it is, from what the launcher told it.
    std::string env = read_file("/proc/" + std::to_string(victim) + "/environ");
    std::string key = std::string("OMPI_COMM_WORLD_RANK=");
    size_t at = env.find(key);
    ASSERT_NE(at, std::string::npos);
    std::string victim_rank = env.substr(at + key.size(), env.find('\0', at) - at - key.size());
    ASSERT_EQ(kill(victim, SIGKILL), 0);

    auto killed_at = std::chrono::steady_clock::now();
    pid_t got = 0;
    while ((got = waitpid(job, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - killed_at < std::chrono::seconds(45))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (got == 0) {
        kill(job, SIGKILL);
        waitpid(job, &status, 0);
        FAIL() << "the job still ran 45 s after a rank was killed:\n" << read_file(err_path);
    }
    std::string err = read_file(err_path);
    EXPECT_TRUE(!WIFEXITED(status) || WEXITSTATUS(status) != 0) << err;
    // mpirun's own notice ("process rank 1 with PID ... exited on signal 9").
    EXPECT_NE(err.find("process rank " + victim_rank + " with PID"), std::string::npos)
        << "no message names the killed rank " << victim_rank << ":\n" << err;
}

#else
// One rank's worker hangs in the listing of a directory: that rank's own
// watchdog interrupts it after its minute ("Timeout Dir", no line for the
// directory), and the job finishes with everything else listed.
TEST_F(MpiFaults, HangingDirectoryIsLeftByItsRanksWatchdog) {
    for (int d = 0; d < 12; d++) {
        std::string sub = backing + "/d" + std::to_string(d);
        make_dir(sub);
        make_many_files(sub, 20);
    }
    make_dir(backing + "/slow");
    write_file(backing + "/slow/f", "f");
    mount({"--hang", "readdir:interruptible:/slow", "--threads", "32"});
    TempDir out;
    MpiRun m = run_mpi(3, fs->path(), {"--threads", "2"}, out.path(), with_timeout(400));
    EXPECT_FALSE(m.r.timed_out);
    EXPECT_EQ(m.r.status, 0) << m.r.err;
    std::string slow = fs->path() + "/slow";
    std::vector<std::string> msgs = plain_messages(m.r.err);
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "Timeout Dir: " + slow), 1) << m.r.err;
    EXPECT_NE(m.r.err.find("watchdog: worker"), std::string::npos) << m.r.err;
    // Everything but the hung directory and what is in it has its record.
    size_t want = 1 + 12 * 21;  // the root, each d with its 20 files
    EXPECT_EQ(m.all.size(), want) << m.r.err;
    EXPECT_FALSE(has_record(m.all, slow));
    EXPECT_EQ(split_stderr(m.r.err).files, (long long)want) << m.r.err;
}
#endif

// ---- a job stopped and resumed ---------------------------------------------------

#if !FR2_MPI_SLOW
// SIGTERM to mpirun, twice in a row (the second time to a resumed job), and
// a last resume to the end: the compressed shards hold exactly one scan's
// lines, the summary counts all of them, and the checkpoint files are gone.
// A resume with another number of ranks is refused and touches nothing.
TEST(MpiCheckpoint, StoppedTwiceAndResumedHoldsOneScansLines) {
    std::string why = mpi_unavailable_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir tmp{big_tree_base()};
    std::string root = make_rate_tree(tmp);
    std::vector<std::string> single = one_scan(root);
    TempDir out;
    std::string prefix = out / "shard", ck = out / "ck", err = out / "err";
    // Open MPI passes SIGTERM on to the ranks after this many seconds, and
    // kills them as many seconds later.
    auto job = [&](int ranks) {
        std::vector<std::string> argv = mpirun(ranks);
        argv.insert(argv.begin() + 1, {"--mca", "odls_base_sigkill_timeout", "2"});
        argv.push_back(FR2_MPI_BINARY);
        return argv;
    };
    // Stopped once the job has committed a checkpoint of its own (its ranks
    // are then walking, their signal handlers in place).
    auto stop_after_a_checkpoint = [&](std::vector<std::string> argv) {
        std::string was = read_file(ck);
        pid_t pid = spawn_job(argv, err);
        ASSERT_GT(pid, 0);
        auto start = std::chrono::steady_clock::now();
        while (read_file(ck) == was &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        std::string text = read_file(err);
        EXPECT_NE(status, 0) << text;
        EXPECT_EQ(count_lines_matching(text, "fsrake2-mpi: stopped; resume with --resume " + ck), 1)
            << text;
    };

    std::vector<std::string> first = job(3);
    first.insert(first.end(), {"--header", "--threads", "2", "--max-rate", "1500", "--checkpoint",
                               ck, "--checkpoint-every", "0.2", "--compress", "--output", prefix,
                               root});
    stop_after_a_checkpoint(first);
    ASSERT_EQ(access(ck.c_str(), F_OK), 0) << read_file(err);

    std::string shard0 = prefix + ".0.csv.zst", before = read_file(shard0);
    std::vector<std::string> other = job(2);
    other.insert(other.end(), {"--resume", ck});
    RunResult r = run_command(other, with_timeout(120));
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(count_lines_matching(r.err, "written by a job of 3 ranks; resume it with mpirun -n 3"),
              1)
        << r.err;
    EXPECT_EQ(read_file(shard0), before);

    std::vector<std::string> again = job(3);
    again.insert(again.end(), {"--max-rate", "1500", "--checkpoint-every", "0.2", "--resume", ck});
    stop_after_a_checkpoint(again);

    std::vector<std::string> last = job(3);
    last.insert(last.end(), {"--resume", ck});
    MpiRun m;
    m.r = run_command(last, with_timeout(120));
    read_shards(m, 3, prefix, true);
    expect_same_as_one_scan(m, single);
    EXPECT_EQ(access(ck.c_str(), F_OK), -1);
    for (int k = 0; k < 3; k++)
        for (int slot = 0; slot < 2; slot++) {
            std::string part = ck + "." + std::to_string(k) + ".ck" + std::to_string(slot);
            EXPECT_EQ(access(part.c_str(), F_OK), -1) << part;
        }
}
#endif

}  // namespace
