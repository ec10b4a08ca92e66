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

[[gnu::target("avx2,bmi")]] uint64_t find_escape_stop_avx2(const uint8_t* input, uint64_t length,
                                                           uint64_t pos) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i last_control = _mm256_set1_epi8(0x1F);
    for (; pos + 32 <= length; pos += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(input + pos));
        // v <= 0x1F unsigned exactly when min(v, 0x1F) == v.
        const __m256i stop = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash)),
            _mm256_cmpeq_epi8(_mm256_min_epu8(v, last_control), v));
        const auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(stop));
        if (mask) return pos + static_cast<uint64_t>(std::countr_zero(mask));
    }
    for (; pos < length; ++pos) {
        const uint8_t c = input[pos];
        if (c == '"' || c == '\\' || c < 0x20) break;
    }
    return pos;
}

}  // namespace vesk
