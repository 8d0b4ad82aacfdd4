// Big directories cut into chunks, in one process: a directory of thousands
// of entries, cut into chunks of a few names that the other workers stat,
// lists what a plain scan lists, its own line with the count and size sum of
// every entry, the subdirectories found in chunks walked like any other.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "fr2_chunk.h"
#include "fr2_run.h"
#include "fr2_sys.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

// The threads that statted the big directory's own files (named "f...").
std::mutex g_statters_lock;
std::set<pthread_t> g_statters;

int noting_statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *buf) {
    if (path[0] == 'f') {
        std::lock_guard<std::mutex> hold(g_statters_lock);
        g_statters.insert(pthread_self());
    }
    return fr2_sys_linux.statx(dirfd, path, flags, mask, buf);
}

// fsrake2 run in this process with chunks of `chunk` names (0: none); its
// records, sorted, and how many threads statted the big directory's files.
std::vector<std::string> scan(const std::string &root, const std::string &out, int32_t chunk,
                              size_t *statters) {
    g_statters.clear();
    g_chunk_entries = chunk;
    g_sys.statx = noting_statx;
    std::vector<std::string> args = {"fsrake2", "--threads", "4", "--stat-mode",
                                     "sync",    "--output",  out, root};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int status = fr2_main(int(args.size()), argv.data());
    g_sys = fr2_sys_linux;
    g_chunk_entries = 0;
    EXPECT_EQ(status, 0);
    *statters = g_statters.size();
    auto recs = split_records(read_file(out));
    std::sort(recs.begin(), recs.end());
    return recs;
}

}  // namespace

TEST(Chunks, BigDirectoryCutIntoChunksListsWhatAPlainScanLists) {
    TempDir tmp(big_tree_base());
    std::string root = tmp / "big";
    make_dir(root);
    make_many_files(root, 3000);
    for (int i = 0; i < 20; i++) {
        std::string sub = root + "/d" + std::to_string(i);
        make_dir(sub);
        make_many_files(sub, 30, "g");
    }
    freeze_atimes(root);
    Model m = model_walk(root);
    size_t plain_statters = 0, chunked_statters = 0;
    auto plain = scan(root, tmp / "plain.csv", 0, &plain_statters);
    auto chunked = scan(root, tmp / "chunked.csv", 7, &chunked_statters);
    EXPECT_EQ(diff_sorted(plain, m.records), "");
    EXPECT_EQ(diff_sorted(chunked, plain), "");
    EXPECT_EQ(plain_statters, 1u) << "uncut, the directory's reader stats it all";
    EXPECT_GT(chunked_statters, 1u) << "the chunks went to the other workers";
}
