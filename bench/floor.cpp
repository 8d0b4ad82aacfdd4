// floor: the least work a parallel metadata scanner has to do, as a yardstick.
//
//   floor [--mode sync|ring] [--threads N] [--depth N] [--iowq-cap B[,U]]
//         [--setup defer|coop] [--sample-iowq] DIR
//
// N threads share one directory queue. Each thread reads a directory with raw
// getdents64 into a 32 KiB buffer and asks for the metadata of every entry with
// statx (AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS), either one synchronous call
// per entry or, in ring mode, batches of IORING_OP_STATX through a ring of its
// own (plain system calls, no library). In ring mode the next getdents64 batch
// of a directory is read while the previous batch's statx requests are in the
// kernel. Nothing is formatted or written per entry.
//
// --iowq-cap B[,U] registers IORING_REGISTER_IOWQ_MAX_WORKERS on every ring (B
// bounded and U unbounded workers; one number sets both; 0 keeps the kernel's
// limit). --setup asks io_uring_setup for a completion mode the scanner itself
// does not use, to show what it would be worth: defer = SINGLE_ISSUER |
// DEFER_TASKRUN (completions run only when the thread waits for them), coop =
// COOP_TASKRUN | TASKRUN_FLAG (no interrupting the thread to post them).
// --sample-iowq counts this process's io-wq threads (iou-wrk-*) every
// 10 ms and reports the maximum and the mean.
//
// Output, one line: floor mode=... threads=... entries=... seconds=... rate=...
// where entries counts the root and every entry whose statx succeeded, the same
// number that `find DIR | wc -l` prints.
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
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef IORING_REGISTER_IOWQ_MAX_WORKERS
#define IORING_REGISTER_IOWQ_MAX_WORKERS 19
#endif

namespace {

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

constexpr size_t kDirentBuf = 32768;

struct Config {
    bool ring = false;
    int threads = 2;
    unsigned depth = 2048;
    unsigned cap[2] = {0, 0};
    bool cap_set = false;
    unsigned setup_flags = 0;
    bool sample = false;
};
Config g_cfg;

// ---- the shared queue -------------------------------------------------------
std::mutex g_lock;
std::condition_variable g_cond;
std::deque<std::string> g_queue;
std::atomic<long> g_pending{0};
bool g_done = false;

void push_dir(std::string &&path) {
    g_pending.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> l(g_lock);
        g_queue.push_back(std::move(path));
    }
    g_cond.notify_one();
}

bool pop_dir(std::string &out) {
    std::unique_lock<std::mutex> l(g_lock);
    g_cond.wait(l, [] { return !g_queue.empty() || g_done; });
    if (g_queue.empty()) return false;
    out = std::move(g_queue.front());
    g_queue.pop_front();
    return true;
}

void finish_dir() {
    if (g_pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> l(g_lock);
        g_done = true;
        g_cond.notify_all();
    }
}

std::atomic<uint64_t> g_entries{0}, g_errors{0}, g_dirs{0}, g_open_fail{0};
std::atomic<int> g_ring_fail{0};

// ---- one batch of directory entries -----------------------------------------
struct Batch {
    std::vector<char> names;       // NUL-terminated names, back to back
    std::vector<uint32_t> off;     // offset of each name
    std::vector<unsigned char> type;
    void clear() { names.clear(); off.clear(); type.clear(); }
    size_t size() const { return off.size(); }
};

// Reads until the batch holds at least `limit` entries or the directory ends.
// Returns false on a getdents64 failure.
bool read_batch(int fd, char *buf, Batch &b, size_t limit, bool &eof) {
    b.clear();
    eof = false;
    while (b.size() < limit) {
        long n = syscall(SYS_getdents64, fd, buf, kDirentBuf);
        if (n == 0) { eof = true; return true; }
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (long pos = 0; pos < n;) {
            auto *d = (linux_dirent64 *)(buf + pos);
            pos += d->d_reclen;
            const char *nm = d->d_name;
            if (nm[0] == '.' && (nm[1] == 0 || (nm[1] == '.' && nm[2] == 0))) continue;
            size_t len = strlen(nm);
            b.off.push_back((uint32_t)b.names.size());
            b.type.push_back(d->d_type);
            b.names.insert(b.names.end(), nm, nm + len + 1);
        }
    }
    return true;
}


std::string join(const std::string &dir, const char *name) {
    std::string p;
    p.reserve(dir.size() + 1 + strlen(name));
    p += dir;
    if (p.empty() || p.back() != '/') p += '/';
    p += name;
    return p;
}

