#include "simd/string_scan.hpp"

#include <immintrin.h>

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

}  // namespace vesk
