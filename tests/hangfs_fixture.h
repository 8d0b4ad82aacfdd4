// Mounting hangfs (tests/helpers/hangfs.c) for a test: a FUSE passthrough of a
// backing folder whose opendir/readdir of chosen directories can hang, and
// which can delay every request.
//
//   HangfsMount m(backing, {"--hang", "readdir:interruptible:/slow"});
//   ASSERT_TRUE(m.ok()) << m.error();
//   run_fsrake2({m.path()});
//
// The mount is always taken down: by the destructor (also when an assertion
// fails), and, should the test process die without unwinding (abort, a
// signal, a CTest timeout), by the daemon itself, which gets SIGTERM when its
// parent dies and unmounts on the way out.
#pragma once

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace fr2test {

// Why hangfs cannot be used on this machine, or "" when it can.
inline std::string hangfs_unavailable_reason() {
#ifndef FR2_HANGFS
    return "hangfs was not built (libfuse3 was not found at configure time)";
#else
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("no usable /dev/fuse: ") + strerror(errno);
    close(fd);
    if (!running_as_root() && !have_command("fusermount3"))
        return "not root, and no fusermount3 to mount FUSE file systems";
    return "";
#endif
}

class HangfsMount {
  public:
    // Serves `backing` at a fresh mount point, with hangfs options `args`
    // (--hang, --delay-us, --threads, -o ...). Returns once the file system is
    // mounted, or failed to be (see ok() and error()).
    HangfsMount(const std::string &backing, const std::vector<std::string> &args) {
        char tmpl[] = "/tmp/fr2hangfs.XXXXXX";
        if (!mkdtemp(tmpl)) {
            error_ = std::string("mkdtemp: ") + strerror(errno);
            return;
        }
        // mountinfo shows the resolved path.
        char real[PATH_MAX];
        base_ = realpath(tmpl, real) ? real : tmpl;
        mnt_ = base_ + "/mnt";
        log_path_ = base_ + "/hangfs.log";
        if (mkdir(mnt_.c_str(), 0755) != 0) {
            error_ = "mkdir " + mnt_ + ": " + strerror(errno);
            return;
        }
        start(backing, args);
    }

    ~HangfsMount() {
        unmount();
        // Never recursive: a mount point that could not be unmounted keeps its
        // folder rather than having rm walk into it.
        if (!base_.empty()) {
            rmdir(mnt_.c_str());
            unlink(log_path_.c_str());
            rmdir(base_.c_str());
        }
    }

    HangfsMount(const HangfsMount &) = delete;
    HangfsMount &operator=(const HangfsMount &) = delete;

    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    const std::string &path() const { return mnt_; }
    pid_t pid() const { return pid_; }
    // What the daemon wrote to standard error so far (its hang reports).
    std::string log() const { return read_file(log_path_); }

    bool mounted() const {
        std::string info = read_file("/proc/self/mountinfo");
        for (const std::string &line : split_lines(info)) {
            // id parent dev root MOUNTPOINT options... - fstype source superoptions
            size_t p = 0;
            for (int field = 0; field < 4 && p != std::string::npos; field++)
                p = line.find(' ', p + 1);
            if (p == std::string::npos) continue;
            size_t e = line.find(' ', p + 1);
            if (e == std::string::npos) continue;
            if (unescape(line.substr(p + 1, e - p - 1)) != mnt_) continue;
            if (line.find(" - fuse.hangfs ") != std::string::npos) return true;
        }
        return false;
    }

    // Unmounts and ends the daemon; safe to call more than once. Tries a plain
    // unmount, then a lazy one, then SIGTERM (hangfs unmounts itself and
    // releases its hanging requests), then SIGKILL and a lazy unmount of what
    // the killed daemon left.
    void unmount() {
        if (mnt_.empty()) return;
        if (mounted()) {
            umount_once(false);
            if (mounted()) umount_once(true);
        }
        if (pid_ > 0 && !wait_exit(5000)) {
            kill(pid_, SIGTERM);
            if (!wait_exit(5000)) {
                kill(pid_, SIGKILL);
                wait_exit(-1);
            }
        }
        if (mounted()) umount_once(true);
        if (mounted()) fprintf(stderr, "hangfs fixture: %s is still mounted\n", mnt_.c_str());
    }

  private:
    void start(const std::string &backing, const std::vector<std::string> &args) {
#ifndef FR2_HANGFS
        (void)backing;
        (void)args;
        error_ = hangfs_unavailable_reason();
#else
        // Everything the child needs is built before fork: after it, only
        // async-signal-safe calls.
        std::vector<std::string> argv{FR2_HANGFS, "-f"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(backing);
        argv.push_back(mnt_);
        std::vector<char *> cargv;
        for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log_fd < 0 || null_fd < 0) {
            error_ = std::string("cannot open the hangfs log: ") + strerror(errno);
            if (log_fd >= 0) close(log_fd);
            if (null_fd >= 0) close(null_fd);
            return;
        }
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            // The daemon must not outlive the test process, however it ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(null_fd, 0);
            dup2(log_fd, 1);
            dup2(log_fd, 2);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        close(log_fd);
        close(null_fd);
        if (pid < 0) {
            error_ = std::string("fork: ") + strerror(errno);
            return;
        }
        pid_ = pid;
        // Mounted within ten seconds, or the daemon's own words say why not.
        for (int i = 0; i < 1000; i++) {
            if (mounted()) return;
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                error_ = "hangfs exited before mounting: " + log();
                return;
            }
            struct timespec ts = {0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
        error_ = "hangfs did not mount within 10 s: " + log();
#endif
    }

    void umount_once(bool lazy) {
        if (have_command("fusermount3")) {
            std::vector<std::string> cmd{"fusermount3", "-u", "-q"};
            if (lazy) cmd.push_back("-z");
            cmd.push_back(mnt_);
            RunOptions o;
            o.timeout_sec = 30;
            run_command(cmd, o);
        } else {
            umount2(mnt_.c_str(), lazy ? MNT_DETACH : 0);
        }
    }

    // Reaps the daemon; timeout_ms < 0 waits for as long as it takes.
    bool wait_exit(int timeout_ms) {
        for (int waited = 0;; waited += 20) {
            int st;
            pid_t r = waitpid(pid_, &st, timeout_ms < 0 ? 0 : WNOHANG);
            if (r == pid_ || (r < 0 && errno == ECHILD)) {
                pid_ = -1;
                return true;
            }
            if (r < 0 && errno == EINTR) continue;
            if (timeout_ms >= 0 && waited >= timeout_ms) return false;
            struct timespec ts = {0, 20 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }

    // Mount points in mountinfo escape space, tab, line feed and backslash.
    static std::string unescape(const std::string &s) {
        std::string out;
        for (size_t i = 0; i < s.size(); i++) {
            if (s[i] == '\\' && i + 3 < s.size() && isdigit((unsigned char)s[i + 1])) {
                out += char(strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
                i += 3;
            } else {
                out += s[i];
            }
        }
        return out;
    }

    std::string base_, mnt_, log_path_, error_;
    pid_t pid_ = -1;
};

// A test over a hangfs mount of `backing` (an empty folder at first): skipped
// where FUSE cannot be used; the daemon's log is printed when the test fails,
// and the mount goes before the backing folder does.
class HangfsTest : public testing::Test {
  protected:
    TempDir backing_dir;
    std::string backing = backing_dir / "tree";
    std::unique_ptr<HangfsMount> fs;

    void SetUp() override {
        std::string why = hangfs_unavailable_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        make_dir(backing);
    }
    void TearDown() override {
        if (fs && HasFailure()) printf("hangfs log:\n%s\n", fs->log().c_str());
        fs.reset();
    }
    void mount(const std::vector<std::string> &args) {
        fs = std::make_unique<HangfsMount>(backing, args);
        ASSERT_TRUE(fs->ok()) << fs->error();
    }
};

}  // namespace fr2test
