// The HTML page in a real headless Chromium: it renders, its charts are
// there, and a file named like a script shows as text without running.
// GCC 12 warns falsely inside <regex> when it optimizes with the sanitizers
// (std::function in the regex automaton "may be used uninitialized").
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
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

namespace {

// Measures the rendered page from inside the browser and writes the figures
// into the document, where --dump-dom shows them. Only the test's copy of the
// page carries this script (and drops the policy that would block it).
const char *const k_measure = R"JS(<script>
(function () {
  var r = {}, de = document.documentElement;
  r.viewport = de.clientWidth;
  r.overflow = Math.max(de.scrollWidth, document.body.scrollWidth) - de.clientWidth;
  var content = document.body.clientWidth;
  var minText = 1e9;
  document.querySelectorAll('table.data td.l').forEach(function (td) {
    if (td.textContent.length > 4) minText = Math.min(minText, td.getBoundingClientRect().width);
  });
  r.minTextCell = minText;
  var out = 0, narrow = 0, n = 0;
  document.querySelectorAll('svg.chart').forEach(function (s) {
    var b = s.getBoundingClientRect();
    n++;
    if (b.right > de.clientWidth + 1 || b.left < -1) out++;
    if (b.width < Math.min(content, 800) * 0.9) narrow++;
  });
  r.charts = n; r.chartsOutside = out; r.chartsNarrow = narrow;
  var tm = document.getElementById('c-treemap'), tb = tm.getBoundingClientRect();
  var boxes = 0, outside = 0, labels = 0, spill = 0, levels = {};
  tm.querySelectorAll('g').forEach(function (g) {
    var rect = g.querySelector('rect'), text = g.querySelector('text.tl');
    if (!rect) return;
    boxes++;
    levels[rect.getAttribute('class')] = 1;
    var b = rect.getBoundingClientRect();
    if (b.left < tb.left - 1 || b.right > tb.right + 1 || b.bottom > tb.bottom + 1) outside++;
    if (text) {
      labels++;
      var t = text.getBoundingClientRect();
      if (t.right > b.right + 2 || t.left < b.left - 1) spill++;
    }
  });
  r.tmBoxes = boxes; r.tmOutside = outside; r.tmLabels = labels; r.tmSpill = spill;
  r.tmLevels = Object.keys(levels).length;
  r.tmHeight = tb.height;
  var g = document.getElementById('c-growth'), zero = g.querySelector('line').getBoundingClientRect().left;
  var fills = {}, wrongSide = 0;
  g.querySelectorAll('rect.grow, rect.shrink').forEach(function (x) {
    var b = x.getBoundingClientRect(), grow = x.getAttribute('class') == 'grow';
    fills[x.getAttribute('class') + '=' + x.getAttribute('fill')] = 1;
    if (grow ? b.left < zero - 1 : b.right > zero + 1) wrongSide++;
  });
  r.growthFills = Object.keys(fills).sort().join(' ');
  r.growthWrongSide = wrongSide;
  r.trendLines = document.querySelectorAll('polyline.trend').length;
  var pre = document.createElement('pre');
  pre.id = 'measure';
  pre.textContent = 'M ' + Object.keys(r).map(function (k) { return k + '=' + r[k]; }).join(';') + ' ;';
  document.body.appendChild(pre);
})();
</script>)JS";

// The value of key in the measurements ("key=value;").
std::string measured(const std::string &dom, const std::string &key) {
    size_t m = dom.find("M viewport=");
    if (m == std::string::npos) return "";
    size_t k = dom.find(key + "=", m);
    if (k == std::string::npos) return "";
    k += key.size() + 1;
    return dom.substr(k, dom.find(';', k) - k);
}

double measured_num(const std::string &dom, const std::string &key) {
    std::string v = measured(dom, key);
    return v.empty() ? -1e9 : std::stod(v);
}

}  // namespace

