// Resuming a walk from its checkpoint; see fr2_resume.h.
#include "fr2_resume.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fr2.h"
#include "fr2_ckfile.h"
#include "fr2_queue.h"

// What the loaded checkpoint holds until it is restored; its root and output
// names are the configuration's for the rest of the run.
static fr2_ckfile_state g_resume;

int64_t fr2_resume_committed(void) { return g_resume.committed; }
int64_t fr2_resume_elapsed(void) { return g_resume.elapsed; }

// Reads the whole file. 0, or the status after the refusal.
static int resume_read_file(const char *path, char **data, size_t *len) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        if (fd >= 0) close(fd);
        return fr2_ckfile_refuse(path, "%s", strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return fr2_ckfile_refuse(path, "not a regular file");
    }
    char *buf = static_cast<char *>(malloc(size_t(st.st_size) + 1));
    size_t got = 0;
    while (buf && got < size_t(st.st_size)) {
        ssize_t n = read(fd, buf + got, size_t(st.st_size) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    int err = errno;
    close(fd);
    if (!buf || got < size_t(st.st_size)) {
        free(buf);
        return fr2_ckfile_refuse(path, "%s", buf ? strerror(err) : "out of memory");
    }
    *data = buf;
    *len = got;
    return 0;
}

static bool resume_same(const char *a, const char *b) {
    return strcmp(a ? a : "", b ? b : "") == 0;
}

// Options given beside --resume must be those of the walk it continues.
static int resume_compare_options(const fr2_config *cfg, const fr2_config *rec, const char *ck) {
    const char *clash = nullptr;
    if (cfg->root && !resume_same(cfg->root, rec->root))
        clash = "the directory";
    else if ((cfg->given & FR2_GIVEN_DEPTH) && cfg->max_depth != rec->max_depth)
        clash = "--depth";
    else if ((cfg->given & FR2_GIVEN_NOSNAP) && !rec->no_snap)
        clash = "--NoSnap";
    else if ((cfg->given & FR2_GIVEN_ONE_FS) && !rec->one_file_system)
        clash = "--one-file-system";
    else if ((cfg->given & FR2_GIVEN_HEADER) && !rec->header)
        clash = "--header";
    else if ((cfg->given & FR2_GIVEN_OUTPUT) && !resume_same(cfg->output, rec->output))
        clash = "--output";
    else if ((cfg->given & FR2_GIVEN_CHECKPOINT) && !resume_same(cfg->checkpoint, cfg->resume))
        clash = "--checkpoint (a resumed walk checkpoints into the file it resumed from)";
    else if (cfg->given & FR2_GIVEN_EXCLUDE) {
        bool same = cfg->exclude.count == rec->exclude.count;
        for (int32_t i = 0; same && i < cfg->exclude.count; i++)
            same = resume_same(cfg->exclude.paths[i], rec->exclude.paths[i]);
        if (!same) clash = "--exclude";
    }
    if (clash) return fr2_ckfile_refuse(ck, "%s given differs from the walk it holds", clash);
    return 0;
}

// The output must still hold every byte the checkpoint committed.
static int resume_check_output(const char *out_path, int64_t committed, const char *ck) {
    struct stat st;
    if (!out_path) return fr2_ckfile_refuse(ck, "it names no output file");
    if (stat(out_path, &st) != 0)
        return fr2_ckfile_refuse(ck, "its output %s: %s", out_path, strerror(errno));
    if (st.st_size < committed)
        return fr2_ckfile_refuse(ck,
                                 "its output %s holds %lld bytes, fewer than the %lld committed",
                                 out_path, (long long)st.st_size, (long long)committed);
    return 0;
}

int fr2_resume_load(fr2_config *cfg) {
    const char *ck = cfg->resume;
    char *data = nullptr;
    size_t len = 0;
    int status = resume_read_file(ck, &data, &len);
    if (status) return status;
    fr2_ckfile_state st;
    status = fr2_ckfile_parse(ck, data, len, &st);
    free(data);
    if (status) return status;
    const fr2_config &rec = st.walk;
    status = resume_compare_options(cfg, &rec, ck);
    if (status == 0) status = resume_check_output(rec.output, st.committed, ck);
    if (status) {
        fr2_ckfile_state_free(&st);
        return status;
    }
    // The walk's own options; the ones that only steer the speed stay as given.
    cfg->root = rec.root;
    cfg->output = rec.output;
    cfg->max_depth = rec.max_depth;
    cfg->no_snap = rec.no_snap;
    cfg->one_file_system = rec.one_file_system;
    cfg->header = false;  // already at the head of the output
    for (int32_t i = 0; i < cfg->exclude.count; i++) free(cfg->exclude.paths[i]);
    cfg->exclude = rec.exclude;
    st.walk.exclude.count = 0;  // the configuration's now
    cfg->checkpoint = cfg->resume;
    g_resume = st;
    return 0;
}

void fr2_resume_restore(void) {
    g_state.total_files.store(g_resume.total_files, std::memory_order_relaxed);
    g_state.total_bytes.store(g_resume.total_bytes, std::memory_order_relaxed);
    for (uint64_t i = 0; i < g_resume.ndirs; i++) fr2_queue_add(g_resume.dirs[i]);
    // A checkpoint of a walk with nothing left to read: it is over at once,
    // unless other ranks hold this one's walk open.
    if (g_resume.ndirs == 0 && g_state.dirs_pending.load(std::memory_order_acquire) == 0)
        g_state.done.store(true, std::memory_order_release);
    free(g_resume.dirs);
    g_resume.dirs = nullptr;
    g_resume.ndirs = 0;
}
