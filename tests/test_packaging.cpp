// The manual page, the bash completion and `cmake --install`, checked against
// the binary itself so that none of them can drift from what the tool does:
// the options its usage text prints, the messages and exit statuses it really
// gives, and the page's own examples run as written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

using namespace fr2test;

#ifndef FR2_SOURCE_DIR
#error "FR2_SOURCE_DIR must name the source tree"
#endif

namespace {

const std::string kPage = std::string(FR2_SOURCE_DIR) + "/packaging/fsrake2.1";
const std::string kCompletion = std::string(FR2_SOURCE_DIR) + "/packaging/fsrake2.bash-completion";

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// The page as a reader sees it: rendered to plain UTF-8 text, without bold or
// underline, on lines long enough that short items stay on one line.
std::string rendered_page() {
    std::string out;
    int st = sh("groff -man -Tutf8 -P-cbou -rLL=150n " + shell_quote(kPage) + " 2>/dev/null", &out);
    EXPECT_EQ(st, 0) << "groff could not render the page";
    return out;
}

// Runs of blanks and line ends as one blank, so that wrapped text compares.
std::string flatten(const std::string &s) {
    std::string r;
    bool blank = false;
    for (char c : s) {
        if (c == ' ' || c == '\n' || c == '\t') {
            blank = true;
            continue;
        }
        if (blank && !r.empty()) r += ' ';
        blank = false;
        r += c;
    }
    return r;
}

// A roff text line as plain text: macros, font changes and quoting removed.
std::string roff_text(std::string line) {
    static const std::regex macro(R"(^\.(B|I|BR|BI|IB|RB|IR|RI)\s+)");
    line = std::regex_replace(line, macro, "");
    line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
    line = replace_all(line, "\\-", "-");
    line = replace_all(line, "\\(aq", "'");
    line = replace_all(line, "\\(dq", "\"");
    line = replace_all(line, "\\e", "\\");
    line = replace_all(line, "\"", "");
    return trim(line);
}

// The lines of one section (.SH NAME up to the next .SH) of the page source.
std::vector<std::string> page_section(const std::string &name) {
    std::vector<std::string> lines = split_lines(read_file(kPage)), section;
    bool in = false;
    for (const std::string &l : lines) {
        if (l.rfind(".SH ", 0) == 0) {
            if (in) break;
            in = trim(replace_all(l.substr(4), "\"", "")) == name;
            continue;
        }
        if (in) section.push_back(l);
    }
    return section;
}

// The items of OPTIONS: for each option named in an item's tag, whether the
// tag shows a value after it, and the item's text.
struct PageOption {
    bool takes_value = false;
    std::string body;
};

std::map<std::string, PageOption> page_options() {
    std::map<std::string, PageOption> opts;
    std::vector<std::string> sec = page_section("OPTIONS");
    for (size_t i = 0; i < sec.size(); i++) {
        if (sec[i] != ".TP" || i + 1 >= sec.size()) continue;
        std::string tag = roff_text(sec[i + 1]);
        std::string body;
        for (size_t j = i + 2; j < sec.size() && sec[j] != ".TP"; j++) body += roff_text(sec[j]) + " ";
        std::istringstream words(replace_all(tag, ",", " "));
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        for (size_t k = 0; k < w.size(); k++) {
            if (w[k][0] != '-') continue;
            PageOption &o = opts[w[k]];
            o.takes_value = k + 1 < w.size() && w[k + 1][0] != '-';
            o.body = body;
        }
    }
    return opts;
}

// The options that the usage text prints: every word that begins with a dash.
std::vector<std::string> usage_options(const std::string &usage) {
    std::vector<std::string> opts;
    static const std::regex opt(R"((^|\s)(--?[A-Za-z][A-Za-z-]*))");
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), opt); it != std::sregex_iterator(); ++it)
        if (std::find(opts.begin(), opts.end(), (*it)[2].str()) == opts.end()) opts.push_back((*it)[2]);
    return opts;
}

