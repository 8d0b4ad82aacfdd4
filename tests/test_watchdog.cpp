// The monitor on storage that really hangs, served by hangfs (a FUSE file
// system, helpers/hangfs.c): the watchdog interrupts a worker held a minute in
// open() or getdents64() and the rest of the tree is still listed; a hang that
// no signal breaks ends in the no-progress exit with the output written so far
// intact; a long walk reports its progress on standard error only.
//
// Built twice: FR2_WATCHDOG_SLOW=1 holds the tests that wait out the
// watchdog's minute and the no-progress exit's five minutes (label "slow"),
// FR2_WATCHDOG_SLOW=0 the progress test, which takes seconds.
#include <gtest/gtest.h>

#include <time.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "hangfs_fixture.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

class Hangfs : public HangfsTest {
  protected:
    // Every path the scanner may list, as it composes it under the mount
    // point, leaving out the subtrees named (relative to the root).
    std::set<std::string> listable(const std::set<std::string> &left_out = {}) const {
        std::set<std::string> paths;
        for (auto &[p, st] : lstat_tree(backing)) {
            std::string rel = p.substr(backing.size());
            bool out = false;
            for (auto &l : left_out)
                if (rel == "/" + l || rel.compare(0, l.size() + 2, "/" + l + "/") == 0) out = true;
            if (!out) paths.insert(fs->path() + rel);
        }
        return paths;
    }
};

// The records of a run: whole 17-field records only, keyed by path.
std::map<std::string, Row> records_by_path(const std::string &out, std::string *rest,
                                           int *broken, int *duplicates) {
    std::map<std::string, Row> recs;
    *broken = *duplicates = 0;
    for (auto &rec : split_records(out, rest)) {
        Row f = record_fields(rec);
        if (f.size() != COL_COUNT) {
            if ((*broken)++ < 5) ADD_FAILURE() << "not a whole 17-field record: " << rec;
            continue;
        }
        if (!recs.emplace(f[COL_PATH], f).second) (*duplicates)++;
    }
    return recs;
}

std::string set_diff(const std::set<std::string> &a, const std::set<std::string> &b) {
    std::string s;
    int n = 0;
    for (auto &x : a)
        if (!b.count(x) && n++ < 8) s += "  " + x + "\n";
    return s;
}

struct Summary {
    bool found = false;
    long long files = 0;
    long seconds = 0;
};

Summary find_summary(const std::string &err) {
    static const std::regex re(R"(fsrake2 done: (\d+) files, \d+\.\d\d GB, (\d+) sec, \d+ files/sec)");
    Summary s;
    for (auto &line : split_lines(err)) {
        std::smatch m;
        if (std::regex_match(line, m, re)) {
            s.found = true;
            s.files = std::stoll(m[1]);
            s.seconds = std::stol(m[2]);
        }
    }
    return s;
}

int64_t monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

}  // namespace

#if FR2_WATCHDOG_SLOW

