// Sums of sizes saturate instead of overflowing: a sparse file may claim
// nearly 2^63 bytes, and a scan may be forged.
#pragma once

#include <stdint.h>

inline int64_t fr2r_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}
inline int64_t fr2r_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
    return r;
}
inline int64_t fr2r_blocks_bytes(int64_t blocks) {
    int64_t r;
    if (blocks < 0 || __builtin_mul_overflow(blocks, (int64_t)512, &r)) return INT64_MAX;
    return r;
}
