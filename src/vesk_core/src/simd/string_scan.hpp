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

// The quote, backslash and high-byte masks of the 32 bytes at `block`,
// shifted right by `lead`.
struct ContentMasks {
    uint32_t quotes, backslashes, high;
};
[[gnu::target("avx2")]] inline ContentMasks content_masks(const uint8_t* block, unsigned lead) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    const auto mask = [lead](int bits) { return static_cast<uint32_t>(bits) >> lead; };
    return {mask(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')))),
            mask(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')))),
            mask(_mm256_movemask_epi8(v))};
}

// find_string_end_avx2 on an input shorter than one block, byte by byte.
inline StringEnd find_string_end_short(const uint8_t* input, uint64_t length, uint64_t pos) {
    bool any_backslash = false, any_high = false;
    for (; pos < length && input[pos] != '"'; ++pos) {
        any_backslash = any_backslash || input[pos] == '\\';
        any_high = any_high || input[pos] >= 0x80;
    }
    return {pos, any_backslash, !any_high};
}

// The end of a string given the masks of the block at `pos` that holds its
// closing quote (`m.quotes` not 0), and whether the bytes before the block
// held a backslash or a high byte.
inline StringEnd string_end_in_block(const ContentMasks& m, uint64_t pos, bool backslash_before,
                                     bool high_before) {
    const uint32_t before = (m.quotes & (0u - m.quotes)) - 1;  // the bytes before the quote
    return {pos + static_cast<uint64_t>(std::countr_zero(m.quotes)),
            backslash_before || (m.backslashes & before) != 0,
            !high_before && (m.high & before) == 0};
}

// find_string_end_avx2 past its first step: the blocks from `pos`, after
// content before it that held a backslash (`any_backslash`) or a high byte
// (`any_high`).
[[gnu::target("avx2,bmi"), gnu::noinline]] inline StringEnd find_string_end_blocks_avx2(
    const uint8_t* input, uint64_t length, uint64_t pos, bool any_backslash, bool any_high) {
    if (length < 32) return find_string_end_short(input, length, pos);
    // Whether the block masks at `pos` hold the quote; `end` then says where.
    const auto ends = [&](const ContentMasks& m, StringEnd& end) {
        if (!m.quotes) {
            any_backslash = any_backslash || m.backslashes != 0;
            any_high = any_high || m.high != 0;
            return false;
        }
        end = string_end_in_block(m, pos, any_backslash, any_high);
        return true;
    };
    StringEnd end;
    for (; pos + 32 <= length; pos += 32)
        if (ends(content_masks(input + pos, 0), end)) return end;
    if (pos < length &&
        ends(content_masks(input + length - 32, static_cast<unsigned>(32 - (length - pos))), end))
        return end;
    return {length, any_backslash, !any_high};
}

// One pass from the first content byte of a string to its first quote: the
// closing quote (an escaped one too, which the backslash before it gives
// away) and what the content needs, 32 bytes per step. The last, partial
// step reads the block that ends the input, its masks shifted to start at
// `pos`, so a string near the end takes one step too. Most strings end in
// their first block, or are the last step's whole (small documents hold
// mostly such): that step is in line in each caller, all built for AVX2,
// and the rest out of line.
[[gnu::target("avx2,bmi")]] inline StringEnd find_string_end_avx2(const uint8_t* input,
                                                                  uint64_t length, uint64_t pos) {
    if (pos + 32 <= length) {
        const ContentMasks m = content_masks(input + pos, 0);
        if (m.quotes) return string_end_in_block(m, pos, false, false);
        return find_string_end_blocks_avx2(input, length, pos + 32, m.backslashes != 0,
                                           m.high != 0);
    }
    if (pos < length && length >= 32) {
        const ContentMasks m =
            content_masks(input + length - 32, static_cast<unsigned>(32 - (length - pos)));
        return m.quotes ? string_end_in_block(m, pos, false, false)
                        : StringEnd{length, m.backslashes != 0, m.high == 0};
    }
    return find_string_end_blocks_avx2(input, length, pos, false, false);
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
