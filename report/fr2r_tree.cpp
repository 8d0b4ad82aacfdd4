// Subtree totals from parent inodes: directories linked to their parents,
// files attached to their directories, and the sums carried up, deepest
// first.
#include "fr2r_tree.h"

#include <algorithm>

#include "fr2r_sums.h"

namespace {

std::string parent_path(const std::string &p) {
    size_t k = p.rfind('/');
    if (k == std::string::npos) return "";
    return p.substr(0, k);
}

}  // namespace

void fr2r_tree_link(fr2r_tree *t) {
    for (size_t i = 0; i < t->d.size(); i++) {
        t->by_ino.emplace(t->d[i].inode, i);
        t->by_key.emplace(std::make_pair(t->d[i].dev, t->d[i].inode), i);
    }
    for (size_t i = 0; i < t->d.size(); i++) {
        fr2r_tree_dir &x = t->d[i];
        if (x.depth == 0 && x.parent_inode == 0) continue;
        int64_t p = fr2r_tree_find_parent(t, x.dev, x.parent_inode, x.path);
        if (p >= 0 && t->d[p].depth < x.depth)
            x.parent = p;
        else
            t->lost++;
    }
}

int64_t fr2r_tree_find_parent(const fr2r_tree *t, int64_t dev, int64_t pino,
                              const std::string &path) {
    std::string pp = parent_path(path);
    int64_t same_dev = -1, any = -1;
    int n_same = 0, n_any = 0;
    auto range = t->by_ino.equal_range(pino);
    for (auto it = range.first; it != range.second; ++it) {
        const fr2r_tree_dir &c = t->d[it->second];
        if (c.path == pp) return (int64_t)it->second;
        n_any++;
        any = (int64_t)it->second;
        if (c.dev == dev) {
            n_same++;
            same_dev = (int64_t)it->second;
        }
    }
    if (n_same == 1) return same_dev;
    if (n_any == 1) return any;
    return -1;
}

// A file lives on the device of its directory, so device and parent inode
// name that directory unless the same directory shows up twice (a bind
// mount), when paths decide.
int64_t fr2r_tree_target(const fr2r_tree *t, int64_t dev, int64_t pino) {
    auto key = std::make_pair(dev, pino);
    size_t c = t->by_key.count(key);
    if (c == 1) return (int64_t)t->by_key.find(key)->second;
    if (c > 1) return -2;
    if (t->by_ino.count(pino) == 1) return (int64_t)t->by_ino.find(pino)->second;
    return -1;
}

void fr2r_tree_add(fr2r_tree *t, int64_t dir, const fr2r_file_sums &s) {
    if (dir < 0) {
        t->lost += s.n;
        return;
    }
    fr2r_file_sums &o = t->d[dir].own;
    o.n += s.n;
    o.once = fr2r_add(o.once, s.once);
    o.raw = fr2r_add(o.raw, s.raw);
    o.alloc = fr2r_add(o.alloc, s.alloc);
}

void fr2r_tree_finish(fr2r_tree *t, std::vector<fr2r_dir_total> *out) {
    auto &d = t->d;
    for (auto &x : d) {
        x.tree = fr2r_add(x.size, x.own.once);
        x.raw = fr2r_add(x.size, x.own.raw);
        x.tree_alloc = fr2r_add(x.alloc, x.own.alloc);
        x.entries = x.own.n;
    }
    std::vector<size_t> order(d.size());
    for (size_t i = 0; i < d.size(); i++) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return d[a].depth > d[b].depth; });
    for (size_t i : order) {
        if (d[i].parent < 0) continue;
        fr2r_tree_dir &p = d[d[i].parent];
        p.tree = fr2r_add(p.tree, d[i].tree);
        p.raw = fr2r_add(p.raw, d[i].raw);
        p.tree_alloc = fr2r_add(p.tree_alloc, d[i].tree_alloc);
        p.entries += d[i].entries + 1;
    }
    out->clear();
    out->reserve(d.size());
    for (auto &x : d) {
        fr2r_dir_total r;
        r.path = std::move(x.path);
        r.depth = x.depth;
        r.fcount = x.fcount;
        r.dirsum = x.dirsum;
        r.tree_size = x.tree;
        r.tree_raw = x.raw;
        r.tree_entries = x.entries;
        r.tree_alloc = x.tree_alloc;
        r.own_entries = x.own.n;
        r.own_size = x.own.once;
        r.own_alloc = x.own.alloc;
        out->push_back(std::move(r));
    }
}
