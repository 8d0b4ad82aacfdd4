// Directory work items and their encoding; see fr2_item.h.
#include "fr2_item.h"

#include <stdlib.h>
#include <string.h>

fr2_dir_item *fr2_dir_item_new(const char *path, size_t path_len) {
    fr2_dir_item *item =
        static_cast<fr2_dir_item *>(calloc(1, offsetof(fr2_dir_item, path) + path_len + 1));
    if (!item) return nullptr;
    memcpy(item->path, path, path_len);
    item->path[path_len] = 0;
    item->path_len = uint16_t(path_len);
    return item;
}

void fr2_dir_item_free(fr2_dir_item *item) {
    if (!item) return;
    free(item->chunk);
    free(item);
}

fr2_chunk *fr2_chunk_alloc(uint32_t count, uint32_t bytes) {
    fr2_chunk *c = static_cast<fr2_chunk *>(malloc(sizeof(fr2_chunk) + bytes));
    if (!c) return nullptr;
    c->owner = 0;
    c->big_id = 0;
    c->count = count;
    c->bytes = bytes;
    return c;
}

// ---- the encoding -----------------------------------------------------------

template <typename T> static uint8_t *item_put(uint8_t *out, T v) {
    memcpy(out, &v, sizeof v);
    return out + sizeof v;
}

// The caller has checked that sizeof(T) bytes are there.
template <typename T> static T item_get(const uint8_t *&in) {
    T v;
    memcpy(&v, in, sizeof v);
    in += sizeof v;
    return v;
}

static bool item_resumed(const fr2_dir_item *item) {
    return item->resume_off || item->resume_fcount || item->resume_dirsum;
}

size_t fr2_dir_item_encoded_size(const fr2_dir_item *item) {
    size_t n = FR2_ITEM_FIXED + item->path_len;
    if (item->chunk) n += FR2_ITEM_CHUNK_FIXED + item->chunk->bytes;
    return n;
}

uint8_t *fr2_dir_item_encode(uint8_t *out, const fr2_dir_item *item, const fr2_item_progress *at) {
    fr2_item_progress own = {item->resume_off, item->resume_fcount, item->resume_dirsum};
    uint8_t kind = item->chunk                ? FR2_ITEM_CHUNK
                   : at || item_resumed(item) ? FR2_ITEM_IN_PROGRESS
                                              : FR2_ITEM_QUEUED;
    if (!at) at = &own;
    const struct statx &s = item->stx;
    out = item_put<uint8_t>(out, kind);
    out = item_put<uint32_t>(out, item->path_len);
    memcpy(out, item->path, item->path_len);
    out += item->path_len;
    out = item_put<uint64_t>(out, item->parent_ino);
    out = item_put<int32_t>(out, item->depth);
    out = item_put<uint64_t>(out, s.stx_ino);
    out = item_put<uint64_t>(out, s.stx_size);
    out = item_put<uint64_t>(out, s.stx_blocks);
    out = item_put<int64_t>(out, s.stx_atime.tv_sec);
    out = item_put<int64_t>(out, s.stx_mtime.tv_sec);
    out = item_put<int64_t>(out, s.stx_ctime.tv_sec);
    out = item_put<uint32_t>(out, s.stx_uid);
    out = item_put<uint32_t>(out, s.stx_gid);
    out = item_put<uint32_t>(out, s.stx_nlink);
    out = item_put<uint32_t>(out, s.stx_dev_major);
    out = item_put<uint32_t>(out, s.stx_dev_minor);
    out = item_put<uint16_t>(out, s.stx_mode);
    bool progress = kind == FR2_ITEM_IN_PROGRESS;
    out = item_put<int64_t>(out, progress ? at->offset : 0);
    out = item_put<int64_t>(out, progress ? at->fcount : 0);
    out = item_put<int64_t>(out, progress ? at->dirsum : 0);
    if (const fr2_chunk *c = item->chunk) {
        out = item_put<int32_t>(out, c->owner);
        out = item_put<uint64_t>(out, c->big_id);
        out = item_put<uint32_t>(out, c->count);
        out = item_put<uint32_t>(out, c->bytes);
        memcpy(out, c->names, c->bytes);
        out += c->bytes;
    }
    return out;
}

