#include "parser/fast_number.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

// Debian's fast_float when present (header-only, inlined); the standard
// library's from_chars otherwise. Both round correctly.
#if __has_include(<fast_float/fast_float.h>)
#include <fast_float/fast_float.h>
#define VESK_FROM_CHARS fast_float::from_chars
#else
#define VESK_FROM_CHARS std::from_chars
#endif

namespace vesk {
namespace {

constexpr std::array<bool, 256> kTokenByte = [] {
    std::array<bool, 256> table{};
    for (char c : std::string_view("0123456789+-.AEFINTYaefinty")) table[static_cast<uint8_t>(c)] = true;
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
    const auto [end, ec] = VESK_FROM_CHARS(token.data(), token.data() + token.size(), value);
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

ParsedNumber convert_integer(std::string_view digits, bool negative) {
    if (digits.size() >= 20) return big_integer(digits, negative);
    uint64_t value = 0;
    for (char c : digits) value = value * 10 + static_cast<uint64_t>(c - '0');
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

// The end of the plain JSON number at `p` (optional `-`, integer, optional
// fraction, optional exponent), or nullptr when the text is anything else
// or the token runs on past it. Sets `is_float`.
const uint8_t* plain_json_number(const uint8_t* p, const uint8_t* end, bool& is_float) {
    auto digits = [end](const uint8_t* q) {
        while (q < end && *q >= '0' && *q <= '9') ++q;
        return q;
    };
    const uint8_t* q = p + (*p == '-');
    const uint8_t* const int_start = q;
    q = q < end && *q == '0' ? q + 1 : digits(q);
    if (q == int_start) return nullptr;
    is_float = false;
    if (q < end && *q == '.') {
        const uint8_t* const fraction = digits(q + 1);
        if (fraction == q + 1) return nullptr;
        q = fraction;
        is_float = true;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        const uint8_t* sign_end = q + 1;
        if (sign_end < end && (*sign_end == '+' || *sign_end == '-')) ++sign_end;
        const uint8_t* const exponent = digits(sign_end);
        if (exponent == sign_end) return nullptr;
        q = exponent;
        is_float = true;
    }
    return q < end && kTokenByte[*q] ? nullptr : q;
}

}  // namespace

ParsedNumber parse_number(const uint8_t* p, const uint8_t* end, size_t& length) {
    bool is_float = false;
    if (const uint8_t* stop = plain_json_number(p, end, is_float)) {
        length = static_cast<size_t>(stop - p);
        const std::string_view token(reinterpret_cast<const char*>(p), length);
        const bool negative = *p == '-';
        if (!is_float) return convert_integer(token.substr(negative), negative);
        double value = 0.0;
        const auto [last, ec] = VESK_FROM_CHARS(token.data(), token.data() + length, value);
        if (last == token.data() + length && ec == std::errc()) return floating(value);
    }
    length = number_token_length(p, end);
    return parse_number_token({reinterpret_cast<const char*>(p), length});
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
    if (i == body.size()) return convert_integer(body, negative);

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