// The page at a wide and at a narrow window: nothing sticks out sideways, no
// text column is squeezed to a sliver, charts scale to the page, the map is
// nested rectangles with their names inside, and growth and shrinkage keep
// their own colour on their own side of zero.
TEST(ReportHtml, LayoutHoldsAtWideAndNarrowWindows) {
    TempDir tmp;
    std::string root = tmp / "data", db = tmp / "r.db";
    long long t0 = time(nullptr);
    build_tree(root, t0);
    std::string longdir = root + "/a-folder-with-a-rather-long-name-that-goes-on-and-on";
    make_dirs(longdir + "/and-a-subfolder-with-another-long-name/third-level");
    for (int i = 0; i < 12; i++) {
        std::string d = root + "/top" + std::to_string(i);
        make_dirs(d + "/inner");
        write_file(d + "/inner/f.bin", std::string(4096 * (i + 1), 'x'));
        write_file(d + "/g.dat", std::string(2048 * (12 - i), 'y'));
    }
    write_file(longdir + "/and-a-subfolder-with-another-long-name/third-level/" +
                   std::string(200, 'n') + ".txt",
               std::string(300000, 'z'));
    for (int k = 0; k < 3; k++) {
        scan_to(root, tmp / "s.csv");
        ASSERT_EQ(run_report({"load", "--time", std::to_string(t0 - (3 - k) * 86400 * 7),
                              "--label", "week" + std::to_string(k), tmp / "s.csv", db})
                      .status,
                  0);
        write_file(root + "/top" + std::to_string(k) + "/more.bin", std::string(100000 * (k + 1), 'm'));
    }
    ASSERT_EQ(unlink((root + "/top11/g.dat").c_str()), 0);
    ASSERT_EQ(unlink((root + "/top10/g.dat").c_str()), 0);
    scan_to(root, tmp / "s.csv");
    ASSERT_EQ(run_report({"load", "--time", std::to_string(t0), tmp / "s.csv", db}).status, 0);
    RunResult r = run_report({"html", db});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string &page = r.out;
    // Dates as dates; the growth chart's bars in two fixed colours.
    EXPECT_EQ(page.find("relative to 1"), std::string::npos);
    size_t since = page.find("ages counted back from ");
    ASSERT_NE(since, std::string::npos);
    std::string date = page.substr(since + 23, 10);  // YYYY-MM-DD
    for (size_t i = 0; i < date.size(); i++)
        EXPECT_TRUE(i == 4 || i == 7 ? date[i] == '-' : isdigit((unsigned char)date[i]) != 0) << date;
    EXPECT_NE(page.find("id=\"c-treemap\""), std::string::npos);
    // Space on the page is allocated space: sparse files do not inflate it.
    for (const char *title : {"Allocated space by user", "Allocated space by group",
                              "Allocated space by extension", "Growth of allocated space by directory"})
        EXPECT_NE(page.find(title), std::string::npos) << title;
    EXPECT_NE(page.find("id=\"c-trend-total\""), std::string::npos);
    EXPECT_NE(page.find("id=\"c-trend-users\""), std::string::npos);

    if (!have_command("chromium"))
        GTEST_SKIP() << "chromium is not installed (Debian package chromium): the layout was not "
                        "checked in a browser";
    std::string test_page = page;
    size_t csp = test_page.find("<meta http-equiv=\"Content-Security-Policy\"");
    ASSERT_NE(csp, std::string::npos);
    test_page.erase(csp, test_page.find('>', csp) + 1 - csp);
    size_t end = test_page.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    test_page.insert(end, k_measure);
    std::string path = tmp / "measure.html";
    write_file(path, test_page);
    for (int width : {1400, 800}) {
        SCOPED_TRACE("window width " + std::to_string(width));
        TempDir profile;
        std::vector<std::string> a = chromium_args(profile.path());
        a.push_back("--window-size=" + std::to_string(width) + ",1000");
        a.push_back("--hide-scrollbars");
        a.push_back("--dump-dom");
        a.push_back("file://" + path);
        RunOptions o;
        o.timeout_sec = 180;
        RunResult dom = run_command(a, o);
        ASSERT_EQ(dom.status, 0) << dom.err;
        const std::string &d = dom.out;
        ASSERT_NE(d.find("M viewport="), std::string::npos) << "no measurements: " << dom.err;
        double vw = measured_num(d, "viewport");
        EXPECT_GT(vw, width - 40);
        EXPECT_LE(vw, width);
        EXPECT_LE(measured_num(d, "overflow"), 0) << "the page scrolls sideways";
        EXPECT_GE(measured_num(d, "minTextCell"), 100) << "a text column is squeezed";
        EXPECT_GE(measured_num(d, "charts"), 12);
        EXPECT_EQ(measured_num(d, "chartsOutside"), 0);
        EXPECT_EQ(measured_num(d, "chartsNarrow"), 0) << "charts do not scale with the page";
        EXPECT_GE(measured_num(d, "tmBoxes"), 20);
        EXPECT_GE(measured_num(d, "tmLevels"), 3) << "the map is not nested three deep";
        EXPECT_GE(measured_num(d, "tmLabels"), 10);
        EXPECT_EQ(measured_num(d, "tmOutside"), 0);
        EXPECT_EQ(measured_num(d, "tmSpill"), 0) << "a label runs out of its rectangle";
        EXPECT_GE(measured_num(d, "tmHeight"), 300);
        EXPECT_EQ(measured(d, "growthFills"),
                  "grow=#c4473f shrink=#2f7ebc");
        EXPECT_EQ(measured_num(d, "growthWrongSide"), 0);
        EXPECT_GE(measured_num(d, "trendLines"), 3);  // the total, and a line for each user
    }
}
