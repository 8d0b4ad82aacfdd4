// The HTML page: every report as a table and a chart, in one file that needs
// nothing else. No script at all, and a content policy that would block one
// anyway; every name from the scan goes through fr2r_html_escape. Charts are
// inline SVG with a viewBox, so they scale with the page down to 800 px.
#include "fr2r_html.h"

#include <inttypes.h>
#include <math.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <unordered_map>

#include "fr2r_escape.h"
#include "fr2r_query.h"
#include "fr2r_sums.h"

namespace {

// Categories (users, groups, top folders) in the order of their rank.
const char *const k_colors[] = {"#3b6ea5", "#e08a2e", "#4c9a52", "#8a5fb0", "#7f6a4d",
                                "#d36fb0", "#2aa5b5", "#a8a82c", "#6f6f6f", "#c4473f"};
// Growth and shrinkage, always these two.
const char *const k_grow = "#c4473f";
const char *const k_shrink = "#2f7ebc";

std::string num(double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string date_of(int64_t t, bool with_time) {
    time_t tt = (time_t)t;
    struct tm tm;
    char buf[64];
    if (!localtime_r(&tt, &tm)) return std::to_string(t);
    strftime(buf, sizeof buf, with_time ? "%Y-%m-%d %H:%M" : "%Y-%m-%d", &tm);
    return buf;
}

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
    case FR2R_TIME: return date_of(c.i, true);
    default: return std::to_string(c.i);
    }
}

// A table in a box of its own that scrolls sideways when it is wider than
// the page, so the page itself never does.
std::string html_table(const fr2r_table &t) {
    std::string o =
        "<div class=\"tw\"><table class=\"data\" id=\"t-" + fr2r_html_escape(t.name) + "\">\n<tr>";
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
    o += "</table></div>\n";
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
    if (max < 2) return "";
    size_t skip = chars - (max - 1), i = 0;
    while (skip > 0 && i < e.size()) {
        i++;
        while (i < e.size() && ((unsigned char)e[i] & 0xc0) == 0x80) i++;
        skip--;
    }
    return "\xe2\x80\xa6" + e.substr(i);  // an ellipsis
}

std::string svg_open(const std::string &id, int w, int h, const std::string &title) {
    return "<svg class=\"chart\" id=\"c-" + id +
           "\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + std::to_string(w) + " " +
           std::to_string(h) + "\" style=\"max-width:" + std::to_string(w) +
           "px\" role=\"img\">\n<title>" + fr2r_html_escape(title) +
           "</title>\n<text x=\"0\" y=\"16\" class=\"ct\">" + fr2r_html_escape(title) + "</text>\n";
}

std::string value_text(int64_t v, bool bytes) {
    return bytes ? fr2r_human_bytes(v) : std::to_string(v);
}

// Horizontal bars, one per row, the value written beside each.
std::string svg_hbars(const std::string &id, const std::string &title, const std::vector<bar> &bars,
                      bool bytes) {
    const int w = 900, label_w = 300, row_h = 22, top = 28;
    int h = top + row_h * (int)bars.size() + 10;
    int64_t max = 1;
    for (const auto &b : bars)
        if (b.value > max) max = b.value;
    std::string o = svg_open(id, w, h, title);
    int avail = w - label_w - 110;
    for (size_t i = 0; i < bars.size(); i++) {
        int y = top + (int)i * row_h;
        int64_t v = bars[i].value < 0 ? 0 : bars[i].value;
        int len = (int)((double)v / (double)max * avail);
        if (len < 1 && v > 0) len = 1;
        std::string val = value_text(bars[i].value, bytes);
        o += "<g><title>" + fr2r_html_escape(bars[i].label) + ": " + fr2r_html_escape(val) +
             "</title>";
        o += "<text x=\"" + std::to_string(label_w - 6) + "\" y=\"" + std::to_string(y + 15) +
             "\" text-anchor=\"end\">" + fr2r_html_escape(short_label(bars[i].label, 42)) +
             "</text>";
        o += "<rect x=\"" + std::to_string(label_w) + "\" y=\"" + std::to_string(y + 3) +
             "\" width=\"" + std::to_string(len) + "\" height=\"" + std::to_string(row_h - 6) +
             "\" fill=\"" + k_colors[i % 10] + "\"/>";
        o += "<text x=\"" + std::to_string(label_w + len + 6) + "\" y=\"" + std::to_string(y + 15) +
             "\">" + fr2r_html_escape(val) + "</text></g>\n";
    }
    return o + "</svg>\n";
}

