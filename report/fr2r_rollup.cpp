// Rollups: a scan summed as it is read, with no row per line. Each parsing
// thread sums its own part; the parts are merged in input order and the sums
// written once the last line is in. A file with several links is held back
// until then: only when every line is in is its lowest path known, the one
// credited with its size (as a whole scan does).
#include "fr2r_rollup.h"

#include <sqlite3.h>
#include <string.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "fr2r_db.h"
#include "fr2r_query.h"
#include "fr2r_sums.h"
#include "fr2r_tree.h"

namespace {

struct owner_sums {
    int64_t entries = 0, files = 0, once = 0, raw = 0, alloc = 0;
};
struct ext_sums {
    int64_t files = 0, once = 0, raw = 0, alloc = 0;
};
struct day_sums {
    int64_t files = 0, size = 0;
};
struct cold_sums {
    int64_t files = 0, alloc = 0, oldest = INT64_MAX;
};

// The files of one directory, named as a whole scan finds it: device and
// parent inode, and the path less the last name (the rest of its key) for
// when those are not enough.
struct file_group {
    int64_t dev, pino;
    fr2r_file_sums sums;
};

struct kept_file {
    std::string path;
    int64_t size, blocks, uid, mtime, nlink;
};

// A file with several links, credited when every line is in.
struct linked_file {
    int64_t dev, inode;
    uint32_t file;
    int64_t line;
    size_t group;
    fr2r_entry e;
};

// Whole days back from the scan's time, rounded down (times after it are negative).
int64_t days_back(int64_t scan_time, int64_t t) {
    int64_t d = fr2r_sub(scan_time, t);
    return d / 86400 - (d % 86400 < 0 ? 1 : 0);
}

// Days before k_day_slots go in arrays, the rest (future or far past) in maps.
enum { k_day_slots = 1 << 16 };

}  // namespace

struct fr2r_rollup {
    int64_t scan_time = 0;
    int64_t keep = 0;
    fr2r_totals t;
    std::unordered_set<int64_t> devs;
    std::vector<fr2r_tree_dir> dirs;
    std::vector<file_group> groups;
    std::unordered_map<std::string, size_t> group_at;  // key: dev, pino, parent path
    std::string last_key;
    size_t last_group = SIZE_MAX;
    std::unordered_map<int64_t, owner_sums> owners[2];  // users, groups
    // Neighbouring lines mostly share their owner and device: the last ones
    // found (elements of unordered containers stay where they are).
    int64_t last_owner[2] = {-1, -1}, last_dev = -1;
    owner_sums *last_sums[2] = {nullptr, nullptr};
    std::unordered_map<std::string, ext_sums> exts;
    std::vector<day_sums> days[3];  // atime, mtime, ctime by days back
    std::unordered_map<int64_t, day_sums> far_days[3];
    std::unordered_map<std::pair<int64_t, int64_t>, cold_sums, fr2r_pair_hash> cold;
    int64_t size_files[65] = {}, size_bytes[65] = {};
    std::vector<kept_file> by_size, by_blocks;  // heaps, the weakest on top
    std::vector<linked_file> linked;
    // Finished: which linked lines are extra links, and every directory's
    // subtree totals.
    std::vector<bool> dup;
    std::vector<fr2r_dir_total> dir_totals;
    int64_t lost = 0;  // lines whose directory has no line
};

