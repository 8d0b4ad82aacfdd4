// The extension rule against the slow reference: the same text, or both none.
#include "fr2_output.h"
#include "fuzz_ref.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *name = static_cast<char *>(malloc(size + 1));
    memcpy(name, data, size);
    name[size] = 0;
    const char *ext = fr2_extension(name);
    long want = ref_extension(name);
    if (want < 0) {
        if (ext) fuzz_fail("extension where there is none", ext, "(none)");
    } else {
        if (!ext) fuzz_fail("no extension", "(none)", name + want);
        if (ext != name + want) fuzz_fail("wrong extension", ext, name + want);
    }
    free(name);
    return 0;
}
