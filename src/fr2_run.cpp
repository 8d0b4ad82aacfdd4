// Start-up and end of a run: the configuration, the root, the workers and the
// threads that watch them, the final summary. The start-up is shared with
// fsrake2-mpi.
#include "fr2_run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "fr2.h"
#include "fr2_checkpoint.h"
#include "fr2_config.h"
#include "fr2_load.h"
#include "fr2_monitor.h"
#include "fr2_output.h"
#include "fr2_pause.h"
#include "fr2_queue.h"
#include "fr2_resume.h"
#include "fr2_walk.h"

// ---- start-up, shared by both programs ----------------------------------------

int fr2_run_stat_root(const char *dir, struct statx *stx, uint64_t *dev) {
    if (statx(AT_FDCWD, dir, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, stx) != 0) {
        int err = errno;
        fprintf(stderr, "%s: statx '%s': %s\n", FR2_PROGRAM_NAME, dir, strerror(err));
        return err;
    }
    // The root's line is the argument's own metadata (a symbolic link's, when
    // it is one), but -x keeps to the file system of the directory walked.
    struct statx walked;
    const struct statx *dev_of = stx;
    if (S_ISLNK(stx->stx_mode) && statx(AT_FDCWD, dir, 0, STATX_BASIC_STATS, &walked) == 0)
        dev_of = &walked;
    *dev = fr2_makedev(dev_of->stx_dev_major, dev_of->stx_dev_minor);
    return 0;
}

int fr2_run_queue_root(const char *dir, const struct statx *stx) {
    size_t len = strnlen(dir, FR2_MAX_PATH);
    if (len > 1 && dir[len - 1] == '/') len--;  // one trailing slash; "/" stays
    fr2_dir_item *root = fr2_dir_item_new(dir, len);
    if (!root) {
        perror("calloc");
        return 1;
    }
    root->stx = *stx;
    fr2_queue_add(root);  // counted before any worker can pop it
    return 0;
}

