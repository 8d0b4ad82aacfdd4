// The output as a file: --output FILE plain and .zst (read back with the zstd
// tool) holds exactly what standard output would; a full disk ends the run
// with one line and status 1; a .zst file cut at a committed length and
// continued is still one stream that holds each line once.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "fr2_output.h"
#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

const std::string kHeader =
    "inode,parent-inode,directory-depth,\"filename\",\"fileExtension\",UID,GID,st_size,"
    "st_dev,st_blocks,st_nlink,\"st_mode\",st_atime,st_mtime,st_ctime,fr_fcount,fr_dirsum\n";

// About 20,000 lines, 2.5 MB: every worker fills and writes several buffers.
class OutputFile : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir(big_tree_base());
        for (int d = 0; d < 40; d++) {
            std::string dir = tree_->path() + "/dir" + std::to_string(d);
            make_dir(dir);
            for (int f = 0; f < 500; f++)
                write_file(dir + "/a-rather-long-file-name-to-fill-the-output-" +
                           std::to_string(f) + ".dat");
        }
        freeze_atimes(tree_->path());
        model_ = new Model(model_walk(tree_->path()));
    }
    static void TearDownTestSuite() {
        delete tree_;
        delete model_;
    }
    static TempDir *tree_;
    static Model *model_;
};
TempDir *OutputFile::tree_;
Model *OutputFile::model_;

std::string zstd_decompress(const std::string &path) {
    RunResult z = run_command({"zstd", "-dc", "--", path}, with_timeout(60));
    EXPECT_EQ(z.status, 0) << "zstd -dc " << path << ": " << z.err;
    return z.out;
}

// Both kinds of file hold the header and then exactly the lines of the tree,
// nothing is left on standard output, and a longer file that was there
// before is replaced, not overwritten in place.
TEST_F(OutputFile, PlainAndZstdHoldWhatStandardOutputWould) {
    if (!have_command("zstd")) GTEST_SKIP() << "no zstd tool to read the file back";
    TempDir out;
    for (std::string name : {"scan.csv", "scan.csv.zst"}) {
        SCOPED_TRACE(name);
        std::string path = out / name;
        write_file(path, std::string(5 << 20, 'x'));  // longer than the scan
        RunResult r = run_fsrake2({"--header", "--threads", "8", "--output", path, tree_->path()},
                                  with_timeout(120));
        std::string text = read_file(path);
        bool zst = name.size() > 4 && name.substr(name.size() - 4) == ".zst";
        if (zst) {
            EXPECT_LT(text.size() * 5, size_t(2 << 20)) << "hardly compressed";
            text = zstd_decompress(path);
        }
        EXPECT_EQ(r.out, "") << "lines on standard output";
        r.out = text;
        expect_walk(r, *model_, kHeader);
    }
}

// A small tmpfs fills under the walk: one line names the file and the reason,
// status 1, for plain and compressed output alike.
TEST_F(OutputFile, FullDiskEndsWithOneLineAndStatusOne) {
    if (!running_as_root()) GTEST_SKIP() << "mounting a tmpfs needs root";
    TempDir mnt;
    if (sh("mount -t tmpfs -o size=8k fr2test " + shell_quote(mnt.path())) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    for (std::string name : {"scan.csv", "scan.csv.zst"}) {
        SCOPED_TRACE(name);
        std::string path = mnt / name;
        RunResult r =
            run_fsrake2({"--threads", "8", "--output", path, tree_->path()}, with_timeout(120));
        EXPECT_EQ(r.status, 1) << r.err;
        std::string want = "fsrake2: error writing " + path + ": No space left on device";
        auto lines = split_lines(r.err);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), want), 1) << r.err;
        EXPECT_EQ(r.err.find("fsrake2 done:"), std::string::npos) << "a summary after the failure";
        unlink(path.c_str());
    }
    umount(mnt.path().c_str());
}

TEST_F(OutputFile, AnOutputThatCannotBeCreatedEndsTheRunBeforeTheWalk) {
    TempDir out;
    std::string path = out / "missing/scan.csv";
    RunResult r = run_fsrake2({"--output", path, tree_->path()}, with_timeout(60));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("fsrake2: cannot open output '" + path + "': No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("fsrake2 done:"), std::string::npos) << r.err;
}

// ---- the interface a resumed run uses, in process ----------------------------

struct statx line_stx(uint64_t ino) {
    struct statx s;
    memset(&s, 0, sizeof s);
    s.stx_ino = ino;
    s.stx_mode = S_IFREG | 0644;
    s.stx_nlink = 1;
    return s;
}

// Lines first..last-1 into the buffer, each with its number as inode, flushed
// to the output at the end.
std::string put_lines(fr2_outbuf *b, int first, int last) {
    std::string want;
    char line[FR2_LINE_MAX];
    for (int i = first; i < last; i++) {
        struct statx s = line_stx(uint64_t(i));
        std::string path = "/scan/some-directory/file-" + std::to_string(i) + ".dat";
        fr2_format_file(b, path.c_str(), "dat", &s, 7, 1);
        int n = fr2_format_line(line, path.c_str(), "dat", &s, 7, 1, -1, 0);
        want.append(line, size_t(n));
    }
    fr2_flush_output(b);
    return want;
}

// Lines committed, then more lines that a crash leaves behind uncommitted:
// the file continued at the committed length holds the committed lines and
// the new ones, each once, as one stream; refusals leave the file untouched.
TEST(OutputResume, CutAtTheCommittedLengthAndContinued) {
    if (!have_command("zstd")) GTEST_SKIP() << "no zstd tool to read the file back";
    TempDir tmp;
    fr2_outbuf *b = static_cast<fr2_outbuf *>(calloc(1, sizeof(fr2_outbuf)));
    for (std::string name : {"scan.csv", "scan.csv.zst"}) {
        SCOPED_TRACE(name);
        std::string path = tmp / name;
        ASSERT_EQ(fr2_output_open(path.c_str(), 1, -1), 0);
        std::string committed_text = put_lines(b, 0, 3000);  // several buffers, several frames
        int64_t committed = -1;
        ASSERT_EQ(fr2_output_commit(&committed), 0);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(committed, int64_t(st.st_size));
        put_lines(b, 3000, 4000);  // written, never committed
        ASSERT_EQ(fr2_output_finish(), 0);

        // Continued at a length the file does not have: refused, untouched.
        std::string before = read_file(path);
        ASSERT_GT(int64_t(before.size()), committed);
        EXPECT_EQ(fr2_output_open(path.c_str(), 1, int64_t(before.size()) + 1), -1);
        EXPECT_EQ(fr2_output_open((tmp / "none.zst").c_str(), 1, 0), -1);
        EXPECT_EQ(read_file(path), before);

        ASSERT_EQ(fr2_output_open(path.c_str(), 1, committed), 0);
        std::string resumed_text = put_lines(b, 5000, 6000);
        ASSERT_EQ(fr2_output_finish(), 0);
        std::string got = name == "scan.csv" ? read_file(path) : zstd_decompress(path);
        EXPECT_TRUE(got == committed_text + resumed_text)
            << got.size() << " bytes, not the " << committed_text.size() + resumed_text.size()
            << " of the committed and the resumed lines";
    }
    fr2_outbuf_release(b);
    free(b);
    fr2_output_open(nullptr, 0, -1);
}

}  // namespace
