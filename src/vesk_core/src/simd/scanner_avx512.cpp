// AVX-512 scanner: 64-byte blocks, one byte compare per structural kind,
// each compare's mask feeding that kind's array directly.
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

// One compare per kind, unrolled at compile time, for the 64 bytes at
// `block` (loaded here: a vector argument would change the calling
// convention between the native and emulated builds).
template <int... Kinds>
VESK_TARGET_AVX512 inline void append_kinds(StructuralIndex& index, uint64_t base,
                                            const uint8_t* block,
                                            std::integer_sequence<int, Kinds...>) {
    const __m512i bytes = _mm512_loadu_si512(reinterpret_cast<const void*>(block));
    // uint64_t rather than __mmask64: SIMDe names only the vector types.
    (index.arrays[Kinds].append_bits(
         base, static_cast<uint64_t>(
                   _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(kStructuralByte[Kinds])))),
     ...);
}

}  // namespace

VESK_TARGET_AVX512 StructuralIndex scan_avx512(std::string_view input) {
    StructuralIndex index = StructuralIndex::with_input_capacity(input.size());
    const auto* data = reinterpret_cast<const uint8_t*>(input.data());
    const size_t n = input.size();
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        append_kinds(index, i, data + i, std::make_integer_sequence<int, kStructuralCount>{});
    }
    scan_bytes_scalar(index, data, i, n);
    return index;
}

}  // namespace VESK_AVX512_NAMESPACE
