// fsrake2-mpi: one walk spread over the ranks of an MPI job. Each rank runs
// the scanner's start-up, worker pool and watchdog (fr2_run.h) on its own
// queue, writes its lines to PREFIX.<rank>.csv, and its communication thread
// (this program's main thread after start-up) trades directories with the
// other ranks (fr2_mpi_comm.cpp). Rank 0 starts from the root, prints the
// progress lines with the job's totals and the one final summary.
//
//   mpirun -n N fsrake2-mpi [the scanner's options] --output PREFIX [--compress] DIR
//   mpirun -n N fsrake2-mpi --resume CK   (a job stopped with --checkpoint CK)
#include <errno.h>
#include <fcntl.h>
#include <mpi.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "fr2.h"
#include "fr2_checkpoint.h"
#include "fr2_chunk.h"
#include "fr2_config.h"
#include "fr2_load.h"
#include "fr2_monitor.h"
#include "fr2_mpi_comm.h"
#include "fr2_output.h"
#include "fr2_resume.h"
#include "fr2_run.h"
#include "fr2_stat.h"

#define MPI_PROGRAM_NAME "fsrake2-mpi"

// Entries a big directory's reader stats itself, and the size of the chunks
// the rest is cut into: about a second of work for one synchronous worker on
// storage that answers in a millisecond.
static const int32_t DEFAULT_CHUNK_ENTRIES = 1000;

namespace {

struct mpi_options {
    const char *output = nullptr;  // PREFIX of the shards
    // Shards in zstd (PREFIX.<rank>.csv.zst); a level asks for it too.
    bool compress = false;
    const char *compress_level = nullptr;  // as given, checked after parsing
    const char *checkpoint = nullptr;      // PREFIX of the job's checkpoint files
    int32_t chunk_entries = DEFAULT_CHUNK_ENTRIES;
    bool stats = false;
    bool help = false;
    std::vector<char *> scanner_argv;  // what is left for the scanner's parser
};

// Takes this program's own options out of the command line; the scanner's
// options and the directory stay, in order.
mpi_options split_options(int argc, char **argv) {
    mpi_options o;
    o.scanner_argv.push_back(argv[0]);
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "--output") && i + 1 < argc) {
            o.output = argv[++i];
        } else if (!strcmp(a, "--chunk-entries") && i + 1 < argc) {
            o.chunk_entries = int32_t(strtol(argv[++i], nullptr, 10));
            if (o.chunk_entries < 0) o.chunk_entries = 0;
        } else if (!strcmp(a, "--checkpoint") && i + 1 < argc) {
            o.checkpoint = argv[++i];
        } else if (!strcmp(a, "--compress")) {
            o.compress = true;
        } else if (!strcmp(a, "--compress-level") && i + 1 < argc) {
            o.compress_level = argv[++i];
            o.compress = true;
        } else if (!strcmp(a, "--mpi-stats")) {
            o.stats = true;
        } else {
            if (!strcmp(a, "--help")) o.help = true;
            o.scanner_argv.push_back(argv[i]);
            // The scanner's options that take a value: the value goes along.
            static const char *const with_value[] = {
                "--depth",     "--exclude",      "--threads",  "--ring-depth",
                "--stat-mode", "--getdents-max", "--max-rate", "--max-inflight",
                "--load-trace", "--checkpoint-every", "--resume"};
            for (const char *v : with_value)
                if (!strcmp(a, v) && i + 1 < argc) o.scanner_argv.push_back(argv[++i]);
        }
    }
    for (; i < argc; i++) o.scanner_argv.push_back(argv[i]);
    o.scanner_argv.push_back(nullptr);
    return o;
}