namespace {

bool bigger_size(const kept_file &a, const kept_file &b) {
    return a.size != b.size ? a.size > b.size : a.path < b.path;
}
bool bigger_blocks(const kept_file &a, const kept_file &b) {
    return a.blocks != b.blocks ? a.blocks > b.blocks : a.path < b.path;
}

// Keeps f among the r->keep first by the ranking; the weakest is dropped.
void keep_ranked(std::vector<kept_file> *heap, int64_t keep, const kept_file &f,
                 bool (*before)(const kept_file &, const kept_file &)) {
    if ((int64_t)heap->size() < keep) {
        heap->push_back(f);
        std::push_heap(heap->begin(), heap->end(), before);
    } else if (keep > 0 && before(f, heap->front())) {
        std::pop_heap(heap->begin(), heap->end(), before);
        heap->back() = f;
        std::push_heap(heap->begin(), heap->end(), before);
    }
}

// Would f enter the heap? Asked before its path is copied.
bool may_keep(const std::vector<kept_file> &heap, int64_t keep, int64_t v, bool blocks,
              const std::string &path) {
    if ((int64_t)heap.size() < keep) return true;
    if (keep <= 0) return false;
    const kept_file &w = heap.front();
    int64_t wv = blocks ? w.blocks : w.size;
    return v != wv ? v > wv : path < w.path;
}

void add_day(fr2r_rollup *r, int kind, int64_t day, int64_t size) {
    day_sums *d;
    if (day >= 0 && day < k_day_slots) {
        if (r->days[kind].empty()) r->days[kind].resize(k_day_slots);
        d = &r->days[kind][day];
    } else {
        d = &r->far_days[kind][day];
    }
    d->files++;
    d->size = fr2r_add(d->size, size);
}

owner_sums &owner_of(fr2r_rollup *r, int g, int64_t id) {
    if (r->last_owner[g] != id || !r->last_sums[g]) {
        r->last_sums[g] = &r->owners[g][id];
        r->last_owner[g] = id;
    }
    return *r->last_sums[g];
}

void add_owner(owner_sums *o, int64_t size, int64_t bytes) {
    o->once = fr2r_add(o->once, size);
    o->alloc = fr2r_add(o->alloc, bytes);
}

// The part of a line that only a line credited with its inode adds: the
// size counted once, by every grouping.
void credit(fr2r_rollup *r, const fr2r_entry &e, bool dir, size_t group) {
    int64_t bytes = fr2r_blocks_bytes((int64_t)e.blocks);
    r->t.once = fr2r_add(r->t.once, e.size);
    r->t.alloc = fr2r_add(r->t.alloc, bytes);
    add_owner(&owner_of(r, 0, e.uid), e.size, bytes);
    add_owner(&owner_of(r, 1, e.gid), e.size, bytes);
    if (dir) return;
    if (e.nlink > 1) r->t.linked++;
    ext_sums &x = r->exts[e.extension];
    x.once = fr2r_add(x.once, e.size);
    x.alloc = fr2r_add(x.alloc, bytes);
    fr2r_file_sums &g = r->groups[group].sums;
    g.once = fr2r_add(g.once, e.size);
    g.alloc = fr2r_add(g.alloc, bytes);
    add_day(r, 0, days_back(r->scan_time, e.atime), e.size);
    add_day(r, 1, days_back(r->scan_time, e.mtime), e.size);
    add_day(r, 2, days_back(r->scan_time, e.ctime), e.size);
    int b = e.size <= 0 ? 0 : 64 - __builtin_clzll((unsigned long long)e.size);
    r->size_files[b]++;
    r->size_bytes[b] = fr2r_add(r->size_bytes[b], e.size);
    // Cold when atime < cutoff: kept by whole days of scan_time - atime - 1.
    cold_sums &c = r->cold[{e.uid, days_back(fr2r_sub(r->scan_time, 1), e.atime)}];
    c.files++;
    c.alloc = fr2r_add(c.alloc, bytes);
    if (e.atime < c.oldest) c.oldest = e.atime;
    int64_t blocks = (int64_t)e.blocks;
    bool by_size = may_keep(r->by_size, r->keep, e.size, false, e.path);
    bool by_blocks = may_keep(r->by_blocks, r->keep, blocks, true, e.path);
    if (by_size || by_blocks) {
        kept_file f{e.path, e.size, blocks, e.uid, e.mtime, e.nlink};
        if (by_size) keep_ranked(&r->by_size, r->keep, f, bigger_size);
        if (by_blocks) keep_ranked(&r->by_blocks, r->keep, f, bigger_blocks);
    }
}

size_t group_of(fr2r_rollup *r, int64_t dev, int64_t pino, const std::string &path) {
    size_t slash = path.rfind('/');
    size_t plen = slash == std::string::npos ? 0 : slash;
    // The lines of one directory come together: most lines ask for the last group.
    if (r->last_group != SIZE_MAX && r->last_key.size() == 16 + plen &&
        memcmp(r->last_key.data(), &dev, 8) == 0 && memcmp(r->last_key.data() + 8, &pino, 8) == 0 &&
        memcmp(r->last_key.data() + 16, path.data(), plen) == 0)
        return r->last_group;
    r->last_key.assign((const char *)&dev, 8);
    r->last_key.append((const char *)&pino, 8);
    r->last_key.append(path, 0, plen);
    auto it = r->group_at.find(r->last_key);
    if (it == r->group_at.end()) {
        it = r->group_at.emplace(r->last_key, r->groups.size()).first;
        r->groups.push_back(file_group{dev, pino, {}});
    }
    r->last_group = it->second;
    return it->second;
}

template <typename Map> void add_owner_map(Map *into, const Map &from) {
    for (const auto &kv : from) {
        owner_sums &o = (*into)[kv.first];
        o.entries += kv.second.entries;
        o.files += kv.second.files;
        o.once = fr2r_add(o.once, kv.second.once);
        o.raw = fr2r_add(o.raw, kv.second.raw);
        o.alloc = fr2r_add(o.alloc, kv.second.alloc);
    }
}

}  // namespace