// A soft-mount hang: hangfs holds the opendir of one directory and the readdir
// of another until the kernel interrupts the request. The watchdog must report
// each worker once its minute is up, interrupt it, and the worker must give the
// directory up; everything else is listed and the run ends by itself.
TEST_F(Hangfs, WatchdogInterruptsHungOpenAndReaddirAndTheWalkGoesOn) {
    for (int i = 0; i < 10; i++) write_file(backing + "/top" + std::to_string(i), "x");
    make_dirs(backing + "/a/deep");
    make_many_files(backing + "/a", 150);
    make_many_files(backing + "/a/deep", 20);
    make_dirs(backing + "/slow_readdir/sub");
    make_many_files(backing + "/slow_readdir", 10);
    make_dirs(backing + "/slow_open/sub");
    make_many_files(backing + "/slow_open", 10);
    make_dir(backing + "/b");
    make_many_files(backing + "/b", 300);
    mount({"--hang", "readdir:interruptible:/slow_readdir", "--hang",
           "opendir:interruptible:/slow_open"});
    const std::string hung_read = fs->path() + "/slow_readdir";
    const std::string hung_open = fs->path() + "/slow_open";

    // Beside the walk, two walks whose root is one of the hung directories:
    // given up, they listed nothing, and must not end as if they had.
    RunResult hung_roots[2];
    std::thread beside([&] {
        std::thread other([&] { hung_roots[1] = run_fsrake2({hung_read}, with_timeout(240)); });
        hung_roots[0] = run_fsrake2({hung_open}, with_timeout(240));
        other.join();
    });
    int64_t t0 = monotonic_seconds();
    RunResult r = run_fsrake2({"--threads", "4", fs->path()}, with_timeout(240));
    int64_t took = monotonic_seconds() - t0;
    beside.join();
    for (int i = 0; i < 2; i++) {
        const std::string &root = i == 0 ? hung_open : hung_read;
        SCOPED_TRACE(root);
        EXPECT_EQ(hung_roots[i].status, ETIMEDOUT) << hung_roots[i].err;
        EXPECT_EQ(hung_roots[i].out, "");
        EXPECT_NE(hung_roots[i].err.find("fsrake2: cannot read directory '" + root +
                                         "': Connection timed out\n"),
                  std::string::npos)
            << hung_roots[i].err;
    }
    ASSERT_FALSE(r.timed_out) << r.err;
    EXPECT_EQ(r.term_signal, 0) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;

    // Standard error: one watchdog report and one "Timeout Dir" per hung
    // directory, in that order; nothing else besides progress and summary.
    static const std::regex watchdog(
        R"(fsrake2: watchdog: worker (\d+) stuck in (open\(\)|getdents64\(\)) for (\d+)s on (.*))");
    std::map<std::string, std::vector<size_t>> reports, timeouts;  // path -> message indexes
    std::map<std::string, std::string> call;
    ErrParts e = split_stderr(r.err);
    for (size_t i = 0; i < e.messages.size(); i++) {
        const std::string &msg = e.messages[i];
        std::smatch m;
        if (std::regex_match(msg, m, watchdog)) {
            std::string path = m[4];
            reports[path].push_back(i);
            call[path] = m[2];
            EXPECT_LT(std::stoi(m[1]), 4) << msg;
            long secs = std::stol(m[3]);
            EXPECT_GE(secs, 60) << msg;
            EXPECT_LE(secs, 65) << msg;
        } else if (msg.rfind("Timeout Dir: ", 0) == 0) {
            timeouts[msg.substr(13)].push_back(i);
        } else {
            ADD_FAILURE() << "unexpected message: " << msg;
        }
    }
    for (const std::string &p : {hung_read, hung_open}) {
        SCOPED_TRACE(p);
        ASSERT_EQ(reports[p].size(), 1u) << "the worker was not interrupted at its first report:\n"
                                         << r.err;
        ASSERT_EQ(timeouts[p].size(), 1u) << r.err;
        EXPECT_LT(reports[p][0], timeouts[p][0]) << "Timeout Dir before the watchdog report";
    }
    EXPECT_EQ(call[hung_read], "getdents64()");
    EXPECT_EQ(call[hung_open], "open()");
    EXPECT_EQ(reports.size(), 2u) << r.err;
    EXPECT_EQ(timeouts.size(), 2u) << r.err;
    // The kernel really interrupted the requests (rather than the caller dying).
    std::string log = fs->log();
    EXPECT_NE(log.find("readdir /slow_readdir: interrupted"), std::string::npos) << log;
    EXPECT_NE(log.find("opendir /slow_open: interrupted"), std::string::npos) << log;

    // Standard output: every entry but the two given-up directories and what
    // is below them; the root still counts them among its entries.
    std::string rest;
    int broken, dups;
    auto recs = records_by_path(r.out, &rest, &broken, &dups);
    EXPECT_EQ(rest, "");
    EXPECT_EQ(dups, 0);
    std::set<std::string> got;
    for (auto &[p, f] : recs) got.insert(p);
    std::set<std::string> want = listable({"slow_readdir", "slow_open"});
    EXPECT_EQ(got, want) << "missing:\n" << set_diff(want, got) << "unexpected:\n" << set_diff(got, want);
    ASSERT_TRUE(recs.count(fs->path()));
    EXPECT_EQ(recs[fs->path()][COL_FCOUNT], "14") << "the root has 10 files and 4 directories";
    EXPECT_EQ(r.out.find("fsrake2"), std::string::npos) << "a message on standard output";

    // The run ended soon after the interrupts, not by the no-progress exit.
    Summary s = find_summary(r.err);
    ASSERT_TRUE(s.found) << r.err;
    EXPECT_EQ(s.files, (long long)recs.size());
    EXPECT_GE(s.seconds, 60);
    EXPECT_LT(took, 120) << r.err;
}

