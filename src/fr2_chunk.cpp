// Big directories cut into chunks; see fr2_chunk.h.
#include "fr2_chunk.h"

#include <dirent.h>
#include <errno.h>
#include <new>
#include <stdlib.h>
#include <string.h>

#include "fr2.h"

int32_t g_chunk_entries = 0;
int32_t g_chunk_rank = 0;
void (*g_chunk_report_remote)(int32_t, uint64_t, int64_t, int64_t) = nullptr;

// A copy of the directory's item that carries names instead of being read.
static fr2_dir_item *chunk_item(const fr2_dir_item *dir, fr2_big_dir *big, const fr2_entry *e,
                                int32_t n) {
    uint32_t bytes = 0;
    for (int32_t i = 0; i < n; i++) bytes += 2u + e[i].name_len;
    fr2_chunk *c = fr2_chunk_alloc(uint32_t(n), bytes);
    fr2_dir_item *item = c ? fr2_dir_item_new(dir->path, dir->path_len) : nullptr;
    if (!item) {
        free(c);
        return nullptr;
    }
    c->owner = g_chunk_rank;
    c->big_id = uint64_t(uintptr_t(big));
    uint8_t *p = c->names;
    for (int32_t i = 0; i < n; i++) {
        *p++ = e[i].d_type;
        *p++ = uint8_t(e[i].name_len);
        memcpy(p, e[i].name, e[i].name_len);
        p += e[i].name_len;
    }
    item->parent_ino = dir->parent_ino;
    item->stx = dir->stx;
    item->depth = dir->depth;
    item->chunk = c;
    return item;
}

int32_t fr2_chunk_cut(fr2_dir_item *dir, fr2_entry *entries, int32_t count, int32_t keep) {
    if (g_chunk_entries <= 0 || count <= keep) return count;
    if (keep < 0) keep = 0;
    if (!dir->big) {
        fr2_big_dir *big = new (std::nothrow) fr2_big_dir{dir, {0}, {0}, {1}};  // 1: the reader
        if (!big) return count;  // no record: the reader stats everything itself
        dir->big = big;
    }
    int32_t kept = count;  // until a chunk is queued, everything stays with the reader
    for (int32_t at = keep; at < count; at += g_chunk_entries) {
        int32_t n = count - at < g_chunk_entries ? count - at : g_chunk_entries;
        fr2_dir_item *item = chunk_item(dir, dir->big, entries + at, n);
        if (!item) {
            // No memory for this chunk: the reader keeps the rest, moved
            // down behind what it already keeps.
            memmove(entries + keep, entries + at, size_t(count - at) * sizeof *entries);
            return keep + (count - at);
        }
        dir->big->parts_left.fetch_add(1, std::memory_order_relaxed);  // the reader's part holds it above 0
        // At the head: the chunks are what idle workers, and thieves from
        // other ranks (who take the oldest half), should get first.
        g_state.dirs_pending.fetch_add(1, std::memory_order_acq_rel);
        fr2_queue_push_front(item);
        kept = keep;
    }
    return kept;
}

int fr2_chunk_entries(const fr2_chunk *c, fr2_batch *batch) {
    batch->count = 0;
    if (int64_t(c->count) > batch->cap) {
        int64_t cap = batch->cap > 0 ? batch->cap : FR2_FIRST_BATCH_CAP;
        while (cap < int64_t(c->count)) cap *= 2;
        // An array left to the kernel (cap 0) is not ours to grow: start anew.
        void *grown = realloc(batch->cap > 0 ? batch->entries : nullptr, size_t(cap) * sizeof(fr2_entry));
        if (!grown) return -1;
        batch->entries = static_cast<fr2_entry *>(grown);
        batch->cap = int32_t(cap);
    }
    // Each record's name and its NUL take no more than the record.
    batch->names_used = 0;
    if (c->bytes > batch->names_cap) {
        char *names = static_cast<char *>(realloc(batch->names, c->bytes));
        if (!names) return -1;
        batch->names = names;
        batch->names_cap = c->bytes;
    }
    const uint8_t *p = c->names, *end = c->names + c->bytes;
    for (uint32_t i = 0; i < c->count && end - p >= 2; i++) {
        uint8_t type = p[0], len = p[1];
        if (len == 0 || end - p - 2 < len) break;  // a record the cutter never makes
        fr2_entry *e = &batch->entries[batch->count++];
        e->name = batch->names + batch->names_used;
        batch->names_used += size_t(len) + 1;
        memcpy(e->name, p + 2, len);
        e->name[len] = 0;
        e->name_len = len;
        e->d_ino = 0;
        e->d_type = type;
        e->is_dir = type == DT_DIR;
        e->stat_ok = FR2_STAT_NONE;
        p += 2 + len;
    }
    return 0;
}

void fr2_big_dir_report(fr2_outbuf *out, fr2_big_dir *big, int64_t fcount, int64_t dirsum) {
    big->fcount.fetch_add(fcount, std::memory_order_relaxed);
    big->dirsum.fetch_add(dirsum, std::memory_order_relaxed);
    // Release: this part's counts are in before the count of parts drops;
    // acquire: the last part sees every other part's counts.
    if (big->parts_left.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    fr2_dir_item *dir = big->dir;
    const char *slash = strrchr(dir->path, '/');
    const char *base = slash ? slash + 1 : dir->path;
    fr2_format_dir(out, dir->path, fr2_extension(base), &dir->stx, dir->parent_ino, dir->depth,
                   big->fcount.load(std::memory_order_relaxed),
                   big->dirsum.load(std::memory_order_relaxed));
    g_state.total_files.fetch_add(1, std::memory_order_relaxed);
    g_state.total_bytes.fetch_add(int64_t(dir->stx.stx_size), std::memory_order_relaxed);
    delete big;
    fr2_dir_item_free(dir);
    fr2_finish_directory();
}

void fr2_chunk_report(fr2_outbuf *out, const fr2_chunk *c, int64_t fcount, int64_t dirsum) {
    if (c->owner == g_chunk_rank)
        fr2_big_dir_report(out, reinterpret_cast<fr2_big_dir *>(uintptr_t(c->big_id)), fcount,
                           dirsum);
    else
        g_chunk_report_remote(c->owner, c->big_id, fcount, dirsum);
}
