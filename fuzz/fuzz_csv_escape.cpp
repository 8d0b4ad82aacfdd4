// The quote-doubling copy against the slow reference, for every destination
// size: same bytes, always NUL-terminated, never a byte past the destination.
#include "fr2_output.h"
#include "fuzz_ref.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzReader in{data, size};
    // Sizes around the interesting ones are as likely as small ones.
    uint16_t raw = in.num<uint16_t>();
    size_t dst_size = 1 + raw % 9000;
    std::string src(reinterpret_cast<const char *>(in.p), in.n);
    src = src.substr(0, strlen(src.c_str()));

    char *dst = static_cast<char *>(malloc(dst_size));  // exact size: ASan sees any overrun
    memset(dst, 0x55, dst_size);
    fr2_csv_escape(src.c_str(), dst, dst_size);
    std::string want = ref_escape(src, dst_size);
    if (memchr(dst, 0, dst_size) == nullptr) fuzz_fail("not NUL-terminated", "", want);
    std::string got(dst);
    free(dst);
    if (got != want) fuzz_fail("fr2_csv_escape", got, want);
    return 0;
}
