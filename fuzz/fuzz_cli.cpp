// The command line, run for real: each input is an argument vector (split at
// NUL bytes) given to fr2_main in this process. The directory, when there is
// one, must lie in a small fixed tree made at start: the input is skipped when
// it names anything outside (an absolute path or ".."), so a walk stays small.
// fr2_main returns the exit status of every command-line outcome (help,
// version, errors) instead of exiting, so it runs again and again here.
//
// Every outcome is compared with an independent model of the command line:
// exit status, standard output (usage text, header, the set of records) and
// standard error (each message, in any order, plus progress and summary lines).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <vector>

#include <zstd.h>

#include "fr2_config.h"
#include "fr2_run.h"
#include "fuzz_ref.h"

// ---- the sandbox tree ----------------------------------------------------------

static std::string g_sandbox;
static int g_sbfd = -1;

static void put_file(const std::string &rel, const std::string &content) {
    int fd = openat(g_sbfd, rel.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size())) abort();
    close(fd);
}

static void put_dir(const std::string &rel) {
    if (mkdirat(g_sbfd, rel.c_str(), 0755) != 0 && errno != EEXIST) abort();
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

static void remove_sandbox() { nftw(g_sandbox.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : P_tmpdir) + "/fr2-fuzz-cli.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) abort();
    g_sandbox = buf.data();
    g_sbfd = open(g_sandbox.c_str(), O_RDONLY | O_DIRECTORY);
    atexit(remove_sandbox);
    put_dir("t");
    put_file("t/f1", "abc");
    put_file("t/two.dots.x", "");
    put_dir("t/.snapshot");
    put_file("t/.snapshot/s", "12345");
    put_dir("t/d");
    put_file("t/d/g.txt", "hello");
    put_file("t/d/.snapshot", "");  // a file of that name is always listed
    put_dir("t/d/e");
    put_file("t/d/e/h", "");
    put_dir("t/d/e/empty");
    put_file("ex_d", "t/d\n");
    put_file("ex_more", "t/d/e\n\nt/.snapshot\nt/d/\n");
    put_file("ex_crlf", "t/d\r\n");
    // The walks run in the sandbox, named by relative paths.
    if (chdir(g_sandbox.c_str()) != 0) abort();
    return 0;
}

// ---- the model -------------------------------------------------------------------

// strtol in base 10, then the low 32 bits.
static int32_t model_number(const std::string &s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) i++;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    __int128 v = 0;
    bool any = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++) {
        any = true;
        v = v * 10 + (s[i] - '0');
        if (v > (__int128)1 << 64) v = (__int128)1 << 64;  // saturated below
    }
    if (!any) return 0;
    if (neg) v = -v;
    if (v > LONG_MAX) v = LONG_MAX;
    if (v < LONG_MIN) v = LONG_MIN;
    return int32_t(uint32_t(uint64_t(int64_t(v))));
}

