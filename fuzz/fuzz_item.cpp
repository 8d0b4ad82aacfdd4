// The directory item's encoding (checkpoint files, messages between ranks).
// Arbitrary bytes: decoding never reads past the end, never leaks, and what
// it accepts is a sane item (a path of 1 to 4095 bytes without NUL, chunk
// names whole and without NUL or "/", chunks only where allowed) that encodes
// and decodes to itself. Items built from the input: the encoding takes the
// size it says, decodes whole to the same fields, and no shorter prefix of it
// decodes.
#include <vector>

#include "fr2_item.h"
#include "fuzz_ref.h"

// The fields the encoding carries.
static bool same_item(const fr2_dir_item *a, const fr2_dir_item *b) {
    const struct statx &x = a->stx, &y = b->stx;
    bool same = a->path_len == b->path_len && memcmp(a->path, b->path, a->path_len) == 0 &&
                b->path[b->path_len] == 0 && a->parent_ino == b->parent_ino &&
                a->depth == b->depth && a->resume_off == b->resume_off &&
                a->resume_fcount == b->resume_fcount && a->resume_dirsum == b->resume_dirsum &&
                x.stx_ino == y.stx_ino && x.stx_size == y.stx_size &&
                x.stx_blocks == y.stx_blocks && x.stx_atime.tv_sec == y.stx_atime.tv_sec &&
                x.stx_mtime.tv_sec == y.stx_mtime.tv_sec &&
                x.stx_ctime.tv_sec == y.stx_ctime.tv_sec && x.stx_uid == y.stx_uid &&
                x.stx_gid == y.stx_gid && x.stx_nlink == y.stx_nlink &&
                x.stx_dev_major == y.stx_dev_major && x.stx_dev_minor == y.stx_dev_minor &&
                x.stx_mode == y.stx_mode && (a->chunk == nullptr) == (b->chunk == nullptr);
    if (same && a->chunk) {
        const fr2_chunk &c = *a->chunk, &d = *b->chunk;
        same = c.owner == d.owner && c.big_id == d.big_id && c.count == d.count &&
               c.bytes == d.bytes && memcmp(c.names, d.names, c.bytes) == 0;
    }
    return same;
}

// Encodes into a buffer of exactly its size on the heap (ASan sees any
// overrun), and decodes it back.
static fr2_dir_item *round_trip(const fr2_dir_item *item, std::vector<uint8_t> *bytes) {
    size_t size = fr2_dir_item_encoded_size(item);
    uint8_t *buf = static_cast<uint8_t *>(malloc(size));
    uint8_t *end = fr2_dir_item_encode(buf, item, nullptr);
    if (size_t(end - buf) != size)
        fuzz_fail("encoded size", std::to_string(end - buf), std::to_string(size));
    bytes->assign(buf, buf + size);
    const uint8_t *in = buf;
    fr2_dir_item *back = fr2_dir_item_decode(&in, buf + size, true);
    if (!back) fuzz_fail("an encoded item is refused", "", "");
    if (in != buf + size) fuzz_fail("decoding stops short", std::to_string(in - buf), "");
    free(buf);
    if (!same_item(item, back)) fuzz_fail("round trip changes the item", back->path, item->path);
    return back;
}

static void check_sane(const fr2_dir_item *item, bool chunks) {
    if (item->path_len == 0 || item->path_len > FR2_MAX_PATH) fuzz_fail("path length", "", "");
    if (memchr(item->path, 0, item->path_len)) fuzz_fail("NUL in a path", "", "");
    if (item->chunk && !chunks) fuzz_fail("a chunk where none is allowed", "", "");
    if (const fr2_chunk *c = item->chunk) {
        const uint8_t *p = c->names, *end = c->names + c->bytes;
        for (uint32_t i = 0; i < c->count; i++) {
            if (end - p < 2 || p[1] == 0 || end - p - 2 < p[1]) fuzz_fail("chunk record", "", "");
            if (memchr(p + 2, 0, p[1]) || memchr(p + 2, '/', p[1]))
                fuzz_fail("chunk name with NUL or slash", "", "");
            p += 2 + p[1];
        }
        if (p != end) fuzz_fail("chunk names past their count", "", "");
    }
}

