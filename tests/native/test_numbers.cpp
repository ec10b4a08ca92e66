// Number tokens read against strtod, and numbers written against a layout of std::to_chars's
// shortest digits (doubles) and std::to_string (integers).
#include <charconv>

#include "native_test.hpp"
#include "parser/fast_number.hpp"
#include "serializer/number_format.hpp"

namespace vesk {
namespace {

using enum ParsedNumber::Kind;

// Numbers near the input's end are read otherwise than with a long stretch after: check both.
std::pair<ParsedNumber, size_t> read(std::string_view text, bool long_tail = false) {
    std::string input(text);
    if (long_tail) input += " " + std::string(80, '7');
    const auto* p = reinterpret_cast<const uint8_t*>(input.data());
    size_t length = 0;
    const ParsedNumber n = parse_number(p, p + input.size(), length);
    // The parser's own routes, wherever they take the token, agree with the general reader.
    for (const PlainValue s :
         {read_plain_value(p, p + input.size()), read_plain_near_end(p, p + input.size())})
        if (s.length) {
            EXPECT_EQ(std::tuple(s.length, s.is_float ? floating : signed_int),
                      std::tuple(length, n.kind))
                << input;
            EXPECT_EQ(s.is_float ? std::bit_cast<uint64_t>(s.floating) : s.integer,
                      s.is_float ? std::bit_cast<uint64_t>(n.d) : n.i)
                << input;
        }
    return {n, length};
}

// Every route of the conversion against strtod: 1 to 21 digits, the point after the first digit
// or later, exponents around the exact powers of ten; integers of up to 19 digits fit a machine's.
TEST(Numbers, DecimalTextsAgainstStrtod) {
    std::mt19937_64 rng(0xF10A7);
    for (int i = 0; i < 300000; ++i) {
        std::string digits;
        for (size_t k = 0, count = 1 + rng() % 21; k < count; ++k)
            digits += static_cast<char>('0' + rng() % 10);
        if (digits.size() > 1 && digits[0] == '0') digits[0] = static_cast<char>('1' + rng() % 9);
        const size_t point = rng() % (digits.size() + 1);
        std::string text = rng() % 2 ? "-" : "";
        text +=
            point % digits.size() ? digits.substr(0, point) + "." + digits.substr(point) : digits;
        if (rng() % 3)
            text += (rng() % 2 ? "e" : "E") + std::to_string(static_cast<int>(rng() % 61) - 30);
        if (text.find_first_of(".eE") == std::string::npos) continue;  // an integer
        for (const std::string& input : {text, text + ",", text + "]"})
            for (const bool long_tail : {false, true}) {
                const auto [number, length] = read(input, long_tail);
                ASSERT_EQ(std::tuple(number.kind, length, std::bit_cast<uint64_t>(number.d)),
                          std::tuple(floating, text.size(),
                                     std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr))))
                    << input;
            }
    }
    for (int i = 0; i < 100000; ++i) {
        std::string digits = std::to_string(rng() % 9 + 1);
        for (size_t k = 0, more = rng() % 19; k < more; ++k)
            digits += static_cast<char>('0' + rng() % 10);
        const uint64_t value = std::stoull(digits);
        read("-" + digits, true);
        read("0" + digits, true);  // leading zeros: the general error
        read(digits + (rng() % 2 ? "." : "e"), true);  // no short number: the general error
        for (const bool long_tail : {false, true}) {
            const auto [n, length] = read(digits, long_tail);
            ASSERT_EQ(
                std::tuple(n.kind, length, n.kind == signed_int ? static_cast<uint64_t>(n.i) : n.u),
                std::tuple(value > INT64_MAX ? unsigned_int : signed_int, digits.size(), value))
                << digits;
        }
    }
    // The exact-power limits of the conversion at the edges of its routes, the ends of the range,
    // and a leading "0." before 16 and 27 digits.
    for (const char* text :
         {"9007199254740992e22", "9007199254740993e22", "9007199254740992e-22",
          "9007199254740993e-22", "1e22", "1e23", "1e-22", "1e-23", "123456789012345e-22",
          "0.9007199254740993", "0e400", "0.0e-400", "1234567890123456789e-5",
          "99999999999999999999e0", "4.9406564584124654e-324", "1.7976931348623157e308",
          "-0.1234567890123456", "0.00000000000000000000000001"})
        EXPECT_EQ(std::bit_cast<uint64_t>(read(text).first.d),
                  std::bit_cast<uint64_t>(std::strtod(text, nullptr)))
            << text;
}

