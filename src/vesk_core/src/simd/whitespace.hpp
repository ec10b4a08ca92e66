// Filler: whitespace, `//` and `/* */` comments, and a UTF-8 byte order mark
// at offset 0. Every reader skips it between tokens.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk {

// Out-of-line part of skip_whitespace_simd: AVX2 runs of whitespace, then
// comments and the byte order mark byte by byte.
void skip_filler_avx2(const uint8_t* input, uint64_t length, uint64_t& position);

// Moves `position` to the first byte at or after it that is not filler, or
// to `length`. Inline so the common cases (no filler, a single space, or a
// line end and indentation before a token) cost a compare or a few words.
inline void skip_whitespace_simd(const uint8_t* input, uint64_t length, uint64_t& position) {
    if (position >= length) return;
    uint8_t c = input[position];
    const auto ends_filler = [](uint8_t b) { return b > ' ' && b != '/' && b != 0xEF; };
    if (ends_filler(c)) return;
    if (c == ' ' && position + 1 < length) {
        if (ends_filler(input[position + 1])) {
            ++position;
            return;
        }
    } else if (c == '\n') {
        // Indented text: a line end, then spaces, eight per word.
        uint64_t p = position + 1;
        for (uint64_t word; p + 8 <= length; p += 8) {
            std::memcpy(&word, input + p, 8);
            const uint64_t not_space = word ^ 0x2020202020202020ull;
            if (not_space) {
                p += static_cast<uint64_t>(std::countr_zero(not_space)) / 8;
                break;
            }
        }
        if (p < length && ends_filler(input[p])) {
            position = p;
            return;
        }
    }
    skip_filler_avx2(input, length, position);
}

}  // namespace vesk
