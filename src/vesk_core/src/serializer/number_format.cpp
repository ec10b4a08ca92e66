#include "serializer/number_format.hpp"

#include <dragonbox/dragonbox.h>

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "simd/short_blocks.hpp"

namespace vesk {
namespace {

// The multipliers of reversed_digits, per 64-bit lane, per 32-bit half and
// per 16-bit quarter: ceil(2^40 / 10^4), 2^32 - 10^4, ceil(2^19 / 100),
// 100, ceil(2^16 / 10), 2^8 - 10.
struct alignas(16) DigitSplit {
    std::array<uint64_t, 2> div10000{109951163, 109951163};
    std::array<uint64_t, 2> less10000{(uint64_t{1} << 32) - 10000, (uint64_t{1} << 32) - 10000};
    std::array<uint32_t, 4> div100{5243, 5243, 5243, 5243};
    std::array<uint16_t, 8> hundred{100, 100, 100, 100, 100, 100, 100, 100};
    std::array<uint16_t, 8> div10{6554, 6554, 6554, 6554, 6554, 6554, 6554, 6554};
    std::array<uint16_t, 8> less10{246, 246, 246, 246, 246, 246, 246, 246};
};
constexpr DigitSplit kDigitSplit;

// The sixteen decimal digits of high * 10^8 + low (high, low < 10^8) as
// byte values 0 to 9, the last digit first: byte j holds the digit worth
// 10^j. Each 64-bit lane splits its eight digits in three rounds, into
// halves of four, of two, of one. A round divides by d with a multiply-high
// by a reciprocal rounded up (exact over the round's range: its error stays
// below one part in d), takes d times the quotient off the number and sets
// the quotient k bits up: by adding (2^k - d) times it, in one step, but for
// the 32-bit round, where that multiplication is twice as slow as a 16-bit
// one and a shift.
VESK_TARGET_AVX2 inline __m128i reversed_digits(uint32_t high, uint32_t low) {
    // The multipliers are read through a pointer the compiler cannot see
    // through: as known constants it rebuilds some of them lane by lane and
    // turns the last multiplication into five shifts and subtractions.
    const DigitSplit* split = &kDigitSplit;
    asm("" : "+r"(split));
    const auto lanes = [](const auto& constant) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(constant.data()));
    };
    const __m128i eights = _mm_set_epi64x(high, low);
    const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(eights, lanes(split->div10000)), 40);
    const __m128i fours = _mm_add_epi64(eights, _mm_mul_epu32(q4, lanes(split->less10000)));
    // Each 32-bit half below 10^4, its top 16 bits clear.
    const __m128i q2 = _mm_srli_epi32(_mm_mulhi_epu16(fours, lanes(split->div100)), 3);
    const __m128i rest2 = _mm_sub_epi32(fours, _mm_mullo_epi16(q2, lanes(split->hundred)));
    const __m128i twos = _mm_add_epi32(rest2, _mm_slli_epi32(q2, 16));
    // Each 16-bit quarter below 100.
    const __m128i q1 = _mm_mulhi_epu16(twos, lanes(split->div10));
    return _mm_add_epi16(twos, _mm_mullo_epi16(q1, lanes(split->less10)));
}

// Bit j set where the digit worth 10^j in `reversed` is not zero.
VESK_TARGET_AVX2 inline uint32_t nonzero_digits(__m128i reversed) {
    return static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_cmpgt_epi8(reversed, _mm_setzero_si128())));
}

// For kk from 0 to 15, the shuffle that turns reversed digits without
// leading zeros into text with a point after the first kk digits, and what
// it adds to each byte ('0', or '.' where the shuffle gave the point's lane
// a zero); kk = 16 is the digits without a point. The order is for 16
// digits: with `lead` leading zeros the digits sit `lead` bytes lower, which
// the caller subtracts from every lane (the point's lane and those past the
// digits then have their top bit set and give a zero, hence '0').
struct alignas(16) DigitLayout {
    std::array<int8_t, 16> order;
    std::array<char, 16> add;
};
constexpr std::array<DigitLayout, 17> kDigitLayouts = [] {
    std::array<DigitLayout, 17> layouts{};
    for (int kk = 0; kk <= 16; ++kk) {
        for (int i = 0; i < 16; ++i) {
            layouts[kk].order[i] = static_cast<int8_t>(i < kk ? 15 - i : i == kk ? -1 : 16 - i);
            layouts[kk].add[i] = i == kk ? '.' : '0';
        }
    }
    return layouts;
}();