// Descriptors the program holds now (the standard streams and whatever it
// inherited), and a few spare for the library.
static long run_descriptors_in_use(void) {
    long n = 3;
    if (DIR *d = opendir("/proc/self/fd")) {
        n = -1;  // the listing's own
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n + 4;
}

// Each worker holds its ring, the directory it reads and one it prefetched.
// Without this the workers past the limit would find no descriptor and every
// directory they took would be lost.
void fr2_run_fit_descriptor_limit(void) {
    g_state.prefetch = true;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    if (rl.rlim_cur < rl.rlim_max) {
        struct rlimit raised = {rl.rlim_max, rl.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    if (rl.rlim_cur == RLIM_INFINITY) return;
    long spare = long(rl.rlim_cur) - run_descriptors_in_use();
    int32_t threads = g_config.threads;
    if (3L * threads <= spare) return;
    g_state.prefetch = false;
    if (2L * threads <= spare) return;
    int32_t fit = spare >= 4 ? int32_t(spare / 2) : 1;
    fprintf(stderr, FR2_PROGRAM_NAME ": the open file limit of %llu allows %d workers, not %d\n",
            (unsigned long long)rl.rlim_cur, fit, threads);
    g_config.threads = fit;
}

// What fr2_run_start started, for fr2_run_join.
static struct {
    fr2_worker *workers;
    int32_t started;
    bool monitor;
    bool checkpoints;
} g_run;

static void run_release_tables(void) {
    fr2_table_free(g_run.workers);
    g_run.workers = nullptr;
    fr2_output_buffers_release();
    fr2_activity_table_release();
    fr2_pause_slots_release();
}

bool fr2_run_start(int64_t start_time, const fr2_monitor_hooks *hooks, bool checkpoint_thread) {
    int32_t threads = g_config.threads;
    g_run.started = 0;
    g_run.workers = static_cast<fr2_worker *>(fr2_table_alloc(size_t(threads), sizeof(fr2_worker)));
    if (!g_run.workers || fr2_output_buffers_alloc(threads) != 0 ||
        fr2_activity_table_alloc(threads) != 0 || fr2_pause_slots_alloc(threads) != 0) {
        perror("calloc");
        run_release_tables();
        return false;
    }
    fr2_watchdog_install_signal();
    int32_t started = 0;
    for (; started < threads; started++) {
        // Zero-filled: the record is brought to life in place, and its
        // buffers stay untouched pages until the worker writes them.
        fr2_worker *w = new (&g_run.workers[started]) fr2_worker;
        w->id = started;
        w->act = fr2_activity_of(started);
        w->out = fr2_output_buffer_of(started);
        w->ck = fr2_pause_slot_of(started);
        int rc = pthread_create(&w->thread, nullptr, fr2_worker_thread, w);
        if (rc != 0) {
            // Run with the workers that did start; the rest would fail the same way.
            fprintf(stderr, FR2_PROGRAM_NAME ": could not start worker %d of %d: %s\n", started,
                    threads, strerror(rc));
            break;
        }
        w->act->thread = w->thread;
    }
    if (started == 0) {
        run_release_tables();
        return false;
    }
    g_run.started = started;
    // Every table's records up to here are filled in; pairs with the acquire
    // of each reader (monitor, output, pause).
    g_state.worker_count.store(started, std::memory_order_release);
    g_run.monitor = fr2_monitor_start(start_time, hooks);
    g_run.checkpoints = checkpoint_thread && fr2_checkpoint_start(start_time);
    return true;
}

void fr2_run_join(void) {
    for (int32_t i = 0; i < g_run.started; i++) pthread_join(g_run.workers[i].thread, nullptr);
    g_state.done.store(true, std::memory_order_release);
    if (g_run.checkpoints) fr2_checkpoint_stop();
    if (g_run.monitor) fr2_monitor_stop();
    g_run.checkpoints = g_run.monitor = false;
    // No reader of the tables is left.
    g_state.worker_count.store(0, std::memory_order_relaxed);
    g_run.started = 0;
    run_release_tables();
}

// ---- the scanner's run -----------------------------------------------------------

// Stats the root and queues it as the walk's first directory (a resumed
// walk queues what its checkpoint holds instead). 0, or the status to exit
// with.
static int run_queue_root(const char *dir, bool resumed) {
    struct statx root_stx;
    int err = fr2_run_stat_root(dir, &root_stx, &g_state.root_dev);
    if (err != 0) return err;
    if (resumed) {
        fr2_resume_restore();
        return 0;
    }
    return fr2_run_queue_root(dir, &root_stx);
}

int fr2_main(int argc, char **argv) {
    int status = 0;
    fr2_config_free(&g_config);
    if (fr2_config_parse(argc, argv, &g_config, &status) == FR2_CONFIG_EXIT) goto out;
    if (g_config.resume && (status = fr2_resume_load(&g_config)) != 0) goto out;
    fr2_state_init();
    fr2_run_fit_descriptor_limit();
    if (fr2_load_init(fr2_stat_most_requests(g_config.threads), g_config.max_inflight,
                      !g_config.no_adapt, g_config.max_rate, g_config.load_trace) != 0) {
        status = 1;
        goto out;
    }

    if (fr2_output_open(g_config.output, g_config.compress_level,
                        g_config.resume ? fr2_resume_committed() : -1) != 0) {
        status = 1;
        goto out;
    }
    // A resumed output already holds its header.
    if (g_config.header && !g_config.resume)
        fr2_output_write(FR2_CSV_HEADER "\n", sizeof FR2_CSV_HEADER);
    if (setuid(0) != 0) fputs("unable to setuid root; not all files may be processed\n", stderr);
    status = run_queue_root(g_config.root, g_config.resume != nullptr);
    if (status != 0) goto out;

    {
        // A resumed walk's time counts its earlier runs.
        int64_t start_time = int64_t(time(nullptr)) - fr2_resume_elapsed();
        if (!fr2_run_start(start_time, nullptr, true)) {
            status = 1;
            goto out;
        }
        fr2_run_join();
        // A root that could not be read: nothing was listed and the worker has
        // said why; the status is the error's number, as for a root that
        // cannot be statted.
        status = g_state.root_errno.load(std::memory_order_relaxed);
        if (status == 0) {
            fr2_print_summary_line(start_time);
            // The checkpoint goes only once the whole output is on disk: synced
            // before the file is closed.
            int64_t committed;
            bool durable = !g_config.checkpoint || fr2_output_commit(&committed) == 0;
            status = fr2_output_finish() == 0 && durable ? 0 : 1;
            if (status == 0 && g_config.checkpoint) fr2_checkpoint_remove();
        }
    }
out:
    fr2_load_finish();
    fflush(stdout);
    return status;
}
