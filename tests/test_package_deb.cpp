// The Debian package, end to end: built from the source tree in a build
// folder of its own, checked for its dependencies and file modes, installed
// into this machine with dpkg, used from /usr/bin, and removed again. Needs
// root; the package is removed on every way out of the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

using namespace fr2test;

namespace {

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

RunResult run(const std::vector<std::string> &argv, int timeout = 120) {
    return run_command(argv, RunOptions{{}, "", "", timeout});
}

// "install ok installed", "", or whatever state dpkg holds the package in.
std::string package_state() {
    RunResult r = run({"dpkg-query", "-W", "-f=${Status}", "fsrake2"});
    return r.status == 0 ? trim(r.out) : "";
}

bool package_present() {
    std::string s = package_state();
    return !s.empty() && s.find("not-installed") == std::string::npos;
}

// dpkg refuses to run while another dpkg or apt holds its lock: wait a while.
RunResult dpkg(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"dpkg"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r;
    for (int attempt = 0; attempt < 60; attempt++) {
        r = run(argv, 900);  // the man-db trigger rereads large manual folders
        if (r.status == 0 || r.err.find("lock") == std::string::npos) break;
        sleep(2);
    }
    return r;
}

// Removes the package if this test left it installed, whatever went wrong.
struct RemoveOnExit {
    bool armed = false;
    ~RemoveOnExit() {
        if (armed && package_present()) dpkg({"--purge", "fsrake2"});
    }
};

// Several build trees may run this test at once on one machine.
struct MachineLock {
    int fd;
    MachineLock() : fd(open("/run/lock/fsrake2-package-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd >= 0) flock(fd, LOCK_EX);
    }
    ~MachineLock() {
        if (fd >= 0) close(fd);
    }
};

std::string field(const std::string &deb, const std::string &name) {
    RunResult r = run({"dpkg-deb", "-f", deb, name});
    EXPECT_EQ(r.status, 0) << r.err;
    return trim(r.out);
}

// The Debian package that holds a library, as ldd resolved its path.
std::string owner_of(const std::string &path) {
    for (std::string p : {path, path.rfind("/usr", 0) == 0 ? path.substr(4) : "/usr" + path}) {
        RunResult r = run({"dpkg", "-S", p});
        if (r.status == 0) return r.out.substr(0, r.out.find(':'));
    }
    return "";
}

bool is_elf(const std::string &path) {
    std::string head = read_file(path).substr(0, 4);
    return head == "\x7f" "ELF";
}

}  // namespace

TEST(DebianPackage, BuildsInstallsRunsAndRemovesCleanly) {
    if (!running_as_root()) GTEST_SKIP() << "installing a package with dpkg needs root";
    for (const char *tool : {"dpkg", "dpkg-deb", "dpkg-query"})
        if (!have_command(tool)) GTEST_SKIP() << tool << " is missing: not a Debian system";
    MachineLock lock;
    if (package_present())
        GTEST_SKIP() << "a fsrake2 package is already installed (" << package_state()
                     << "); the test will not replace it. Remove it with: dpkg -r fsrake2";
    struct stat st;
    for (const char *p : {"/usr/bin/fsrake2", "/usr/share/man/man1/fsrake2.1.gz",
                          "/usr/share/bash-completion/completions/fsrake2"})
        if (lstat(p, &st) == 0) GTEST_SKIP() << p << " exists outside any package; the test will not overwrite it";

    // Build and package in a folder of its own, as a user would.
    TempDir t;
    const std::string build = t / "build", out = t / "out";
    RunResult r = run({FR2_CMAKE_COMMAND, "-S", FR2_SOURCE_DIR, "-B", build, "-G", FR2_CMAKE_GENERATOR,
                       "-DCMAKE_BUILD_TYPE=Release", "-DFR2_BUILD_TESTS=OFF"},
                      300);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run({FR2_CMAKE_COMMAND, "--build", build, "-j", "2"}, 900);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run({FR2_CPACK_COMMAND, "-G", "DEB", "--config", build + "/CPackConfig.cmake", "-B", out}, 300);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::string arch = trim(run({"dpkg", "--print-architecture"}).out);
    const std::string deb = out + "/fsrake2_" FR2_PROJECT_VERSION "-1_" + arch + ".deb";
    ASSERT_EQ(stat(deb.c_str(), &st), 0) << "no " << deb << "\n" << r.out;

    // The control fields.
    EXPECT_EQ(field(deb, "Package"), "fsrake2");
    EXPECT_EQ(field(deb, "Version"), FR2_PROJECT_VERSION "-1");
    EXPECT_EQ(field(deb, "Architecture"), arch);
    EXPECT_NE(field(deb, "Maintainer"), "");
    EXPECT_NE(field(deb, "Description"), "");
    std::string depends = field(deb, "Depends");
    EXPECT_NE(depends.find("libc6 (>= "), std::string::npos) << "Depends: " << depends;

    // Every library that a program of the package links directly is in
    // Depends, by the package that provides it here.
    const std::string root = t / "root";
    r = run({"dpkg-deb", "-x", deb, root});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string files;
    ASSERT_EQ(sh("cd " + shell_quote(root) + " && find . -type f", &files), 0);
    std::set<std::string> depended;
    static const std::regex dep_name(R"((^|,)\s*([a-z0-9][a-z0-9.+-]*))");
    for (auto it = std::sregex_iterator(depends.begin(), depends.end(), dep_name); it != std::sregex_iterator(); ++it)
        depended.insert((*it)[2]);
    int programs = 0;
    for (const std::string &rel : split_lines(files)) {
        std::string path = root + "/" + rel.substr(2);
        if (!is_elf(path)) continue;
        programs++;
        RunResult needed = run({"readelf", "-d", path});
        RunResult resolved = run({"ldd", path});
        ASSERT_EQ(needed.status, 0) << path << needed.err;
        ASSERT_EQ(resolved.status, 0) << path << resolved.err;
        static const std::regex needed_lib(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
        for (const std::string &line : split_lines(needed.out)) {
            std::smatch m;
            if (!std::regex_search(line, m, needed_lib)) continue;
            std::smatch where;
            std::regex at("(^|\\s)" + std::regex_replace(m[1].str(), std::regex(R"([.+])"), "\\$&") +
                          R"( => (/\S+))");
            ASSERT_TRUE(std::regex_search(resolved.out, where, at)) << rel << ": ldd does not resolve " << m[1];
            std::string pkg = owner_of(where[2]);
            ASSERT_NE(pkg, "") << "no package owns " << where[2];
            EXPECT_TRUE(depended.count(pkg)) << rel << " links " << m[1] << " of " << pkg
                                             << ", which Depends lacks: " << depends;
        }
    }
    EXPECT_GE(programs, 1);

    // No set-user-ID or set-group-ID file, everything owned by root.
    r = run({"dpkg-deb", "-c", deb});
    ASSERT_EQ(r.status, 0);
    std::set<std::string> listed;
    for (const std::string &line : split_lines(r.out)) {
        const std::string mode = line.substr(0, 10);
        EXPECT_EQ(mode.find_first_of("sStT"), std::string::npos) << line;
        EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
        listed.insert(line.substr(line.rfind(' ') + 1));
    }
    for (const char *p : {"./usr/bin/fsrake2", "./usr/share/man/man1/fsrake2.1.gz",
                          "./usr/share/bash-completion/completions/fsrake2"})
        EXPECT_TRUE(listed.count(p)) << p << " is not in the package";

    // Install it. A slim system may keep dpkg from unpacking manual pages;
    // this page is asked for by name.
    RemoveOnExit guard;
    guard.armed = true;
    r = dpkg({"--path-include=/usr/share/man/man1/fsrake2.1.gz", "-i", deb});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(package_state(), "install ok installed");

    RunResult v = run({"/usr/bin/fsrake2", "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.err.find("fsrake2 version " FR2_PROJECT_VERSION), std::string::npos) << v.err;
    ASSERT_EQ(stat("/usr/bin/fsrake2", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "the installed binary must not be set-user-ID";
    EXPECT_EQ(st.st_uid, 0u);

    // The installed, stripped release build walks a tree.
    make_dirs(t / "tree/a");
    write_file(t / "tree/a/f", "x");
    RunResult scan = run({"/usr/bin/fsrake2", "--header", "--threads", "2", t / "tree"});
    EXPECT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(split_lines(scan.out).size(), 4u) << scan.out;  // header, tree, a, f

    if (have_command("man")) {
        RunResult w = run({"man", "-w", "fsrake2"});
        EXPECT_EQ(w.status, 0) << w.err;
        EXPECT_EQ(trim(w.out), "/usr/share/man/man1/fsrake2.1.gz");
        RunResult page = run_command({"sh", "-c", "MANWIDTH=80 MANPAGER=cat PAGER=cat man fsrake2"});
        EXPECT_NE(page.out.find("--one-file-system"), std::string::npos);
    } else {
        EXPECT_EQ(stat("/usr/share/man/man1/fsrake2.1.gz", &st), 0);
    }
    ASSERT_EQ(stat("/usr/share/bash-completion/completions/fsrake2", &st), 0);
    if (stat("/usr/share/bash-completion/bash_completion", &st) == 0) {
        // bash-completion finds the script by the command's name when asked.
        RunResult c = run({"bash", "--norc", "--noprofile", "-c",
                           "source /usr/share/bash-completion/bash_completion && "
                           "_completion_loader fsrake2; complete -p fsrake2"});
        EXPECT_NE(c.out.find("-F _fsrake2"), std::string::npos) << c.out << c.err;
    }

    // Remove it: nothing of it stays behind.
    r = dpkg({"-r", "fsrake2"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_FALSE(package_present()) << package_state();
    for (const char *p : {"/usr/bin/fsrake2", "/usr/share/man/man1/fsrake2.1.gz",
                          "/usr/share/bash-completion/completions/fsrake2"})
        EXPECT_NE(lstat(p, &st), 0) << p << " is still there after dpkg -r";
}
