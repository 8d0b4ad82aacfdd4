// The checkpoint file's bytes; see fr2_ckfile.h.
#include "fr2_ckfile.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fr2.h"

#define CK_MAGIC       "FR2CKPT"  // and its NUL: 8 bytes
// magic, version, reserved word, body length; the checksum follows the body.
#define CK_HEADER_SIZE 24

int fr2_ckfile_refuse(const char *ck, const char *fmt, ...) {
    char why[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, sizeof why, fmt, ap);
    va_end(ap);
    fprintf(stderr, FR2_PROGRAM_NAME ": cannot resume from %s: %s\n", ck, why);
    return 1;
}

static uint64_t ck_checksum(const char *p, size_t n) {
    uint64_t h = 0x6a09e667f3bcc908ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    }
    for (; i < n; i++) {
        h = (h ^ uint8_t(p[i])) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    return h;
}

// ---- writing -------------------------------------------------------------------

// Room for n more bytes at the end; null once memory ran out.
static char *ck_reserve(fr2_ckfile_buf *b, size_t n) {
    if (b->failed) return nullptr;
    if (b->len + n > b->cap) {
        size_t cap = b->cap ? b->cap * 2 : 65536;
        while (cap < b->len + n) cap *= 2;
        char *grown = static_cast<char *>(realloc(b->data, cap));
        if (!grown) {
            b->failed = true;
            return nullptr;
        }
        b->data = grown;
        b->cap = cap;
    }
    char *at = b->data + b->len;
    b->len += n;
    return at;
}

static void ck_put(fr2_ckfile_buf *b, const void *p, size_t n) {
    if (char *at = ck_reserve(b, n)) memcpy(at, p, n);
}

template <typename T> static void ck_put_num(fr2_ckfile_buf *b, T v) { ck_put(b, &v, sizeof v); }

static void ck_put_str(fr2_ckfile_buf *b, const char *s) {
    uint32_t n = s ? uint32_t(strlen(s)) : 0;
    ck_put_num(b, n);
    ck_put(b, s, n);
}

void fr2_ckfile_begin(fr2_ckfile_buf *b, const fr2_config *cfg, int64_t total_files,
                      int64_t total_bytes, int64_t elapsed) {
    ck_put(b, CK_MAGIC, 8);
    ck_put_num(b, uint32_t(FR2_CKFILE_VERSION));
    ck_put_num(b, uint32_t(0));
    ck_put_num(b, uint64_t(0));  // body length
    ck_put_str(b, cfg->root);
    ck_put_str(b, cfg->output);
    ck_put_num(b, cfg->max_depth);
    ck_put_num(b, uint8_t(cfg->no_snap));
    ck_put_num(b, uint8_t(cfg->one_file_system));
    ck_put_num(b, uint8_t(cfg->header));
    ck_put_num(b, uint8_t(0));
    ck_put_num(b, uint32_t(cfg->exclude.count));
    for (int32_t i = 0; i < cfg->exclude.count; i++) ck_put_str(b, cfg->exclude.paths[i]);
    ck_put_num(b, total_files);
    ck_put_num(b, total_bytes);
    ck_put_num(b, elapsed);
    b->committed_at = b->len;
    ck_put_num(b, int64_t(0));
    b->count_at = b->len;
    ck_put_num(b, uint64_t(0));
    b->dirs = 0;
}

void fr2_ckfile_put_dir(fr2_ckfile_buf *b, const fr2_dir_item *item, const fr2_item_progress *at) {
    if (uint8_t *out = reinterpret_cast<uint8_t *>(ck_reserve(b, fr2_dir_item_encoded_size(item))))
        fr2_dir_item_encode(out, item, at);
    b->dirs++;
}

void fr2_ckfile_seal(fr2_ckfile_buf *b, int64_t committed) {
    if (b->failed) return;
    memcpy(b->data + b->committed_at, &committed, sizeof committed);
    memcpy(b->data + b->count_at, &b->dirs, sizeof b->dirs);
    uint64_t body = b->len - CK_HEADER_SIZE;
    memcpy(b->data + 16, &body, sizeof body);
    uint64_t sum = ck_checksum(b->data, b->len);
    ck_put_num(b, sum);
}

void fr2_ckfile_buf_free(fr2_ckfile_buf *b) {
    free(b->data);
    *b = fr2_ckfile_buf{};
}

// ---- reading -------------------------------------------------------------------

struct ck_reader {
    const char *p;
    const char *end;
    bool bad;
};

static void ck_get(ck_reader *r, void *out, size_t n) {
    if (r->bad || size_t(r->end - r->p) < n) {
        r->bad = true;
        memset(out, 0, n);
        return;
    }
    memcpy(out, r->p, n);
    r->p += n;
}

