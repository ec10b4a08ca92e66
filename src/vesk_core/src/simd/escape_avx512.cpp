// AVX-512 byte escaper: 64-byte blocks, one mask register per test.
//
// The native test build compiles this file a second time against SIMDe
// (VESK_USE_SIMDE) into vesk::emulated, as it does the AVX-512 scanner.
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

#include <bit>

#include "simd/escape.hpp"

namespace VESK_AVX512_NAMESPACE {

VESK_TARGET_AVX512 void write_escaped_str_avx512(const uint8_t* text, size_t length,
                                                 OutputBuffer& out) {
    size_t pending = 0;  // first byte not yet appended
    size_t block = 0;
    while (block + 64 <= length) {
        const __m512i v = _mm512_loadu_si512(reinterpret_cast<const void*>(text + block));
        // uint64_t rather than __mmask64: SIMDe names only the vector types.
        const auto mask = static_cast<uint64_t>(
            _mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(0x20)) |
            _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
            _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\')));
        if (!mask) {
            block += 64;
            continue;
        }
        const size_t at = block + static_cast<size_t>(std::countr_zero(mask));
        out.append_bytes(reinterpret_cast<const char*>(text + pending), at - pending);
        vesk::write_escaped_str_scalar(text + at, 1, out);
        pending = block = at + 1;
    }
    out.append_bytes(reinterpret_cast<const char*>(text + pending), block - pending);
    vesk::write_escaped_str_avx2(text + block, length - block, out);
}

}  // namespace VESK_AVX512_NAMESPACE
