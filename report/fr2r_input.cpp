// Reading scans. One parse loop serves every case: a stream (a pipe, a zstd
// file, standard input) read through an fr2r_source, and a byte range of a
// plain file read with pread by one of several threads.
//
// A big plain file is split at record boundaries. A quoted path may hold
// line feeds, so a boundary is a line feed after an even number of quotes.
// A first pass counts quotes and line feeds per range in parallel; prefix
// sums give the quote state and the line number at every nominal split, and
// a short scan from there finds the first boundary. That holds exactly for
// well-formed input. A stray quote in a malformed line can shift the parity;
// after the parse every part must have ended where the next one began, and
// when one did not the parse is redone in one part.
#include "fr2r_input.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>

// ---------------------------------------------------------------- bytes

struct fr2r_source {
    FILE *f = nullptr;
    bool zstd = false;
    ZSTD_DCtx *dctx = nullptr;
    std::vector<char> in;  // compressed bytes not yet decompressed
    size_t in_pos = 0, in_end = 0;
    bool in_eof = false;
    size_t frame_left = 0;  // last decompression result: non-zero inside a frame
    char peek[4];           // a plain input's first bytes, read to tell the kind
    size_t npeek = 0, peek_pos = 0;
    int64_t raw = 0;
    std::string err;
};

namespace {

// Plain reads of the stream; 0 at its end, -1 on an error (with errno).
ssize_t read_raw(fr2r_source *s, char *buf, size_t cap) {
    size_t n = fread(buf, 1, cap, s->f);
    if (n == 0 && ferror(s->f)) return -1;
    s->raw += (int64_t)n;
    return (ssize_t)n;
}

bool zstd_magic(const unsigned char *b) {
    uint32_t m = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
    // A zstd frame, or a skippable frame that may open a zstd stream.
    return m == 0xFD2FB528u || (m & 0xFFFFFFF0u) == 0x184D2A50u;
}

void set_read_error(fr2r_source *s) {
    s->err = std::string("read error: ") + strerror(errno ? errno : EIO);
}

}  // namespace

fr2r_source *fr2r_source_open(FILE *f) {
    fr2r_source *s = new fr2r_source;
    s->f = f;
    // Up to four bytes tell the kind; a pipe may hand them over one by one.
    while (s->npeek < 4) {
        ssize_t n = read_raw(s, s->peek + s->npeek, 4 - s->npeek);
        if (n < 0) {
            set_read_error(s);
            break;
        }
        if (n == 0) break;
        s->npeek += (size_t)n;
    }
    if (s->npeek == 4 && zstd_magic((const unsigned char *)s->peek)) {
        s->zstd = true;
        s->dctx = ZSTD_createDCtx();
        s->in.resize(ZSTD_DStreamInSize());
        memcpy(s->in.data(), s->peek, 4);
        s->in_end = 4;
        s->npeek = 0;
        if (!s->dctx) s->err = "cannot start decompressing: out of memory";
    }
    return s;
}

