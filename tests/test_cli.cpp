// The command line: every row of the failure table, the usage
// and version texts byte for byte, value conversion and clamping, and the
// edge cases of parsing. The real binary, exact stdout, stderr and status.
#include <gtest/gtest.h>

#include "harness.h"
#include "walk_util.h"

using namespace fr2test;

namespace {

const std::string kHeader =
    "inode,parent-inode,directory-depth,\"filename\",\"fileExtension\",UID,GID,st_size,"
    "st_dev,st_blocks,st_nlink,\"st_mode\",st_atime,st_mtime,st_ctime,fr_fcount,fr_dirsum\n";

const std::string kUsage =
    "Usage: fsrake2 [options] <directory>\n"
    "Flags: --help --version\n"
    "       --depth n     Stop walking at depth n\n"
    "       --NoSnap      Ignore .snapshot directories\n"
    "       --exclude FILE File containing paths to exclude\n"
    "       --one-file-system / -x  Don't cross filesystem boundaries\n"
    "       --threads n   Worker threads (default 64, max 1024)\n"
    "       --ring-depth n io_uring ring size (default 2048)\n"
    "       --stat-mode m auto|ring|sync: statx per entry or io_uring, chosen by\n"
    "                     measured latency in auto (default auto)\n"
    "       --getdents-max n  Max concurrent getdents64 calls (default threads/4)\n"
    "       --max-rate n  List at most n entries per second (default 0: no cap)\n"
    "       --max-inflight n  At most n metadata requests in flight (default 0: no cap)\n"
    "       --no-adapt    Run every worker at once instead of fitting the load to latency\n"
    "       --load-trace FILE  Write the load window and latency over time to FILE\n"
    "       --header      Print CSV header\n"
    "       --output FILE Write the CSV to FILE; a name ending in .zst is zstd\n"
    "       --compress-level n  zstd level of a .zst FILE, -7 to 19 (default 1)\n"
    "       --checkpoint CK  Save the walk's state to CK now and then (needs --output)\n"
    "       --checkpoint-every s  Seconds between checkpoints (default 60)\n"
    "       --resume CK   Continue the walk saved in CK, with its directory and options\n"
    "\n"
    "Output: CSV with 17 columns, same format as fsrake.\n"
    "File Header:\n" +
    kHeader;

const std::string kVersion =
    "fsrake2 version 1.0.0 2025 io_uring rewrite\n"
    "io_uring STATX batching for high-performance metadata scanning\n";

// What standard error starts with once start-up has passed setuid(0).
std::string setuid_prefix() {
    return running_as_root() ? "" : std::string(setuid_warning()) + "\n";
}

// A small tree: root/a/b/c with a file at every level, so depth limits show.
struct SmallTree {
    TempDir tmp;
    std::string root = tmp / "r";
    SmallTree() {
        make_dirs(root + "/a/b/c");
        write_file(root + "/top.txt", "top");
        write_file(root + "/a/one.txt", "1");
        write_file(root + "/a/b/two.txt", "22");
        write_file(root + "/a/b/c/three.txt", "333");
        make_dir(root + "/x");
        freeze_atimes(root);
    }
};

void expect_fails(const std::vector<std::string> &args, const std::string &err, int status,
                  const std::string &out = "") {
    SCOPED_TRACE("fsrake2 " + ::testing::PrintToString(args));
    RunResult r = run_fsrake2(args, with_timeout(60));
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, out);
}

}  // namespace