// A dead hard mount: the readdir of one directory ignores interrupts, so the
// watchdog's signal cannot free the worker and the line count stops. After 60
// samples without progress the run ends itself, with the message and the
// summary, and a status that does not claim success; what it had written to
// standard output by then is whole records of real entries.
TEST_F(Hangfs, UninterruptibleHangEndsInTheNoProgressExit) {
    for (int i = 0; i < 5; i++) write_file(backing + "/top" + std::to_string(i), "x");
    make_dir(backing + "/data");
    make_many_files(backing + "/data", 3000);  // several 64 KiB buffers of records
    make_dir(backing + "/stuck");
    make_many_files(backing + "/stuck", 10);
    mount({"--hang", "readdir:stuck:/stuck"});
    const std::string stuck = fs->path() + "/stuck";

    RunResult r = run_fsrake2({"--threads", "2", fs->path()}, with_timeout(450));
    ASSERT_FALSE(r.timed_out) << "the run did not end by itself:\n" << r.err;
    EXPECT_EQ(r.term_signal, 0) << r.err;
    // A forced exit after lost output is not a success.
    EXPECT_NE(r.status, 0) << r.err;

    auto lines = split_lines(r.err);
    const std::string no_progress =
        "fsrake2: no progress for 300 seconds, forcing exit (threads stuck on uninterruptible I/O)";
    size_t np = std::find(lines.begin(), lines.end(), no_progress) - lines.begin();
    ASSERT_LT(np, lines.size()) << r.err;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), no_progress), 1) << r.err;
    static const std::regex summary(R"(fsrake2 done: \d+ files, \d+\.\d\d GB, (\d+) sec, \d+ files/sec)");
    bool summary_after = false;
    for (size_t i = np + 1; i < lines.size(); i++) {
        std::smatch m;
        if (std::regex_match(lines[i], m, summary)) {
            summary_after = true;
            EXPECT_GE(std::stol(m[1]), 300) << lines[i];
        }
    }
    EXPECT_TRUE(summary_after) << "no summary after the no-progress message:\n" << r.err;

    // The watchdog kept trying: a report every sample, the duration growing,
    // and the worker never gave the directory up.
    static const std::regex watchdog(
        R"(fsrake2: watchdog: worker \d+ stuck in getdents64\(\) for (\d+)s on (.*))");
    std::vector<long> durations;
    for (auto &line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, watchdog) && m[2] == stuck) durations.push_back(std::stol(m[1]));
    }
    ASSERT_GE(durations.size(), 2u) << r.err;
    EXPECT_TRUE(std::is_sorted(durations.begin(), durations.end()));
    EXPECT_GT(durations.back(), durations.front());
    EXPECT_EQ(r.err.find("Timeout Dir: " + stuck), std::string::npos) << r.err;

    // Standard output: whole records, each of a real entry, none twice; most
    // of the big directory had been written out before the stall.
    std::string rest;
    int broken, dups;
    auto recs = records_by_path(r.out, &rest, &broken, &dups);
    EXPECT_EQ(rest, "") << "standard output ends inside a record";
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(dups, 0);
    // Everything but the stuck directory was listed, and the lines still in
    // the workers' buffers were written out before the exit.
    std::set<std::string> want = listable({"stuck"});
    std::set<std::string> got;
    for (auto &[p, f] : recs) got.insert(p);
    EXPECT_EQ(got, want) << "missing:\n"
                         << set_diff(want, got) << "unexpected:\n"
                         << set_diff(got, want);
    EXPECT_EQ(r.out.find("fsrake2"), std::string::npos) << "a message on standard output";
}

