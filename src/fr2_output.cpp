// CSV records, quoting, per-worker output buffering, the destination.
//
// Each worker formats whole lines into its own 64 KiB buffer without heap;
// only a full buffer takes the output lock, for one write. For a .zst file the
// worker first compresses the buffer into a frame of its own, outside the
// lock, so the workers compress side by side; a 64 KiB frame of CSV
// compresses within about 1% of one long stream. Lines are
// formatted by hand (the 17 conversions of one snprintf per entry are the
// single largest cost of a warm walk), byte for byte equal to the format
//   "%llu,%llu,%d,\"%s\",\"%s\",%u,%u,%lld,%lu,%llu,%u,\"%07o\",%lld,%lld,%lld,%ld,%ld\n"
#include "fr2_output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <charconv>

#include <zstd.h>

#include "fr2.h"
#include "fr2_item.h"

// A quote-doubled path never has to be cut: the longest path the walker
// composes is a 4095-byte directory path, "/" and a 255-byte name, and every
// byte of it may double.
// The output is shared by every worker; a failed write is said once.
static pthread_mutex_t g_output_lock = PTHREAD_MUTEX_INITIALIZER;
static std::atomic<bool> g_output_failed;

static const size_t ESCAPED_PATH_SIZE = 2 * (FR2_MAX_PATH + 1 + 255) + 1;
static const size_t ESCAPED_EXT_SIZE = 4096;
// How long the forced exit waits for a reader that takes nothing.
static const int RESCUE_WAIT_MS = 2000;

// Quote-doubles src into dst (dst_size - 1 characters at most, then NUL) and
// returns the end of the copy, where its NUL is.
static char *output_escape_into(const char *src, char *dst, size_t dst_size) {
    size_t limit = dst_size - 1, n = 0;
    while (*src && n < limit) {
        // Copy the run up to the next quote in one go; most names have none.
        size_t run = strcspn(src, "\"");
        if (run > limit - n) run = limit - n;
        memcpy(dst + n, src, run);
        n += run;
        src += run;
        if (*src != '"' || n >= limit) break;
        src++;
        if (n + 1 < limit) {  // a doubled quote is never split
            dst[n] = '"';
            dst[n + 1] = '"';
            n += 2;
        }
        // else: the quote is dropped and the copy goes on
    }
    dst[n] = 0;
    return dst + n;
}

void fr2_csv_escape(const char *src, char *dst, size_t dst_size) {
    output_escape_into(src, dst, dst_size);
}

const char *fr2_extension(const char *name) {
    if (*name == '.') name++;  // a leading dot does not start an extension
    const char *dot = strrchr(name, '.');
    return dot ? dot + 1 : nullptr;
}

template <typename T> static inline char *output_put_num(char *p, T v) {
    return std::to_chars(p, p + 24, v).ptr;
}

static inline char *output_put_quoted(char *p, const char *s, size_t cap) {
    *p++ = '"';
    p = output_escape_into(s, p, cap);
    *p++ = '"';
    return p;
}

