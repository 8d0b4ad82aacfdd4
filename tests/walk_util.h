// Helpers of the end-to-end tests: building trees (also beyond PATH_MAX),
// an independent model of what the scanner must print for a tree, and the
// checks of a finished run (records, messages, final summary).
//
// The model walks the tree itself with openat/fstatat, so it also reaches
// paths longer than 4095 bytes, and it computes every expected CSV record
// from the lstat data: exact bytes, compared as sorted lists with the output.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace fr2test {

// Where the big trees go: tmpfs when the machine has it (creating and
// removing 200,000 files there takes a second, on a disk mounted with
// discard tens of seconds, and slows the tests that run beside it), else /tmp.
inline std::string big_tree_base() {
    struct stat st;
    bool shm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK | X_OK) == 0;
    return shm ? "/dev/shm" : "/tmp";
}

// ---- building trees ------------------------------------------------------

[[noreturn]] inline void die(const std::string &what) {
    fprintf(stderr, "fixture: %s: %s\n", what.c_str(), strerror(errno));
    abort();
}

inline int open_dir_fd(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) die("open " + path);
    return fd;
}

// A file of `size` bytes (sparse, made by ftruncate), relative to dirfd.
inline void make_file_at(int dirfd, const std::string &name, off_t size = 0, mode_t mode = 0644) {
    int fd = openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) die("create " + name);
    if (size > 0 && ftruncate(fd, size) != 0) die("ftruncate " + name);
    close(fd);
}

inline void make_dir_at(int dirfd, const std::string &name, mode_t mode = 0755) {
    if (mkdirat(dirfd, name.c_str(), mode) != 0) die("mkdir " + name);
}

inline void make_sized_file(const std::string &path, off_t size, mode_t mode = 0644) {
    make_file_at(AT_FDCWD, path, size, mode);
}

// `count` files named prefix0, prefix1, ... of sizes 0, 1, 2, ... mod 4096.
inline void make_many_files(const std::string &dir, int count, const std::string &prefix = "f") {
    int dfd = open_dir_fd(dir);
    for (int i = 0; i < count; i++) make_file_at(dfd, prefix + std::to_string(i), i % 4096);
    close(dfd);
}

// Times of one entry, not following a symbolic link.
// A tree that takes a walker through many statx passes: `root`/big with
// `big_files` files, directories d0..d<subdirs - 1> holding step * d files
// each, an empty directory and a nested leaf, and links to a directory and to
// nothing.
inline void make_pass_tree(const std::string &root, int big_files, int subdirs, int step) {
    make_dir(root);
    make_dir(root + "/big");
    make_many_files(root + "/big", big_files);
    for (int d = 0; d < subdirs; d++) {
        std::string sub = root + "/d" + std::to_string(d);
        make_dir(sub);
        make_many_files(sub, step * d);
        make_dir(sub + "/empty");
        make_dir(sub + "/deeper");
        make_dir(sub + "/deeper/deepest");
        write_file(sub + "/deeper/deepest/leaf.txt", "leaf");
    }
    make_symlink("big", root + "/link-to-dir");
    make_symlink("nowhere", root + "/dangling");
}

inline void set_times(const std::string &path, time_t atime, time_t mtime) {
    struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0) die("utimensat " + path);
}

// Reading a directory (and following a symbolic link) may move its access
// time under relatime, after the scanner took its metadata: the record would
// then differ from a later lstat. An access time in the future never moves
// under relatime, so the tests give every directory and link one before the
// run. Files keep their times (the scanner never opens them).
inline void freeze_atimes_at(int dfd) {
    DIR *d = fdopendir(dfd);
    if (!d) die("fdopendir");
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec ts[2] = {{now.tv_sec + 3 * 86400, 0}, {0, UTIME_OMIT}};
    std::vector<std::string> subdirs;
    while (struct dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        struct stat st;
        if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) subdirs.push_back(e->d_name);
        if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))
            utimensat(dfd, e->d_name, ts, AT_SYMLINK_NOFOLLOW);
    }
    for (auto &s : subdirs) {
        int c = openat(dfd, s.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (c >= 0) freeze_atimes_at(c);
    }
    closedir(d);
}

inline void freeze_atimes(const std::string &root) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec ts[2] = {{now.tv_sec + 3 * 86400, 0}, {0, UTIME_OMIT}};
    utimensat(AT_FDCWD, root.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // follows a root link
    if (fd >= 0) freeze_atimes_at(fd);
}

// ---- the expected records -------------------------------------------------

inline std::string csv_quote_double(const std::string &s) {
    std::string q;
    for (char c : s) {
        if (c == '"') q += "\"\"";
        else q += c;
    }
    return q;
}

