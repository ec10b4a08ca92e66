// AVX2 scanner: 32-byte blocks classified by two nibble lookups.
//
// Each structural byte maps to exactly one bit of lo_table[lo] & hi_table[hi]:
//   bit 0 '"'   bit 1 ','   bit 2 ':'   bit 3 ';'
//   bit 4 '['   bit 5 ']'   bit 6 '{'   bit 7 '}'
// Shifting that byte left by (7 - bit) moves the bit into the sign position,
// so one movemask per bit yields the offsets of one structural kind: no
// branch on the byte value.
#include <immintrin.h>

#include "simd/scanner.hpp"

namespace vesk {
namespace {

constexpr Structural kBitKind[8] = {kQuote,        kComma,        kColon,     kSemicolon,
                                    kOpenBracket,  kCloseBracket, kOpenBrace, kCloseBrace};

[[gnu::target("avx2,bmi,bmi2,popcnt")]] inline __m256i classify(__m256i bytes) {
    const __m256i lo_table = _mm256_setr_epi8(  //
        0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x58, 0x02, static_cast<char>(0xA0), 0, 0,  //
        0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x58, 0x02, static_cast<char>(0xA0), 0, 0);
    const __m256i hi_table = _mm256_setr_epi8(  //
        0, 0, 0x03, 0x0C, 0, 0x30, 0, static_cast<char>(0xC0), 0, 0, 0, 0, 0, 0, 0, 0,  //
        0, 0, 0x03, 0x0C, 0, 0x30, 0, static_cast<char>(0xC0), 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i low_nibble = _mm256_set1_epi8(0x0F);
    const __m256i lo = _mm256_shuffle_epi8(lo_table, _mm256_and_si256(bytes, low_nibble));
    // Bytes >= 0x80 get high nibble >= 8, which the table maps to 0.
    const __m256i hi = _mm256_shuffle_epi8(
        hi_table, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_nibble));
    return _mm256_and_si256(lo, hi);
}

template <int Bit>
[[gnu::target("avx2,bmi,bmi2,popcnt"), gnu::always_inline]] inline uint64_t bit_mask(__m256i lo,
                                                                                    __m256i hi) {
    const __m256i lo_sign = _mm256_slli_epi16(lo, 7 - Bit);
    const __m256i hi_sign = _mm256_slli_epi16(hi, 7 - Bit);
    return static_cast<uint32_t>(_mm256_movemask_epi8(lo_sign)) |
           static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi_sign))) << 32;
}

template <int... Bits>
[[gnu::target("avx2,bmi,bmi2,popcnt"), gnu::always_inline]] inline void append_kinds(
    StructuralIndex& index, uint64_t base, __m256i lo, __m256i hi,
    std::integer_sequence<int, Bits...>) {
    (index.arrays[kBitKind[Bits]].append_bits(base, bit_mask<Bits>(lo, hi)), ...);
}

}  // namespace

[[gnu::target("avx2,bmi,bmi2,popcnt")]] StructuralIndex scan_avx2(std::string_view input) {
    StructuralIndex index = StructuralIndex::with_input_capacity(input.size());
    const auto* data = reinterpret_cast<const uint8_t*>(input.data());
    const size_t n = input.size();
    size_t i = 0;
    // Two 32-byte blocks per step so each kind yields one 64-bit mask.
    for (; i + 64 <= n; i += 64) {
        const __m256i lo = classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)));
        const __m256i hi =
            classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32)));
        append_kinds(index, i, lo, hi, std::make_integer_sequence<int, 8>{});
    }
    if (i + 32 <= n) {
        const __m256i lo = classify(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)));
        append_kinds(index, i, lo, _mm256_setzero_si256(), std::make_integer_sequence<int, 8>{});
        i += 32;
    }
    scan_bytes_scalar(index, data, i, n);
    return index;
}

}  // namespace vesk
