// Slow, obviously-correct versions of the rules the scanner implements fast,
// written from the rules themselves and never from the scanner's code.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

// Quote doubling into a destination of `size` bytes (at least 1): at most
// size - 1 characters; a doubled quote is never split, a quote that does not
// fit whole is dropped and the copy goes on; NUL at the end.
static inline std::string ref_escape(const std::string &src, size_t size) {
    const size_t limit = size - 1;
    std::string out;
    for (size_t i = 0; i < src.size() && src[i] != 0 && out.size() < limit; i++) {
        if (src[i] != '"') {
            out += src[i];
        } else if (out.size() + 1 < limit) {
            out += "\"\"";
        }
    }
    return out;
}

// Quote doubling without any limit.
static inline std::string ref_double_quotes(const std::string &src) {
    std::string out;
    for (char c : src) {
        if (c == 0) break;
        out += c;
        if (c == '"') out += '"';
    }
    return out;
}

// The extension: text after the last dot, a leading dot not counting.
// Returns the offset into name of the extension, or -1 for none.
static inline long ref_extension(const char *name) {
    // Position 0 is skipped: either it is the leading dot, or it is no dot.
    size_t n = strlen(name);
    long found = -1;
    for (size_t i = 1; i < n; i++)
        if (name[i] == '.') found = long(i + 1);
    return found;
}

static inline uint64_t ref_makedev(uint32_t major, uint32_t minor) {
    uint64_t dev = 0;
    dev |= uint64_t(major & 0x00000fffu) << 8;
    dev |= uint64_t(major & 0xfffff000u) << 32;
    dev |= uint64_t(minor & 0x000000ffu);
    dev |= uint64_t(minor & 0xffffff00u) << 12;
    return dev;
}

// One CSV line by printf with the line's format string: the path quote-doubled
// whole, the extension (null: none) doubled within 4096 bytes. A line of
// `line_max` bytes or more is dropped, as the scanner drops it: "" then.
static inline std::string ref_line(const std::string &path, const char *ext,
                                   const struct statx &st, uint64_t parent, int32_t depth,
                                   int64_t fcount, int64_t dirsum, size_t line_max) {
    static const char format[] =
        "%llu,%llu,%d,\"%s\",\"%s\",%u,%u,%lld,%lu,%llu,%u,\"%07o\",%lld,%lld,%lld,%ld,%ld\n";
    std::string p = ref_double_quotes(path);
    std::string e = ext ? ref_escape(ext, 4096) : "";
    std::string buf(p.size() + e.size() + 512, '\0');
    int r = snprintf(buf.data(), buf.size(), format, (unsigned long long)st.stx_ino,
                     (unsigned long long)parent, depth, p.c_str(), e.c_str(), st.stx_uid,
                     st.stx_gid, (long long)st.stx_size,
                     (unsigned long)ref_makedev(st.stx_dev_major, st.stx_dev_minor),
                     (unsigned long long)st.stx_blocks, st.stx_nlink, unsigned(st.stx_mode),
                     (long long)st.stx_atime.tv_sec, (long long)st.stx_mtime.tv_sec,
                     (long long)st.stx_ctime.tv_sec, (long)fcount, (long)dirsum);
    if (r < 1 || size_t(r) >= line_max) return "";
    return std::string(buf.data(), size_t(r));
}

// Pulls bytes off a fuzz input; zeros once it runs dry.
struct FuzzReader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    template <typename T> T num() {
        T v{};
        size_t k = sizeof v < n ? sizeof v : n;
        memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
    // A string up to the next NUL (or the end), at most max bytes.
    std::string str(size_t max) {
        std::string s;
        while (n && s.size() < max) {
            uint8_t c = byte();
            if (c == 0) break;
            s += char(c);
        }
        return s;
    }
};

[[noreturn]] static inline void fuzz_fail(const char *what, const std::string &a,
                                          const std::string &b) {
    fprintf(stderr, "MISMATCH: %s\n  got:      [%s]\n  expected: [%s]\n", what, a.c_str(),
            b.c_str());
    abort();
}
