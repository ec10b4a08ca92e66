// Number tokens: shape check and conversion, without Python objects.
// The parser turns a ParsedNumber into an int or float.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Sixteen bytes, so that it comes back in two registers.
struct PlainValue {
    uint32_t length = 0;  // 0: not read
    bool is_float = false;
    union {
        int64_t integer = 0;
        double floating;  // when is_float
    };
};

// Bytes that read_plain_value may read from a number's start.
inline constexpr ptrdiff_t kPlainWindow = 64;

// The plain JSON number at `p` (an optional `-`, an integer part of at most
// 16 digits, an optional fraction of at most 16, 19 digits in all), with
// kPlainWindow bytes readable there: nearly every number of a document, in
// one pass. For any other token (an exponent, a longer integer, NaN and
// Infinity, leading zeros, a malformed number) and nearer the end of the
// text, length 0 and nothing read: parse_number then reads it.
PlainValue read_plain_value(const uint8_t* p, const uint8_t* end);

// The same nearer the end of the text, where small documents keep many of
// their numbers (`"days": 3}`), a byte at a time: any plain JSON number of
// at most 19 digits (an integer of at most 18) with text after it, its
// exponent too. Length 0 for the rest, which parse_number reads: a number
// that runs to the end may still grow under partial reading.
PlainValue read_plain_near_end(const uint8_t* p, const uint8_t* end);

// Whichever of the two the room left after `p` allows.
inline PlainValue read_plain(const uint8_t* p, const uint8_t* end) {
    return end - p >= kPlainWindow ? read_plain_value(p, end) : read_plain_near_end(p, end);
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
