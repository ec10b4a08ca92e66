// Vector scans of string content: where a string ends, whether it holds a
// backslash (escapes to decode), and whether every byte is ASCII (the str
// can be filled without decoding). Plain C++.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>

namespace vesk {

struct ContentScan {
    bool backslash = false;
    bool ascii = true;  // meaningful only when there is no backslash
};

ContentScan scan_string_content_avx2(const uint8_t* content, size_t length);

struct StringEnd {
    uint64_t close;  // the first `"` at or after the start, or the input length
    bool backslash;  // a backslash before it
    bool ascii;      // no byte of 0x80 or above before it
};

// One pass from the first content byte of a string to its first quote: the
// closing quote (an escaped one too, which the backslash before it gives
// away) and what the content needs, 32 bytes per step. Inline into callers
// built for AVX2, where most strings take a single step.
[[gnu::target("avx2,bmi")]] inline StringEnd find_string_end_avx2(const uint8_t* input,
                                                                  uint64_t length, uint64_t pos) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    bool any_backslash = false, any_high = false;
    for (; pos + 32 <= length; pos += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + pos));
        const auto quotes = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, quote)));
        const auto backslashes =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, backslash)));
        const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(v));
        if (quotes) {
            const uint32_t before = (quotes & (0u - quotes)) - 1;  // the bytes before the first quote
            return {pos + static_cast<uint64_t>(std::countr_zero(quotes)),
                    any_backslash || (backslashes & before) != 0, !any_high && (high & before) == 0};
        }
        any_backslash = any_backslash || backslashes != 0;
        any_high = any_high || high != 0;
    }
    for (; pos < length && input[pos] != '"'; ++pos) {
        any_backslash = any_backslash || input[pos] == '\\';
        any_high = any_high || input[pos] >= 0x80;
    }
    return {pos, any_backslash, !any_high};
}

// The first offset at or after `pos` that holds a `"`, a backslash or a
// byte below 0x20 (what ends a plain run inside an escaped string), or
// `length`; 32 bytes per step.
uint64_t find_escape_stop_avx2(const uint8_t* input, uint64_t length, uint64_t pos);

inline ContentScan scan_string_content(const uint8_t* content, size_t length) {
    if (length >= 16) return scan_string_content_avx2(content, length);
    uint8_t high = 0;
    for (size_t i = 0; i < length; ++i) {
        if (content[i] == '\\') return {true, false};
        high |= content[i];
    }
    return {false, high < 0x80};
}

}  // namespace vesk
