#include "parser/fast_number.hpp"

#include <array>
#include <bit>
#include <system_error>
#include <cmath>
#include <cstring>
#include <limits>

// fast_float, header-only and inlined, rounds correctly; its Eisel-Lemire
// step also serves numbers whose significand is already built.
#include <fast_float/fast_float.h>

#include <immintrin.h>

namespace vesk {
namespace {

constexpr std::array<bool, 256> kTokenByte = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = is_number_token_byte(static_cast<uint8_t>(c));
    return table;
}();

constexpr const char* kInvalidNumber = "Invalid number";
constexpr const char* kLeadingZeros = "Invalid number: leading zeros not allowed";
constexpr const char* kFractionDigits = "Invalid number: decimal point must be followed by digits";
constexpr const char* kInvalidFloat = "Invalid float";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_folded(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

ParsedNumber failure(const char* message) {
    ParsedNumber n;
    n.error = message;
    return n;
}

ParsedNumber floating(double value) {
    ParsedNumber n;
    n.kind = ParsedNumber::Kind::floating;
    n.d = value;
    return n;
}

ParsedNumber big_integer(std::string_view digits, bool negative) {
    ParsedNumber n;
    n.kind = ParsedNumber::Kind::big_int;
    n.digits = digits;
    n.negative = negative;
    return n;
}

// Whether a well-formed float token that the converter reported out of
// range is too large (infinity) rather than too small (zero): the decimal
// exponent of its leading significant digit is positive.
bool overflows(std::string_view body) {
    size_t i = 0;
    int64_t int_digits = 0;  // after leading zeros
    bool seen_nonzero = false;
    for (; i < body.size() && is_digit(body[i]); ++i) {
        seen_nonzero |= body[i] != '0';
        if (seen_nonzero) ++int_digits;
    }
    int64_t magnitude = int_digits - 1;
    if (i < body.size() && body[i] == '.') {
        int64_t zeros = 0;
        for (++i; i < body.size() && is_digit(body[i]); ++i) {
            if (!seen_nonzero && body[i] == '0') ++zeros;
            else if (!seen_nonzero) seen_nonzero = true, magnitude = -(zeros + 1);
        }
    }
    int64_t exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        const bool negative = i < body.size() && body[i] == '-';
        if (i < body.size() && (body[i] == '-' || body[i] == '+')) ++i;
        for (; i < body.size(); ++i) exponent = std::min<int64_t>(exponent * 10 + (body[i] - '0'), 1'000'000'000);
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

ParsedNumber convert_float(std::string_view token, std::string_view body, bool negative) {
    double value = 0.0;
    const auto [end, ec] = fast_float::from_chars(token.data(), token.data() + token.size(), value);
    if (end != token.data() + token.size()) return failure(kInvalidFloat);
    if (ec == std::errc::result_out_of_range) {
        // std::from_chars leaves the value alone here; the correctly
        // rounded result is an infinity or a zero.
        value = overflows(body) ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) value = -value;
    } else if (ec != std::errc()) {
        return failure(kInvalidFloat);
    }
    return floating(value);
}

// `value` is the digits' value, which fits 64 bits below 20 digits.
ParsedNumber convert_integer(std::string_view digits, bool negative, uint64_t value) {
    if (digits.size() >= 20) return big_integer(digits, negative);
    ParsedNumber n;
    constexpr uint64_t kInt64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (!negative) {
        if (value <= kInt64Max) {
            n.kind = ParsedNumber::Kind::signed_int;
            n.i = static_cast<int64_t>(value);
        } else {
            n.kind = ParsedNumber::Kind::unsigned_int;
            n.u = value;
        }
    } else if (value <= kInt64Max + 1) {
        n.kind = ParsedNumber::Kind::signed_int;
        n.i = static_cast<int64_t>(0 - value);  // 2^63 wraps to INT64_MIN
    } else {
        return big_integer(digits, negative);
    }
    return n;
}

}  // namespace

size_t number_token_length(const uint8_t* p, const uint8_t* end) {
    const uint8_t* q = p;
    while (q < end && kTokenByte[*q]) ++q;
    return static_cast<size_t>(q - p);
}

namespace {

// Powers of ten that a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// ±w * 10^e where both w and 10^|e| are exact doubles: one exact operation
// rounds once (Clinger). False, with nothing set, otherwise.
bool exact_decimal(uint64_t w, int64_t e, bool negative, double& value) {
    if (w > (uint64_t{1} << 53) || e < -22 || e > 22) return false;
    const auto v = static_cast<double>(w);
    value = e < 0 ? v / kExactPowersOfTen[-e] : v * kExactPowersOfTen[e];
    if (negative) value = -value;
    return true;
}

// ±w * 10^e correctly rounded, by fast_float's Eisel-Lemire step; false in
// its rare undecided cases, which only the whole text settles.
bool eisel_lemire(uint64_t w, int64_t e, bool negative, double& value) {
    const fast_float::adjusted_mantissa am =
        fast_float::compute_float<fast_float::binary_format<double>>(e, w);
    if (am.power2 < 0) return false;
    fast_float::to_float(negative, am, value);
    return true;
}

// The correctly rounded double of ±w * 10^e for a significand of at most
// 19 digits: exact_decimal where it applies, else the Eisel-Lemire step
// from the significand already built; only its rare undecided cases
// re-read the text whole.
bool convert_significand(uint64_t w, int64_t e, bool negative, std::string_view token,
                         double& value) {
    if (exact_decimal(w, e, negative, value) || eisel_lemire(w, e, negative, value)) return true;
    const auto [last, ec] = fast_float::from_chars(token.data(), token.data() + token.size(), value);
    return last == token.data() + token.size() && ec == std::errc();
}

// Appends the run of digits at `q` to `w` (wrapping past 19 digits, which
// the caller refuses) and returns the end of the run. A digit at a time:
// the parser reads most numbers with read_plain_value; this reader takes
// those near the end of the text, those it turns down (exponents among
// them) and bare text tested for a number.
const uint8_t* read_digits(const uint8_t* q, const uint8_t* end, uint64_t& w) {
    while (q < end && is_digit(static_cast<char>(*q))) w = w * 10 + static_cast<uint64_t>(*q++ - '0');
    return q;
}

// A plain JSON number as one walk over it reads it.
struct PlainNumber {
    const uint8_t* end;   // just past it
    uint64_t significand; // its digits, the fraction's included
    size_t digit_count;
    int64_t exponent;     // of ten, the fraction's digits taken off
    bool negative;
    bool is_float;        // it has a fraction or an exponent
};

// One walk over a plain JSON number (optional `-`, integer, optional
// fraction, optional exponent) validates it and builds its significand.
// False for anything else, and for a number that runs on into more token
// bytes or has more than 19 digits (its significand overflows). In line
// in both its readers: a call's frame costs about what a short number's
// walk does.
[[gnu::always_inline]] inline bool read_plain_number(const uint8_t* p, const uint8_t* end,
                                                 PlainNumber& n) {
    n.negative = *p == '-';
    const uint8_t* q = p + n.negative;
    const uint8_t* const digits = q;
    uint64_t w = 0;
    q = q < end && *q == '0' ? q + 1 : read_digits(q, end, w);
    n.digit_count = static_cast<size_t>(q - digits);
    n.exponent = 0;
    n.is_float = false;
    if (n.digit_count == 0) return false;
    if (q < end && *q == '.') {
        const uint8_t* const fraction = ++q;
        q = read_digits(q, end, w);
        if (q == fraction) return false;
        n.digit_count += static_cast<size_t>(q - fraction);
        n.exponent = -static_cast<int64_t>(q - fraction);
        n.is_float = true;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        ++q;
        const bool negative_exponent = q < end && *q == '-';
        if (q < end && (*q == '+' || *q == '-')) ++q;
        const uint8_t* const exponent_digits = q;
        int64_t magnitude = 0;
        for (; q < end && is_digit(static_cast<char>(*q)); ++q)
            if (magnitude < 100'000) magnitude = magnitude * 10 + (*q - '0');  // far past any double
        if (q == exponent_digits) return false;
        n.exponent += negative_exponent ? -magnitude : magnitude;
        n.is_float = true;
    }
    if ((q < end && kTokenByte[*q]) || n.digit_count > 19) return false;
    n.end = q;
    n.significand = w;
    return true;
}

// 10^0 to 10^16, to scale the integer part past the fraction's digits.
constexpr std::array<uint64_t, 17> kPowersOfTen = [] {
    std::array<uint64_t, 17> powers{1};
    for (size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
}();

// One bit per byte of the 32 at `q` that is an ASCII digit.
[[gnu::target("avx2")]] inline uint32_t digit_bits(const uint8_t* q) {
    const __m256i v = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)),
                                      _mm256_set1_epi8('0'));
    return static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(9)), v)));
}

