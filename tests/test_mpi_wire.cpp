// The bytes between ranks: directory items and chunks survive the trip with
// every field a line needs, and a message cut short or garbled anywhere is
// refused whole, never read past its end. Cutting a big directory: what stays
// with the reader, what goes into chunks, and the line written by the last
// of the parts to report. The job's entry rate shared over the ranks.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "fr2.h"
#include "fr2_chunk.h"
#include "fr2_mpi_comm.h"
#include "fr2_mpi_wire.h"
#include "fr2_output.h"
#include "fr2_queue.h"

namespace {

fr2_dir_item *dir_item(const std::string &path, int depth, uint64_t ino) {
    fr2_dir_item *it = fr2_dir_item_new(path.data(), path.size());
    it->depth = depth;
    it->parent_ino = ino - 1;
    it->stx.stx_ino = ino;
    it->stx.stx_size = 4096 + ino;
    it->stx.stx_blocks = 8;
    it->stx.stx_atime.tv_sec = -5;  // before 1970
    it->stx.stx_mtime.tv_sec = 1733640000;
    it->stx.stx_ctime.tv_sec = 1733650000;
    it->stx.stx_nlink = 3;
    it->stx.stx_uid = 1000;
    it->stx.stx_gid = 4294967294u;
    it->stx.stx_dev_major = 0x1234;
    it->stx.stx_dev_minor = 0x56789;
    it->stx.stx_mode = 040755;
    return it;
}

// Entries point at their names, which live here to the end of the test.
std::deque<std::string> g_names;

std::vector<fr2_entry> entries(int n, const std::string &prefix) {
    std::vector<fr2_entry> v(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
        std::string &name = g_names.emplace_back(prefix + std::to_string(i));
        memset(&v[size_t(i)], 0, sizeof(fr2_entry));
        v[size_t(i)].name = name.data();
        v[size_t(i)].name_len = uint16_t(name.size());
        v[size_t(i)].d_type = i % 2 ? DT_DIR : DT_REG;
    }
    return v;
}

// The line each item would print, which is what must survive.
std::string line_of(const fr2_dir_item *it) {
    char line[FR2_LINE_MAX];
    int n = fr2_format_line(line, it->path, nullptr, &it->stx, it->parent_ino, it->depth, 7, 9);
    return std::string(line, size_t(n));
}

class Wire : public testing::Test {
  protected:
    void SetUp() override {
        fr2_state_init();
        g_chunk_entries = 0;
        g_chunk_rank = 0;
    }
    void TearDown() override {
        while (fr2_dir_item *it = fr2_queue_try_pop()) fr2_dir_item_free(it);
        g_chunk_entries = 0;
    }
};

TEST_F(Wire, ItemsAndChunksRoundTripWithWhatTheirLinesNeed) {
    // A directory continued from a checkpoint, one with an odd path, and a
    // chunk cut from a big one.
    std::vector<fr2_dir_item *> items{dir_item("/data/a", 1, 100),
                                      dir_item(std::string("/x/\"q,\n") + std::string(300, 'n'), 7, 200)};
    items[0]->resume_off = 0x7fffffff12345;
    items[0]->resume_fcount = 41;
    items[0]->resume_dirsum = 9000;
    fr2_dir_item *big = dir_item("/data/big", 2, 300);
    g_chunk_entries = 3;
    g_chunk_rank = 5;
    auto es = entries(5, "file");
    ASSERT_EQ(fr2_chunk_cut(big, es.data(), 5, 3), 3);
    fr2_dir_item *chunk = fr2_queue_try_pop();
    ASSERT_NE(chunk, nullptr);
    ASSERT_NE(chunk->chunk, nullptr);
    items.push_back(chunk);

    std::vector<uint8_t> buf(fr2_wire_list_size(items.data(), uint32_t(items.size())));
    uint8_t *end = fr2_wire_put_list(buf.data(), items.data(), uint32_t(items.size()));
    ASSERT_EQ(size_t(end - buf.data()), buf.size());
    EXPECT_EQ(buf.size(), 4 + 3 * FR2_ITEM_FIXED + items[0]->path_len + items[1]->path_len +
                              chunk->path_len + FR2_ITEM_CHUNK_FIXED + chunk->chunk->bytes);

    fr2_dir_item *got[8];
    ASSERT_EQ(fr2_wire_get_list(buf.data(), buf.size(), got, 8), 3);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(line_of(got[i]), line_of(items[i]));
        EXPECT_EQ(std::string(got[i]->path), std::string(items[i]->path));
        EXPECT_EQ(got[i]->depth, items[i]->depth);
    }
    EXPECT_EQ(got[0]->chunk, nullptr);
    EXPECT_EQ(got[0]->resume_off, items[0]->resume_off);
    EXPECT_EQ(got[0]->resume_fcount, 41);
    EXPECT_EQ(got[0]->resume_dirsum, 9000);
    EXPECT_EQ(got[1]->resume_off, 0);
    ASSERT_NE(got[2]->chunk, nullptr);
    EXPECT_EQ(got[2]->chunk->owner, 5);
    EXPECT_EQ(got[2]->chunk->big_id, uint64_t(uintptr_t(big->big)));
    // The chunk's names come back as entries to stat, with their types.
    fr2_batch batch{};
    ASSERT_EQ(fr2_chunk_entries(got[2]->chunk, &batch), 0);
    ASSERT_EQ(batch.count, 2);
    EXPECT_STREQ(batch.entries[0].name, "file3");
    EXPECT_TRUE(batch.entries[0].is_dir);
    EXPECT_STREQ(batch.entries[1].name, "file4");
    EXPECT_FALSE(batch.entries[1].is_dir);
    fr2_batch_free(&batch);
    for (int i = 0; i < 3; i++) fr2_dir_item_free(got[i]);