std::string usage_text() {
    RunResult r = run_fsrake2({"--help"});
    EXPECT_EQ(r.status, 0);
    return r.out;
}

// What the tool makes of an option given alone: "value" when it asks for a
// value, "unknown" when it rejects it, "flag" otherwise. Nothing is walked,
// since no directory follows.
std::string option_kind(const std::string &opt) {
    RunResult r = run_fsrake2({opt}, RunOptions{{}, "", "", 20});
    if (r.err.find(opt + " requires argument") != std::string::npos) return "value";
    if (r.err.find("Unknown option") != std::string::npos) return "unknown";
    return "flag";
}

}  // namespace

// ---- the manual page ----------------------------------------------------------

TEST(ManPage, RendersWithoutWarnings) {
    ASSERT_TRUE(have_command("groff")) << "groff is needed to check the page";
    RunResult g = run_command({"groff", "-ww", "-z", "-man", kPage});
    EXPECT_EQ(g.status, 0);
    EXPECT_EQ(g.err, "") << "groff warns about the page";

    if (have_command("man")) {
        std::string out;
        int st = sh("MANWIDTH=80 MANPAGER=cat PAGER=cat man --warnings -l " + shell_quote(kPage) +
                        " 2>&1 >/dev/null",
                    &out);
        EXPECT_EQ(st, 0);
        EXPECT_EQ(out, "") << "man --warnings complains about the page";
    }
    if (have_command("lexgrog")) {  // what mandb reads for whatis and apropos
        std::string out;
        EXPECT_EQ(sh("lexgrog " + shell_quote(kPage), &out), 0) << out;
        EXPECT_NE(out.find("fsrake2 - "), std::string::npos) << out;
    }
}

TEST(ManPage, DocumentsEveryOptionOfTheUsageTextAsTheToolTakesIt) {
    std::vector<std::string> usage = usage_options(usage_text());
    ASSERT_GE(usage.size(), 10u) << "the usage text lists fewer options than expected";
    std::map<std::string, PageOption> page = page_options();

    for (const std::string &opt : usage)
        EXPECT_TRUE(page.count(opt)) << opt << " is in the usage text but has no item in OPTIONS";

    // And the other way round: every option the page documents is one the
    // tool accepts, with a value exactly when the tool wants one.
    for (const auto &[opt, item] : page) {
        std::string kind = option_kind(opt);
        EXPECT_NE(kind, "unknown") << "the page documents " << opt << ", which the tool rejects";
        EXPECT_EQ(item.takes_value, kind == "value")
            << opt << (item.takes_value ? " is shown with a value but takes none"
                                        : " takes a value the page does not show");
    }

    // The synopsis names every option of the usage text too.
    std::string synopsis;
    for (const std::string &l : page_section("SYNOPSIS")) synopsis += roff_text(l) + " ";
    for (const std::string &opt : usage) {
        if (opt.size() == 2) continue;  // short forms stand beside their long ones in OPTIONS
        EXPECT_NE(synopsis.find(opt + " "), std::string::npos) << opt << " is missing from SYNOPSIS";
    }
}

TEST(ManPage, GivesTheDefaultsAndLimitsOfTheUsageText) {
    // "--threads n   Worker threads (default 64, max 1024)": both numbers
    // must be in the option's item.
    std::map<std::string, PageOption> page = page_options();
    static const std::regex line(R"(^\s*(--[A-Za-z-]+).*\(default (\d+)(?:, max (\d+))?\))");
    int checked = 0;
    for (const std::string &l : split_lines(usage_text())) {
        std::smatch m;
        if (!std::regex_search(l, m, line)) continue;
        ASSERT_TRUE(page.count(m[1])) << m[1];
        const std::string &body = page[m[1]].body;
        EXPECT_NE(body.find("Default " + m[2].str()), std::string::npos)
            << m[1] << ": the page does not give the default " << m[2];
        if (m[3].matched) {
            EXPECT_NE(body.find(m[3].str()), std::string::npos)
                << m[1] << ": the page does not give the limit " << m[3];
        }
        checked++;
    }
    EXPECT_GE(checked, 2) << "no numeric default found in the usage text";
}