TEST(Cli, NoArgumentsPrintsUsageOnStdoutWithStatus1) {
    RunResult r = run_fsrake2({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
}

TEST(Cli, HelpPrintsUsageByteForByteWithStatus0AndWalksNothing) {
    SmallTree t;
    for (auto args : std::vector<std::vector<std::string>>{
             {"--help"},
             {"--help", t.root},
             {"--depth", "3", "--help", t.root},
             {"--header", "--help", t.root},  // the header comes only after parsing
             {"--threads", "8", "--ring-depth", "16", "--help"},  // defaults in the text, not values
             {"--NoSnap", "-x", "--one-file-system", "--help", "--bogus"},
         }) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run_fsrake2(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, VersionOnStderrWithStatus0) {
    SmallTree t;
    for (auto args : std::vector<std::vector<std::string>>{
             {"--version"}, {"-v"}, {"-v", t.root}, {"--threads", "3", "--version", "--bogus"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        RunResult r = run_fsrake2(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kVersion);
    }
}

TEST(Cli, ProgramNameIsAConstantNotArgv0) {
    TempDir tmp;
    std::string other = tmp / "otherprog";
    make_symlink(FR2_BINARY, other);
    RunResult r = run_command({other});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    r = run_command({other, "--version"});
    EXPECT_EQ(r.err, kVersion);
    r = run_command({other, "--header"});
    EXPECT_EQ(r.err, "fsrake2: missing directory argument\n");
    r = run_command({other, tmp / "missing"});
    EXPECT_EQ(r.err, setuid_prefix() + "fsrake2: statx '" + tmp / "missing" +
                         "': No such file or directory\n");
}

TEST(Cli, UnknownOptions) {
    SmallTree t;
    // No abbreviation, no bundling, no "=" form, case-sensitive, a lone dash.
    for (std::string opt : {"-vx", "-h", "--threads=8", "-", "--nosnap", "--hel", "--help2",
                            "-X", "--", "--x", "-depth", "--Header"}) {
        expect_fails({opt, t.root}, "Unknown option: " + opt + "\n", 1);
    }
    // Options are applied left to right: a later --help does not save the run.
    expect_fails({"--bogus", "--help"}, "Unknown option: --bogus\n", 1);
    expect_fails({"--header", "--depth", "2", "-q", t.root}, "Unknown option: -q\n", 1);
}

TEST(Cli, ValueOptionsWithoutTheirArgument) {
    for (std::string opt :
         {"--depth", "--exclude", "--threads", "--ring-depth", "--stat-mode", "--getdents-max",
          "--output", "--compress-level", "--max-rate", "--max-inflight", "--load-trace",
          "--checkpoint", "--checkpoint-every", "--resume"})
        expect_fails({opt}, opt + " requires argument\n", 1);
    // Checkpoints: a file to cut back is needed, and an interval that makes sense.
    expect_fails({"--checkpoint", "ck", "."},
                 "fsrake2: --checkpoint needs --output FILE: standard output cannot be cut back "
                 "and continued on a resume\n",
                 1);
    expect_fails({"--checkpoint-every", "0", "."},
                 "--checkpoint-every must be a number of seconds from 0.01, not '0'\n", 1);
    expect_fails({"--header", "--NoSnap", "--threads"}, "--threads requires argument\n", 1);
    expect_fails({"--threads", "4", "--getdents-max"}, "--getdents-max requires argument\n", 1);
}

TEST(Cli, StatModeTakesOnlyItsThreeWords) {
    SmallTree t;
    for (std::string bad : {"", "Ring", "async", "auto ", "1"})
        expect_fails({"--stat-mode", bad, t.root},
                     "--stat-mode must be auto, ring or sync, not '" + bad + "'\n", 1);
}

// A level is a request for compression: refused, before any output is
// created, when it is no number in range or the output would not be zstd.
TEST(Cli, CompressLevelIsCheckedAndNeedsAZstdOutput) {
    SmallTree t;
    for (std::string bad : {"", "x", "3x", "20", "-8", "99999999999"})
        expect_fails({"--output", t.tmp / "o.zst", "--compress-level", bad, t.root},
                     "--compress-level must be from -7 to 19, not '" + bad + "'\n", 1);
    const std::string needs =
        "fsrake2: --compress-level needs --output FILE with a name ending in .zst\n";
    expect_fails({"--compress-level", "3", t.root}, needs, 1);
    expect_fails({"--compress-level", "3", "--output", t.tmp / "o.csv", t.root}, needs, 1);
    expect_fails({"--output", t.tmp / "o.zst.csv", "--compress-level", "3", t.root}, needs, 1);
    struct stat st;
    EXPECT_NE(stat((t.tmp / "o.csv").c_str(), &st), 0) << "a refused run created its output";
}

TEST(Cli, LoadOptionsTakeOnlyWholeNumbersInRange) {
    // Unlike the older numeric options, nothing is clamped or half read: a
    // rate cap that silently became another would be worse than none.
    SmallTree t;
    for (std::string opt : {"--max-rate", "--max-inflight"}) {
        std::string range = opt == "--max-rate" ? "0 to 1000000000" : "0 to 1000000";
        for (std::string bad : {"", "-1", "+5", " 5", "5 ", "1.5", "1e3", "abc", "0x10", "1000000001",
                                "99999999999999999999"})
            expect_fails({opt, bad, t.root},
                         opt + " must be a whole number from " + range + ", not '" + bad + "'\n", 1);
    }
    // A trace file that cannot be written stops the run before anything is listed.
    expect_fails({"--header", "--load-trace", t.root + "/no/such/dir/trace", t.root},
                 "fsrake2: could not open load trace file: " + t.root +
                     "/no/such/dir/trace: No such file or directory\n",
                 1);
}

TEST(Cli, MissingDirectoryArgument) {
    const std::string msg = "fsrake2: missing directory argument\n";
    for (auto args : std::vector<std::vector<std::string>>{{"--header"},
                                                            {"--threads", "8"},
                                                            {"-x"},
                                                            {"--NoSnap", "--one-file-system"},
                                                            {"--depth", "1", "--ring-depth", "99"},
                                                            // the value is consumed, whatever it looks like
                                                            {"--depth", "/tmp"}})
        expect_fails(args, msg, 1);
}

TEST(Cli, ExcludeFileThatCannotBeOpened) {
    TempDir tmp;
    std::string missing = tmp / "no-such-file";
    std::string msg = "fsrake2: could not open exclude file: " + missing + "\n";
    expect_fails({"--exclude", missing, tmp.path()}, msg, 1);
    // Read during parsing, so it ends the run before a later --help or --version.
    expect_fails({"--exclude", missing, "--help"}, msg, 1);
    expect_fails({"--exclude", missing, "--version"}, msg, 1);
    // And before the header is printed.
    expect_fails({"--header", "--exclude", missing, tmp.path()}, msg, 1);
    // A value beginning with a dash is a file name too.
    expect_fails({"--exclude", "-x", tmp.path()}, "fsrake2: could not open exclude file: -x\n", 1);
    // Even when the table is already full.
    std::string full;
    for (int i = 0; i < 600; i++) full += "/nowhere/" + std::to_string(i) + "\n";
    write_file(tmp / "full", full);
    expect_fails({"--exclude", tmp / "full", "--exclude", missing, tmp.path()}, msg, 1);
}

TEST(Cli, ExcludeFileThatCannotBeReadIsNoEmptyList) {
    // A directory opens but does not read: taking it as an empty list would
    // walk what the user asked to leave out, and call that success.
    TempDir tmp;
    expect_fails({"--exclude", tmp.path(), tmp.path()},
                 "fsrake2: could not read exclude file: " + tmp.path() + ": Is a directory\n", 1);
}

TEST(Cli, RootThatCannotBeStatted) {
    TempDir tmp;
    std::string missing = tmp / "missing";
    std::string enoent = setuid_prefix() + "fsrake2: statx '" + missing + "': No such file or directory\n";
    expect_fails({missing}, enoent, 2);
    // With --header the header line has already been written.
    expect_fails({"--header", missing}, enoent, 2, kHeader);
    // The status is errno: ENOTDIR is 20.
    write_file(tmp / "file");
    std::string below_file = tmp / "file/sub";
    expect_fails({below_file}, setuid_prefix() + "fsrake2: statx '" + below_file + "': Not a directory\n", 20);
    // An empty argument does not begin with a dash: it is the directory.
    expect_fails({""}, setuid_prefix() + "fsrake2: statx '': No such file or directory\n", 2);
}

TEST(Cli, ArgumentsAfterTheDirectoryAreIgnored) {
    SmallTree t;
    Model m = model_walk(t.root);
    for (auto extra : std::vector<std::vector<std::string>>{
             {"--threads", "8"}, {"--help"}, {"--bogus"}, {"--depth", "1"}, {"/nonexistent"},
             {"--exclude", "/nonexistent"}, {"--threads"}}) {
        std::vector<std::string> args{t.root};
        args.insert(args.end(), extra.begin(), extra.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        expect_walk(run_fsrake2(args, with_timeout(60)), m);
    }
}

TEST(Cli, ThreadsValueThenTheNextArgumentIsTheDirectory) {
    // "--threads 8 16 DIR": 16 is the directory, DIR is ignored.
    SmallTree t;
    make_dir(t.tmp / "16");
    write_file(t.tmp / "16/inside");
    freeze_atimes(t.tmp / "16");
    Model m = rebase_model(model_walk(t.tmp / "16"), t.tmp / "16", "16");
    auto recs = expect_walk(run_fsrake2_in(t.tmp.path(), {"--threads", "8", "16", t.root}), m);
    EXPECT_EQ(recs.size(), 2u);
    // And the same without such a directory: the statx of "16" fails.
    TempDir empty;
    RunResult r = run_fsrake2_in(empty.path(), {"--threads", "8", "16", t.root});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, setuid_prefix() + "fsrake2: statx '16': No such file or directory\n");
}

TEST(Cli, DepthConsumesHeaderAsItsValue) {
    // "--depth --header DIR": depth "--header" converts to 0 (no limit), no header.
    SmallTree t;
    Model m = model_walk(t.root);
    RunResult r = run_fsrake2({"--depth", "--header", t.root});
    expect_walk(r, m);
    EXPECT_NE(r.out.substr(0, 6), "inode,");
}

TEST(Cli, HeaderIsPrintedFirstAndOnce) {
    SmallTree t;
    Model m = model_walk(t.root);
    RunResult r = run_fsrake2({"--header", t.root});
    expect_walk(r, m, kHeader);
    EXPECT_EQ(r.out.find("inode,parent-inode", 1), std::string::npos);
    // Given twice, still once.
    expect_walk(run_fsrake2({"--header", "--header", t.root}), m, kHeader);
}

TEST(Cli, DepthValuesConvertLikeStrtolThenToInt32) {
    SmallTree t;
    Model unlimited = model_walk(t.root);
    Model depth1 = model_walk(t.root, depth_limit(1));
    Model depth2 = model_walk(t.root, depth_limit(2));
    ASSERT_NE(unlimited.records, depth1.records);
    struct Case {
        std::vector<std::string> args;
        const Model *m;
    } cases[] = {
        {{"--depth", "1"}, &depth1},
        {{"--depth", " 1"}, &depth1},         // leading blank
        {{"--depth", "+1"}, &depth1},         // sign
        {{"--depth", "1abc"}, &depth1},       // stops at the first non-digit
        {{"--depth", "4294967297"}, &depth1}, // low 32 bits: 1
        {{"--depth", "-4294967295"}, &depth1},// low 32 bits: 1
        {{"--depth", "2"}, &depth2},
        {{"--depth", "0"}, &unlimited},
        {{"--depth", "-1"}, &unlimited},      // negative: no limit
        {{"--depth", "abc"}, &unlimited},     // no digits: 0
        {{"--depth", "4294967296"}, &unlimited},  // low 32 bits: 0
        {{"--depth", "1", "--depth", "0"}, &unlimited},  // the later value wins
        {{"--depth", "0", "--depth", "1"}, &depth1},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(t.root);
        SCOPED_TRACE(::testing::PrintToString(args));
        expect_walk(run_fsrake2(args, with_timeout(60)), *c.m);
    }
}

TEST(Cli, OutOfRangeThreadsRingDepthAndGetdentsMaxAreClamped) {
    // The counts themselves are not visible; what is: every clamped value
    // still gives the complete walk and no other message. Unclamped, --threads
    // 0 would walk nothing, --ring-depth 0 or --getdents-max 0 would never end.
    SmallTree t;
    for (int i = 0; i < 50; i++) write_file(t.root + "/a/many" + std::to_string(i), "m");
    freeze_atimes(t.root);
    Model m = model_walk(t.root);
    for (auto args : std::vector<std::vector<std::string>>{
             {"--threads", "0"}, {"--threads", "-5"}, {"--threads", "abc"},
             {"--threads", "4294967296"}, {"--threads", "2000"}, {"--threads", "99999999"},
             {"--threads", "1"}, {"--threads", "1024"},
             {"--ring-depth", "0"}, {"--ring-depth", "1"}, {"--ring-depth", "-100"},
             {"--ring-depth", "100000"}, {"--ring-depth", "16"}, {"--ring-depth", "4096"},
             {"--getdents-max", "0"}, {"--getdents-max", "-3"}, {"--getdents-max", "1"},
             {"--getdents-max", "100000"},
             {"--threads", "0", "--getdents-max", "0", "--ring-depth", "0"},
             {"--getdents-max", "1", "--threads", "16"},
         }) {
        args.push_back(t.root);
        SCOPED_TRACE(::testing::PrintToString(args));
        expect_walk(run_fsrake2(args, with_timeout(60)), m);
    }
}

TEST(Cli, ShortAndLongFormsOfOneFileSystemAndNoSnapRun) {
    SmallTree t;
    Model m = model_walk(t.root);
    expect_walk(run_fsrake2({"-x", t.root}), m);
    expect_walk(run_fsrake2({"--one-file-system", "--NoSnap", t.root}), m);
}
