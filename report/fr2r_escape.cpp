// The escapes that make names from a scan safe on a terminal, in JSON and in
// HTML. A terminal and JSON walk a name the same way, by UTF-8 sequences;
// they differ in what they write for a byte that is not UTF-8 and for a
// control character.
#include "fr2r_escape.h"

#include <stdint.h>
#include <stdio.h>

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

std::string escape(const std::string &s, bool json) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp;
        size_t n = utf8_len(s, i, &cp);
        if (n == 0) {
            // JSON keeps the byte as a lone low surrogate, the way Python's
            // surrogateescape does.
            hex_byte(&out, json ? "\\udc" : "\\x", c);
            i++;
            continue;
        }
        if (n == 1) {
            if (c == '"' && json) out += "\\\"";
            else if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else if (c == '\t') out += "\\t";
            else if (c == '\r') out += "\\r";
            else if (c < 0x20 || c == 0x7f) hex_byte(&out, json ? "\\u00" : "\\x", c);
            else out += (char)c;
        } else if (!json && cp >= 0x80 && cp <= 0x9f) {
            // C1 controls are valid UTF-8 but steer some terminals.
            for (size_t k = 0; k < n; k++) hex_byte(&out, "\\x", (unsigned char)s[i + k]);
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

}  // namespace

std::string fr2r_term_escape(const std::string &s) { return escape(s, false); }

std::string fr2r_json_escape(const std::string &s) { return escape(s, true); }

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
