// CSV records, quoting, per-worker output buffering.
//
// Each worker formats whole lines into its own 64 KiB buffer without locks or
// heap; only a full buffer takes the output lock, for one write. Lines are
// formatted by hand (the 17 conversions of one snprintf per entry are the
// single largest cost of a warm walk), byte for byte equal to the format
//   "%llu,%llu,%d,\"%s\",\"%s\",%u,%u,%lld,%lu,%llu,%u,\"%07o\",%lld,%lld,%lld,%ld,%ld\n"
#include "fr2_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>

#include "fr2.h"
#include "fr2_queue.h"

// A quote-doubled path never has to be cut: the longest path the walker
// composes is a 4095-byte directory path, "/" and a 255-byte name, and every
// byte of it may double.
// Standard output is shared by every worker; a failed write is said once.
static pthread_mutex_t g_output_lock = PTHREAD_MUTEX_INITIALIZER;
static std::atomic<bool> g_output_failed;

static const size_t ESCAPED_PATH_SIZE = 2 * (FR2_MAX_PATH + 1 + 255) + 1;
static const size_t ESCAPED_EXT_SIZE = 4096;

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

// A failed write means lines are lost: say so once and end the run with a
// failure at once rather than walking on for hours with nowhere to write.
[[noreturn]] static void output_failed(int err) {
    if (!g_output_failed.exchange(true, std::memory_order_acq_rel))
        fprintf(stderr, FR2_PROGRAM_NAME ": error writing standard output: %s\n", strerror(err));
    _exit(1);
}

// Writes to the stream's descriptor itself (start-up flushed the stream after
// the header): a write that the watchdog's signal interrupts, or that is cut
// short, goes on with the rest, and a non-blocking standard output is waited
// for. A stream without a descriptor (one in memory) is written as a stream.
// A worker here waits on the reader, which the monitor must not take for
// storage that hangs.
static void output_write_stdout(const char *data, size_t len) {
    g_state.output_waiting.fetch_add(1, std::memory_order_relaxed);
    pthread_mutex_lock(&g_output_lock);
    int err = 0;
    int fd = fileno(stdout);
    if (fd < 0 && fwrite(data, 1, len, stdout) != len) err = errno ? errno : EIO;
    while (fd >= 0 && len > 0) {
        ssize_t put = write(fd, data, len);
        if (put > 0) {
            data += put;
            len -= size_t(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else if (put < 0 && errno == EAGAIN) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, -1);
        } else {
            err = put < 0 ? errno : EIO;
            break;
        }
    }
    pthread_mutex_unlock(&g_output_lock);
    g_state.output_waiting.fetch_sub(1, std::memory_order_relaxed);
    if (err) output_failed(err);
}

static void buffer_output(fr2_outbuf *w, const char *data, int len) {
    if (w->len + len <= FR2_OUT_BUF_SIZE) {
        memcpy(w->buf + w->len, data, size_t(len));
        w->len += len;
        return;
    }
    if (w->len > 0) {
        output_write_stdout(w->buf, size_t(w->len));
        w->len = 0;
    }
    if (len > FR2_OUT_BUF_SIZE) {
        output_write_stdout(data, size_t(len));
        return;
    }
    memcpy(w->buf, data, size_t(len));
    w->len = len;
}

void fr2_flush_output(fr2_outbuf *w) {
    if (w->len > 0) {
        output_write_stdout(w->buf, size_t(w->len));
        w->len = 0;
    }
}

void fr2_format_file(fr2_outbuf *w, const char *path, const char *ext, const struct statx *stx,
                     uint64_t parent_ino, int32_t depth) {
    // Format straight into the buffer when a whole line surely fits there.
    if (FR2_OUT_BUF_SIZE - w->len >= FR2_LINE_MAX) {
        int r = fr2_format_line(w->buf + w->len, path, ext, stx, parent_ino, depth, -1, 0);
        w->len += r;
        return;
    }
    char line[FR2_LINE_MAX];
    int r = fr2_format_line(line, path, ext, stx, parent_ino, depth, -1, 0);
    if (r > 0) buffer_output(w, line, r);
}

void fr2_format_dir(fr2_outbuf *w, const char *path, const char *ext, const struct statx *stx,
                    uint64_t parent_ino, int32_t depth, int64_t fcount, int64_t dirsum) {
    char line[FR2_LINE_MAX];
    int r = fr2_format_line(line, path, ext, stx, parent_ino, depth - 1, fcount, dirsum);
    if (r > 0) buffer_output(w, line, r);
}

int fr2_output_finish(void) {
    pthread_mutex_lock(&g_output_lock);
    int err = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) err = errno ? errno : EIO;
    pthread_mutex_unlock(&g_output_lock);
    if (err == 0) return 0;
    if (!g_output_failed.exchange(true, std::memory_order_acq_rel))
        fprintf(stderr, FR2_PROGRAM_NAME ": error writing standard output: %s\n", strerror(err));
    return -1;
}

void fr2_output_flush_if_free(void) {
    if (pthread_mutex_trylock(&g_output_lock) == 0) fflush(stdout);
}

// A plain file only, put in place of standard output's descriptor so that
// every write path stays the same.
int fr2_output_open(const char *path, int compress_level, int64_t resume_len) {
    (void)compress_level;
    if (!path) return 0;
    int fd = open(path, O_WRONLY | O_CLOEXEC | (resume_len < 0 ? O_CREAT | O_TRUNC : 0), 0644);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) goto failed;
    if (resume_len >= 0) {
        if (st.st_size < resume_len) {
            fprintf(stderr, FR2_PROGRAM_NAME ": %s: %lld bytes, fewer than the %lld committed\n",
                    path, (long long)st.st_size, (long long)resume_len);
            close(fd);
            return -1;
        }
        if (ftruncate(fd, resume_len) != 0 || lseek(fd, 0, SEEK_END) < 0) goto failed;
    }
    fflush(stdout);
    if (dup2(fd, STDOUT_FILENO) < 0) goto failed;
    close(fd);
    return 0;
failed:
    fprintf(stderr, FR2_PROGRAM_NAME ": cannot open the output %s: %s\n", path, strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
}

int fr2_output_commit(int64_t *committed) {
    pthread_mutex_lock(&g_output_lock);
    int err = 0;
    struct stat st;
    if (fflush(stdout) != 0) err = errno;
    // A pipe or a terminal cannot be synced; a file that cannot be is an error.
    if (!err && fsync(STDOUT_FILENO) != 0 && errno != EINVAL && errno != EROFS) err = errno;
    if (!err && fstat(STDOUT_FILENO, &st) != 0) err = errno;
    pthread_mutex_unlock(&g_output_lock);
    if (err) {
        fprintf(stderr, FR2_PROGRAM_NAME ": error writing the output: %s\n", strerror(err));
        return -1;
    }
    *committed = int64_t(st.st_size);
    return 0;
}