// The value of the `count` (1 to 7) digits at `s`, 8 bytes readable there,
// within one word: the digits, shifted to its top past what followed them,
// are joined in pairs, fours and eights by three multiplications. Shorter
// than the vector join's chain, for the short runs that most numbers are.
inline uint64_t word_run_value(const uint8_t* s, unsigned count) {
    uint64_t word;
    std::memcpy(&word, s, 8);
    uint64_t eight = (word - 0x3030303030303030ull) << (64 - 8 * count);
    eight = eight * 10 + (eight >> 8);
    eight = (((eight & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
             (((eight >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
            32;
    return static_cast<uint32_t>(eight);
}

// The value of the `count` (1 to 16) digits at `s`, 16 bytes readable
// there: the digits are shifted to the end of a register behind zeros, and
// three multiply-adds join neighbours into pairs, fours and eights.
[[gnu::target("avx2")]] inline uint64_t vector_run_value(const uint8_t* s, unsigned count) {
    const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)),
                                        _mm_set1_epi8('0'));
    // Lane i takes digit i - (16 - count); a negative index gives zero.
    const __m128i order = _mm_add_epi8(
        _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
        _mm_set1_epi8(static_cast<char>(count - 16)));
    const __m128i aligned = _mm_shuffle_epi8(digits, order);
    const __m128i pairs = _mm_maddubs_epi16(aligned, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10,
                                                                    1, 10, 1, 10, 1, 10, 1));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours),
                                          _mm_setr_epi16(10000, 1, 10000, 1, 0, 0, 0, 0));
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_cvtsi128_si32(eights))) * 100000000 +
           static_cast<uint32_t>(_mm_extract_epi32(eights, 1));
}

