#include "simd/string_scan.hpp"

#include <immintrin.h>

#include <bit>

namespace vesk {

[[gnu::target("avx2")]] ContentScan scan_string_content_avx2(const uint8_t* content,
                                                             size_t length) {
    const __m256i backslash = _mm256_set1_epi8('\\');
    __m256i high = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(content + i));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, backslash))) return {true, false};
        high = _mm256_or_si256(high, v);
    }
    uint8_t tail_high = 0;
    for (; i < length; ++i) {
        if (content[i] == '\\') return {true, false};
        tail_high |= content[i];
    }
    return {false, _mm256_movemask_epi8(high) == 0 && tail_high < 0x80};
}

namespace {

// The quotes, backslashes and control bytes of the 32 bytes at `block`,
// shifted right by `lead`.
[[gnu::target("avx2")]] uint32_t escape_stops(const uint8_t* block, unsigned lead) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    // v <= 0x1F unsigned exactly when min(v, 0x1F) == v.
    const __m256i stop = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'))),
        _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v));
    return static_cast<uint32_t>(_mm256_movemask_epi8(stop)) >> lead;
}

}  // namespace

// As find_string_end_avx2: the last step reads the block that ends the input.
[[gnu::target("avx2,bmi")]] uint64_t find_escape_stop_avx2(const uint8_t* input, uint64_t length,
                                                           uint64_t pos) {
    if (length < 32) {
        for (; pos < length; ++pos) {
            const uint8_t c = input[pos];
            if (c == '"' || c == '\\' || c < 0x20) break;
        }
        return pos;
    }
    for (; pos + 32 <= length; pos += 32)
        if (const uint32_t mask = escape_stops(input + pos, 0))
            return pos + static_cast<uint64_t>(std::countr_zero(mask));
    if (pos < length) {
        const auto lead = static_cast<unsigned>(32 - (length - pos));
        if (const uint32_t mask = escape_stops(input + length - 32, lead))
            return pos + static_cast<uint64_t>(std::countr_zero(mask));
    }
    return length;
}

}  // namespace vesk
