// Vector scans of string content: where a string ends, whether it holds a
// backslash (escapes to decode), and whether every byte is ASCII (the str
// can be filled without decoding). Plain C++.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The last block of a scan with fewer than 32 bytes left at `pos` (and at
// least one): 32 bytes whose last `length - pos` are the input's from `pos`
// on, so that a byte mask of the block shifted right by `lead` starts at
// `pos`. The block ends the input where the input is long enough; a shorter
// input is copied into `room`. So a short string's scan is one vector step
// too, not a byte loop.
[[gnu::target("avx2")]] inline __m256i tail_block(const uint8_t* input, uint64_t length,
                                                  uint64_t pos, uint8_t (&room)[32],
                                                  unsigned& lead) {
    lead = static_cast<unsigned>(32 - (length - pos));
    if (length >= 32)
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + length - 32));
    std::memcpy(room + lead, input + pos, length - pos);
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(room));
}

// The quote, backslash and high-byte masks of a block of string content,
// shifted right by `lead`.
struct ContentMasks {
    uint32_t quotes, backslashes, high;
};
[[gnu::target("avx2")]] inline ContentMasks content_masks(__m256i v, unsigned lead) {
    const auto mask = [lead](int bits) { return static_cast<uint32_t>(bits) >> lead; };
    return {mask(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')))),
            mask(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')))),
            mask(_mm256_movemask_epi8(v))};
}

// One pass from the first content byte of a string to its first quote: the
// closing quote (an escaped one too, which the backslash before it gives
// away) and what the content needs, 32 bytes per step. Inline into callers
// built for AVX2, where most strings take a single step.
[[gnu::target("avx2,bmi")]] inline StringEnd find_string_end_avx2(const uint8_t* input,
                                                                  uint64_t length, uint64_t pos) {
    bool any_backslash = false, any_high = false;
    for (;;) {
        ContentMasks m;
        if (pos + 32 <= length) {
            m = content_masks(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + pos)), 0);
        } else if (pos < length) {
            uint8_t room[32] = {};
            unsigned lead = 0;
            const __m256i v = tail_block(input, length, pos, room, lead);
            m = content_masks(v, lead);
        } else {
            return {length, any_backslash, !any_high};
        }
        if (m.quotes) {
            const uint32_t before = (m.quotes & (0u - m.quotes)) - 1;  // the bytes before the quote
            return {pos + static_cast<uint64_t>(std::countr_zero(m.quotes)),
                    any_backslash || (m.backslashes & before) != 0,
                    !any_high && (m.high & before) == 0};
        }
        any_backslash = any_backslash || m.backslashes != 0;
        any_high = any_high || m.high != 0;
        pos += 32;
    }
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
