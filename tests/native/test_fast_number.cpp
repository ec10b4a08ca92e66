#include "native_test.hpp"
#include "parser/fast_number.hpp"

namespace vesk {
namespace {

using enum ParsedNumber::Kind;

// Numbers near the input's end are read otherwise than with a long stretch after: check both.
enum class Tail { none, long_one };

std::pair<ParsedNumber, size_t> read(std::string_view text, Tail tail = Tail::none) {
    std::string input(text);
    if (tail == Tail::long_one) input += " " + std::string(80, '7');
    const auto* p = reinterpret_cast<const uint8_t*>(input.data());
    size_t length = 0;
    ParsedNumber n = parse_number(p, p + input.size(), length);
    // A big integer's digits point into the input: keep them as text.
    static thread_local std::string digits;
    digits.assign(n.digits);
    n.digits = digits;
    return {n, length};
}

// A machine integer ("u" if unsigned), a big one's digits, a double in "%a" form, or the error.
std::string outcome(const ParsedNumber& n) {
    char hex[64];
    std::snprintf(hex, sizeof hex, "%a", n.d);
    switch (n.kind) {
        case signed_int:
            return std::to_string(n.i);
        case unsigned_int:
            return "u" + std::to_string(n.u);
        case big_int:
            return (n.negative ? "big -" : "big ") + std::string(n.digits);
        case floating:
            return hex;
        default:
            return n.error;
    }
}

// Token texts by their outcome; each token ends at the first of ",]}x" or at the end.
TEST(Numbers, TokensByOutcome) {
    const std::string leading = "Invalid number: leading zeros not allowed";
    const std::string fraction = "Invalid number: decimal point must be followed by digits";
    using Group = std::pair<std::string, std::vector<std::string>>;
    for (const auto& [expected, texts] : std::vector<Group>{
             {"0", {"0", "-0"}},
             {"123", {"123]"}},
             {"12", {"12x"}},
             {"9223372036854775807", {"9223372036854775807"}},
             {"-9223372036854775808", {"-9223372036854775808"}},
             {"u9223372036854775808", {"9223372036854775808}"}},
             {"big 18446744073709551615", {"18446744073709551615"}},
             {"big -9223372036854775809", {"-9223372036854775809"}},
             {"inf", {"Infinity", "inf", "INFINITY", "1e400", std::string(400, '9') + ".0"}},
             {"-inf", {"-Inf", "-1e400"}},
             {"nan", {"NaN", "NAN"}},
             {"-nan", {"-nan"}},
             {"0x0p+0", {"1e-400", "0." + std::string(400, '0') + "1"}},
             {"-0x0p+0", {"-1e-400"}},
             {"0x0.0000000000001p-1022", {"4.9406564584124654e-324"}},
             {"0x1.fffffffffffffp+1023", {"1.7976931348623157e308"}},
             {leading, {"01", "-01", "00.5"}},
             {fraction, {"1.", "1.e5", "1.x5"}},
             {"Invalid number", {"1.5.5", "1e5e3", "12a", "-", "--1", "Infinit"}},
             {"Invalid float", {"1e", "1e+", "1e5-3", "1.5e"}},
             // Past the random texts below: a leading "0." and 27 digits.
             {"-0x1.f9add3746f659p-4", {"-0.1234567890123456"}},
             {"0x1.8c240c4aecb14p-87", {"0.00000000000000000000000001"}},
             {"0x1p-1", {"0.5x"}}})
        for (const std::string& text : texts)
            for (const Tail tail : {Tail::none, Tail::long_one}) {
                const auto [number, length] = read(text, tail);
                EXPECT_EQ(std::pair(outcome(number), length),
                          std::pair(expected, std::min(text.find_first_of(",]}x"), text.size())))
                    << text << ", tail " << static_cast<int>(tail);
            }
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
            for (const Tail tail : {Tail::none, Tail::long_one}) {
                const auto [number, length] = read(input, tail);
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
        for (const Tail tail : {Tail::none, Tail::long_one})
            ASSERT_EQ(outcome(read(digits, tail).first),
                      (std::stoull(digits) > INT64_MAX ? "u" : "") + digits);
    }
    // The exact-power limits of the conversion, at the edges of its routes.
    for (const char* text : {"9007199254740992e22", "9007199254740993e22", "9007199254740992e-22",
                             "9007199254740993e-22", "1e22", "1e23", "1e-22", "1e-23",
                             "123456789012345e-22", "0.9007199254740993", "0e400", "0.0e-400",
                             "1234567890123456789e-5", "99999999999999999999e0"})
        EXPECT_EQ(std::bit_cast<uint64_t>(read(text).first.d),
                  std::bit_cast<uint64_t>(std::strtod(text, nullptr)))
            << text;
}

// A scalar at the start of a text (kind, length), and whether the whole text is one (bare cells).
TEST(Scalars, PrefixAndWholeText) {
    using enum Scalar::Kind;
    using Group = std::tuple<Scalar::Kind, size_t, std::vector<std::string>>;
    for (const auto& [kind, prefix, texts] :
         std::vector<Group>{{null, 4, {"null", "nullable"}},
                            {true_literal, 4, {"true", "true "}},
                            {false_literal, 5, {"false"}},
                            {number, 6, {"-2.5e3"}},
                            {number, 30, {"123456789012345678901234567890"}},
                            {number, 3, {"NaN", "Inf", "Nancy"}},
                            {number, 4, {"-nan"}},
                            {number, 2, {"12kg", "10:30"}},
                            {number, 1, {"1 2"}},
                            {none,
                             0,
                             {"2025-03-14", "2.1.3", "0123", "-", "1e", "nan", "None", "True",
                              "tru", "+1", ".5", ""}}})
        for (const std::string& text : texts) {
            const auto* p = reinterpret_cast<const uint8_t*>(text.data());
            size_t length = 99;
            EXPECT_EQ(std::pair(read_scalar(p, p + text.size(), length).kind, length),
                      std::pair(kind, prefix))
                << text;
            EXPECT_EQ(read_scalar_text(p, text.size()).kind, prefix == text.size() ? kind : none)
                << text;
        }
    const auto* p = reinterpret_cast<const uint8_t*>("1.5");
    EXPECT_EQ(read_scalar_text(p, 3).number.d, 1.5);
    EXPECT_EQ(read_scalar_text(p, 2).kind, none) << "only the bytes given: \"1.\"";
}

}  // namespace
}  // namespace vesk
