// fsrake2: walks a directory tree with a pool of worker threads and writes one
// CSV line of metadata per file and directory.
//
// Files:
//   fsrake2.cpp     this file: command line, start-up and end of the run, the
//                   directory queue, the progress reporter and watchdog
//   fr2_worker.cpp  the worker threads: directory reader, statx batches through
//                   io_uring (or synchronous), batch processing, end-of-walk
//                   accounting, the read-admission gate
//   fr2_output.cpp  CSV lines, quoting, output buffers, the exclude list
//   fr2.h           the records and interfaces the three share
//
// Threads: main starts `threads` workers and one progress thread, then joins
// the workers. A directory travels as an fr2_dir_item from the worker that
// found it through the FIFO queue to the worker that reads it; the walk ends
// when the last counted directory is finished (dirs_pending reaches 0).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "fr2.h"

fr2_state g_state;

// Wall-clock second at which the walk started.
static int64_t g_start_time;

// The progress thread sleeps on this condition so that the end of the run can
// wake it and wait for it: the worker table is released only after that, so
// the thread never reads released memory.
static pthread_mutex_t g_monitor_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_monitor_cond;

// The forced no-progress exit: the walk did not finish and buffered lines are
// lost, so it must not look like success.
static const int EXIT_NO_PROGRESS = 3;

void fr2_state_init(void) {
    memset(&g_state, 0, sizeof g_state);
    g_state.threads = FR2_DEFAULT_THREADS;
    g_state.ring_depth = FR2_DEFAULT_RING_DEPTH;
    pthread_mutex_init(&g_state.queue_lock, nullptr);
    pthread_cond_init(&g_state.queue_cond, nullptr);
    pthread_mutex_init(&g_state.output_lock, nullptr);
    pthread_mutex_init(&g_state.getdents_lock, nullptr);
    pthread_cond_init(&g_state.getdents_cond, nullptr);
}

// ---- directory queue: an intrusive FIFO, items are their own nodes ------------

void fr2_queue_push(fr2_dir_item *item) {
    item->next = nullptr;
    pthread_mutex_lock(&g_state.queue_lock);
    if (g_state.queue_tail)
        g_state.queue_tail->next = item;
    else
        g_state.queue_head = item;
    g_state.queue_tail = item;
    pthread_cond_signal(&g_state.queue_cond);  // one new item wakes one worker
    pthread_mutex_unlock(&g_state.queue_lock);
}

static fr2_dir_item *unlink_head(void) {
    fr2_dir_item *item = g_state.queue_head;
    g_state.queue_head = item->next;
    if (!g_state.queue_head) g_state.queue_tail = nullptr;
    return item;
}

fr2_dir_item *fr2_queue_pop(void) {
    pthread_mutex_lock(&g_state.queue_lock);
    // done is read under the lock, so the completion broadcast cannot be missed.
    while (!g_state.queue_head && !fr2_load(&g_state.done))
        pthread_cond_wait(&g_state.queue_cond, &g_state.queue_lock);
    fr2_dir_item *item = g_state.queue_head ? unlink_head() : nullptr;
    pthread_mutex_unlock(&g_state.queue_lock);
    return item;
}

fr2_dir_item *fr2_queue_try_pop(void) {
    pthread_mutex_lock(&g_state.queue_lock);
    fr2_dir_item *item = g_state.queue_head ? unlink_head() : nullptr;
    pthread_mutex_unlock(&g_state.queue_lock);
    return item;
}

// ---- texts --------------------------------------------------------------------