ssize_t fr2r_source_read(fr2r_source *s, char *buf, size_t cap) {
    if (!s->err.empty()) return -1;
    if (!s->zstd) {
        if (s->peek_pos < s->npeek) {
            size_t n = s->npeek - s->peek_pos < cap ? s->npeek - s->peek_pos : cap;
            memcpy(buf, s->peek + s->peek_pos, n);
            s->peek_pos += n;
            return (ssize_t)n;
        }
        ssize_t n = read_raw(s, buf, cap);
        if (n < 0) set_read_error(s);
        return n;
    }
    for (;;) {
        if (s->in_pos == s->in_end && !s->in_eof) {
            ssize_t n = read_raw(s, s->in.data(), s->in.size());
            if (n < 0) {
                set_read_error(s);
                return -1;
            }
            s->in_pos = 0;
            s->in_end = (size_t)n;
            if (n == 0) s->in_eof = true;
        }
        ZSTD_inBuffer ib = {s->in.data(), s->in_end, s->in_pos};
        ZSTD_outBuffer ob = {buf, cap, 0};
        size_t r = ZSTD_decompressStream(s->dctx, &ob, &ib);
        bool moved = ib.pos != s->in_pos || ob.pos > 0;
        s->in_pos = ib.pos;
        if (ZSTD_isError(r)) {
            s->err = std::string("corrupt zstd data: ") + ZSTD_getErrorName(r);
            return -1;
        }
        // 0 once a frame is decoded and flushed; a call that did nothing
        // (no input left) only says what the next frame would need.
        if (moved) s->frame_left = r;
        if (ob.pos > 0) return (ssize_t)ob.pos;
        if (s->in_pos == s->in_end && s->in_eof) {
            if (s->frame_left != 0) {
                s->err = "the zstd data ends inside a frame (cut short?)";
                return -1;
            }
            return 0;
        }
    }
}

int64_t fr2r_source_raw_bytes(const fr2r_source *s) { return s->raw; }
bool fr2r_source_compressed(const fr2r_source *s) { return s->zstd; }
const char *fr2r_source_error(const fr2r_source *s) { return s->err.c_str(); }

void fr2r_source_close(fr2r_source *s) {
    if (!s) return;
    ZSTD_freeDCtx(s->dctx);
    delete s;
}

// ---------------------------------------------------------------- the parse loop