std::string reference(double value) {
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0) return sign + "0.0";
    char text[64];  // d.ddde+XX: digits d1..dn and kk with |value| = 0.d1..dn * 10^kk
    *std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific).ptr =
        '\0';
    std::string d;
    const char* e = text;
    for (; *e != 'e'; ++e)
        if (*e != '.') d += *e;
    const int kk = std::atoi(e + 1) + 1, n = static_cast<int>(d.size());
    if (n <= kk && kk <= 16) return sign + d + std::string(kk - n, '0') + ".0";
    if (0 < kk && kk <= 16) return sign + d.substr(0, kk) + "." + d.substr(kk);
    if (-5 < kk && kk <= 0) return sign + "0." + std::string(-kk, '0') + d;
    return sign + d.substr(0, 1) + (n > 1 ? "." + d.substr(1) : "") + "e" + std::to_string(kk - 1);
}

// The formatted text, with a check that nothing is written past the room the formatter asks for
// (it may use that room as scratch).
template <size_t kRoom, class T>
std::string formatted(size_t (*format)(T, char*), T value) {
    char out[kRoom + 16];
    std::memset(out, '#', sizeof out);
    const size_t length = format(value, out);
    EXPECT_LE(length, kRoom);
    EXPECT_EQ(std::string(out + kRoom, out + sizeof out), std::string(16, '#'))
        << "written past the room for " << value;
    return std::string(out, length);
}

// Random bit patterns cover every exponent, subnormals and both signs; powers of two and their
// neighbours the uneven gaps.
TEST(FormatDouble, RandomDoublesReadBackAndFollowTheLayout) {
    std::mt19937_64 rng(0xF10A7);
    std::vector<double> values;
    for (int i = 0; i < 40000; ++i) values.push_back(std::bit_cast<double>(rng()));
    for (int e = -1074; e <= 1023; ++e) {
        const double p = std::ldexp(1.0, e);
        values.insert(values.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), -p});
    }
    for (int i = 0; i < 5000; ++i)
        values.push_back(std::bit_cast<double>(rng() & 0x800FFFFFFFFFFFFFull));
    // 300 doubles either side of 1e15, 2^53, 1e16, 1e17: 16 digits become 17, the exponent form.
    for (double base : {1e15, 0x1p53, 1e16, 1e17})
        for (int64_t i = -300; i <= 300; ++i)
            values.push_back(std::bit_cast<double>(std::bit_cast<int64_t>(base) + i));
    // Each decade where the layout changes, full-length digits and short ones (zeros follow).
    for (int e = -9; e <= 19; ++e)
        for (int i = 0; i < 300; ++i) {
            const double unit = std::ldexp(static_cast<double>(rng() >> 11), -53);
            values.push_back(unit * std::pow(10.0, e));
            values.push_back(std::round(unit * 1000) * std::pow(10.0, e - 3));
        }
    for (double v : values)
        if (std::isfinite(v)) {
            ASSERT_EQ(formatted<kMaxDoubleText>(&format_double, v), reference(v))
                << std::hexfloat << v;
        }
}

// Integers: every power of ten and its neighbours, the 64-bit ends, random values of every length;
// then the eight digits after a leading one, for every value of them: the digits come from
// fixed-point arithmetic whose rounding must hold for each.
TEST(FormatInteger, AgainstToString) {
    std::vector<uint64_t> values = {0, 1, 9, UINT64_MAX, UINT64_MAX - 1, uint64_t{1} << 63};
    for (uint64_t p = 1; p <= UINT64_MAX / 10; p *= 10)
        values.insert(values.end(), {p - 1, p, p + 1, p * 10 - 1});
    std::mt19937_64 rng(42);
    for (int i = 0; i < 100000; ++i) values.push_back(rng() >> (rng() % 64));
    for (uint64_t u : values) {
        ASSERT_EQ((formatted<kMaxIntText>(&format_uint, u)), std::to_string(u));
        for (const auto s : {static_cast<int64_t>(u), -static_cast<int64_t>(u >> 1)})
            ASSERT_EQ((formatted<kMaxIntText>(&format_int, s)), std::to_string(s));
    }
    char expected[] = "100000000";
    char out[kMaxIntText];
    for (uint64_t v = 100000000; v < 200000000; ++v) {
        ASSERT_EQ(format_uint(v, out), 9u);
        if (std::memcmp(out, expected, 9) != 0) FAIL() << v << " gave " << std::string(out, 9);
        for (int i = 8; ++expected[i] > '9'; --i) expected[i] = '0';  // the next decimal text
    }
}

}  // namespace
}  // namespace vesk
