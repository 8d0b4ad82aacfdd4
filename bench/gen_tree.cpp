// gen_tree: builds the benchmark trees, the same tree for the same kind and seed
// on every machine.
//
//   gen_tree [--seed N] [--threads N] KIND DEST
//     KIND  wide   about 1,000,000 entries, 60,000 directories, depth up to 8,
//                  four directories of 50,000 to 100,000 files
//           small  about 100,000 entries, 6,000 directories, one of 10,000 files
//           tiny   about 2,000 entries (the smoke run)
//           chunks 100,000 entries in 11,111 directories of 18 entries at most
//                  (fan-out 10, depth 4): no directory is big enough to
//                  serialize a parallel walk of a slow file system
//
// The whole shape (directories, names, kinds, sizes, owners, link targets) is
// planned first from one integer-only generator (splitmix64, no floating point,
// no library distributions), so it does not depend on the compiler, the thread
// count or the order in which the threads happen to create things. DEST must not
// exist. When the tree is complete, DEST.manifest records the plan and the
// counts; a second call with the same kind and seed finds it and does nothing.
// Creation runs on several threads (mkdir level by level, then the files of each
// directory, then hard links once every link target exists).
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int kVersion = 1;  // bump when the plan changes, so old trees are not reused

struct Params {
    const char *kind;
    uint32_t dirs;          // directories, the root included
    int max_depth;          // depth of the deepest directory (root = 0)
    uint32_t files;         // non-directory entries outside the big directories
    std::vector<uint32_t> big;  // file counts of the big directories
    std::vector<int> big_depth; // their depths
    uint32_t fanout = 0;        // > 0: a regular tree, files spread evenly
};

Params params_for(const std::string &kind) {
    if (kind == "wide") return {"wide", 60000, 8, 650000, {100000, 80000, 60000, 50000}, {2, 3, 5, 7}};
    if (kind == "small") return {"small", 6000, 8, 84000, {10000}, {3}};
    if (kind == "tiny") return {"tiny", 120, 5, 1500, {400}, {2}};
    if (kind == "chunks") return {"chunks", 11111, 4, 88889, {}, {}, 10};
    return {nullptr, 0, 0, 0, {}, {}};
}

inline uint64_t mix(uint64_t x) {  // splitmix64 finaliser
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() { s += 0x9e3779b97f4a7c15ULL; return mix(s); }
    uint32_t below(uint32_t n) { return n ? (uint32_t)(next() % n) : 0; }
};

// A per-item generator: the same (seed, a, b) always gives the same stream.
Rng item_rng(uint64_t seed, uint64_t a, uint64_t b) { return Rng(mix(mix(seed ^ mix(a)) + b)); }

struct Dir {
    int32_t parent;
    int32_t depth;
    uint32_t nfiles = 0;     // non-directory entries
    uint32_t nchildren = 0;
    std::string name;
    std::string path;        // relative to DEST; "" for the root
};

enum Kind { REG, SYMLINK, HARDLINK };

const char *const kExt[] = {"txt", "c", "h", "cpp", "o", "so", "log", "jpg", "png", "pdf", "gz",
                            "tar.gz", "json", "csv", "py", "md", "dat", "bak", "html", "xml"};
