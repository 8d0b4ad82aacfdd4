// The fast line formatter against printf: millions of random metadata records
// and names, each formatted by fr2_format_line and by snprintf with the line's
// format string over independently escaped fields, must give the same bytes.
// The records lean on the values where hand-written number code goes wrong:
// zero, powers of two and ten and their neighbours, the type limits, negative
// times and sizes above 2^63; names carry quotes, commas, line feeds and UTF-8.
//
// FR2_DIFF_RECORDS sets the count (default 2,000,000), FR2_DIFF_SEED the seed;
// a failure prints the seed and the record's number, so it can be replayed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fr2_output.h"
#include "fr2_queue.h"
#include "fuzz_ref.h"

namespace {

uint64_t env_number(const char *name, uint64_t fallback) {
    const char *v = getenv(name);
    return v && *v ? strtoull(v, nullptr, 0) : fallback;
}

// splitmix64: fast enough that formatting, not generating, is what the test
// spends its time on.
struct Rng {
    uint64_t s;
    uint64_t operator()() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

struct Gen {
    Rng rng;
    std::vector<uint64_t> edges;

    explicit Gen(uint64_t seed) : rng{seed} {
        // Every power of two and of ten with its neighbours, and the limits.
        for (int b = 0; b < 64; b++) {
            uint64_t v = uint64_t(1) << b;
            edges.insert(edges.end(), {v - 1, v, v + 1});
        }
        for (uint64_t v = 1; v <= UINT64_MAX / 10; v *= 10) edges.insert(edges.end(), {v - 1, v, v + 1});
        edges.insert(edges.end(), {0, UINT64_MAX, UINT64_MAX - 1, uint64_t(INT64_MAX), uint64_t(INT64_MIN),
                                   UINT32_MAX, uint64_t(INT32_MAX), uint64_t(INT32_MIN)});
    }
    uint64_t below(uint64_t n) { return rng() % n; }
    // A quarter edge values, a quarter small, the rest of any magnitude.
    uint64_t number() {
        switch (below(4)) {
        case 0: return edges[below(edges.size())];
        case 1: return below(100000);
        default: return rng() >> below(64);
        }
    }
    char name_byte() {
        static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
        static const char special[] = ",; \t\n\r\\'$%*?";
        switch (below(16)) {
        case 0: return '"';
        case 1: return '.';
        case 2: return special[below(sizeof special - 1)];
        case 3: return char(0x80 + below(0x80));  // UTF-8 continuation or lead bytes
        default: return plain[below(sizeof plain - 1)];
        }
    }
    std::string name(size_t max_len) {
        size_t len = 1 + below(below(8) == 0 ? max_len : (max_len < 24 ? max_len : 24));
        std::string s;
        for (size_t i = 0; i < len; i++) s += name_byte();
        return s;
    }
    // A directory of up to 4095 bytes and a name of up to 255, as the walker
    // makes them; now and then one made of quotes only, doubled to full width.
    std::string path(std::string *last) {
        std::string dir;
        if (below(500) == 0) {
            dir = std::string(FR2_MAX_PATH, '"');
            *last = std::string(255, '"');
        } else {
            size_t target = below(64) == 0 ? below(FR2_MAX_PATH) : below(120);
            dir = "/";
            while (dir.size() < target) dir += name(target - dir.size() > 255 ? 255 : target - dir.size()) + "/";
            if (dir.size() > 1) dir.pop_back();
            if (dir.size() > FR2_MAX_PATH) dir.resize(FR2_MAX_PATH);
            *last = name(255);
        }
        return dir + "/" + *last;
    }
};

TEST(FormatDifferential, MillionsOfRandomRecordsMatchPrintf) {
    const uint64_t seed = env_number("FR2_DIFF_SEED", 20261209);
    const uint64_t records = env_number("FR2_DIFF_RECORDS", 2000000);
    Gen g(seed);
    std::vector<char> line(FR2_LINE_MAX);
    uint64_t longest = 0, mismatches = 0;
    for (uint64_t i = 0; i < records; i++) {
        struct statx st;
        memset(&st, 0, sizeof st);
        st.stx_ino = g.number();
        st.stx_uid = uint32_t(g.number());
        st.stx_gid = uint32_t(g.number());
        st.stx_size = g.number();
        st.stx_dev_major = uint32_t(g.number());
        st.stx_dev_minor = uint32_t(g.number());
        st.stx_blocks = g.number();
        st.stx_nlink = uint32_t(g.number());
        st.stx_mode = uint16_t(g.number());
        st.stx_atime.tv_sec = int64_t(g.number());
        st.stx_mtime.tv_sec = int64_t(g.number());
        st.stx_ctime.tv_sec = int64_t(g.number());
        st.stx_atime.tv_nsec = uint32_t(g.below(1000000000));  // never printed
        uint64_t parent = g.number();
        int32_t depth = int32_t(g.number());
        // File lines carry -1 and 0; directory lines any count and sum.
        bool dir_line = g.below(4) == 0;
        int64_t fcount = dir_line ? int64_t(g.number()) : -1;
        int64_t dirsum = dir_line ? int64_t(g.number()) : 0;
        std::string name;
        std::string path = g.path(&name);

        int r = fr2_format_line(line.data(), path.c_str(), fr2_extension(name.c_str()), &st, parent,
                                depth, fcount, dirsum);
        std::string got = r > 0 ? std::string(line.data(), size_t(r)) : std::string();
        long ext_at = ref_extension(name.c_str());
        std::string want = ref_line(path, ext_at < 0 ? nullptr : name.c_str() + ext_at, st, parent,
                                    depth, fcount, dirsum, FR2_LINE_MAX);
        if (got.size() > longest) longest = got.size();
        if (got != want) {
            ADD_FAILURE() << "record " << i << " of seed " << seed << " differs\n got: " << got
                          << "want: " << want;
            if (++mismatches == 5) break;
        }
    }
    // The quote-only paths must have come through at full doubled width.
    EXPECT_GT(longest, 2 * (FR2_MAX_PATH + 1 + 255)) << "no record reached the longest line";
    RecordProperty("records", std::to_string(records));
}

}  // namespace