fr2r_rollup *fr2r_rollup_new(int64_t scan_time, int64_t keep_files) {
    fr2r_rollup *r = new fr2r_rollup;
    r->scan_time = scan_time;
    r->keep = keep_files < 0 ? 0 : keep_files;
    return r;
}

void fr2r_rollup_free(fr2r_rollup *r) { delete r; }

void fr2r_rollup_add(fr2r_rollup *r, const fr2r_entry &e, uint32_t file, int64_t line) {
    bool dir = (e.mode & 0170000) == 0040000;
    int64_t bytes = fr2r_blocks_bytes((int64_t)e.blocks);
    fr2r_totals &t = r->t;
    t.lines++;
    t.raw = fr2r_add(t.raw, e.size);
    t.alloc_raw = fr2r_add(t.alloc_raw, bytes);
    if ((int64_t)e.dev != r->last_dev) {
        r->devs.insert((int64_t)e.dev);
        r->last_dev = (int64_t)e.dev;
    }
    int64_t depth = e.depth + (dir ? 1 : 0);
    if (depth > t.deepest) t.deepest = depth;
    for (int g = 0; g < 2; g++) {
        owner_sums &o = owner_of(r, g, g ? e.gid : e.uid);
        o.entries++;
        o.files += !dir;
        o.raw = fr2r_add(o.raw, e.size);
    }
    if (dir) {
        t.dirs++;
        fr2r_tree_dir d;
        d.inode = (int64_t)e.inode;
        d.parent_inode = (int64_t)e.parent_inode;
        d.dev = (int64_t)e.dev;
        d.depth = e.depth + 1;
        d.path = e.path;
        d.fcount = e.fcount;
        d.dirsum = e.dirsum;
        d.size = e.size;
        d.alloc = bytes;
        r->dirs.push_back(std::move(d));
        credit(r, e, true, 0);
        return;
    }
    t.files++;
    t.symlinks += (e.mode & 0170000) == 0120000;
    t.regular += (e.mode & 0170000) == 0100000;
    if (e.mtime < t.oldest) t.oldest = e.mtime;
    if (e.mtime > t.newest) t.newest = e.mtime;
    if (e.size > t.largest) t.largest = e.size;
    ext_sums &x = r->exts[e.extension];
    x.files++;
    x.raw = fr2r_add(x.raw, e.size);
    size_t g = group_of(r, (int64_t)e.dev, (int64_t)e.parent_inode, e.path);
    fr2r_file_sums &s = r->groups[g].sums;
    s.n++;
    s.raw = fr2r_add(s.raw, e.size);
    if (e.nlink > 1) {
        r->linked.push_back(linked_file{(int64_t)e.dev, (int64_t)e.inode, file, line, g, e});
        return;
    }
    credit(r, e, false, g);
}

