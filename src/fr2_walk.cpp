// The worker loop and the pipelines that overlap a directory's reads with its
// metadata fetch.
//
// One directory through a worker (two entry arrays, slots s and n):
//
//   open + read batch -> [s]            (under a read-admission slot)
//   begin fetch for [s] ------------------------> kernel (io-wq) works on [s]
//   read next batch -> [n]              (overlaps the kernel's work)
//   end fetch for [s] <------------------------- completions
//   process [s]: file lines, counts, queue subdirectories
//   begin fetch for [n], swap s and n, repeat until the directory ends
//   at the end: open + read the next queued directory into the free slot
//   (prefetch) while the last batch is in flight; end, process, write the
//   directory's own line, finish it.
//
// When the fetch completes at once (the synchronous back end) nothing is in
// flight to overlap: the batch is processed first and the next one read into
// the same array, and nothing is prefetched.
#include "fr2_walk.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fr2.h"
#include "fr2_chunk.h"
#include "fr2_config.h"
#include "fr2_sys.h"

// ---- counting lines ----------------------------------------------------------------

static void walk_publish_counters(fr2_worker *w) {
    g_state.total_files.fetch_add(w->files_unflushed, std::memory_order_relaxed);
    // The byte total stays at the largest value it holds, as the sums do.
    int64_t old = g_state.total_bytes.load(std::memory_order_relaxed);
    while (!g_state.total_bytes.compare_exchange_weak(
        old, fr2_size_add(old, uint64_t(w->bytes_unflushed)), std::memory_order_relaxed)) {
    }
    w->files_unflushed = 0;
    w->bytes_unflushed = 0;
}

static inline void walk_count_line(fr2_worker *w, uint64_t size) {
    w->files_unflushed++;
    w->bytes_unflushed = fr2_size_add(w->bytes_unflushed, size);
    if (w->files_unflushed >= FR2_PUBLISH_EVERY) walk_publish_counters(w);
}

// ---- one batch ------------------------------------------------------------------------

static void process_batch(fr2_worker *w, fr2_dir_item *dir, const fr2_batch *batch, int64_t *fcount,
                          int64_t *dirsum) {
    // The directory's path and "/" stay at the front of path_buf; each entry
    // only writes its name behind them.
    memcpy(w->path_buf, dir->path, dir->path_len);
    w->path_buf[dir->path_len] = '/';
    char *name_at = w->path_buf + dir->path_len + 1;
    const size_t prefix_len = size_t(dir->path_len) + 1;

    fr2_activity_produced(w->act, uint64_t(batch->count));
    for (int32_t i = 0; i < batch->count; i++) {
        fr2_entry *e = &batch->entries[i];
        if (e->stat_ok != FR2_STAT_OK) {
            // An entry that vanished since the directory was read is skipped
            // without a word; one missing for any other reason is named.
            if (e->stat_err != 0 && e->stat_err != ENOENT) {
                memcpy(name_at, e->name, size_t(e->name_len) + 1);
                fprintf(stderr, "worker %d: statx error: %s: %s\n", w->id, w->path_buf,
                        strerror(e->stat_err));
            }
            continue;
        }
        if (g_config.one_file_system &&
            fr2_makedev(e->stx.stx_dev_major, e->stx.stx_dev_minor) != g_state.root_dev)
            continue;
        *fcount += 1;
        *dirsum = fr2_size_add(*dirsum, e->stx.stx_size);
        memcpy(name_at, e->name, size_t(e->name_len) + 1);

        if (!e->is_dir) {
            fr2_format_file(w->out, w->path_buf, fr2_extension(e->name), &e->stx, dir->stx.stx_ino,
                            dir->depth);
            walk_count_line(w, e->stx.stx_size);
            continue;
        }
        if (g_config.no_snap && strcmp(e->name, ".snapshot") == 0) continue;
        if (g_config.max_depth != 0 && dir->depth == g_config.max_depth) continue;
        size_t path_len = prefix_len + e->name_len;
        if (path_len > FR2_MAX_PATH) continue;
        if (g_config.exclude.count && fr2_check_exclude(&g_config.exclude, w->path_buf)) continue;
        fr2_dir_item *sub = fr2_dir_item_new(w->path_buf, path_len);
        if (!sub) continue;
        sub->parent_ino = dir->stx.stx_ino;
        sub->stx = e->stx;
        sub->depth = dir->depth + 1;
        fr2_queue_add(sub);
    }
}

