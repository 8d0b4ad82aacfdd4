// latfs: a latency-bound storage stand-in for the benchmark. A read-only FUSE
// file system that mirrors a source folder and answers every request a fixed
// delay after it arrived, like a filer at the far end of a network.
//
//   latfs [OPTIONS] SOURCE MOUNTPOINT
//
// Options:
//   --delay-us N        delay of every reply, in microseconds (default 1000)
//   --max-inflight N    the filer's capacity: at most N requests are being
//                       "served" at once; the others wait in a queue, and their
//                       delay starts when they are admitted (default 0: no cap)
//   --attr-timeout S    seconds the kernel may keep attributes (default 0)
//   --entry-timeout S   seconds the kernel may keep a name (default 0)
//   --readdirplus       list directories with attributes (READDIRPLUS), as an
//                       NFS client does; with the timeouts above the kernel then
//                       answers a stat after a listing from its own cache
//   --threads N         threads reading requests (default 1, one loop)
//   -f, --foreground    stay in the foreground (default: detach once mounted)
//   -d, --debug         libfuse's request trace on standard error (implies -f)
//   -o OPTIONS          further mount options (e.g. allow_other)
//   -h, --help          this text
//
// The whole source tree (names, attributes, link targets) is read into memory
// before mounting, so a reply costs a binary search or an array index, never a
// system call on the source: the stand-in's own CPU per request stays small and
// the client is what the benchmark measures. Changes to the source after the
// mount are not seen. Inode numbers are the source's (hard links share one);
// file contents read as zeros (this is a metadata stand-in); the mount refuses
// every change (ro). It does not descend into mount points below SOURCE.
//
// No thread waits out a delay: the threads reading requests compute each reply
// at once and queue it with its deadline; one timer thread sends the replies
// that are due. The delay is fixed, so the queue is a FIFO in deadline order.
//
// The INIT handshake asks for parallel directory operations: libfuse 3.14 (the
// one in Debian 12) does not, and the kernel then serializes lookups and
// listings within a directory, which caps any parallel client.
//
// On unmount (fusermount3 -u MOUNTPOINT, or SIGTERM/SIGINT) it prints the
// requests it served by kind, and the most that were in flight at once.
#define FUSE_USE_VERSION 312

#include <fuse_lowlevel.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// ---- the mirrored tree ------------------------------------------------------
// Node i has FUSE node id i + 1, so the root (node 0) is FUSE_ROOT_ID. The
// children of a directory are contiguous and sorted by name: a lookup is a
// binary search and a listing offset is an index.
struct Node {
    struct stat st;
    uint32_t name_off = 0;    // into g_strings, NUL-terminated
    uint32_t name_len = 0;
    uint32_t link_off = 0;    // symlink target, NUL-terminated
    uint32_t parent = 0;
    uint32_t first_child = 0;
    uint32_t nchildren = 0;
};

std::vector<Node> g_nodes;
std::string g_strings;

const char *str_at(uint32_t off) { return g_strings.data() + off; }

uint32_t add_string(std::string_view s) {
    uint32_t off = (uint32_t)g_strings.size();
    g_strings.append(s);
    g_strings.push_back('\0');
    return off;
}