static bool outside_sandbox(const std::string &p) {
    if (!p.empty() && p[0] == '/') return true;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        if (p.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

struct Record {
    std::string path;
    long long depth, fcount, dirsum, size;
    unsigned long long ino, parent;
    std::string mode;
    bool operator<(const Record &o) const { return path < o.path; }
    bool operator==(const Record &o) const {
        return path == o.path && depth == o.depth && fcount == o.fcount && dirsum == o.dirsum &&
               size == o.size && ino == o.ino && parent == o.parent && mode == o.mode;
    }
};

struct Expect {
    std::string output;  // the --output file, when not standard output
    int status = 0;
    std::string out;                    // exact, when not a walk
    std::vector<std::string> messages;  // lines of standard error, any order
    bool walk = false;
    bool header = false;
    std::vector<Record> records;
};

struct WalkRules {
    int32_t max_depth = 0;
    bool no_snap = false;
    std::set<std::string> excludes;
};

static std::string mode_text(mode_t m) {
    char b[16];
    snprintf(b, sizeof b, "%07o", unsigned(m & 0xffff));
    return b;
}

static void model_dir(const WalkRules &rules, const std::string &path, const std::string &rel,
                      const struct stat &self, unsigned long long parent, int depth, Expect &e) {
    int fd = openat(g_sbfd, rel.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        int err = errno;
        if (depth == 0) {  // nothing can be listed: one line, the error's number as status
            e.messages.push_back("fsrake2: cannot read directory '" + path + "': " + strerror(err));
            e.status = err;
            e.walk = false;  // no summary either
            e.out = e.header ? std::string(FR2_CSV_HEADER) + "\n" : "";
        } else {
            e.messages.push_back("Locked Dir: " + path + ": " + strerror(err));
        }
        return;
    }
    DIR *d = fdopendir(fd);
    long long fcount = 0, dirsum = 0;
    std::vector<std::pair<std::string, struct stat>> subdirs;
    while (struct dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        fcount++;
        dirsum += st.st_size;
        std::string child = path + "/" + name;
        if (!S_ISDIR(st.st_mode)) {
            e.records.push_back({child, depth, -1, 0, (long long)st.st_size,
                                 (unsigned long long)st.st_ino, (unsigned long long)self.st_ino,
                                 mode_text(st.st_mode)});
            continue;
        }
        if (rules.no_snap && name == ".snapshot") continue;
        if (rules.max_depth != 0 && depth == rules.max_depth) continue;
        if (rules.excludes.count(child)) continue;
        subdirs.push_back({name, st});
    }
    closedir(d);
    for (auto &[name, st] : subdirs)
        model_dir(rules, path + "/" + name, rel + "/" + name, st, self.st_ino, depth + 1, e);
    e.records.push_back({path, depth - 1, fcount, dirsum, (long long)self.st_size,
                         (unsigned long long)self.st_ino, parent, mode_text(self.st_mode)});
}

static const char *USAGE =
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
    "File Header:\n"
    "inode,parent-inode,directory-depth,\"filename\",\"fileExtension\",UID,GID,st_size,st_dev,"
    "st_blocks,st_nlink,\"st_mode\",st_atime,st_mtime,st_ctime,fr_fcount,fr_dirsum\n";

// A zstd level: blanks, a sign, digits and nothing else, from -7 to 19.
static bool model_level_ok(const std::string &s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) i++;
    bool neg = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
    if (i == s.size()) return false;
    long long v = 0;
    for (; i < s.size(); i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = std::min(v * 10 + (s[i] - '0'), 1000LL);
    }
    if (neg) v = -v;
    return v >= -7 && v <= 19;
}

static bool ends_with_zst(const std::string &s) {
    return s.size() > 4 && s.compare(s.size() - 4, 4, ".zst") == 0;
}

// Returns false when the input reaches outside the sandbox and is not run.
static bool model(const std::vector<std::string> &args, Expect &e) {
    if (args.empty()) {
        e.status = 1;
        e.out = USAGE;
        return true;
    }
    WalkRules rules;
    size_t i = 0;
    const std::set<std::string> value_options = {
        "--depth",          "--exclude",  "--threads",  "--ring-depth",   "--getdents-max",
        "--stat-mode",      "--output",   "--compress-level", "--max-rate", "--max-inflight",
        "--load-trace",     "--checkpoint", "--checkpoint-every", "--resume"};
    bool level_given = false;
    const std::set<std::string> flags = {"--NoSnap", "--header", "--one-file-system", "-x",
                                         "--no-adapt"};
    while (args[i].size() > 0 && args[i][0] == '-') {
        const std::string &a = args[i];
        if (a == "--help") {
            e.out = USAGE;
            return true;
        }
        if (a == "--version" || a == "-v") {
            e.messages = {"fsrake2 version 1.0.0 2025 io_uring rewrite",
                          "io_uring STATX batching for high-performance metadata scanning"};
            return true;
        }
        if (value_options.count(a)) {
            if (i + 1 >= args.size()) {
                e.status = 1;
                e.messages = {a + " requires argument"};
                return true;
            }
            const std::string &v = args[++i];
            // Files written or read beside the walk (the output, checkpoints):
            // outside what this model follows, so not run.
            if (a == "--output" || a == "--checkpoint" || a == "--resume") return false;
            if (a == "--checkpoint-every") {
                char *end;
                double sec = strtod(v.c_str(), &end);
                if (end == v.c_str() || *end || !(sec >= 0.01 && sec <= 1e7)) {
                    e.status = 1;
                    e.messages = {"--checkpoint-every must be a number of seconds from 0.01, "
                                  "not '" + v + "'"};
                    return true;
                }
            }
            if (a == "--depth") rules.max_depth = model_number(v);
            if (a == "--compress-level") {
                if (!model_level_ok(v)) {
                    e.status = 1;
                    e.messages = {"--compress-level must be from -7 to 19, not '" + v + "'"};
                    return true;
                }
                level_given = true;
            }
            if (a == "--output") {
                // Only new files beside the tree are written (and removed after
                // the run): others could be the sandbox's own, or in the walk.
                bool fresh = !v.empty() && v[0] == 'o' &&
                             v.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789._-") ==
                                 std::string::npos;
                if (v != "-" && !fresh) return false;
                e.output = v == "-" ? "" : v;
            }
            if (a == "--stat-mode" && v != "auto" && v != "ring" && v != "sync") {
                e.status = 1;
                e.messages = {"--stat-mode must be auto, ring or sync, not '" + v + "'"};
                return true;
            }
            if (a == "--max-rate" || a == "--max-inflight") {
                long long hi = a == "--max-rate" ? 1000000000LL : 1000000LL;
                bool whole = !v.empty() && v.size() <= 10 &&
                             v.find_first_not_of("0123456789") == std::string::npos;
                if (!whole || std::stoll(v) > hi) {
                    e.status = 1;
                    e.messages = {a + " must be a whole number from 0 to " + std::to_string(hi) +
                                  ", not '" + v + "'"};
                    return true;
                }
            }
            // A trace file would be written outside the sandbox's control.
            if (a == "--load-trace") return false;
            if (a == "--exclude") {
                if (outside_sandbox(v)) return false;
                struct stat st;
                int fd = openat(g_sbfd, v.c_str(), O_RDONLY);
                if (fd < 0) {
                    e.status = 1;
                    e.messages = {"fsrake2: could not open exclude file: " + v};
                    return true;
                }
                // The sandbox's files hold short lines; a directory cannot be read.
                if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
                    close(fd);
                    e.status = 1;
                    e.messages = {"fsrake2: could not read exclude file: " + v +
                                  ": Is a directory"};
                    return true;
                }
                std::string text;
                if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
                    char b[4096];
                    ssize_t got;
                    while ((got = read(fd, b, sizeof b)) > 0) text.append(b, size_t(got));
                }
                close(fd);
                size_t pos = 0;
                while (pos < text.size()) {
                    size_t nl = text.find('\n', pos);
                    std::string line = text.substr(pos, nl == std::string::npos ? nl : nl - pos);
                    pos = nl == std::string::npos ? text.size() : nl + 1;
                    if (!line.empty()) rules.excludes.insert(line);
                }
            }
        } else if (flags.count(a)) {
            if (a == "--NoSnap") rules.no_snap = true;
            if (a == "--header") e.header = true;
        } else {
            e.status = 1;
            e.messages = {"Unknown option: " + a};
            return true;
        }
        if (++i >= args.size()) {
            e.status = 1;
            e.messages = {"fsrake2: missing directory argument"};
            return true;
        }
    }
    std::string dir = args[i];
    if (outside_sandbox(dir)) return false;
    if (!e.output.empty() && dir != "t" && dir.compare(0, 2, "t/") != 0) return false;
    if (level_given && !ends_with_zst(e.output)) {
        e.status = 1;
        e.messages = {"fsrake2: --compress-level needs --output FILE with a name ending in .zst"};
        e.output.clear();  // refused before it is created
        return true;
    }
    if (geteuid() != 0)
        e.messages.push_back("unable to setuid root; not all files may be processed");
    struct stat st;
    if (fstatat(g_sbfd, dir.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        int err = errno;
        e.status = err;
        e.messages.push_back("fsrake2: statx '" + dir + "': " + strerror(err));
        if (e.header) e.out = std::string(FR2_CSV_HEADER) + "\n";
        return true;
    }
    e.walk = true;
    std::string path = dir.substr(0, 4095);
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    model_dir(rules, path, dir, st, 0, 0, e);
    std::sort(e.records.begin(), e.records.end());
    return true;
}

