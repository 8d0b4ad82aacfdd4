// Subtree totals rebuilt from the parent inodes of the lines: the same
// attachment rules for a whole scan (its rows read back) and a rollup (its
// sums per directory gathered while loading).
#pragma once

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Subtree totals of one directory, as the reports show them.
struct fr2r_dir_total {
    std::string path;
    int64_t depth;            // the directory's own depth (root 0)
    int64_t fcount;           // entries, as the scanner counted them
    int64_t dirsum;           // own size sum, as the scanner counted it
    int64_t tree_size;        // the directory and everything below it, hard links once
    int64_t tree_raw;         // the same, every link counted
    int64_t tree_entries;     // lines below it (itself not counted)
    int64_t tree_alloc;       // allocated space of it and everything below, hard links once
    int64_t own_entries = 0;  // lines directly in it that are not directories
    int64_t own_size = 0;     // their size, hard links once
    int64_t own_alloc = 0;    // their allocated space, hard links once
};

struct fr2r_pair_hash {
    size_t operator()(const std::pair<int64_t, int64_t> &k) const {
        return std::hash<int64_t>()(k.first) * 1000003u ^ std::hash<int64_t>()(k.second);
    }
};

// The files' share of one directory: lines, size once, every link, allocated once.
struct fr2r_file_sums {
    int64_t n = 0, once = 0, raw = 0, alloc = 0;
};

struct fr2r_tree_dir {
    int64_t inode = 0, parent_inode = 0, dev = 0, depth = 0;  // depth: the directory's own
    std::string path;
    int64_t fcount = 0, dirsum = 0, size = 0, alloc = 0;
    fr2r_file_sums own;
    int64_t tree = 0, raw = 0, entries = 0, tree_alloc = 0;
    int64_t parent = -1;
};

struct fr2r_tree {
    std::vector<fr2r_tree_dir> d;  // in the order of their lines
    // Directories by inode alone (a mount point's parent is on another
    // device) and by device and inode (for the files inside them).
    std::unordered_multimap<int64_t, size_t> by_ino;
    std::unordered_multimap<std::pair<int64_t, int64_t>, size_t, fr2r_pair_hash> by_key;
    int64_t lost = 0;  // lines whose directory has no line
};

// Indexes the directories in t->d and links each to its parent.
void fr2r_tree_link(fr2r_tree *t);
// The directory that holds the files of (dev, parent inode): its index; -1
// when none (they are lost); -2 when several directories have that device
// and inode (a bind mount) and the files' paths must decide.
int64_t fr2r_tree_target(const fr2r_tree *t, int64_t dev, int64_t pino);
// The parent of a line by the path less its last name among the directories
// with that inode; without such a path a single one on the device, or anywhere.
int64_t fr2r_tree_find_parent(const fr2r_tree *t, int64_t dev, int64_t pino,
                              const std::string &path);
void fr2r_tree_add(fr2r_tree *t, int64_t dir, const fr2r_file_sums &s);
// Deepest first, each directory adds its whole subtree to its parent.
void fr2r_tree_finish(fr2r_tree *t, std::vector<fr2r_dir_total> *out);
