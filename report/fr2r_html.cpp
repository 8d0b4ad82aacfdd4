// The HTML page: every report as a table and a chart, in one file that needs
// nothing else. No script at all, and a content policy that would block one
// anyway; every name from the scan goes through fr2r_html_escape.
#include <inttypes.h>
#include <time.h>

#include "fr2r.h"

namespace {

const char *const k_colors[] = {"#3b6ea5", "#e08a2e", "#4c9a52", "#c4473f", "#8a5fb0",
                                "#7f6a4d", "#d36fb0", "#6f6f6f", "#a8a82c", "#2aa5b5"};

std::string fmt_cell(const fr2r_column &col, const fr2r_cell &c) {
    if (c.null) return "<span class=\"none\">&ndash;</span>";
    int kind = c.kind >= 0 ? c.kind : col.kind;
    char buf[64];
    switch (kind) {
    case FR2R_TEXT: return fr2r_html_escape(c.s);
    case FR2R_BYTES:
        return "<span title=\"" + std::to_string(c.i) + " bytes\">" +
               fr2r_html_escape(fr2r_human_bytes(c.i)) + "</span>";
    case FR2R_PCT: snprintf(buf, sizeof buf, "%.1f%%", c.d); return buf;
    case FR2R_TIME: {
        time_t t = (time_t)c.i;
        struct tm tm;
        if (!localtime_r(&t, &tm)) return std::to_string(c.i);
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
        return buf;
    }
    default: return std::to_string(c.i);
    }
}

std::string html_table(const fr2r_table &t) {
    std::string o = "<table class=\"data\" id=\"t-" + fr2r_html_escape(t.name) + "\">\n<tr>";
    for (const auto &c : t.cols)
        o += std::string("<th") + (c.kind == FR2R_TEXT ? " class=\"l\"" : "") + ">" +
             fr2r_html_escape(c.name) + "</th>";
    o += "</tr>\n";
    for (const auto &r : t.rows) {
        o += "<tr>";
        for (size_t i = 0; i < t.cols.size() && i < r.size(); i++)
            o += std::string("<td") + (t.cols[i].kind == FR2R_TEXT ? " class=\"l\"" : "") + ">" +
                 fmt_cell(t.cols[i], r[i]) + "</td>";
        o += "</tr>\n";
    }
    if (t.rows.empty())
        o += "<tr><td colspan=\"" + std::to_string(t.cols.size()) + "\">(nothing)</td></tr>\n";
    o += "</table>\n";
    if (!t.note.empty()) o += "<p class=\"note\">" + fr2r_html_escape(t.note) + "</p>\n";
    return o;
}

struct bar {
    std::string label;  // raw bytes from the scan or ours; escaped here
    int64_t value;
};

std::string short_label(const std::string &s, size_t max) {
    std::string e = fr2r_term_escape(s);
    // Keep the end of long paths: the last names say the most.
    size_t chars = 0;
    for (unsigned char c : e)
        if ((c & 0xc0) != 0x80) chars++;
    if (chars <= max) return e;
    size_t skip = chars - (max - 1), i = 0;
    while (skip > 0 && i < e.size()) {
        i++;
        while (i < e.size() && ((unsigned char)e[i] & 0xc0) == 0x80) i++;
        skip--;
    }
    return "\xe2\x80\xa6" + e.substr(i);  // an ellipsis
}

// Horizontal bars, one per row, the value written beside each.
std::string svg_hbars(const std::string &id, const std::string &title, const std::vector<bar> &bars,
                      bool bytes) {
    const int w = 900, label_w = 300, row_h = 22, top = 28;
    int h = top + row_h * (int)bars.size() + 10;
    int64_t max = 1;
    for (const auto &b : bars) {
        int64_t v = b.value < 0 ? -b.value : b.value;
        if (v > max) max = v;
    }
    std::string o = "<svg class=\"chart\" id=\"c-" + id + "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(w) + "\" height=\"" + std::to_string(h) + "\" role=\"img\">\n";
    o += "<title>" + fr2r_html_escape(title) + "</title>\n";
    o += "<text x=\"0\" y=\"16\" class=\"ct\">" + fr2r_html_escape(title) + "</text>\n";
    int avail = w - label_w - 110;
    for (size_t i = 0; i < bars.size(); i++) {
        int y = top + (int)i * row_h;
        int64_t v = bars[i].value < 0 ? -bars[i].value : bars[i].value;
        int len = (int)((double)v / (double)max * avail);
        if (len < 1 && v > 0) len = 1;
        std::string val = bytes ? fr2r_human_bytes(bars[i].value) : std::to_string(bars[i].value);
        o += "<g><title>" + fr2r_html_escape(bars[i].label) + ": " + fr2r_html_escape(val) +
             "</title>";
        o += "<text x=\"" + std::to_string(label_w - 6) + "\" y=\"" + std::to_string(y + 15) +
             "\" text-anchor=\"end\">" + fr2r_html_escape(short_label(bars[i].label, 42)) +
             "</text>";
        o += "<rect x=\"" + std::to_string(label_w) + "\" y=\"" + std::to_string(y + 3) +
             "\" width=\"" + std::to_string(len) + "\" height=\"" + std::to_string(row_h - 6) +
             "\" fill=\"" + (bars[i].value < 0 ? "#c4473f" : k_colors[i % 10]) + "\"/>";
        o += "<text x=\"" + std::to_string(label_w + len + 6) + "\" y=\"" +
             std::to_string(y + 15) + "\">" + fr2r_html_escape(val) + "</text></g>\n";
    }
    return o + "</svg>\n";
}

// Vertical bars for a histogram, labels under the bars.
std::string svg_vbars(const std::string &id, const std::string &title, const std::vector<bar> &bars,
                      bool bytes, const char *color) {
    const int w = 900, h = 300, left = 70, bottom = 70, top = 30;
    int n = bars.empty() ? 1 : (int)bars.size();
    int slot = (w - left - 10) / n;
    int64_t max = 1;
    for (const auto &b : bars)
        if (b.value > max) max = b.value;
    std::string o = "<svg class=\"chart\" id=\"c-" + id + "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(w) + "\" height=\"" + std::to_string(h) + "\" role=\"img\">\n";
    o += "<title>" + fr2r_html_escape(title) + "</title>\n";
    o += "<text x=\"0\" y=\"16\" class=\"ct\">" + fr2r_html_escape(title) + "</text>\n";
    int plot = h - top - bottom;
    o += "<line x1=\"" + std::to_string(left) + "\" y1=\"" + std::to_string(h - bottom) +
         "\" x2=\"" + std::to_string(w - 5) + "\" y2=\"" + std::to_string(h - bottom) +
         "\" stroke=\"#888\"/>\n";
    std::string maxs = bytes ? fr2r_human_bytes(max) : std::to_string(max);
    o += "<text x=\"" + std::to_string(left - 4) + "\" y=\"" + std::to_string(top + 4) +
         "\" text-anchor=\"end\">" + fr2r_html_escape(maxs) + "</text>\n";
    for (size_t i = 0; i < bars.size(); i++) {
        int x = left + (int)i * slot;
        int bh = (int)((double)(bars[i].value < 0 ? 0 : bars[i].value) / (double)max * plot);
        if (bh < 1 && bars[i].value > 0) bh = 1;
        std::string val = bytes ? fr2r_human_bytes(bars[i].value) : std::to_string(bars[i].value);
        o += "<g><title>" + fr2r_html_escape(bars[i].label) + ": " + fr2r_html_escape(val) +
             "</title><rect x=\"" + std::to_string(x + 2) + "\" y=\"" +
             std::to_string(h - bottom - bh) + "\" width=\"" + std::to_string(slot - 4) +
             "\" height=\"" + std::to_string(bh) + "\" fill=\"" + color + "\"/>";
        int lx = x + slot / 2, ly = h - bottom + 12;
        o += "<text x=\"" + std::to_string(lx) + "\" y=\"" + std::to_string(ly) +
             "\" text-anchor=\"end\" transform=\"rotate(-35 " + std::to_string(lx) + " " +
             std::to_string(ly) + ")\">" + fr2r_html_escape(bars[i].label) + "</text></g>\n";
    }
    return o + "</svg>\n";
}

const fr2r_table *find_table(const std::vector<fr2r_table> &v, const std::string &name) {
    for (const auto &t : v)
        if (t.name == name) return &t;
    return nullptr;
}

int col_of(const fr2r_table &t, const std::string &name) {
    for (size_t i = 0; i < t.cols.size(); i++)
        if (t.cols[i].name == name) return (int)i;
    return -1;
}

// Bars from a table: the label from one column (or two joined), the value from another.
std::vector<bar> bars_of(const fr2r_table &t, const char *label_col, const char *label2,
                         const char *value_col, size_t max) {
    std::vector<bar> b;
    int lc = col_of(t, label_col), lc2 = label2 ? col_of(t, label2) : -1, vc = col_of(t, value_col);
    if (lc < 0 || vc < 0) return b;
    for (size_t i = 0; i < t.rows.size() && b.size() < max; i++) {
        const auto &r = t.rows[i];
        bar x;
        const fr2r_cell &l = r[lc];
        if (l.null) x.label = "(none)";
        else if (t.cols[lc].kind == FR2R_TEXT) x.label = l.s;
        else if (t.cols[lc].kind == FR2R_BYTES) x.label = fr2r_human_bytes(l.i);
        else x.label = std::to_string(l.i);
        if (lc2 >= 0 && !r[lc2].null) x.label += " " + r[lc2].s;
        x.value = r[vc].i;
        b.push_back(x);
    }
    return b;
}

void section(std::string *o, const char *id, const char *title) {
    *o += std::string("<section id=\"") + id + "\"><h2>" + title + "</h2>\n";
}

}  // namespace

