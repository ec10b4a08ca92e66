// AVX-512 scanner: one byte compare per 64-byte block, its mask feeding the
// quote offsets directly.
#include "simd/avx512_target.hpp"

#include "simd/scanner.hpp"

namespace VESK_AVX512_NAMESPACE {
namespace {

template <class Offset>
VESK_TARGET_AVX512 void scan_quotes(const uint8_t* data, size_t n, OffsetArray<Offset>& quotes) {
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i bytes = _mm512_loadu_si512(reinterpret_cast<const void*>(data + i));
        // uint64_t rather than __mmask64: SIMDe names only the vector types.
        quotes.append_bits(
            i, static_cast<uint64_t>(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('"'))));
    }
    scan_bytes_scalar(quotes, data, i, n);
}

}  // namespace

void scan_avx512(std::string_view input, StructuralIndex& index) {
    const auto* data = reinterpret_cast<const uint8_t*>(input.data());
    if (index.wide())
        scan_quotes(data, input.size(), index.wide_quotes());
    else
        scan_quotes(data, input.size(), index.narrow_quotes());
}

}  // namespace VESK_AVX512_NAMESPACE
