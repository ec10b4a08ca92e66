#include "serializer/number_format.hpp"

#include <dragonbox/dragonbox.h>

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>

namespace vesk {
namespace {

// The eight decimal digits of x < 10^8, one per 16-bit lane, first digit
// first: x splits into its 4-digit halves, each half is broadcast to four
// lanes and divided by 1000, 100, 10 and 1 at once (multiply-high by a
// scaled reciprocal, then by a power of two; exact below 10^4), and each
// lane keeps its last digit by subtracting ten times its left neighbour.
[[gnu::target("avx2")]] inline __m128i eight_digit_lanes(uint32_t x) {
    const __m128i value = _mm_cvtsi32_si128(static_cast<int>(x));
    const __m128i high = _mm_srli_epi64(_mm_mul_epu32(value, _mm_set1_epi32(0xD1B71759)), 45);
    const __m128i low = _mm_sub_epi32(value, _mm_mul_epu32(high, _mm_set1_epi32(10000)));
    const __m128i halves = _mm_slli_epi64(_mm_unpacklo_epi16(high, low), 2);  // 4 * each half
    const __m128i spread = _mm_unpacklo_epi32(_mm_unpacklo_epi16(halves, halves),
                                              _mm_unpacklo_epi16(halves, halves));
    const __m128i reciprocals = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
    const __m128i scales = _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11,
                                          1 << 13, -32768);
    const __m128i prefixes = _mm_mulhi_epu16(_mm_mulhi_epu16(spread, reciprocals), scales);
    const __m128i tens = _mm_slli_epi64(_mm_mullo_epi16(prefixes, _mm_set1_epi16(10)), 16);
    return _mm_sub_epi16(prefixes, tens);
}

// The sixteen decimal digits of x < 10^16 as ASCII bytes, leading zeros
// included.
[[gnu::target("avx2")]] inline __m128i sixteen_digits(uint64_t x) {
    const __m128i lanes = _mm_packus_epi16(eight_digit_lanes(static_cast<uint32_t>(x / 100000000)),
                                           eight_digit_lanes(static_cast<uint32_t>(x % 100000000)));
    return _mm_add_epi8(lanes, _mm_set1_epi8('0'));
}

// Writes the last `n` of the sixteen ASCII digits in `digits` with a point
// after the first `kk` (0 < kk < n) and returns the end: 17 bytes stored.
[[gnu::target("avx2")]] inline char* place_point(__m128i digits, int n, int kk, char* o) {
    const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i at_point = _mm_cmpeq_epi8(lanes, _mm_set1_epi8(static_cast<char>(kk)));
    const __m128i after_point = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(kk)));
    // Lane i takes digit i + (16 - n), one lane back after the point; the
    // point's lane gets an index with its top bit set, which gives a zero.
    const __m128i order = _mm_or_si128(
        _mm_add_epi8(_mm_add_epi8(lanes, _mm_set1_epi8(static_cast<char>(16 - n))), after_point),
        at_point);
    const __m128i text = _mm_or_si128(_mm_shuffle_epi8(digits, order),
                                      _mm_and_si128(at_point, _mm_set1_epi8('.')));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), text);
    o[16] = static_cast<char>(_mm_extract_epi8(digits, 15));  // the 17th byte, for 16 digits
    return o + n + 1;
}

// How many of the sixteen ASCII digits in `digits` are zeros at the end.
[[gnu::target("avx2")]] inline int trailing_zeros(__m128i digits) {
    return std::countl_one(static_cast<uint16_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_set1_epi8('0')))));
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

// The number of decimal digits of x > 0, from its bit length: floor(bits *
// log10(2)) (1233 / 4096 just above it) is the digit count or one more.
inline int decimal_length(uint64_t x) {
    static constexpr auto kPowers = [] {
        std::array<uint64_t, 20> powers{};
        uint64_t power = 1;
        for (uint64_t& p : powers) {
            p = power;
            power *= 10;
        }
        return powers;
    }();
    const int guess = (64 - std::countl_zero(x)) * 1233 >> 12;
    return guess + 1 - (x < kPowers[static_cast<size_t>(guess)]);
}

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
[[gnu::target("avx2")]] size_t format_uint(uint64_t value, char* out) {
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
        // Drop the leading zeros by shuffling the digits down.
        const __m128i digits = sixteen_digits(value);
        const auto zeros = static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_set1_epi8('0'))));
        const int skip = std::countr_zero(~zeros);
        const __m128i order = _mm_add_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                                         13, 14, 15),
                                           _mm_set1_epi8(static_cast<char>(skip)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(digits, order));
        return static_cast<size_t>(16 - skip);
    }
    // 17 to 20 digits: the leading ones, then sixteen more.
    const size_t head = format_uint(value / 10000000000000000ull, out);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + head),
                     sixteen_digits(value % 10000000000000000ull));
    return head + 16;
}

