// Tables as aligned text, CSV or JSON, and the escapes that make names from a
// scan (any bytes but NUL and '/') safe on a terminal, in JSON and in HTML.
#include <inttypes.h>
#include <string.h>
#include <time.h>

#include "fr2r.h"

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

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF are not valid).
size_t utf8_len(const std::string &s, size_t i, uint32_t *cp) {
    unsigned char c = (unsigned char)s[i];
    size_t n;
    uint32_t v;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        v = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        v = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        unsigned char d = (unsigned char)s[i + k];
        if ((d & 0xc0) != 0x80) return 0;
        v = (v << 6) | (d & 0x3f);
    }
    if ((n == 3 && v < 0x800) || (n == 4 && (v < 0x10000 || v > 0x10ffff)) ||
        (v >= 0xd800 && v <= 0xdfff))
        return 0;
    *cp = v;
    return n;
}

void hex_byte(std::string *out, const char *prefix, unsigned char b) {
    char buf[16];
    snprintf(buf, sizeof buf, "%s%02x", prefix, b);
    *out += buf;
}

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

std::string fr2r_term_escape(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp;
        size_t n = utf8_len(s, i, &cp);
        if (n == 0) {
            hex_byte(&out, "\\x", c);
            i++;
            continue;
        }
        if (n == 1) {
            if (c == '\n') out += "\\n";
            else if (c == '\t') out += "\\t";
            else if (c == '\r') out += "\\r";
            else if (c == '\\') out += "\\\\";
            else if (c < 0x20 || c == 0x7f) hex_byte(&out, "\\x", c);
            else out += (char)c;
        } else if (cp >= 0x80 && cp <= 0x9f) {
            // C1 controls are valid UTF-8 but steer some terminals.
            for (size_t k = 0; k < n; k++) hex_byte(&out, "\\x", (unsigned char)s[i + k]);
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

std::string fr2r_json_escape(const std::string &s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp;
        size_t n = utf8_len(s, i, &cp);
        if (n == 0) {
            // Not UTF-8: the byte as a lone low surrogate, the way Python's
            // surrogateescape keeps it, so the exact bytes can be recovered.
            hex_byte(&out, "\\udc", c);
            i++;
            continue;
        }
        if (n == 1) {
            if (c == '"') out += "\\\"";
            else if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else if (c == '\t') out += "\\t";
            else if (c == '\r') out += "\\r";
            else if (c < 0x20 || c == 0x7f) hex_byte(&out, "\\u00", c);
            else out += (char)c;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

std::string fr2r_html_escape(const std::string &s) {
    std::string t = fr2r_term_escape(s), out;
    out.reserve(t.size() + 16);
    for (char c : t) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

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
