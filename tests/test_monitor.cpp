// The progress sample and the watchdog, driven with an injected clock so that
// minute-long boundaries are tested in milliseconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "fr2.h"
#include "fr2_monitor.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::atomic<int> g_signals{0};
void count_signal(int) { g_signals++; }

// The monitor's table for fake workers whose thread handles point at one real
// thread that counts the SIGUSR1s it gets.
struct FakeWorkers {
    std::thread target;
    std::atomic<bool> stop{false};
    pthread_t handle;

    explicit FakeWorkers(int n) {
        fr2_state_init();
        struct sigaction sa = {};
        sa.sa_handler = count_signal;
        sigaction(SIGUSR1, &sa, nullptr);
        g_signals = 0;
        std::atomic<bool> ready{false};
        target = std::thread([&] {
            handle = pthread_self();
            ready = true;
            while (!stop) usleep(1000);
        });
        while (!ready) usleep(100);
        EXPECT_EQ(fr2_activity_table_alloc(n), 0);
        for (int i = 0; i < n; i++) fr2_activity_of(i)->thread = handle;
        g_state.worker_count.store(n);
    }
    ~FakeWorkers() {
        stop = true;
        target.join();
        g_state.worker_count.store(0);
        fr2_activity_table_release();
    }
    fr2_activity &act(int i) { return *fr2_activity_of(i); }
    void set(int i, uint32_t activity, int64_t since, const char *path) {
        strcpy(act(i).cur_path, path);
        act(i).since = since;
        act(i).activity = activity;
        act(i).cancel = false;
    }
};

int wait_for_signals(int n) {
    for (int i = 0; i < 2000 && g_signals < n; i++) usleep(1000);
    return g_signals;
}

}  // namespace