// ---- running and comparing --------------------------------------------------------

static std::vector<Record> parse_records(const std::string &out, std::string *bad) {
    std::vector<Record> recs;
    size_t pos = 0;
    while (pos < out.size()) {
        std::vector<std::string> f;
        std::string cur;
        bool quoted = false, done = false;
        while (pos < out.size() && !done) {
            char c = out[pos++];
            if (quoted) {
                if (c == '"' && pos < out.size() && out[pos] == '"')
                    cur += '"', pos++;
                else if (c == '"')
                    quoted = false;
                else
                    cur += c;
            } else if (c == '"') {
                quoted = true;
            } else if (c == ',') {
                f.push_back(cur), cur.clear();
            } else if (c == '\n') {
                f.push_back(cur), done = true;
            } else {
                cur += c;
            }
        }
        if (!done || f.size() != 17) {
            *bad = "not a whole 17-field record near byte " + std::to_string(pos);
            return recs;
        }
        recs.push_back({f[3], std::stoll(f[2]), std::stoll(f[15]), std::stoll(f[16]),
                        std::stoll(f[7]), std::stoull(f[0]), std::stoull(f[1]), f[11]});
    }
    std::sort(recs.begin(), recs.end());
    return recs;
}

static std::vector<std::string> lines_of(const std::string &s) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        if (nl == std::string::npos) nl = s.size();
        v.push_back(s.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return v;
}

static void fail(const std::vector<std::string> &args, const std::string &what, int status,
                 const std::string &out, const std::string &err) {
    fprintf(stderr, "MISMATCH: %s\nargs:", what.c_str());
    for (auto &a : args) fprintf(stderr, " [%s]", a.c_str());
    fprintf(stderr, "\nstatus %d\n--- stdout ---\n%s--- stderr ---\n%s---\n", status,
            out.substr(0, 4000).c_str(), err.substr(0, 4000).c_str());
    abort();
}