static void print_help(void) {
    printf("Usage: %s [options] <directory>\n", FR2_PROGRAM_NAME);
    puts("Flags: --help --version");
    puts("       --depth n     Stop walking at depth n");
    puts("       --NoSnap      Ignore .snapshot directories");
    puts("       --exclude FILE File containing paths to exclude");
    puts("       --one-file-system / -x  Don't cross filesystem boundaries");
    printf("       --threads n   Worker threads (default %d, max %d)\n", FR2_DEFAULT_THREADS,
           FR2_MAX_THREADS);
    printf("       --ring-depth n io_uring ring size (default %d)\n", FR2_DEFAULT_RING_DEPTH);
    puts("       --getdents-max n  Max concurrent getdents64 calls (default threads/4)");
    puts("       --header      Print CSV header");
    puts("\nOutput: CSV with 17 columns, same format as fsrake.");
    puts("File Header:");
    puts(FR2_CSV_HEADER);
}

static void print_version(void) {
    fprintf(stderr, "%s version %s\n", FR2_PROGRAM_NAME, FR2_VERSION);
    fprintf(stderr, "io_uring STATX batching for high-performance metadata scanning\n");
}

static int64_t now_seconds(void) { return int64_t(time(nullptr)); }

static void print_summary_line(void) {
    int64_t files = fr2_load(&g_state.total_files);
    int64_t bytes = fr2_load(&g_state.total_bytes);
    long elapsed = long(now_seconds() - g_start_time);
    long rate = elapsed > 0 ? long(files / elapsed) : 0;
    double gb = double(bytes) / 1073741824.0;
    fprintf(stderr, FR2_PROGRAM_NAME " done: %lld files, %.2f GB, %ld sec, %ld files/sec\n",
            (long long)files, gb, elapsed, rate);
    fflush(stderr);
}

// Returns 0, or 1 when standard output could not be written to the end.
static int print_final_summary(void) {
    print_summary_line();
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (fr2_add(&g_state.output_failed, 1) == 0)
            fprintf(stderr, FR2_PROGRAM_NAME ": error writing standard output: %s\n",
                    strerror(errno ? errno : EIO));
        return 1;
    }
    return 0;
}

static void sigusr1_handler(int) {}

// ---- progress reporter and watchdog --------------------------------------------

static const char *activity_name(uint32_t activity) {
    switch (activity) {
    case WORKER_IN_OPEN: return "open()";
    case WORKER_IN_GETDENTS: return "getdents64()";
    default: return "unknown";
    }
}

int64_t fr2_watchdog_scan(int64_t now) {
    int64_t reports = 0;
    for (int i = 0; i < fr2_load(&g_state.worker_count); i++) {
        fr2_worker *w = &g_state.workers[i];
        uint32_t activity = fr2_load(&w->activity);
        if (activity == WORKER_IDLE || activity == WORKER_IN_STATX_WAIT ||
            activity == WORKER_IN_QUEUE_WAIT)
            continue;
        int64_t since = fr2_load(&w->activity_since);
        if (since == 0) continue;
        long stuck = long(now - since);
        if (stuck <= 59) continue;
        // The worker writes cur_path word by word with atomic stores and may
        // move on as soon as it is signalled: take the text first.
        char path[sizeof w->cur_path];
        const uint64_t *words = reinterpret_cast<const uint64_t *>(w->cur_path);
        for (size_t k = 0; k < sizeof path / 8; k++) {
            uint64_t word = __atomic_load_n(&words[k], __ATOMIC_RELAXED);
            memcpy(path + 8 * k, &word, 8);
            if (memchr(&word, 0, 8)) break;
        }
        path[sizeof path - 1] = 0;
        // The flag is stored before the signal, so the interrupted call finds it.
        fr2_store(&w->cancel, 1);
        pthread_kill(w->thread, SIGUSR1);
        fprintf(stderr, FR2_PROGRAM_NAME ": watchdog: worker %d stuck in %s for %lds on %s\n",
                w->id, activity_name(activity), stuck, path);
        reports++;
    }
    if (reports) fflush(stderr);
    return reports;
}