namespace {

// Bytes kept ahead of the parser: large reads, and always a whole record's
// worth unless the input has ended.
const size_t k_buffer = 4u << 20;
// A plain file is split only into parts at least this big.
const int64_t k_min_part = 64 << 10;

// One part: a stream from its start, or a range of a plain file read with
// pread from `begin` until the record that starts at or past `stop`.
struct part_run {
    uint32_t file = 0;
    int part = 0;
    fr2r_source *src = nullptr;
    int fd = -1;
    int64_t begin = 0;
    int64_t stop = -1;  // -1: to the end of the input
    int64_t line = 1;
    bool file_start = true;
    // Results.
    int64_t end = 0;  // the offset where the parse stopped
    int64_t records = 0, bad = 0, bytes = 0;
    bool header = false;
    std::string error;  // a read error
};

ssize_t part_read(part_run *p, int64_t *off, char *buf, size_t cap) {
    if (p->src) {
        ssize_t n = fr2r_source_read(p->src, buf, cap);
        if (n < 0) p->error = fr2r_source_error(p->src);
        return n;
    }
    for (;;) {
        ssize_t n = pread(p->fd, buf, cap, *off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) p->error = std::string("read error: ") + strerror(errno);
        if (n > 0) *off += n;
        return n;
    }
}

// Parses one part, handing each record to rd. Returns false when the read
// must stop: an error, or rd (or another part) asked to.
bool parse_part(part_run *p, const fr2r_reader &rd, std::atomic<bool> *stop) {
    std::vector<char> buf(k_buffer);
    size_t start = 0, end = 0;
    int64_t read_off = p->begin;  // the next pread
    int64_t pos = p->begin;       // the offset of buf[start]
    bool eof = false;
    bool first = p->file_start;
    bool skipping = false;  // after a malformed line: on to its line feed, however far
    const size_t header_len = strlen(g_fr2r_header);
    fr2r_record r;
    r.file = p->file;
    int64_t line = p->line;
    bool go = true;
    for (;;) {
        if (!eof && end - start < (size_t)FR2R_MAX_RECORD) {
            memmove(buf.data(), buf.data() + start, end - start);
            end -= start;
            start = 0;
            while (end < k_buffer && !eof) {
                ssize_t n = part_read(p, &read_off, buf.data() + end, k_buffer - end);
                if (n < 0) {
                    go = false;
                    goto out;
                }
                if (n == 0) eof = true;
                end += (size_t)n;
            }
        }
        if (first) {
            first = false;
            if (end == 0) break;
            if (end >= header_len + 1 && memcmp(buf.data(), g_fr2r_header, header_len) == 0 &&
                buf[header_len] == '\n') {
                start = header_len + 1;
                pos += (int64_t)start;
                line = 2;
                p->header = true;
            }
        }
        if (skipping) {
            const char *s = buf.data() + start;
            const char *lf = (const char *)memchr(s, '\n', end - start);
            size_t skip = lf ? (size_t)(lf - s) + 1 : end - start;
            start += skip;
            pos += (int64_t)skip;
            if (lf) {
                skipping = false;
                line++;
            }
            if (!lf && eof) break;
            continue;
        }
        if (p->stop >= 0 && pos >= p->stop) break;
        if (start >= end) break;
        size_t used = 0;
        int nl = 0;
        fr2r_parse_status st =
            fr2r_parse_record(buf.data() + start, end - start, eof, &r.e, &used, &nl, &r.why);
        if (st == FR2R_PARSE_NEED_MORE) {
            if (eof) break;  // cannot happen: at the end of input the parser decides
            continue;
        }
        r.line = line;
        if (st == FR2R_PARSE_OK) {
            r.bad = false;
            start += used;
            pos += (int64_t)used;
            line += nl;
            p->records++;
        } else {
            if (end - start >= header_len &&
                memcmp(buf.data() + start, g_fr2r_header, header_len) == 0)
                r.why = "a header line in the middle of the data";
            r.bad = true;
            skipping = true;  // the rest of this physical line, across reads if need be
            p->bad++;
        }
        r.through = p->src && fr2r_source_compressed(p->src) ? fr2r_source_raw_bytes(p->src) : pos;
        if (!rd.record(rd.ctx, p->part, r)) {
            stop->store(true, std::memory_order_relaxed);
            go = false;
            break;
        }
        if (stop->load(std::memory_order_relaxed)) {
            go = false;
            break;
        }
    }
out:
    p->end = pos;
    p->bytes = pos - p->begin;
    return go;
}

// ---------------------------------------------------------------- planning a split

// Quotes and line feeds of one range of a file.
struct range_count {
    int fd = -1;
    int64_t from = 0, to = 0;
    int64_t quotes = 0, lfs = 0;
    bool failed = false;
};

// Sum of the eight bytes of v.
inline int64_t byte_sum(uint64_t v) {
    const uint64_t m = 0x00FF00FF00FF00FFull;
    v = (v & m) + ((v >> 8) & m);
    return (int64_t)((v * 0x0001000100010001ull) >> 48);
}

// Quotes and line feeds, eight bytes at a time: a byte of w ^ pattern is
// zero exactly where w holds the byte looked for, and then the high bit of
// ((x & low7) + low7) | x is clear. The per-byte counts are summed at most
// 255 words at a time, so that no byte overflows.
void count_bytes(const char *p, size_t n, int64_t *quotes, int64_t *lfs) {
    const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t q = 0x0101010101010101ull * '"', lf = 0x0101010101010101ull * '\n';
    size_t i = 0;
    while (i + 8 <= n) {
        uint64_t acc_q = 0, acc_lf = 0;
        for (int k = 0; k < 255 && i + 8 <= n; k++, i += 8) {
            uint64_t w;
            memcpy(&w, p + i, 8);
            uint64_t x = w ^ q, y = w ^ lf;
            acc_q += (~(((x & low7) + low7) | x) & ~low7) >> 7;
            acc_lf += (~(((y & low7) + low7) | y) & ~low7) >> 7;
        }
        *quotes += byte_sum(acc_q);
        *lfs += byte_sum(acc_lf);
    }
    for (; i < n; i++) {
        *quotes += p[i] == '"';
        *lfs += p[i] == '\n';
    }
}

void count_range(range_count *c) {
    std::vector<char> buf(1 << 20);
    for (int64_t off = c->from; off < c->to;) {
        size_t want =
            (size_t)(c->to - off < (int64_t)buf.size() ? c->to - off : (int64_t)buf.size());
        ssize_t n = pread(c->fd, buf.data(), want, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            c->failed = true;
            return;
        }
        count_bytes(buf.data(), (size_t)n, &c->quotes, &c->lfs);
        off += n;
    }
}

// The first record boundary at or after `from` and before `to`, given the
// quote parity and line number at `from`; -1 if there is none.
int64_t find_boundary(int fd, int64_t from, int64_t to, bool odd, int64_t line, int64_t *line_out) {
    char buf[65536];
    for (int64_t off = from; off < to;) {
        size_t want = (size_t)(to - off < (int64_t)sizeof buf ? to - off : (int64_t)sizeof buf);
        ssize_t n = pread(fd, buf, want, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] == '"') {
                odd = !odd;
            } else if (buf[i] == '\n') {
                line++;
                if (!odd) {
                    *line_out = line;
                    return off + i + 1;
                }
            }
        }
        off += n;
    }
    return -1;
}