[[gnu::target("avx2")]] inline uint64_t run_value(const uint8_t* s, unsigned count) {
    return count < 8 ? word_run_value(s, count) : vector_run_value(s, count);
}

}  // namespace

// Both runs of digits are found in one vector compare over 32 bytes; at
// most 19 digits in all, the second run ends within them.
[[gnu::target("avx2,bmi")]] PlainValue read_plain_value(const uint8_t* p, const uint8_t* end) {
    PlainValue n;
    if (end - p < kPlainWindow) return n;
    const bool negative = *p == '-';
    const uint8_t* const q = p + negative;
    const uint32_t digits = digit_bits(q);
    const auto whole = static_cast<unsigned>(std::countr_zero(~digits));
    if (whole == 0 || whole > 16 || (whole > 1 && *q == '0')) return n;
    const uint8_t* after = q + whole;
    if (*after != '.') {
        if (kTokenByte[*after]) return n;
        const auto value = static_cast<int64_t>(run_value(q, whole));
        n.integer = negative ? -value : value;
        n.length = static_cast<uint32_t>(after - p);
        return n;
    }
    const auto places = static_cast<unsigned>(std::countr_zero(~(digits >> (whole + 1))));
    if (places == 0 || places > 16 || whole + places > 19) return n;
    after += 1 + places;
    if (kTokenByte[*after]) return n;
    const uint64_t w = run_value(q, whole) * kPowersOfTen[places] + run_value(q + whole + 1, places);
    // Up to 15 digits one division rounds; past them the Eisel-Lemire step,
    // which costs less than a division by then.
    const auto exponent = -static_cast<int64_t>(places);
    double value = 0.0;
    if (whole + places <= 15 ? !exact_decimal(w, exponent, negative, value)
                             : !eisel_lemire(w, exponent, negative, value))
        return n;
    n.floating = value;
    n.is_float = true;
    n.length = static_cast<uint32_t>(after - p);
    return n;
}

// Out of line: the parser's number reader, which calls it, stays small
// enough to sit in line in the loop over a list's elements.
[[gnu::noinline]] PlainValue read_plain_near_end(const uint8_t* p, const uint8_t* end) {
    PlainValue v;
    PlainNumber n;
    if (!read_plain_number(p, end, n) || n.end == end) return v;
    if (!n.is_float) {
        if (n.digit_count > 18) return v;
        const auto value = static_cast<int64_t>(n.significand);
        v.integer = n.negative ? -value : value;
    } else {
        double value = 0.0;
        if (!exact_decimal(n.significand, n.exponent, n.negative, value) &&
            !eisel_lemire(n.significand, n.exponent, n.negative, value))
            return v;
        v.floating = value;
        v.is_float = true;
    }
    v.length = static_cast<uint32_t>(n.end - p);
    return v;
}

