// Encoding and decoding of directory items and chunks; see fr2_mpi_wire.h.
#include "fr2_mpi_wire.h"

#include <stdlib.h>
#include <string.h>

#include "fr2_chunk.h"

template <typename T> static uint8_t *put(uint8_t *out, T v) {
    memcpy(out, &v, sizeof v);
    return out + sizeof v;
}

template <typename T> static T get(const uint8_t *&in) {
    T v;
    memcpy(&v, in, sizeof v);
    in += sizeof v;
    return v;
}

static bool wire_resumed(const fr2_dir_item *item) {
    return item->resume_off || item->resume_fcount || item->resume_dirsum;
}

size_t fr2_wire_item_size(const fr2_dir_item *item) {
    size_t n = FR2_WIRE_ITEM_FIXED + item->path_len;
    if (item->chunk) n += FR2_WIRE_CHUNK_FIXED + item->chunk->bytes;
    if (wire_resumed(item)) n += FR2_WIRE_RESUMED_FIXED;
    return n;
}

uint8_t *fr2_wire_put_item(uint8_t *out, const fr2_dir_item *item) {
    const struct statx &s = item->stx;
    out = put<uint8_t>(out, item->chunk ? 1 : wire_resumed(item) ? 2 : 0);
    out = put<int32_t>(out, item->depth);
    out = put<uint64_t>(out, item->parent_ino);
    out = put<uint16_t>(out, item->path_len);
    out = put<uint64_t>(out, s.stx_ino);
    out = put<uint64_t>(out, s.stx_size);
    out = put<uint64_t>(out, s.stx_blocks);
    out = put<int64_t>(out, s.stx_atime.tv_sec);
    out = put<int64_t>(out, s.stx_mtime.tv_sec);
    out = put<int64_t>(out, s.stx_ctime.tv_sec);
    out = put<uint32_t>(out, s.stx_nlink);
    out = put<uint32_t>(out, s.stx_uid);
    out = put<uint32_t>(out, s.stx_gid);
    out = put<uint32_t>(out, s.stx_dev_major);
    out = put<uint32_t>(out, s.stx_dev_minor);
    out = put<uint16_t>(out, s.stx_mode);
    memcpy(out, item->path, item->path_len);
    out += item->path_len;
    if (const fr2_chunk *c = item->chunk) {
        out = put<int32_t>(out, c->owner);
        out = put<uint64_t>(out, c->big_id);
        out = put<uint32_t>(out, c->count);
        out = put<uint32_t>(out, c->bytes);
        memcpy(out, c->names, c->bytes);
        out += c->bytes;
    } else if (wire_resumed(item)) {
        out = put<int64_t>(out, item->resume_off);
        out = put<int64_t>(out, item->resume_fcount);
        out = put<int64_t>(out, item->resume_dirsum);
    }
    return out;
}

fr2_dir_item *fr2_wire_get_item(const uint8_t **inp, const uint8_t *end) {
    const uint8_t *in = *inp;
    if (end < in || size_t(end - in) < FR2_WIRE_ITEM_FIXED) return nullptr;
    uint8_t kind = get<uint8_t>(in);
    int32_t depth = get<int32_t>(in);
    uint64_t parent_ino = get<uint64_t>(in);
    uint16_t path_len = get<uint16_t>(in);
    if (kind > 2 || path_len == 0 || path_len > FR2_MAX_PATH) return nullptr;
    struct statx s;
    memset(&s, 0, sizeof s);
    s.stx_mask = STATX_BASIC_STATS;
    s.stx_ino = get<uint64_t>(in);
    s.stx_size = get<uint64_t>(in);
    s.stx_blocks = get<uint64_t>(in);
    s.stx_atime.tv_sec = get<int64_t>(in);
    s.stx_mtime.tv_sec = get<int64_t>(in);
    s.stx_ctime.tv_sec = get<int64_t>(in);
    s.stx_nlink = get<uint32_t>(in);
    s.stx_uid = get<uint32_t>(in);
    s.stx_gid = get<uint32_t>(in);
    s.stx_dev_major = get<uint32_t>(in);
    s.stx_dev_minor = get<uint32_t>(in);
    s.stx_mode = get<uint16_t>(in);
    if (size_t(end - in) < path_len) return nullptr;
    const uint8_t *path = in;
    in += path_len;
    if (memchr(path, 0, path_len)) return nullptr;  // a path never holds a NUL

    fr2_chunk *c = nullptr;
    if (kind == 1) {
        if (size_t(end - in) < FR2_WIRE_CHUNK_FIXED) return nullptr;
        int32_t owner = get<int32_t>(in);
        uint64_t big_id = get<uint64_t>(in);
        uint32_t count = get<uint32_t>(in);
        uint32_t bytes = get<uint32_t>(in);
        if (size_t(end - in) < bytes) return nullptr;
        // Every name record must be whole: the reader of the chunk trusts it.
        const uint8_t *p = in, *names_end = in + bytes;
        for (uint32_t i = 0; i < count; i++) {
            if (names_end - p < 2 || p[1] == 0 || names_end - p - 2 < p[1]) return nullptr;
            if (memchr(p + 2, 0, p[1]) || memchr(p + 2, '/', p[1])) return nullptr;
            p += 2 + p[1];
        }
        if (p != names_end || count == 0) return nullptr;
        c = fr2_chunk_alloc(count, bytes);
        if (!c) return nullptr;
        c->owner = owner;
        c->big_id = big_id;
        memcpy(c->names, in, bytes);
        in += bytes;
    }
    int64_t resumed[3] = {0, 0, 0};
    if (kind == 2) {
        if (size_t(end - in) < FR2_WIRE_RESUMED_FIXED) return nullptr;
        for (int64_t &v : resumed) v = get<int64_t>(in);
    }
    fr2_dir_item *item = fr2_dir_item_new(reinterpret_cast<const char *>(path), path_len);
    if (!item) {
        free(c);
        return nullptr;
    }
    item->depth = depth;
    item->parent_ino = parent_ino;
    item->stx = s;
    item->chunk = c;
    item->resume_off = resumed[0];
    item->resume_fcount = resumed[1];
    item->resume_dirsum = resumed[2];
    *inp = in;
    return item;
}

size_t fr2_wire_list_size(fr2_dir_item *const *items, uint32_t n) {
    size_t size = 4;
    for (uint32_t i = 0; i < n; i++) size += fr2_wire_item_size(items[i]);
    return size;
}

uint8_t *fr2_wire_put_list(uint8_t *out, fr2_dir_item *const *items, uint32_t n) {
    out = put<uint32_t>(out, n);
    for (uint32_t i = 0; i < n; i++) out = fr2_wire_put_item(out, items[i]);
    return out;
}

int fr2_wire_get_list(const uint8_t *buf, size_t len, fr2_dir_item **items, uint32_t max) {
    if (len < 4) return -1;
    const uint8_t *in = buf, *end = buf + len;
    uint32_t n = get<uint32_t>(in);
    if (n > max) return -1;
    uint32_t got = 0;
    for (; got < n; got++) {
        items[got] = fr2_wire_get_item(&in, end);
        if (!items[got]) break;
    }
    if (got == n && in == end) return int(n);
    for (uint32_t i = 0; i < got; i++) fr2_dir_item_free(items[i]);
    return -1;
}