// A big directory's entries beyond the first g_chunk_entries go out in chunks
// that any worker, or another rank, stats (fr2_chunk.h). The plain scanner
// never cuts.
static inline void walk_cut_batch(fr2_dir_item *item, fr2_batch *batch, int64_t *seen) {
    if (g_chunk_entries <= 0) return;
    int64_t keep = g_chunk_entries - *seen;
    *seen += batch->count;
    batch->count = fr2_chunk_cut(item, batch->entries, batch->count, int32_t(keep < 0 ? 0 : keep));
}

// ---- load control ---------------------------------------------------------------------

// Where a directory's listing stands: in progress up to `off` (getdents64
// offset after the last listed entry) with what its listed entries counted.
struct walk_at {
    const fr2_dir_item *dir;
    int64_t off;
    int64_t fcount;
    int64_t dirsum;
};

static void walk_pause(fr2_worker *w, const fr2_dir_item *dir, int64_t off, int64_t fcount,
                       int64_t dirsum);

// The batch boundary: nothing of this worker is with the storage, so here, and
// only here, it waits for the entry rate and for room in the load window
// before the metadata fetch of the batch `next`. A worker waiting for the
// rate cap pauses for a checkpoint as at the pause point it last passed
// (`at`; the batch read since is read again after a resume).
static void walk_boundary(fr2_worker *w, const fr2_batch *next, const walk_at *at) {
    while (!fr2_load_take_entries(next->count, at ? fr2_pause_wanted : nullptr))
        walk_pause(w, at->dir, at->off, at->fcount, at->dirsum);
    fr2_stat_allow(&w->stat, fr2_load_pass(&w->lease, fr2_stat_wants(&w->stat)));
}

// The next directory or chunk. A worker takes one with room in the load
// window for its first request, so that workers waiting for room hold no work
// that others could do. One that has to wait for work holds no room while it
// does: the room is for the workers that hold the rest of the walk.
static fr2_dir_item *walk_take_item(fr2_worker *w) {
    fr2_load_pass(&w->lease, 1);
    fr2_dir_item *item = fr2_queue_try_pop();
    if (item) return item;
    fr2_load_idle(&w->lease);
    item = fr2_queue_pop();
    if (item) fr2_load_pass(&w->lease, 1);
    return item;
}

// ---- checkpoints -----------------------------------------------------------------

// A checkpoint is being taken: everything listed so far goes out and is
// counted, and the worker waits, holding the directory in progress (read up
// to `off`) and the one it read ahead.
static void walk_pause(fr2_worker *w, const fr2_dir_item *dir, int64_t off, int64_t fcount,
                       int64_t dirsum) {
    fr2_flush_output(w->out);
    if (w->files_unflushed > 0) walk_publish_counters(w);
    // A paused worker holds no room in the load window: the workers waiting
    // there for room must be able to reach their own pause points.
    fr2_load_idle(&w->lease);
    w->ck->dir = dir;
    w->ck->offset = off;
    w->ck->fcount = fcount;
    w->ck->dirsum = dirsum;
    w->ck->held = w->pf_valid ? w->pf_item : nullptr;
    fr2_pause_park(w->ck);
}

// After a batch was listed and before the next goes to the kernel: the
// directory's reading would go on after this batch.
static inline void walk_pause_point(fr2_worker *w, const fr2_dir_item *dir, const fr2_batch *batch,
                                    int64_t *off, int64_t fcount, int64_t dirsum) {
    if (batch->off_known) *off = batch->end_off;
    if (fr2_pause_wanted()) walk_pause(w, dir, *off, fcount, dirsum);
}

// ---- reading a directory ------------------------------------------------------------

