// io_uring missing or broken, forced with a seccomp filter (helpers/seccomp_run):
// every worker falls back to synchronous statx on its own, and the walk prints
// exactly the records it prints with the ring, without hanging.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "walk_util.h"

using namespace fr2test;

namespace {

// Large enough for several passes of the default ring depth in one directory,
// plus the usual mix: nesting, empty directories, links, awkward names.
class RingUnavailable : public testing::Test {
  protected:
    static TempDir *dir;
    static std::string root;

    static void SetUpTestSuite() {
        dir = new TempDir();
        root = dir->path() + "/t";
        make_pass_tree(root, 5000, 12, 37);
        write_file(root + "/with,comma \"and quotes\".csv", "x");
        freeze_atimes(root);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override {
        // The one thing the machine may not allow: installing a filter at all.
        RunResult probe = run_command({FR2_SECCOMP_RUN, "--fail-setup", "--", "true"});
        if (probe.status == 125) GTEST_SKIP() << "seccomp filters unavailable: " << probe.err;
        ASSERT_EQ(probe.status, 0) << probe.err;
    }

    static RunOptions under(const std::vector<std::string> &filter, int timeout = 300) {
        RunOptions o;
        o.prefix = {FR2_SECCOMP_RUN};
        o.prefix.insert(o.prefix.end(), filter.begin(), filter.end());
        o.prefix.push_back("--");
        o.timeout_sec = timeout;
        return o;
    }

    // A three-worker walk under a filter that breaks the ring, at the default
    // ring depth and at the smallest (many passes, so the failure also meets
    // workers in the middle of a large directory). Each must end by itself
    // with exactly the records of the model and one summary; returns, per
    // walk, its "worker N: io_uring_submit|wait:" messages by kind, and fails
    // on any other message.
    static std::vector<std::map<std::string, int>> walks_with_failing_ring(const std::string &filter) {
        static const std::regex ring_msg(
            R"(worker [0-2]: io_uring_(submit|wait): Operation not permitted)");
        Model m = model_walk(root);
        std::vector<std::map<std::string, int>> counts;
        for (const char *depth : {"2048", "16"}) {
            SCOPED_TRACE(std::string("ring depth ") + depth);
            RunResult r = run_fsrake2({"--stat-mode", "ring", "--threads", "3", "--ring-depth", depth, root},
                                      under({filter}, 120));
            EXPECT_FALSE(r.timed_out) << "the walk hung:\n" << r.err;
            EXPECT_EQ(r.term_signal, 0) << r.err;
            EXPECT_EQ(r.status, 0) << r.err;
            std::string rest;
            auto recs = split_records(r.out, &rest);
            EXPECT_EQ(rest, "");
            std::sort(recs.begin(), recs.end());
            EXPECT_EQ(diff_sorted(recs, m.records), "");

            ErrParts e = split_stderr(r.err);
            std::map<std::string, int> count;
            for (auto &msg : e.messages) {
                std::smatch mm;
                if (std::regex_match(msg, mm, ring_msg))
                    count[mm[1]]++;
                else
                    ADD_FAILURE() << "unexpected message: " << msg;
            }
            EXPECT_EQ(e.summaries, 1) << r.err;
            EXPECT_TRUE(e.summary_last) << r.err;
            EXPECT_EQ(e.files, (long long)recs.size()) << r.err;
            counts.push_back(count);
        }
        return counts;
    }

    static std::vector<std::string> sorted_records(const RunResult &r) {
        auto recs = split_records(r.out);
        std::sort(recs.begin(), recs.end());
        return recs;
    }
};
TempDir *RingUnavailable::dir;
std::string RingUnavailable::root;

}  // namespace

TEST_F(RingUnavailable, SetupFailureGivesOneFallbackLinePerWorkerAndTheSameRecords) {
    Model m = model_walk(root);
    RunResult ring = run_fsrake2({"--stat-mode", "ring", "--threads", "3", root});
    ASSERT_EQ(ring.status, 0) << ring.err;
    ASSERT_EQ(ring.err.find("io_uring"), std::string::npos)
        << "the ring itself is unavailable here:\n" << ring.err;

    // Three workers, one worker, and the default pool of 64: one line each.
    for (int threads : {3, 1, 64}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        std::vector<std::string> args = {"--stat-mode", "ring"};
        if (threads != 64) args.insert(args.end(), {"--threads", std::to_string(threads)});
        args.push_back(root);
        RunResult r = run_fsrake2(args, under({"--fail-setup"}));
        expect_walk(r, m);  // fallback lines aside, the messages of a ring run
        std::vector<std::string> fallbacks;
        for (auto &line : split_lines(r.err))
            if (line.find("io_uring") != std::string::npos) fallbacks.push_back(line);
        std::vector<std::string> want;
        for (int w = 0; w < threads; w++)
            want.push_back("worker " + std::to_string(w) +
                           ": io_uring_setup failed (Function not implemented), using sync fallback");
        std::sort(fallbacks.begin(), fallbacks.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(fallbacks, want);
        EXPECT_EQ(diff_sorted(sorted_records(r), sorted_records(ring)), "")
            << "the fallback and the ring print different records";
    }
}

TEST_F(RingUnavailable, FailingSubmissionNeitherHangsNorLosesRecords) {
    // Rings were set up (the filter leaves io_uring_setup alone); what fails
    // is submitting and waiting, and only that is reported.
    for (auto &count : walks_with_failing_ring("--fail-enter"))
        EXPECT_GE(count["submit"], 1) << "no io_uring_submit failure reported";
}

// Submissions go through but no wait does: every worker abandons the pass it
// has in flight while the kernel goes on answering it into that pass's entries.
// The batch must move out of the kernel's way and be statted by the worker; a
// batch read into the abandoned array later would get results of other files.
TEST_F(RingUnavailable, AbandonedPassNeitherLosesNorMixesRecords) {
    for (auto &count : walks_with_failing_ring("--fail-wait")) {
        EXPECT_EQ(count["submit"], 0);
        EXPECT_GE(count["wait"], 1);
        EXPECT_LE(count["wait"], 3) << "a worker gives its ring up once";
    }
}