// ---------------------------------------------------------------- threads

struct pool {
    std::vector<part_run> *parts;
    const fr2r_reader *rd;
    std::atomic<bool> stop{false};
    std::atomic<int> next{0};
};

void *pool_worker(void *arg) {
    pool *P = (pool *)arg;
    for (;;) {
        int i = P->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= (int)P->parts->size() || P->stop.load(std::memory_order_relaxed)) break;
        part_run &p = (*P->parts)[i];
        // A read error ends the read: nothing of it will be kept.
        if (!parse_part(&p, *P->rd, &P->stop) && !p.error.empty())
            P->stop.store(true, std::memory_order_relaxed);
    }
    return nullptr;
}

// Runs fn(arg_i) for every i on up to `threads` threads (the caller's among
// them); a thread that cannot be started leaves its share to the others.
void run_threads(int threads, void *(*fn)(void *), void *const *args, int n_args) {
    std::vector<pthread_t> th;
    int started = 0;
    for (int i = 1; i < threads && i < n_args; i++) {
        pthread_t t;
        if (pthread_create(&t, nullptr, fn, args[i]) != 0) break;
        th.push_back(t);
        started = i;
    }
    fn(args[0]);
    // Work the caller was to share with threads that never started.
    for (int i = started + 1; i < n_args; i++) fn(args[i]);
    for (pthread_t t : th) pthread_join(t, nullptr);
}

void *count_worker(void *arg) {
    count_range(static_cast<range_count *>(arg));
    return nullptr;
}

struct input {
    FILE *f = nullptr;
    bool owned = false;
    bool regular = false;
    int64_t size = 0;
};

void report_error(const std::string &name, const std::string &why) {
    fprintf(stderr, "fsrake2-report: %s: %s, nothing loaded\n", name.c_str(), why.c_str());
}

