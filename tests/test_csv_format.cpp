// Unit tests of the output formatting against the scanner's library: quote
// doubling and its cut-off rules, the extension rule, device numbers, the
// exact bytes of file and directory lines, and the output buffer's limits.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "fr2.h"
#include "fr2_output.h"
#include "harness.h"

namespace {

// Long texts compared by length and their last bytes, for readable failures.
::testing::AssertionResult same_long(const std::string &got, const std::string &want) {
    if (got == want) return ::testing::AssertionSuccess();
    auto tail = [](const std::string &s) { return s.size() > 12 ? "..." + s.substr(s.size() - 12) : s; };
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes ending " << tail(got)
                                         << ", want " << want.size() << " bytes ending " << tail(want);
}

std::string escape(const std::string &src, size_t dst_size) {
    std::string dst(dst_size + 16, '\x7f');  // guard bytes show a write past the end
    fr2_csv_escape(src.c_str(), dst.data(), dst_size);
    for (size_t i = dst_size; i < dst.size(); i++)
        EXPECT_EQ(dst[i], '\x7f') << "fr2_csv_escape wrote past " << dst_size << " bytes";
    size_t len = strnlen(dst.c_str(), dst_size);
    EXPECT_LT(len, dst_size) << "no terminating NUL inside the destination";
    return dst.substr(0, len);
}

const char *ext(const char *name) { return fr2_extension(name); }

struct statx sample_stx() {
    struct statx s;
    memset(&s, 0, sizeof s);
    s.stx_ino = 12345;
    s.stx_uid = 1000;
    s.stx_gid = 100;
    s.stx_size = 4096;
    s.stx_dev_major = 8;
    s.stx_dev_minor = 1;
    s.stx_blocks = 8;
    s.stx_nlink = 1;
    s.stx_mode = 0100644;
    s.stx_atime.tv_sec = -315619200;  // 1960-01-01
    s.stx_atime.tv_nsec = 999999999;  // never printed
    s.stx_mtime.tv_sec = 1700000000;
    s.stx_ctime.tv_sec = 1700000001;
    return s;
}

// A zero-filled output buffer, as a worker starts with.
struct Worker {
    fr2_outbuf *w;
    Worker() { w = static_cast<fr2_outbuf *>(calloc(1, sizeof(fr2_outbuf))); }
    ~Worker() { free(w); }
    std::string take() {
        std::string s(w->buf, size_t(w->len));
        w->len = 0;
        return s;
    }
};

// Captures what the process writes to standard output (fd 1 and stdout).
class StdoutCapture {
  public:
    StdoutCapture() : tmp_(), path_(tmp_ / "out") {
        fflush(stdout);
        saved_ = dup(1);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    std::string text() {
        fflush(stdout);
        return fr2test::read_file(path_);
    }
    ~StdoutCapture() {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

  private:
    fr2test::TempDir tmp_;
    std::string path_;
    int saved_;
};

}  // namespace

TEST(CsvEscape, DoublesQuotesAndCopiesEverythingElse) {
    EXPECT_EQ(escape("plain", 64), "plain");
    EXPECT_EQ(escape("", 64), "");
    EXPECT_EQ(escape("a\"b", 64), "a\"\"b");
    EXPECT_EQ(escape("\"\"", 64), "\"\"\"\"");
    EXPECT_EQ(escape("say \"hi\", ok", 64), "say \"\"hi\"\", ok");
    // Commas, line feeds, carriage returns and high bytes are copied as they are.
    EXPECT_EQ(escape("a,b\nc\rd\xff\xfe\x80", 64), "a,b\nc\rd\xff\xfe\x80");
}

TEST(CsvEscape, CutsAtTheLimitWithoutSplittingADoubledQuote) {
    // Size 4: at most 3 characters.
    EXPECT_EQ(escape("abc", 4), "abc");
    EXPECT_EQ(escape("abcd", 4), "abc");
    EXPECT_EQ(escape("a\"b", 4), "a\"\"");   // the doubled quote fits exactly
    EXPECT_EQ(escape("ab\"", 4), "ab");      // a quote meeting the limit is dropped
    // ... and the next non-quote byte takes the last place.
    EXPECT_EQ(escape("ab\"c", 4), "abc");
    EXPECT_EQ(escape("ab\"\"\"cd", 4), "abc");  // every quote that does not fit is dropped
    EXPECT_EQ(escape("abc\"d", 4), "abc");   // already full: the rest is cut
    // Size 2: one character; size 1: none.
    EXPECT_EQ(escape("\"x", 2), "x");
    EXPECT_EQ(escape("\"", 2), "");
    EXPECT_EQ(escape("xyz", 1), "");
    EXPECT_EQ(escape("\"", 1), "");
    // Size 3: a quote first fits doubled.
    EXPECT_EQ(escape("\"ab", 3), "\"\"");
}

TEST(Extension, AfterTheLastDotALeadingDotNotCounting) {
    EXPECT_STREQ(ext("archive.tar.gz"), "gz");
    EXPECT_STREQ(ext("report.pdf"), "pdf");
    EXPECT_EQ(ext(".bashrc"), nullptr);
    EXPECT_STREQ(ext("..config"), "config");
    EXPECT_STREQ(ext("name."), "");
    EXPECT_STREQ(ext("photos.old"), "old");
    EXPECT_STREQ(ext(".tar.gz"), "gz");
    EXPECT_STREQ(ext("a.b."), "");
    EXPECT_STREQ(ext("..."), "");
    EXPECT_STREQ(ext("x.\"q\",y"), "\"q\",y");
    EXPECT_EQ(ext("noext"), nullptr);
    EXPECT_EQ(ext("."), nullptr);
    EXPECT_EQ(ext(""), nullptr);
    EXPECT_EQ(ext(".x"), nullptr);
}

TEST(Makedev, GlibcRule) {
    EXPECT_EQ(fr2_makedev(8, 1), 2049u);
    EXPECT_EQ(fr2_makedev(0, 0), 0u);
    EXPECT_EQ(fr2_makedev(259, 0), 66304u);
    EXPECT_EQ(fr2_makedev(0x1234, 0x56789a), 0x10056782349aull);
    EXPECT_EQ(fr2_makedev(0xffffffffu, 0xffffffffu), 0xffffffffffffffffull);
    // The same as glibc's own makedev for values across every bit boundary.
    unsigned vals[] = {0, 1, 0xff, 0x100, 0xfff, 0x1000, 0xfffff, 0x100000, 0x7fffffff, 0xffffffff};
    for (unsigned ma : vals)
        for (unsigned mi : vals) EXPECT_EQ(fr2_makedev(ma, mi), uint64_t(makedev(ma, mi))) << ma << ":" << mi;
}

TEST(FormatLine, FileLineExactBytes) {
    Worker k;
    struct statx s = sample_stx();
    fr2_format_file(k.w, "/data/a \"q\",b.txt", "txt", &s, 777, 2);
    EXPECT_EQ(k.take(),
              "12345,777,2,\"/data/a \"\"q\"\",b.txt\",\"txt\",1000,100,4096,2049,8,1,"
              "\"0100644\",-315619200,1700000000,1700000001,-1,0\n");
    // No extension: an empty quoted field. Seven-digit modes, signed size,
    // full 64-bit inode and device, 32-bit ids.
    s.stx_ino = 18446744073709551615ull;
    s.stx_size = 1ull << 63;
    s.stx_uid = 4294967295u;
    s.stx_gid = 0;
    s.stx_mode = 0;
    s.stx_dev_major = 0x1234;
    s.stx_dev_minor = 0x56789a;
    s.stx_nlink = 4000000000u;
    fr2_format_file(k.w, "/x/.bashrc", nullptr, &s, 0, 0);
    EXPECT_EQ(k.take(),
              "18446744073709551615,0,0,\"/x/.bashrc\",\"\",4294967295,0,-9223372036854775808,"
              "17615397467290,8,4000000000,\"0000000\",-315619200,1700000000,1700000001,-1,0\n");
    s.stx_mode = 0177777;
    fr2_format_file(k.w, "l", "", &s, 1, 7);
    std::string line = k.take();
    EXPECT_NE(line.find(",\"0177777\","), std::string::npos) << line;
    EXPECT_NE(line.find(",\"l\",\"\","), std::string::npos) << line;
}

TEST(FormatLine, DirectoryLinePrintsDepthMinusOneAndItsCounts) {
    Worker k;
    struct statx s = sample_stx();
    s.stx_mode = 040755;
    fr2_format_dir(k.w, "/data/photos.old", "old", &s, 555, 3, 12, 34567);
    EXPECT_EQ(k.take(),
              "12345,555,2,\"/data/photos.old\",\"old\",1000,100,4096,2049,8,1,"
              "\"0040755\",-315619200,1700000000,1700000001,12,34567\n");
    // The root: parent 0, depth 0 printed as -1.
    s.stx_mode = 041777;
    fr2_format_dir(k.w, "/data", nullptr, &s, 0, 0, 0, 0);
    EXPECT_EQ(k.take(),
              "12345,0,-1,\"/data\",\"\",1000,100,4096,2049,8,1,"
              "\"0041777\",-315619200,1700000000,1700000001,0,0\n");
    // 64-bit counts.
    fr2_format_dir(k.w, "/d", nullptr, &s, 1, 1, 5000000000ll, 9000000000000ll);
    std::string line = k.take();
    EXPECT_EQ(line.substr(line.size() - 26), ",5000000000,9000000000000\n") << line;
}

TEST(FormatLine, FormatLineIsTheSameLine) {
    Worker k;
    struct statx s = sample_stx();
    char line[FR2_LINE_MAX];
    int n = fr2_format_line(line, "/data/a \"q\",b.txt", "txt", &s, 777, 2, -1, 0);
    fr2_format_file(k.w, "/data/a \"q\",b.txt", "txt", &s, 777, 2);
    std::string want = k.take();
    ASSERT_EQ(n, int(want.size()));
    EXPECT_EQ(std::string(line, size_t(n)), want);
}

TEST(FormatLine, NoRealPathIsCutAndLongerTextFollowsTheDoublingRule) {
    Worker k;
    struct statx s = sample_stx();
    auto field = [&](fr2test::Column col) {
        std::string line = k.take();
        fr2test::Row f = fr2test::parse_csv(line)[0];
        return f.at(col);
    };
    // The longest path the walker composes (a 4095-byte directory, "/", a
    // 255-byte name) is never cut, even when every byte of it doubles.
    std::string worst = std::string(4095, '"') + "/" + std::string(255, '"');
    fr2_format_file(k.w, worst.c_str(), nullptr, &s, 1, 1);
    EXPECT_TRUE(same_long(field(fr2test::COL_PATH), worst));
    // Longer text is cut by the quote-doubling rule at 8702 characters: a
    // quote meeting the limit is dropped and the next byte takes the last place.
    const size_t limit = 2 * (4095 + 1 + 255);
    fr2_format_file(k.w, std::string(9000, 'p').c_str(), nullptr, &s, 1, 1);
    EXPECT_TRUE(same_long(field(fr2test::COL_PATH), std::string(limit, 'p')));
    fr2_format_file(k.w, (std::string(limit - 1, 'a') + "\"bcd").c_str(), nullptr, &s, 1, 1);
    EXPECT_TRUE(same_long(field(fr2test::COL_PATH), std::string(limit - 1, 'a') + "b"));
    fr2_format_file(k.w, (std::string(limit - 2, 'a') + "\"bcd").c_str(), nullptr, &s, 1, 1);
    EXPECT_TRUE(same_long(field(fr2test::COL_PATH), std::string(limit - 2, 'a') + "\""));
    // The extension is cut at 4095.
    fr2_format_file(k.w, "/e", std::string(5000, 'e').c_str(), &s, 1, 1);
    EXPECT_TRUE(same_long(field(fr2test::COL_EXTENSION), std::string(4095, 'e')));
    fr2_format_file(k.w, "/e", (std::string(4094, 'e') + "\"z").c_str(), &s, 1, 1);
    EXPECT_TRUE(same_long(field(fr2test::COL_EXTENSION), std::string(4094, 'e') + "z"));
    // The longest possible line is whole and ends the way every line does.
    fr2_format_dir(k.w, std::string(9000, '"').c_str(), std::string(5000, '"').c_str(), &s,
                   ~0ull, -2147483647, -9223372036854775807ll, -9223372036854775807ll);
    std::string line = k.take();
    EXPECT_GT(line.size(), 12000u);
    EXPECT_EQ(line.back(), '\n');
}

TEST(OutputBuffer, FillsToExactlyFullThenWritesTheWholeBuffer) {
    Worker k;
    struct statx s = sample_stx();
    // A line of exactly 536 bytes: measure one, then lengthen its path.
    fr2_format_file(k.w, "/p", nullptr, &s, 1, 1);
    size_t base = size_t(k.w->len);
    k.take();
    std::string path = "/p" + std::string(536 - base, 'x');
    StdoutCapture cap;
    memset(k.w->buf, 'B', 65000);
    k.w->len = 65000;
    fr2_format_file(k.w, path.c_str(), nullptr, &s, 1, 1);
    EXPECT_EQ(k.w->len, 65536) << "a 536-byte line fits a buffer holding 65,000 bytes";
    EXPECT_EQ(cap.text(), "") << "nothing is written while the line fits";
    std::string full(k.w->buf, 65536);
    // The next line, of any length, first writes the 65536 bytes out.
    fr2_format_file(k.w, "/q", nullptr, &s, 1, 1);
    std::string written = cap.text();
    EXPECT_EQ(written.size(), 65536u);
    EXPECT_TRUE(written == full) << "the buffer is written whole";
    EXPECT_EQ(written.substr(65000, 3), "123");
    std::string q(k.w->buf, size_t(k.w->len));
    EXPECT_EQ(q.substr(0, 16), "12345,1,1,\"/q\",\"");
    // Flushing writes what is left; an empty buffer writes nothing.
    fr2_flush_output(k.w);
    EXPECT_EQ(k.w->len, 0);
    EXPECT_EQ(cap.text(), written + q);
    fr2_flush_output(k.w);
    EXPECT_EQ(cap.text(), written + q);
}