bool load_tree(const char *source) {
    Node root{};
    if (lstat(source, &root.st) != 0 || !S_ISDIR(root.st.st_mode)) {
        fprintf(stderr, "latfs: %s: %s\n", source, errno ? strerror(errno) : "not a directory");
        return false;
    }
    root.name_off = add_string("");
    g_nodes.push_back(root);
    std::vector<std::string> paths{source};  // of the directories, while loading
    std::vector<uint32_t> path_of{0};        // node -> index in paths (directories only)
    struct Entry { std::string name; struct stat st; std::string target; };
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < g_nodes.size(); i++) {
        if (!S_ISDIR(g_nodes[i].st.st_mode)) continue;
        if (i != 0 && g_nodes[i].st.st_dev != g_nodes[0].st.st_dev) continue;  // a mount point
        const std::string path = paths[path_of[i]];
        DIR *d = opendir(path.c_str());
        if (!d) { fprintf(stderr, "latfs: %s: %s\n", path.c_str(), strerror(errno)); return false; }
        entries.clear();
        while (struct dirent *de = readdir(d)) {
            if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
            Entry e{de->d_name, {}, {}};
            if (fstatat(dirfd(d), de->d_name, &e.st, AT_SYMLINK_NOFOLLOW) != 0) {
                fprintf(stderr, "latfs: %s/%s: %s\n", path.c_str(), de->d_name, strerror(errno));
                closedir(d);
                return false;
            }
            if (S_ISLNK(e.st.st_mode)) {
                char buf[PATH_MAX];
                ssize_t n = readlinkat(dirfd(d), de->d_name, buf, sizeof buf);
                if (n < 0) n = 0;
                e.target.assign(buf, (size_t)n);
            }
            entries.push_back(std::move(e));
        }
        closedir(d);
        std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
        g_nodes[i].first_child = (uint32_t)g_nodes.size();
        g_nodes[i].nchildren = (uint32_t)entries.size();
        for (auto &e : entries) {
            Node n{};
            n.st = e.st;
            n.parent = i;
            n.name_off = add_string(e.name);
            n.name_len = (uint32_t)e.name.size();
            if (S_ISLNK(e.st.st_mode)) n.link_off = add_string(e.target);
            if (S_ISDIR(e.st.st_mode)) {
                path_of.resize(g_nodes.size() + 1, 0);
                path_of[g_nodes.size()] = (uint32_t)paths.size();
                paths.push_back(path + "/" + e.name);
            }
            g_nodes.push_back(n);
        }
        if (g_nodes.size() >= UINT32_MAX / 2 || g_strings.size() >= UINT32_MAX / 2) {
            fprintf(stderr, "latfs: %s is too big to mirror\n", source);
            return false;
        }
    }
    return true;
}

Node *node_of(fuse_ino_t ino) {
    return ino >= 1 && ino <= g_nodes.size() ? &g_nodes[ino - 1] : nullptr;
}

// Index of the child called NAME, or -1.
int64_t find_child(const Node &dir, const char *name) {
    std::string_view want(name);
    uint32_t lo = dir.first_child, hi = dir.first_child + dir.nchildren;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        std::string_view have(str_at(g_nodes[mid].name_off), g_nodes[mid].name_len);
        int c = have.compare(want);
        if (c == 0) return mid;
        if (c < 0) lo = mid + 1; else hi = mid;
    }
    return -1;
}

// ---- options and counters ---------------------------------------------------
struct Config {
    long delay_us = 1000;
    size_t max_inflight = 0;
    double attr_timeout = 0, entry_timeout = 0;
    bool readdirplus = false;
    int threads = 1;
};
Config g_cfg;

enum Op { LOOKUP, GETATTR, READLINK, OPENDIR, READDIR, READDIRPLUS, RELEASEDIR, OPEN, READ, RELEASE, NOPS };
const char *const kOpNames[NOPS] = {"lookup", "getattr", "readlink", "opendir", "readdir", "readdirplus",
                                    "releasedir", "open", "read", "release"};
std::atomic<uint64_t> g_count[NOPS];
std::atomic<uint64_t> g_forgets{0};

// ---- replies held until their deadline --------------------------------------
enum class Kind : uint8_t { ERR, ENTRY, ATTR, BUF, READLINK, OPEN };

struct Reply {
    fuse_req_t req;
    Kind kind;
    bool direct_io = false;
    int err = 0;
    uint32_t node = 0;
    char *buf = nullptr;  // malloc'd (BUF), freed once sent
    size_t len = 0;
    Clock::time_point due{};
};

std::mutex g_mu;
std::condition_variable g_cv;
std::deque<Reply> g_inflight;  // deadlines in order: "now" is read under g_mu
std::deque<Reply> g_waiting;   // over the cap, not admitted yet
size_t g_max_inflight_seen = 0, g_max_waiting_seen = 0;
bool g_stop = false;

void hold(Reply r) {
    bool wake;
    {
        std::lock_guard lk(g_mu);
        if (g_cfg.max_inflight && g_inflight.size() >= g_cfg.max_inflight) {
            g_waiting.push_back(r);
            g_max_waiting_seen = std::max(g_max_waiting_seen, g_waiting.size());
            return;
        }
        r.due = Clock::now() + std::chrono::microseconds(g_cfg.delay_us);
        wake = g_inflight.empty();
        g_inflight.push_back(r);
        g_max_inflight_seen = std::max(g_max_inflight_seen, g_inflight.size());
    }
    if (wake) g_cv.notify_one();
}

void fill_entry(fuse_entry_param &e, uint32_t idx) {
    memset(&e, 0, sizeof e);
    e.ino = idx + 1;
    e.attr = g_nodes[idx].st;
    e.attr_timeout = g_cfg.attr_timeout;
    e.entry_timeout = g_cfg.entry_timeout;
}

