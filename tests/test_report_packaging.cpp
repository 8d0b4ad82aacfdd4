// fsrake2-report as a packaged tool: its manual page documents what its usage
// text offers, its bash completion offers what it takes, and both are
// installed beside the scanner's with the package's documentation.
// GCC 12 warns falsely inside <regex> when it optimizes with the sanitizers
// (std::function in the regex automaton "may be used uninitialized").
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <set>

#include "harness.h"

using namespace fr2test;

namespace {

const std::string kSource = FR2_SOURCE_DIR;
const std::string kPage = kSource + "/packaging/fsrake2-report.1";
const std::string kCompletion = kSource + "/packaging/fsrake2-report.bash-completion";

std::string usage_text() {
    RunResult r = run_command({FR2R_BINARY, "--help"});
    EXPECT_EQ(r.status, 0);
    return r.out;
}

// The page as a reader sees it, on long lines, without bold or underline.
std::string rendered(const std::string &page) {
    std::string out;
    EXPECT_EQ(sh("groff -man -Tutf8 -P-cbou -rLL=200n " + shell_quote(page) + " 2>/dev/null", &out), 0);
    return out;
}

std::vector<std::string> complete(const std::vector<std::string> &words, const std::string &cwd,
                                  bool full) {
    std::string line, arr;
    for (const std::string &w : words) {
        line += (line.empty() ? "" : " ") + w;
        arr += " " + shell_quote(w);
    }
    std::string script = "cd " + shell_quote(cwd) + " || exit 9\n";
    if (full) script += "source /usr/share/bash-completion/bash_completion || exit 9\n";
    script += "source " + shell_quote(kCompletion) + " || exit 9\n" +
              "COMP_WORDS=(" + arr + " )\n"
              "COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))\n"
              "COMP_LINE=" + shell_quote(line) + "\n"
              "COMP_POINT=${#COMP_LINE}\n"
              "COMPREPLY=()\n"
              "_fsrake2_report fsrake2-report \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
              "for c in \"${COMPREPLY[@]}\"; do printf '%s\\0' \"$c\"; done\n";
    RunResult r = run_command({"bash", "--norc", "--noprofile", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "the completion script writes to standard error";
    std::vector<std::string> got;
    std::string cur;
    for (char c : r.out) {
        if (c) {
            cur += c;
        } else {
            got.push_back(cur);
            cur.clear();
        }
    }
    std::sort(got.begin(), got.end());
    return got;
}

using Words = std::vector<std::string>;

}  // namespace

TEST(ReportPackaging, ManualPageRendersCleanlyAndDocumentsTheUsageText) {
    ASSERT_TRUE(have_command("groff"));
    RunResult g = run_command({"groff", "-ww", "-z", "-man", kPage});
    EXPECT_EQ(g.status, 0);
    EXPECT_EQ(g.err, "") << "groff warns about the page";
    if (have_command("man")) {
        std::string out;
        EXPECT_EQ(sh("MANWIDTH=80 man --warnings -l " + shell_quote(kPage) + " 2>&1 >/dev/null", &out), 0);
        EXPECT_EQ(out, "") << out;
    }
    if (have_command("lexgrog")) {
        std::string out;
        EXPECT_EQ(sh("lexgrog " + shell_quote(kPage), &out), 0) << out;
        EXPECT_NE(out.find("fsrake2-report - "), std::string::npos) << out;
    }
    std::string usage = usage_text(), page = rendered(kPage);
    // Every option and every command of the usage text is on the page.
    std::set<std::string> words;
    std::regex opt(R"((^|[\s,])(--[a-z][a-z-]*))");
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), opt); it != std::sregex_iterator(); ++it)
        words.insert((*it)[2]);
    EXPECT_GE(words.size(), 18u);
    std::regex command(R"(\n  ([a-z]+) )");
    size_t commands = 0;
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), command); it != std::sregex_iterator(); ++it) {
        words.insert((*it)[1]);
        commands++;
    }
    EXPECT_GE(commands, 12u);
    for (const auto &w : words) EXPECT_NE(page.find(w), std::string::npos) << w << " is not on the page";
    // The version on the page is the program's.
    RunResult v = run_command({FR2R_BINARY, "--version"});
    std::string version = v.out.substr(v.out.rfind(' ') + 1);
    version.erase(version.find_last_not_of("\n") + 1);
    EXPECT_NE(read_file(kPage).find("\"fsrake2 " + version + "\""), std::string::npos) << version;
    // Each page points to the other.
    std::string scanner_page = rendered(kSource + "/packaging/fsrake2.1");
    size_t see = scanner_page.find("SEE ALSO");
    ASSERT_NE(see, std::string::npos);
    EXPECT_NE(scanner_page.find("fsrake2-report(1)", see), std::string::npos);
    EXPECT_NE(page.find("fsrake2(1)", page.find("SEE ALSO")), std::string::npos);
}