template <typename T> static T ck_get_num(ck_reader *r) {
    T v;
    ck_get(r, &v, sizeof v);
    return v;
}

// A heap copy (never null unless r->bad).
static char *ck_get_str(ck_reader *r, uint32_t max) {
    uint32_t n = ck_get_num<uint32_t>(r);
    if (r->bad || n > max || size_t(r->end - r->p) < n) {
        r->bad = true;
        return nullptr;
    }
    char *s = static_cast<char *>(malloc(size_t(n) + 1));
    if (!s) {
        r->bad = true;
        return nullptr;
    }
    memcpy(s, r->p, n);
    s[n] = 0;
    r->p += n;
    return s;
}

void fr2_ckfile_state_free(fr2_ckfile_state *st) {
    free(const_cast<char *>(st->walk.root));
    free(const_cast<char *>(st->walk.output));
    for (int32_t i = 0; i < st->walk.exclude.count; i++) free(st->walk.exclude.paths[i]);
    for (uint64_t i = 0; st->dirs && i < st->ndirs; i++) fr2_dir_item_free(st->dirs[i]);
    free(st->dirs);
    *st = fr2_ckfile_state{};
}

// The header and the checksum. 0, or 1 after the refusal.
static int ck_check_frame(const char *ck, const char *data, size_t len) {
    if (len < 8 || memcmp(data, CK_MAGIC, 8) != 0)
        return fr2_ckfile_refuse(ck, "not a checkpoint of " FR2_PROGRAM_NAME);
    uint32_t version = 0;
    if (len >= 12) memcpy(&version, data + 8, 4);
    if (len >= 12 && version != FR2_CKFILE_VERSION)
        return fr2_ckfile_refuse(ck,
                                 "format version %u; this " FR2_PROGRAM_NAME " reads version %u",
                                 version, FR2_CKFILE_VERSION);
    uint64_t body = 0;
    if (len >= CK_HEADER_SIZE) memcpy(&body, data + 16, 8);
    if (len < CK_HEADER_SIZE || body > len || len - CK_HEADER_SIZE - body != 8)
        return fr2_ckfile_refuse(ck, "the file is cut short or padded (%zu bytes)", len);
    uint64_t sum;
    memcpy(&sum, data + len - 8, 8);
    if (sum != ck_checksum(data, len - 8))
        return fr2_ckfile_refuse(ck, "checksum mismatch: the file is corrupt");
    return 0;
}

int fr2_ckfile_parse(const char *ck, const char *data, size_t len, fr2_ckfile_state *st) {
    *st = fr2_ckfile_state{};
    if (ck_check_frame(ck, data, len) != 0) return 1;
    ck_reader r = {data + CK_HEADER_SIZE, data + len - 8, false};
    fr2_config &walk = st->walk;
    walk.root = ck_get_str(&r, FR2_MAX_PATH);
    walk.output = ck_get_str(&r, PATH_MAX);
    walk.max_depth = ck_get_num<int32_t>(&r);
    walk.no_snap = ck_get_num<uint8_t>(&r);
    walk.one_file_system = ck_get_num<uint8_t>(&r);
    walk.header = ck_get_num<uint8_t>(&r);
    ck_get_num<uint8_t>(&r);
    uint32_t excludes = ck_get_num<uint32_t>(&r);
    if (excludes > FR2_MAX_EXCLUDES) r.bad = true;
    for (uint32_t i = 0; i < excludes && !r.bad; i++)
        walk.exclude.paths[walk.exclude.count++] = ck_get_str(&r, 4096);
    st->total_files = ck_get_num<int64_t>(&r);
    st->total_bytes = ck_get_num<int64_t>(&r);
    st->elapsed = ck_get_num<int64_t>(&r);
    st->committed = ck_get_num<int64_t>(&r);
    st->ndirs = ck_get_num<uint64_t>(&r);
    // Every record takes bytes: a count beyond them is not allocated for.
    if (!r.bad && st->ndirs > uint64_t(r.end - r.p)) r.bad = true;
    if (!r.bad) {
        st->dirs = static_cast<fr2_dir_item **>(calloc(st->ndirs + 1, sizeof(fr2_dir_item *)));
        if (!st->dirs) r.bad = true;
    }
    const uint8_t *in = reinterpret_cast<const uint8_t *>(r.p);
    const uint8_t *end = reinterpret_cast<const uint8_t *>(r.end);
    for (uint64_t i = 0; i < st->ndirs && !r.bad; i++) {
        st->dirs[i] = fr2_dir_item_decode(&in, end, false);
        if (!st->dirs[i]) r.bad = true;
    }
    if (r.bad || in != end || !walk.root) {
        fr2_ckfile_state_free(st);
        return fr2_ckfile_refuse(ck, "its contents do not add up (a checksum that matches by "
                                     "chance?)");
    }
    return 0;
}
