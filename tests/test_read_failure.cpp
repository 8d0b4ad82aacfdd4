// A directory whose reading breaks in the middle, on a real FUSE file system:
// the batch already read (and, with the ring, in flight) is still listed and
// the directory keeps its line; a failure of the very first read leaves the
// directory without a line. Either way the rest of the tree is listed.
#include <gtest/gtest.h>

#include <map>

#include "hangfs_fixture.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

class ReadFailure : public HangfsTest {
  protected:
    void SetUp() override {
        HangfsTest::SetUp();
        if (IsSkipped()) return;
        make_dir(backing + "/broken");
        make_many_files(backing + "/broken", 3000);
        make_dir(backing + "/fine");
        make_many_files(backing + "/fine", 500);
        write_file(backing + "/top.txt", "top");
        mount({"--hang", "readdir:fail:/broken"});
    }

    // Records by path (fields unquoted).
    static std::map<std::string, Row> by_path(const std::string &out) {
        std::map<std::string, Row> m;
        for (auto &rec : split_records(out)) {
            Row f = record_fields(rec);
            EXPECT_EQ(f.size(), COL_COUNT) << rec;
            if (f.size() == COL_COUNT) {
                EXPECT_TRUE(m.emplace(f[COL_PATH], f).second) << "twice: " << f[COL_PATH];
            }
        }
        return m;
    }
};

RunOptions sync_mode() {
    RunOptions o;
#ifdef FR2_SECCOMP_RUN
    o.prefix = {FR2_SECCOMP_RUN, "--fail-setup", "--"};
#endif
    o.timeout_sec = 120;
    return o;
}

}  // namespace

TEST_F(ReadFailure, LaterReadFailingKeepsTheBatchesReadBefore) {
    const std::string broken = fs->path() + "/broken";
    struct Variant {
        const char *name;
        RunOptions opt;
    };
    RunOptions ring;
    ring.timeout_sec = 120;
    std::vector<Variant> variants = {{"ring", ring}};
#ifdef FR2_SECCOMP_RUN
    variants.push_back({"sync", sync_mode()});
#endif
    for (auto &v : variants) {
        SCOPED_TRACE(v.name);
        // Batches of 16: the first reply of the listing fills the first batch,
        // the second read fails.
        RunResult r = run_fsrake2({"--threads", "2", "--ring-depth", "16", fs->path()}, v.opt);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(": getdents64 error: " + broken + ": Input/output error\n"),
                  std::string::npos)
            << r.err;
        auto recs = by_path(r.out);
        long listed = 0;
        for (auto &[path, f] : recs)
            if (path.compare(0, broken.size() + 1, broken + "/") == 0) listed++;
        EXPECT_GE(listed, 16) << "the first batch is listed";
        EXPECT_LT(listed, 3000) << "the entries after the failed read are not";
        ASSERT_TRUE(recs.count(broken)) << "the directory keeps its line";
        EXPECT_EQ(recs[broken][COL_FCOUNT], std::to_string(listed)) << "counted: what was processed";
        // The rest of the tree is whole.
        for (int i = 0; i < 500; i++) EXPECT_TRUE(recs.count(fs->path() + "/fine/f" + std::to_string(i)));
        EXPECT_TRUE(recs.count(fs->path() + "/top.txt"));
        ASSERT_TRUE(recs.count(fs->path()));
        EXPECT_EQ(recs[fs->path()][COL_FCOUNT], "3");
    }
}

TEST_F(ReadFailure, FirstReadFailingLeavesTheDirectoryWithoutALine) {
    // The default batch target is larger than the first reply, so the first
    // batch read itself meets the failure.
    const std::string broken = fs->path() + "/broken";
    RunOptions ring;
    ring.timeout_sec = 120;
    RunResult r = run_fsrake2({"--threads", "2", fs->path()}, ring);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(": getdents64 error: " + broken + ": Input/output error\n"), std::string::npos)
        << r.err;
    auto recs = by_path(r.out);
    EXPECT_FALSE(recs.count(broken));
    for (auto &[path, f] : recs) EXPECT_NE(path.compare(0, broken.size() + 1, broken + "/"), 0) << path;
    EXPECT_EQ(recs.size(), 1u + 1 + 500 + 1) << "root, fine, its files, top.txt";
    ASSERT_TRUE(recs.count(fs->path()));
    EXPECT_EQ(recs[fs->path()][COL_FCOUNT], "3") << "the broken directory still counts in its parent";
}
