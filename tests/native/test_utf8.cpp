// Strict UTF-8 decoding into strings of one, two or four bytes per code
// point, against a reference that decodes by the definition.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "parser/utf8.hpp"

namespace vesk {
namespace {

// Code points by the definition: a lead byte's length, the payload bits,
// and then the rules: shortest form only, no surrogates, at most U+10FFFF.
std::optional<std::vector<uint32_t>> reference_decode(std::string_view s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80 ? 1 : c >> 5 == 0x6 ? 2 : c >> 4 == 0xE ? 3 : c >> 3 == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return std::nullopt;
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const auto b = static_cast<uint8_t>(s[i + k]);
            if (b >> 6 != 0x2) return std::nullopt;
            cp = cp << 6 | (b & 0x3F);
        }
        const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < shortest[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return std::nullopt;
        out.push_back(cp);
        i += n;
    }
    return out;
}

std::string utf8(uint32_t cp) {
    std::string out;
    append_utf8(out, cp);
    return out;
}

template <class Unit>
std::optional<std::vector<uint32_t>> decoded_as(std::string_view s, size_t units) {
    std::vector<Unit> out(units + 1, Unit{0x55});  // one guard unit past the room
    if (!decode_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out.data()))
        return std::nullopt;
    EXPECT_EQ(out[units], Unit{0x55}) << "wrote past the room";
    return std::vector<uint32_t>(out.begin(), out.end() - 1);
}

// Shapes the text, decodes it at the width the shape picks, and checks both
// against the reference; for invalid text only that it is refused.
void check(std::string_view s) {
    const auto want = reference_decode(s);
    const Utf8Shape shape = utf8_shape(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    std::optional<std::vector<uint32_t>> got;
    const uint32_t width = shape.max_code_point();
    if (width <= 0xFF) got = decoded_as<uint8_t>(s, shape.code_points);
    else if (width <= 0xFFFF) got = decoded_as<uint16_t>(s, shape.code_points);
    else got = decoded_as<uint32_t>(s, shape.code_points);
    ASSERT_EQ(got.has_value(), want.has_value()) << testing::PrintToString(s);
    if (!want) return;
    EXPECT_EQ(*got, *want) << testing::PrintToString(s);
    EXPECT_EQ(shape.code_points, want->size());
    uint32_t widest = 0;
    for (uint32_t cp : *want) widest = std::max(widest, cp);
    const uint32_t exact_width = widest < 0x80 ? 0x7F : widest < 0x100 ? 0xFF : widest < 0x10000 ? 0xFFFF : 0x10FFFF;
    EXPECT_EQ(width, exact_width) << "the width of the widest code point";
}

// Each kind of bad sequence placed at every offset of a text that spans
// more than two 32-byte blocks of mixed widths, with a run of three-byte
// characters long enough for several vector steps.
TEST(Utf8, InvalidSequenceAtEveryPosition) {
    std::string run;
    for (uint32_t cp : {0x65E5u, 0x672Cu, 0x8A9Eu, 0x30C6u, 0x30ADu, 0x30B9u, 0x30C8u, 0x800u, 0xD7FFu,
                        0xE000u, 0xFFFFu, 0x3042u, 0x4E00u, 0xFF01u})
        run += utf8(cp);
    const std::string base = "ab" + utf8(0xE9) + "cd" + utf8(0x65E5) + "efgh" + utf8(0x1F600) +
                             std::string(40, 'x') + utf8(0x100) + "yz" + run + "q" + run;
    const std::vector<std::string> bad = {
        "\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xC3", "\xC3(", "\xE0\x9F\xBF", "\xE3\x81", "\xE3(\x81",
        "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8",
        "\xFF", "\xF0\x9F\x98"};
    for (const std::string& b : bad) {
        ASSERT_FALSE(reference_decode(b)) << testing::PrintToString(b) << " is the reference's error too";
        for (size_t at = 0; at <= base.size(); ++at) {
            std::string s = base;
            s.insert(at, b);
            check(s);
            std::string replaced = base;
            replaced.replace(std::min(at, base.size() - 1), b.size(), b);
            check(replaced);
        }
    }
}

// One code point of each width class, at both ends of each class.
const std::vector<uint32_t> kSamples = {0x00, 0x41, 0x7F, 0x80, 0xE9, 0xFF, 0x100, 0x7FF, 0x800,
                                        0x65E5, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};

// Runs of every width long enough for several vector steps, with any byte
// now and then (mostly invalid).
TEST(Utf8, RandomText) {
    std::mt19937_64 rng(0x0DEC0DE);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        const size_t n = rng() % 120;
        const uint32_t favourite = kSamples[rng() % kSamples.size()];
        for (size_t i = 0; i < n; ++i) {
            if (rng() % (round % 2 ? 8 : 400) == 0) s += static_cast<char>(rng());  // any byte: mostly invalid
            else s += utf8((rng() % 4 ? favourite : kSamples[rng() % kSamples.size()]) + static_cast<uint32_t>(rng() % 3));
        }
        check(s);
    }
}

}  // namespace
}  // namespace vesk