int fr2_format_line(char *line, const char *path, const char *ext, const struct statx *stx,
                    uint64_t parent_ino, int32_t depth, int64_t fcount, int64_t dirsum) {
    // The escaped fields are bounded (about 9 KB together) and every number is
    // at most 20 digits, so the line always fits FR2_LINE_MAX; the length test
    // below only keeps the promise that a line of FR2_LINE_MAX or more is dropped.
    static_assert(ESCAPED_PATH_SIZE + ESCAPED_EXT_SIZE + 17 * 24 < FR2_LINE_MAX);
    char *p = line;
    p = output_put_num(p, (unsigned long long)stx->stx_ino);
    *p++ = ',';
    p = output_put_num(p, (unsigned long long)parent_ino);
    *p++ = ',';
    p = output_put_num(p, depth);
    *p++ = ',';
    p = output_put_quoted(p, path, ESCAPED_PATH_SIZE);
    *p++ = ',';
    p = output_put_quoted(p, ext ? ext : "", ESCAPED_EXT_SIZE);
    *p++ = ',';
    p = output_put_num(p, stx->stx_uid);
    *p++ = ',';
    p = output_put_num(p, stx->stx_gid);
    *p++ = ',';
    p = output_put_num(p, (long long)stx->stx_size);
    *p++ = ',';
    p = output_put_num(p, (unsigned long)fr2_makedev(stx->stx_dev_major, stx->stx_dev_minor));
    *p++ = ',';
    p = output_put_num(p, (unsigned long long)stx->stx_blocks);
    *p++ = ',';
    p = output_put_num(p, stx->stx_nlink);
    *p++ = ',';
    *p++ = '"';
    {
        // "%07o" of a 16-bit mode: at most six digits, so always seven with zeros.
        unsigned mode = stx->stx_mode;
        for (int i = 6; i >= 0; i--) {
            p[i] = char('0' + (mode & 7));
            mode >>= 3;
        }
        p += 7;
    }
    *p++ = '"';
    *p++ = ',';
    p = output_put_num(p, (long long)stx->stx_atime.tv_sec);
    *p++ = ',';
    p = output_put_num(p, (long long)stx->stx_mtime.tv_sec);
    *p++ = ',';
    p = output_put_num(p, (long long)stx->stx_ctime.tv_sec);
    *p++ = ',';
    p = output_put_num(p, (long)fcount);
    *p++ = ',';
    p = output_put_num(p, (long)dirsum);
    *p++ = '\n';
    long len = p - line;
    return len < FR2_LINE_MAX ? int(len) : 0;
}

// ---- the destination -------------------------------------------------------------

// Where the lines go: standard output, or a file of the run's own, plain or
// zstd. Set while no worker runs; `length` moves under the output lock.
struct output_dest {
    int fd;          // -1: standard output, looked up at each write
    bool zstd;       // each unit is compressed into a frame of its own
    int level;       // the compression level
    char *path;      // for messages; null for standard output
    int64_t length;  // the file's length as written so far (the resumed part included)
};
static output_dest g_dest = {-1, false, 0, nullptr, 0};

// A compressor and room for the frame of one buffer. Frames are independent:
// a file cut after any of them is a valid stream that can be continued, and
// each worker compresses its own buffers outside the output lock.
struct fr2_zframe {
    ZSTD_CCtx *cctx;
    char frame[ZSTD_COMPRESSBOUND(FR2_OUT_BUF_SIZE)];
};
// The frames of units that belong to no worker (the header line).
static fr2_zframe *g_shared_zframe;

// A failed write means lines are lost: say so once and end the run with a
// failure at once rather than walking on for hours with nowhere to write.
// Several workers often fail at once (a full disk): the lock makes the others
// wait until the first has said it, so that none ends the process before the
// line is out.
static pthread_mutex_t g_output_fail_lock = PTHREAD_MUTEX_INITIALIZER;

// The forced exit holds the stream of standard error for good, so it must not
// wait here for a thread that is saying the failure (and waits for that
// stream): with `wait` false it leaves the saying to that thread.
static void output_say_failed(int err, bool wait = true) {
    if (!wait) {
        if (pthread_mutex_trylock(&g_output_fail_lock) != 0) return;
    } else {
        pthread_mutex_lock(&g_output_fail_lock);
    }
    if (!g_output_failed.exchange(true, std::memory_order_acq_rel)) {
        if (g_dest.path)
            fprintf(stderr, FR2_PROGRAM_NAME ": error writing %s: %s\n", g_dest.path,
                    strerror(err));
        else
            fprintf(stderr, FR2_PROGRAM_NAME ": error writing standard output: %s\n",
                    strerror(err));
        fflush(stderr);
    }
    pthread_mutex_unlock(&g_output_fail_lock);
}

[[noreturn]] static void output_failed(int err) {
    output_say_failed(err);
    _exit(1);
}

static void output_zframe_free(fr2_zframe *z) {
    if (!z) return;
    ZSTD_freeCCtx(z->cctx);
    free(z);
}