static void walk_report_read_failure(fr2_worker *w, int rc, const char *path, const char *what) {
    if (rc == FR2_CANCELLED)
        fprintf(stderr, "Timeout Dir: %s\n", path);
    else
        fprintf(stderr, "worker %d: %s: %s: %s\n", w->id, what, path, strerror(errno));
}

// Gives a directory up, whatever became of it: closes it, frees its item and
// counts it out of the walk.
static void walk_drop_directory(fr2_dir_item *item, int fd) {
    if (fd >= 0) close(fd);
    fr2_dir_item_free(item);
    fr2_finish_directory();
}

// A read of a directory's next batch into `slot`, inside a published
// getdents64 step; the caller holds the read-admission slot.
static int walk_read_batch(fr2_worker *w, int fd, const char *path, int slot, bool *eof) {
    fr2_activity_enter(w->act, WORKER_IN_GETDENTS, path);
    int rc = fr2_dirent_read_batch(w->act, fd, w->dirent_buf,
                                   size_t(fr2_load_read_size(int32_t(sizeof w->dirent_buf))),
                                   &w->batch[slot], fr2_load_batch_limit(g_config.ring_depth), eof);
    int err = errno;
    fr2_activity_leave(w->act);
    errno = err;
    return rc;
}

// When the directory that failed to open or read (with err; 0 when the
// watchdog gave it up) is the root, nothing at all can be listed: says so in
// one line and keeps the error for the exit status. False for any other.
// A root the watchdog gave up on timed out: the run must not pass for one
// that listed an empty tree.
static bool walk_root_unreadable(const fr2_dir_item *item, int err) {
    if (item->depth != 0 || item->parent_ino != 0) return false;
    if (err == 0) err = ETIMEDOUT;
    fprintf(stderr, FR2_PROGRAM_NAME ": cannot read directory '%s': %s\n", item->path,
            strerror(err));
    g_state.root_errno.store(err, std::memory_order_relaxed);  // read after the join
    return true;
}

// Opens a directory and reads its first batch into `slot`, under the read slot
// the caller took, which is given back here. A directory that cannot be opened
// or read is reported and dropped: false.
static bool walk_open_first_batch(fr2_worker *w, fr2_dir_item *item, int slot, int *fd_out,
                                  bool *eof, bool prefetch) {
    const char *read_what = prefetch ? "prefetch getdents64 error" : "getdents64 error";
    // A prefetch never waits for a descriptor: with none free its directory
    // goes back to the queue, still counted, for a worker that can wait.
    int fd = fr2_dirent_open(w->act, item->path, !prefetch);
    if (fd < 0) {
        int err = errno;
        fr2_release_getdents_slot();
        if (fd == -1 && prefetch && (err == EMFILE || err == ENFILE)) {
            fr2_queue_push(item);
            return false;
        }
        bool cancelled = fd == FR2_CANCELLED;
        if (!walk_root_unreadable(item, cancelled ? 0 : err)) {
            if (cancelled)
                fprintf(stderr, "Timeout Dir: %s\n", item->path);
            else
                fprintf(stderr, "Locked Dir: %s: %s\n", item->path, strerror(err));
        }
        walk_drop_directory(item, -1);
        return false;
    }
    // A directory continued from a checkpoint goes on where it was; one that
    // cannot is reported like a read that failed, and gets its line with
    // what was counted before.
    if (item->resume_off != 0 && g_sys.lseek(fd, item->resume_off, SEEK_SET) < 0) {
        int err = errno;
        fr2_release_getdents_slot();
        errno = err;
        walk_report_read_failure(w, -1, item->path, read_what);
        w->batch[slot].count = 0;
        w->batch[slot].off_known = false;
        *eof = true;
        *fd_out = fd;
        return true;
    }
    int rc = walk_read_batch(w, fd, item->path, slot, eof);
    int err = errno;
    fr2_release_getdents_slot();
    if (rc != 0) {
        if (!walk_root_unreadable(item, rc == -1 ? err : 0)) {
            errno = err;
            walk_report_read_failure(w, rc, item->path, read_what);
        }
        walk_drop_directory(item, fd);
        return false;
    }
    *fd_out = fd;
    return true;
}