// A chunk's name records, checked whole: its reader trusts them.
static fr2_chunk *item_get_chunk(const uint8_t *&in, const uint8_t *end) {
    if (size_t(end - in) < FR2_ITEM_CHUNK_FIXED) return nullptr;
    int32_t owner = item_get<int32_t>(in);
    uint64_t big_id = item_get<uint64_t>(in);
    uint32_t count = item_get<uint32_t>(in);
    uint32_t bytes = item_get<uint32_t>(in);
    if (size_t(end - in) < bytes || count == 0) return nullptr;
    const uint8_t *p = in, *names_end = in + bytes;
    for (uint32_t i = 0; i < count; i++) {
        if (names_end - p < 2 || p[1] == 0 || names_end - p - 2 < p[1]) return nullptr;
        if (memchr(p + 2, 0, p[1]) || memchr(p + 2, '/', p[1])) return nullptr;
        p += 2 + p[1];
    }
    if (p != names_end) return nullptr;
    fr2_chunk *c = fr2_chunk_alloc(count, bytes);
    if (!c) return nullptr;
    c->owner = owner;
    c->big_id = big_id;
    memcpy(c->names, in, bytes);
    in += bytes;
    return c;
}

fr2_dir_item *fr2_dir_item_decode(const uint8_t **inp, const uint8_t *end, bool allow_chunks) {
    const uint8_t *in = *inp;
    if (end < in || size_t(end - in) < 1 + 4) return nullptr;
    uint8_t kind = item_get<uint8_t>(in);
    uint32_t path_len = item_get<uint32_t>(in);
    if (kind > FR2_ITEM_CHUNK || (kind == FR2_ITEM_CHUNK && !allow_chunks)) return nullptr;
    if (path_len == 0 || path_len > FR2_MAX_PATH) return nullptr;
    if (size_t(end - in) < path_len + (FR2_ITEM_FIXED - 1 - 4)) return nullptr;
    const uint8_t *path = in;
    in += path_len;
    if (memchr(path, 0, path_len)) return nullptr;  // a path never holds a NUL

    uint64_t parent_ino = item_get<uint64_t>(in);
    int32_t depth = item_get<int32_t>(in);
    struct statx s;
    memset(&s, 0, sizeof s);
    s.stx_mask = STATX_BASIC_STATS;
    s.stx_ino = item_get<uint64_t>(in);
    s.stx_size = item_get<uint64_t>(in);
    s.stx_blocks = item_get<uint64_t>(in);
    s.stx_atime.tv_sec = item_get<int64_t>(in);
    s.stx_mtime.tv_sec = item_get<int64_t>(in);
    s.stx_ctime.tv_sec = item_get<int64_t>(in);
    s.stx_uid = item_get<uint32_t>(in);
    s.stx_gid = item_get<uint32_t>(in);
    s.stx_nlink = item_get<uint32_t>(in);
    s.stx_dev_major = item_get<uint32_t>(in);
    s.stx_dev_minor = item_get<uint32_t>(in);
    s.stx_mode = item_get<uint16_t>(in);
    fr2_item_progress at;
    at.offset = item_get<int64_t>(in);
    at.fcount = item_get<int64_t>(in);
    at.dirsum = item_get<int64_t>(in);
    if (kind != FR2_ITEM_IN_PROGRESS) at = {0, 0, 0};

    fr2_chunk *c = kind == FR2_ITEM_CHUNK ? item_get_chunk(in, end) : nullptr;
    if (kind == FR2_ITEM_CHUNK && !c) return nullptr;
    fr2_dir_item *item = fr2_dir_item_new(reinterpret_cast<const char *>(path), path_len);
    if (!item) {
        free(c);
        return nullptr;
    }
    item->depth = depth;
    item->parent_ino = parent_ino;
    item->stx = s;
    item->chunk = c;
    item->resume_off = at.offset;
    item->resume_fcount = at.fcount;
    item->resume_dirsum = at.dirsum;
    *inp = in;
    return item;
}