static void decode_arbitrary(const uint8_t *data, size_t size, bool chunks) {
    uint8_t *buf = static_cast<uint8_t *>(malloc(size ? size : 1));
    if (size) memcpy(buf, data, size);
    const uint8_t *in = buf, *end = buf + size;
    while (fr2_dir_item *item = fr2_dir_item_decode(&in, end, chunks)) {
        check_sane(item, chunks);
        std::vector<uint8_t> bytes;
        fr2_dir_item_free(round_trip(item, &bytes));
        fr2_dir_item_free(item);
    }
    if (in > end) fuzz_fail("read past the end", "", "");
    free(buf);
}

static fr2_dir_item *build_item(FuzzReader &in) {
    std::string path = in.str(FR2_MAX_PATH);
    if (path.empty()) path = "/";
    fr2_dir_item *item = fr2_dir_item_new(path.data(), path.size());
    item->parent_ino = in.num<uint64_t>();
    item->depth = in.num<int32_t>();
    struct statx &s = item->stx;
    s.stx_ino = in.num<uint64_t>();
    s.stx_size = in.num<uint64_t>();
    s.stx_blocks = in.num<uint64_t>();
    s.stx_atime.tv_sec = in.num<int64_t>();
    s.stx_mtime.tv_sec = in.num<int64_t>();
    s.stx_ctime.tv_sec = in.num<int64_t>();
    s.stx_uid = in.num<uint32_t>();
    s.stx_gid = in.num<uint32_t>();
    s.stx_nlink = in.num<uint32_t>();
    s.stx_dev_major = in.num<uint32_t>();
    s.stx_dev_minor = in.num<uint32_t>();
    s.stx_mode = in.num<uint16_t>();
    uint8_t kind = in.byte() % 3;
    if (kind == FR2_ITEM_IN_PROGRESS) {
        item->resume_off = in.num<int64_t>();
        item->resume_fcount = in.num<int64_t>();
        item->resume_dirsum = in.num<int64_t>();
    } else if (kind == FR2_ITEM_CHUNK) {
        std::string names;
        uint32_t count = 1 + in.byte() % 64;
        for (uint32_t i = 0; i < count; i++) {
            std::string name = in.str(255);
            for (char &c : name)
                if (c == '/') c = '_';
            if (name.empty()) name = "n";
            names += char(in.byte());  // d_type
            names += char(name.size());
            names += name;
        }
        item->chunk = fr2_chunk_alloc(count, uint32_t(names.size()));
        item->chunk->owner = in.num<int32_t>();
        item->chunk->big_id = in.num<uint64_t>();
        memcpy(item->chunk->names, names.data(), names.size());
    }
    return item;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    uint8_t mode = data[0];
    if (mode & 1) {
        decode_arbitrary(data + 1, size - 1, mode & 2);
        return 0;
    }
    FuzzReader in{data + 1, size - 1};
    fr2_dir_item *item = build_item(in);
    std::vector<uint8_t> bytes;
    fr2_dir_item_free(round_trip(item, &bytes));
    // No record cut short is taken for one, wherever it is cut.
    size_t cut = size_t(in.num<uint16_t>()) % bytes.size();
    for (size_t len : {cut, bytes.size() - 1}) {
        std::vector<uint8_t> part(bytes.begin(), bytes.begin() + long(len));
        uint8_t *buf = static_cast<uint8_t *>(malloc(len ? len : 1));
        if (len) memcpy(buf, part.data(), len);
        const uint8_t *p = buf;
        if (fr2_dir_item *got = fr2_dir_item_decode(&p, buf + len, true))
            fuzz_fail("a record cut short is taken", got->path, std::to_string(len));
        if (p != buf) fuzz_fail("a refusal moves the input", "", "");
        free(buf);
    }
    // A chunk is only taken where chunks may come.
    if (item->chunk) {
        const uint8_t *p = bytes.data();
        if (fr2_dir_item_decode(&p, bytes.data() + bytes.size(), false))
            fuzz_fail("a chunk taken where none may come", item->path, "");
    }
    fr2_dir_item_free(item);
    return 0;
}