TEST(Watchdog, ReportsOnlyOpenAndGetdentsStuckSixtySecondsOrMore) {
    FakeWorkers fw(7);
    const int64_t now = 1'000'000;
    fw.set(0, WORKER_IN_OPEN, now - 59, "/mnt/a");          // one second short
    fw.set(1, WORKER_IN_OPEN, now - 60, "/mnt/b");          // exactly a minute
    fw.set(2, WORKER_IN_GETDENTS, now - 300, "/mnt/c");
    fw.set(3, WORKER_IN_STATX_WAIT, now - 3600, "/mnt/d");  // never watched
    fw.set(4, WORKER_IN_QUEUE_WAIT, now - 3600, "/mnt/e");
    fw.set(5, WORKER_IN_OPEN, 0, "/mnt/f");                 // left its step: since is 0
    fw.set(6, 99, now - 61, "/mnt/g");                      // a state without a name

    CaptureStderr();
    int64_t reports = fr2_watchdog_scan(now);
    std::string err = GetCapturedStderr();

    EXPECT_EQ(reports, 3);
    EXPECT_EQ(err,
              "fsrake2: watchdog: worker 1 stuck in open() for 60s on /mnt/b\n"
              "fsrake2: watchdog: worker 2 stuck in getdents64() for 300s on /mnt/c\n"
              "fsrake2: watchdog: worker 6 stuck in unknown for 61s on /mnt/g\n");
    EXPECT_FALSE(fw.act(0).cancel);
    EXPECT_TRUE(fw.act(1).cancel);
    EXPECT_TRUE(fw.act(2).cancel);
    EXPECT_FALSE(fw.act(3).cancel);
    EXPECT_FALSE(fw.act(4).cancel);
    EXPECT_FALSE(fw.act(5).cancel);
    // All three went to the same thread; pending signals of one kind merge.
    EXPECT_GE(wait_for_signals(1), 1);

    // A clock stepped backwards gives a negative duration: not stuck.
    CaptureStderr();
    EXPECT_EQ(fr2_watchdog_scan(now - 1000), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(Watchdog, ReportsAgainEverySampleWhileTheWorkerStaysStuck) {
    FakeWorkers fw(1);
    fw.set(0, WORKER_IN_GETDENTS, 100, "/hard/mount");
    CaptureStderr();
    fr2_watchdog_scan(160);
    ASSERT_EQ(wait_for_signals(1), 1);
    fr2_watchdog_scan(165);
    EXPECT_EQ(GetCapturedStderr(),
              "fsrake2: watchdog: worker 0 stuck in getdents64() for 60s on /hard/mount\n"
              "fsrake2: watchdog: worker 0 stuck in getdents64() for 65s on /hard/mount\n");
    EXPECT_EQ(wait_for_signals(2), 2);
}

TEST(ProgressSample, LineFormatRateAndGigabytes) {
    FakeWorkers fw(0);
    fr2_monitor mon = {};
    g_state.total_files = 1000;
    g_state.total_bytes = 1610612736;  // 1.5 GiB
    CaptureStderr();
    fr2_monitor_sample(&mon, 1010, 1000);
    fr2_monitor_sample(&mon, 1000, 1000);  // elapsed 0: no division
    fr2_monitor_sample(&mon, 990, 1000);   // clock stepped back
    g_state.total_files = 7;
    fr2_monitor_sample(&mon, 1003, 1000);  // truncating division
    EXPECT_EQ(GetCapturedStderr(),
              "fsrake2: 1000 files, 1.50 GB, 10 sec, 100 files/sec\n"
              "fsrake2: 1000 files, 1.50 GB, 0 sec, 0 files/sec\n"
              "fsrake2: 1000 files, 1.50 GB, -10 sec, 0 files/sec\n"
              "fsrake2: 7 files, 1.50 GB, 3 sec, 2 files/sec\n");
}

TEST(ProgressSample, NoProgressAfterSixtyUnchangedSamples) {
    FakeWorkers fw(0);
    fr2_monitor mon = {};
    g_state.total_files = 500;
    CaptureStderr();
    // The first sample sees a change (from 0); then 59 unchanged ones go on.
    EXPECT_EQ(fr2_monitor_sample(&mon, 10, 0), FR2_SAMPLE_GO_ON);
    for (int i = 1; i <= 59; i++) ASSERT_EQ(fr2_monitor_sample(&mon, 10 + 5 * i, 0), FR2_SAMPLE_GO_ON) << i;
    EXPECT_EQ(mon.stall_count, 59);
    // A change at what would have been the sixtieth resets the count.
    g_state.total_files = 501;
    EXPECT_EQ(fr2_monitor_sample(&mon, 400, 0), FR2_SAMPLE_GO_ON);
    EXPECT_EQ(mon.stall_count, 0);
    for (int i = 1; i <= 59; i++) ASSERT_EQ(fr2_monitor_sample(&mon, 400 + 5 * i, 0), FR2_SAMPLE_GO_ON);
    EXPECT_EQ(fr2_monitor_sample(&mon, 800, 0), FR2_SAMPLE_NO_PROGRESS);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("fsrake2: no progress for 300 seconds, forcing exit (threads stuck on "
                       "uninterruptible I/O)\n"),
              std::string::npos);
    EXPECT_EQ(err.find("no progress"), err.rfind("no progress"));  // said once
}

// Lines still in the workers' buffers are progress too: a run whose workers
// have published nothing yet is judged by what they have produced. When that
// stops moving (a dead mount met before the first publication, or at the
// root itself) the run ends like any other stalled run.
TEST(ProgressSample, UnpublishedWorkIsProgressAndAStallAtZeroEndsTheRun) {
    FakeWorkers fw(2);
    fr2_monitor mon = {};
    g_state.total_files.store(0);
    CaptureStderr();
    for (int i = 0; i < 500; i++) {
        fw.act(i % 2).produced.store(uint64_t(i));  // one worker or the other moves
        ASSERT_EQ(fr2_monitor_sample(&mon, 5 * i, 0), FR2_SAMPLE_GO_ON) << i;
    }
    EXPECT_LE(mon.stall_count, 1);
    // Six lines produced, none published, nothing moves any more.
    fw.act(0).produced.store(6);
    fw.act(1).produced.store(0);
    int verdict = FR2_SAMPLE_GO_ON, samples = 0;
    while (verdict == FR2_SAMPLE_GO_ON && samples < 100) verdict = fr2_monitor_sample(&mon, 5000 + 5 * samples++, 0);
    EXPECT_EQ(verdict, FR2_SAMPLE_NO_PROGRESS);
    EXPECT_EQ(samples, 61);  // one sample sees the change, then sixty see none
    // Nothing produced at all (the root's own open never returns).
    fw.act(0).produced.store(0);
    mon = {};
    verdict = FR2_SAMPLE_GO_ON;
    samples = 0;
    while (verdict == FR2_SAMPLE_GO_ON && samples < 100) verdict = fr2_monitor_sample(&mon, 5 * samples++, 0);
    EXPECT_EQ(verdict, FR2_SAMPLE_NO_PROGRESS);
    EXPECT_EQ(samples, 60);
    GetCapturedStderr();
}

// Workers blocked on a slow reader of standard output are not stuck on
// storage: however long they wait, the run is not ended, and the stall count
// starts again from zero when they are through.
TEST(ProgressSample, WaitingOnTheOutputIsNoStall) {
    FakeWorkers fw(1);
    fr2_monitor mon = {};
    g_state.total_files = 500;
    fw.act(0).produced.store(700);
    g_state.output_waiting.store(3);
    CaptureStderr();
    for (int i = 0; i < 500; i++) ASSERT_EQ(fr2_monitor_sample(&mon, 5 * i, 0), FR2_SAMPLE_GO_ON) << i;
    EXPECT_EQ(mon.stall_count, 0);
    g_state.output_waiting.store(0);
    for (int i = 0; i < 59; i++) ASSERT_EQ(fr2_monitor_sample(&mon, 5000 + 5 * i, 0), FR2_SAMPLE_GO_ON) << i;
    EXPECT_EQ(fr2_monitor_sample(&mon, 6000, 0), FR2_SAMPLE_NO_PROGRESS);
    GetCapturedStderr();
}

// A part of a larger walk (a rank of fsrake2-mpi) that holds no work waits
// for the others: however long, that is no stall. Its progress lines are
// printed elsewhere; only the verdict is its own.
static bool g_part_has_work;

TEST(ProgressSample, APartWithoutWorkIsNoStallAndPrintsNoProgressLines) {
    FakeWorkers fw(1);
    static const fr2_monitor_hooks hooks = {[] { return g_part_has_work; }, true};
    fr2_monitor mon = {0, 0, &hooks};
    g_state.total_files = 500;
    g_part_has_work = false;
    CaptureStderr();
    for (int i = 0; i < 200; i++) ASSERT_EQ(fr2_monitor_sample(&mon, 5 * i, 0), FR2_SAMPLE_GO_ON) << i;
    g_part_has_work = true;
    int verdict = FR2_SAMPLE_GO_ON, samples = 0;
    while (verdict == FR2_SAMPLE_GO_ON && samples < 100) verdict = fr2_monitor_sample(&mon, 1000 + 5 * samples++, 0);
    EXPECT_EQ(verdict, FR2_SAMPLE_NO_PROGRESS);
    EXPECT_EQ(samples, 60);
    EXPECT_EQ(GetCapturedStderr(), "fsrake2: no progress for 300 seconds, forcing exit (threads "
                                   "stuck on uninterruptible I/O)\n");
}
