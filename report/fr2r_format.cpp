// Tables as aligned text, CSV or JSON.
#include "fr2r_format.h"

#include <inttypes.h>
#include <string.h>
#include <time.h>

#include "fr2r_db.h"
#include "fr2r_escape.h"

fr2r_cell fr2r_text(const std::string &s) {
    fr2r_cell c;
    c.s = s;
    return c;
}
fr2r_cell fr2r_int(int64_t v) {
    fr2r_cell c;
    c.i = v;
    c.d = (double)v;
    return c;
}
fr2r_cell fr2r_pct(double v) {
    fr2r_cell c;
    c.d = v;
    return c;
}
fr2r_cell fr2r_null() {
    fr2r_cell c;
    c.null = true;
    return c;
}
fr2r_cell fr2r_bytes(int64_t v) {
    fr2r_cell c = fr2r_int(v);
    c.kind = FR2R_BYTES;
    return c;
}
fr2r_cell fr2r_time(int64_t v) {
    fr2r_cell c = fr2r_int(v);
    c.kind = FR2R_TIME;
    return c;
}

namespace {

size_t display_width(const std::string &s) {
    size_t w = 0;
    for (unsigned char c : s)
        if ((c & 0xc0) != 0x80) w++;
    return w;
}

std::string format_time(int64_t t) {
    time_t tt = (time_t)t;
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return std::to_string(t);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

int cell_kind(const fr2r_column &col, const fr2r_cell &c) {
    return c.kind >= 0 ? c.kind : col.kind;
}

std::string text_cell(const fr2r_column &col, const fr2r_cell &c) {
    if (c.null) return "-";
    char buf[64];
    switch (cell_kind(col, c)) {
    case FR2R_TEXT: return fr2r_term_escape(c.s);
    case FR2R_BYTES: return fr2r_human_bytes(c.i);
    case FR2R_PCT: snprintf(buf, sizeof buf, "%.1f%%", c.d); return buf;
    case FR2R_TIME: return format_time(c.i);
    default: return std::to_string(c.i);
    }
}

std::string csv_quote(const std::string &s) {
    std::string r = "\"";
    for (char ch : s) {
        if (ch == '"') r += '"';
        r += ch;
    }
    return r + "\"";
}

std::string csv_cell(const fr2r_column &col, const fr2r_cell &c) {
    if (c.null) return "";
    char buf[64];
    switch (cell_kind(col, c)) {
    case FR2R_TEXT: return csv_quote(c.s);
    case FR2R_PCT: snprintf(buf, sizeof buf, "%.2f", c.d); return buf;
    default: return std::to_string(c.i);
    }
}

std::string json_cell(const fr2r_column &col, const fr2r_cell &c) {
    if (c.null) return "null";
    char buf[64];
    switch (cell_kind(col, c)) {
    case FR2R_TEXT: return "\"" + fr2r_json_escape(c.s) + "\"";
    case FR2R_PCT: snprintf(buf, sizeof buf, "%.4f", c.d); return buf;
    default: return std::to_string(c.i);
    }
}

void print_text(FILE *f, const fr2r_scan *scan, const std::vector<fr2r_table> &tables) {
    if (scan) {
        fprintf(f, "scan %" PRId64 " \"%s\" of %s, %s, %" PRId64 " lines\n", scan->id,
                fr2r_term_escape(scan->label).c_str(),
                scan->root.empty() ? "(no root line)" : fr2r_term_escape(scan->root).c_str(),
                format_time(scan->scan_time).c_str(), scan->lines);
        std::vector<std::string> w = fr2r_scan_warnings(*scan, 20);
        for (const auto &l : w) fprintf(f, "%s\n", l.c_str());
        fprintf(f, "\n");
    }
    for (size_t t = 0; t < tables.size(); t++) {
        const fr2r_table &tb = tables[t];
        size_t nc = tb.cols.size();
        std::vector<std::vector<std::string>> cells;
        std::vector<size_t> width(nc, 0);
        for (size_t c = 0; c < nc; c++) width[c] = display_width(tb.cols[c].name);
        for (const auto &row : tb.rows) {
            std::vector<std::string> r;
            for (size_t c = 0; c < nc && c < row.size(); c++) {
                r.push_back(text_cell(tb.cols[c], row[c]));
                if (display_width(r.back()) > width[c]) width[c] = display_width(r.back());
            }
            cells.push_back(r);
        }
        fprintf(f, "%s\n", tb.title.c_str());
        auto put = [&](const std::vector<std::string> &r) {
            std::string line;
            for (size_t c = 0; c < r.size(); c++) {
                size_t pad = width[c] - display_width(r[c]);
                bool right = tb.cols[c].kind != FR2R_TEXT;  // numbers, and their headings
                bool last = c + 1 == r.size();
                if (right) line.append(pad, ' ');
                line += r[c];
                if (!right && !last) line.append(pad, ' ');
                if (!last) line += "  ";
            }
            fprintf(f, "%s\n", line.c_str());
        };
        std::vector<std::string> head;
        for (const auto &col : tb.cols) head.push_back(col.name);
        put(head);
        std::vector<std::string> rule;
        for (size_t c = 0; c < nc; c++) rule.push_back(std::string(width[c], '-'));
        put(rule);
        for (const auto &r : cells) put(r);
        if (tb.rows.empty()) fprintf(f, "(nothing)\n");
        if (!tb.note.empty()) fprintf(f, "%s\n", tb.note.c_str());
        if (t + 1 < tables.size()) fprintf(f, "\n");
    }
}

void print_csv(FILE *f, const std::vector<fr2r_table> &tables) {
    for (size_t t = 0; t < tables.size(); t++) {
        const fr2r_table &tb = tables[t];
        if (t > 0) fprintf(f, "\n");
        std::string line;
        for (size_t c = 0; c < tb.cols.size(); c++) line += (c ? "," : "") + tb.cols[c].name;
        fprintf(f, "%s\n", line.c_str());
        for (const auto &row : tb.rows) {
            line.clear();
            for (size_t c = 0; c < tb.cols.size() && c < row.size(); c++)
                line += (c ? "," : "") + csv_cell(tb.cols[c], row[c]);
            line += "\n";
            fwrite(line.data(), 1, line.size(), f);
        }
    }
}

void print_json(FILE *f, const std::string &report, const fr2r_scan *scan,
                const std::vector<fr2r_table> &tables) {
    std::string o = "{\"report\":\"" + fr2r_json_escape(report) + "\"";
    if (scan) {
        o += ",\"scan\":{\"id\":" + std::to_string(scan->id) + ",\"label\":\"" +
             fr2r_json_escape(scan->label) + "\",\"root\":\"" + fr2r_json_escape(scan->root) +
             "\",\"time\":" + std::to_string(scan->scan_time) +
             ",\"lines\":" + std::to_string(scan->lines) + ",\"complete\":" +
             (scan->incomplete.empty() ? "true" : "false");
        if (!scan->incomplete.empty())
            o += ",\"incomplete\":\"" + fr2r_json_escape(scan->incomplete) + "\"";
        if (scan->scanner_status >= 0)
            o += ",\"scanner_status\":" + std::to_string(scan->scanner_status);
        o += ",\"unreadable\":[";
        for (size_t i = 0; i < scan->problems.size(); i++)
            o += std::string(i ? "," : "") + "{\"path\":\"" +
                 fr2r_json_escape(scan->problems[i].path) + "\",\"kind\":\"" +
                 fr2r_json_escape(scan->problems[i].kind) + "\"}";
        o += "]}";
    }
    o += ",\"tables\":[";
    for (size_t t = 0; t < tables.size(); t++) {
        const fr2r_table &tb = tables[t];
        o += t ? ",\n" : "\n";
        o += "{\"name\":\"" + fr2r_json_escape(tb.name) + "\",\"title\":\"" +
             fr2r_json_escape(tb.title) + "\",\"rows\":[";
        for (size_t r = 0; r < tb.rows.size(); r++) {
            o += r ? ",\n{" : "\n{";
            for (size_t c = 0; c < tb.cols.size() && c < tb.rows[r].size(); c++) {
                o += (c ? ",\"" : "\"") + fr2r_json_escape(tb.cols[c].name) + "\":";
                o += json_cell(tb.cols[c], tb.rows[r][c]);
            }
            o += "}";
        }
        o += "]";
        if (!tb.note.empty()) o += ",\"note\":\"" + fr2r_json_escape(tb.note) + "\"";
        o += "}";
    }
    o += "]}\n";
    fwrite(o.data(), 1, o.size(), f);
}

}  // namespace

std::string fr2r_human_bytes(int64_t v) {
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    bool neg = v < 0;
    double d = neg ? -(double)v : (double)v;
    int u = 0;
    while (d >= 1024 && u < 6) {
        d /= 1024;
        u++;
    }
    char buf[64];
    if (u == 0) snprintf(buf, sizeof buf, "%s%.0f B", neg ? "-" : "", d);
    else snprintf(buf, sizeof buf, "%s%.1f %s", neg ? "-" : "", d, units[u]);
    return buf;
}

void fr2r_print_tables(FILE *f, const std::string &report, const fr2r_scan *scan,
                       const std::vector<fr2r_table> &tables, fr2r_format fmt) {
    if (fmt == FR2R_FMT_CSV) print_csv(f, tables);
    else if (fmt == FR2R_FMT_JSON) print_json(f, report, scan, tables);
    else print_text(f, scan, tables);
}
