// Filler: whitespace, `//` and `/* */` comments, and a UTF-8 byte order mark
// at offset 0. Every reader skips it between tokens.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// Out-of-line part of skip_whitespace_simd: AVX2 runs of whitespace, then
// comments and the byte order mark byte by byte.
void skip_filler_avx2(const uint8_t* input, uint64_t length, uint64_t& position);

// Moves `position` to the first byte at or after it that is not filler, or
// to `length`. Inline so the common cases (no filler, or a single space
// before a token) cost a compare or two.
inline void skip_whitespace_simd(const uint8_t* input, uint64_t length, uint64_t& position) {
    if (position >= length) return;
    uint8_t c = input[position];
    if (c > ' ' && c != '/' && c != 0xEF) return;
    if (c == ' ' && position + 1 < length) {
        c = input[position + 1];
        if (c > ' ' && c != '/' && c != 0xEF) {
            ++position;
            return;
        }
    }
    skip_filler_avx2(input, length, position);
}

}  // namespace vesk
