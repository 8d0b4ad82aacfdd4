/*
 * hangfs — a FUSE file system for tests: a read-only passthrough of a
 * backing folder whose opendir or readdir of chosen directories can hang,
 * and which can answer every request after a fixed delay.
 *
 * Usage:
 *   hangfs [OPTIONS] BACKING MOUNTPOINT
 *
 * Options:
 *   --hang OP:MODE:PATH  make OP on the directory PATH hang. OP is "opendir"
 *                        or "readdir"; PATH is relative to the mount root
 *                        ("slow", "/a/b"; "/" is the root itself). MODE:
 *                          interruptible  the request waits until the kernel
 *                                         sends a FUSE interrupt for it (the
 *                                         caller got a signal that has a
 *                                         handler), then fails with EINTR,
 *                                         like a soft network mount;
 *                          stuck          interrupts are ignored, like a dead
 *                                         hard mount: the caller's open() or
 *                                         getdents64() stays blocked whatever
 *                                         signal it gets, except a fatal one
 *                                         (see below).
 *                          fail           (readdir only) the first reply of a
 *                                         listing is served, every later part
 *                                         of it fails with EIO: a directory
 *                                         whose read breaks in the middle.
 *                        May be given up to 64 times. Every call of OP on PATH
 *                        hangs, not only the first.
 *   --delay-us N         sleep N microseconds at the start of every file-system
 *                        operation (lookup/getattr, opendir, readdir, open,
 *                        read, ...), to stand in for a network file system.
 *                        Default 0. On unmount the daemon then says the most
 *                        delayed requests it had in flight at once ("hangfs:
 *                        at most N requests in flight").
 *   --threads N          serve requests with up to N threads (default 64), so
 *                        that with --delay-us the delay, not the daemon, bounds
 *                        the request rate, and a hanging request never keeps
 *                        the others (or the interrupt for it) waiting.
 *   -f, --foreground     stay in the foreground (default: detach like any FUSE
 *                        daemon once mounted).
 *   -d, --debug          libfuse's request trace on standard error (implies -f).
 *   -o OPTIONS           further mount options for libfuse, e.g. allow_other.
 *   -h, --help           this text.
 *
 * Always in force: no attribute, entry or negative caching (timeouts 0), no
 * readdir caching (every getdents64 reaches the daemon), READDIRPLUS (as NFS
 * does), file reads with direct_io, inode numbers taken from the backing folder. The
 * mount shows as type fuse.hangfs with source "hangfs". Build the tree in the
 * backing folder; the mount itself refuses every change (EROFS).
 *
 * A hanging request is released early in three cases, so that no test is left
 * with a process that cannot die: the calling thread has a fatal signal
 * pending or is gone (as on a hard NFS mount, which SIGKILL still breaks; this
 * also lets a process that calls exit() while one of its threads hangs here
 * finish exiting) — answered with EIO; the daemon is told to stop (SIGTERM,
 * SIGINT, SIGHUP) or the file system is unmounted — answered with EIO.
 *
 * Each hang writes one line to standard error when it starts and one when it
 * ends ("hangfs: readdir /slow: hanging (interruptible) for thread 123",
 * "hangfs: readdir /slow: interrupted, answering EINTR").
 *
 * Unmount with "fusermount3 -u MOUNTPOINT" (or kill the daemon with SIGTERM:
 * it unmounts on the way out). Exit status: 0 after a clean unmount, 1 on a
 * usage error or when the backing folder cannot be opened, else libfuse's.
 *
 * Examples:
 *   hangfs -f --hang readdir:interruptible:/nfs/dead BACK MNT
 *   hangfs --delay-us 1000 --threads 128 BACK MNT   (benchmarks)
 */
#define FUSE_USE_VERSION 312
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

enum hang_op { HANG_OPENDIR, HANG_READDIR };
enum hang_mode { HANG_INTERRUPTIBLE, HANG_STUCK, HANG_FAIL };