// ---- synchronous mode -------------------------------------------------------
void sync_worker() {
    std::vector<char> buf(kDirentBuf);
    std::string dir;
    uint64_t entries = 0, errors = 0, dirs = 0;
    while (pop_dir(dir)) {
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) { g_open_fail++; finish_dir(); continue; }
        dirs++;
        for (;;) {
            long n = syscall(SYS_getdents64, fd, buf.data(), kDirentBuf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (long pos = 0; pos < n;) {
                auto *d = (linux_dirent64 *)(buf.data() + pos);
                pos += d->d_reclen;
                const char *nm = d->d_name;
                if (nm[0] == '.' && (nm[1] == 0 || (nm[1] == '.' && nm[2] == 0))) continue;
                struct statx stx;
                if (statx(fd, nm, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) { errors++; continue; }
                entries++;
                bool is_dir = d->d_type == DT_DIR || (d->d_type == DT_UNKNOWN && S_ISDIR(stx.stx_mode));
                if (is_dir) push_dir(join(dir, nm));
            }
        }
        close(fd);
        finish_dir();
    }
    g_entries += entries;
    g_errors += errors;
    g_dirs += dirs;
}

// ---- ring mode --------------------------------------------------------------
struct Ring {
    int fd = -1;
    unsigned sq_entries = 0;
    unsigned *sq_head, *sq_tail, *sq_mask, *sq_array;
    unsigned *cq_head, *cq_tail, *cq_mask;
    io_uring_sqe *sqes;
    io_uring_cqe *cqes;
    void *sq_ptr = nullptr, *cq_ptr = nullptr;
    size_t sq_sz = 0, cq_sz = 0, sqes_sz = 0;
    std::vector<struct statx> results;
};

bool ring_setup(Ring &r, unsigned depth) {
    io_uring_params p;
    memset(&p, 0, sizeof p);
    p.flags = g_cfg.setup_flags;
    r.fd = (int)syscall(__NR_io_uring_setup, depth, &p);
    if (r.fd < 0) return false;
    r.sq_entries = p.sq_entries;
    r.sq_sz = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    r.cq_sz = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    r.sqes_sz = p.sq_entries * sizeof(io_uring_sqe);
    r.sq_ptr = mmap(nullptr, r.sq_sz, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, r.fd, IORING_OFF_SQ_RING);
    r.cq_ptr = mmap(nullptr, r.cq_sz, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, r.fd, IORING_OFF_CQ_RING);
    void *sq = mmap(nullptr, r.sqes_sz, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, r.fd, IORING_OFF_SQES);
    if (r.sq_ptr == MAP_FAILED || r.cq_ptr == MAP_FAILED || sq == MAP_FAILED) return false;
    char *s = (char *)r.sq_ptr, *c = (char *)r.cq_ptr;
    r.sq_head = (unsigned *)(s + p.sq_off.head);
    r.sq_tail = (unsigned *)(s + p.sq_off.tail);
    r.sq_mask = (unsigned *)(s + p.sq_off.ring_mask);
    r.sq_array = (unsigned *)(s + p.sq_off.array);
    r.cq_head = (unsigned *)(c + p.cq_off.head);
    r.cq_tail = (unsigned *)(c + p.cq_off.tail);
    r.cq_mask = (unsigned *)(c + p.cq_off.ring_mask);
    r.cqes = (io_uring_cqe *)(c + p.cq_off.cqes);
    r.sqes = (io_uring_sqe *)sq;
    r.results.resize(depth);
    if (g_cfg.cap_set) {
        unsigned vals[2] = {g_cfg.cap[0], g_cfg.cap[1]};
        if (syscall(__NR_io_uring_register, r.fd, IORING_REGISTER_IOWQ_MAX_WORKERS, vals, 2) < 0) {
            fprintf(stderr, "floor: IORING_REGISTER_IOWQ_MAX_WORKERS: %s\n", strerror(errno));
        }
    }
    return true;
}

void ring_teardown(Ring &r) {
    if (r.sqes) munmap(r.sqes, r.sqes_sz);
    if (r.cq_ptr && r.cq_ptr != MAP_FAILED) munmap(r.cq_ptr, r.cq_sz);
    if (r.sq_ptr && r.sq_ptr != MAP_FAILED) munmap(r.sq_ptr, r.sq_sz);
    if (r.fd >= 0) close(r.fd);
}

// Prepares and submits statx requests for entries [from, from+n) of the batch,
// n at most the ring depth; returns n.
unsigned submit_pass(Ring &r, int dfd, Batch &b, size_t from, unsigned depth) {
    size_t left = b.size() - from;
    unsigned n = (unsigned)(left < depth ? left : depth);
    if (n == 0) return 0;
    unsigned tail = *r.sq_tail;
    unsigned head = __atomic_load_n(r.sq_head, __ATOMIC_ACQUIRE);
    if (n > r.sq_entries - (tail - head)) n = r.sq_entries - (tail - head);
    for (unsigned i = 0; i < n; i++) {
        unsigned idx = tail & *r.sq_mask;
        io_uring_sqe *e = &r.sqes[idx];
        memset(e, 0, sizeof *e);
        e->opcode = IORING_OP_STATX;
        e->fd = dfd;
        e->addr = (uint64_t)(uintptr_t)(b.names.data() + b.off[from + i]);
        e->off = (uint64_t)(uintptr_t)&r.results[i];
        e->len = STATX_BASIC_STATS;
        e->statx_flags = AT_SYMLINK_NOFOLLOW;
        e->user_data = i;
        r.sq_array[idx] = idx;
        tail++;
    }
    __atomic_store_n(r.sq_tail, tail, __ATOMIC_RELEASE);
    unsigned to_submit = n;
    while (to_submit) {
        long ret = syscall(__NR_io_uring_enter, r.fd, to_submit, 0, 0, nullptr, 0);
        if (ret < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "floor: io_uring_enter: %s\n", strerror(errno));
            exit(1);
        }
        to_submit -= (unsigned)ret;
    }
    return n;
}