int fr2_monitor_sample(fr2_monitor *mon, int64_t now, int64_t start_time) {
    int64_t files = fr2_load(&g_state.total_files);
    int64_t bytes = fr2_load(&g_state.total_bytes);
    long elapsed = long(now - start_time);
    long rate = elapsed > 0 ? long(files / elapsed) : 0;
    double gb = double(bytes) / 1073741824.0;
    fprintf(stderr, FR2_PROGRAM_NAME ": %lld files, %.2f GB, %ld sec, %ld files/sec\n",
            (long long)files, gb, elapsed, rate);
    fflush(stderr);

    fr2_watchdog_scan(now);

    int verdict = FR2_SAMPLE_GO_ON;
    if (files <= 0 || files != mon->prev_files) {
        mon->stall_count = 0;
    } else if (++mon->stall_count >= 60) {
        fprintf(stderr,
                FR2_PROGRAM_NAME ": no progress for %d seconds, forcing exit (threads stuck on "
                                 "uninterruptible I/O)\n",
                300);
        verdict = FR2_SAMPLE_NO_PROGRESS;
    }
    mon->prev_files = files;
    return verdict;
}

// Sleeps up to `seconds`, or until the end of the walk is announced.
static void monitor_sleep(int seconds) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += seconds;
    pthread_mutex_lock(&g_monitor_lock);
    while (!fr2_load(&g_state.done) &&
           pthread_cond_timedwait(&g_monitor_cond, &g_monitor_lock, &until) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&g_monitor_lock);
}

static void *progress_thread(void *) {
    fr2_monitor mon = {0, 0};
    monitor_sleep(2);
    while (!fr2_load(&g_state.done)) {
        if (fr2_monitor_sample(&mon, now_seconds(), g_start_time) == FR2_SAMPLE_NO_PROGRESS) {
            print_summary_line();
            // Workers may be stuck for good, holding locks: end the process
            // here without waiting on anything but what is already written.
            if (pthread_mutex_trylock(&g_state.output_lock) == 0) fflush(stdout);
            _exit(EXIT_NO_PROGRESS);
        }
        monitor_sleep(5);
    }
    return nullptr;
}

static void wake_monitor(void) {
    pthread_mutex_lock(&g_monitor_lock);
    pthread_cond_broadcast(&g_monitor_cond);
    pthread_mutex_unlock(&g_monitor_lock);
}

// ---- start-up and end of the run ------------------------------------------------

static int32_t parse_int(const char *s) {
    // strtol's rules, then the low 32 bits: no error is ever reported.
    return int32_t(uint32_t(uint64_t(strtol(s, nullptr, 10))));
}