void send(Reply &r) {
    switch (r.kind) {
    case Kind::ERR: fuse_reply_err(r.req, r.err); break;
    case Kind::ENTRY: {
        fuse_entry_param e;
        fill_entry(e, r.node);
        fuse_reply_entry(r.req, &e);
        break;
    }
    case Kind::ATTR: fuse_reply_attr(r.req, &g_nodes[r.node].st, g_cfg.attr_timeout); break;
    case Kind::BUF:
        fuse_reply_buf(r.req, r.buf, r.len);
        free(r.buf);
        break;
    case Kind::READLINK: fuse_reply_readlink(r.req, str_at(g_nodes[r.node].link_off)); break;
    case Kind::OPEN: {
        fuse_file_info fi{};
        fi.direct_io = r.direct_io;
        fuse_reply_open(r.req, &fi);
        break;
    }
    }
}

// Sends the replies that are due, then admits as many waiting requests as
// replies went out, their delay starting now.
void timer_loop() {
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake on time, not up to 50 us late
    std::vector<Reply> batch;
    std::unique_lock lk(g_mu);
    while (!g_stop) {
        if (g_inflight.empty()) { g_cv.wait(lk); continue; }
        Clock::time_point now = Clock::now();
        if (g_inflight.front().due > now) { g_cv.wait_until(lk, g_inflight.front().due); continue; }
        while (!g_inflight.empty() && g_inflight.front().due <= now) {
            batch.push_back(g_inflight.front());
            g_inflight.pop_front();
        }
        if (!g_waiting.empty()) {
            Clock::time_point due = now + std::chrono::microseconds(g_cfg.delay_us);
            for (size_t n = batch.size(); n && !g_waiting.empty(); n--) {
                g_waiting.front().due = due;
                g_inflight.push_back(g_waiting.front());
                g_waiting.pop_front();
            }
        }
        lk.unlock();
        for (auto &r : batch) send(r);
        batch.clear();
        lk.lock();
    }
    // Unmounted: whatever is left can no longer reach anyone, but each request
    // must still be answered to be freed.
    for (auto *q : {&g_inflight, &g_waiting})
        for (auto &r : *q) { free(r.buf); fuse_reply_err(r.req, EIO); }
    g_inflight.clear();
    g_waiting.clear();
}

void count(Op op) { g_count[op].fetch_add(1, std::memory_order_relaxed); }

// ---- requests ---------------------------------------------------------------
void ll_init(void *, struct fuse_conn_info *conn) {
    if (conn->capable & FUSE_CAP_PARALLEL_DIROPS) conn->want |= FUSE_CAP_PARALLEL_DIROPS;
    if (conn->capable & FUSE_CAP_ASYNC_READ) conn->want |= FUSE_CAP_ASYNC_READ;
    if (g_cfg.readdirplus && (conn->capable & FUSE_CAP_READDIRPLUS)) {
        conn->want |= FUSE_CAP_READDIRPLUS;
        conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // every listing, not only the first
    } else {
        conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
    }
    // Releases are background requests; with the default limit of 12 a held
    // close would queue behind the others.
    conn->max_background = 1024;
    conn->congestion_threshold = 768;
    fprintf(stderr, "latfs: parallel directory operations %s, readdirplus %s\n",
            (conn->want & FUSE_CAP_PARALLEL_DIROPS) ? "on" : "NOT offered by the kernel",
            (conn->want & FUSE_CAP_READDIRPLUS) ? "on" : "off");
}

void ll_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    count(LOOKUP);
    Node *p = node_of(parent);
    Reply r{req, Kind::ERR};
    if (!p) r.err = ENOENT;
    else if (!S_ISDIR(p->st.st_mode)) r.err = ENOTDIR;
    else if (int64_t c = find_child(*p, name); c < 0) r.err = ENOENT;
    else { r.kind = Kind::ENTRY; r.node = (uint32_t)c; }
    hold(r);
}

void ll_forget(fuse_req_t req, fuse_ino_t, uint64_t) {
    g_forgets.fetch_add(1, std::memory_order_relaxed);
    fuse_reply_none(req);  // the tree lives as long as the mount: nothing to free
}

void ll_forget_multi(fuse_req_t req, size_t n, struct fuse_forget_data *) {
    g_forgets.fetch_add(n, std::memory_order_relaxed);
    fuse_reply_none(req);
}

void ll_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *) {
    count(GETATTR);
    Node *n = node_of(ino);
    Reply r{req, n ? Kind::ATTR : Kind::ERR};
    if (n) r.node = (uint32_t)(ino - 1); else r.err = ENOENT;
    hold(r);
}