void reap_pass(Ring &r, const std::string &dir, Batch &b, size_t from, unsigned n, uint64_t &entries,
               uint64_t &errors) {
    for (unsigned got = 0; got < n;) {
        unsigned head = *r.cq_head;
        unsigned tail = __atomic_load_n(r.cq_tail, __ATOMIC_ACQUIRE);
        if (head == tail) {
            // Wait for the whole rest of the pass, as the scanner does.
            long ret = syscall(__NR_io_uring_enter, r.fd, 0, n - got, IORING_ENTER_GETEVENTS, nullptr, 0);
            if (ret < 0 && errno != EINTR) {
                fprintf(stderr, "floor: io_uring_enter (wait): %s\n", strerror(errno));
                exit(1);
            }
            continue;
        }
        for (; head != tail && got < n; head++, got++) {
            io_uring_cqe *c = &r.cqes[head & *r.cq_mask];
            unsigned i = (unsigned)c->user_data;
            if (c->res != 0) { errors++; continue; }
            entries++;
            unsigned char t = b.type[from + i];
            bool is_dir = t == DT_DIR || (t == DT_UNKNOWN && S_ISDIR(r.results[i].stx_mode));
            if (is_dir) push_dir(join(dir, b.names.data() + b.off[from + i]));
        }
        __atomic_store_n(r.cq_head, head, __ATOMIC_RELEASE);
    }
}

void ring_worker() {
    Ring r;
    if (!ring_setup(r, g_cfg.depth)) {
        if (g_ring_fail++ == 0) fprintf(stderr, "floor: io_uring_setup: %s\n", strerror(errno));
        exit(1);
    }
    std::vector<char> buf(kDirentBuf);
    Batch batch[2];
    for (auto &b : batch) {
        b.names.reserve(1 << 20);
        b.off.reserve(8192);
        b.type.reserve(8192);
    }
    std::string dir;
    uint64_t entries = 0, errors = 0, dirs = 0;
    const unsigned depth = g_cfg.depth;
    while (pop_dir(dir)) {
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) { g_open_fail++; finish_dir(); continue; }
        dirs++;
        bool eof = false;
        int cur = 0;
        if (read_batch(fd, buf.data(), batch[0], depth, eof)) {
            for (;;) {
                Batch &b = batch[cur];
                unsigned n = submit_pass(r, fd, b, 0, depth);
                bool more = !eof;
                bool ok = true;
                if (more) ok = read_batch(fd, buf.data(), batch[cur ^ 1], depth, eof);  // overlaps the statx
                reap_pass(r, dir, b, 0, n, entries, errors);
                for (size_t from = n; from < b.size(); from += n) {
                    n = submit_pass(r, fd, b, from, depth);
                    reap_pass(r, dir, b, from, n, entries, errors);
                }
                if (!more || !ok) break;
                cur ^= 1;
            }
        }
        close(fd);
        finish_dir();
    }
    ring_teardown(r);
    g_entries += entries;
    g_errors += errors;
    g_dirs += dirs;
}

