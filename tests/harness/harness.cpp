#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

extern char **environ;

namespace fr2test {

static int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

RunResult run_command(const std::vector<std::string> &argv_in, const RunOptions &opt) {
    RunResult r;
    std::vector<std::string> argv = opt.prefix;
    argv.insert(argv.end(), argv_in.begin(), argv_in.end());
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);

    int out_pipe[2] = {-1, -1}, err_pipe[2], in_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) || pipe2(in_pipe, O_CLOEXEC)) abort();
    if (opt.stdout_path.empty() && pipe2(out_pipe, O_CLOEXEC)) abort();

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    if (opt.stdout_path.empty())
        posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, opt.stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    // The child starts with default signal dispositions, whatever the test runner set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    int rc = posix_spawnp(&pid, cargv[0], &fa, &attr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(in_pipe[0]);
    close(err_pipe[1]);
    if (out_pipe[1] >= 0) close(out_pipe[1]);
    if (rc != 0) {
        r.err = std::string("spawn failed: ") + strerror(rc);
        close(in_pipe[1]);
        close(err_pipe[0]);
        if (out_pipe[0] >= 0) close(out_pipe[0]);
        return r;
    }

    size_t in_off = 0;
    if (opt.stdin_data.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    } else {
        fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    }
    int64_t deadline = now_ms() + int64_t(opt.timeout_sec) * 1000;
    char buf[65536];
    while (out_pipe[0] >= 0 || err_pipe[0] >= 0) {
        struct pollfd fds[3];
        int n = 0;
        int oi = -1, ei = -1, ii = -1;
        if (out_pipe[0] >= 0) { fds[n] = {out_pipe[0], POLLIN, 0}; oi = n++; }
        if (err_pipe[0] >= 0) { fds[n] = {err_pipe[0], POLLIN, 0}; ei = n++; }
        if (in_pipe[1] >= 0) { fds[n] = {in_pipe[1], POLLOUT, 0}; ii = n++; }
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            kill(pid, SIGKILL);
            r.timed_out = true;
            break;
        }
        int pr = poll(fds, n, int(left > 1000 ? 1000 : left));
        if (pr < 0 && errno != EINTR) break;
        auto drain = [&](int idx, int &fd, std::string &dst) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) dst.append(buf, size_t(got));
            else if (got == 0 || errno != EINTR) { close(fd); fd = -1; }
        };
        drain(oi, out_pipe[0], r.out);
        drain(ei, err_pipe[0], r.err);
        if (ii >= 0 && (fds[ii].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(in_pipe[1], opt.stdin_data.data() + in_off,
                                opt.stdin_data.size() - in_off);
            if (put > 0) in_off += size_t(put);
            if (put < 0 || in_off == opt.stdin_data.size()) {
                close(in_pipe[1]);
                in_pipe[1] = -1;
            }
        }
    }
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    if (err_pipe[0] >= 0) close(err_pipe[0]);
    if (in_pipe[1] >= 0) close(in_pipe[1]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st)) r.term_signal = WTERMSIG(st);
    return r;
}

RunResult run_fsrake2(const std::vector<std::string> &args, const RunOptions &opt) {
    std::vector<std::string> argv{FR2_BINARY};
    // Suites registered once per back end choose it here; an explicit
    // --stat-mode among the arguments comes later and wins.
    if (const char *mode = getenv("FR2_TEST_STAT_MODE"); mode && *mode)
        argv.insert(argv.end(), {"--stat-mode", mode});
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, opt);
}

std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

int sh(const std::string &cmd, std::string *out) {
    RunResult r = run_command({"/bin/sh", "-c", cmd});
    if (out) *out = r.out + r.err;
    return r.status;
}

TempDir::TempDir(const std::string &base) {
    std::string tmpl = base + "/fr2test.XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back(0);
    if (!mkdtemp(b.data())) abort();
    path_ = b.data();
}

TempDir::~TempDir() {
    // Permissions a test took away must not keep the folder from going.
    sh("chmod -R u+rwx " + shell_quote(path_) + " 2>/dev/null; rm -rf " + shell_quote(path_));
}

void write_file(const std::string &path, const std::string &content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "write_file %s: %s\n", path.c_str(), strerror(errno));
        abort();
    }
    size_t off = 0;
    while (off < content.size()) {
        ssize_t n = write(fd, content.data() + off, content.size() - off);
        if (n <= 0) abort();
        off += size_t(n);
    }
    close(fd);
}

void make_dir(const std::string &path, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        fprintf(stderr, "mkdir %s: %s\n", path.c_str(), strerror(errno));
        abort();
    }
}

void make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') make_dir(path.substr(0, i));
}

void make_symlink(const std::string &target, const std::string &path) {
    if (symlink(target.c_str(), path.c_str()) != 0) abort();
}

std::string read_file(const std::string &path) {
    std::string s;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
    close(fd);
    return s;
}

std::vector<Row> parse_csv(const std::string &t, bool *ok) {
    std::vector<Row> rows;
    if (ok) *ok = true;
    size_t i = 0, n = t.size();
    while (i < n) {
        Row row;
        std::string field;
        bool end_of_row = false;
        while (!end_of_row) {
            field.clear();
            if (i < n && t[i] == '"') {
                i++;
                for (;;) {
                    if (i >= n) {
                        if (ok) *ok = false;
                        return rows;
                    }
                    if (t[i] == '"') {
                        if (i + 1 < n && t[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        i++;
                        break;
                    }
                    field += t[i++];
                }
                if (i < n && t[i] != ',' && t[i] != '\n') {
                    if (ok) *ok = false;
                    return rows;
                }
            } else {
                while (i < n && t[i] != ',' && t[i] != '\n') {
                    if (t[i] == '"') {
                        if (ok) *ok = false;
                        return rows;
                    }
                    field += t[i++];
                }
            }
            row.push_back(field);
            if (i >= n) {
                // A record must end with its line feed.
                if (ok) *ok = false;
                end_of_row = true;
            } else if (t[i] == '\n') {
                i++;
                end_of_row = true;
            } else {
                i++;  // comma
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

static void lstat_walk(const std::string &path, std::map<std::string, struct stat> &out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    out[path] = st;
    if (!S_ISDIR(st.st_mode)) return;
    DIR *d = opendir(path.c_str());
    if (!d) return;
    while (struct dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        lstat_walk(path + "/" + e->d_name, out);
    }
    closedir(d);
}

std::map<std::string, struct stat> lstat_tree(const std::string &root) {
    std::map<std::string, struct stat> out;
    lstat_walk(root, out);
    return out;
}

bool have_command(const std::string &name) {
    return sh("command -v " + shell_quote(name) + " >/dev/null 2>&1") == 0;
}

bool running_as_root() { return geteuid() == 0; }

}  // namespace fr2test