void print_mpi_help(void) {
    printf("Usage: mpirun -n N %s [options] --output PREFIX <directory>\n", MPI_PROGRAM_NAME);
    puts("One walk spread over the ranks of an MPI job; rank R writes its lines to");
    puts("PREFIX.R.csv (with --header each shard starts with the header).");
    puts("       --output PREFIX     shard files PREFIX.<rank>.csv (required)");
    puts("       --compress          zstd shards PREFIX.<rank>.csv.zst");
    printf("       --compress-level n  their zstd level, %d to %d (default %d); implies\n"
           "                           --compress\n",
           FR2_MIN_COMPRESS_LEVEL, FR2_MAX_COMPRESS_LEVEL, FR2_DEFAULT_COMPRESS_LEVEL);
    printf("       --chunk-entries n   a directory's entries beyond the first n are cut into\n"
           "                           chunks of n that any rank may stat (default %d, 0: never)\n",
           DEFAULT_CHUNK_ENTRIES);
    puts("       --checkpoint CK     the job's state to CK and CK.<rank>.ck0/.ck1 now and then");
    puts("                           (big directories are then not cut into chunks)");
    puts("       --resume CK         continue the job saved in CK, with as many ranks");
    puts("       --mpi-stats         each rank's steals, messages and lines after the summary");
    puts("The scanner's options:");
}

// ---- messages of ranks other than 0 carry the rank -----------------------------
//
// Standard error goes through a pipe to a small child process that writes each
// line with "rank R: " in front (rank 0's lines as they are), one write per
// line. A child rather than a thread: it outlives a rank that crashes or is
// killed, so the rank's last words (a sanitizer report, say) still get out.
// It is forked before MPI starts, and told the rank through a second pipe.

struct prefixer {
    pid_t pid = -1;
    int rank_fd = -1;    // write end of the pipe that tells the child the rank
    int saved_err = -1;  // the real standard error
};