// The extension rule, written plainly: after the last dot, a leading dot not counting.
inline std::optional<std::string> name_extension(const std::string &name) {
    size_t start = (!name.empty() && name[0] == '.') ? 1 : 0;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < start) return std::nullopt;
    return name.substr(dot + 1);
}

inline std::string last_component(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One record exactly as the scanner must write it, line feed included.
inline std::string expected_record(const struct stat &st, const std::string &path,
                                   const std::optional<std::string> &ext, unsigned long long parent,
                                   int depth_field, long long fcount, long long dirsum) {
    char mode[16];
    snprintf(mode, sizeof mode, "%07o", unsigned(st.st_mode & 0xffff));
    std::string r;
    r += std::to_string((unsigned long long)st.st_ino) + ",";
    r += std::to_string(parent) + ",";
    r += std::to_string(depth_field) + ",";
    r += "\"" + csv_quote_double(path) + "\",";
    r += "\"" + csv_quote_double(ext.value_or("")) + "\",";
    r += std::to_string(st.st_uid) + "," + std::to_string(st.st_gid) + ",";
    r += std::to_string((long long)st.st_size) + ",";
    r += std::to_string((unsigned long long)st.st_dev) + ",";
    r += std::to_string((unsigned long long)st.st_blocks) + ",";
    r += std::to_string((unsigned long long)st.st_nlink) + ",";
    r += std::string("\"") + mode + "\",";
    r += std::to_string((long long)st.st_atim.tv_sec) + ",";
    r += std::to_string((long long)st.st_mtim.tv_sec) + ",";
    r += std::to_string((long long)st.st_ctim.tv_sec) + ",";
    r += std::to_string(fcount) + "," + std::to_string(dirsum) + "\n";
    return r;
}

struct ModelOptions {
    int max_depth = 0;                 // 0 or negative: no limit
    bool no_snap = false;
    bool one_file_system = false;
    std::set<std::string> excludes;    // exact paths of subdirectories not queued
    std::set<std::string> unopenable;  // directories the scanner's user cannot open: "Locked Dir"
    std::set<std::string> unsearchable;  // opened, but no entry can be statted: one message each
};

inline ModelOptions depth_limit(int n) {
    ModelOptions o;
    o.max_depth = n;
    return o;
}
inline ModelOptions no_snapshots() {
    ModelOptions o;
    o.no_snap = true;
    return o;
}
inline ModelOptions one_file_system() {
    ModelOptions o;
    o.one_file_system = true;
    return o;
}
inline ModelOptions excluding(std::set<std::string> paths) {
    ModelOptions o;
    o.excludes = std::move(paths);
    return o;
}

inline RunOptions with_timeout(int seconds) {
    RunOptions o;
    o.timeout_sec = seconds;
    return o;
}

struct Model {
    std::vector<std::string> records;  // sorted
    // sorted: "Locked Dir: PATH: REASON" and "worker N: statx error: PATH: REASON"
    // lines (the worker's number written as N)
    std::vector<std::string> messages;
    long long total_bytes = 0;         // sum of the sizes of all records
};

namespace detail {
struct ModelWalk {
    const ModelOptions &opt;
    Model &m;
    dev_t root_dev;

    void dir(int dfd, const std::string &path, const struct stat &self,
             unsigned long long parent_ino, int depth, int open_errno = 0) {
        if (opt.unopenable.count(path) || dfd < 0) {
            m.messages.push_back("Locked Dir: " + path + ": " +
                                 strerror(dfd < 0 ? open_errno : EACCES));
            if (dfd >= 0) close(dfd);
            return;
        }
        DIR *d = fdopendir(dfd);
        if (!d) die("fdopendir " + path);
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
        long long fcount = 0, dirsum = 0;
        bool searchable = !opt.unsearchable.count(path);
        for (auto &name : names) {
            struct stat st;
            if (!searchable) {
                m.messages.push_back("worker N: statx error: " + path + "/" + name + ": " +
                                     strerror(EACCES));
                continue;
            }
            if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (opt.one_file_system && st.st_dev != root_dev) continue;
            fcount++;
            dirsum += st.st_size;
            std::string child = path + "/" + name;
            if (!S_ISDIR(st.st_mode)) {
                m.records.push_back(expected_record(st, child, name_extension(name), self.st_ino,
                                                    depth, -1, 0));
                m.total_bytes += st.st_size;
                continue;
            }
            if (opt.no_snap && name == ".snapshot") continue;
            if (opt.max_depth != 0 && depth == opt.max_depth) continue;
            if (child.size() > 4095) continue;
            if (opt.excludes.count(child)) continue;
            int c = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            this->dir(c, child, st, self.st_ino, depth + 1, errno);
        }
        closedir(d);
        m.records.push_back(expected_record(self, path, name_extension(last_component(path)),
                                            parent_ino, depth - 1, fcount, dirsum));
        m.total_bytes += self.st_size;
    }
};
}  // namespace detail

// What `fsrake2 [options] root_arg` must print, for the tree as
// it is now. root_arg is taken as the scanner takes it: statted without
// following a link, one trailing slash removed, opened following links.
inline Model model_walk(const std::string &root_arg, const ModelOptions &opt = {}) {
    Model m;
    struct stat rst;
    if (lstat(root_arg.c_str(), &rst) != 0) die("lstat " + root_arg);
    std::string path = root_arg;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    // -x keeps to the file system of the directory walked, which for a root
    // given as a symbolic link is the link's target.
    struct stat walked;
    dev_t root_dev = stat(root_arg.c_str(), &walked) == 0 ? walked.st_dev : rst.st_dev;
    detail::ModelWalk w{opt, m, root_dev};
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    w.dir(fd, path, rst, 0, 0, errno);
    std::sort(m.records.begin(), m.records.end());
    std::sort(m.messages.begin(), m.messages.end());
    return m;
}

// The model of a root given as another text for the same directory (a
// relative path, say): every path that begins with `from` begins with `to`.
inline Model rebase_model(Model m, const std::string &from, const std::string &to) {
    for (auto &rec : m.records) {
        size_t q = rec.find('"');  // the path is the first quoted field
        if (q == std::string::npos || rec.compare(q + 1, from.size(), from) != 0) continue;
        if (rec.compare(q + 1 + from.size(), 3, "\",\"") == 0) {
            // The root's own record: its extension follows the new text.
            size_t ext_start = q + 1 + from.size() + 3;
            size_t ext_end = rec.find("\",", ext_start);  // root names hold no quotes here
            rec.replace(ext_start, ext_end - ext_start,
                        csv_quote_double(name_extension(last_component(to)).value_or("")));
        }
        rec.replace(q + 1, from.size(), to);
    }
    for (auto &msg : m.messages) {
        for (const std::string lead : {"Locked Dir: ", "worker N: statx error: "})
            if (msg.compare(0, lead.size() + from.size(), lead + from) == 0)
                msg.replace(lead.size(), from.size(), to);
    }
    std::sort(m.records.begin(), m.records.end());
    std::sort(m.messages.begin(), m.messages.end());
    return m;
}

// ---- reading the output ---------------------------------------------------

// Splits standard output into records (each with its line feed), keeping
// line feeds inside quoted fields. Text after the last record's line feed is
// returned in *rest.
inline std::vector<std::string> split_records(const std::string &out, std::string *rest = nullptr) {
    std::vector<std::string> recs;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < out.size(); i++) {
        if (out[i] == '"') quoted = !quoted;
        else if (out[i] == '\n' && !quoted) {
            recs.push_back(out.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    if (rest) *rest = out.substr(start);
    return recs;
}

// The 17 fields of one record, unquoted; empty when it is not one whole record.
inline Row record_fields(const std::string &rec) {
    bool ok = false;
    auto rows = parse_csv(rec, &ok);
    if (!ok || rows.size() != 1) return {};
    return rows[0];
}

// Standard error of a finished walk: progress lines (which may come at any
// time) and ring set-up fallbacks set apart, the final summary parsed, everything else kept in order.
struct ErrParts {
    std::vector<std::string> messages;
    int ring_fallbacks = 0;  // "worker N: io_uring_setup failed (...), using sync fallback"
    int summaries = 0;
    bool summary_last = false;
    long long files = -1;
    std::string gigabytes;
};

inline ErrParts split_stderr(const std::string &err) {
    static const std::regex progress(R"(fsrake2: \d+ files, \d+\.\d\d GB, \d+ sec, \d+ files/sec)");
    static const std::regex summary(R"(fsrake2 done: (\d+) files, (\d+\.\d\d) GB, (\d+) sec, (\d+) files/sec)");
    // A worker whose ring cannot be set up says so and stats synchronously,
    // with the same output; without CAP_IPC_LOCK the locked-memory
    // limit ends ring set-up after a few dozen rings of the default depth.
    static const std::regex fallback(R"(worker \d+: io_uring_setup failed \(.*\), using sync fallback)");
    ErrParts p;
    for (auto &line : split_lines(err)) {
        std::smatch mm;
        if (std::regex_match(line, progress)) continue;
        if (std::regex_match(line, fallback)) {
            p.ring_fallbacks++;
            continue;
        }
        if (std::regex_match(line, mm, summary)) {
            p.summaries++;
            p.files = std::stoll(mm[1]);
            p.gigabytes = mm[2];
            p.summary_last = true;
            continue;
        }
        p.messages.push_back(line);
        p.summary_last = false;
    }
    return p;
}

// Messages with "worker 12: " at the front written "worker N: ", to compare
// with the model's.
inline std::vector<std::string> worker_numbers_as_n(std::vector<std::string> msgs) {
    static const std::regex worker(R"(^worker \d+: )");
    for (auto &msg : msgs) msg = std::regex_replace(msg, worker, "worker N: ");
    return msgs;
}

inline std::string gigabytes(long long bytes) {
    char b[64];
    snprintf(b, sizeof b, "%.2f", double(bytes) * (1.0 / 1073741824.0));
    return b;
}

inline const char *setuid_warning() {
    return "unable to setuid root; not all files may be processed";
}

// What differs between two sorted lists, for a readable failure (at most a few of each).
inline std::string diff_sorted(const std::vector<std::string> &actual,
                               const std::vector<std::string> &expected, size_t show = 8) {
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    if (missing.empty() && extra.empty()) return "";
    std::string s = std::to_string(actual.size()) + " records, " +
                    std::to_string(expected.size()) + " expected; " +
                    std::to_string(missing.size()) + " missing, " + std::to_string(extra.size()) +
                    " unexpected\n";
    for (size_t i = 0; i < missing.size() && i < show; i++) s += "  missing:    " + missing[i];
    for (size_t i = 0; i < extra.size() && i < show; i++) s += "  unexpected: " + extra[i];
    return s;
}

// Checks a finished walk against the model: status 0; standard output is the
// header (when given) and then exactly the model's records, each whole with
// 17 fields; standard error holds the model's messages (and the setuid
// warning, first, when not root) and one final summary, last, whose counts
// are the records and their sizes. Returns the records as printed.
inline std::vector<std::string> expect_walk(const RunResult &r, const Model &m,
                                            const std::string &header = "") {
    EXPECT_FALSE(r.timed_out) << "the walk did not end";
    EXPECT_EQ(r.term_signal, 0) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    std::string out = r.out;
    if (!header.empty()) {
        EXPECT_EQ(out.substr(0, header.size()), header);
        out = out.substr(std::min(out.size(), header.size()));
    }
    std::string rest;
    auto recs = split_records(out, &rest);
    EXPECT_EQ(rest, "") << "standard output ends inside a record";
    size_t broken = 0;
    for (auto &rec : recs)
        if (record_fields(rec).size() != COL_COUNT) {
            if (broken++ < 5) ADD_FAILURE() << "not a whole 17-field record: " << rec;
        }
    EXPECT_EQ(broken, 0u);
    std::vector<std::string> sorted = recs;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(diff_sorted(sorted, m.records), "");

    ErrParts e = split_stderr(r.err);
    std::vector<std::string> msgs = worker_numbers_as_n(e.messages);
    if (!running_as_root()) {
        bool warned = !msgs.empty() && msgs[0] == setuid_warning();
        EXPECT_TRUE(warned) << "no setuid warning first:\n" << r.err;
        if (warned) msgs.erase(msgs.begin());
    }
    std::sort(msgs.begin(), msgs.end());
    EXPECT_EQ(msgs, m.messages) << "standard error:\n" << r.err;
    EXPECT_EQ(e.summaries, 1) << r.err;
    EXPECT_TRUE(e.summary_last) << "the summary is not the last message:\n" << r.err;
    EXPECT_EQ(e.files, (long long)recs.size()) << r.err;
    EXPECT_EQ(e.gigabytes, gigabytes(m.total_bytes)) << r.err;
    return recs;
}

inline bool has_record(const std::vector<std::string> &recs, const std::string &path) {
    for (auto &rec : recs) {
        Row f = record_fields(rec);
        if (f.size() == COL_COUNT && f[COL_PATH] == path) return true;
    }
    return false;
}

// The fields (unquoted) of the record of one path; when there is none, 17
// fields that say so, so that a test can index it and fail readably.
inline Row find_record(const std::vector<std::string> &recs, const std::string &path) {
    for (auto &rec : recs) {
        Row f = record_fields(rec);
        if (f.size() == COL_COUNT && f[COL_PATH] == path) return f;
    }
    ADD_FAILURE() << "no record for " << path;
    return Row(COL_COUNT, "<no record>");
}

inline std::string find_raw_record(const std::vector<std::string> &recs, const std::string &path) {
    for (auto &rec : recs) {
        Row f = record_fields(rec);
        if (f.size() == COL_COUNT && f[COL_PATH] == path) return rec;
    }
    return "";
}

// Runs the binary with `dir` as its working directory.
inline RunResult run_fsrake2_in(const std::string &dir, const std::vector<std::string> &args,
                                RunOptions opt = {}) {
    std::vector<std::string> argv{"env", "-C", dir, FR2_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, opt);
}

// The prefix that runs a command as the unprivileged user 65534; empty when
// the tests already run without root.
inline std::vector<std::string> unprivileged_prefix() {
    if (!running_as_root()) return {};
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

}  // namespace fr2test
