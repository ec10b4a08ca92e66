#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "parser/fast_number.hpp"

namespace vesk {
namespace {

using Kind = ParsedNumber::Kind;

ParsedNumber read(const std::string& text, size_t& length) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    return parse_number(p, p + text.size(), length);
}

ParsedNumber read(const std::string& text) {
    size_t length = 0;
    return read(text, length);
}

struct IntCase {
    const char* text;
    Kind kind;
    int64_t i;
    uint64_t u;
};

class Integers : public testing::TestWithParam<IntCase> {};

TEST_P(Integers, MachineIntegers) {
    const IntCase& c = GetParam();
    const ParsedNumber n = read(c.text);
    ASSERT_EQ(n.kind, c.kind) << c.text;
    if (c.kind == Kind::signed_int) {
        EXPECT_EQ(n.i, c.i);
    } else {
        EXPECT_EQ(n.u, c.u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Integers,
    testing::Values(IntCase{"0", Kind::signed_int, 0, 0}, IntCase{"-0", Kind::signed_int, 0, 0},
                    IntCase{"123", Kind::signed_int, 123, 0},
                    IntCase{"9223372036854775807", Kind::signed_int, INT64_MAX, 0},
                    IntCase{"-9223372036854775808", Kind::signed_int, INT64_MIN, 0},
                    IntCase{"9223372036854775808", Kind::unsigned_int, 0, 9223372036854775808ull},
                    IntCase{"9999999999999999999", Kind::unsigned_int, 0, 9999999999999999999ull}));

TEST(Numbers, LongIntegersGoToTheInterpreter) {
    for (const std::string text : {"18446744073709551615", "-9223372036854775809",
                                   "123456789012345678901234567890"}) {
        const ParsedNumber n = read(text);  // n.digits views `text`
        ASSERT_EQ(n.kind, Kind::big_int) << text;
        EXPECT_EQ(n.negative, text[0] == '-');
        EXPECT_EQ(n.digits, std::string_view(text).substr(text[0] == '-'));
    }
}

struct ErrorCase {
    const char* text;
    const char* message;
};

class Malformed : public testing::TestWithParam<ErrorCase> {};

TEST_P(Malformed, ExactMessage) {
    const ParsedNumber n = read(GetParam().text);
    ASSERT_EQ(n.kind, Kind::error) << GetParam().text;
    EXPECT_STREQ(n.error, GetParam().message) << GetParam().text;
}

constexpr const char* kLeading = "Invalid number: leading zeros not allowed";
constexpr const char* kFraction = "Invalid number: decimal point must be followed by digits";

INSTANTIATE_TEST_SUITE_P(
    Table, Malformed,
    testing::Values(ErrorCase{"01", kLeading}, ErrorCase{"-01", kLeading},
                    ErrorCase{"00.5", kLeading}, ErrorCase{"1.", kFraction},
                    ErrorCase{"1.e5", kFraction}, ErrorCase{"1.x5", kFraction},
                    ErrorCase{"1.5.5", "Invalid number"}, ErrorCase{"1e5e3", "Invalid number"},
                    ErrorCase{"12a", "Invalid number"}, ErrorCase{"-", "Invalid number"},
                    ErrorCase{"--1", "Invalid number"}, ErrorCase{"Infinit", "Invalid number"},
                    ErrorCase{"-+1", "Invalid number"}, ErrorCase{"1e", "Invalid float"},
                    ErrorCase{"1e+", "Invalid float"}, ErrorCase{"1e5-3", "Invalid float"},
                    ErrorCase{"1.5e", "Invalid float"}, ErrorCase{"1e--5", "Invalid float"}));

TEST(Numbers, TokenStopsAtForeignBytes) {
    size_t length = 0;
    const ParsedNumber n = read("12x", length);
    EXPECT_EQ(n.kind, Kind::signed_int);
    EXPECT_EQ(n.i, 12);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(read("1.25]", length).d, 1.25);
    EXPECT_EQ(length, 4u);
}

TEST(Numbers, SpecialValues) {
    for (const char* text : {"Infinity", "INF", "inf", "-infinity", "-Inf", "INFINITY"}) {
        const ParsedNumber n = read(text);
        ASSERT_EQ(n.kind, Kind::floating) << text;
        EXPECT_TRUE(std::isinf(n.d)) << text;
        EXPECT_EQ(std::signbit(n.d), text[0] == '-') << text;
    }
    for (const char* text : {"NaN", "NAN", "nan", "-nan", "-NaN"}) {
        const ParsedNumber n = read(text);
        ASSERT_EQ(n.kind, Kind::floating) << text;
        const uint64_t bits = std::bit_cast<uint64_t>(n.d);
        EXPECT_EQ(bits & ~(1ull << 63), 0x7FF8000000000000ull) << text;
        EXPECT_EQ(bits >> 63, text[0] == '-' ? 1u : 0u) << text;
    }
}

TEST(Numbers, OutOfRangeRoundsToInfinityOrZero) {
    EXPECT_EQ(read("1e400").d, INFINITY);
    EXPECT_EQ(read("-1e400").d, -INFINITY);
    EXPECT_EQ(read("1e-400").d, 0.0);
    EXPECT_TRUE(std::signbit(read("-1e-400").d));
    EXPECT_EQ(read(std::string(400, '9') + ".0").d, INFINITY);
    EXPECT_EQ(read("0." + std::string(400, '0') + "1").d, 0.0);
    EXPECT_EQ(read("4.9406564584124654e-324").d, std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(read("1.7976931348623157e308").d, std::numeric_limits<double>::max());
}

// Every double printed with 17 significant digits (always with a fraction
// and an exponent, so never an integer) must read back exactly, in both the
// fast path and the exact-token path.
TEST(Numbers, RandomDoublesRoundTrip) {
    std::mt19937_64 rng(1234);
    char buffer[64];
    for (int i = 0; i < 200000; ++i) {
        double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value)) continue;
        std::snprintf(buffer, sizeof buffer, i % 2 ? "%.16e" : "%.16E", value);
        const ParsedNumber n = read(buffer);
        ASSERT_EQ(n.kind, Kind::floating) << buffer;
        ASSERT_EQ(std::bit_cast<uint64_t>(n.d), std::bit_cast<uint64_t>(value)) << buffer;
        ASSERT_EQ(parse_number_token(buffer).d, value) << buffer;
    }
}

}  // namespace
}  // namespace vesk