TEST(ReportPackaging, CompletionOffersCommandsOptionsAndTheRightNames) {
    TempDir t;
    write_file(t / "scan.csv", "");
    write_file(t / "space.db", "");
    make_dir(t / "data");
    std::vector<bool> modes = {false};
    struct stat st;
    if (stat("/usr/share/bash-completion/bash_completion", &st) == 0) modes.push_back(true);
    for (bool full : modes) {
        SCOPED_TRACE(full ? "with bash-completion" : "plain bash");
        EXPECT_EQ(complete({"fsrake2-report", "s"}, t.path(), full),
                  (Words{"scan", "scans", "sizes", "summary"}));
        EXPECT_EQ(complete({"fsrake2-report", "d"}, t.path(), full), (Words{"delete", "diff"}));
        EXPECT_EQ(complete({"fsrake2-report", "users", "--by", ""}, t.path(), full),
                  (Words{"allocated", "count", "files", "own", "tree"}));
        EXPECT_EQ(complete({"fsrake2-report", "diff", "--f"}, t.path(), full), Words{"--force"});
        EXPECT_EQ(complete({"fsrake2-report", "cold", "--y"}, t.path(), full), Words{"--years"});
        EXPECT_EQ(complete({"fsrake2-report", "load", "--m"}, t.path(), full), Words{"--messages"});
        EXPECT_EQ(complete({"fsrake2-report", "load", "sc"}, t.path(), full), Words{"scan.csv"});
        EXPECT_EQ(complete({"fsrake2-report", "load", "scan.csv", "sp"}, t.path(), full), Words{"space.db"});
        EXPECT_EQ(complete({"fsrake2-report", "summary", "--scan", ""}, t.path(), full), Words{});
        // scan: a folder, the database, then the scanner's own options.
        EXPECT_EQ(complete({"fsrake2-report", "scan", ""}, t.path(), full), Words{"data"});
        EXPECT_EQ(complete({"fsrake2-report", "scan", "data", "sp"}, t.path(), full), Words{"space.db"});
        EXPECT_EQ(complete({"fsrake2-report", "scan", "data", "space.db", "--th"}, t.path(), full),
                  Words{"--threads"});
        EXPECT_EQ(complete({"fsrake2-report", "scan", "--label", "x", "data", "space.db", "--one"}, t.path(), full),
                  Words{"--one-file-system"});
    }
    // Every option offered is one the program takes.
    std::vector<std::string> all;
    for (const char *cmd : {"load", "scan", "summary", "ages", "cold", "diff"}) {
        auto got = complete({"fsrake2-report", cmd, "-"}, t.path(), false);
        all.insert(all.end(), got.begin(), got.end());
    }
    std::string usage = usage_text();
    for (const auto &o : all) EXPECT_NE(usage.find(o), std::string::npos) << o;
}

TEST(ReportPackaging, InstallsBesideTheScannerWithTheDocumentation) {
    TempDir t;
    RunResult r = run_command({FR2_CMAKE_COMMAND, "--install", FR2_BUILD_DIR, "--component", "fsrake2",
                               "--prefix", t / "usr"},
                              RunOptions{{}, "", "", 120});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    struct stat st;
    std::string bin = t / "usr/bin/fsrake2-report";
    ASSERT_EQ(stat(bin.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(run_command({bin, "--version"}).status, 0);
    std::string page;
    ASSERT_EQ(sh("gzip -dc " + shell_quote(t / "usr/share/man/man1/fsrake2-report.1.gz"), &page), 0);
    EXPECT_EQ(page, read_file(kPage));
    EXPECT_EQ(read_file(t / "usr/share/bash-completion/completions/fsrake2-report"), read_file(kCompletion));
    EXPECT_EQ(read_file(t / "usr/share/doc/fsrake2/copyright"), read_file(kSource + "/packaging/copyright"));
    std::string changelog;
    ASSERT_EQ(sh("gzip -dc " + shell_quote(t / "usr/share/doc/fsrake2/changelog.Debian.gz"), &changelog), 0);
    EXPECT_EQ(changelog, read_file(kSource + "/packaging/changelog"));
    if (have_command("dpkg-parsechangelog")) {
        std::string out;
        EXPECT_EQ(sh("dpkg-parsechangelog -l " + shell_quote(kSource + "/packaging/changelog") +
                         " -S Version", &out), 0) << out;
        EXPECT_EQ(out, std::string(FR2_PROJECT_VERSION) + "-1\n");
    }
    if (have_command("man")) {
        std::string where;
        EXPECT_EQ(sh("man -M " + shell_quote(t / "usr/share/man") + " -w fsrake2-report", &where), 0) << where;
    }
    // The package's description names both programs.
    std::string cpack = read_file(std::string(FR2_BUILD_DIR) + "/CPackConfig.cmake");
    size_t d = cpack.find("CPACK_PACKAGE_DESCRIPTION \"");
    ASSERT_NE(d, std::string::npos);
    std::string desc = cpack.substr(d, cpack.find("\")", d) - d);
    EXPECT_NE(desc.find("fsrake2 walks"), std::string::npos) << desc;
    EXPECT_NE(desc.find("fsrake2-report"), std::string::npos) << desc;
}
