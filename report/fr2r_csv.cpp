// Decoding one line of a scan: 17 fields, three of them quoted with doubled
// quotes inside; a quoted path may hold commas and line feeds.
#include "fr2r_csv.h"

#include <string.h>

#include "fr2r_escape.h"

const char *const g_fr2r_header =
    "inode,parent-inode,directory-depth,\"filename\",\"fileExtension\",UID,GID,st_size,"
    "st_dev,st_blocks,st_nlink,\"st_mode\",st_atime,st_mtime,st_ctime,fr_fcount,fr_dirsum";

namespace {

const char *const k_names[FR2R_NFIELDS] = {
    "inode",    "parent-inode", "directory-depth", "filename", "fileExtension", "UID",
    "GID",      "st_size",      "st_dev",          "st_blocks", "st_nlink",     "st_mode",
    "st_atime", "st_mtime",     "st_ctime",        "fr_fcount", "fr_dirsum"};

struct field {
    const char *p;  // raw bytes of an unquoted field
    size_t n;
    bool quoted;
    std::string *text;  // a quoted field, undoubled
};

bool is_quoted_column(int i) { return i == 3 || i == 4 || i == 11; }

std::string describe(const char *p, size_t n) {
    std::string s(p, n > 24 ? 24 : n);
    return fr2r_term_escape(s) + (n > 24 ? "..." : "");
}

bool parse_u64(const field &f, uint64_t max, uint64_t *out) {
    if (f.n == 0 || f.n > 20) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < f.n; i++) {
        unsigned char c = (unsigned char)f.p[i];
        if (c < '0' || c > '9') return false;
        uint64_t d = c - '0';
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    if (v > max) return false;
    *out = v;
    return true;
}

bool parse_i64(const field &f, int64_t min, int64_t *out) {
    if (f.n == 0) return false;
    bool neg = f.p[0] == '-';
    field digits = f;
    if (neg) {
        digits.p++;
        digits.n--;
    }
    uint64_t v;
    if (!parse_u64(digits, neg ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX, &v)) return false;
    int64_t r = neg ? (int64_t)(0 - v) : (int64_t)v;
    if (r < min) return false;
    *out = r;
    return true;
}

}  // namespace