TEST(ManPage, CarriesTheVersionAndTheHeaderLineOfTheTool) {
    RunResult v = run_fsrake2({"--version"});
    ASSERT_EQ(v.status, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(v.err, m, std::regex(R"(fsrake2 version (\S+))"))) << v.err;
    std::string th;
    for (const std::string &l : split_lines(read_file(kPage)))
        if (l.rfind(".TH ", 0) == 0) th = l;
    EXPECT_NE(th.find("\"fsrake2 " + m[1].str() + "\""), std::string::npos)
        << "the page's title line does not carry version " << m[1] << ": " << th;
    // The version text is quoted whole in the page.
    std::string page = flatten(rendered_page());
    EXPECT_NE(page.find(flatten(v.err)), std::string::npos) << "the page quotes another version text";

    // The header line, the last line of the usage text, is in the page (on
    // several lines there), and every column has its numbered item.
    std::vector<std::string> usage = split_lines(usage_text());
    ASSERT_FALSE(usage.empty());
    std::string header = usage.back();
    std::vector<std::string> src = page_section("OUTPUT");
    std::string shown;
    for (size_t i = 0; i < src.size(); i++) {
        if (src[i] != ".EX") continue;
        for (size_t j = i + 1; j < src.size() && src[j] != ".EE"; j++) shown += replace_all(src[j], "\\-", "-");
        break;
    }
    EXPECT_EQ(shown, header) << "the header line in OUTPUT differs from the tool's";

    std::vector<std::string> columns;
    std::stringstream hs(header);
    for (std::string c; std::getline(hs, c, ',');) columns.push_back(replace_all(c, "\"", ""));
    ASSERT_EQ(columns.size(), 17u);
    for (size_t i = 0; i < columns.size(); i++)
        EXPECT_NE(page.find(std::to_string(i + 1) + " " + columns[i] + " \u2014 "), std::string::npos)
            << "column " << i + 1 << " (" << columns[i] << ") has no item of its own";
}

TEST(ManPage, DescribesTheMessagesAndExitStatusesTheToolReallyGives) {
    TempDir t;
    make_dirs(t / "tree/sub");
    write_file(t / "tree/sub/f.txt", "x");
    write_file(t / "plain", "not a directory");
    std::string page = flatten(rendered_page());
    std::string statuses;
    for (const std::string &l : page_section("EXIT STATUS")) statuses += roff_text(l) + " ";

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // the fixed part, as the page must show it too
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, 1, "Unknown option: "},
        {{"--threads"}, 1, "--threads requires argument"},
        {{"--header"}, 1, "fsrake2: missing directory argument"},
        {{"--exclude", t / "none.txt", t / "tree"}, 1, "fsrake2: could not open exclude file: "},
        {{t / "missing"}, 2, "fsrake2: statx '"},
        {{"--threads", "2", t / "plain"}, 20, "fsrake2: cannot read directory '"},
        {{"--threads", "2", t / "tree"}, 0, "fsrake2 done: "},
    };
    for (const Case &c : cases) {
        RunResult r = run_fsrake2(c.args, RunOptions{{}, "", "", 60});
        std::string what = c.args[0] + (c.args.size() > 1 ? " ..." : "");
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": the tool no longer says \""
                                                            << c.message << "\"\n" << r.err;
        EXPECT_NE(page.find(c.message), std::string::npos) << "the page does not show \"" << c.message << "\"";
    }
    // Without any argument: the usage text on standard output and status 1.
    RunResult none = run_fsrake2({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, usage_text());
    for (const char *s : {"0 ", "1 ", "3 ", "errno "})
        EXPECT_NE(statuses.find(s), std::string::npos) << "EXIT STATUS lacks " << s;
    // Not being root is only a warning; the page says what it means.
    if (!running_as_root()) {
        RunResult r = run_fsrake2({"--threads", "1", t / "tree"});
        EXPECT_NE(r.err.find("unable to setuid root"), std::string::npos);
    }
    EXPECT_NE(page.find("unable to setuid root; not all files may be processed"), std::string::npos);
}