// The compressor of a buffer, made on its first use. A checksum in every
// frame lets a reader tell a damaged file from a good one.
static fr2_zframe *output_zframe(fr2_zframe **zp) {
    if (*zp) return *zp;
    fr2_zframe *z = static_cast<fr2_zframe *>(malloc(sizeof(fr2_zframe)));
    if (z) z->cctx = ZSTD_createCCtx();
    if (!z || !z->cctx ||
        ZSTD_isError(ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_compressionLevel, g_dest.level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_checksumFlag, 1))) {
        if (z && z->cctx) ZSTD_freeCCtx(z->cctx);
        free(z);
        return nullptr;
    }
    *zp = z;
    return z;
}

// Compresses one piece (at most FR2_OUT_BUF_SIZE bytes) into a frame of its
// own. The frame's length, or 0 with *err set.
static size_t output_compress(fr2_zframe **zp, const char *data, size_t len, int *err) {
    fr2_zframe *z = output_zframe(zp);
    if (!z) {
        *err = ENOMEM;
        return 0;
    }
    size_t n = ZSTD_compress2(z->cctx, z->frame, sizeof z->frame, data, len);
    if (ZSTD_isError(n)) {
        fprintf(stderr, FR2_PROGRAM_NAME ": zstd: %s\n", ZSTD_getErrorName(n));
        *err = EIO;
        return 0;
    }
    return n;
}

// Writes to the destination's descriptor itself (start-up flushed the stream
// after anything it printed): a write that the watchdog's signal interrupts,
// or that is cut short, goes on with the rest, and a non-blocking output is
// waited for. With a timeout (milliseconds, the forced exit's) the output is
// written in pieces a pipe takes whole while it says it has room, and given
// up when it has none for that long. A stream without a descriptor (one in
// memory) is written as a stream. 0, or the error. Under the output lock.
static int output_write_locked(const char *data, size_t len, int timeout_ms) {
    int fd = g_dest.fd >= 0 ? g_dest.fd : fileno(stdout);
    if (fd < 0) {
        if (fwrite(data, 1, len, stdout) != len) return errno ? errno : EIO;
        g_dest.length += int64_t(len);
        return 0;
    }
    while (len > 0) {
        size_t piece = len;
        if (timeout_ms >= 0) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            if (poll(&pfd, 1, timeout_ms) <= 0) return ETIMEDOUT;
            if (piece > PIPE_BUF) piece = PIPE_BUF;
        }
        ssize_t put = write(fd, data, piece);
        if (put > 0) {
            data += put;
            len -= size_t(put);
            g_dest.length += put;
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else if (put < 0 && errno == EAGAIN) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, timeout_ms);
        } else {
            return put < 0 ? errno : EIO;
        }
    }
    return 0;
}

// A worker here waits on the reader (or the disk), which the monitor must not
// take for storage that hangs.
static void output_write_unit(const char *data, size_t len) {
    g_state.output_waiting.fetch_add(1, std::memory_order_relaxed);
    pthread_mutex_lock(&g_output_lock);
    int err = output_write_locked(data, len, -1);
    pthread_mutex_unlock(&g_output_lock);
    g_state.output_waiting.fetch_sub(1, std::memory_order_relaxed);
    if (err) output_failed(err);
}

// Writes whole lines: as they are, or compressed by the caller's compressor
// into frames of at most one buffer's worth each.
static void output_put(fr2_zframe **zp, const char *data, size_t len) {
    if (!g_dest.zstd) {
        output_write_unit(data, len);
        return;
    }
    while (len > 0) {
        size_t piece = len < FR2_OUT_BUF_SIZE ? len : FR2_OUT_BUF_SIZE;
        int err = 0;
        size_t n = output_compress(zp, data, piece, &err);
        if (n == 0) output_failed(err);
        output_write_unit(zp[0]->frame, n);
        data += piece;
        len -= piece;
    }
}

static void buffer_output(fr2_outbuf *w, const char *data, int len) {
    if (w->len + len <= FR2_OUT_BUF_SIZE) {
        memcpy(w->buf + w->len, data, size_t(len));
        w->len += len;
        return;
    }
    if (w->len > 0) {
        output_put(&w->z, w->buf, size_t(w->len));
        w->len = 0;
    }
    if (len > FR2_OUT_BUF_SIZE) {
        output_put(&w->z, data, size_t(len));
        return;
    }
    memcpy(w->buf, data, size_t(len));
    w->len = len;
}

