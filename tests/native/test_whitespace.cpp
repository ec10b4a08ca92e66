// Filler skipping (whitespace, comments, byte order mark) against a byte-by-byte reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "simd/whitespace.hpp"

namespace vesk {
namespace {

uint64_t skip(std::string_view buffer, uint64_t length, uint64_t start) {
    skip_whitespace_simd(reinterpret_cast<const uint8_t*>(buffer.data()), length, start);
    return start;
}

uint64_t reference_skip(std::string_view s, uint64_t pos) {
    const auto at = [&](std::string_view t) { return s.substr(pos).starts_with(t); };
    if (pos == 0 && at("\xEF\xBB\xBF")) return reference_skip(s, 3);  // only at 0, only whole
    if (at(" ") || at("\t") || at("\n") || at("\r")) return reference_skip(s, pos + 1);
    if (at("//")) {
        for (pos += 2; pos < s.size() && !at("\n") && !at("\r");) ++pos;
        return reference_skip(s, at("\r\n") ? pos + 2 : std::min(pos + 1, s.size()));
    }
    if (at("/*")) {
        for (pos += 2; pos < s.size() && !at("*/");) ++pos;
        return reference_skip(s, std::min(pos + 2, s.size()));
    }
    return pos;
}

using Case = std::tuple<std::string_view, uint64_t, uint64_t>;  // input, start, expected stop

class Filler : public testing::TestWithParam<Case> {};

TEST_P(Filler, StopsAtExpectedByte) {
    const auto [input, start, expected] = GetParam();
    EXPECT_EQ(skip(std::string(input) + "/ ", input.size(), start), expected);  // "/ " if over-read
    EXPECT_EQ(reference_skip(input, start), expected) << "the test's own reference";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Filler,
    testing::Values(Case{"\xEF\xBB\xBF // c\r\n /* x */ 7", 0, 19}, Case{" \xEF\xBB\xBF", 0, 1},
                    Case{"x\xEF\xBB\xBF", 1, 1}, Case{"\xEF\xBB", 0, 0}, Case{"\xEF\xBB\xBE", 0, 0},
                    Case{"\xEF\xBB\xBF\xEF\xBB\xBF", 0, 3}, Case{"/*/", 0, 3}, Case{"/", 0, 0},
                    Case{"/*/ */x", 0, 6}, Case{"/**/x", 0, 4}, Case{"/***/x", 0, 5},
                    Case{"/* *", 0, 4}, Case{"// c\r\nx", 0, 6}, Case{"// c\r\r\nx", 0, 7},
                    Case{"// c\rx", 0, 5}, Case{"// c\r", 0, 5}, Case{"// */\nx", 0, 6},
                    Case{" /", 0, 1}, Case{"/x", 0, 0}, Case{"\v x", 0, 0}, Case{"\f", 0, 0},
                    Case{{"\0 ", 2}, 0, 0}, Case{"\xC2\xA0", 0, 0}, Case{"x  ", 3, 3},
                    Case{"x/**/y", 1, 5}, Case{"/* a */", 2, 3}));

// A line end and indentation of every width, then what ends it: a token, a
// comment, other whitespace, a byte order mark look-alike, or the end of
// the view (bytes past it are spaces and a token, which must not be read);
// with and without a document's worth of text after it, which lets the
// vector step run.
TEST(FillerIndentation, MatchesReference) {
    for (size_t width = 0; width <= 40; ++width) {
        for (std::string_view next : {"x", "/* c */x", "// c\nx", "\t x", "\n  x", "\r\nx", "\xEF", "/", "",
                                      "x, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15",
                                      "                                                  "}) {
            const std::string text = "\n" + std::string(width, ' ') + std::string(next);
            const std::string buffer = text + "   x";
            for (uint64_t start = 0; start <= 1; ++start)
                ASSERT_EQ(skip(buffer, text.size(), start), reference_skip(text, start))
                    << testing::PrintToString(text) << " from " << start;
        }
    }
}

// From every start. Long whitespace runs reach the vector path; bytes past the view are random.
TEST(FillerRandom, MatchesReference) {
    static constexpr std::string_view kAlphabet = " \t\n\r/*x\xEF\xBB\xBF";
    std::mt19937_64 rng(0xF111'E55);
    for (int round = 0; round < 6000; ++round) {
        std::string s = round % 4 ? "" : "\xEF\xBB\xBF";
        while (s.size() < 130)
            s += rng() % 100 < (round % 2 ? 97 : 40) ? " \t\n\r"[rng() % 4] : kAlphabet[rng() % 10];
        const std::string_view view = std::string_view(s).substr(0, rng() % 110);
        for (uint64_t start = 0; start <= view.size(); ++start)
            ASSERT_EQ(skip(s, view.size(), start), reference_skip(view, start))
                << testing::PrintToString(std::string(view)) << " from " << start;
    }
}

}  // namespace
}  // namespace vesk