int fr2_main(int argc, char **argv) {
    if (argc < 2) {
        print_help();
        return 1;
    }
    fr2_state_init();

    // Options one by one, left to right; the first argument that does not
    // begin with "-" is the directory, and everything after it is ignored.
    int header = 0;
    int i = 1;
    while (argv[i][0] == '-') {
        const char *a = argv[i];
        // A value option consumes the next argument, whatever it looks like.
        auto value = [&](const char *missing) -> const char * {
            if (i + 1 >= argc) {
                fputs(missing, stderr);
                exit(1);
            }
            return argv[++i];
        };
        if (!strcmp(a, "--NoSnap")) {
            g_state.no_snap = 1;
        } else if (!strcmp(a, "--depth")) {
            g_state.max_depth = parse_int(value("--depth requires argument\n"));
        } else if (!strcmp(a, "--help")) {
            print_help();
            exit(0);
        } else if (!strcmp(a, "--version") || !strcmp(a, "-v")) {
            print_version();
            exit(0);
        } else if (!strcmp(a, "--header")) {
            header = 1;
        } else if (!strcmp(a, "--exclude")) {
            fr2_load_exclude_list(value("--exclude requires argument\n"));
        } else if (!strcmp(a, "--threads")) {
            int32_t n = parse_int(value("--threads requires argument\n"));
            g_state.threads = n <= 0 ? 1 : n > FR2_MAX_THREADS ? FR2_MAX_THREADS : n;
        } else if (!strcmp(a, "--ring-depth")) {
            int32_t n = parse_int(value("--ring-depth requires argument\n"));
            g_state.ring_depth = n < FR2_MIN_RING_DEPTH   ? FR2_MIN_RING_DEPTH
                                 : n > FR2_MAX_RING_DEPTH ? FR2_MAX_RING_DEPTH
                                                          : n;
        } else if (!strcmp(a, "--getdents-max")) {
            int32_t n = parse_int(value("--getdents-max requires argument\n"));
            g_state.getdents_max = n <= 0 ? 1 : n;
        } else if (!strcmp(a, "--one-file-system") || !strcmp(a, "-x")) {
            g_state.one_file_system = 1;
        } else {
            fprintf(stderr, "Unknown option: %s\n", a);
            exit(1);
        }
        if (++i >= argc) {
            fprintf(stderr, "%s: missing directory argument\n", FR2_PROGRAM_NAME);
            exit(1);
        }
    }
    const char *dir = argv[i];

    if (g_state.getdents_max == 0) g_state.getdents_max = g_state.threads;
    if (header) puts(FR2_CSV_HEADER);
    if (setuid(0) != 0) fputs("unable to setuid root; not all files may be processed\n", stderr);

    struct statx root_stx;
    if (statx(AT_FDCWD, dir, AT_SYMLINK_NOFOLLOW, FR2_STATX_MASK, &root_stx) != 0) {
        int err = errno;
        fprintf(stderr, "%s: statx '%s': %s\n", FR2_PROGRAM_NAME, dir, strerror(err));
        exit(err);
    }
    g_state.root_dev = fr2_makedev(root_stx.stx_dev_major, root_stx.stx_dev_minor);

    size_t len = strnlen(dir, FR2_MAX_PATH);
    if (len > 1 && dir[len - 1] == '/') len--;  // one trailing slash; "/" stays
    fr2_dir_item *root = fr2_dir_item_new(dir, len);
    if (!root) {
        perror("calloc");
        exit(1);
    }
    root->stx = root_stx;

    fr2_store(&g_state.dirs_pending, 1);  // counted before any worker can pop it
    fr2_queue_push(root);
    fflush(stdout);  // the header reaches the output before any line
    g_start_time = now_seconds();

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigusr1_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the signal must break a blocked open or getdents64
    sigaction(SIGUSR1, &sa, nullptr);

    int threads = g_state.threads;
    fr2_worker *workers = static_cast<fr2_worker *>(calloc(size_t(threads), sizeof(fr2_worker)));
    if (!workers) {
        perror("calloc");
        exit(1);
    }
    g_state.workers = workers;
    int started = 0;
    for (; started < threads; started++) {
        workers[started].id = started;
        int rc = pthread_create(&workers[started].thread, nullptr, fr2_worker_thread,
                                &workers[started]);
        if (rc != 0) {
            // Run with the workers that did start; the rest would fail the same way.
            fprintf(stderr, FR2_PROGRAM_NAME ": could not start worker %d of %d: %s\n", started,
                    threads, strerror(rc));
            break;
        }
    }
    if (started == 0) exit(1);
    g_state.worker_count = started;

    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&g_monitor_cond, &ca);
    pthread_t monitor;
    int monitor_ok = pthread_create(&monitor, nullptr, progress_thread, nullptr) == 0;

    for (int w = 0; w < started; w++) pthread_join(workers[w].thread, nullptr);

    fr2_store(&g_state.done, 1);
    wake_monitor();
    if (monitor_ok) pthread_join(monitor, nullptr);
    int status = print_final_summary();
    g_state.workers = nullptr;
    g_state.worker_count = 0;
    free(workers);
    return status;
}

#ifndef FR2_NO_MAIN
int main(int argc, char **argv) { return fr2_main(argc, argv); }
#endif
