// The command line and the exclude list.
#include "fr2_config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fr2.h"
#include "fr2_output.h"

fr2_config g_config;

void fr2_print_help(void) {
    printf("Usage: %s [options] <directory>\n", FR2_PROGRAM_NAME);
    puts("Flags: --help --version");
    puts("       --depth n     Stop walking at depth n");
    puts("       --NoSnap      Ignore .snapshot directories");
    puts("       --exclude FILE File containing paths to exclude");
    puts("       --one-file-system / -x  Don't cross filesystem boundaries");
    printf("       --threads n   Worker threads (default %d, max %d)\n", FR2_DEFAULT_THREADS,
           FR2_MAX_THREADS);
    printf("       --ring-depth n io_uring ring size (default %d)\n", FR2_DEFAULT_RING_DEPTH);
    puts("       --stat-mode m auto|ring|sync: statx per entry or io_uring, chosen by");
    puts("                     measured latency in auto (default auto)");
    puts("       --getdents-max n  Max concurrent getdents64 calls (default threads/4)");
    puts("       --max-rate n  List at most n entries per second (default 0: no cap)");
    puts("       --max-inflight n  At most n metadata requests in flight (default 0: no cap)");
    puts("       --no-adapt    Run every worker at once instead of fitting the load to latency");
    puts("       --load-trace FILE  Write the load window and latency over time to FILE");
    puts("       --header      Print CSV header");
    puts("       --output FILE Write the CSV to FILE; a name ending in .zst is zstd");
    printf("       --compress-level n  zstd level of a .zst FILE, %d to %d (default %d)\n",
           FR2_MIN_COMPRESS_LEVEL, FR2_MAX_COMPRESS_LEVEL, FR2_DEFAULT_COMPRESS_LEVEL);
    puts("       --checkpoint CK  Save the walk's state to CK now and then (needs --output)");
    printf("       --checkpoint-every s  Seconds between checkpoints (default %g)\n",
           FR2_CHECKPOINT_EVERY_SEC);
    puts("       --resume CK   Continue the walk saved in CK, with its directory and options");
    puts("\nOutput: CSV with 17 columns, same format as fsrake.");
    puts("File Header:");
    puts(FR2_CSV_HEADER);
}

static void config_print_version(void) {
    fprintf(stderr, "%s version %s\n", FR2_PROGRAM_NAME, FR2_VERSION);
    fprintf(stderr, "io_uring STATX batching for high-performance metadata scanning\n");
}

static int32_t config_parse_int(const char *s) {
    // strtol's rules, then the low 32 bits: no error is ever reported.
    return int32_t(uint32_t(uint64_t(strtol(s, nullptr, 10))));
}

static int32_t config_clamp(int32_t n, int32_t lo, int32_t hi) {
    return n < lo ? lo : n > hi ? hi : n;
}

static bool config_parse_stat_mode(const char *s, fr2_stat_mode *mode) {
    if (!strcmp(s, "auto"))
        *mode = FR2_STAT_MODE_AUTO;
    else if (!strcmp(s, "ring"))
        *mode = FR2_STAT_MODE_RING;
    else if (!strcmp(s, "sync"))
        *mode = FR2_STAT_MODE_SYNC;
    else {
        fprintf(stderr, "--stat-mode must be auto, ring or sync, not '%s'\n", s);
        return false;
    }
    return true;
}

// A level is a whole number in range: a typo must not pass for some level.
static bool config_parse_compress_level(const char *s, int32_t *level) {
    char *end;
    errno = 0;
    long n = strtol(s, &end, 10);
    if (errno || end == s || *end || n < FR2_MIN_COMPRESS_LEVEL || n > FR2_MAX_COMPRESS_LEVEL) {
        fprintf(stderr, "--compress-level must be from %d to %d, not '%s'\n",
                FR2_MIN_COMPRESS_LEVEL, FR2_MAX_COMPRESS_LEVEL, s);
        return false;
    }
    *level = int32_t(n);
    return true;
}

// A level asks for compression: with an output that would not be compressed
// the run is refused rather than writing plain CSV the user did not expect.
static bool config_check_output(const fr2_config *cfg, bool level_given) {
    if (!level_given || fr2_output_is_zstd_name(cfg->output)) return true;
    fputs(FR2_PROGRAM_NAME ": --compress-level needs --output FILE with a name ending in .zst\n",
          stderr);
    return false;
}

// A value of the load options: a whole decimal number from lo to hi and
// nothing else, or one line naming the option.
static bool config_parse_whole(const char *option, const char *s, int64_t lo, int64_t hi,
                               int64_t *out) {
    const char *p = s;
    int64_t n = 0;
    bool ok = *p != 0;
    for (; ok && *p; p++) {
        if (*p < '0' || *p > '9' || n > (hi - (*p - '0')) / 10)
            ok = false;
        else
            n = n * 10 + (*p - '0');
    }
    if (!ok || n < lo) {
        fprintf(stderr, "%s must be a whole number from %lld to %lld, not '%s'\n", option,
                (long long)lo, (long long)hi, s);
        return false;
    }
    *out = n;
    return true;
}

