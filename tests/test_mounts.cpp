// Real mounts inside the walked tree (needs root): -x with a tmpfs mounted
// below the root, and an ext4 image without the filetype feature, whose
// getdents64 reports DT_UNKNOWN for every entry. Every mount is undone when
// the test ends, whether it passed or not.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

// A mount that is undone when the object dies (a lazy unmount if the plain one fails).
class Mount {
  public:
    Mount(const std::string &cmd, const std::string &target) : target_(target) {
        ok_ = sh(cmd, &log_) == 0;
    }
    ~Mount() {
        if (!ok_) return;
        if (umount(target_.c_str()) != 0) umount2(target_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }
    const std::string &log() const { return log_; }

  private:
    std::string target_;
    bool ok_ = false;
    std::string log_;
};

#define REQUIRE_ROOT()                                                                   \
    do {                                                                                 \
        if (!running_as_root()) GTEST_SKIP() << "mounting needs root; running as uid " << geteuid(); \
    } while (0)

void populate(const std::string &dir) {
    make_dirs(dir + "/sub/deeper/deepest");
    make_dirs(dir + "/emptydir");
    write_file(dir + "/file.txt", "hello");
    write_file(dir + "/sub/a.b.c", std::string(5000, 'x'));
    write_file(dir + "/sub/deeper/deepest/leaf", "leaf");
    make_many_files(dir + "/sub/deeper", 50);
    make_symlink("sub", dir + "/link-to-sub");
    if (mkfifo((dir + "/fifo").c_str(), 0644) != 0) die("mkfifo");
}

}  // namespace

TEST(Mounts, OneFileSystemSkipsATmpfsMountedInsideTheTree) {
    REQUIRE_ROOT();
    TempDir tmp;
    std::string root = tmp / "tree";
    make_dirs(root + "/mnt");
    make_dirs(root + "/local/inner");
    write_file(root + "/local/inner/here", "here");
    write_file(root + "/top", "top");
    Mount m("mount -t tmpfs -o size=16m fr2test " + shell_quote(root + "/mnt"), root + "/mnt");
    if (!m.ok()) GTEST_SKIP() << "cannot mount a tmpfs here: " << m.log();
    populate(root + "/mnt");
    freeze_atimes(root);

    struct stat top, mnt, local;
    lstat(root.c_str(), &top);
    lstat((root + "/mnt").c_str(), &mnt);
    lstat((root + "/local").c_str(), &local);
    ASSERT_NE(top.st_dev, mnt.st_dev) << "the tmpfs is not a file system of its own";

    // Without -x the mount is walked like any directory, with its own device.
    auto recs = expect_walk(run_fsrake2({root}), model_walk(root));
    Row mr = find_record(recs, root + "/mnt");
        EXPECT_EQ(mr[COL_DEV], std::to_string((unsigned long long)mnt.st_dev));
    EXPECT_TRUE(has_record(recs, root + "/mnt/sub/deeper/deepest/leaf"));
    EXPECT_EQ(find_record(recs, root)[COL_FCOUNT], "3");

    // With -x (and --one-file-system) the mount point is neither counted, listed nor read.
    for (std::string opt : {"-x", "--one-file-system"}) {
        SCOPED_TRACE(opt);
        recs = expect_walk(run_fsrake2({opt, root}), model_walk(root, one_file_system()));
        for (auto &rec : recs) EXPECT_EQ(rec.find(root + "/mnt"), std::string::npos) << rec;
        Row rt = find_record(recs, root);
        EXPECT_EQ(rt[COL_FCOUNT], "2");  // local and top
        EXPECT_EQ(rt[COL_DIRSUM], std::to_string(local.st_size + 3));
        EXPECT_TRUE(has_record(recs, root + "/local/inner/here"));
    }

    // -x with the mount itself as the root: all of it is on the root's device.
    expect_walk(run_fsrake2({"-x", root + "/mnt"}), model_walk(root + "/mnt", one_file_system()));
}

TEST(Mounts, Ext4WithoutFiletypeReportsDtUnknownAndSubdirectoriesAreStillFound) {
    REQUIRE_ROOT();
    if (!have_command("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is not installed (e2fsprogs)";
    TempDir tmp;
    std::string img = tmp / "notype.img", mnt = tmp / "mnt";
    make_dir(mnt);
    std::string log;
    ASSERT_EQ(sh("truncate -s 64M " + shell_quote(img) + " && mkfs.ext4 -q -F -O ^filetype " +
                     shell_quote(img), &log), 0) << log;
    Mount m("mount -o loop " + shell_quote(img) + " " + shell_quote(mnt), mnt);
    if (!m.ok()) GTEST_SKIP() << "cannot mount a loop device here: " << m.log();
    populate(mnt);
    std::string ex = tmp / "ex";
    write_file(ex, mnt + "/sub/deeper\n");
    freeze_atimes(tmp.path());

    // The premise: this file system reports no types.
    DIR *d = opendir(mnt.c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0, unknown = 0;
    while (struct dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        entries++;
        unknown += e->d_type == DT_UNKNOWN;
    }
    closedir(d);
    ASSERT_GT(entries, 0);
    ASSERT_EQ(unknown, entries) << "getdents64 reports types here; the test would prove nothing";

    Model model = model_walk(mnt);
    auto recs = expect_walk(run_fsrake2({mnt}), model);
    for (auto p : {"/sub", "/sub/deeper", "/sub/deeper/deepest", "/sub/deeper/deepest/leaf",
                   "/emptydir", "/lost+found", "/sub/deeper/f49"})
        EXPECT_TRUE(has_record(recs, mnt + p)) << p;
    // A link to a directory stays a file line; the fifo too.
    EXPECT_EQ(find_record(recs, mnt + "/link-to-sub")[COL_MODE], "0120777");
    EXPECT_EQ(find_record(recs, mnt + "/link-to-sub")[COL_FCOUNT], "-1");
    EXPECT_EQ(find_record(recs, mnt + "/fifo")[COL_MODE], "0010644");
    EXPECT_EQ(find_record(recs, mnt + "/sub/deeper")[COL_FCOUNT], "51");
    // The same with one thread, small batches, and the depth and exclude rules
    // applied to directories found by their mode.
    expect_walk(run_fsrake2({"--threads", "1", "--ring-depth", "16", mnt}), model);
    expect_walk(run_fsrake2({"--depth", "2", mnt}), model_walk(mnt, depth_limit(2)));
    expect_walk(run_fsrake2({"--exclude", ex, mnt}), model_walk(mnt, excluding({mnt + "/sub/deeper"})));
    // Walked from above the mount point, and with -x from above (skipped whole).
    expect_walk(run_fsrake2({tmp.path()}), model_walk(tmp.path()));
    auto above = expect_walk(run_fsrake2({"-x", tmp.path()}),
                             model_walk(tmp.path(), one_file_system()));
    EXPECT_FALSE(has_record(above, mnt));
}