void fr2r_rollup_merge(fr2r_rollup *into, fr2r_rollup *from) {
    fr2r_totals &a = into->t;
    const fr2r_totals &b = from->t;
    a.lines += b.lines;
    a.files += b.files;
    a.dirs += b.dirs;
    a.regular += b.regular;
    a.symlinks += b.symlinks;
    a.once = fr2r_add(a.once, b.once);
    a.raw = fr2r_add(a.raw, b.raw);
    a.alloc = fr2r_add(a.alloc, b.alloc);
    a.alloc_raw = fr2r_add(a.alloc_raw, b.alloc_raw);
    a.linked += b.linked;
    a.extra += b.extra;
    a.deepest = std::max(a.deepest, b.deepest);
    a.largest = std::max(a.largest, b.largest);
    a.oldest = std::min(a.oldest, b.oldest);
    a.newest = std::max(a.newest, b.newest);
    into->devs.insert(from->devs.begin(), from->devs.end());
    for (auto &d : from->dirs) into->dirs.push_back(std::move(d));
    std::vector<size_t> moved(from->groups.size());
    for (const auto &kv : from->group_at) {
        auto it = into->group_at.find(kv.first);
        const file_group &src = from->groups[kv.second];
        if (it == into->group_at.end()) {
            it = into->group_at.emplace(kv.first, into->groups.size()).first;
            into->groups.push_back(file_group{src.dev, src.pino, {}});
        }
        fr2r_file_sums &s = into->groups[it->second].sums;
        s.n += src.sums.n;
        s.once = fr2r_add(s.once, src.sums.once);
        s.raw = fr2r_add(s.raw, src.sums.raw);
        s.alloc = fr2r_add(s.alloc, src.sums.alloc);
        moved[kv.second] = it->second;
    }
    into->last_group = SIZE_MAX;
    into->last_sums[0] = into->last_sums[1] = nullptr;
    for (int g = 0; g < 2; g++) add_owner_map(&into->owners[g], from->owners[g]);
    for (const auto &kv : from->exts) {
        ext_sums &x = into->exts[kv.first];
        x.files += kv.second.files;
        x.once = fr2r_add(x.once, kv.second.once);
        x.raw = fr2r_add(x.raw, kv.second.raw);
        x.alloc = fr2r_add(x.alloc, kv.second.alloc);
    }
    for (int k = 0; k < 3; k++) {
        if (!from->days[k].empty()) {
            if (into->days[k].empty()) into->days[k].resize(k_day_slots);
            for (size_t i = 0; i < k_day_slots; i++) {
                into->days[k][i].files += from->days[k][i].files;
                into->days[k][i].size = fr2r_add(into->days[k][i].size, from->days[k][i].size);
            }
        }
        for (const auto &kv : from->far_days[k]) {
            day_sums &d = into->far_days[k][kv.first];
            d.files += kv.second.files;
            d.size = fr2r_add(d.size, kv.second.size);
        }
    }
    for (const auto &kv : from->cold) {
        cold_sums &c = into->cold[kv.first];
        c.files += kv.second.files;
        c.alloc = fr2r_add(c.alloc, kv.second.alloc);
        c.oldest = std::min(c.oldest, kv.second.oldest);
    }
    for (int c = 0; c < 65; c++) {
        into->size_files[c] += from->size_files[c];
        into->size_bytes[c] = fr2r_add(into->size_bytes[c], from->size_bytes[c]);
    }
    for (const auto &f : from->by_size) keep_ranked(&into->by_size, into->keep, f, bigger_size);
    for (const auto &f : from->by_blocks)
        keep_ranked(&into->by_blocks, into->keep, f, bigger_blocks);
    for (auto &l : from->linked) {
        l.group = moved[l.group];
        into->linked.push_back(std::move(l));
    }
    from->linked.clear();
    from->dirs.clear();
}

// ---------------------------------------------------------------- finishing

void fr2r_rollup_finish(fr2r_rollup *r) {
    // The lowest path of an inode is credited with the file (ties: the
    // earlier line), its other links only counted.
    std::sort(r->linked.begin(), r->linked.end(), [](const linked_file &a, const linked_file &b) {
        if (a.dev != b.dev) return a.dev < b.dev;
        if (a.inode != b.inode) return a.inode < b.inode;
        if (a.e.path != b.e.path) return a.e.path < b.e.path;
        if (a.file != b.file) return a.file < b.file;
        return a.line < b.line;
    });
    std::vector<bool> &dup = r->dup;
    dup.assign(r->linked.size(), false);
    for (size_t i = 0; i < r->linked.size(); i++) {
        const linked_file &l = r->linked[i];
        dup[i] = i > 0 && r->linked[i - 1].dev == l.dev && r->linked[i - 1].inode == l.inode;
        if (dup[i])
            r->t.extra++;
        else
            credit(r, l.e, false, l.group);
    }
    r->t.users = (int64_t)r->owners[0].size();  // every line counts for its owners
    r->t.groups = (int64_t)r->owners[1].size();
    r->t.devices = (int64_t)r->devs.size();

    fr2r_tree tree;
    tree.d = std::move(r->dirs);
    fr2r_tree_link(&tree);
    for (const auto &kv : r->group_at) {
        const file_group &g = r->groups[kv.second];
        int64_t target = fr2r_tree_target(&tree, g.dev, g.pino);
        if (target == -2)
            target = fr2r_tree_find_parent(&tree, g.dev, g.pino, kv.first.substr(16) + "/");
        fr2r_tree_add(&tree, target, g.sums);
    }
    // What is no longer needed goes before the rows are made: a tree of many
    // folders holds most of the load's memory here.
    std::unordered_map<std::string, size_t>().swap(r->group_at);
    std::vector<file_group>().swap(r->groups);
    decltype(tree.by_ino)().swap(tree.by_ino);
    decltype(tree.by_key)().swap(tree.by_key);
    fr2r_tree_finish(&tree, &r->dir_totals);
    r->lost = tree.lost;
}

