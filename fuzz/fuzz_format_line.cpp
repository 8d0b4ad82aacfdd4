// One CSV line against snprintf with the line's format string over the
// reference-escaped fields: byte-identical for every input. The same line is
// then sent through a worker's output buffer, filled to any level first, and
// must come out of standard output whole and once.
#include <stdio.h>

#include "fr2_output.h"
#include "fr2_queue.h"
#include "fuzz_ref.h"

// The longest path the walker hands over: a 4095-byte directory, "/", a
// 255-byte name. Such a path is quote-doubled whole.
static const size_t LONGEST_PATH = 4095 + 1 + 255;

static std::string reference_line(const std::string &path, const char *ext,
                                  const struct statx &st, uint64_t parent, int32_t depth,
                                  int64_t fcount, int64_t dirsum) {
    // A line that would reach FR2_LINE_MAX bytes is dropped: none expected.
    return ref_line(path, ext, st, parent, depth, fcount, dirsum, FR2_LINE_MAX);
}

static fr2_outbuf g_out;

// Standard output as a memory stream, so what the buffers write can be read back.
static std::string capture_stdout(void (*fn)(void *), void *arg) {
    char *mem = nullptr;
    size_t len = 0;
    FILE *saved = stdout;
    stdout = open_memstream(&mem, &len);
    fn(arg);
    fflush(stdout);
    std::string s(mem, len);
    fclose(stdout);
    free(mem);
    stdout = saved;
    return s;
}

struct Call {
    bool dir;
    const char *path;
    const char *ext;
    const struct statx *st;
    uint64_t parent;
    int32_t depth;
    int64_t fcount, dirsum;
};

static void run_call(void *arg) {
    Call *c = static_cast<Call *>(arg);
    if (c->dir)
        fr2_format_dir(&g_out, c->path, c->ext, c->st, c->parent, c->depth, c->fcount,
                       c->dirsum);
    else
        fr2_format_file(&g_out, c->path, c->ext, c->st, c->parent, c->depth);
    fr2_flush_output(&g_out);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzReader in{data, size};
    uint8_t flags = in.byte();
    struct statx st;
    memset(&st, 0, sizeof st);
    st.stx_ino = in.num<uint64_t>();
    st.stx_uid = in.num<uint32_t>();
    st.stx_gid = in.num<uint32_t>();
    st.stx_size = in.num<uint64_t>();
    st.stx_dev_major = in.num<uint32_t>();
    st.stx_dev_minor = in.num<uint32_t>();
    st.stx_blocks = in.num<uint64_t>();
    st.stx_nlink = in.num<uint32_t>();
    st.stx_mode = in.num<uint16_t>();
    st.stx_atime.tv_sec = in.num<int64_t>();
    st.stx_mtime.tv_sec = in.num<int64_t>();
    st.stx_ctime.tv_sec = in.num<int64_t>();
    uint64_t parent = in.num<uint64_t>();
    int32_t depth = in.num<int32_t>();
    int64_t fcount = in.num<int64_t>();
    int64_t dirsum = in.num<int64_t>();
    uint32_t fill = in.num<uint32_t>() % (FR2_OUT_BUF_SIZE + 1);
    // Extensions come from names and are short; longer ones show the cut rule.
    std::string ext = in.str(5000);
    std::string path = in.str(LONGEST_PATH);
    const char *extp = (flags & 1) ? ext.c_str() : nullptr;

    // The line formatter itself, into a scratch of exactly its promised size.
    char *line = static_cast<char *>(malloc(FR2_LINE_MAX));
    int r = fr2_format_line(line, path.c_str(), extp, &st, parent, depth, fcount, dirsum);
    std::string got = r > 0 ? std::string(line, size_t(r)) : "";
    free(line);
    std::string want = reference_line(path, extp, st, parent, depth, fcount, dirsum);
    if (got != want) fuzz_fail("fr2_format_line", got, want);
    if (want.empty()) fuzz_fail("a line was dropped", got, path);

    // The same line through a worker buffer holding `fill` bytes already.
    bool dir = flags & 2;
    if (dir) {
        // A directory's path holds at most 4095 bytes, its depth is never negative
        // (the line shows depth - 1).
        if (path.size() > FR2_MAX_PATH) path.resize(FR2_MAX_PATH);
        if (depth < 0) depth = -(depth + 1);
        want = reference_line(path, extp, st, parent, depth - 1, fcount, dirsum);
    } else {
        want = reference_line(path, extp, st, parent, depth, -1, 0);
    }
    memset(g_out.buf, 'x', fill);
    g_out.len = int32_t(fill);
    Call c{dir, path.c_str(), extp, &st, parent, depth, fcount, dirsum};
    std::string out = capture_stdout(run_call, &c);
    std::string expect = std::string(fill, 'x') + want;
    if (out != expect)
        fuzz_fail("buffered output", out.substr(fill < out.size() ? fill : out.size()), want);
    if (g_out.len != 0) fuzz_fail("buffer not empty after flush", "", "");
    return 0;
}
