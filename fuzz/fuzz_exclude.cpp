// The exclude-file loader on any file content, on top of a table that may
// already hold entries from earlier files: the table must hold exactly the
// lines a plain reading of the rule gives (pieces of at most 4095 bytes, one
// trailing newline removed, empty lines skipped, 512 entries in all), and the
// lookup must match exactly those.
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "fr2_config.h"
#include "fuzz_ref.h"

static std::vector<std::string> reference_lines(const std::string &text, int room) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        // A read of at most 4095 bytes, through the first newline.
        size_t end = pos;
        while (end < text.size() && end - pos < 4095) {
            if (text[end++] == '\n') break;
        }
        std::string piece = text.substr(pos, end - pos);
        pos = end;
        if (int(out.size()) >= room) break;
        piece = piece.substr(0, strlen(piece.c_str()));  // a NUL ends the text
        if (piece.empty()) continue;
        if (piece.back() == '\n') piece.pop_back();
        if (piece.empty()) continue;
        out.push_back(piece);
    }
    return out;
}

static fr2_exclude_list g_list;

static void clear_table() {
    for (int i = 0; i < g_list.count; i++) free(g_list.paths[i]);
    memset(&g_list, 0, sizeof g_list);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzReader in{data, size};
    int earlier = in.num<uint16_t>() % 530;
    if (earlier > FR2_MAX_EXCLUDES) earlier = FR2_MAX_EXCLUDES;
    std::string probe = in.str(64);
    std::string text(reinterpret_cast<const char *>(in.p), in.n);

    clear_table();
    for (int i = 0; i < earlier; i++) {
        char name[32];
        snprintf(name, sizeof name, "/earlier/%d", i);
        g_list.paths[i] = strdup(name);
    }
    g_list.count = earlier;

    int fd = memfd_create("exclude", 0);
    if (fd < 0) abort();
    if (write(fd, text.data(), text.size()) != ssize_t(text.size())) abort();
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (fr2_config_read_exclude_file(&g_list, path) != 0) fuzz_fail("exclude file not read", path, "");
    close(fd);

    std::vector<std::string> want = reference_lines(text, FR2_MAX_EXCLUDES - earlier);
    if (g_list.count != earlier + int(want.size()))
        fuzz_fail("entry count", std::to_string(g_list.count),
                  std::to_string(earlier + want.size()));
    std::set<std::string> all;
    for (int i = 0; i < earlier; i++) all.insert(g_list.paths[i]);
    for (size_t k = 0; k < want.size(); k++) {
        const char *got = g_list.paths[earlier + int(k)];
        if (!got || want[k] != got) fuzz_fail("entry", got ? got : "(null)", want[k]);
        if (!fr2_check_exclude(&g_list, want[k].c_str())) fuzz_fail("stored line does not match", want[k], "");
        all.insert(want[k]);
    }
    bool probe_in = all.count(probe) > 0;
    if (fr2_check_exclude(&g_list, probe.c_str()) != probe_in)
        fuzz_fail("lookup of a probe", probe, probe_in ? "listed" : "not listed");
    return 0;
}