// Anything but a plain number of at most 19 digits goes to
// parse_number_token, which gives the exact result or error.
ParsedNumber parse_number(const uint8_t* p, const uint8_t* end, size_t& length) {
    PlainNumber n;
    if (read_plain_number(p, end, n)) {
        length = static_cast<size_t>(n.end - p);
        const std::string_view token(reinterpret_cast<const char*>(p), length);
        if (!n.is_float) return convert_integer(token.substr(n.negative), n.negative, n.significand);
        double value = 0.0;
        if (convert_significand(n.significand, n.exponent, n.negative, token, value))
            return floating(value);
    }
    length = number_token_length(p, end);
    return parse_number_token({reinterpret_cast<const char*>(p), length});
}

Scalar read_scalar(const uint8_t* p, const uint8_t* end, size_t& length) {
    Scalar scalar;
    length = 0;
    if (p >= end || !starts_scalar(*p)) return scalar;
    if (*p == 't' || *p == 'f' || *p == 'n') {
        static constexpr struct {
            std::string_view word;
            Scalar::Kind kind;
        } kLiterals[] = {{"null", Scalar::Kind::null},
                         {"true", Scalar::Kind::true_literal},
                         {"false", Scalar::Kind::false_literal}};
        const auto left = static_cast<size_t>(end - p);
        for (const auto& literal : kLiterals) {
            if (left >= literal.word.size() &&
                std::memcmp(p, literal.word.data(), literal.word.size()) == 0) {
                length = literal.word.size();
                scalar.kind = literal.kind;
                break;
            }
        }
        return scalar;
    }
    size_t token = 0;
    scalar.number = parse_number(p, end, token);
    if (scalar.number.kind == ParsedNumber::Kind::error) return scalar;
    length = token;
    scalar.kind = Scalar::Kind::number;
    return scalar;
}

ParsedNumber parse_number_token(std::string_view token) {
    const bool negative = !token.empty() && token[0] == '-';
    const std::string_view body = negative ? token.substr(1) : token;
    if (body.empty()) return failure(kInvalidNumber);

    if (equals_folded(body, "infinity") || equals_folded(body, "inf"))
        return floating(negative ? -std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::infinity());
    if (equals_folded(body, "nan")) {
        // The standard quiet NaN: exponent bits and the top fraction bit set.
        const uint64_t bits = 0x7FF8000000000000ull | (negative ? 1ull << 63 : 0);
        return floating(std::bit_cast<double>(bits));
    }

    if (!is_digit(body[0])) return failure(kInvalidNumber);
    if (body[0] == '0' && body.size() > 1 && is_digit(body[1])) return failure(kLeadingZeros);
    size_t i = 1;
    while (i < body.size() && is_digit(body[i])) ++i;
    if (i == body.size()) {
        uint64_t value = 0;
        if (body.size() < 20)
            for (char c : body) value = value * 10 + static_cast<uint64_t>(c - '0');
        return convert_integer(body, negative, value);
    }

    bool exponent = false;
    bool exponent_right_after_digits = false;
    size_t fraction_digits = 0;
    if (body[i] == '.') {
        if (++i == body.size()) return failure(kFractionDigits);
    } else if (body[i] == 'e' || body[i] == 'E') {
        exponent = exponent_right_after_digits = true;
        if (++i == body.size()) return convert_float(token, body, negative);
    } else {
        return failure(kInvalidNumber);
    }
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (is_digit(c)) {
            if (!exponent) ++fraction_digits;
        } else if (c == '+' || c == '-') {
            if (!exponent) break;
        } else if (c == 'e' || c == 'E') {
            if (exponent) break;
            if (fraction_digits == 0) return failure(kFractionDigits);
            exponent = true;
            if (i + 1 < body.size() && (body[i + 1] == '+' || body[i + 1] == '-')) ++i;
        } else {
            break;
        }
    }
    if (!exponent_right_after_digits && fraction_digits == 0) return failure(kFractionDigits);
    if (i < body.size()) return failure(kInvalidNumber);
    return convert_float(token, body, negative);
}

}  // namespace vesk
