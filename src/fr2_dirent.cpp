// Reading a directory in raw getdents64 batches.
#include "fr2_dirent.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "fr2.h"
#include "fr2_sys.h"

int fr2_dirent_open(fr2_activity *act, const char *path, bool wait_for_descriptor) {
    fr2_activity_enter(act, WORKER_IN_OPEN, path);
    for (;;) {
        int fd = g_sys.open(path, O_RDONLY | O_DIRECTORY);
        // No descriptor free: the directory is not unreadable, and the other
        // workers close theirs as they finish. The wait is an open to the
        // watchdog, which may cancel it.
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && wait_for_descriptor &&
            !act->cancel.load(std::memory_order_acquire)) {
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (fd >= 0 || errno != EINTR) {
            int err = errno;
            fr2_activity_leave(act);
            errno = err;
            return fd;
        }
        // Interrupted: give up only when the watchdog asked for it.
        if (act->cancel.load(std::memory_order_acquire)) {
            fr2_activity_leave(act);
            return FR2_CANCELLED;
        }
    }
}

struct dirent_kernel_record {
    uint64_t d_ino;
    int64_t d_off;
    uint16_t d_reclen;
    uint8_t d_type;
    char d_name[];
};

static bool dirent_grow_batch(fr2_batch *batch, int32_t need) {
    int64_t cap = batch->cap == 0 ? FR2_FIRST_BATCH_CAP : int64_t(batch->cap) * 2;
    while (cap < need) cap *= 2;
    if (cap > INT32_MAX) {
        errno = ENOMEM;
        return false;
    }
    // A capacity of 0 with an array is one left to the kernel: never moved.
    void *grown = realloc(batch->cap ? batch->entries : nullptr, size_t(cap) * sizeof(fr2_entry));
    if (!grown) return false;
    batch->entries = static_cast<fr2_entry *>(grown);
    batch->cap = int32_t(cap);
    return true;
}

// Room for `need` more name bytes. A moved arena carries the batch's names
// along: the entries are pointed at the new copies.
static bool dirent_grow_names(fr2_batch *batch, size_t need) {
    size_t cap = batch->names_cap ? batch->names_cap * 2 : FR2_FIRST_NAMES_CAP;
    while (cap < batch->names_used + need) cap *= 2;
    char *grown = static_cast<char *>(malloc(cap));
    if (!grown) return false;
    if (batch->names) {
        memcpy(grown, batch->names, batch->names_used);
        for (int32_t i = 0; i < batch->count; i++)
            batch->entries[i].name = grown + (batch->entries[i].name - batch->names);
        free(batch->names);
    }
    batch->names = grown;
    batch->names_cap = cap;
    return true;
}

void fr2_batch_free(fr2_batch *batch) {
    if (batch->cap) free(batch->entries);
    free(batch->names);
    *batch = fr2_batch{};
}

void fr2_batch_trim(fr2_batch *batch) {
    if (batch->cap > FR2_TRIM_BATCH_CAP || batch->names_cap > FR2_TRIM_NAMES_CAP)
        fr2_batch_free(batch);
}

int fr2_dirent_parse(const char *buf, long len, fr2_batch *batch) {
    const long name_off = offsetof(dirent_kernel_record, d_name);
    long off = 0;
    while (off + name_off < len) {
        // Fields are copied out, not read through a record pointer: a record
        // that is not what the kernel makes may sit at any alignment.
        uint16_t reclen;
        memcpy(&reclen, buf + off + offsetof(dirent_kernel_record, d_reclen), sizeof reclen);
        if (reclen <= name_off || off + reclen > len) break;  // not a record the kernel makes
        const char *rec = buf + off;
        const char *name = rec + name_off;
        size_t name_len = strnlen(name, size_t(reclen - name_off));
        off += reclen;
        memcpy(&batch->end_off, rec + offsetof(dirent_kernel_record, d_off), 8);
        batch->off_known = true;
        if (name_len > 255) name_len = 255;
        if (name[0] == '.' && (name_len == 1 || (name_len == 2 && name[1] == '.'))) continue;
        if (batch->count + 1 > batch->cap && !dirent_grow_batch(batch, batch->count + 1)) return -1;
        if (batch->names_used + name_len + 1 > batch->names_cap &&
            !dirent_grow_names(batch, name_len + 1))
            return -1;
        fr2_entry *e = &batch->entries[batch->count];
        e->name = batch->names + batch->names_used;
        batch->names_used += name_len + 1;
        memcpy(e->name, name, name_len);
        e->name[name_len] = 0;
        e->name_len = uint16_t(name_len);
        memcpy(&e->d_ino, rec + offsetof(dirent_kernel_record, d_ino), 8);
        e->d_type = uint8_t(rec[offsetof(dirent_kernel_record, d_type)]);
        e->is_dir = e->d_type == DT_DIR;
        e->stat_ok = FR2_STAT_NONE;  // stx stays unread until a statx succeeds
        e->stat_err = 0;
        batch->count++;
    }
    return 0;
}

int fr2_dirent_read_batch(fr2_activity *act, int fd, char *buf, size_t buf_size, fr2_batch *batch,
                          int32_t limit, bool *eof) {
    batch->count = 0;
    batch->names_used = 0;
    batch->off_known = false;
    *eof = false;
    if (limit <= 0) return 0;
    do {
        long n = g_sys.getdents64(fd, buf, buf_size);
        if (n == 0) {
            *eof = true;
            return 0;
        }
        if (n < 0) {
            if (errno != EINTR) return -1;
            if (act->cancel.load(std::memory_order_acquire)) return FR2_CANCELLED;
            continue;  // another signal: the entries so far stay, read on
        }
        if (fr2_dirent_parse(buf, n, batch) != 0) return -1;
    } while (batch->count < limit);
    return 0;
}
