// Lists of directory items as bytes between ranks; see fr2_mpi_wire.h.
#include "fr2_mpi_wire.h"

#include <string.h>

size_t fr2_wire_list_size(fr2_dir_item *const *items, uint32_t n) {
    size_t size = 4;
    for (uint32_t i = 0; i < n; i++) size += fr2_dir_item_encoded_size(items[i]);
    return size;
}

uint8_t *fr2_wire_put_list(uint8_t *out, fr2_dir_item *const *items, uint32_t n) {
    memcpy(out, &n, 4);
    out += 4;
    for (uint32_t i = 0; i < n; i++) out = fr2_dir_item_encode(out, items[i], nullptr);
    return out;
}

int fr2_wire_get_list(const uint8_t *buf, size_t len, fr2_dir_item **items, uint32_t max) {
    if (len < 4) return -1;
    const uint8_t *in = buf + 4, *end = buf + len;
    uint32_t n;
    memcpy(&n, buf, 4);
    if (n > max) return -1;
    uint32_t got = 0;
    for (; got < n; got++) {
        items[got] = fr2_dir_item_decode(&in, end, true);
        if (!items[got]) break;
    }
    if (got == n && in == end) return int(n);
    for (uint32_t i = 0; i < got; i++) fr2_dir_item_free(items[i]);
    return -1;
}