size_t format_int(int64_t value, char* out) {
    if (value >= 0) return format_uint(static_cast<uint64_t>(value), out);
    *out = '-';
    return 1 + format_uint(0 - static_cast<uint64_t>(value), out + 1);
}

namespace {

// The shapes other than a point among the digits, for digits d1..dn of
// which the first `significant` are not trailing zeros: d1 is `first`, d2
// on are in the first lanes of `rest`. Each part is stored whole, in an
// order where the later stores overwrite what the earlier ones carried past
// their text; returns the end of the text. Kept out of line: the common
// shape's path through format_double stays as short as it was.
[[gnu::target("avx2"), gnu::noinline]] char* lay_out_other(char first, __m128i rest, int n,
                                                           int kk, int significant, char* o) {
    if (n <= kk && kk <= 16) {  // an integer: digits, zeros, ".0"
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 1), rest);
        o[0] = first;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + n), _mm_set1_epi8('0'));
        std::memcpy(o + kk, ".0", 2);
        return o + kk + 2;
    }
    if (-5 < kk && kk <= 0) {  // "0.", -kk zeros, the digits
        std::memcpy(o, "0.000000", 8);
        char* digits = o + 2 - kk;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(digits + 1), rest);
        digits[0] = first;
        return digits + significant;
    }
    // Exponent form: d1[.d2..dn]e(kk-1).
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
[[gnu::target("avx2")]] size_t format_double(double value, char* out) {
    char* o = out;
    if (std::signbit(value)) *o++ = '-';
    if (value == 0) {
        std::memcpy(o, "0.0", 3);
        return static_cast<size_t>(o + 3 - out);
    }
    // The sign is written above. Trailing zeros are only reported, not
    // removed: dragonbox's removal costs a chain of multiplications on every
    // number that may have them, while the digits laid out below show them
    // for the price of one compare.
    const auto decimal = jkj::dragonbox::to_decimal(value, jkj::dragonbox::policy::sign::ignore,
                                                    jkj::dragonbox::policy::trailing_zero::report);
    // The common shape, a point among the digits (3.14, -65.613617): the
    // digits are laid out in one register, where one shuffle moves them past
    // their leading zeros and opens the gap for the point.
    const bool may_have_zeros = decimal.may_have_trailing_zeros;
    if (decimal.significand < 10000000000000000ull) {
        const __m128i digits = sixteen_digits(decimal.significand);
        const int n = decimal_length(decimal.significand);
        const int kk = decimal.exponent + n;
        if (0 < kk && kk < n) {
            char* end = place_point(digits, n, kk, o);
            // Trailing zeros of the fraction go, but for one after the
            // point: 1500 * 10^-3 is "1.5", 100000 * 10^-3 is "100.0".
            if (may_have_zeros) end -= std::min(trailing_zeros(digits), n - kk - 1);
            return static_cast<size_t>(end - out);
        }
        const int zeros = may_have_zeros ? trailing_zeros(digits) : 0;
        // The digits moved to the first lanes; the lanes after them carry
        // leftovers, which are stored past the text or overwritten.
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i left =
            _mm_shuffle_epi8(digits, _mm_add_epi8(lanes, _mm_set1_epi8(static_cast<char>(16 - n))));
        return static_cast<size_t>(lay_out_other(static_cast<char>(_mm_cvtsi128_si32(left)),
                                                 _mm_srli_si128(left, 1), n, kk, n - zeros, o) -
                                   out);
    }
    // Seventeen digits: the first, then sixteen in the register.
    const int kk = decimal.exponent + 17;
    const char first = static_cast<char>('0' + decimal.significand / 10000000000000000ull);
    const __m128i digits = sixteen_digits(decimal.significand % 10000000000000000ull);
    if (0 < kk && kk < 17) {
        *o++ = first;
        if (kk > 1) return static_cast<size_t>(place_point(digits, 16, kk - 1, o) - out);
        *o++ = '.';
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), digits);
        return static_cast<size_t>(o + 16 - out);
    }
    const int zeros = may_have_zeros ? trailing_zeros(digits) : 0;
    return static_cast<size_t>(lay_out_other(first, digits, 17, kk, 17 - zeros, o) - out);
}

}  // namespace vesk