// The plain file's parts, `want` of them where it is big enough: each
// starts at a record boundary. Returns false on a read error.
bool plan_split(int fd, int64_t size, int want, std::vector<part_run> *out) {
    int n = want;
    if (size / k_min_part < n) n = (int)(size / k_min_part);
    if (n < 1) n = 1;
    std::vector<range_count> counts(n);
    std::vector<void *> args(n);
    for (int i = 0; i < n; i++) {
        counts[i].fd = fd;
        counts[i].from = size * i / n;
        counts[i].to = size * (i + 1) / n;
        args[i] = &counts[i];
    }
    // Prefix sums need every range but the last.
    if (n > 1) run_threads(n - 1, count_worker, args.data(), n - 1);
    part_run p;
    p.fd = fd;
    out->push_back(p);
    int64_t quotes = 0, lfs = 0;
    for (int i = 1; i < n; i++) {
        if (counts[i - 1].failed) return false;
        quotes += counts[i - 1].quotes;
        lfs += counts[i - 1].lfs;
        int64_t line = 0;
        int64_t b = find_boundary(fd, counts[i].from, counts[i].to, quotes & 1, 1 + lfs, &line);
        if (b < 0 || b >= size) continue;
        out->back().stop = b;
        p.begin = b;
        p.line = line;
        p.file_start = false;
        out->push_back(p);
    }
    for (size_t i = 0; i < out->size(); i++) (*out)[i].part = (int)i;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- reading

int fr2r_read_stream(FILE *f, const std::string &name, const fr2r_reader &rd,
                     fr2r_read_result *res) {
    *res = fr2r_read_result();
    fr2r_input_info info;
    info.name = name;
    part_run p;
    p.src = fr2r_source_open(f);
    info.compressed = fr2r_source_compressed(p.src);
    res->parts = 1;
    if (rd.begin) rd.begin(rd.ctx, 1);
    std::atomic<bool> stop{false};
    bool ok = parse_part(&p, rd, &stop) || p.error.empty();
    if (!ok) report_error(name, p.error);
    fr2r_source_close(p.src);
    info.header = p.header;
    res->files.push_back(info);
    res->records = p.records;
    res->bad = p.bad;
    res->bytes = p.bytes;
    res->stopped = stop.load(std::memory_order_relaxed) && ok;
    return ok ? 0 : -1;
}

namespace {

// Parses inputs already open (in, with res->files named) with up to
// `threads` threads; closes nothing.
int read_opened(std::vector<input> &in, int threads, const fr2r_reader &rd, fr2r_read_result *res) {
    std::vector<part_run> parts;
    int rc = 0;
    bool split = false;
    pool P;
    std::vector<void *> args;
    if (threads < 1) threads = 1;
    // One regular file and several threads: split it, unless it is compressed.
    if (in.size() == 1 && threads > 1 && in[0].regular) {
        unsigned char magic[4];
        int fd = fileno(in[0].f);
        int64_t size = in[0].size;
        split = size >= 2 * k_min_part && !(pread(fd, magic, 4, 0) == 4 && zstd_magic(magic));
        if (split && !plan_split(fd, size, threads, &parts)) {
            report_error(res->files[0].name, "read error");
            rc = -1;
            goto done;
        }
        split = parts.size() > 1;
        if (!split) parts.clear();
    }
    if (!split) {
        for (size_t i = 0; i < in.size(); i++) {
            part_run p;
            p.file = (uint32_t)i;
            p.part = (int)i;
            p.src = fr2r_source_open(in[i].f);
            res->files[i].compressed = fr2r_source_compressed(p.src);
            parts.push_back(p);
        }
    }
    res->parts = (int)parts.size();
    if (rd.begin) rd.begin(rd.ctx, res->parts);
    P.parts = &parts;
    P.rd = &rd;
    args.assign((size_t)threads < parts.size() ? (size_t)threads : parts.size(), &P);
    run_threads((int)args.size(), pool_worker, args.data(), (int)args.size());
    for (const auto &p : parts)
        if (!p.error.empty()) {
            report_error(res->files[p.file].name, p.error);
            rc = -1;
        }
    if (rc == 0 && split && !P.stop.load(std::memory_order_relaxed)) {
        // Each part must have ended where the next began; a stray quote in a
        // malformed line can make the parity lie, and then one part redoes it.
        bool held = true;
        for (size_t i = 1; i < parts.size(); i++)
            if (parts[i - 1].end != parts[i].begin) held = false;
        if (!held) {
            if (!rd.restart) {
                report_error(res->files[0].name,
                             "malformed lines hide where records begin; read it with one thread");
                rc = -1;
                goto done;
            }
            rd.restart(rd.ctx);
            part_run whole;
            whole.fd = fileno(in[0].f);
            parts.assign(1, whole);
            res->parts = 1;
            P.stop.store(false, std::memory_order_relaxed);
            if (!parse_part(&parts[0], rd, &P.stop) && !parts[0].error.empty()) {
                report_error(res->files[0].name, parts[0].error);
                rc = -1;
            }
        }
    }
    for (const auto &p : parts) {
        res->records += p.records;
        res->bad += p.bad;
        res->bytes += p.bytes;
        if (p.header) res->files[p.file].header = true;
    }
    res->stopped = rc == 0 && P.stop.load(std::memory_order_relaxed);
done:
    for (auto &p : parts) fr2r_source_close(p.src);
    return rc;
}

// A stream's size and modification time when it is a regular file.
void describe(input *x, fr2r_input_info *info) {
    struct stat st;
    if (x->f && fstat(fileno(x->f), &st) == 0 && S_ISREG(st.st_mode)) {
        x->regular = true;
        x->size = st.st_size;
        if (x->owned) {
            info->size = st.st_size;
            info->mtime = st.st_mtime;
        }
    }
}

}  // namespace

int fr2r_read_parallel(const std::vector<std::string> &files, int threads, const fr2r_reader &rd,
                       fr2r_read_result *res) {
    *res = fr2r_read_result();
    std::vector<input> in(files.size());
    int rc = 0;
    if (std::count(files.begin(), files.end(), "-") > 1) {
        fprintf(stderr, "fsrake2-report: standard input ('-') can be read only once\n");
        return -1;
    }
    for (size_t i = 0; i < files.size(); i++) {
        fr2r_input_info info;
        info.name = files[i] == "-" ? "stdin" : files[i];
        if (files[i] == "-") {
            in[i].f = stdin;
        } else {
            in[i].f = fopen(files[i].c_str(), "rb");
            in[i].owned = true;
            if (!in[i].f) {
                fprintf(stderr, "fsrake2-report: cannot open %s: %s\n", files[i].c_str(),
                        strerror(errno));
                rc = -1;
            }
        }
        describe(&in[i], &info);
        res->files.push_back(info);
    }
    if (rc == 0) rc = read_opened(in, threads, rd, res);
    for (auto &x : in)
        if (x.owned && x.f) fclose(x.f);
    return rc;
}

int fr2r_read_parallel_streams(const std::vector<FILE *> &streams,
                               const std::vector<std::string> &names, int threads,
                               const fr2r_reader &rd, fr2r_read_result *res) {
    *res = fr2r_read_result();
    std::vector<input> in(streams.size());
    for (size_t i = 0; i < streams.size(); i++) {
        fr2r_input_info info;
        info.name = i < names.size() ? names[i] : "?";
        in[i].f = streams[i];
        describe(&in[i], &info);
        res->files.push_back(info);
    }
    return read_opened(in, threads, rd, res);
}

// ---------------------------------------------------------------- malformed lines

void fr2r_bad_add(fr2r_bad_lines *b, int max_messages, uint32_t file, int64_t line,
                  const std::string &why) {
    b->count++;
    if ((int64_t)b->first.size() > (int64_t)max_messages) return;
    fr2r_record r;
    r.bad = true;
    r.file = file;
    r.line = line;
    r.why = why;
    b->first.push_back(std::move(r));
}

int64_t fr2r_bad_print(const std::vector<fr2r_bad_lines> &parts,
                       const std::vector<fr2r_input_info> &files, int max_messages) {
    int64_t shown = 0, total = 0;
    for (const auto &b : parts) {
        total += b.count;
        for (const auto &r : b.first) {
            const char *name = r.file < files.size() ? files[r.file].name.c_str() : "?";
            if (shown < max_messages)
                fprintf(stderr, "fsrake2-report: %s:%lld: %s\n", name, (long long)r.line,
                        r.why.c_str());
            else if (shown == max_messages)
                fprintf(stderr,
                        "fsrake2-report: %s: more malformed lines; only counting them now\n", name);
            shown++;
        }
    }
    return total;
}
