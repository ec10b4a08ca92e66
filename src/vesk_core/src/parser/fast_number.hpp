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

}  // namespace vesk
