// The HTML page in a real headless Chromium: it renders, its charts are
// there, and a file named like a script shows as text without running.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <regex>

#include "harness.h"
#include "test_report_util.h"

using namespace fr2test;
using namespace r2t;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

size_t count_of(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t k = s.find(what); k != std::string::npos; k = s.find(what, k + 1)) n++;
    return n;
}

std::vector<std::string> chromium_args(const std::string &profile) {
    return {"chromium",          "--headless",           "--no-sandbox",
            "--disable-gpu",     "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--no-first-run",
            "--user-data-dir=" + profile};
}

}  // namespace

TEST(ReportHtml, PageRendersInChromiumWithChartsAndInertNames) {
    TempDir tmp;
    std::string root = tmp / "data", db = tmp / "r.db";
    long long t0 = time(nullptr);
    build_tree(root, t0);
    // A path that reads as a script element (a name cannot hold '/', so the
    // closing tag spans a folder and a file), and attribute-borne scripts.
    std::string evil_dir = root + "/<script>document.title='pwned';document.body.id='pwned'<";
    make_dirs(evil_dir);
    write_file(evil_dir + "/script>", std::string(20000, 's'));
    write_file(root + "/<img src=x onerror=\"document.title='pwned'\">.svg", std::string(9000, 'i'));
    write_file(root + "/\"><svg onload=alert(1)>.html", std::string(8000, 'h'));
    scan_to(root, tmp / "1.csv");
    write_file(root + "/grown.bin", std::string(50000, 'g'));
    scan_to(root, tmp / "2.csv");
    ASSERT_EQ(run_report({"load", tmp / "1.csv", db}).status, 0);
    ASSERT_EQ(run_report({"load", tmp / "2.csv", db}).status, 0);
    std::string page_path = tmp / "report.html";
    RunOptions to_file;
    to_file.stdout_path = page_path;
    RunResult r = run_report({"html", db}, to_file);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string page = read_file(page_path);

    // Self-contained: no script, nothing fetched from anywhere.
    std::string lp = lower(page);
    EXPECT_EQ(lp.find("<script"), std::string::npos);
    EXPECT_EQ(lp.find("<img"), std::string::npos);
    EXPECT_EQ(lp.find("<link"), std::string::npos);
    // Names from the scan show these words as text; inside a tag they would act.
    const std::regex active("<[a-z][^<>]*\\s(src|on[a-z]+)\\s*=", std::regex::icase);
    EXPECT_FALSE(std::regex_search(page, active));
    EXPECT_FALSE(std::regex_search(page, std::regex("href=\"[^#]")));  // links within the page only
    EXPECT_EQ(lp.find("url("), std::string::npos);
    std::string no_ns = std::regex_replace(page, std::regex("xmlns=\"http://www.w3.org/2000/svg\""), "");
    EXPECT_EQ(no_ns.find("http:"), std::string::npos);
    EXPECT_EQ(no_ns.find("https:"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;document.title=&#39;pwned&#39;"), std::string::npos);
    EXPECT_NE(page.find("Content-Security-Policy"), std::string::npos);
    for (const char *id : {"c-users", "c-groups", "c-extensions", "c-ages-mtime", "c-ages-atime",
                           "c-sizes", "c-biggest", "c-growth"})
        EXPECT_NE(page.find(std::string("id=\"") + id + "\""), std::string::npos) << id;

    if (!have_command("chromium"))
        GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page was "
                        "checked as text only";
    TempDir profile;
    std::vector<std::string> dump = chromium_args(profile.path());
    dump.push_back("--dump-dom");
    dump.push_back("file://" + page_path);
    RunOptions o;
    o.timeout_sec = 180;
    RunResult dom = run_command(dump, o);
    ASSERT_EQ(dom.status, 0) << dom.err;
    const std::string &d = dom.out;
    ASSERT_NE(d.find("</html>"), std::string::npos) << "no page in the dump: " << dom.err;
    // The browser's own document: the names are text nodes, no element was
    // made from them, and no script changed the document.
    std::string ld = lower(d);
    EXPECT_EQ(ld.find("<script"), std::string::npos);
    EXPECT_EQ(ld.find("<img"), std::string::npos);
    EXPECT_FALSE(std::regex_search(d, active));
    EXPECT_EQ(d.find("id=\"pwned\""), std::string::npos);
    EXPECT_EQ(d.find("<title>pwned"), std::string::npos);
    EXPECT_NE(d.find("&lt;script&gt;document.title='pwned'"), std::string::npos);
    EXPECT_NE(d.find("&lt;img src=x onerror=\"document.title='pwned'\"&gt;.svg"), std::string::npos);
    // The charts: one svg for each, with bars in them.
    EXPECT_GE(count_of(d, "<svg class=\"chart\""), 8u);
    EXPECT_GE(count_of(d, "<rect "), 20u);
    EXPECT_NE(d.find("Growth by directory"), std::string::npos);

    // A screenshot, kept beside the test binaries for people to look at.
    std::string shot = std::string(FR2_TEST_BINARY_DIR) + "/report_screenshot.png";
    unlink(shot.c_str());
    std::vector<std::string> s = chromium_args(profile.path());
    s.push_back("--hide-scrollbars");
    s.push_back("--window-size=1280,2400");
    s.push_back("--screenshot=" + shot);
    s.push_back("file://" + page_path);
    RunResult sr = run_command(s, o);
    ASSERT_EQ(sr.status, 0) << sr.err;
    std::string png = read_file(shot);
    ASSERT_GT(png.size(), 20000u) << "screenshot too small to show a page";
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}
