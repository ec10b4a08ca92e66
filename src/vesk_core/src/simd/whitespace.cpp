#include "simd/whitespace.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>

namespace vesk {
namespace {

inline bool is_whitespace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Advances over plain whitespace, 32 bytes per step while 32 remain.
[[gnu::target("avx2,bmi")]] uint64_t skip_spaces(const uint8_t* input, uint64_t length,
                                                uint64_t pos) {
    while (pos + 32 <= length) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + pos));
        const __m256i ws = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')),
                            _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'))),
            _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')),
                            _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r'))));
        const uint32_t not_ws = ~static_cast<uint32_t>(_mm256_movemask_epi8(ws));
        if (not_ws != 0) return pos + static_cast<uint64_t>(std::countr_zero(not_ws));
        pos += 32;
    }
    while (pos < length && is_whitespace(input[pos])) ++pos;
    return pos;
}

// `pos` is just past "//": returns the offset after the line end (LF, CR or
// CR LF), or `length`.
uint64_t skip_line_comment(const uint8_t* input, uint64_t length, uint64_t pos) {
    for (; pos < length; ++pos) {
        if (input[pos] == '\n') return pos + 1;
        if (input[pos] == '\r') return pos + 1 < length && input[pos + 1] == '\n' ? pos + 2 : pos + 1;
    }
    return length;
}

// `pos` is just past "/*": returns the offset after the first "*/" that
// begins at or after `pos` (so "/*/" never closes itself), or `length`.
uint64_t skip_block_comment(const uint8_t* input, uint64_t length, uint64_t pos) {
    while (pos + 1 < length) {
        const void* star = std::memchr(input + pos, '*', length - 1 - pos);
        if (!star) break;
        pos = static_cast<uint64_t>(static_cast<const uint8_t*>(star) - input);
        if (input[pos + 1] == '/') return pos + 2;
        ++pos;
    }
    return length;
}

}  // namespace

void skip_filler_avx2(const uint8_t* input, uint64_t length, uint64_t& position) {
    uint64_t pos = position;
    for (;;) {
        pos = skip_spaces(input, length, pos);
        if (pos >= length) break;
        const uint8_t c = input[pos];
        if (c == '/' && pos + 1 < length && input[pos + 1] == '/') {
            pos = skip_line_comment(input, length, pos + 2);
        } else if (c == '/' && pos + 1 < length && input[pos + 1] == '*') {
            pos = skip_block_comment(input, length, pos + 2);
        } else if (c == 0xEF && pos == 0 && length >= 3 && input[1] == 0xBB && input[2] == 0xBF) {
            pos = 3;
        } else {
            break;
        }
    }
    position = pos;
}

}  // namespace vesk