// Growth to the right of zero, shrinkage to the left, each in its own colour.
std::string svg_diverging(const std::string &id, const std::string &title,
                          const std::vector<bar> &bars) {
    const int w = 900, label_w = 280, row_h = 22, top = 46;
    int h = top + row_h * (int)bars.size() + 10;
    int center = label_w + (w - label_w) / 2, half = (w - label_w) / 2 - 80;
    int64_t max = 1;
    for (const auto &b : bars) {
        int64_t v = b.value == INT64_MIN ? INT64_MAX : b.value < 0 ? -b.value : b.value;
        if (v > max) max = v;
    }
    std::string o = svg_open(id, w, h, title);
    o += "<rect class=\"key\" x=\"0\" y=\"24\" width=\"12\" height=\"12\" fill=\"" +
         std::string(k_shrink) +
         "\"/><text x=\"16\" y=\"34\">shrank</text><rect class=\"key\" x=\"80\" y=\"24\" "
         "width=\"12\" "
         "height=\"12\" fill=\"" +
         k_grow + "\"/><text x=\"96\" y=\"34\">grew</text>\n";
    o += "<line x1=\"" + std::to_string(center) + "\" y1=\"" + std::to_string(top - 2) +
         "\" x2=\"" + std::to_string(center) + "\" y2=\"" + std::to_string(h - 6) +
         "\" stroke=\"#888\"/>\n";
    for (size_t i = 0; i < bars.size(); i++) {
        int y = top + (int)i * row_h;
        int64_t v = bars[i].value;
        double mag = v < 0 ? -(double)v : (double)v;
        int len = (int)(mag / (double)max * half);
        if (len < 1 && v != 0) len = 1;
        std::string val = (v > 0 ? "+" : "") + fr2r_human_bytes(v);
        int x = v < 0 ? center - len : center;
        o += "<g><title>" + fr2r_html_escape(bars[i].label) + ": " + fr2r_html_escape(val) +
             "</title>";
        o += "<text x=\"" + std::to_string(label_w - 6) + "\" y=\"" + std::to_string(y + 15) +
             "\" text-anchor=\"end\">" + fr2r_html_escape(short_label(bars[i].label, 40)) +
             "</text>";
        o += "<rect class=\"" + std::string(v < 0 ? "shrink" : "grow") + "\" x=\"" +
             std::to_string(x) + "\" y=\"" + std::to_string(y + 3) + "\" width=\"" +
             std::to_string(len) + "\" height=\"" + std::to_string(row_h - 6) + "\" fill=\"" +
             (v < 0 ? k_shrink : k_grow) + "\"/>";
        int tx = v < 0 ? x - 4 : x + len + 4;
        o += "<text x=\"" + std::to_string(tx) + "\" y=\"" + std::to_string(y + 15) + "\"" +
             (v < 0 ? " text-anchor=\"end\"" : "") + ">" + fr2r_html_escape(val) + "</text></g>\n";
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
    std::string o = svg_open(id, w, h, title);
    int plot = h - top - bottom;
    o += "<line x1=\"" + std::to_string(left) + "\" y1=\"" + std::to_string(h - bottom) +
         "\" x2=\"" + std::to_string(w - 5) + "\" y2=\"" + std::to_string(h - bottom) +
         "\" stroke=\"#888\"/>\n";
    o += "<text x=\"" + std::to_string(left - 4) + "\" y=\"" + std::to_string(top + 4) +
         "\" text-anchor=\"end\">" + fr2r_html_escape(value_text(max, bytes)) + "</text>\n";
    for (size_t i = 0; i < bars.size(); i++) {
        int x = left + (int)i * slot;
        int bh = (int)((double)(bars[i].value < 0 ? 0 : bars[i].value) / (double)max * plot);
        if (bh < 1 && bars[i].value > 0) bh = 1;
        std::string val = value_text(bars[i].value, bytes);
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

// ---- treemap

struct rectf {
    double x, y, w, h;
};

// Squarified layout: values (sorted, largest first, all > 0) into r, rows
// along the shorter side, each row as square as it gets.
std::vector<rectf> squarify(const std::vector<double> &vals, rectf r) {
    std::vector<rectf> out(vals.size());
    double total = 0;
    for (double v : vals) total += v;
    if (total <= 0 || r.w <= 0 || r.h <= 0) return out;
    double scale = r.w * r.h / total;
    size_t i = 0;
    rectf cur = r;
    while (i < vals.size()) {
        double side = std::min(cur.w, cur.h);
        size_t j = i;
        double row = 0, worst_prev = INFINITY;
        while (j < vals.size()) {
            double a = vals[j] * scale, s = row + a;
            double big = vals[i] * scale;
            double worst = std::max(side * side * big / (s * s), s * s / (side * side * a));
            if (j > i && worst > worst_prev) break;
            worst_prev = worst;
            row = s;
            j++;
        }
        double thick = side > 0 ? row / side : 0;
        double off = 0;
        bool vertical = cur.w >= cur.h;  // the row stands along the left edge
        for (size_t k = i; k < j; k++) {
            double len = thick > 0 ? vals[k] * scale / thick : 0;
            out[k] = vertical ? rectf{cur.x, cur.y + off, thick, len}
                              : rectf{cur.x + off, cur.y, len, thick};
            off += len;
        }
        if (vertical) {
            cur.x += thick;
            cur.w -= thick;
        } else {
            cur.y += thick;
            cur.h -= thick;
        }
        i = j;
    }
    return out;
}

struct tnode {
    const fr2r_dir_total *dir = nullptr;  // null: the files of a folder, or the rest
    std::string label, tip;
    int64_t value = 0;
    std::vector<size_t> kids;
};

std::string lighten(const char *hex, double f) {
    unsigned v = (unsigned)strtoul(hex + 1, nullptr, 16);
    int c[3] = {(int)(v >> 16) & 255, (int)(v >> 8) & 255, (int)v & 255};
    char buf[16];
    for (int &x : c) x = (int)(x + (255 - x) * f);
    snprintf(buf, sizeof buf, "#%02x%02x%02x", c[0], c[1], c[2]);
    return buf;
}

struct treemap {
    std::vector<tnode> nodes;
    std::vector<std::vector<size_t>> children;  // of each directory, by index into dirs
    const std::vector<fr2r_dir_total> *dirs;
    std::string out;
    int rects = 0;
};

std::string dir_tip(const fr2r_dir_total &d) {
    return fr2r_term_escape(d.path) + "\nallocated " + fr2r_human_bytes(d.tree_alloc) + ", size " +
           fr2r_human_bytes(d.tree_size) + ", " + std::to_string(d.tree_entries) + " entries below";
}

std::string base_of(const std::string &p) {
    size_t k = p.rfind('/');
    return k == std::string::npos || k + 1 == p.size() ? p : p.substr(k + 1);
}

void draw_dir(treemap *tm, size_t di, rectf r, int level, const char *color);

void draw_box(treemap *tm, const std::string &label, const std::string &tip, rectf r, int level,
              const std::string &fill, bool frame) {
    tm->rects++;
    tm->out += "<g><title>" + fr2r_html_escape(tip) + "</title><rect class=\"tm" +
               std::to_string(level) + "\" x=\"" + num(r.x) + "\" y=\"" + num(r.y) + "\" width=\"" +
               num(r.w) + "\" height=\"" + num(r.h) + "\" fill=\"" + fill + "\"/>";
    if (r.w > 30 && r.h > 13) {
        size_t chars = (size_t)((r.w - 6) / 6.2);
        std::string l = short_label(label, chars);
        if (!l.empty())
            tm->out += "<text class=\"tl\" x=\"" + num(r.x + 3) + "\" y=\"" + num(r.y + 11) + "\"" +
                       (frame ? " font-weight=\"bold\"" : "") + ">" + fr2r_html_escape(l) +
                       "</text>";
    }
    tm->out += "</g>\n";
}

// A directory's rectangle and, room allowing, its subfolders inside it.
void draw_dir(treemap *tm, size_t di, rectf r, int level, const char *color) {
    const auto &dirs = *tm->dirs;
    const fr2r_dir_total &d = dirs[di];
    std::string fill = lighten(color, 0.15 * (level - 1));
    bool inner = level < 3 && r.w > 70 && r.h > 45 && !tm->children[di].empty();
    draw_box(tm, base_of(d.path), dir_tip(d), r, level, fill, inner);
    if (!inner) return;
    rectf in{r.x + 3, r.y + 15, r.w - 6, r.h - 18};
    std::vector<size_t> kids;
    int64_t in_kids = 0;
    for (size_t k : tm->children[di])
        if (dirs[k].tree_alloc > 0) {
            kids.push_back(k);
            in_kids = fr2r_add(in_kids, dirs[k].tree_alloc);
        }
    std::sort(kids.begin(), kids.end(), [&](size_t a, size_t b) {
        return dirs[a].tree_alloc != dirs[b].tree_alloc ? dirs[a].tree_alloc > dirs[b].tree_alloc
                                                        : dirs[a].path < dirs[b].path;
    });
    size_t keep = std::min(kids.size(), (size_t)(level == 1 ? 24 : 12));
    int64_t rest = 0;
    for (size_t k = keep; k < kids.size(); k++) rest = fr2r_add(rest, dirs[kids[k]].tree_alloc);
    int64_t own = d.tree_alloc - in_kids;  // the files right in it, and the folder itself
    std::vector<double> vals;
    std::vector<int> what;  // index into kids, -1 files, -2 the rest
    std::vector<std::pair<int64_t, int>> items;
    for (size_t k = 0; k < keep; k++) items.push_back({dirs[kids[k]].tree_alloc, (int)k});
    if (own > 0) items.push_back({own, -1});
    if (rest > 0) items.push_back({rest, -2});
    std::stable_sort(items.begin(), items.end(),
                     [](const std::pair<int64_t, int> &a, const std::pair<int64_t, int> &b) {
                         return a.first > b.first;
                     });
    for (auto &it : items) {
        vals.push_back((double)it.first);
        what.push_back(it.second);
    }
    std::vector<rectf> rs = squarify(vals, in);
    for (size_t i = 0; i < rs.size(); i++) {
        if (what[i] >= 0) {
            draw_dir(tm, kids[(size_t)what[i]], rs[i], level + 1, color);
        } else if (what[i] == -1) {
            draw_box(tm, "(files)",
                     fr2r_term_escape(d.path) + ": its own files\nallocated " +
                         fr2r_human_bytes(own),
                     rs[i], level + 1, "#d9d9d9", false);
        } else {
            draw_box(tm, "(" + std::to_string(kids.size() - keep) + " more)",
                     std::to_string(kids.size() - keep) + " more folders in " +
                         fr2r_term_escape(d.path) + "\nallocated " + fr2r_human_bytes(rest),
                     rs[i], level + 1, "#bfbfbf", false);
        }
    }
}

std::string parent_of(const std::string &p) {
    size_t k = p.rfind('/');
    return k == std::string::npos ? "" : p.substr(0, k);
}

// Nested rectangles by allocated space: the root's folders, theirs, and
// theirs again where there is room, each named, its path and figures in
// its tooltip.
std::string svg_treemap(const std::vector<fr2r_dir_total> &dirs) {
    const int w = 1000, h = 600, top = 26;
    treemap tm;
    tm.dirs = &dirs;
    tm.children.resize(dirs.size());
    std::unordered_map<std::string, size_t> at;
    for (size_t i = 0; i < dirs.size(); i++) at.emplace(dirs[i].path, i);
    std::vector<size_t> tops;  // directories whose parent has no line: the root(s)
    for (size_t i = 0; i < dirs.size(); i++) {
        auto it = at.find(parent_of(dirs[i].path));
        if (it != at.end() && it->second != i)
            tm.children[it->second].push_back(i);
        else
            tops.push_back(i);
    }
    tm.out = svg_open("treemap", w, h + top, "Allocated space by folder (three levels)");
    std::vector<double> vals;
    std::vector<size_t> order;
    // One root: its folders fill the map. Several (a scan without a root
    // line): those folders side by side.
    std::vector<size_t> first = tops.size() == 1 ? tm.children[tops[0]] : tops;
    std::sort(first.begin(), first.end(), [&](size_t a, size_t b) {
        return dirs[a].tree_alloc != dirs[b].tree_alloc ? dirs[a].tree_alloc > dirs[b].tree_alloc
                                                        : dirs[a].path < dirs[b].path;
    });
    int64_t shown = 0;
    for (size_t i : first)
        if (dirs[i].tree_alloc > 0 && order.size() < 30) {
            order.push_back(i);
            vals.push_back((double)dirs[i].tree_alloc);
            shown = fr2r_add(shown, dirs[i].tree_alloc);
        }
    int64_t root_own = tops.size() == 1 ? dirs[tops[0]].tree_alloc - shown : 0;
    if (root_own > 0) vals.push_back((double)root_own);
    std::vector<rectf> rs = squarify(vals, rectf{0, (double)top, (double)w, (double)h});
    for (size_t i = 0; i < order.size(); i++) draw_dir(&tm, order[i], rs[i], 1, k_colors[i % 10]);
    if (root_own > 0)
        draw_box(&tm, "(files and smaller folders)",
                 fr2r_term_escape(dirs[tops[0]].path) +
                     ": its own files and the folders not shown\nallocated " +
                     fr2r_human_bytes(root_own),
                 rs.back(), 1, "#d9d9d9", false);
    if (order.empty() && root_own <= 0)
        tm.out += "<text x=\"10\" y=\"50\">(no allocated space)</text>\n";
    return tm.out + "</svg>\n";
}

// ---- trends

struct series {
    std::string name;
    const char *color;
    std::vector<std::pair<int64_t, int64_t>> points;  // time, bytes
};

std::string svg_trend(const std::string &id, const std::string &title,
                      const std::vector<series> &ss, const std::vector<int64_t> &times) {
    const int w = 900, h = 340, left = 80, right = 170, top = 34, bottom = 50;
    int64_t tmin = times.front(), tmax = times.back(), vmax = 1;
    for (const auto &s : ss)
        for (const auto &p : s.points) vmax = std::max(vmax, p.second);
    double pw = w - left - right, ph = h - top - bottom;
    auto X = [&](int64_t t) {
        return tmax > tmin ? left + pw * (double)(t - tmin) / (double)(tmax - tmin) : left + pw / 2;
    };
    auto Y = [&](int64_t v) { return top + ph - ph * (double)v / (double)vmax; };
    std::string o = svg_open(id, w, h, title);
    for (int k = 0; k <= 4; k++) {
        int64_t v = (int64_t)((double)vmax * k / 4);
        double y = Y(v);
        o += "<line x1=\"" + std::to_string(left) + "\" y1=\"" + num(y) + "\" x2=\"" +
             std::to_string(w - right) + "\" y2=\"" + num(y) +
             "\" stroke=\"#e3e3e3\"/>"
             "<text x=\"" +
             std::to_string(left - 4) + "\" y=\"" + num(y + 4) + "\" text-anchor=\"end\">" +
             fr2r_html_escape(fr2r_human_bytes(v)) + "</text>\n";
    }
    size_t step = times.size() > 8 ? (times.size() + 7) / 8 : 1;
    for (size_t i = 0; i < times.size(); i += step)
        o += "<text x=\"" + num(X(times[i])) + "\" y=\"" + std::to_string(h - bottom + 16) +
             "\" text-anchor=\"middle\">" + date_of(times[i], false) + "</text>\n";
    for (size_t k = 0; k < ss.size(); k++) {
        const series &s = ss[k];
        std::string pts;
        for (const auto &p : s.points) pts += num(X(p.first)) + "," + num(Y(p.second)) + " ";
        o += "<polyline class=\"trend\" fill=\"none\" stroke-width=\"" +
             std::string(k == 0 ? "3" : "2") + "\" stroke=\"" + s.color + "\" points=\"" + pts +
             "\"/>\n";
        for (const auto &p : s.points)
            o += "<circle cx=\"" + num(X(p.first)) + "\" cy=\"" + num(Y(p.second)) +
                 "\" r=\"3\" fill=\"" + s.color + "\"><title>" + fr2r_html_escape(s.name) + ", " +
                 date_of(p.first, true) + ": " + fr2r_human_bytes(p.second) + "</title></circle>\n";
        int ly = top + 4 + (int)k * 18;
        o += "<rect x=\"" + std::to_string(w - right + 12) + "\" y=\"" + std::to_string(ly) +
             "\" width=\"12\" height=\"12\" fill=\"" + s.color + "\"/><text x=\"" +
             std::to_string(w - right + 28) + "\" y=\"" + std::to_string(ly + 10) + "\">" +
             fr2r_html_escape(short_label(s.name, 20)) + "</text>\n";
    }
    return o + "</svg>\n";
}

// The summary for people: its items in words rather than the names scripts read.
fr2r_table summary_in_words(const fr2r_table &t) {
    static const char *const words[][2] = {
        {"lines", "Lines"},
        {"files", "Files (all that are not directories)"},
        {"directories", "Directories"},
        {"regular_files", "Regular files"},
        {"symbolic_links", "Symbolic links"},
        {"other_files", "Other files (devices, sockets, pipes)"},
        {"size", "Size (a file with several links once)"},
        {"size_every_link", "Size, every link counted"},
        {"allocated", "Allocated space (a file with several links once)"},
        {"allocated_every_link", "Allocated space, every link counted"},
        {"files_with_links", "Files with several links"},
        {"extra_links", "Extra links of those files"},
        {"users", "Users"},
        {"groups", "Groups"},
        {"devices", "Devices"},
        {"deepest_level", "Deepest level"},
        {"largest_file", "Largest file"},
        {"oldest_mtime", "Oldest modification"},
        {"newest_mtime", "Newest modification"},
        {"unattached_lines", "Lines whose directory has no line"},
        {"skipped_lines", "Malformed lines skipped"},
    };
    fr2r_table w = t;
    for (auto &row : w.rows)
        for (const auto &x : words)
            if (row[0].s == x[0]) row[0].s = x[1];
    w.note = "Size counts a file with several links once, at its lowest path.";
    if (t.note.find("unattached") != std::string::npos)
        w.note += " Some lines name a directory that has no line of its own.";
    return w;
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
        if (l.null)
            x.label = "(none)";
        else if (t.cols[lc].kind == FR2R_TEXT)
            x.label = l.s;
        else if (t.cols[lc].kind == FR2R_BYTES)
            x.label = fr2r_human_bytes(l.i);
        else
            x.label = std::to_string(l.i);
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
    // The page ranks by allocated space: sparse files can make a tree look
    // far bigger than the disk it is on.
    fr2r_report_options ro = o, alloc = o;
    ro.by = "";
    alloc.by = "allocated";
    std::vector<fr2r_table> summary, users, groups, exts, ages, sizes, biggest, diff, cold;
    if (fr2r_report_summary(db, s, ro, &summary) != 0) return -1;
    if (fr2r_report_owners(db, s, alloc, false, &users) != 0) return -1;
    if (fr2r_report_owners(db, s, alloc, true, &groups) != 0) return -1;
    if (fr2r_report_extensions(db, s, alloc, &exts) != 0) return -1;
    if (fr2r_report_ages(db, s, ro, &ages) != 0) return -1;
    if (fr2r_report_sizes(db, s, ro, &sizes) != 0) return -1;
    if (fr2r_report_biggest(db, s, ro, &biggest) != 0) return -1;
    std::vector<fr2r_table> biggest_alloc;
    fr2r_report_options dirs_alloc = alloc;
    dirs_alloc.by = "allocated";
    if (fr2r_report_biggest(db, s, dirs_alloc, &biggest_alloc) != 0) return -1;
    if (fr2r_report_cold(db, s, ro, &cold) != 0) return -1;
    std::vector<fr2r_dir_total> dirs;
    if (fr2r_q_dirs(db, s, &dirs, nullptr) != 0) return -1;
    // Growth: from the last scan of the same tree before this one, if any.
    std::vector<fr2r_scan> scans;
    if (fr2r_list_scans(db, &scans) != 0) return -1;
    const fr2r_scan *prev = nullptr;
    std::vector<const fr2r_scan *> same_root;
    for (const auto &x : scans) {
        if (x.root != s.root || x.id > s.id) continue;
        same_root.push_back(&x);
        if (x.id < s.id) prev = &x;
    }
    if (prev && fr2r_report_diff(db, *prev, db, s, alloc, &diff) != 0) return -1;

    std::string root_name = s.root.empty() ? "(no root line)" : s.root;
    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    h += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'\">\n";
    h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    h += "<title>fsrake2 report: " + fr2r_html_escape(s.root.empty() ? s.label : s.root) +
         "</title>\n";
    h +=
        "<style>\n"
        "*{box-sizing:border-box}\n"
        "body{font-family:'DejaVu Sans',Helvetica,Arial,sans-serif;margin:0 auto;padding:16px 24px;"
        "max-width:1400px;color:#222;background:#fff;font-size:14px}\n"
        "h1{font-size:22px;margin:0 0 4px;overflow-wrap:anywhere}h2{font-size:18px;"
        "border-bottom:1px solid #ccc;padding-bottom:3px;margin-top:32px}\n"
        ".tw{max-width:100%;overflow-x:auto}\n"
        "table.data{border-collapse:collapse;margin:8px 0}table.data td,table.data th{"
        "padding:2px 10px;text-align:right;border-bottom:1px solid #eee;white-space:nowrap}\n"
        "table.data .l{text-align:left;white-space:pre-wrap;overflow-wrap:anywhere;"
        "min-width:12em;max-width:40em}table.data th.l{min-width:0}"
        "table.data th{background:#f2f2f2}\n"
        ".note{color:#666;font-size:12px;margin:2px 0 "
        "10px;overflow-wrap:anywhere}.none{color:#aaa}\n"
        "svg.chart{display:block;width:100%;height:auto;margin:10px 0;font-size:11px;"
        "font-family:inherit}svg.chart text.ct{font-size:13px;font-weight:bold}\n"
        "svg#c-treemap rect{stroke:#fff;stroke-width:1}svg#c-treemap text.tl{font-size:10px}\n"
        "nav{display:flex;flex-wrap:wrap;gap:4px 14px}\n"
        ".warn{border:2px solid #b8860b;background:#fff8e1;padding:4px 12px;margin:10px 0}"
        ".warn p{margin:4px 0;white-space:pre-wrap;overflow-wrap:anywhere}\n"
        "</style>\n</head>\n<body>\n";
    h += "<h1>Where the space is: " + fr2r_html_escape(root_name) + "</h1>\n";
    h += "<p class=\"note\">scan " + std::to_string(s.id) + " &ldquo;" + fr2r_html_escape(s.label) +
         "&rdquo;, taken " + date_of(s.scan_time, true) + ", " + std::to_string(s.lines) +
         " lines</p>\n";
    std::vector<std::string> warnings = fr2r_scan_warnings(s, 50);
    if (!warnings.empty()) {
        h += "<div class=\"warn\" id=\"incomplete\">";
        for (const auto &w : warnings) h += "<p>" + fr2r_html_escape(w) + "</p>";
        h += "</div>\n";
    }
    h += "<nav><a href=\"#summary\">Summary</a><a href=\"#map\">Map</a><a href=\"#users\">Users</a>"
         "<a href=\"#groups\">Groups</a><a href=\"#extensions\">Extensions</a><a "
         "href=\"#ages\">Ages</a>"
         "<a href=\"#cold\">Cold data</a><a href=\"#sizes\">Sizes</a><a "
         "href=\"#biggest\">Biggest</a>"
         "<a href=\"#growth\">Growth</a><a href=\"#trends\">Trends</a></nav>\n";

    section(&h, "summary", "Summary");
    h += html_table(summary_in_words(summary[0])) + "</section>\n";

    section(&h, "map", "Where the space is");
    h += svg_treemap(dirs);
    h += "<p class=\"note\">Each rectangle is a folder, its area the space allocated to it and "
         "everything below it (sparse files count what they really take). Hover for the full "
         "path and figures.</p>\n</section>\n";

    section(&h, "users", "Space by user");
    h += svg_hbars("users", "Allocated space by user",
                   bars_of(users[0], "uid", "user", "allocated", 15), true);
    h += html_table(users[0]) + "</section>\n";

    section(&h, "groups", "Space by group");
    h += svg_hbars("groups", "Allocated space by group",
                   bars_of(groups[0], "gid", "group", "allocated", 15), true);
    h += html_table(groups[0]) + "</section>\n";

    section(&h, "extensions", "Space by file extension");
    h += svg_hbars("extensions", "Allocated space by extension",
                   bars_of(exts[0], "extension", nullptr, "allocated", 15), true);
    h += html_table(exts[0]) + "</section>\n";

    section(&h, "ages", "How old the data is");
    h += svg_vbars("ages-mtime", "Size by time since last modification",
                   bars_of(ages[0], "age", nullptr, "size_by_mtime", 64), true, "#3b6ea5");
    h += svg_vbars("ages-atime", "Size by time since last access",
                   bars_of(ages[0], "age", nullptr, "size_by_atime", 64), true, "#e08a2e");
    h += html_table(ages[0]) + "</section>\n";

    section(&h, "cold", "Cold data");
    h += html_table(cold[0]) + "</section>\n";

    section(&h, "sizes", "File sizes");
    h += svg_vbars("sizes", "Files per size class (powers of two)",
                   bars_of(sizes[0], "from", nullptr, "files", 65), false, "#4c9a52");
    h += html_table(sizes[0]) + "</section>\n";

    section(&h, "biggest", "Biggest directories");
    const fr2r_table *ba = find_table(biggest_alloc, "biggest_allocated");
    if (ba)
        h += svg_hbars("biggest", "Biggest directories by allocated space (everything below them)",
                       bars_of(*ba, "directory", nullptr, "tree_allocated", 15), true);
    if (ba) h += "<h3>" + fr2r_html_escape(ba->title) + "</h3>\n" + html_table(*ba);
    for (const auto &bt : biggest)
        h += "<h3>" + fr2r_html_escape(bt.title) + "</h3>\n" + html_table(bt);
    h += "</section>\n";

    section(&h, "growth", "Growth since the previous scan of this tree");
    if (!prev) {
        h += "<p>This database holds no earlier scan of " + fr2r_html_escape(root_name) +
             " to compare with.</p>\n";
    } else {
        h += "<p class=\"note\">From scan " + std::to_string(prev->id) + " &ldquo;" +
             fr2r_html_escape(prev->label) + "&rdquo;, taken " + date_of(prev->scan_time, true) +
             ".</p>\n";
        for (const auto &w : fr2r_scan_warnings(*prev, 10))
            h += "<p class=\"note\">earlier scan: " + fr2r_html_escape(w) + "</p>\n";
        if (const fr2r_table *dt = find_table(diff, "diff_directories"))
            h += svg_diverging("growth",
                               "Growth of allocated space by directory (everything below it)",
                               bars_of(*dt, "directory", nullptr, "growth", 15));
        if (const fr2r_table *dt = find_table(diff, "diff_users"))
            h += svg_diverging("growth-users", "Growth of allocated space by user",
                               bars_of(*dt, "uid", "user", "growth", 10));
        for (const auto &dt : diff)
            h += "<h3>" + fr2r_html_escape(dt.title) + "</h3>\n" + html_table(dt);
    }
    h += "</section>\n";

    section(&h, "trends", "Trends");
    if (same_root.size() <= 2) {
        h += "<p>Trends show once the database holds more than two scans of " +
             fr2r_html_escape(root_name) + ".</p>\n";
    } else {
        // The latest 24 scans of this tree: the total and the five users
        // with the most space now.
        size_t from = same_root.size() > 24 ? same_root.size() - 24 : 0;
        std::vector<int64_t> times;
        std::vector<std::unordered_map<int64_t, int64_t>> per;  // uid -> allocated, per scan
        std::vector<int64_t> totals;
        for (size_t i = from; i < same_root.size(); i++) {
            std::vector<fr2r_user_total> ut;
            if (fr2r_q_user_totals(db, *same_root[i], &ut) != 0) return -1;
            std::unordered_map<int64_t, int64_t> m;
            int64_t total = 0;
            for (const auto &u : ut) {
                m[u.uid] = u.allocated;
                total = fr2r_add(total, u.allocated);
            }
            per.push_back(m);
            totals.push_back(total);
            times.push_back(same_root[i]->scan_time);
        }
        std::vector<std::pair<int64_t, int64_t>> latest(per.back().begin(), per.back().end());
        std::sort(latest.begin(), latest.end(),
                  [](const std::pair<int64_t, int64_t> &a, const std::pair<int64_t, int64_t> &b) {
                      return a.second != b.second ? a.second > b.second : a.first < b.first;
                  });
        std::vector<series> ss;
        ss.push_back({"total", "#222222", {}});
        for (size_t k = 0; k < times.size(); k++) ss[0].points.push_back({times[k], totals[k]});
        std::vector<series> us;
        for (size_t i = 0; i < latest.size() && i < 5; i++) {
            std::string nm = fr2r_user_name((uint32_t)latest[i].first);
            series x{
                std::to_string(latest[i].first) + (nm.empty() ? "" : " " + nm), k_colors[i], {}};
            for (size_t k = 0; k < times.size(); k++) {
                auto it = per[k].find(latest[i].first);
                x.points.push_back({times[k], it == per[k].end() ? 0 : it->second});
            }
            us.push_back(x);
        }
        h += svg_trend("trend-total", "Allocated space, all scans of this tree", ss, times);
        h += svg_trend("trend-users", "Allocated space of the five biggest users", us, times);
        fr2r_table t;
        t.name = "trends";
        t.title = "Scans of this tree";
        t.cols = {{"scan", FR2R_INT},
                  {"label", FR2R_TEXT},
                  {"taken", FR2R_TIME},
                  {"allocated", FR2R_BYTES},
                  {"complete", FR2R_TEXT}};
        for (size_t k = 0; k < times.size(); k++) {
            const fr2r_scan &x = *same_root[from + k];
            t.rows.push_back({fr2r_int(x.id), fr2r_text(x.label), fr2r_int(x.scan_time),
                              fr2r_int(totals[k]), fr2r_text(x.incomplete.empty() ? "yes" : "no")});
        }
        h += html_table(t);
    }
    h += "</section>\n";
    h += "<p class=\"note\">Made by fsrake2-report. Sizes count a file with several links once, "
         "at its lowest path.</p>\n";
    h += "</body>\n</html>\n";
    if (fwrite(h.data(), 1, h.size(), f) != h.size()) return -1;
    return 0;
}