// A dead mount met before any worker has published a count: the root's five
// files and its own line are still in a worker's buffer, the only other
// directory's opendir ignores every interrupt. The no-progress exit covers
// this run too, with its message and status 3, instead of sampling "0 files"
// for ever.
TEST_F(Hangfs, DeadMountBeforeTheFirstCountEndsInTheNoProgressExit) {
    for (int i = 0; i < 5; i++) write_file(backing + "/f" + std::to_string(i), "x");
    make_dir(backing + "/dead");
    make_many_files(backing + "/dead", 3);
    mount({"--hang", "opendir:stuck:/dead"});

    // The same walk into a .zst file beside it: its frames are written out too.
    TempDir out;
    const std::string zst = out / "scan.csv.zst";
    RunResult z;
    std::thread beside([&] {
        z = run_fsrake2({"--threads", "2", "--output", zst, fs->path()}, with_timeout(480));
    });
    int64_t t0 = monotonic_seconds();
    RunResult r = run_fsrake2({"--threads", "2", fs->path()}, with_timeout(480));
    int64_t took = monotonic_seconds() - t0;
    beside.join();
    ASSERT_FALSE(r.timed_out) << "the run never ended:\n" << r.err.substr(r.err.size() > 2000 ? r.err.size() - 2000 : 0);
    EXPECT_EQ(r.term_signal, 0) << r.err;
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("fsrake2: no progress for 300 seconds, forcing exit (threads stuck on "
                         "uninterruptible I/O)\n"),
              std::string::npos)
        << r.err;
    EXPECT_GE(took, 300);
    EXPECT_NE(r.err.find("fsrake2: watchdog: worker "), std::string::npos) << r.err;
    // The root's files and its own line were only in a worker's buffer: the
    // forced exit wrote them out, to standard output and to the .zst file.
    EXPECT_EQ(z.status, 3) << z.err;
    RunResult unz = run_command({"zstd", "-dc", zst});
    EXPECT_EQ(unz.status, 0) << unz.err;
    for (const std::string &text : {r.out, unz.out}) {
        std::string rest;
        std::vector<std::string> recs = split_records(text, &rest);
        EXPECT_EQ(rest, "") << "the output ends inside a record";
        std::set<std::string> got;
        for (auto &rec : recs) got.insert(record_fields(rec).at(COL_PATH));
        std::set<std::string> want = listable({"dead"});
        EXPECT_EQ(got, want) << "missing:\n" << set_diff(want, got);
    }
}

// A reader of standard output that takes one pipe's worth and then sleeps
// five and a half minutes: the workers wait on the output, not on storage, so
// the no-progress exit must not fire; once the reader wakes up it gets every
// line and the run ends with status 0.
TEST(SlowReader, WaitingOnTheOutputIsNotAStall) {
    TempDir tree(big_tree_base());
    for (int d = 0; d < 40; d++) {
        std::string dir = tree / ("dir" + std::to_string(d));
        make_dir(dir);
        for (int f = 0; f < 500; f++)
            write_file(dir + "/a-rather-long-file-name-to-fill-the-output-" + std::to_string(f));
    }
    freeze_atimes(tree.path());
    Model m = model_walk(tree.path());

    std::string err_path = tree.path() + ".err";
    std::string cmd = shell_quote(FR2_BINARY) + " " + shell_quote(tree.path()) + " 2>" +
                      shell_quote(err_path) +
                      " | { head -c 65536; sleep 330; cat; }; echo \"status=${PIPESTATUS[0]}\" >&2";
    RunResult r = run_command({"bash", "-c", cmd}, with_timeout(500));
    std::string err = read_file(err_path);
    unlink(err_path.c_str());
    ASSERT_FALSE(r.timed_out) << err;
    EXPECT_NE(r.err.find("status=0\n"), std::string::npos) << r.err << err;
    EXPECT_EQ(err.find("no progress"), std::string::npos) << err;
    std::vector<std::string> recs = split_records(r.out);
    std::sort(recs.begin(), recs.end());
    EXPECT_EQ(diff_sorted(recs, m.records), "");
}

#else  // !FR2_WATCHDOG_SLOW