// ---- io-wq sampling ---------------------------------------------------------
std::atomic<bool> g_stop_sampling{false};
int g_iowq_max = 0;
double g_iowq_mean = 0;

int count_iowq() {
    DIR *d = opendir("/proc/self/task");
    if (!d) return 0;
    int n = 0;
    char path[300], comm[32];
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        snprintf(path, sizeof path, "/proc/self/task/%s/comm", e->d_name);
        int fd = open(path, O_RDONLY);
        if (fd < 0) continue;
        ssize_t k = read(fd, comm, sizeof comm - 1);
        close(fd);
        if (k > 0 && !strncmp(comm, "iou-wrk-", 8)) n++;
    }
    closedir(d);
    return n;
}

void sampler() {
    long samples = 0, sum = 0;
    while (!g_stop_sampling.load()) {
        int n = count_iowq();
        if (n > g_iowq_max) g_iowq_max = n;
        sum += n;
        samples++;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    g_iowq_mean = samples ? (double)sum / (double)samples : 0;
}

int usage() {
    fprintf(stderr, "usage: floor [--mode sync|ring] [--threads N] [--depth N] [--iowq-cap B[,U]] [--setup defer|coop] "
                    "[--sample-iowq] DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string a = argv[i];
        bool has = i + 1 < argc;
        if (a == "--mode" && has) {
            std::string m = argv[++i];
            if (m == "ring") g_cfg.ring = true;
            else if (m == "sync") g_cfg.ring = false;
            else return usage();
        } else if (a == "--threads" && has) {
            g_cfg.threads = atoi(argv[++i]);
        } else if (a == "--depth" && has) {
            g_cfg.depth = (unsigned)atoi(argv[++i]);
        } else if (a == "--setup" && has) {
            std::string v = argv[++i];
            if (v == "defer")
                g_cfg.setup_flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
            else if (v == "coop")
                g_cfg.setup_flags = IORING_SETUP_COOP_TASKRUN | IORING_SETUP_TASKRUN_FLAG;
            else
                return usage();
        } else if (a == "--iowq-cap" && has) {
            const char *v = argv[++i];
            char *end;
            g_cfg.cap[0] = (unsigned)strtoul(v, &end, 10);
            g_cfg.cap[1] = *end == ',' ? (unsigned)strtoul(end + 1, nullptr, 10) : g_cfg.cap[0];
            g_cfg.cap_set = true;
        } else if (a == "--sample-iowq") {
            g_cfg.sample = true;
        } else {
            return usage();
        }
    }
    if (argc - i != 1) return usage();
    if (g_cfg.threads < 1) g_cfg.threads = 1;
    if (g_cfg.depth < 16) g_cfg.depth = 16;
    if (g_cfg.depth > 4096) g_cfg.depth = 4096;
    std::string root = argv[i];
    if (root.size() > 1 && root.back() == '/') root.pop_back();

    auto t0 = std::chrono::steady_clock::now();
    struct statx stx;
    if (statx(AT_FDCWD, root.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) {
        fprintf(stderr, "floor: statx %s: %s\n", root.c_str(), strerror(errno));
        return 1;
    }
    g_entries = 1;
    push_dir(std::move(root));
    std::thread samp;
    if (g_cfg.sample) samp = std::thread(sampler);
    std::vector<std::thread> ts;
    for (int t = 0; t < g_cfg.threads; t++) ts.emplace_back(g_cfg.ring ? ring_worker : sync_worker);
    for (auto &t : ts) t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (g_cfg.sample) {
        g_stop_sampling = true;
        samp.join();
    }
    printf("floor mode=%s threads=%d depth=%u iowq_cap=%u,%u entries=%llu dirs=%llu errors=%llu "
           "open_failures=%llu seconds=%.6f rate=%.0f",
           g_cfg.ring ? "ring" : "sync", g_cfg.threads, g_cfg.depth, g_cfg.cap[0], g_cfg.cap[1],
           (unsigned long long)g_entries.load(), (unsigned long long)g_dirs.load(),
           (unsigned long long)g_errors.load(), (unsigned long long)g_open_fail.load(), secs,
           secs > 0 ? (double)g_entries.load() / secs : 0.0);
    if (g_cfg.sample) printf(" iowq_max=%d iowq_mean=%.1f", g_iowq_max, g_iowq_mean);
    printf("\n");
    return 0;
}