void ll_readlink(fuse_req_t req, fuse_ino_t ino) {
    count(READLINK);
    Node *n = node_of(ino);
    Reply r{req, Kind::ERR};
    if (!n) r.err = ENOENT;
    else if (!S_ISLNK(n->st.st_mode)) r.err = EINVAL;
    else { r.kind = Kind::READLINK; r.node = (uint32_t)(ino - 1); }
    hold(r);
}

void ll_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *) {
    count(OPENDIR);
    Node *n = node_of(ino);
    Reply r{req, Kind::ERR};
    if (!n) r.err = ENOENT;
    else if (!S_ISDIR(n->st.st_mode)) r.err = ENOTDIR;
    else r.kind = Kind::OPEN;
    hold(r);
}

// Offsets: 1 is ".", 2 is "..", 3 + k the k-th child; the offset stored with an
// entry is that of the next one.
void list(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, bool plus) {
    count(plus ? READDIRPLUS : READDIR);
    Node *n = node_of(ino);
    if (!n || !S_ISDIR(n->st.st_mode)) { hold({req, Kind::ERR, false, n ? ENOTDIR : ENOENT}); return; }
    char *buf = (char *)malloc(size ? size : 1);
    if (!buf) { hold({req, Kind::ERR, false, ENOMEM}); return; }
    size_t used = 0;
    uint32_t self = (uint32_t)(ino - 1);
    for (off_t pos = off; pos < 2 + (off_t)n->nchildren; pos++) {
        const char *name;
        uint32_t idx;
        if (pos == 0) { name = "."; idx = self; }
        else if (pos == 1) { name = ".."; idx = n->parent; }
        else { idx = n->first_child + (uint32_t)(pos - 2); name = str_at(g_nodes[idx].name_off); }
        size_t len;
        if (plus) {
            fuse_entry_param e;
            fill_entry(e, idx);
            len = fuse_add_direntry_plus(req, buf + used, size - used, name, &e, pos + 1);
        } else {
            len = fuse_add_direntry(req, buf + used, size - used, name, &g_nodes[idx].st, pos + 1);
        }
        if (len > size - used) break;
        used += len;
    }
    Reply r{req, Kind::BUF};
    r.buf = buf;
    r.len = used;
    hold(r);
}

void ll_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *) {
    list(req, ino, size, off, false);
}

void ll_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *) {
    list(req, ino, size, off, true);
}

void ll_releasedir(fuse_req_t req, fuse_ino_t, struct fuse_file_info *) {
    count(RELEASEDIR);
    hold({req, Kind::ERR, false, 0});
}

void ll_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    count(OPEN);
    Node *n = node_of(ino);
    Reply r{req, Kind::ERR};
    if (!n) r.err = ENOENT;
    else if (S_ISDIR(n->st.st_mode)) r.err = EISDIR;
    else if ((fi->flags & O_ACCMODE) != O_RDONLY) r.err = EROFS;
    else { r.kind = Kind::OPEN; r.direct_io = true; }
    hold(r);
}

void ll_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *) {
    count(READ);
    Node *n = node_of(ino);
    off_t end = n ? n->st.st_size : 0;
    size_t len = off >= end ? 0 : (size_t)std::min<off_t>((off_t)size, end - off);
    char *buf = (char *)calloc(len ? len : 1, 1);
    if (!buf) { hold({req, Kind::ERR, false, ENOMEM}); return; }
    Reply r{req, Kind::BUF};
    r.buf = buf;
    r.len = len;
    hold(r);
}

void ll_release(fuse_req_t req, fuse_ino_t, struct fuse_file_info *) {
    count(RELEASE);
    hold({req, Kind::ERR, false, 0});
}

void usage(FILE *to) {
    fputs("usage: latfs [--delay-us N] [--max-inflight N] [--attr-timeout S] [--entry-timeout S]\n"
          "             [--readdirplus] [--threads N] [-f] [-d] [-o OPTIONS] SOURCE MOUNTPOINT\n"
          "A read-only FUSE mirror of SOURCE (read into memory first) that answers every\n"
          "request --delay-us microseconds (default 1000) after it arrived, or after it was\n"
          "admitted when --max-inflight caps the requests in flight. Timeouts default to 0.\n",
          to);
}

}  // namespace

