// Number tokens: shape check and conversion, without Python objects.
// The parser turns a ParsedNumber into an int or float.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesk {

struct ParsedNumber {
    enum class Kind : uint8_t {
        signed_int,    // `i`
        unsigned_int,  // `u`: positive, above INT64_MAX
        big_int,       // `digits` (no sign) and `negative`: needs the interpreter
        floating,      // `d`
        error,         // `error`: the ValueError message
    };
    Kind kind = Kind::error;
    bool negative = false;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0.0;
    std::string_view digits;
    const char* error = nullptr;
};

// The bytes of a number token: digits, `+ - .` and the letters of
// `infinity`/`nan`/exponents, `a e f i n t y` in either case.
constexpr bool is_number_token_byte(uint8_t c) {
    constexpr std::string_view kOthers = "+-.AEFINTYaefinty";
    return (c >= '0' && c <= '9') || kOthers.find(static_cast<char>(c)) != std::string_view::npos;
}

constexpr std::array<bool, 256> kTokenByte = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = is_number_token_byte(static_cast<uint8_t>(c));
    return table;
}();

// How many digits begin the 8 bytes at `q` (0 to 8), with `digits` set to
// those bytes less '0'. The first byte that is not a digit has its top bit
// set after the subtraction or the addition (a borrow or carry only
// reaches the bytes after it).
inline unsigned count_leading_digits(const uint8_t* q, uint64_t& digits) {
    uint64_t word;
    std::memcpy(&word, q, 8);
    digits = word - 0x3030303030303030ull;
    const uint64_t others = ((digits + 0x7676767676767676ull) | digits) & 0x8080808080808080ull;
    return others ? static_cast<unsigned>(std::countr_zero(others)) >> 3 : 8;
}

// The value of the first `count` (1 to 8) of `digits` (see
// count_leading_digits): shifted to the top of the word, past what followed
// them, they are joined in pairs, fours and eights by three multiplications.
inline uint32_t leading_digits_value(uint64_t digits, unsigned count) {
    uint64_t eight = digits << (64 - 8 * count);
    eight = eight * 10 + (eight >> 8);
    eight = (((eight & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
             (((eight >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
            32;
    return static_cast<uint32_t>(eight);
}

// Powers of ten that a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr uint64_t kWordScales[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Bytes that must be readable from a number's start for read_plain_value.
constexpr ptrdiff_t kPlainWindow = 64;

struct PlainValue {
    size_t length = 0;  // 0: not read
    bool is_float = false;
    int64_t integer = 0;
    double floating = 0.0;
};

// read_plain_value for numbers past its short shape (eight or more digits
// before the point, or a fraction of eight or more), read from their start
// again with all the digits in vector lanes.
PlainValue read_long_plain_value(const uint8_t* p);

// The plain JSON number at `p` (an optional `-`, an integer part, an
// optional fraction) of at most 19 digits, with kPlainWindow bytes readable
// there: nearly every number of a document. For any other token (an
// exponent, an integer of over 16 digits, NaN and Infinity, leading zeros,
// a malformed number) and near the end of the text, length 0 and nothing
// read: parse_number then gives its value or its error. The short shape
// (ids, counts, prices, measurements) is read in line, a word of digits at
// a time: an integer of up to seven digits, or a fraction of up to seven
// digits each side of the point, whose significand and scale are exact
// doubles, so that one division rounds.
inline PlainValue read_plain_value(const uint8_t* p, const uint8_t* end) {
    PlainValue n;
    if (end - p < kPlainWindow) return n;
    const bool negative = *p == '-';
    const uint8_t* const q = p + negative;
    uint64_t digits = 0;
    const unsigned count = count_leading_digits(q, digits);
    if (count == 0 || (count > 1 && *q == '0')) return n;
    if (count == 8) return read_long_plain_value(p);
    const uint8_t* after = q + count;
    if (*after != '.') {
        if (kTokenByte[*after]) return n;
        const int64_t whole = leading_digits_value(digits, count);
        n.integer = negative ? -whole : whole;
        n.length = count + negative;
        return n;
    }
    uint64_t fraction_digits = 0;
    const unsigned places = count_leading_digits(after + 1, fraction_digits);
    after += 1 + places;
    if (places == 0) return n;
    if (places == 8 || kTokenByte[*after]) return read_long_plain_value(p);
    const uint64_t significand = leading_digits_value(digits, count) * kWordScales[places] +
                                 leading_digits_value(fraction_digits, places);
    const double value = static_cast<double>(significand) / kExactPowersOfTen[places];
    n.floating = negative ? -value : value;
    n.is_float = true;
    n.length = static_cast<size_t>(after - p);
    return n;
}

// Length of the number token at `p`: the longest run of digits and
// `+ - .` and the letters of `infinity`/`nan`/exponents: `a e f i n t y` in
// either case (so `INF` and `NAN` reach the special-value check whole).
size_t number_token_length(const uint8_t* p, const uint8_t* end);

// Classifies and converts one whole token (sign included).
ParsedNumber parse_number_token(std::string_view token);

// Reads the number at `p` and sets `length` to its token's length. Plain
// JSON numbers are converted in a single pass; anything else (special
// values, malformed text) goes through parse_number_token, which gives the
// exact error.
ParsedNumber parse_number(const uint8_t* p, const uint8_t* end, size_t& length);

// The scalars of the value reader's grammar: the literals, and numbers of
// any size with NaN and Infinity in the spellings it accepts. The first
// byte decides, as in the value reader: `t` `f` `n` begin a literal, a
// digit, `-`, `I` or `N` a number.
constexpr bool starts_scalar(uint8_t c) {
    switch (c) {
        case '-': case 'I': case 'N': case 't': case 'f': case 'n':
            return true;
        default:
            return c >= '0' && c <= '9';
    }
}

struct Scalar {
    enum class Kind : uint8_t { none, null, true_literal, false_literal, number };
    Kind kind = Kind::none;
    ParsedNumber number;  // when `number`
};

// The scalar that begins at `p`, and its length; `none` where the text there
// begins none (a malformed number included).
Scalar read_scalar(const uint8_t* p, const uint8_t* end, size_t& length);

// Whether `text` is exactly one scalar, all of it: what a table reads a bare
// cell as, and what a bare cell the writer leaves unquoted must not be.
inline Scalar read_scalar_text(const uint8_t* text, size_t length) {
    size_t read = 0;
    if (length == 0 || !starts_scalar(text[0])) return {};
    const Scalar scalar = read_scalar(text, text + length, read);
    return read == length ? scalar : Scalar{};
}

}  // namespace vesk