static void config_defaults(fr2_config *cfg) {
    memset(cfg, 0, sizeof *cfg);
    cfg->threads = FR2_DEFAULT_THREADS;
    cfg->ring_depth = FR2_DEFAULT_RING_DEPTH;
    cfg->compress_level = FR2_DEFAULT_COMPRESS_LEVEL;
    cfg->checkpoint_every = FR2_CHECKPOINT_EVERY_SEC;
}

// ---- checkpoint and resume options ---------------------------------------

static bool config_parse_seconds(const char *s, double *out) {
    char *end;
    double v = strtod(s, &end);
    if (end == s || *end || !(v >= 0.01 && v <= 1e7)) {
        fprintf(stderr, "--checkpoint-every must be a number of seconds from 0.01, not '%s'\n", s);
        return false;
    }
    *out = v;
    return true;
}

// One of the checkpoint options at argv[*i]: FR2_CONFIG_RUN when it was one
// and parsed, FR2_CONFIG_EXIT after its error; *matched says whether it was.
static fr2_config_status config_parse_checkpoint_option(int argc, char **argv, int *i,
                                                        fr2_config *cfg, bool *matched) {
    const char *a = argv[*i];
    const char *const names[] = {"--output", "--checkpoint", "--checkpoint-every", "--resume"};
    int which = -1;
    for (int k = 0; k < 4; k++)
        if (!strcmp(a, names[k])) which = k;
    *matched = which >= 0;
    if (which < 0) return FR2_CONFIG_RUN;
    if (*i + 1 >= argc) {
        fprintf(stderr, "%s requires argument\n", a);
        return FR2_CONFIG_EXIT;
    }
    const char *value = argv[++*i];
    switch (which) {
    case 0:
        cfg->output = value;
        cfg->given |= FR2_GIVEN_OUTPUT;
        break;
    case 1:
        cfg->checkpoint = value;
        cfg->given |= FR2_GIVEN_CHECKPOINT;
        break;
    case 2:
        if (!config_parse_seconds(value, &cfg->checkpoint_every)) return FR2_CONFIG_EXIT;
        break;
    default: cfg->resume = value; break;
    }
    return FR2_CONFIG_RUN;
}

// What cannot go together, said before anything is opened.
static bool config_check_checkpoint_options(const fr2_config *cfg) {
    if (cfg->checkpoint && !cfg->output && !cfg->resume) {
        fprintf(stderr, FR2_PROGRAM_NAME ": --checkpoint needs --output FILE: standard output "
                                         "cannot be cut back and continued on a resume\n");
        return false;
    }
    if (cfg->checkpoint && !cfg->checkpoint[0]) {
        fprintf(stderr, FR2_PROGRAM_NAME ": --checkpoint needs a file name\n");
        return false;
    }
    return true;
}

