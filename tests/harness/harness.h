// Test harness: temporary trees, the real binary run as a subprocess, an
// independent lstat listing of a tree, and a CSV reader for the output.
#pragma once

#include <stddef.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

namespace fr2test {

struct RunOptions {
    std::vector<std::string> prefix;  // run under this command (setpriv, a seccomp wrapper)
    std::string stdout_path;          // send standard output to this file instead of capturing it
    std::string stdin_data;
    int timeout_sec = 600;            // the child is killed (SIGKILL) after this
};

struct RunResult {
    int status = -1;       // exit status, or -1 when ended by a signal
    int term_signal = 0;   // the signal that ended it, else 0
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs argv (argv[0] found on PATH or given as a path) and collects its output.
RunResult run_command(const std::vector<std::string> &argv, const RunOptions &opt = {});
// Runs the fsrake2 binary of this build with the given arguments, after
// "--stat-mode $FR2_TEST_STAT_MODE" when that is set.
RunResult run_fsrake2(const std::vector<std::string> &args, const RunOptions &opt = {});
// Runs a shell command line; returns its exit status (stdout and stderr into *out).
int sh(const std::string &cmd, std::string *out = nullptr);
std::string shell_quote(const std::string &s);

// A temporary folder, removed with everything under it when the object dies.
class TempDir {
  public:
    explicit TempDir(const std::string &base = "/tmp");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content = "");
void make_dir(const std::string &path, mode_t mode = 0755);
void make_dirs(const std::string &path);  // like mkdir -p
void make_symlink(const std::string &target, const std::string &path);
std::string read_file(const std::string &path);

// One CSV record; fields unquoted (doubled quotes made single again).
using Row = std::vector<std::string>;

// The columns of a record of the scanner, in the order of its header line:
// row[COL_PATH] rather than row[3].
enum Column : size_t {
    COL_INODE = 0,     // inode
    COL_PARENT_INODE,  // parent-inode: 0 for the root
    COL_DEPTH,         // directory-depth: -1 for the root
    COL_PATH,          // "filename": the full path as the tool composes it
    COL_EXTENSION,     // "fileExtension"
    COL_UID,
    COL_GID,
    COL_SIZE,          // st_size
    COL_DEV,           // st_dev
    COL_BLOCKS,        // st_blocks
    COL_NLINK,         // st_nlink
    COL_MODE,          // "st_mode": seven octal digits
    COL_ATIME,
    COL_MTIME,
    COL_CTIME,
    COL_FCOUNT,        // fr_fcount: a directory's entries, -1 for anything else
    COL_DIRSUM,        // fr_dirsum: the sum of a directory's entries' sizes
    COL_COUNT          // the number of fields of a whole record
};
// Parses a whole CSV text with quoted fields that may hold commas, line feeds
// and doubled quotes. Sets *ok false (and stops) on a malformed record.
std::vector<Row> parse_csv(const std::string &text, bool *ok = nullptr);
std::vector<std::string> split_lines(const std::string &text);  // on '\n', no empty last

// The lstat of every entry below root (root included), keyed by path as the
// tool composes it: root, "/", name, and so on. Symbolic links are not followed.
std::map<std::string, struct stat> lstat_tree(const std::string &root);

// Is the real world able to do this here? Used to skip with a clear reason.
bool have_command(const std::string &name);
bool running_as_root();

}  // namespace fr2test