// Opens and reads the first batch of the next queued directory into `slot`
// while the current directory's last batch is with the kernel. Never waits.
static void walk_prefetch(fr2_worker *w, int slot) {
    if (w->pf_valid || !g_state.prefetch || !fr2_stat_pending(&w->stat)) return;
    if (!fr2_try_acquire_getdents_slot()) return;
    fr2_dir_item *item = fr2_queue_try_pop();
    if (!item || item->chunk) {
        if (item) fr2_queue_push_front(item);  // a chunk is statted, not read: back it goes
        fr2_release_getdents_slot();
        return;
    }
    w->act->cancel.store(false, std::memory_order_relaxed);
    int fd;
    bool eof;
    if (!walk_open_first_batch(w, item, slot, &fd, &eof, true)) return;
    w->pf_item = item;
    w->pf_fd = fd;
    w->pf_eof = eof;
    w->pf_slot = slot;
    w->pf_valid = true;
}

// Completes the fetch of the batch in `slot`, shown to the watchdog as a statx
// wait while the kernel has it.
static void walk_stat_end(fr2_worker *w, fr2_dir_item *item, int fd, int slot) {
    if (!fr2_stat_pending(&w->stat)) return;
    fr2_activity_enter(w->act, WORKER_IN_STATX_WAIT, item->path);
    fr2_stat_end(&w->stat, fd, &w->batch[slot]);
    fr2_activity_leave(w->act);
}

// Reads the rest of a directory whose first batch is in `slot`, and lists it.
static void walk_list_directory(fr2_worker *w, fr2_dir_item *item, int fd, int slot, bool eof,
                                int64_t *fcount, int64_t *dirsum) {
    int s = slot;  // the slot of the batch being fetched
    int64_t seen = 0;
    int64_t off = item->resume_off;  // where reading goes on after the listed batches
    walk_cut_batch(item, &w->batch[s], &seen);
    fr2_stat_directory(&w->stat, fr2_makedev(item->stx.stx_dev_major, item->stx.stx_dev_minor));
    walk_at at = {item, off, *fcount, *dirsum};
    walk_boundary(w, &w->batch[s], &at);
    fr2_stat_begin(&w->stat, fd, &w->batch[s]);
    while (!eof) {
        bool overlap = fr2_stat_pending(&w->stat);
        if (!overlap) {
            process_batch(w, item, &w->batch[s], fcount, dirsum);
            walk_pause_point(w, item, &w->batch[s], &off, *fcount, *dirsum);
        }
        int n = overlap ? 1 - s : s;
        fr2_acquire_getdents_slot();
        int rc = walk_read_batch(w, fd, item->path, n, &eof);
        int err = errno;
        fr2_release_getdents_slot();
        if (rc != 0) {
            errno = err;
            walk_report_read_failure(w, rc, item->path, "getdents64 error");
            // What the failed read gathered is dropped; a batch in flight is
            // still listed below.
            if (!overlap) return;
            break;
        }
        if (overlap) {
            walk_stat_end(w, item, fd, s);
            process_batch(w, item, &w->batch[s], fcount, dirsum);
            walk_pause_point(w, item, &w->batch[s], &off, *fcount, *dirsum);
        }
        walk_cut_batch(item, &w->batch[n], &seen);
        at = {item, off, *fcount, *dirsum};
        walk_boundary(w, &w->batch[n], &at);
        fr2_stat_begin(&w->stat, fd, &w->batch[n]);
        s = n;
    }
    walk_prefetch(w, 1 - s);
    walk_stat_end(w, item, fd, s);
    process_batch(w, item, &w->batch[s], fcount, dirsum);
}

