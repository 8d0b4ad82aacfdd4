// Runs as a real unprivileged user (uid and gid 65534, no groups, through
// setpriv when the suite runs as root): the setuid warning, directories the
// user cannot open ("Locked Dir", still counted in the parent), directories
// it can list but not search (a line with no entries counted), and a root it
// cannot stat.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

// A tree that uid 65534 can reach: everything under a 0755 folder.
struct OpenTree {
    TempDir tmp;
    std::string root = tmp / "u";
    OpenTree() {
        chmod(tmp.path().c_str(), 0755);
        make_dirs(root + "/open/inner");
        write_file(root + "/open/f", "f");
        write_file(root + "/open/inner/g", "gg");
        write_file(root + "/top", "top");
        make_dirs(root + "/locked/below");
        write_file(root + "/locked/secret", "s");
        chmod((root + "/locked").c_str(), 0000);
        make_dirs(root + "/execonly/x");
        write_file(root + "/execonly/e", "e");
        chmod((root + "/execonly").c_str(), 0111);
        make_dirs(root + "/listonly/y");
        write_file(root + "/listonly/l", "l");
        chmod((root + "/listonly").c_str(), 0644);
        freeze_atimes(root);
        // The build folder may be out of the user's reach: run a copy.
        write_file(binary, read_file(FR2_BINARY));
        chmod(binary.c_str(), 0755);
    }
    std::string binary = tmp / "fsrake2";
    RunResult run(const std::vector<std::string> &args) const;
};

RunOptions as_nobody() {
    RunOptions o = with_timeout(120);
    o.prefix = unprivileged_prefix();
    return o;
}

RunResult OpenTree::run(const std::vector<std::string> &args) const {
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, as_nobody());
}

}  // namespace

TEST(Unprivileged, WarnsThatSetuidFailedAndWalksAnyway) {
    OpenTree t;
    RunResult r = t.run({t.root + "/open"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The warning is the first message: it comes before the walk starts.
    EXPECT_EQ(r.err.substr(0, strlen(setuid_warning()) + 1), std::string(setuid_warning()) + "\n");
    ErrParts e = split_stderr(r.err);
    EXPECT_EQ(e.messages, std::vector<std::string>{setuid_warning()});
    std::vector<std::string> recs = split_records(r.out);
    std::sort(recs.begin(), recs.end());
    EXPECT_EQ(diff_sorted(recs, model_walk(t.root + "/open").records), "");
    EXPECT_EQ(e.files, (long long)recs.size());
}

TEST(Unprivileged, LockedDirectoriesAreReportedAndStillCountedInTheirParent) {
    OpenTree t;
    const std::string &R = t.root;
    RunResult r = t.run({R});
    ASSERT_EQ(r.status, 0) << r.err;
    // 0000 and 0111 cannot be opened for reading: "Locked Dir" with the
    // reason, no line. 0644 can be listed but not searched: its entries cannot
    // be statted, so it gets a line with no entries and nothing below it, and
    // each entry it could not stat is named with the reason.
    ModelOptions opt;
    opt.unopenable = {R + "/locked", R + "/execonly"};
    opt.unsearchable = {R + "/listonly"};
    Model m = model_walk(R, opt);
    ErrParts e = split_stderr(r.err);
    ASSERT_FALSE(e.messages.empty());
    EXPECT_EQ(e.messages[0], setuid_warning());
    std::vector<std::string> msgs =
        worker_numbers_as_n(std::vector<std::string>(e.messages.begin() + 1, e.messages.end()));
    std::sort(msgs.begin(), msgs.end());
    EXPECT_EQ(msgs, (std::vector<std::string>{"Locked Dir: " + R + "/execonly: Permission denied",
                                              "Locked Dir: " + R + "/locked: Permission denied",
                                              "worker N: statx error: " + R + "/listonly/l: Permission denied",
                                              "worker N: statx error: " + R + "/listonly/y: Permission denied"}));
    EXPECT_EQ(msgs, m.messages);

    std::string rest;
    auto recs = split_records(r.out, &rest);
    EXPECT_EQ(rest, "");
    std::vector<std::string> sorted = recs;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(diff_sorted(sorted, m.records), "");
    EXPECT_EQ(e.files, (long long)recs.size());
    EXPECT_EQ(e.gigabytes, gigabytes(m.total_bytes));

    Row root = find_record(recs, R);
        EXPECT_EQ(root[COL_FCOUNT], "5");  // open, top, locked, execonly, listonly
    EXPECT_FALSE(has_record(recs, R + "/locked"));
    EXPECT_FALSE(has_record(recs, R + "/locked/secret"));
    Row lo = find_record(recs, R + "/listonly");
        EXPECT_EQ(lo[COL_FCOUNT], "0");
    EXPECT_EQ(lo[COL_DIRSUM], "0");
    EXPECT_FALSE(has_record(recs, R + "/listonly/l"));
}

TEST(Unprivileged, RootThatCannotBeOpenedOrStatted) {
    OpenTree t;
    const std::string &R = t.root;
    // Cannot be opened: nothing can be listed, so one line says why and the
    // status is the error's number (EACCES, 13), as when it cannot be statted.
    RunResult r = t.run({R + "/locked"});
    EXPECT_EQ(r.status, 13) << r.err;
    EXPECT_EQ(r.out, "");
    ErrParts e = split_stderr(r.err);
    EXPECT_EQ(e.messages, (std::vector<std::string>{setuid_warning(), "fsrake2: cannot read directory '" +
                                                                          R + "/locked': Permission denied"}));
    // Cannot be statted: the statx message, status EACCES (13).
    r = t.run({"--header", R + "/locked/below"});
    EXPECT_EQ(r.status, 13);
    EXPECT_EQ(r.err, std::string(setuid_warning()) + "\nfsrake2: statx '" + R +
                         "/locked/below': Permission denied\n");
    EXPECT_EQ(r.out.substr(0, 6), "inode,");
}

TEST(Unprivileged, ExcludeFileTheUserCannotRead) {
    OpenTree t;
    std::string ex = t.tmp / "private";
    write_file(ex, t.root + "/open\n");
    chmod(ex.c_str(), 0600);
    if (!running_as_root() && access(ex.c_str(), R_OK) == 0)
        GTEST_SKIP() << "the test user owns the file; it needs root to make one it cannot read";
    RunResult r = t.run({"--exclude", ex, t.root});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "fsrake2: could not open exclude file: " + ex + "\n");
}
