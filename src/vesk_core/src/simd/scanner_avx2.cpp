// AVX2 scanner: two 32-byte compares per 64-byte step, so that each step
// yields one 64-bit mask of quote positions.
#include <immintrin.h>

#include "simd/scanner.hpp"

namespace vesk {
namespace {

[[gnu::target("avx2")]] inline uint32_t quote_mask(const uint8_t* block) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    return static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('"'))));
}

template <class Offset>
[[gnu::target("avx2,bmi,bmi2,popcnt")]] void scan_quotes(const uint8_t* data, size_t n,
                                                         OffsetArray<Offset>& quotes) {
    size_t i = 0;
    for (; i + 64 <= n; i += 64)
        quotes.append_bits(i, quote_mask(data + i) | uint64_t{quote_mask(data + i + 32)} << 32);
    if (i + 32 <= n) {
        quotes.append_bits(i, quote_mask(data + i));
        i += 32;
    }
    scan_bytes_scalar(quotes, data, i, n);
}

}  // namespace

void scan_avx2(std::string_view input, StructuralIndex& index) {
    const auto* data = reinterpret_cast<const uint8_t*>(input.data());
    if (index.wide())
        scan_quotes(data, input.size(), index.wide_quotes());
    else
        scan_quotes(data, input.size(), index.narrow_quotes());
}

}  // namespace vesk