fr2r_parse_status fr2r_parse_record(const char *data, size_t len, bool eof, fr2r_entry *e,
                                    size_t *used, int *lines, std::string *why) {
    field fields[FR2R_NFIELDS + 1];
    int nf = 0;        // fields seen, may go past 17 (only counted then)
    size_t pos = 0;
    int lf = 0;
    size_t limit = len < (size_t)FR2R_MAX_RECORD ? len : (size_t)FR2R_MAX_RECORD;
    bool ended = false;
    // Quoted fields go straight into the entry's strings, whose buffers are
    // kept from record to record; one out of place goes to a scratch string.
    std::string mode_text, other_text;
    while (!ended) {
        field scratch;
        field &f = nf < FR2R_NFIELDS + 1 ? fields[nf] : scratch;
        f.quoted = false;
        if (pos < limit && data[pos] == '"') {
            f.quoted = true;
            f.text = nf == 3 ? &e->path : nf == 4 ? &e->extension : nf == 11 ? &mode_text : &other_text;
            f.text->clear();
            pos++;
            for (;;) {
                if (pos >= limit) goto incomplete;
                // A run up to the next quote, copied at once.
                const char *q = (const char *)memchr(data + pos, '"', limit - pos);
                size_t run = (q ? (size_t)(q - data) : limit) - pos;
                if (run > 0) {
                    for (const char *c = data + pos, *stop = c + run;
                         (c = (const char *)memchr(c, '\n', (size_t)(stop - c))) != nullptr; c++)
                        lf++;
                    f.text->append(data + pos, run);
                    pos += run;
                    continue;
                }
                if (pos + 1 >= limit) goto incomplete;
                char n = data[pos + 1];
                if (n == '"') {
                    f.text->push_back('"');
                    pos += 2;
                    continue;
                }
                pos++;
                if (n != ',' && n != '\n') {
                    *why = "field " + std::to_string(nf + 1) +
                           ": a quote inside a quoted field is not doubled (or a quote was left open)";
                    return FR2R_PARSE_ERROR;
                }
                break;
            }
            f.p = nullptr;
            f.n = 0;
        } else {
            f.p = data + pos;
            while (pos < limit && data[pos] != ',' && data[pos] != '\n') {
                if (data[pos] == '"') {
                    *why = "field " + std::to_string(nf + 1) + ": a quote inside an unquoted field";
                    return FR2R_PARSE_ERROR;
                }
                pos++;
            }
            if (pos >= limit) goto incomplete;
            f.n = (size_t)(data + pos - f.p);
        }
        nf++;
        // pos is at the separator after the field.
        if (data[pos] == '\n') {
            lf++;
            ended = true;
        }
        pos++;
    }
    *used = pos;
    *lines = lf;
    if (nf == 1 && !fields[0].quoted && fields[0].n == 0) {
        *why = "empty line";
        return FR2R_PARSE_ERROR;
    }
    if (nf != FR2R_NFIELDS) {
        *why = std::to_string(nf) + " fields, expected " + std::to_string(FR2R_NFIELDS);
        return FR2R_PARSE_ERROR;
    }
    for (int i = 0; i < FR2R_NFIELDS; i++) {
        if (fields[i].quoted != is_quoted_column(i)) {
            *why = "field " + std::to_string(i + 1) + " (" + k_names[i] + ") " +
                   (fields[i].quoted ? "is quoted but should be a number" : "should be quoted");
            return FR2R_PARSE_ERROR;
        }
    }
    {
        uint64_t u[FR2R_NFIELDS] = {};
        int64_t s[FR2R_NFIELDS] = {};
        for (int i = 0; i < FR2R_NFIELDS; i++) {
            if (is_quoted_column(i)) continue;
            bool ok;
            switch (i) {
            case 0: case 1: case 8: case 9:
                ok = parse_u64(fields[i], UINT64_MAX, &u[i]);
                break;
            case 5: case 6: case 10:
                ok = parse_u64(fields[i], UINT32_MAX, &u[i]);
                break;
            case 2:  // a 32-bit depth, as the scanner prints it
                ok = parse_i64(fields[i], -1, &s[i]) && s[i] <= INT32_MAX;
                break;
            case 15:
                ok = parse_i64(fields[i], -1, &s[i]);
                break;
            default:
                ok = parse_i64(fields[i], INT64_MIN, &s[i]);
            }
            if (!ok) {
                *why = "field " + std::to_string(i + 1) + " (" + k_names[i] + "): '" +
                       describe(fields[i].p, fields[i].n) + "' is not a valid number";
                return FR2R_PARSE_ERROR;
            }
        }
        const std::string &m = *fields[11].text;
        uint32_t mode = 0;
        bool mode_ok = m.size() == 7;
        for (size_t k = 0; mode_ok && k < m.size(); k++) {
            if (m[k] < '0' || m[k] > '7') mode_ok = false;
            mode = mode * 8 + (uint32_t)(m[k] - '0');
        }
        if (!mode_ok || mode > 0177777) {
            *why = "field 12 (st_mode): '" + describe(m.data(), m.size()) +
                   "' is not seven octal digits";
            return FR2R_PARSE_ERROR;
        }
        e->inode = u[0];
        e->parent_inode = u[1];
        e->depth = s[2];
        e->uid = (uint32_t)u[5];
        e->gid = (uint32_t)u[6];
        e->size = s[7];
        e->dev = u[8];
        e->blocks = u[9];
        e->nlink = (uint32_t)u[10];
        e->mode = mode;
        e->atime = s[12];
        e->mtime = s[13];
        e->ctime = s[14];
        e->fcount = s[15];
        e->dirsum = s[16];
    }
    if (e->path.empty()) {
        *why = "field 4 (filename) is empty";
        return FR2R_PARSE_ERROR;
    }
    return FR2R_PARSE_OK;

incomplete:
    if (!eof && len < (size_t)FR2R_MAX_RECORD) return FR2R_PARSE_NEED_MORE;
    if (len >= (size_t)FR2R_MAX_RECORD) {
        *why = "line longer than " + std::to_string(FR2R_MAX_RECORD) +
               " bytes (a quote left open?)";
    } else if (nf < FR2R_NFIELDS + 1 && pos > 0 && fields[nf].quoted) {
        *why = "a quoted field (field " + std::to_string(nf + 1) +
               ") is never closed: quote left open or the line is truncated";
    } else {
        *why = "truncated line: the input ends without a line feed";
    }
    return FR2R_PARSE_ERROR;
}