// A chunk of a big directory: its names are statted relative to the
// directory and listed like a batch of it; the counts go to the directory's
// owner. A directory that went away since its reader opened it leaves its
// chunk's entries uncounted, as for entries whose statx fails.
static void walk_chunk(fr2_worker *w, fr2_dir_item *item) {
    int64_t fcount = 0, dirsum = 0;
    fr2_acquire_getdents_slot();
    int fd = fr2_dirent_open(w->act, item->path);
    fr2_release_getdents_slot();
    if (fd == FR2_CANCELLED) fprintf(stderr, "Timeout Dir: %s\n", item->path);
    if (fd >= 0 && fr2_chunk_entries(item->chunk, &w->batch[0]) == 0) {
        fr2_stat_directory(&w->stat, fr2_makedev(item->stx.stx_dev_major, item->stx.stx_dev_minor));
        walk_boundary(w, &w->batch[0], nullptr);  // a chunk waits its turn whole
        fr2_stat_begin(&w->stat, fd, &w->batch[0]);
        walk_stat_end(w, item, fd, 0);
        process_batch(w, item, &w->batch[0], &fcount, &dirsum);
    }
    if (fd >= 0) close(fd);
    fr2_chunk_report(w->out, item->chunk, fcount, dirsum);
    fr2_dir_item_free(item);
    fr2_finish_directory();
}

// After a huge directory its arrays go back, but not the prefetched batch.
static void walk_trim_batches(fr2_worker *w) {
    for (int slot = 0; slot < 2; slot++)
        if (!(w->pf_valid && w->pf_slot == slot)) fr2_batch_trim(&w->batch[slot]);
}

void *fr2_worker_thread(void *arg) {
    fr2_worker *w = static_cast<fr2_worker *>(arg);
    fr2_stat_setup(&w->stat, w->id, g_config.ring_depth, g_config.threads, g_config.stat_mode);
    w->stat.lease = &w->lease;

    while (!g_state.done.load(std::memory_order_acquire)) {
        if (fr2_pause_wanted()) walk_pause(w, nullptr, 0, 0, 0);
        w->act->cancel.store(false, std::memory_order_relaxed);
        fr2_dir_item *item;
        int fd, slot;
        bool eof;
        if (w->pf_valid) {
            item = w->pf_item;
            fd = w->pf_fd;
            eof = w->pf_eof;
            slot = w->pf_slot;
            w->pf_valid = false;
        } else {
            fr2_activity_show(w->act, WORKER_IN_QUEUE_WAIT);
            item = walk_take_item(w);
            fr2_activity_show(w->act, WORKER_IDLE);
            if (!item) {
                // Not done: the queue is paused for a checkpoint.
                if (g_state.done.load(std::memory_order_acquire)) break;
                walk_pause(w, nullptr, 0, 0, 0);
                continue;
            }
            if (item->chunk) {
                walk_chunk(w, item);
                continue;
            }
            slot = 0;
            fr2_acquire_getdents_slot();
            if (!walk_open_first_batch(w, item, slot, &fd, &eof, false)) continue;
        }

        int64_t fcount = item->resume_fcount, dirsum = item->resume_dirsum;
        walk_list_directory(w, item, fd, slot, eof, &fcount, &dirsum);
        if (item->big) {  // cut into chunks: the last part to report writes the line
            close(fd);
            fr2_big_dir_report(w->out, item->big, fcount, dirsum);
            continue;
        }

        // The directory's own line, from the metadata its parent's batch gave it.
        const char *last = strrchr(item->path, '/');
        const char *base = last ? last + 1 : item->path;
        fr2_format_dir(w->out, item->path, fr2_extension(base), &item->stx, item->parent_ino,
                       item->depth, fcount, dirsum);
        walk_count_line(w, item->stx.stx_size);
        fr2_activity_produced(w->act, 1);
        walk_drop_directory(item, fd);
        walk_trim_batches(w);
    }

    if (w->pf_valid) {
        w->pf_valid = false;
        walk_drop_directory(w->pf_item, w->pf_fd);
    }
    fr2_load_idle(&w->lease);
    fr2_flush_output(w->out);
    fr2_outbuf_release(w->out);
    if (w->files_unflushed > 0) walk_publish_counters(w);
    fr2_stat_teardown(&w->stat);
    for (fr2_batch &b : w->batch) fr2_batch_free(&b);
    fr2_pause_worker_exit();
    return nullptr;
}
