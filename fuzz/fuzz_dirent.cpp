// The getdents64 record walker on buffers shaped as the kernel makes them
// (8-byte aligned records, d_reclen covering a NUL-terminated name of 1 to 255
// bytes, any padding), appended to a batch that may already hold entries:
// every record but "." and ".." becomes exactly one entry, in order, with its
// name, inode and type; earlier entries stay as they were; the array grows by
// doubling from 256. On aligned records of any other content (lengths that
// run past the buffer, empty or unterminated names) it must only stay inside
// the buffer and keep its entries sane.
#include <dirent.h>

#include <vector>

#include "fr2_dirent.h"
#include "fuzz_ref.h"

struct Rec {
    uint64_t ino;
    uint8_t type;
    std::string name;
};

static void check_capacity(int32_t count, int32_t cap) {
    if (cap < count) fuzz_fail("capacity below count", std::to_string(cap), std::to_string(count));
    if (cap == 0) return;
    int32_t c = cap;
    while (c > 256 && c % 2 == 0) c /= 2;
    if (c != 256) fuzz_fail("capacity not 256 times a power of two", std::to_string(cap), "");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzReader in{data, size};
    uint8_t mode = in.byte();
    // Entries already in the batch from the same directory's earlier buffers.
    int32_t before = in.num<uint16_t>() % 600;
    // Their names nearly fill the arena, so new names soon move it.
    fr2_batch batch = {};
    if (before > 0) {
        batch.cap = 256;
        while (batch.cap < before) batch.cap *= 2;
        batch.entries = static_cast<fr2_entry *>(calloc(size_t(batch.cap), sizeof(fr2_entry)));
        batch.names_cap = size_t(before) * 8;
        batch.names = static_cast<char *>(malloc(batch.names_cap));
        for (int32_t i = 0; i < before; i++) {
            batch.entries[i].name = batch.names + batch.names_used;
            batch.names_used += size_t(snprintf(batch.entries[i].name, 8, "old%d", i)) + 1;
        }
        batch.count = before;
    }

    std::vector<char> buf;
    std::vector<Rec> recs;
    if (mode & 1) {
        // Arbitrary bytes, but with the one property no kernel buffer lacks:
        // every record starts 8-byte aligned (d_reclen rounded up).
        buf.assign(in.p, in.p + in.n);
        for (size_t off = 0; off + 19 < buf.size();) {
            uint16_t rl;
            memcpy(&rl, &buf[off + 16], 2);
            rl = uint16_t((rl + 7u) & ~7u);
            memcpy(&buf[off + 16], &rl, 2);
            if (rl == 0) break;
            off += rl;
        }
    } else {
        while (in.n > 0) {
            Rec r;
            r.ino = in.num<uint64_t>();
            r.type = in.byte();
            int64_t off = in.num<int64_t>();
            size_t len = 1 + in.byte() % 255;
            for (size_t k = 0; k < len && in.n; k++) {
                char c = char(in.byte());
                r.name += c ? c : '_';
            }
            if (r.name.empty()) r.name = "n";
            uint8_t pad_byte = in.byte();
            size_t reclen = (19 + r.name.size() + 1 + 7) & ~size_t(7);
            if (buf.size() + reclen > FR2_DIRENT_BUF_SIZE) break;
            size_t at = buf.size();
            buf.resize(at + reclen, char(pad_byte));  // the kernel does not clear padding
            uint16_t rl = uint16_t(reclen);
            memcpy(&buf[at], &r.ino, 8);
            memcpy(&buf[at + 8], &off, 8);
            memcpy(&buf[at + 16], &rl, 2);
            buf[at + 18] = char(r.type);
            memcpy(&buf[at + 19], r.name.data(), r.name.size());
            buf[at + 19 + r.name.size()] = 0;
            recs.push_back(r);
        }
    }
    // The buffer alone on the heap, aligned as the worker's is: ASan sees any overread.
    char *heap = static_cast<char *>(aligned_alloc(64, (buf.size() + 63) & ~size_t(63) ?: 64));
    if (!buf.empty()) memcpy(heap, buf.data(), buf.size());
    int rc = fr2_dirent_parse(heap, long(buf.size()), &batch);
    const fr2_entry *entries = batch.entries;
    int32_t count = batch.count, cap = batch.cap;
    free(heap);
    if (rc != 0) fuzz_fail("fr2_dirent_parse failed", std::to_string(rc), "0");
    check_capacity(count, cap);
    if (count < before) fuzz_fail("entries lost", std::to_string(count), std::to_string(before));
    for (int32_t i = 0; i < before; i++) {
        char want[32];
        snprintf(want, sizeof want, "old%d", i);
        if (strcmp(entries[i].name, want) != 0) fuzz_fail("earlier entry changed", entries[i].name, want);
    }
    for (int32_t i = before; i < count; i++) {
        const fr2_entry &e = entries[i];
        if (e.name < batch.names || e.name >= batch.names + batch.names_used)
            fuzz_fail("name outside the arena", "", "");
        size_t n = strnlen(e.name, 256);
        if (n == 256) fuzz_fail("name not terminated", "", "");
        if (n != e.name_len) fuzz_fail("name_len", std::to_string(e.name_len), std::to_string(n));
        if (e.stat_ok != 0) fuzz_fail("stat_ok set before any statx", "", "");
        if (e.is_dir != (e.d_type == DT_DIR)) fuzz_fail("is_dir does not follow d_type", "", "");
        if (!strcmp(e.name, ".") || !strcmp(e.name, "..")) fuzz_fail("dot entry kept", e.name, "");
    }
    if (!(mode & 1)) {
        std::vector<Rec> want;
        for (auto &r : recs)
            if (r.name != "." && r.name != "..") want.push_back(r);
        if (size_t(count - before) != want.size())
            fuzz_fail("entry count", std::to_string(count - before), std::to_string(want.size()));
        for (size_t k = 0; k < want.size(); k++) {
            const fr2_entry &e = entries[before + int32_t(k)];
            if (want[k].name != e.name) fuzz_fail("name", e.name, want[k].name);
            if (e.d_ino != want[k].ino || e.d_type != want[k].type)
                fuzz_fail("inode or type", e.name, want[k].name);
        }
    }
    fr2_batch_free(&batch);
    return 0;
}