static void free_exclude_table() { fr2_config_free(&g_config); }

// What the run wrote to its --output file, decompressed when it is zstd; the
// file is removed. False when a .zst file is no valid stream.
static bool take_output_file(const std::string &name, std::string *text) {
    std::string raw;
    int fd = openat(g_sbfd, name.c_str(), O_RDONLY);
    if (fd >= 0) {
        char b[65536];
        ssize_t got;
        while ((got = read(fd, b, sizeof b)) > 0) raw.append(b, size_t(got));
        close(fd);
    }
    unlinkat(g_sbfd, name.c_str(), 0);
    if (!ends_with_zst(name)) {
        *text = raw;
        return true;
    }
    text->clear();
    ZSTD_DStream *ds = ZSTD_createDStream();
    ZSTD_inBuffer in = {raw.data(), raw.size(), 0};
    size_t last = 0;
    while (in.pos < in.size) {
        char b[65536];
        ZSTD_outBuffer out = {b, sizeof b, 0};
        last = ZSTD_decompressStream(ds, &out, &in);
        if (ZSTD_isError(last)) break;
        text->append(b, out.pos);
    }
    ZSTD_freeDStream(ds);
    return !ZSTD_isError(last) && last == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args;
    {
        std::string cur;
        for (size_t k = 0; k < size; k++) {
            if (data[k] == 0) {
                args.push_back(cur), cur.clear();
                if (args.size() >= 16) break;
            } else if (cur.size() < 256) {
                cur += char(data[k]);
            }
        }
        if (!cur.empty() && args.size() < 16) args.push_back(cur);
    }
    Expect e;
    if (!model(args, e)) return 0;

    std::vector<std::string> argv_store = {"fsrake2"};
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_store) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    char *out_mem = nullptr, *err_mem = nullptr;
    size_t out_len = 0, err_len = 0;
    FILE *saved_out = stdout, *saved_err = stderr;
    stdout = open_memstream(&out_mem, &out_len);
    stderr = open_memstream(&err_mem, &err_len);
    int status = fr2_main(int(argv.size() - 1), argv.data());
    fflush(stdout);
    fflush(stderr);
    std::string out(out_mem, out_len), err(err_mem, err_len);
    fclose(stdout);
    fclose(stderr);
    free(out_mem);
    free(err_mem);
    stdout = saved_out;
    stderr = saved_err;
    free_exclude_table();
    if (!e.output.empty()) {
        if (!out.empty()) fail(args, "standard output with --output", status, out, err);
        if (!take_output_file(e.output, &out))
            fail(args, "no valid zstd stream in " + e.output, status, out, err);
    }

    if (status != e.status) fail(args, "exit status " + std::to_string(e.status), status, out, err);
    static const std::regex progress(R"(fsrake2: \d+ files, \d+\.\d\d GB, \d+ sec, \d+ files/sec)");
    static const std::regex summary(
        R"(fsrake2 done: (\d+) files, \d+\.\d\d GB, \d+ sec, \d+ files/sec)");
    std::vector<std::string> msgs;
    int summaries = 0;
    long long summary_files = -1;
    for (auto &l : lines_of(err)) {
        std::smatch m;
        if (e.walk && std::regex_match(l, progress)) continue;
        if (e.walk && std::regex_match(l, m, summary)) {
            summaries++;
            summary_files = std::stoll(m[1]);
            continue;
        }
        msgs.push_back(l);
    }
    // A message may hold a line feed of an argument: compare line by line.
    std::vector<std::string> want_msgs;
    for (auto &m : e.messages)
        for (auto &l : lines_of(m + "\n")) want_msgs.push_back(l);
    std::sort(msgs.begin(), msgs.end());
    std::sort(want_msgs.begin(), want_msgs.end());
    if (msgs != want_msgs) fail(args, "standard error", status, out, err);
    if (!e.walk) {
        if (out != e.out) fail(args, "standard output", status, out, err);
        return 0;
    }
    std::string body = out;
    if (e.header) {
        std::string h = std::string(FR2_CSV_HEADER) + "\n";
        if (out.compare(0, h.size(), h) != 0) fail(args, "header line", status, out, err);
        body = out.substr(h.size());
    }
    std::string bad;
    std::vector<Record> got = parse_records(body, &bad);
    if (!bad.empty()) fail(args, bad, status, out, err);
    if (got != e.records) {
        std::string what = "records: " + std::to_string(got.size()) + " printed, " +
                           std::to_string(e.records.size()) + " expected";
        for (auto &r : e.records)
            what += "\n  expected " + r.path + " depth " + std::to_string(r.depth) + " fcount " +
                    std::to_string(r.fcount);
        fail(args, what, status, out, err);
    }
    if (summaries != 1 || summary_files != (long long)got.size())
        fail(args, "final summary", status, out, err);
    return 0;
}