// The text of the digits in `reversed` past its `lead` leading zeros, with a
// point after the first kk of them when kk < 16. The lanes past the text
// hold '0'.
VESK_TARGET_AVX2 inline __m128i digit_text(__m128i reversed, int lead, int kk) {
    const DigitLayout& layout = kDigitLayouts[static_cast<size_t>(kk)];
    const __m128i order =
        _mm_sub_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(layout.order.data())),
                     _mm_set1_epi8(static_cast<char>(lead)));
    return _mm_add_epi8(_mm_shuffle_epi8(reversed, order),
                        _mm_load_si128(reinterpret_cast<const __m128i*>(layout.add.data())));
}

// "00" to "99": the two digits of each value below 100.
constexpr std::array<char, 200> kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

}  // namespace

// The digits of value < 10^4 without leading zeros, from the pair table.
inline size_t format_below_10000(uint32_t value, char* out) {
    if (value < 10) {
        *out = static_cast<char>('0' + value);
        return 1;
    }
    if (value < 100) {
        std::memcpy(out, &kDigitPairs[2 * value], 2);
        return 2;
    }
    const uint32_t high = value / 100, low = value % 100;
    size_t n = 0;
    if (high < 10) {
        out[n++] = static_cast<char>('0' + high);
    } else {
        std::memcpy(out, &kDigitPairs[2 * high], 2);
        n = 2;
    }
    std::memcpy(out + n, &kDigitPairs[2 * low], 2);
    return n + 2;
}

// Exactly four digits of value < 10^4, leading zeros included.
inline void four_digits(uint32_t value, char* out) {
    std::memcpy(out, &kDigitPairs[2 * (value / 100)], 2);
    std::memcpy(out + 2, &kDigitPairs[2 * (value % 100)], 2);
}

// The eight ASCII digits of x < 10^8, leading zeros included, the first in
// the lowest byte. x / 10^6 is taken in 32.32 fixed point, rounded up just
// enough that three multiplications of the fraction by 100 bring each next
// pair of digits into the integer part (checked for every x < 10^8); the
// pairs come from the table, off the chain of multiplications.
inline uint64_t eight_digits(uint32_t x) {
    uint64_t y = (uint64_t{x} * 140737489 >> 15) + 1;
    uint64_t text = 0;
    for (int i = 0; i < 4; ++i) {
        uint16_t pair;
        std::memcpy(&pair, &kDigitPairs[2 * (y >> 32)], 2);
        text |= uint64_t{pair} << (16 * i);
        y = (y & 0xFFFFFFFF) * 100;
    }
    return text;
}

// Numbers up to twelve digits from the pair table (a few short dependent
// steps); longer ones, the digits of doubles among them, with all sixteen
// digits at once in vector lanes.
VESK_TARGET_AVX2 size_t format_uint(uint64_t value, char* out) {
    if (value < 10000) return format_below_10000(static_cast<uint32_t>(value), out);
    if (value < 100000000) {
        const size_t n = format_below_10000(static_cast<uint32_t>(value / 10000), out);
        four_digits(static_cast<uint32_t>(value % 10000), out + n);
        return n + 4;
    }
    if (value < 1000000000000ull) {
        const uint64_t low = eight_digits(static_cast<uint32_t>(value % 100000000));
        const size_t n = format_below_10000(static_cast<uint32_t>(value / 100000000), out);
        std::memcpy(out + n, &low, 8);
        return n + 8;
    }
    if (value < 10000000000000000ull) {
        const __m128i reversed = reversed_digits(static_cast<uint32_t>(value / 100000000),
                                                 static_cast<uint32_t>(value % 100000000));
        const int length = std::bit_width(nonzero_digits(reversed));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digit_text(reversed, 16 - length, 16));
        return static_cast<size_t>(length);
    }
    // 17 to 20 digits: the leading ones, then sixteen more.
    const size_t head = format_uint(value / 10000000000000000ull, out);
    const uint64_t tail = value % 10000000000000000ull;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + head),
                     digit_text(reversed_digits(static_cast<uint32_t>(tail / 100000000),
                                                static_cast<uint32_t>(tail % 100000000)),
                                0, 16));
    return head + 16;
}

size_t format_int(int64_t value, char* out) {
    if (value >= 0) return format_uint(static_cast<uint64_t>(value), out);
    *out = '-';
    return 1 + format_uint(0 - static_cast<uint64_t>(value), out + 1);
}

namespace {

// The exponent form d1[.d2..dn]e(kk-1), for digits d1..dn of which the
// first `significant` are not trailing zeros: d1 is `first`, d2 on are in
// the first lanes of `rest`. Kept out of line: it is the rare shape in
// documents, and the others' path through format_double stays short.
VESK_TARGET_AVX2 [[gnu::noinline]] char* lay_out_exponent(char first, __m128i rest, int kk,
                                                          int significant, char* o) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2), rest);
    o[0] = first;
    o[1] = '.';
    o += significant > 1 ? significant + 1 : 1;
    *o++ = 'e';
    return o + format_int(kk - 1, o);
}

}  // namespace