// The SQLite and exclude-file examples of the page, run as they are written,
// with the example folder replaced by a small tree.
TEST(ManPage, ExamplesWorkAsWritten) {
    if (!have_command("sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
    std::vector<std::string> page = split_lines(rendered_page());
    TempDir t;
    const std::string tree = t / "data";
    make_dirs(tree + "/docs");
    make_dirs(tree + "/cache/deep");
    make_dirs(tree + "/.git/objects");
    write_file(tree + "/docs/a.pdf", std::string(3000, 'p'));
    write_file(tree + "/docs/b.pdf", std::string(1000, 'p'));
    write_file(tree + "/docs/notes.txt", "n");
    write_file(tree + "/docs/odd, \"name\"\nwith a line feed.txt", "odd");
    write_file(tree + "/cache/deep/blob.bin", std::string(9000, 'c'));
    write_file(tree + "/.git/objects/pack.idx", "g");

    // The lines of the example block that starts with `first`, up to its end.
    auto example = [&](const std::string &first) {
        std::vector<std::string> cmds;
        for (size_t i = 0; i < page.size(); i++) {
            if (trim(page[i]) != first) continue;
            for (size_t j = i; j < page.size() && !trim(page[j]).empty(); j++) cmds.push_back(trim(page[j]));
            break;
        }
        return cmds;
    };
    // Standard output of the whole example; standard error goes to *err.
    auto run_example = [&](std::vector<std::string> cmds, std::string *err) {
        std::string script = "set -e; cd " + shell_quote(t.path()) + "\n";
        for (std::string c : cmds) {
            c = replace_all(c, "/srv/data", tree);
            if (c.rfind("fsrake2 ", 0) == 0) c = std::string(FR2_BINARY) + " --threads 4" + c.substr(7);
            script += c + "\n";
        }
        RunResult r = run_command({"/bin/sh", "-c", script}, RunOptions{{}, "", "", 120});
        *err = r.err;
        EXPECT_EQ(r.status, 0) << script << r.err;
        return r.out;
    };
    auto query = [&](const std::string &sql) {
        RunResult r = run_command({"sqlite3", t / "scan.db", sql});
        EXPECT_EQ(r.status, 0) << sql << r.err;
        return trim(replace_all(r.out, "\n", ""));
    };

    // Load into SQLite: three commands, the last on three lines.
    std::vector<std::string> load = example("fsrake2 --header /srv/data > scan.csv");
    ASSERT_EQ(load.size(), 5u) << "the SQLite example is not where it was";
    EXPECT_EQ(load[1], "sqlite3 scan.db '.import --csv scan.csv entries'");
    std::string err;
    std::string out = run_example(load, &err);
    bool ok = false;
    std::vector<Row> rows = parse_csv(read_file(t / "scan.csv"), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(query("SELECT count(*) FROM entries"), std::to_string(rows.size() - 1))
        << "every line but the header is a row";
    // The query's answer: the largest extensions among files, biggest first.
    std::vector<std::string> answer = split_lines(out);
    ASSERT_GE(answer.size(), 3u) << out << err;
    EXPECT_EQ(answer[0], "bin|1|9000");
    EXPECT_EQ(answer[1], "pdf|2|4000");
    EXPECT_EQ(query("SELECT count(*) FROM entries WHERE filename LIKE "
                    "'%/odd, \"name\"' || char(10) || 'with a line feed.txt'"),
              "1")
        << "a name with a comma, quotes and a line feed is one row";

    // Exclude file: the two directories are counted in the top directory but
    // neither they nor anything below them is listed.
    std::vector<std::string> excl = example("printf '%s\\n' /srv/data/cache /srv/data/.git > skip.txt");
    ASSERT_EQ(excl.size(), 2u) << "the exclude example is not where it was";
    run_example(excl, &err);
    rows = parse_csv(read_file(t / "scan.csv"), &ok);
    ASSERT_TRUE(ok);
    std::set<std::string> paths;
    for (const Row &r : rows) {
        ASSERT_EQ(r.size(), COL_COUNT);
        paths.insert(r[COL_PATH]);
    }
    EXPECT_TRUE(paths.count(tree + "/docs/a.pdf"));
    for (const std::string &p : paths) {
        EXPECT_EQ(p.find("/cache"), std::string::npos) << p;
        EXPECT_EQ(p.find("/.git"), std::string::npos) << p;
    }
    for (const Row &r : rows) {
        if (r[COL_PATH] != tree) continue;
        EXPECT_EQ(r[COL_FCOUNT], "3") << "docs, cache and .git are counted in the top directory";
    }
}

// ---- bash completion ------------------------------------------------------------

namespace {

// Completes the words (the last one is the word under the cursor) the way
// bash does on TAB, and returns the candidates. With `full`, bash-completion's
// own helpers are loaded first, as in an interactive shell of a Debian system.
std::vector<std::string> complete_words(const std::vector<std::string> &words, const std::string &cwd,
                                        bool full, std::string *err = nullptr) {
    std::string line;
    std::string arr;
    for (const std::string &w : words) {
        line += (line.empty() ? "" : " ") + w;
        arr += " " + shell_quote(w);
    }
    std::string script = "cd " + shell_quote(cwd) + " || exit 9\n";
    if (full) script += "source /usr/share/bash-completion/bash_completion || exit 9\n";
    script += "source " + shell_quote(kCompletion) + " || exit 9\n" +
              "registered=$(complete -p fsrake2) || exit 8\n"
              "fn=${registered#*-F }; fn=${fn%% *}\n"
              "COMP_WORDS=(" + arr + " )\n"
              "COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))\n"
              "COMP_LINE=" + shell_quote(line) + "\n"
              "COMP_POINT=${#COMP_LINE}\n"
              "COMPREPLY=()\n"
              "\"$fn\" fsrake2 \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
              "for c in \"${COMPREPLY[@]}\"; do printf '%s\\0' \"$c\"; done\n";
    RunResult r = run_command({"bash", "--norc", "--noprofile", "-c", script});
    EXPECT_EQ(r.status, 0) << "the completion script failed: " << r.err;
    if (err) *err = r.err;
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

std::vector<bool> completion_modes() {
    std::vector<bool> modes = {false};
    struct stat st;
    if (stat("/usr/share/bash-completion/bash_completion", &st) == 0) modes.push_back(true);
    return modes;
}

using Words = std::vector<std::string>;

}  // namespace

TEST(BashCompletion, CompletesOptionsAsTheToolKnowsThem) {
    ASSERT_TRUE(have_command("bash"));
    TempDir t;
    std::vector<std::string> usage = usage_options(usage_text());
    for (bool full : completion_modes()) {
        SCOPED_TRACE(full ? "with bash-completion loaded" : "plain bash");
        std::string err;
        EXPECT_EQ(complete_words({"fsrake2", "--th"}, t.path(), full, &err), Words{"--threads"});
        EXPECT_EQ(err, "") << "the script writes to standard error";
        EXPECT_EQ(complete_words({"fsrake2", "--ring"}, t.path(), full), Words{"--ring-depth"});
        EXPECT_EQ(complete_words({"fsrake2", "--depth", "3", "--N"}, t.path(), full), Words{"--NoSnap"});

        // A lone dash offers every option of the usage text, and nothing the
        // tool would reject.
        std::vector<std::string> all = complete_words({"fsrake2", "-"}, t.path(), full);
        for (const std::string &opt : usage)
            EXPECT_TRUE(std::count(all.begin(), all.end(), opt)) << opt << " is not offered";
        if (!full) {
            for (const std::string &opt : all) EXPECT_NE(option_kind(opt), "unknown") << opt;
        }
    }
}

TEST(BashCompletion, CompletesFilesAfterExcludeAndDirectoriesForTheTree) {
    TempDir t;
    write_file(t / "skip list.txt", "a\n");
    write_file(t / "skip2.txt", "b\n");
    write_file(t / "other", "");
    make_dir(t / "sub");
    make_dir(t / "sub2");
    for (bool full : completion_modes()) {
        SCOPED_TRACE(full ? "with bash-completion loaded" : "plain bash");
        // After --exclude: files, and folders to reach files in them.
        EXPECT_EQ(complete_words({"fsrake2", "--exclude", ""}, t.path(), full),
                  (Words{"other", "skip list.txt", "skip2.txt", "sub", "sub2"}));
        EXPECT_EQ(complete_words({"fsrake2", "--header", "--exclude", "sk"}, t.path(), full),
                  (Words{"skip list.txt", "skip2.txt"}));
        // The directory argument: folders only, after any options.
        EXPECT_EQ(complete_words({"fsrake2", ""}, t.path(), full), (Words{"sub", "sub2"}));
        EXPECT_EQ(complete_words({"fsrake2", "--exclude", "other", "-x", "s"}, t.path(), full),
                  (Words{"sub", "sub2"}));
        // A value that looks like an option is still a value.
        EXPECT_EQ(complete_words({"fsrake2", "--depth", "--header", ""}, t.path(), full), (Words{"sub", "sub2"}));
        // Nothing where no name can help: numbers, after the directory (the
        // tool ignores the rest of the line), after --help.
        EXPECT_EQ(complete_words({"fsrake2", "--threads", ""}, t.path(), full), Words{});
        EXPECT_EQ(complete_words({"fsrake2", "sub", ""}, t.path(), full), Words{});
        EXPECT_EQ(complete_words({"fsrake2", "sub", "--"}, t.path(), full), Words{});
        EXPECT_EQ(complete_words({"fsrake2", "--help", ""}, t.path(), full), Words{});
    }
}

// ---- cmake --install ---------------------------------------------------------------

TEST(Install, PutsBinaryPageAndCompletionInPlaceWithoutSetuid) {
    TempDir t;
    RunResult r = run_command({FR2_CMAKE_COMMAND, "--install", FR2_BUILD_DIR, "--component", "fsrake2",
                               "--prefix", t / "usr"},
                              RunOptions{{}, "", "", 120});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    struct stat st;
    const std::string bin = t / "usr/bin/fsrake2";
    ASSERT_EQ(stat(bin.c_str(), &st), 0) << "no bin/fsrake2";
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "the binary must be installed 0755, never set-user-ID";
    RunResult v = run_command({bin, "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_NE(v.err.find("fsrake2 version "), std::string::npos);

    const std::string gz = t / "usr/share/man/man1/fsrake2.1.gz";
    const std::string plain = t / "usr/share/man/man1/fsrake2.1";
    std::string page;
    if (stat(gz.c_str(), &st) == 0) {
        ASSERT_EQ(sh("gzip -dc " + shell_quote(gz), &page), 0);
    } else {
        ASSERT_EQ(stat(plain.c_str(), &st), 0) << "no manual page in share/man/man1";
        page = read_file(plain);
    }
    EXPECT_EQ(page, read_file(kPage));
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const std::string comp = t / "usr/share/bash-completion/completions/fsrake2";
    ASSERT_EQ(stat(comp.c_str(), &st), 0) << "no completion in share/bash-completion/completions";
    EXPECT_EQ(read_file(comp), read_file(kCompletion));
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // man finds the page under the prefix by its name.
    if (have_command("man")) {
        std::string where;
        EXPECT_EQ(sh("man -M " + shell_quote(t / "usr/share/man") + " -w fsrake2", &where), 0) << where;
        EXPECT_NE(where.find("man1/fsrake2.1"), std::string::npos) << where;
    }
}
