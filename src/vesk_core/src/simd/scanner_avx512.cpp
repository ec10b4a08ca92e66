// AVX-512 scanner: one byte compare per 64-byte block, its mask feeding the
// quote offsets directly.
//
// The native test build compiles this same file a second time against SIMDe
// (VESK_USE_SIMDE) into vesk::emulated, so processors without AVX-512 still
// run this code path in tests.
#ifdef VESK_USE_SIMDE
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define VESK_TARGET_AVX512
#define VESK_AVX512_NAMESPACE vesk::emulated
#else
#include <immintrin.h>
#define VESK_TARGET_AVX512 [[gnu::target("avx512f,avx512bw,bmi,bmi2,popcnt")]]
#define VESK_AVX512_NAMESPACE vesk
#endif

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