fr2_config_status fr2_config_parse(int argc, char **argv, fr2_config *cfg, int *exit_status) {
    config_defaults(cfg);
    *exit_status = 1;
    if (argc < 2) {
        fr2_print_help();
        return FR2_CONFIG_EXIT;
    }
    // Options one by one, left to right; the first argument that does not
    // begin with "-" is the directory, and everything after it is ignored.
    int i = 1;
    bool level_given = false;
    while (argv[i][0] == '-') {
        const char *a = argv[i];
        // A value option consumes the next argument, whatever it looks like.
        const char *value = nullptr;
        auto take_value = [&](const char *missing) {
            if (i + 1 >= argc) {
                fputs(missing, stderr);
                return false;
            }
            value = argv[++i];
            return true;
        };
        bool matched;
        if (config_parse_checkpoint_option(argc, argv, &i, cfg, &matched) == FR2_CONFIG_EXIT)
            return FR2_CONFIG_EXIT;
        if (matched) {
        } else if (!strcmp(a, "--NoSnap")) {
            cfg->no_snap = true;
            cfg->given |= FR2_GIVEN_NOSNAP;
        } else if (!strcmp(a, "--depth")) {
            if (!take_value("--depth requires argument\n")) return FR2_CONFIG_EXIT;
            cfg->max_depth = config_parse_int(value);
            cfg->given |= FR2_GIVEN_DEPTH;
        } else if (!strcmp(a, "--help")) {
            fr2_print_help();
            *exit_status = 0;
            return FR2_CONFIG_EXIT;
        } else if (!strcmp(a, "--version") || !strcmp(a, "-v")) {
            config_print_version();
            *exit_status = 0;
            return FR2_CONFIG_EXIT;
        } else if (!strcmp(a, "--header")) {
            cfg->header = true;
            cfg->given |= FR2_GIVEN_HEADER;
        } else if (!strcmp(a, "--exclude")) {
            if (!take_value("--exclude requires argument\n")) return FR2_CONFIG_EXIT;
            if (fr2_config_read_exclude_file(&cfg->exclude, value) != 0) return FR2_CONFIG_EXIT;
            cfg->given |= FR2_GIVEN_EXCLUDE;
        } else if (!strcmp(a, "--threads")) {
            if (!take_value("--threads requires argument\n")) return FR2_CONFIG_EXIT;
            cfg->threads = config_clamp(config_parse_int(value), 1, FR2_MAX_THREADS);
        } else if (!strcmp(a, "--ring-depth")) {
            if (!take_value("--ring-depth requires argument\n")) return FR2_CONFIG_EXIT;
            cfg->ring_depth =
                config_clamp(config_parse_int(value), FR2_MIN_RING_DEPTH, FR2_MAX_RING_DEPTH);
        } else if (!strcmp(a, "--stat-mode")) {
            if (!take_value("--stat-mode requires argument\n")) return FR2_CONFIG_EXIT;
            if (!config_parse_stat_mode(value, &cfg->stat_mode)) return FR2_CONFIG_EXIT;
        } else if (!strcmp(a, "--getdents-max")) {
            if (!take_value("--getdents-max requires argument\n")) return FR2_CONFIG_EXIT;
            int32_t n = config_parse_int(value);
            cfg->getdents_max = n <= 0 ? 1 : n;
        } else if (!strcmp(a, "--max-rate")) {
            if (!take_value("--max-rate requires argument\n")) return FR2_CONFIG_EXIT;
            if (!config_parse_whole(a, value, 0, FR2_MAX_RATE, &cfg->max_rate))
                return FR2_CONFIG_EXIT;
        } else if (!strcmp(a, "--max-inflight")) {
            if (!take_value("--max-inflight requires argument\n")) return FR2_CONFIG_EXIT;
            int64_t n;
            if (!config_parse_whole(a, value, 0, FR2_MAX_INFLIGHT, &n)) return FR2_CONFIG_EXIT;
            cfg->max_inflight = int32_t(n);
        } else if (!strcmp(a, "--no-adapt")) {
            cfg->no_adapt = true;
        } else if (!strcmp(a, "--load-trace")) {
            if (!take_value("--load-trace requires argument\n")) return FR2_CONFIG_EXIT;
            cfg->load_trace = value;
        } else if (!strcmp(a, "--one-file-system") || !strcmp(a, "-x")) {
            cfg->one_file_system = true;
            cfg->given |= FR2_GIVEN_ONE_FS;
        } else if (!strcmp(a, "--compress-level")) {
            if (!take_value("--compress-level requires argument\n")) return FR2_CONFIG_EXIT;
            if (!config_parse_compress_level(value, &cfg->compress_level)) return FR2_CONFIG_EXIT;
            level_given = true;
        } else {
            fprintf(stderr, "Unknown option: %s\n", a);
            return FR2_CONFIG_EXIT;
        }
        if (++i >= argc) {
            if (cfg->resume) break;  // the directory is the checkpoint's
            fprintf(stderr, "%s: missing directory argument\n", FR2_PROGRAM_NAME);
            return FR2_CONFIG_EXIT;
        }
    }
    cfg->root = i < argc ? argv[i] : nullptr;
    if (!config_check_output(cfg, level_given)) return FR2_CONFIG_EXIT;
    if (!config_check_checkpoint_options(cfg)) return FR2_CONFIG_EXIT;
    if (cfg->getdents_max == 0) cfg->getdents_max = cfg->threads;
    *exit_status = 0;
    return FR2_CONFIG_RUN;
}

void fr2_config_free(fr2_config *cfg) {
    for (int32_t i = 0; i < cfg->exclude.count; i++) free(cfg->exclude.paths[i]);
    config_defaults(cfg);
}

// ---- exclude list -----------------------------------------------------------

int fr2_config_read_exclude_file(fr2_exclude_list *list, const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, FR2_PROGRAM_NAME ": could not open exclude file: %s\n", path);
        return -1;
    }
    int rc = 0;
    char line[4096];  // a longer line arrives in pieces, each taken as a line
    while (fgets(line, sizeof line, f)) {
        if (list->count >= FR2_MAX_EXCLUDES) break;
        size_t len = strlen(line);
        if (len == 0) continue;
        if (line[len - 1] == '\n') line[--len] = 0;
        if (len == 0) continue;
        char *copy = strdup(line);
        if (!copy) {
            fprintf(stderr, FR2_PROGRAM_NAME ": out of memory reading exclude file: %s\n", path);
            rc = -1;
            goto out;
        }
        list->paths[list->count++] = copy;
    }
    // A read that fails (a directory given as the file, an I/O error) must not
    // pass for an empty list: the walk would read what it was told to leave.
    if (ferror(f)) {
        fprintf(stderr, FR2_PROGRAM_NAME ": could not read exclude file: %s: %s\n", path,
                strerror(errno));
        rc = -1;
    }
out:
    fclose(f);
    return rc;
}

bool fr2_check_exclude(const fr2_exclude_list *list, const char *path) {
    for (int32_t i = 0; i < list->count; i++)
        if (strcmp(path, list->paths[i]) == 0) return true;
    return false;
}