// ---------------------------------------------------------------- storing

namespace {

struct writer {
    sqlite3 *db;
    int64_t scan;
    bool ok = true;
};

// Each table's rows: fill binds ?2 onward (?1 is the scan). After a
// failure the rest is not tried.
template <typename Fill> void insert_rows(writer *w, const char *sql, size_t n, Fill fill) {
    w->ok = w->ok && fr2r_insert_rows(w->db, w->scan, sql, n, "storing the rollup", fill);
}

void bind_blob(sqlite3_stmt *st, int i, const std::string &v) {
    sqlite3_bind_blob(st, i, v.data(), (int)v.size(), SQLITE_STATIC);
}

}  // namespace

int fr2r_rollup_store(sqlite3 *db, int64_t scan, const fr2r_rollup *r) {
    const std::vector<fr2r_dir_total> &dirs = r->dir_totals;
    const std::vector<bool> &dup = r->dup;
    writer w{db, scan};
    const fr2r_totals &t = r->t;
    const std::pair<const char *, int64_t> items[] = {{"lines", t.lines},
                                                      {"files", t.files},
                                                      {"directories", t.dirs},
                                                      {"regular_files", t.regular},
                                                      {"symbolic_links", t.symlinks},
                                                      {"size", t.once},
                                                      {"size_every_link", t.raw},
                                                      {"allocated", t.alloc},
                                                      {"allocated_every_link", t.alloc_raw},
                                                      {"files_with_links", t.linked},
                                                      {"extra_links", t.extra},
                                                      {"users", t.users},
                                                      {"groups", t.groups},
                                                      {"devices", t.devices},
                                                      {"deepest_level", t.deepest},
                                                      {"largest_file", t.largest},
                                                      {"oldest_mtime", t.oldest},
                                                      {"newest_mtime", t.newest},
                                                      {"unattached_lines", r->lost}};
    insert_rows(&w, "INSERT INTO rollup_totals(scan, item, value) VALUES(?1, ?2, ?3)",
                sizeof items / sizeof items[0], [&](sqlite3_stmt *st, size_t i) {
                    sqlite3_bind_text(st, 2, items[i].first, -1, SQLITE_STATIC);
                    sqlite3_bind_int64(st, 3, items[i].second);
                });
    insert_rows(&w,
                "INSERT INTO rollup_dirs(scan, path, depth, fcount, dirsum, own_entries, "
                "own_size, own_allocated, tree_size, tree_size_every_link, tree_allocated, "
                "tree_entries) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)",
                dirs.size(), [&](sqlite3_stmt *st, size_t i) {
                    const fr2r_dir_total &d = dirs[i];
                    bind_blob(st, 2, d.path);
                    int64_t v[] = {d.depth,      d.fcount,      d.dirsum,    d.own_entries,
                                   d.own_size,   d.own_alloc,   d.tree_size, d.tree_raw,
                                   d.tree_alloc, d.tree_entries};
                    for (int k = 0; k < 10; k++) sqlite3_bind_int64(st, 3 + k, v[k]);
                });
    for (int g = 0; g < 2; g++) {
        std::vector<std::pair<int64_t, owner_sums>> v(r->owners[g].begin(), r->owners[g].end());
        insert_rows(&w,
                    "INSERT INTO rollup_owners(scan, is_group, id, entries, files, size, "
                    "size_every_link, allocated) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                    v.size(), [&](sqlite3_stmt *st, size_t i) {
                        const owner_sums &o = v[i].second;
                        int64_t x[] = {g, v[i].first, o.entries, o.files, o.once, o.raw, o.alloc};
                        for (int k = 0; k < 7; k++) sqlite3_bind_int64(st, 2 + k, x[k]);
                    });
    }
    {
        std::vector<std::pair<std::string, ext_sums>> v(r->exts.begin(), r->exts.end());
        insert_rows(&w,
                    "INSERT INTO rollup_extensions(scan, extension, files, size, "
                    "size_every_link, allocated) VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                    v.size(), [&](sqlite3_stmt *st, size_t i) {
                        const ext_sums &x = v[i].second;
                        bind_blob(st, 2, v[i].first);
                        int64_t y[] = {x.files, x.once, x.raw, x.alloc};
                        for (int k = 0; k < 4; k++) sqlite3_bind_int64(st, 3 + k, y[k]);
                    });
    }
    for (int k = 0; k < 3; k++) {
        std::vector<std::pair<int64_t, day_sums>> v(r->far_days[k].begin(), r->far_days[k].end());
        for (size_t i = 0; i < r->days[k].size(); i++)
            if (r->days[k][i].files) v.push_back({(int64_t)i, r->days[k][i]});
        insert_rows(&w,
                    "INSERT INTO rollup_days(scan, kind, day, files, size) VALUES(?1, ?2, ?3, "
                    "?4, ?5)",
                    v.size(), [&](sqlite3_stmt *st, size_t i) {
                        sqlite3_bind_int64(st, 2, k);
                        sqlite3_bind_int64(st, 3, v[i].first);
                        sqlite3_bind_int64(st, 4, v[i].second.files);
                        sqlite3_bind_int64(st, 5, v[i].second.size);
                    });
    }
    {
        std::vector<int> v;
        for (int b = 0; b < 65; b++)
            if (r->size_files[b]) v.push_back(b);
        insert_rows(&w, "INSERT INTO rollup_sizes(scan, class, files, size) VALUES(?1, ?2, ?3, ?4)",
                    v.size(), [&](sqlite3_stmt *st, size_t i) {
                        sqlite3_bind_int64(st, 2, v[i]);
                        sqlite3_bind_int64(st, 3, r->size_files[v[i]]);
                        sqlite3_bind_int64(st, 4, r->size_bytes[v[i]]);
                    });
    }
    {
        std::vector<std::pair<std::pair<int64_t, int64_t>, cold_sums>> v(r->cold.begin(),
                                                                         r->cold.end());
        insert_rows(&w,
                    "INSERT INTO rollup_cold(scan, uid, day, files, allocated, oldest) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                    v.size(), [&](sqlite3_stmt *st, size_t i) {
                        int64_t x[] = {v[i].first.first, v[i].first.second, v[i].second.files,
                                       v[i].second.alloc, v[i].second.oldest};
                        for (int k = 0; k < 5; k++) sqlite3_bind_int64(st, 2 + k, x[k]);
                    });
    }
    {
        // The two rankings share most of their files.
        std::vector<const kept_file *> v;
        std::unordered_set<std::string> seen;
        for (const auto *heap : {&r->by_size, &r->by_blocks})
            for (const auto &f : *heap)
                if (seen.insert(f.path).second) v.push_back(&f);
        insert_rows(
            &w,
            "INSERT INTO rollup_files(scan, path, size, blocks, uid, mtime, nlink) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
            v.size(), [&](sqlite3_stmt *st, size_t i) {
                bind_blob(st, 2, v[i]->path);
                int64_t x[] = {v[i]->size, v[i]->blocks, v[i]->uid, v[i]->mtime, v[i]->nlink};
                for (int k = 0; k < 5; k++) sqlite3_bind_int64(st, 3 + k, x[k]);
            });
    }
    insert_rows(&w,
                "INSERT INTO rollup_links(scan, dev, inode, path, size, blocks, nlink, dup) "
                "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
                r->linked.size(), [&](sqlite3_stmt *st, size_t i) {
                    const linked_file &l = r->linked[i];
                    sqlite3_bind_int64(st, 2, l.dev);
                    sqlite3_bind_int64(st, 3, l.inode);
                    bind_blob(st, 4, l.e.path);
                    sqlite3_bind_int64(st, 5, l.e.size);
                    sqlite3_bind_int64(st, 6, (int64_t)l.e.blocks);
                    sqlite3_bind_int64(st, 7, l.e.nlink);
                    sqlite3_bind_int64(st, 8, dup[i] ? 1 : 0);
                });
    return w.ok ? 0 : -1;
}