// Every request of hangfs waits 8 ms, so a walk of a few hundred directories
// takes well over 8 seconds: progress lines at 2 s, 7 s, ... on standard error,
// with counts that never go back; standard output holds records only.
TEST_F(Hangfs, ProgressLinesOnALongWalkGoToStandardErrorOnly) {
    // A chain of directories is walked one level after another whatever the
    // thread count, and each level costs several requests (the open walks
    // the whole path again, as nothing is cached).
    std::string d = backing;
    for (int level = 0; level < 45; level++) {
        d += "/level" + std::to_string(level);
        make_dir(d);
        make_many_files(d, 20);
    }
    mount({"--delay-us", "8000"});

    int64_t t0 = monotonic_seconds();
    RunResult r = run_fsrake2({"--threads", "4", fs->path()}, with_timeout(150));
    int64_t took = monotonic_seconds() - t0;
    ASSERT_FALSE(r.timed_out) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_GE(took, 9) << "the walk was too quick to show progress; make the tree slower";

    static const std::regex progress(R"(fsrake2: (\d+) files, (\d+\.\d\d) GB, (\d+) sec, (\d+) files/sec)");
    long long last_files = -1;
    long last_sec = -1;
    int lines = 0;
    for (auto &line : split_lines(r.err)) {
        std::smatch m;
        if (!std::regex_match(line, m, progress)) continue;
        lines++;
        long long files = std::stoll(m[1]);
        long sec = std::stol(m[3]), rate = std::stol(m[4]);
        EXPECT_GE(files, last_files) << line;
        EXPECT_GT(sec, last_sec) << line;
        EXPECT_EQ(rate, sec > 0 ? long(files / sec) : 0) << line;
        last_files = files;
        last_sec = sec;
    }
    // Samples at 2, 7, 12 ... seconds: at least (took - 2) / 5 + 1 of them, less
    // one for a start-up that took a second.
    EXPECT_GE(lines, int((took - 2) / 5)) << r.err;
    EXPECT_GE(lines, 2) << r.err;

    Summary s = find_summary(r.err);
    ASSERT_TRUE(s.found) << r.err;
    EXPECT_LE(last_files, s.files);

    // Nothing but records on standard output, and all of them.
    EXPECT_EQ(r.out.find("fsrake2"), std::string::npos) << "a message on standard output";
    std::string rest;
    int broken, dups;
    auto recs = records_by_path(r.out, &rest, &broken, &dups);
    EXPECT_EQ(rest, "");
    EXPECT_EQ(dups, 0);
    std::set<std::string> got;
    for (auto &[p, f] : recs) got.insert(p);
    std::set<std::string> want = listable();
    EXPECT_EQ(got, want) << "missing:\n" << set_diff(want, got) << "unexpected:\n" << set_diff(got, want);
    EXPECT_EQ(s.files, (long long)recs.size());
}


// Walks that end around the first progress sample (2 s after the start): the
// progress thread may be in the middle of a sample, reading the worker table,
// while the run ends and releases it. Under AddressSanitizer a read of the
// released table would end the run with a report instead of status 0.
TEST_F(Hangfs, ProgressSampleAtTheEndOfARunReadsNoReleasedMemory) {
    std::string d = backing;
    for (int level = 0; level < 10; level++) {
        d += "/l" + std::to_string(level);
        make_dir(d);
        make_many_files(d, 5);
    }
    mount({"--delay-us", "25000"});
    int ended_near_sample = 0;
    for (int depth : {4, 5, 6, 7, 8, 9, 10}) {
        std::string root = fs->path();
        for (int level = 0; level < 10 - depth; level++) root += "/l" + std::to_string(level);
        int64_t t0 = monotonic_seconds();
        RunResult r = run_fsrake2({"--threads", "3", root}, with_timeout(60));
        int64_t took = monotonic_seconds() - t0;
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.term_signal, 0) << r.err;
        EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
        printf("walk of %d levels: %lld s\n", depth, (long long)took);
        if (took >= 1 && took <= 3) ended_near_sample++;
    }
    EXPECT_GT(ended_near_sample, 0) << "no walk ended near the first sample; retune the delay";
}
#endif