void fr2_flush_output(fr2_outbuf *w) {
    pthread_mutex_lock(&w->lock);
    if (w->len > 0) {
        output_put(&w->z, w->buf, size_t(w->len));
        w->len = 0;
    }
    pthread_mutex_unlock(&w->lock);
}

void fr2_outbuf_release(fr2_outbuf *w) {
    output_zframe_free(w->z);
    w->z = nullptr;
}

void fr2_format_file(fr2_outbuf *w, const char *path, const char *ext, const struct statx *stx,
                     uint64_t parent_ino, int32_t depth) {
    pthread_mutex_lock(&w->lock);  // never contended but by a forced exit
    // Format straight into the buffer when a whole line surely fits there.
    if (FR2_OUT_BUF_SIZE - w->len >= FR2_LINE_MAX) {
        int r = fr2_format_line(w->buf + w->len, path, ext, stx, parent_ino, depth, -1, 0);
        w->len += r;
    } else {
        char line[FR2_LINE_MAX];
        int r = fr2_format_line(line, path, ext, stx, parent_ino, depth, -1, 0);
        if (r > 0) buffer_output(w, line, r);
    }
    pthread_mutex_unlock(&w->lock);
}

void fr2_format_dir(fr2_outbuf *w, const char *path, const char *ext, const struct statx *stx,
                    uint64_t parent_ino, int32_t depth, int64_t fcount, int64_t dirsum) {
    char line[FR2_LINE_MAX];
    int r = fr2_format_line(line, path, ext, stx, parent_ino, depth - 1, fcount, dirsum);
    pthread_mutex_lock(&w->lock);
    if (r > 0) buffer_output(w, line, r);
    pthread_mutex_unlock(&w->lock);
}

// ---- opening, committing, ending ------------------------------------------------

bool fr2_output_is_zstd_name(const char *path) {
    size_t len = path ? strlen(path) : 0;
    return len > 4 && strcmp(path + len - 4, ".zst") == 0;
}

static int output_fail_open(const char *what, const char *path, const char *why, int fd) {
    fprintf(stderr, FR2_PROGRAM_NAME ": cannot %s output '%s': %s\n", what, path, why);
    if (fd >= 0) close(fd);
    return -1;
}

// Forgets the previous destination (a file is closed without a word: only a
// run that ended early leaves one open).
static void output_reset(void) {
    if (g_dest.fd >= 0) close(g_dest.fd);
    free(g_dest.path);
    output_zframe_free(g_shared_zframe);
    g_shared_zframe = nullptr;
    g_dest = {-1, false, 0, nullptr, 0};
    g_output_failed.store(false, std::memory_order_relaxed);
}

int fr2_output_open(const char *path, int compress_level, int64_t resume_len) {
    output_reset();
    if (path && strcmp(path, "-") == 0) path = nullptr;
    if (!path) {
        if (resume_len < 0) return 0;
        fputs(FR2_PROGRAM_NAME ": standard output cannot be continued: it needs --output FILE\n",
              stderr);
        return -1;
    }
    int fd;
    if (resume_len < 0) {
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return output_fail_open("open", path, strerror(errno), -1);
    } else {
        // Checked before anything is cut: a refusal leaves the file as it was.
        fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0) return output_fail_open("continue", path, strerror(errno), -1);
        struct stat st;
        if (fstat(fd, &st) != 0) return output_fail_open("continue", path, strerror(errno), fd);
        if (!S_ISREG(st.st_mode))
            return output_fail_open("continue", path, "not a regular file", fd);
        if (st.st_size < resume_len) {
            char why[128];
            snprintf(why, sizeof why, "%lld bytes, shorter than the %lld committed",
                     (long long)st.st_size, (long long)resume_len);
            return output_fail_open("continue", path, why, fd);
        }
        if (ftruncate(fd, resume_len) != 0 || lseek(fd, resume_len, SEEK_SET) < 0)
            return output_fail_open("continue", path, strerror(errno), fd);
    }
    g_dest.path = strdup(path);
    if (!g_dest.path) return output_fail_open("open", path, strerror(ENOMEM), fd);
    g_dest.fd = fd;
    g_dest.zstd = fr2_output_is_zstd_name(path);
    g_dest.level = compress_level;
    g_dest.length = resume_len < 0 ? 0 : resume_len;
    return 0;
}

