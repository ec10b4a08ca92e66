// Filler: whitespace, `//` and `/* */` comments, and a UTF-8 byte order mark
// at offset 0. Every reader skips it between tokens.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "simd/avx2_inline.hpp"

namespace vesk {

// Out-of-line part of skip_whitespace_inline: AVX2 runs of whitespace, then
// comments and the byte order mark byte by byte.
void skip_filler_avx2(const uint8_t* input, uint64_t length, uint64_t& position);

// Moves `position` to the first byte at or after it that is not filler, or
// to `length`. The common cases (no filler, a single space, or a line end
// and up to 31 spaces of indentation before a token) cost a compare or one
// vector step. In line in the loops of the readers built for AVX2, where
// a call costs more than those cases.
[[gnu::target("avx2,bmi")]] VESK_AVX2_INLINE inline void skip_whitespace_inline(
    const uint8_t* input, uint64_t length, uint64_t& position) {
    if (position >= length) return;
    const uint8_t c = input[position];
    const auto ends_filler = [](uint8_t b) { return b > ' ' && b != '/' && b != 0xEF; };
    if (ends_filler(c)) return;
    if (c == ' ' && position + 1 < length) {
        if (ends_filler(input[position + 1])) {
            ++position;
            return;
        }
    } else if (c == '\n' && position + 33 <= length) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + position + 1));
        const auto not_space =
            ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' '))));
        const uint64_t p = position + 1 + static_cast<uint64_t>(std::countr_zero(not_space));
        if (not_space && ends_filler(input[p])) {
            position = p;
            return;
        }
    }
    skip_filler_avx2(input, length, position);
}

// The same where the compiler decides, for the other readers.
[[gnu::target("avx2,bmi")]] inline void skip_whitespace_simd(const uint8_t* input, uint64_t length,
                                                            uint64_t& position) {
    skip_whitespace_inline(input, length, position);
}

}  // namespace vesk