int fr2r_write_html(FILE *f, sqlite3 *db, const fr2r_scan &s, const fr2r_report_options &o) {
    fr2r_report_options ro = o;
    std::vector<fr2r_table> summary, users, groups, exts, ages, sizes, biggest, diff;
    if (fr2r_report_summary(db, s, ro, &summary) != 0) return -1;
    if (fr2r_report_owners(db, s, ro, false, &users) != 0) return -1;
    if (fr2r_report_owners(db, s, ro, true, &groups) != 0) return -1;
    if (fr2r_report_extensions(db, s, ro, &exts) != 0) return -1;
    if (fr2r_report_ages(db, s, ro, &ages) != 0) return -1;
    if (fr2r_report_sizes(db, s, ro, &sizes) != 0) return -1;
    ro.by = "";
    if (fr2r_report_biggest(db, s, ro, &biggest) != 0) return -1;
    // Growth: from the scan before this one in the same database, if any.
    std::vector<fr2r_scan> scans;
    if (fr2r_list_scans(db, &scans) != 0) return -1;
    const fr2r_scan *prev = nullptr;
    for (const auto &x : scans)
        if (x.id < s.id) prev = &x;
    if (prev && fr2r_report_diff(db, *prev, db, s, ro, &diff) != 0) return -1;

    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    h += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'\">\n";
    h += "<title>fsrake2 report: " + fr2r_html_escape(s.root.empty() ? s.label : s.root) +
         "</title>\n";
    h += "<style>\n"
         "body{font-family:'DejaVu Sans',Helvetica,Arial,sans-serif;margin:24px;color:#222;"
         "background:#fff;font-size:14px}\n"
         "h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;border-bottom:1px solid #ccc;"
         "padding-bottom:3px;margin-top:32px}\n"
         "table.data{border-collapse:collapse;margin:8px 0}table.data td,table.data th{"
         "padding:2px 10px;text-align:right;border-bottom:1px solid #eee;white-space:nowrap}\n"
         "table.data .l{text-align:left;white-space:pre-wrap;word-break:break-all}"
         "table.data th{background:#f2f2f2}\n"
         ".note{color:#666;font-size:12px;margin:2px 0 10px}.none{color:#aaa}\n"
         "svg.chart{display:block;margin:10px 0;font-size:11px;font-family:inherit}"
         "svg.chart text.ct{font-size:13px;font-weight:bold}\n"
         "nav a{margin-right:12px}\n"
         ".warn{border:2px solid #b8860b;background:#fff8e1;padding:4px 12px;margin:10px 0}"
         ".warn p{margin:4px 0;white-space:pre-wrap;overflow-wrap:anywhere}\n"
         "</style>\n</head>\n<body>\n";
    h += "<h1>Where the space is: " + fr2r_html_escape(s.root.empty() ? "(no root line)" : s.root) +
         "</h1>\n";
    char when[64] = "";
    time_t t = (time_t)s.scan_time;
    struct tm tm;
    if (localtime_r(&t, &tm)) strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    h += "<p class=\"note\">scan " + std::to_string(s.id) + " &ldquo;" + fr2r_html_escape(s.label) +
         "&rdquo;, taken " + when + ", " + std::to_string(s.lines) + " lines</p>\n";
    std::vector<std::string> warnings = fr2r_scan_warnings(s, 50);
    if (!warnings.empty()) {
        h += "<div class=\"warn\" id=\"incomplete\">";
        for (const auto &w : warnings) h += "<p>" + fr2r_html_escape(w) + "</p>";
        h += "</div>\n";
    }
    h += "<nav><a href=\"#summary\">Summary</a><a href=\"#users\">Users</a><a href=\"#groups\">"
         "Groups</a><a href=\"#extensions\">Extensions</a><a href=\"#ages\">Ages</a><a "
         "href=\"#sizes\">Sizes</a><a href=\"#biggest\">Biggest</a><a href=\"#growth\">Growth</a>"
         "</nav>\n";

    section(&h, "summary", "Summary");
    h += html_table(summary[0]) + "</section>\n";

    section(&h, "users", "Space by user");
    h += svg_hbars("users", "Size by user", bars_of(users[0], "uid", "user", "size", 15), true);
    h += html_table(users[0]) + "</section>\n";

    section(&h, "groups", "Space by group");
    h += svg_hbars("groups", "Size by group", bars_of(groups[0], "gid", "group", "size", 15), true);
    h += html_table(groups[0]) + "</section>\n";

    section(&h, "extensions", "Space by file extension");
    h += svg_hbars("extensions", "Size by extension",
                   bars_of(exts[0], "extension", nullptr, "size", 15), true);
    h += html_table(exts[0]) + "</section>\n";

    section(&h, "ages", "How old the data is");
    h += svg_vbars("ages-mtime", "Size by time since last modification",
                   bars_of(ages[0], "age", nullptr, "size_by_mtime", 64), true, "#3b6ea5");
    h += svg_vbars("ages-atime", "Size by time since last access",
                   bars_of(ages[0], "age", nullptr, "size_by_atime", 64), true, "#e08a2e");
    h += html_table(ages[0]) + "</section>\n";

    section(&h, "sizes", "File sizes");
    h += svg_vbars("sizes", "Files per size class (powers of two)",
                   bars_of(sizes[0], "from", nullptr, "files", 65), false, "#4c9a52");
    h += html_table(sizes[0]) + "</section>\n";

    section(&h, "biggest", "Biggest directories");
    if (const fr2r_table *bt = find_table(biggest, "biggest_tree"))
        h += svg_hbars("biggest", "Biggest directories (everything below them)",
                       bars_of(*bt, "directory", nullptr, "tree_size", 15), true);
    for (const auto &bt : biggest) h += "<h3>" + fr2r_html_escape(bt.title) + "</h3>\n" + html_table(bt);
    h += "</section>\n";

    section(&h, "growth", "Growth since the previous scan");
    if (!prev) {
        h += "<p>This database holds no earlier scan to compare with.</p>\n";
    } else {
        if (const fr2r_table *dt = find_table(diff, "diff_directories"))
            h += svg_hbars("growth", "Growth by directory", bars_of(*dt, "directory", nullptr, "growth", 15),
                           true);
        for (const auto &dt : diff) h += "<h3>" + fr2r_html_escape(dt.title) + "</h3>\n" + html_table(dt);
    }
    h += "</section>\n";
    h += "<p class=\"note\">Made by fsrake2-report. Sizes count a file with several links once.</p>\n";
    h += "</body>\n</html>\n";
    if (fwrite(h.data(), 1, h.size(), f) != h.size()) return -1;
    return 0;
}