// Dragonbox gives the shortest digits that read back to the same double
// (the closest such, ties to even): the digits every shortest round-trip
// formatter agrees on, at a quarter of the cost of std::to_chars here.
// With digits d1..dn and the decimal point after position kk
// (value = 0.d1..dn * 10^kk), the layout is:
//   n <= kk <= 16    digits, kk - n zeros, ".0"        1000000000000000.0
//   0 < kk <= 16     digits with the point after kk   3.14
//   -5 < kk <= 0     "0.", -kk zeros, digits          0.00001
//   otherwise        d1[.d2..dn]e(kk-1)               1e16, 1.5e-7
// where n counts no trailing zeros. Dragonbox is left to keep them (its
// removal costs a chain of multiplications on every number that may have
// them): the digits' zero mask shows them for the price of a bit count.
VESK_TARGET_AVX2 size_t format_double(double value, char* out) {
    // The sign and zero from the bits, which dragonbox takes apart anyway:
    // zero is tested only where the exponent bits are 0, beside subnormals.
    const jkj::dragonbox::float_bits<double> bits(value);
    const unsigned exponent_bits = bits.extract_exponent_bits();
    *out = '-';
    char* o = out + (bits.u >> 63);
    if (exponent_bits == 0 && bits.extract_significand_bits() == 0) [[unlikely]] {
        std::memcpy(o, "0.0", 3);
        return static_cast<size_t>(o + 3 - out);
    }
    const auto decimal = jkj::dragonbox::to_decimal<double>(
        bits.remove_exponent_bits(exponent_bits), exponent_bits,
        jkj::dragonbox::policy::sign::ignore, jkj::dragonbox::policy::trailing_zero::ignore);
    // Up to seventeen digits: a first one of seventeen is written on its
    // own (at o, where the text of a shorter number overwrites it), the
    // other sixteen are laid out in one register.
    const uint64_t significand = decimal.significand;
    const auto high = static_cast<uint32_t>(significand / 100000000);
    const auto first = static_cast<uint32_t>(significand / 10000000000000000ull);
    const __m128i reversed = reversed_digits(high - first * 100000000,
                                             static_cast<uint32_t>(significand % 100000000));
    const bool seventeen = first != 0;
    *o = static_cast<char>('0' + first);
    // How many of the sixteen are digits (all after a first one; else up
    // to the highest that is not zero, as the significand is not), and the
    // point's place among them. The mask is never 0, which __builtin_clz
    // takes as given where std::bit_width would test for it.
    const uint32_t nonzero = nonzero_digits(reversed);
    const int n = 32 - __builtin_clz(nonzero | uint32_t{seventeen} << 15);
    const int zeros = std::countr_zero(nonzero | 0x10000);  // of the sixteen
    const int kk = decimal.exponent + n;
    const int point = kk + seventeen;  // the point's place among all the digits
    // The common shape, a point among the digits (3.14, -65.613617): one
    // shuffle moves the digits past their leading zeros and opens the gap
    // for the point. Trailing zeros of the fraction go, but for one after
    // the point: 1500 * 10^-3 is "1.5", 100000 * 10^-3 is "100.0".
    if (point > 0 && kk < n) {
        char* digits = o + seventeen;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(digits), digit_text(reversed, 16 - n, kk));
        // The last of sixteen digits moves one past the register.
        digits[16] = static_cast<char>('0' + _mm_cvtsi128_si32(reversed));
        return static_cast<size_t>(digits + std::max(n - zeros, kk + 1) + 1 - out);
    }
    // The other shapes store the digits whole, '0' past them, where later
    // stores overwrite what they carried past their text.
    const __m128i text = digit_text(reversed, 16 - n, 16);
    if (0 < point && point <= 16) {  // an integer (never of seventeen digits)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), text);
        std::memcpy(o + point, ".0", 2);
        return static_cast<size_t>(o + point + 2 - out);
    }
    if (-5 < point && point <= 0) {
        std::memcpy(o, "0.000000", 8);
        char* digits = o + 2 - point;
        *digits = static_cast<char>('0' + first);  // overwritten by the text unless seventeen
        _mm_storeu_si128(reinterpret_cast<__m128i*>(digits + seventeen), text);
        return static_cast<size_t>(digits + seventeen + n - zeros - out);
    }
    if (seventeen) {
        return static_cast<size_t>(lay_out_exponent(static_cast<char>('0' + first), text, point,
                                                    17 - zeros, o) -
                                   out);
    }
    return static_cast<size_t>(lay_out_exponent(static_cast<char>(_mm_cvtsi128_si32(text)),
                                                _mm_srli_si128(text, 1), point, n - zeros, o) -
                               out);
}

}  // namespace vesk