struct hang_rule {
    enum hang_op op;
    enum hang_mode mode;
    char path[PATH_MAX];  // as libfuse gives paths: "/", "/a", "/a/b"
};

#define MAX_RULES 64
static struct hang_rule g_rules[MAX_RULES];
static int g_rule_count;
static long g_delay_us;
static int g_backing_fd = -1;

static void logf_(const char *fmt, ...) {
    char line[PATH_MAX + 256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if ((size_t)n >= sizeof line) n = sizeof line - 1;
    // One write per line, so lines of concurrent hangs do not mix.
    ssize_t w = write(2, line, (size_t)n);
    (void)w;
}

// Requests inside their delay now, and the most there ever were.
static int g_in_delay, g_most_in_delay;

static void delay(void) {
    if (g_delay_us <= 0) return;
    int now = __atomic_add_fetch(&g_in_delay, 1, __ATOMIC_RELAXED);
    int most = __atomic_load_n(&g_most_in_delay, __ATOMIC_RELAXED);
    while (now > most && !__atomic_compare_exchange_n(&g_most_in_delay, &most, now, 1,
                                                      __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
    struct timespec ts = {g_delay_us / 1000000, (g_delay_us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    __atomic_sub_fetch(&g_in_delay, 1, __ATOMIC_RELAXED);
}

// libfuse paths are absolute within the mount; the backing folder is reached
// through its descriptor, so a daemon that has changed directory still works.
static const char *rel(const char *path) {
    while (*path == '/') path++;
    return *path ? path : ".";
}

// Does the thread that sent the request have a fatal signal pending, or is it
// gone? Read from /proc/<tid>/status: SigPnd and ShdPnd hold SIGKILL (bit 9)
// once the process is being killed or one of its threads called exit().
static int caller_dying(pid_t tid) {
    if (tid <= 0) return 0;
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/status", (int)tid);
    FILE *f = fopen(name, "re");
    if (!f) return errno == ENOENT || errno == ESRCH;
    char line[256];
    int dying = 0;
    const unsigned long long kill_bit = 1ULL << (SIGKILL - 1);
    while (fgets(line, sizeof line, f)) {
        unsigned long long mask;
        char state;
        if ((sscanf(line, "SigPnd: %llx", &mask) == 1 || sscanf(line, "ShdPnd: %llx", &mask) == 1) &&
            (mask & kill_bit))
            dying = 1;
        if (sscanf(line, "State: %c", &state) == 1 && (state == 'Z' || state == 'X')) dying = 1;
    }
    fclose(f);
    return dying;
}

static const char *op_name(enum hang_op op) { return op == HANG_OPENDIR ? "opendir" : "readdir"; }

// If a rule says so, hang this request; returns 0 when it should be served,
// else the negative errno to answer with.
static int maybe_hang(enum hang_op op, const char *path) {
    const struct hang_rule *rule = NULL;
    for (int i = 0; i < g_rule_count; i++)
        if (g_rules[i].op == op && strcmp(g_rules[i].path, path) == 0) rule = &g_rules[i];
    if (!rule || rule->mode == HANG_FAIL) return 0;

    struct fuse_context *ctx = fuse_get_context();
    struct fuse_session *se = fuse_get_session(ctx->fuse);
    pid_t tid = ctx->pid;
    const char *mode = rule->mode == HANG_STUCK ? "stuck" : "interruptible";
    logf_("hangfs: %s %s: hanging (%s) for thread %d\n", op_name(op), path, mode, (int)tid);
    // Polling keeps this simple: libfuse marks the request interrupted from
    // another serving thread, and exit and death are seen within 20 ms.
    const struct timespec tick = {0, 20 * 1000 * 1000};
    for (unsigned n = 0;; n++) {
        if (rule->mode == HANG_INTERRUPTIBLE && fuse_interrupted()) {
            logf_("hangfs: %s %s: interrupted, answering EINTR\n", op_name(op), path);
            return -EINTR;
        }
        if (fuse_session_exited(se)) {
            logf_("hangfs: %s %s: file system going away, answering EIO\n", op_name(op), path);
            return -EIO;
        }
        if (n % 5 == 0 && caller_dying(tid)) {
            logf_("hangfs: %s %s: caller %d is dying, answering EIO\n", op_name(op), path, (int)tid);
            return -EIO;
        }
        nanosleep(&tick, NULL);
    }
}

// ---- the passthrough ---------------------------------------------------------

static void *hang_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    cfg->use_ino = 1;
    cfg->readdir_ino = 1;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->ac_attr_timeout_set = 1;
    cfg->ac_attr_timeout = 0;
    cfg->kernel_cache = 0;
    cfg->auto_cache = 0;
    cfg->direct_io = 1;
    // READDIRPLUS, as NFS clients use it: a listing brings each entry's
    // attributes with it, and the entries become dentries that expire at once.
    // A later stat of an entry then revalidates its dentry with a LOOKUP, and
    // such LOOKUPs run in parallel; the first lookup of a name the kernel has
    // never seen is serialised per directory (this libfuse cannot ask for
    // parallel directory operations), which a plain READDIR would make the
    // common case. No FOPEN_CACHE_DIR: opendir leaves cache_readdir at 0.
    if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~(unsigned)FUSE_CAP_READDIRPLUS_AUTO;
    return NULL;
}

static int hang_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    (void)fi;
    delay();
    return fstatat(g_backing_fd, rel(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int hang_readlink(const char *path, char *buf, size_t size) {
    delay();
    if (size == 0) return -EINVAL;
    ssize_t n = readlinkat(g_backing_fd, rel(path), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = 0;
    return 0;
}

static int hang_access(const char *path, int mask) {
    delay();
    if (mask & W_OK) return -EROFS;
    return faccessat(g_backing_fd, rel(path), mask, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

struct dir_handle {
    DIR *dp;
    struct dirent *entry;  // read but not yet handed out
    off_t offset;          // position of entry (telldir), or of the next read
};

static int hang_opendir(const char *path, struct fuse_file_info *fi) {
    delay();
    int r = maybe_hang(HANG_OPENDIR, path);
    if (r) return r;
    struct dir_handle *d = calloc(1, sizeof *d);
    if (!d) return -ENOMEM;
    int fd = openat(g_backing_fd, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || !(d->dp = fdopendir(fd))) {
        int e = errno;
        if (fd >= 0) close(fd);
        free(d);
        return -e;
    }
    fi->fh = (uint64_t)(uintptr_t)d;
    fi->cache_readdir = 0;
    fi->keep_cache = 0;
    return 0;
}

static int hang_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset,
                        struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    delay();
    int r = maybe_hang(HANG_READDIR, path);
    if (r) return r;
    if (offset != 0)
        for (int i = 0; i < g_rule_count; i++)
            if (g_rules[i].op == HANG_READDIR && g_rules[i].mode == HANG_FAIL &&
                strcmp(g_rules[i].path, path) == 0) {
                logf_("hangfs: readdir %s: failing at offset %lld with EIO\n", path, (long long)offset);
                return -EIO;
            }
    struct dir_handle *d = (struct dir_handle *)(uintptr_t)fi->fh;
    // The kernel resumes at the offset it was given last; entries carry the
    // telldir position after them, so a resumed read neither skips nor repeats.
    if (offset != d->offset) {
        seekdir(d->dp, offset);
        d->entry = NULL;
        d->offset = offset;
    }
    for (;;) {
        if (!d->entry) {
            errno = 0;
            d->entry = readdir(d->dp);
            if (!d->entry) {
                if (errno) return -errno;
                break;
            }
        }
        struct stat st;
        enum fuse_fill_dir_flags fill = 0;
        memset(&st, 0, sizeof st);
        if ((flags & FUSE_READDIR_PLUS) &&
            fstatat(dirfd(d->dp), d->entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            fill = FUSE_FILL_DIR_PLUS;
        } else {
            st.st_ino = d->entry->d_ino;
            st.st_mode = (mode_t)(DTTOIF(d->entry->d_type));
        }
        off_t next = telldir(d->dp);
        if (filler(buf, d->entry->d_name, &st, next, fill)) break;  // the reply is full
        d->entry = NULL;
        d->offset = next;
    }
    return 0;
}

static int hang_releasedir(const char *path, struct fuse_file_info *fi) {
    (void)path;
    struct dir_handle *d = (struct dir_handle *)(uintptr_t)fi->fh;
    closedir(d->dp);
    free(d);
    return 0;
}

static int hang_open(const char *path, struct fuse_file_info *fi) {
    delay();
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) return -EROFS;
    int fd = openat(g_backing_fd, rel(path), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    fi->direct_io = 1;
    return 0;
}

static int hang_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    (void)path;
    delay();
    ssize_t n = pread((int)fi->fh, buf, size, off);
    return n < 0 ? -errno : (int)n;
}

static int hang_release(const char *path, struct fuse_file_info *fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int hang_statfs(const char *path, struct statvfs *sv) {
    (void)path;
    delay();
    return fstatvfs(g_backing_fd, sv) == 0 ? 0 : -errno;
}

static const struct fuse_operations hang_ops = {
    .getattr = hang_getattr,
    .readlink = hang_readlink,
    .open = hang_open,
    .read = hang_read,
    .statfs = hang_statfs,
    .release = hang_release,
    .opendir = hang_opendir,
    .readdir = hang_readdir,
    .releasedir = hang_releasedir,
    .init = hang_init,
    .access = hang_access,
};

// ---- command line ------------------------------------------------------------

static void usage(FILE *f) {
    fprintf(f,
            "usage: hangfs [--hang OP:MODE:PATH]... [--delay-us N] [--threads N] [-f] [-d]\n"
            "              [-o OPTIONS] BACKING MOUNTPOINT\n"
            "  OP: opendir | readdir   MODE: interruptible | stuck | fail (readdir)\n"
            "  PATH: a directory, relative to the mount root\n");
}

static int parse_rule(const char *text) {
    if (g_rule_count == MAX_RULES) {
        fprintf(stderr, "hangfs: more than %d --hang rules\n", MAX_RULES);
        return -1;
    }
    struct hang_rule *r = &g_rules[g_rule_count];
    const char *c1 = strchr(text, ':');
    const char *c2 = c1 ? strchr(c1 + 1, ':') : NULL;
    if (!c2) goto bad;
    size_t oplen = (size_t)(c1 - text), modelen = (size_t)(c2 - c1 - 1);
    if (oplen == 7 && !strncmp(text, "opendir", 7)) r->op = HANG_OPENDIR;
    else if (oplen == 7 && !strncmp(text, "readdir", 7)) r->op = HANG_READDIR;
    else goto bad;
    if (modelen == 13 && !strncmp(c1 + 1, "interruptible", 13)) r->mode = HANG_INTERRUPTIBLE;
    else if (modelen == 5 && !strncmp(c1 + 1, "stuck", 5)) r->mode = HANG_STUCK;
    else if (modelen == 4 && !strncmp(c1 + 1, "fail", 4) && r->op == HANG_READDIR) r->mode = HANG_FAIL;
    else goto bad;
    // Normalise to libfuse's form: one leading slash, no trailing one.
    const char *p = c2 + 1;
    while (*p == '/') p++;
    size_t len = strlen(p);
    while (len > 0 && p[len - 1] == '/') len--;
    if (len + 2 > sizeof r->path) goto bad;
    r->path[0] = '/';
    memcpy(r->path + 1, p, len);
    r->path[len + 1] = 0;
    g_rule_count++;
    return 0;
bad:
    fprintf(stderr, "hangfs: bad --hang rule '%s' (want OP:MODE:PATH, OP opendir|readdir, "
                    "MODE interruptible|stuck)\n", text);
    return -1;
}

static int parse_number(const char *opt, const char *s, long min, long max, long *out) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < min || v > max) {
        fprintf(stderr, "hangfs: %s wants a number from %ld to %ld, not '%s'\n", opt, min, max, s);
        return -1;
    }
    *out = v;
    return 0;
}

int main(int argc, char **argv) {
    const char *positional[2] = {NULL, NULL};
    int npos = 0, foreground = 0, debug = 0;
    long threads = 64;
    const char *mount_opts[32];
    int nopts = 0;

    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *val = NULL;
#define TAKE(name)                                                                        \
    (strcmp(a, name) == 0 ? (i + 1 < argc ? (val = argv[++i], 1)                           \
                                          : (fprintf(stderr, "hangfs: %s needs a value\n", \
                                                     name), exit(1), 0))                   \
     : strncmp(a, name "=", sizeof(name)) == 0 ? (val = a + sizeof(name), 1) : 0)
        if (TAKE("--hang")) {
            if (parse_rule(val)) return 1;
        } else if (TAKE("--delay-us")) {
            if (parse_number("--delay-us", val, 0, 60L * 1000 * 1000, &g_delay_us)) return 1;
        } else if (TAKE("--threads")) {
            if (parse_number("--threads", val, 1, 100000, &threads)) return 1;
        } else if (TAKE("-o")) {
            if (nopts == 32) {
                fprintf(stderr, "hangfs: too many -o options\n");
                return 1;
            }
            mount_opts[nopts++] = val;
        } else if (!strcmp(a, "-f") || !strcmp(a, "--foreground")) {
            foreground = 1;
        } else if (!strcmp(a, "-d") || !strcmp(a, "--debug")) {
            debug = foreground = 1;
        } else if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            usage(stdout);
            return 0;
        } else if (a[0] == '-' && a[1]) {
            fprintf(stderr, "hangfs: unknown option '%s'\n", a);
            usage(stderr);
            return 1;
        } else if (npos < 2) {
            positional[npos++] = a;
        } else {
            fprintf(stderr, "hangfs: too many arguments\n");
            usage(stderr);
            return 1;
        }
#undef TAKE
    }
    if (npos != 2) {
        usage(stderr);
        return 1;
    }
    g_backing_fd = open(positional[0], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_backing_fd < 0) {
        fprintf(stderr, "hangfs: backing folder '%s': %s\n", positional[0], strerror(errno));
        return 1;
    }

    // Hand libfuse a command line of its own: the mount point, our fixed
    // options, the serving threads and whatever -o the caller added.
    char threads_opt[64];
    snprintf(threads_opt, sizeof threads_opt, "max_threads=%ld,max_idle_threads=%ld", threads,
             threads);
    const char *fargv[64];
    int fargc = 0;
    fargv[fargc++] = "hangfs";
    if (foreground) fargv[fargc++] = "-f";
    if (debug) fargv[fargc++] = "-d";
    fargv[fargc++] = "-o";
    fargv[fargc++] = "fsname=hangfs,subtype=hangfs,ro";
    fargv[fargc++] = "-o";
    fargv[fargc++] = threads_opt;
    for (int i = 0; i < nopts; i++) {
        fargv[fargc++] = "-o";
        fargv[fargc++] = mount_opts[i];
    }
    fargv[fargc++] = positional[1];
    fargv[fargc] = NULL;
    int rc = fuse_main(fargc, (char **)fargv, &hang_ops, NULL);
    if (g_delay_us > 0)
        logf_("hangfs: at most %d requests in flight\n",
              __atomic_load_n(&g_most_in_delay, __ATOMIC_RELAXED));
    return rc;
}