const char kAlpha[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";

void base36(std::string &s, uint32_t v) {
    char tmp[16];
    int n = 0;
    do { tmp[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36]; v /= 36; } while (v);
    while (n) s += tmp[--n];
}

struct Plan {
    uint64_t seed;
    Params p;
    std::vector<Dir> dirs;

    // Everything about entry j of directory d comes from its own generator.
    Kind kind_of(uint32_t d, uint32_t j) const {
        uint32_t r = (uint32_t)(mix(mix(seed + 17) ^ mix(((uint64_t)d << 32) | j)) % 1000);
        if (r < 20) return SYMLINK;   // 2 %
        if (r < 30) return HARDLINK;  // 1 %
        return REG;
    }
    std::string file_name(uint32_t d, uint32_t j) const {
        Rng r = item_rng(seed, 1000 + d, j);
        std::string s;
        uint32_t c = r.below(1000);
        if (c < 15) s += '.';                  // hidden
        uint32_t len = 1 + r.below(r.below(4) == 0 ? 60 : 16);
        for (uint32_t i = 0; i < len; i++) s += kAlpha[r.below(sizeof kAlpha - 1)];
        if (c >= 15 && c < 20) s += " copy";   // blanks
        if (c == 20) s += ",v";                // a comma
        if (c == 21) s += "\"q\"";             // double quotes
        if (c == 22) s += "\xc3\xa9t\xc3\xa9"; // UTF-8
        s += '_';
        base36(s, j);                          // unique within the directory
        uint32_t e = r.below(100);
        if (e >= 25) { s += '.'; s += kExt[r.below(sizeof kExt / sizeof *kExt)]; }
        return s;
    }
    uint64_t file_size(uint32_t d, uint32_t j) const {
        Rng r = item_rng(seed, 2000 + d, j);
        uint32_t c = r.below(100);
        if (c < 20) return 0;
        if (c < 70) return 1 + r.below(4096);
        if (c < 95) return 4096 + r.below(1u << 20);
        return (1u << 20) + r.below(64u << 20);
    }
    // A regular file somewhere in the tree that a hard link points at.
    bool link_target(uint32_t d, uint32_t j, uint32_t &td, uint32_t &tj) const {
        Rng r = item_rng(seed, 3000 + d, j);
        for (int tries = 0; tries < 64; tries++) {
            td = r.below((uint32_t)dirs.size());
            if (dirs[td].nfiles == 0) continue;
            tj = r.below(dirs[td].nfiles);
            if (kind_of(td, tj) == REG) return true;
        }
        return false;
    }
    std::string symlink_target(uint32_t d, uint32_t j) const {
        Rng r = item_rng(seed, 4000 + d, j);
        uint32_t c = r.below(10);
        if (c < 3) return "missing_" + std::to_string(r.below(100000));  // dangling
        uint32_t td = r.below((uint32_t)dirs.size());
        std::string up;
        for (int i = 0; i < dirs[d].depth; i++) up += "../";
        std::string t = up + dirs[td].path;
        if (c < 6 && dirs[td].nfiles) t += (t.empty() || t.back() == '/' ? "" : "/") + file_name(td, r.below(dirs[td].nfiles));
        return t.empty() ? "." : t;
    }
};

void add_dir(Plan &pl, Rng &r, int32_t par) {
    Dir d{par, pl.dirs[par].depth + 1, 0, 0, "", ""};
    uint32_t ord = pl.dirs[par].nchildren++;
    uint32_t len = 1 + r.below(12);
    for (uint32_t i = 0; i < len; i++) d.name += kAlpha[r.below(36)];
    d.name += '.';
    base36(d.name, ord);
    d.path = pl.dirs[par].path.empty() ? d.name : pl.dirs[par].path + "/" + d.name;
    pl.dirs.push_back(std::move(d));
}

// Every directory above the last level has p.fanout subdirectories, and the
// files are dealt out evenly.
void build_regular_plan(Plan &pl, Rng &r) {
    const Params &p = pl.p;
    for (uint32_t par = 0; par < pl.dirs.size() && pl.dirs.size() < p.dirs; par++) {
        if (pl.dirs[par].depth >= p.max_depth) continue;
        for (uint32_t k = 0; k < p.fanout && pl.dirs.size() < p.dirs; k++) add_dir(pl, r, (int32_t)par);
    }
    const uint32_t nd = (uint32_t)pl.dirs.size();
    for (uint32_t i = 0; i < nd; i++) pl.dirs[i].nfiles = p.files / nd + (i < p.files % nd ? 1 : 0);
}

void build_plan(Plan &pl) {
    const Params &p = pl.p;
    Rng r(mix(pl.seed));
    pl.dirs.reserve(p.dirs);
    pl.dirs.push_back(Dir{-1, 0, 0, 0, "", ""});
    if (p.fanout) {
        build_regular_plan(pl, r);
        return;
    }
    // Directories: a mix of preferential attachment (a parent chosen in
    // proportion to the children it has: a few directories with thousands of
    // subdirectories) and uniform choice (many with a handful), capped in depth.
    std::vector<int32_t> eligible{0}, edges;
    while (pl.dirs.size() < p.dirs) {
        int32_t par;
        if (!edges.empty() && r.below(100) < 40)
            par = edges[r.below((uint32_t)edges.size())];
        else
            par = eligible[r.below((uint32_t)eligible.size())];
        if (pl.dirs[par].depth >= p.max_depth) par = pl.dirs[par].parent;
        add_dir(pl, r, par);
        int32_t id = (int32_t)pl.dirs.size() - 1;
        if (pl.dirs[id].depth < p.max_depth) eligible.push_back(id);
        edges.push_back(par);
    }
    // Files: spread over the directories by heavy-tailed integer weights (30 %
    // of the directories get none); then the big directories.
    std::vector<uint64_t> cum(pl.dirs.size());
    uint64_t total = 0;
    for (size_t i = 0; i < pl.dirs.size(); i++) {
        uint64_t w = 0;
        if (r.below(100) >= 30) {
            uint64_t bits = r.next();
            int t = 0;
            while ((bits & 1) && t < 11) { t++; bits >>= 1; }
            w = (uint64_t)(1 + r.below(16)) << t;
        }
        total += w;
        cum[i] = total;
    }
    for (uint32_t f = 0; f < p.files; f++) {
        uint64_t x = r.next() % total;
        size_t lo = 0, hi = cum.size() - 1;
        while (lo < hi) { size_t mid = (lo + hi) / 2; if (cum[mid] > x) hi = mid; else lo = mid + 1; }
        pl.dirs[lo].nfiles++;
    }
    for (size_t b = 0; b < p.big.size(); b++) {
        std::vector<uint32_t> at;
        for (uint32_t i = 0; i < pl.dirs.size(); i++)
            if (pl.dirs[i].depth == p.big_depth[b] && pl.dirs[i].nfiles < 10000) at.push_back(i);
        if (at.empty()) continue;
        pl.dirs[at[r.below((uint32_t)at.size())]].nfiles = p.big[b];
    }
}

std::atomic<int> g_fail{0};

void fail(const char *what, const std::string &path) {
    if (g_fail.fetch_add(1) < 10) fprintf(stderr, "gen_tree: %s %s: %s\n", what, path.c_str(), strerror(errno));
}

template <typename F> void parallel(int threads, uint32_t n, F fn) {
    std::atomic<uint32_t> next{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([&] {
            for (uint32_t i; (i = next.fetch_add(1)) < n;) fn(i);
        });
    for (auto &t : ts) t.join();
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t seed = 20261208;
    int threads = (int)std::thread::hardware_concurrency();
    if (threads < 1) threads = 1;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (!strcmp(argv[i], "--seed") && i + 1 < argc) seed = strtoull(argv[++i], nullptr, 0);
        else if (!strcmp(argv[i], "--threads") && i + 1 < argc) threads = atoi(argv[++i]);
        else { fprintf(stderr, "gen_tree: unknown option %s\n", argv[i]); return 2; }
    }
    if (argc - i != 2) {
        fprintf(stderr, "usage: gen_tree [--seed N] [--threads N] wide|small|tiny|chunks DEST\n");
        return 2;
    }
    Plan pl;
    pl.seed = seed;
    pl.p = params_for(argv[i]);
    if (!pl.p.kind) { fprintf(stderr, "gen_tree: unknown kind %s\n", argv[i]); return 2; }
    std::string dest = argv[i + 1];
    while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
    if (threads < 1) threads = 1;

    char header[256];
    snprintf(header, sizeof header, "version=%d\nkind=%s\nseed=%llu\n", kVersion, pl.p.kind,
             (unsigned long long)seed);
    std::string manifest = dest + ".manifest";
    struct stat st;
    if (FILE *f = fopen(manifest.c_str(), "r")) {
        char buf[4096];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        buf[n] = 0;
        fclose(f);
        if (!strncmp(buf, header, strlen(header)) && stat(dest.c_str(), &st) == 0) {
            fputs(buf, stdout);
            return 0;  // already there
        }
    }
    if (lstat(dest.c_str(), &st) == 0) {
        fprintf(stderr, "gen_tree: %s exists but is not a complete %s tree of seed %llu; remove it first\n",
                dest.c_str(), pl.p.kind, (unsigned long long)seed);
        return 1;
    }
    unlink(manifest.c_str());

    build_plan(pl);
    const uint32_t nd = (uint32_t)pl.dirs.size();

    // Directories, level by level so that every parent exists.
    if (mkdir(dest.c_str(), 0755) != 0) { fail("mkdir", dest); return 1; }
    std::vector<std::vector<uint32_t>> levels(pl.p.max_depth + 1);
    for (uint32_t d = 1; d < nd; d++) levels[pl.dirs[d].depth].push_back(d);
    for (auto &lv : levels)
        parallel(threads, (uint32_t)lv.size(), [&](uint32_t k) {
            std::string path = dest + "/" + pl.dirs[lv[k]].path;
            if (mkdir(path.c_str(), 0755) != 0) fail("mkdir", path);
        });

    // Regular files and symbolic links; the biggest directories first so that
    // no thread is left with a 100,000-file directory at the end.
    std::vector<uint32_t> bigfirst;
    for (uint32_t d = 0; d < nd; d++) if (pl.dirs[d].nfiles >= 10000) bigfirst.push_back(d);
    for (uint32_t d = 0; d < nd; d++) if (pl.dirs[d].nfiles < 10000) bigfirst.push_back(d);
    std::atomic<uint64_t> nreg{0}, nsym{0}, nhard{0};
    static const char data[4096] = {'x'};
    parallel(threads, nd, [&](uint32_t k) {
        uint32_t d = bigfirst[k];
        const Dir &dir = pl.dirs[d];
        if (!dir.nfiles) return;
        std::string dpath = dir.path.empty() ? dest : dest + "/" + dir.path;
        int dfd = open(dpath.c_str(), O_RDONLY | O_DIRECTORY);
        if (dfd < 0) { fail("open", dpath); return; }
        uint64_t reg = 0, sym = 0;
        for (uint32_t j = 0; j < dir.nfiles; j++) {
            Kind kd = pl.kind_of(d, j);
            if (kd == HARDLINK) continue;
            std::string name = pl.file_name(d, j);
            if (kd == SYMLINK) {
                if (symlinkat(pl.symlink_target(d, j).c_str(), dfd, name.c_str()) != 0) fail("symlink", name);
                sym++;
                continue;
            }
            Rng r = item_rng(seed, 5000 + d, j);
            uint32_t c = r.below(100);
            int fd = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, c < 5 ? 0600 : c < 10 ? 0755 : 0644);
            if (fd < 0) { fail("create", name); continue; }
            uint64_t size = pl.file_size(d, j);
            if (c < 3 && size) {  // a few files hold data, so blocks are not all 0
                if (write(fd, data, size < sizeof data ? size : sizeof data) < 0) fail("write", name);
            }
            if (size && ftruncate(fd, (off_t)size) != 0) fail("truncate", name);
            if (c >= 90 && fchown(fd, 1000 + c % 4, 1000 + c % 3) != 0) fail("chown", name);
            close(fd);
            reg++;
        }
        close(dfd);
        nreg += reg;
        nsym += sym;
    });

    // Hard links, now that every regular file exists.
    parallel(threads, nd, [&](uint32_t k) {
        uint32_t d = bigfirst[k];
        const Dir &dir = pl.dirs[d];
        std::string dpath = dir.path.empty() ? dest : dest + "/" + dir.path;
        uint64_t hard = 0;
        for (uint32_t j = 0; j < dir.nfiles; j++) {
            if (pl.kind_of(d, j) != HARDLINK) continue;
            std::string name = dpath + "/" + pl.file_name(d, j);
            uint32_t td, tj;
            if (!pl.link_target(d, j, td, tj)) {  // nothing to link to: a plain empty file
                int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (fd < 0) fail("create", name); else close(fd);
                nreg++;
                continue;
            }
            std::string tpath = (pl.dirs[td].path.empty() ? dest : dest + "/" + pl.dirs[td].path) + "/" +
                                pl.file_name(td, tj);
            if (link(tpath.c_str(), name.c_str()) != 0) fail("link", name);
            hard++;
        }
        nhard += hard;
    });
    if (g_fail.load()) {
        fprintf(stderr, "gen_tree: %d failures; tree left incomplete, no manifest written\n", g_fail.load());
        return 1;
    }

    // Statistics for the manifest.
    uint32_t maxfiles = 0, maxchildren = 0;
    int maxdepth = 0;
    for (auto &d : pl.dirs) {
        if (d.nfiles > maxfiles) maxfiles = d.nfiles;
        if (d.nchildren > maxchildren) maxchildren = d.nchildren;
        if (d.depth > maxdepth) maxdepth = d.depth;
    }
    uint64_t nfiles = nreg + nsym + nhard;
    std::string tmp = manifest + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) { fail("write", tmp); return 1; }
    fprintf(f, "%sentries=%llu\ndirs=%u\nfiles=%llu\nregular=%llu\nsymlinks=%llu\nhardlinks=%llu\n"
               "max_depth=%d\nmax_files_per_dir=%u\nmax_subdirs_per_dir=%u\n",
            header, (unsigned long long)(nd + nfiles), nd, (unsigned long long)nfiles,
            (unsigned long long)nreg.load(), (unsigned long long)nsym.load(), (unsigned long long)nhard.load(),
            maxdepth, maxfiles, maxchildren);
    fclose(f);
    if (rename(tmp.c_str(), manifest.c_str()) != 0) { fail("rename", tmp); return 1; }
    if (FILE *m = fopen(manifest.c_str(), "r")) {
        char buf[4096];
        size_t n = fread(buf, 1, sizeof buf, m);
        fwrite(buf, 1, n, stdout);
        fclose(m);
    }
    return 0;
}