    // Every shorter message, and a longer one, is refused whole.
    for (size_t len = 0; len < buf.size(); len++)
        ASSERT_EQ(fr2_wire_get_list(buf.data(), len, got, 8), -1) << "accepted " << len << " bytes";
    std::vector<uint8_t> longer = buf;
    longer.push_back(0);
    EXPECT_EQ(fr2_wire_get_list(longer.data(), longer.size(), got, 8), -1);
    // More items than the receiver takes.
    EXPECT_EQ(fr2_wire_get_list(buf.data(), buf.size(), got, 2), -1);
    // A path length past the message, a name with a slash in a chunk.
    std::vector<uint8_t> bad = buf;
    uint32_t huge = 4000;
    memcpy(&bad[4 + 1], &huge, 4);
    EXPECT_EQ(fr2_wire_get_list(bad.data(), bad.size(), got, 8), -1);
    bad = buf;
    bad[bad.size() - 1] = '/';
    EXPECT_EQ(fr2_wire_get_list(bad.data(), bad.size(), got, 8), -1);

    for (auto *it : items) fr2_dir_item_free(it);
    delete big->big;
    fr2_dir_item_free(big);
    g_state.dirs_pending.store(0, std::memory_order_relaxed);
}

TEST_F(Wire, BigDirectoryLineWaitsForTheLastPart) {
    g_chunk_entries = 4;
    fr2_dir_item *big = dir_item("/data/big", 2, 300);
    g_state.dirs_pending.store(1, std::memory_order_relaxed);  // the directory itself
    auto es = entries(11, "e");
    // The reader keeps 4; 7 more go out in chunks of 4 and 3.
    ASSERT_EQ(fr2_chunk_cut(big, es.data(), 11, 4), 4);
    ASSERT_NE(big->big, nullptr);
    EXPECT_EQ(g_state.dirs_pending.load(std::memory_order_relaxed), 3);
    fr2_dir_item *c2 = fr2_queue_try_pop(), *c1 = fr2_queue_try_pop();
    ASSERT_TRUE(c1 && c2 && c1->chunk && c2->chunk);
    if (c1->chunk->count == 3) std::swap(c1, c2);
    EXPECT_EQ(c1->chunk->count, 4u);
    EXPECT_EQ(c2->chunk->count, 3u);
    EXPECT_EQ(fr2_queue_try_pop(), nullptr);
    // Nothing beyond the reader's share: nothing is cut.
    auto few = entries(2, "g");
    EXPECT_EQ(fr2_chunk_cut(big, few.data(), 2, 4), 2);

    fr2_outbuf *out = static_cast<fr2_outbuf *>(calloc(1, sizeof(fr2_outbuf)));
    fr2_big_dir *record = big->big;
    fr2_chunk_report(out, c2->chunk, 3, 30);
    fr2_big_dir_report(out, record, 4, 40);  // the reader's own part
    EXPECT_EQ(out->len, 0) << "a line before every part reported";
    EXPECT_EQ(g_state.dirs_pending.load(std::memory_order_relaxed), 3);
    fr2_chunk_report(out, c1->chunk, 4, 400);
    ASSERT_GT(out->len, 0);
    std::string line(out->buf, size_t(out->len));
    EXPECT_NE(line.find(",11,470\n"), std::string::npos) << line;
    EXPECT_EQ(line.find("\"/data/big\""), line.find('"')) << line;
    // The directory is counted out; the chunks are still their workers'.
    EXPECT_EQ(g_state.dirs_pending.load(std::memory_order_relaxed), 2);
    fr2_dir_item_free(c1);
    fr2_dir_item_free(c2);
    free(out);
    g_state.dirs_pending.store(0, std::memory_order_relaxed);
}

// The job's rate goes where the work is, and the shares never add up to more.
TEST(RateShares, FollowTheRanksThatTheCapHoldsBack) {
    auto shares_of = [](int64_t rate, std::vector<fr2_rate_use> use) {
        std::vector<int64_t> out(use.size());
        fr2_mpi_rate_shares(rate, int(use.size()), use.data(), out.data());
        int64_t sum = 0;
        for (int64_t v : out) {
            EXPECT_GE(v, 1);
            sum += v;
        }
        if (rate >= int64_t(use.size())) {
            EXPECT_LE(sum, rate);
        }
        return out;
    };
    using V = std::vector<int64_t>;
    // None held back, or all: even shares, the remainder to the first.
    EXPECT_EQ(shares_of(2003, {{0, false}, {0, false}, {0, false}, {0, false}}),
              (V{501, 501, 501, 500}));
    EXPECT_EQ(shares_of(2000, {{500, true}, {500, true}, {500, true}, {500, true}}),
              (V{500, 500, 500, 500}));
    // One rank with all the work: nearly the whole rate; idle ranks keep a
    // fiftieth of an even share to start with.
    EXPECT_EQ(shares_of(2000, {{500, true}, {0, false}, {0, false}, {0, false}}),
              (V{1970, 10, 10, 10}));
    // A rank that lists below its share (slow storage) keeps what it uses and
    // a quarter more; the held-back ranks split the rest.
    EXPECT_EQ(shares_of(2000, {{300, false}, {400, true}, {400, true}, {0, false}}),
              (V{375, 808, 807, 10}));
    // Nothing left for the held-back ranks: even shares again.
    EXPECT_EQ(shares_of(2000, {{5000, false}, {400, true}}), (V{1000, 1000}));
    // A rate below one entry a second per rank.
    EXPECT_EQ(shares_of(3, {{1, true}, {0, false}, {0, false}, {0, false}}), (V{1, 1, 1, 1}));
}

}  // namespace