int main(int argc, char **argv) {
    bool foreground = false, debug = false;
    std::string mount_opts = "fsname=latfs,subtype=latfs,ro";
    int i = 1;
    auto number = [&](const char *opt, double lo) {
        if (i + 1 >= argc) { fprintf(stderr, "latfs: %s needs a value\n", opt); exit(1); }
        char *end;
        double v = strtod(argv[++i], &end);
        if (*end || v < lo) { fprintf(stderr, "latfs: bad value for %s: %s\n", opt, argv[i]); exit(1); }
        return v;
    };
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "--delay-us")) g_cfg.delay_us = (long)number(a, 0);
        else if (!strcmp(a, "--max-inflight")) g_cfg.max_inflight = (size_t)number(a, 0);
        else if (!strcmp(a, "--attr-timeout")) g_cfg.attr_timeout = number(a, 0);
        else if (!strcmp(a, "--entry-timeout")) g_cfg.entry_timeout = number(a, 0);
        else if (!strcmp(a, "--readdirplus")) g_cfg.readdirplus = true;
        else if (!strcmp(a, "--threads")) g_cfg.threads = (int)number(a, 1);
        else if (!strcmp(a, "-f") || !strcmp(a, "--foreground")) foreground = true;
        else if (!strcmp(a, "-d") || !strcmp(a, "--debug")) debug = foreground = true;
        else if (!strcmp(a, "-o") && i + 1 < argc) mount_opts += std::string(",") + argv[++i];
        else if (!strcmp(a, "-h") || !strcmp(a, "--help")) { usage(stdout); return 0; }
        else { fprintf(stderr, "latfs: unknown option %s\n", a); usage(stderr); return 1; }
    }
    if (argc - i != 2) { usage(stderr); return 1; }
    const char *source = argv[i], *mountpoint = argv[i + 1];

    auto t0 = Clock::now();
    if (!load_tree(source)) return 1;
    double load_s = std::chrono::duration<double>(Clock::now() - t0).count();

    std::vector<std::string> fargs_s{argv[0], "-o", mount_opts};
    if (debug) fargs_s.push_back("-d");
    std::vector<char *> fargv;
    for (auto &s : fargs_s) fargv.push_back(s.data());
    fuse_args args = FUSE_ARGS_INIT((int)fargv.size(), fargv.data());

    fuse_lowlevel_ops ops{};
    ops.init = ll_init;
    ops.lookup = ll_lookup;
    ops.forget = ll_forget;
    ops.forget_multi = ll_forget_multi;
    ops.getattr = ll_getattr;
    ops.readlink = ll_readlink;
    ops.opendir = ll_opendir;
    ops.readdir = ll_readdir;
    if (g_cfg.readdirplus) ops.readdirplus = ll_readdirplus;
    ops.releasedir = ll_releasedir;
    ops.open = ll_open;
    ops.read = ll_read;
    ops.release = ll_release;

    fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (!se) return 1;
    int rc = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, mountpoint) == 0) {
            fprintf(stderr, "latfs: %zu entries of %s in memory (%.2f s), mounted at %s; delay %ld us, "
                    "cap %zu, attr timeout %g s, entry timeout %g s\n",
                    g_nodes.size(), source, load_s, mountpoint, g_cfg.delay_us, g_cfg.max_inflight,
                    g_cfg.attr_timeout, g_cfg.entry_timeout);
            fuse_daemonize(foreground ? 1 : 0);  // before any thread: it forks
            std::thread timer(timer_loop);
            if (g_cfg.threads <= 1) {
                rc = fuse_session_loop(se);
            } else {
                fuse_loop_config *lc = fuse_loop_cfg_create();
                fuse_loop_cfg_set_max_threads(lc, (unsigned)g_cfg.threads);
                fuse_loop_cfg_set_idle_threads(lc, (unsigned)g_cfg.threads);
                rc = fuse_session_loop_mt(se, lc);
                fuse_loop_cfg_destroy(lc);
            }
            {
                std::lock_guard lk(g_mu);
                g_stop = true;
            }
            g_cv.notify_one();
            timer.join();
            fuse_session_unmount(se);
            fprintf(stderr, "latfs: requests:");
            for (int op = 0; op < NOPS; op++)
                if (uint64_t c = g_count[op].load()) fprintf(stderr, " %s %llu", kOpNames[op], (unsigned long long)c);
            fprintf(stderr, " forget %llu; at most %zu in flight, %zu waiting\n",
                    (unsigned long long)g_forgets.load(), g_max_inflight_seen, g_max_waiting_seen);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    fuse_opt_free_args(&args);
    return rc < 0 ? 1 : rc;
}