int fr2_output_commit(int64_t *committed) {
    // Every frame is whole when it is written: there is no open frame to end.
    pthread_mutex_lock(&g_output_lock);
    int err = 0;
    if (g_dest.fd < 0 && fflush(stdout) != 0) err = errno ? errno : EIO;
    int fd = g_dest.fd >= 0 ? g_dest.fd : fileno(stdout);
    // A pipe or a terminal has nothing to make durable.
    if (err == 0 && fd >= 0 && fsync(fd) != 0 && errno != EINVAL && errno != EROFS) err = errno;
    *committed = g_dest.length;
    pthread_mutex_unlock(&g_output_lock);
    if (err == 0) return 0;
    output_say_failed(err);
    return -1;
}

void fr2_output_write(const char *data, size_t len) { output_put(&g_shared_zframe, data, len); }

int fr2_output_finish(void) {
    pthread_mutex_lock(&g_output_lock);
    int err = 0;
    if (g_dest.fd >= 0) {
        // A file system that writes back late (NFS) reports a failed write here.
        if (close(g_dest.fd) != 0 && errno != EINTR) err = errno;
        g_dest.fd = -1;
    } else if (fflush(stdout) != 0 || ferror(stdout)) {
        err = errno ? errno : EIO;
    }
    pthread_mutex_unlock(&g_output_lock);
    if (err == 0) return 0;
    output_say_failed(err);
    return -1;
}

// ---- the workers' buffers -------------------------------------------------------

// Each worker's buffer on cache lines of its own: its lock is taken for every
// line, the neighbour's end is written whenever that one fills.
struct output_slot {
    alignas(64) fr2_outbuf b;
};
static output_slot *g_outbufs;  // one per worker

int fr2_output_buffers_alloc(int32_t n) {
    fr2_table_free(g_outbufs);
    g_outbufs = static_cast<output_slot *>(fr2_table_alloc(size_t(n), sizeof(output_slot)));
    return g_outbufs ? 0 : -1;
}

fr2_outbuf *fr2_output_buffer_of(int32_t worker) { return &g_outbufs[worker].b; }

void fr2_output_buffers_release(void) {
    fr2_table_free(g_outbufs);
    g_outbufs = nullptr;
}

// Writes one stuck worker's buffer, without waiting long for the reader.
static int output_rescue_buffer(fr2_outbuf *b) {
    const char *data = b->buf;
    size_t len = size_t(b->len);
    int err = 0;
    if (g_dest.zstd) {
        len = output_compress(&b->z, b->buf, len, &err);
        if (len == 0) return err;
        data = b->z->frame;
    }
    return output_write_locked(data, len, RESCUE_WAIT_MS);
}

void fr2_output_flush_if_free(void) {
    if (pthread_mutex_trylock(&g_output_lock) != 0) return;
    // The process ends right after this: neither the output lock nor a
    // buffer's lock is given back, so no worker writes anything more. A
    // worker inside its buffer may be half-way through a line: its lines stay.
    int32_t count = g_state.worker_count.load(std::memory_order_acquire);  // pairs with start-up
    for (int32_t i = 0; i < count; i++) {
        fr2_outbuf *b = &g_outbufs[i].b;
        if (pthread_mutex_trylock(&b->lock) != 0 || b->len == 0) continue;
        int err = output_rescue_buffer(b);
        if (err == ETIMEDOUT) break;  // the reader takes nothing: the rest would wait too
        if (err) {
            output_say_failed(err, false);
            break;
        }
    }
    if (g_dest.fd < 0) fflush(stdout);
}