[[noreturn]] void prefixer_main(int err_in, int rank_in, int out) {
    // mpirun signals the whole process group on SIGTERM: the child lives on
    // until the rank has said its last words (how to resume) and ended.
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    char rank_text[32] = "";
    int rank = -1;
    ssize_t n = read(rank_in, rank_text, sizeof rank_text - 1);
    if (n > 0) {
        rank_text[n] = 0;
        rank = atoi(rank_text);
    }
    close(rank_in);
    char prefix[48] = "";
    if (rank > 0) snprintf(prefix, sizeof prefix, "rank %d: ", rank);
    size_t prefix_len = strlen(prefix);
    std::string pending;
    char buf[65536];
    auto emit = [&](const char *line, size_t len) {
        std::string whole = std::string(prefix, prefix_len) + std::string(line, len);
        size_t off = 0;
        while (off < whole.size()) {
            ssize_t w = write(out, whole.data() + off, whole.size() - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            off += size_t(w);
        }
    };
    for (;;) {
        ssize_t got = read(err_in, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.append(buf, size_t(got));
        size_t start = 0, nl;
        while ((nl = pending.find('\n', start)) != std::string::npos) {
            emit(pending.data() + start, nl + 1 - start);
            start = nl + 1;
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) {
        pending += '\n';
        emit(pending.data(), pending.size());
    }
    _exit(0);
}

prefixer start_prefixer(void) {
    prefixer p;
    int err_pipe[2], rank_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return p;
    if (pipe2(rank_pipe, O_CLOEXEC) != 0) {
        close(err_pipe[0]);
        close(err_pipe[1]);
        return p;
    }
    int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
    pid_t pid = saved >= 0 ? fork() : -1;
    if (pid == 0) {
        close(err_pipe[1]);
        close(rank_pipe[1]);
        prefixer_main(err_pipe[0], rank_pipe[0], saved);
    }
    close(err_pipe[0]);
    close(rank_pipe[0]);
    if (pid < 0) {  // no child: messages go out unprefixed
        close(err_pipe[1]);
        close(rank_pipe[1]);
        if (saved >= 0) close(saved);
        return p;
    }
    dup2(err_pipe[1], 2);
    close(err_pipe[1]);
    p.pid = pid;
    p.rank_fd = rank_pipe[1];
    p.saved_err = saved;
    return p;
}

void prefixer_set_rank(prefixer &p, int rank) {
    if (p.rank_fd < 0) return;
    char text[32];
    int len = snprintf(text, sizeof text, "%d", rank);
    if (write(p.rank_fd, text, size_t(len)) != len) {
        // The child then passes lines through as they are.
    }
    close(p.rank_fd);
    p.rank_fd = -1;
}

// Standard error goes straight out again, and the child is waited for, so
// that every line reached the real standard error before this process ends.
void prefixer_stop(prefixer &p) {
    if (p.pid < 0) return;
    fflush(stderr);
    dup2(p.saved_err, 2);
    close(p.saved_err);
    if (p.rank_fd >= 0) close(p.rank_fd);
    while (waitpid(p.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    p.pid = -1;
}

int g_rank, g_size;
prefixer g_prefixer;

// Ends the job's run on this rank with `status`, after MPI_Finalize.
int finish(int status) {
    fflush(stdout);
#if defined(__SANITIZE_ADDRESS__)
    // The leak check runs here, while Open MPI's components are still loaded:
    // at exit they are unloaded and what they keep could not even be named,
    // let alone told apart from this program's leaks.
    __lsan_do_leak_check();
#endif
    MPI_Finalize();
    prefixer_stop(g_prefixer);
    return status;
}

// The same decision on every rank: the worst status of any rank.
int agree(int status) {
    int worst = 0;
    MPI_Allreduce(&status, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    return worst;
}

// The level of compressed shards: a whole number in the scanner's range. 0,
// or 1 after the message.
int check_compress_level(const char *text, int32_t *level) {
    if (!text) return 0;
    char *end;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno || end == text || *end || n < FR2_MIN_COMPRESS_LEVEL || n > FR2_MAX_COMPRESS_LEVEL) {
        fprintf(stderr, MPI_PROGRAM_NAME ": --compress-level must be from %d to %d, not '%s'\n",
                FR2_MIN_COMPRESS_LEVEL, FR2_MAX_COMPRESS_LEVEL, text);
        return 1;
    }
    *level = int32_t(n);
    return 0;
}

std::string g_shard;  // this rank's shard file

std::string shard_name(const mpi_options &mo) {
    std::string path = std::string(mo.output) + "." + std::to_string(g_rank) + ".csv";
    if (mo.compress) path += ".zst";
    return path;
}

// Opens this rank's shard, PREFIX.<rank>.csv or PREFIX.<rank>.csv.zst, as the
// output (a resumed job's own, cut back to its committed length). 0, or 1
// after the message.
int open_shard(const mpi_options &mo, int32_t level) {
    if (g_config.resume)
        return fr2_output_open(g_config.output, level, fr2_resume_committed()) == 0 ? 0 : 1;
    g_shard = shard_name(mo);
    g_config.output = g_shard.c_str();  // what a checkpoint records
    return fr2_output_open(g_shard.c_str(), level, -1) == 0 ? 0 : 1;
}

// ---- resuming a job ----------------------------------------------------------------

std::string g_part;  // this rank's part of the job's checkpoint

// Rank 0: reads CK, the one line that names the job's ranks and the
// generation of its parts. 0 with *generation, or 1 after the refusal.
int read_job_checkpoint(const char *ck, uint64_t *generation) {
    char text[256];
    int fd = open(ck, O_RDONLY | O_CLOEXEC);
    ssize_t len = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    int err = errno;
    if (fd >= 0) close(fd);
    if (len < 0) {
        fprintf(stderr, MPI_PROGRAM_NAME ": cannot resume from %s: %s\n", ck, strerror(err));
        return 1;
    }
    text[len] = 0;
    int ranks = 0;
    unsigned long long gen = 0;
    char again[256];
    if (sscanf(text, FR2_MPI_CK_FORMAT, &ranks, &gen) != 2 ||
        snprintf(again, sizeof again, FR2_MPI_CK_FORMAT, ranks, gen) != int(len) ||
        memcmp(again, text, size_t(len)) != 0 || gen == 0) {
        fprintf(stderr,
                MPI_PROGRAM_NAME ": cannot resume from %s: not a checkpoint of " MPI_PROGRAM_NAME
                                 " (or cut short)\n",
                ck);
        return 1;
    }
    if (ranks != g_size) {
        fprintf(stderr,
                MPI_PROGRAM_NAME ": cannot resume from %s: written by a job of %d ranks; resume "
                                 "it with mpirun -n %d\n",
                ck, ranks, ranks);
        return 1;
    }
    *generation = gen;
    return 0;
}

// Every rank loads its part of the job's checkpoint. 0, or 1 after the refusal.
int load_part(const mpi_options &mo, const char *ck, uint64_t *generation) {
    int64_t info[2] = {0, 0};  // status, generation
    if (g_rank == 0) {
        uint64_t gen = 0;
        info[0] = read_job_checkpoint(ck, &gen);
        info[1] = int64_t(gen);
    }
    MPI_Bcast(info, 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
    if (info[0] != 0) return 1;
    *generation = uint64_t(info[1]);
    g_part = std::string(ck) + "." + std::to_string(g_rank) + ".ck" + std::to_string(info[1] % 2);
    g_config.resume = g_part.c_str();
    int status = fr2_resume_load(&g_config);
    if (status == 0 && mo.output && shard_name(mo) != g_config.output) {
        if (g_rank == 0)
            fprintf(stderr,
                    MPI_PROGRAM_NAME ": cannot resume from %s: --output (or --compress) given "
                                     "differs from the job it holds\n",
                    ck);
        status = 1;
    }
    return agree(status) != 0 ? 1 : 0;
}

// After a finished job: CK goes first, so that a crash between the two never
// leaves a checkpoint that names parts already gone.
void remove_checkpoint(const char *ck) {
    if (g_rank == 0 && unlink(ck) != 0 && errno != ENOENT)
        fprintf(stderr, MPI_PROGRAM_NAME ": cannot remove the checkpoint %s: %s\n", ck,
                strerror(errno));
    MPI_Barrier(MPI_COMM_WORLD);
    for (int slot = 0; slot < 2; slot++) {
        std::string part = std::string(ck) + "." + std::to_string(g_rank) + ".ck" +
                           std::to_string(slot);
        unlink(part.c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    g_prefixer = start_prefixer();
    int provided = 0;
    // Only this thread calls MPI: it becomes the communication thread.
#if defined(__SANITIZE_ADDRESS__)
    // What Open MPI keeps from its start-up (some of it from components it
    // unloads again at once) is its own: not counted as leaks.
    __lsan_disable();
#endif
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    MPI_Comm_rank(MPI_COMM_WORLD, &g_rank);
    MPI_Comm_size(MPI_COMM_WORLD, &g_size);
    prefixer_set_rank(g_prefixer, g_rank);

    // Every rank parses the same command line to the same result; only rank
    // 0 says what it finds.
    mpi_options mo = split_options(argc, argv);
    int quiet = -1, saved_out = -1, saved_err = -1;
    if (g_rank != 0) {
        quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        saved_out = fcntl(1, F_DUPFD_CLOEXEC, 3);
        saved_err = fcntl(2, F_DUPFD_CLOEXEC, 3);
        dup2(quiet, 1);
        dup2(quiet, 2);
    }
    if (mo.help) print_mpi_help();
    int status = 0;
    fr2_config_status cs = fr2_config_parse(int(mo.scanner_argv.size()) - 1, mo.scanner_argv.data(),
                                            &g_config, &status);
    // A resumed job goes on checkpointing into the files it resumed from.
    const char *ck = g_config.resume ? g_config.resume : mo.checkpoint;
    if (cs == FR2_CONFIG_RUN && mo.checkpoint && !mo.checkpoint[0]) {
        fprintf(stderr, MPI_PROGRAM_NAME ": --checkpoint needs a file name\n");
        cs = FR2_CONFIG_EXIT;
        status = 1;
    }
    if (cs == FR2_CONFIG_RUN && g_config.resume && mo.checkpoint &&
        strcmp(mo.checkpoint, g_config.resume) != 0) {
        fprintf(stderr,
                MPI_PROGRAM_NAME ": cannot resume from %s: --checkpoint given differs (a resumed "
                                 "job checkpoints into the files it resumed from)\n",
                g_config.resume);
        cs = FR2_CONFIG_EXIT;
        status = 1;
    }
    if (cs == FR2_CONFIG_RUN && !mo.output && !g_config.resume) {
        fprintf(stderr,
                MPI_PROGRAM_NAME ": --output PREFIX is required: each rank writes its lines to "
                                 "PREFIX.<rank>.csv (the standard output of many ranks through "
                                 "mpirun can cut lines)\n");
        cs = FR2_CONFIG_EXIT;
        status = 1;
    }
    int32_t level = FR2_DEFAULT_COMPRESS_LEVEL;
    if (cs == FR2_CONFIG_RUN && check_compress_level(mo.compress_level, &level) != 0) {
        cs = FR2_CONFIG_EXIT;
        status = 1;
    }
    fflush(stdout);
    fflush(stderr);
    if (g_rank != 0) {
        dup2(saved_out, 1);
        dup2(saved_err, 2);
        close(saved_out);
        close(saved_err);
        close(quiet);
    }
    if (cs != FR2_CONFIG_RUN) return finish(status);

    // Every rank tries; one warning is enough.
    if (setuid(0) != 0 && g_rank == 0)
        fputs("unable to setuid root; not all files may be processed\n", stderr);

    uint64_t generation = 0;
    if (g_config.resume && load_part(mo, ck, &generation) != 0) return finish(1);

    // Rank 0 stats the root; every rank ends with its errno when that fails.
    const char *dir = g_config.root;
    struct statx root_stx;
    memset(&root_stx, 0, sizeof root_stx);
    int64_t root_info[2] = {0, 0};  // errno, device
    if (g_rank == 0) {
        uint64_t dev = 0;
        root_info[0] = fr2_run_stat_root(dir, &root_stx, &dev);
        root_info[1] = int64_t(dev);
    }
    MPI_Bcast(root_info, 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
    if (root_info[0] != 0) return finish(int(root_info[0]));
    if (agree(open_shard(mo, level)) != 0) return finish(1);
    fr2_state_init();
    fr2_run_fit_descriptor_limit();
    {
        // The rate cap is the job's: each rank starts with an even share of
        // it, which rank 0 moves to where the work is (fr2_mpi_comm.cpp).
        // Each rank adapts its own window, and traces it to FILE.<rank>.
        int64_t share = fr2_mpi_rate_even_share(g_config.max_rate, g_size, g_rank);
        std::string trace;
        if (g_config.load_trace)
            trace = std::string(g_config.load_trace) + "." + std::to_string(g_rank);
        int rc = fr2_load_init(fr2_stat_most_requests(g_config.threads), g_config.max_inflight,
                               !g_config.no_adapt, share, trace.empty() ? nullptr : trace.c_str());
        if (agree(rc == 0 ? 0 : 1) != 0) return finish(1);
    }
    if (g_config.header) fr2_output_write(FR2_CSV_HEADER "\n", sizeof FR2_CSV_HEADER);
    g_state.root_dev = uint64_t(root_info[1]);
    // A chunk's report in flight between ranks would be state that no rank's
    // checkpoint holds.
    g_chunk_entries = ck ? 0 : mo.chunk_entries;
    int64_t start_time = int64_t(time(nullptr));
    if (g_config.resume) start_time -= fr2_resume_elapsed();
    fr2_mpi_comm_init(g_rank, g_size, start_time);
    fr2_mpi_comm_rate(g_config.max_rate);
    fr2_checkpoint_coordinated(start_time);
    if (ck) fr2_mpi_comm_checkpoints(ck, g_config.checkpoint_every, generation);
    fr2_mpi_comm_catch_stops();
    // The hold (see fr2_mpi_comm.cpp): this rank's walk cannot end on its own.
    g_state.dirs_pending.store(1, std::memory_order_release);
    if (g_config.resume)
        fr2_resume_restore();
    else if (g_rank == 0 && fr2_run_queue_root(dir, &root_stx) != 0)
        MPI_Abort(MPI_COMM_WORLD, 1);

    // The watchdog is the scanner's; the progress lines are the job's, from
    // rank 0's communication thread, and a rank waiting for work is not stuck.
    static const fr2_monitor_hooks rank_hooks = {fr2_mpi_comm_has_work, true};
    if (!fr2_run_start(start_time, &rank_hooks, false)) MPI_Abort(MPI_COMM_WORLD, 1);

    fr2_mpi_end end = fr2_mpi_comm_run();  // until every rank's walk is over
    if (end != FR2_MPI_WALK_DONE) {
        // Stopped: the workers stay paused, what they listed is written out
        // (and, with a checkpoint, committed).
        if (g_rank == 0) {
            if (end == FR2_MPI_STOPPED)
                fprintf(stderr, MPI_PROGRAM_NAME ": stopped; resume with --resume %s\n", ck);
            else if (ck)
                fputs(MPI_PROGRAM_NAME ": stopped; no checkpoint could be written, the output "
                                       "is incomplete\n",
                      stderr);
            else
                fputs(MPI_PROGRAM_NAME ": stopped; the output is incomplete\n", stderr);
        }
        fflush(stderr);
        MPI_Finalize();
        prefixer_stop(g_prefixer);
        _exit(FR2_EXIT_STOPPED);
    }

    fr2_run_join();
    fr2_flush_output(fr2_mpi_comm_output());
    fr2_outbuf_release(fr2_mpi_comm_output());
    {
        // The checkpoint goes only once every shard is whole on disk.
        int64_t committed = 0;
        status = ck && fr2_output_commit(&committed) != 0 ? 1 : 0;
    }
    if (fr2_output_finish() != 0) status = 1;

    // The job's totals, and its worst status, to rank 0 for the one summary.
    int64_t mine[2] = {g_state.total_files.load(std::memory_order_relaxed),
                       g_state.total_bytes.load(std::memory_order_relaxed)};
    int64_t sums[2] = {0, 0};
    MPI_Reduce(mine, sums, 2, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
    status = agree(status);
    if (status == 0 && ck) remove_checkpoint(ck);
    if (g_rank == 0) {
        g_state.total_files.store(sums[0], std::memory_order_relaxed);
        g_state.total_bytes.store(sums[1], std::memory_order_relaxed);
        fr2_print_summary_line(start_time);
    }
    if (mo.stats) {
        // One line per rank, in rank order, after the summary.
        const fr2_mpi_stats *s = fr2_mpi_comm_stats();
        int64_t row[FR2_MPI_STATS_FIELDS + 1] = {
            mine[0],           s->steal_requests, s->steals_won,
            s->items_received, s->items_given,    s->messages_sent,
            s->bytes_sent,     s->chunk_reports,  s->token_passes};
        std::vector<int64_t> all(g_rank == 0 ? size_t(g_size) * (FR2_MPI_STATS_FIELDS + 1) : 1);
        MPI_Gather(row, FR2_MPI_STATS_FIELDS + 1, MPI_INT64_T, all.data(), FR2_MPI_STATS_FIELDS + 1,
                   MPI_INT64_T, 0, MPI_COMM_WORLD);
        for (int r = 0; g_rank == 0 && r < g_size; r++) {
            const int64_t *v = &all[size_t(r) * (FR2_MPI_STATS_FIELDS + 1)];
            fprintf(stderr,
                    MPI_PROGRAM_NAME " stats: rank %d: lines %lld, steal requests %lld, won %lld, "
                                     "items received %lld, given %lld, messages %lld, bytes %lld, "
                                     "chunk reports %lld, token passes %lld\n",
                    r, (long long)v[0], (long long)v[1], (long long)v[2], (long long)v[3],
                    (long long)v[4], (long long)v[5], (long long)v[6], (long long)v[7],
                    (long long)v[8]);
        }
    }
    fr2_load_finish();
    return finish(status);
}
