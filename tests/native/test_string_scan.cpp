// The string scans that replace byte loops: the end of a string with what
// its content needs, and the end of a plain run inside an escaped string,
// against byte-by-byte references, at every start across block edges.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "simd/string_scan.hpp"

namespace vesk {
namespace {

StringEnd reference_end(std::string_view s, uint64_t pos) {
    StringEnd r{s.size(), false, true};
    for (; pos < s.size(); ++pos) {
        const auto c = static_cast<uint8_t>(s[pos]);
        if (c == '"') {
            r.close = pos;
            return r;
        }
        r.backslash = r.backslash || c == '\\';
        r.ascii = r.ascii && c < 0x80;
    }
    return r;
}

uint64_t reference_stop(std::string_view s, uint64_t pos) {
    while (pos < s.size() && s[pos] != '"' && s[pos] != '\\' && static_cast<uint8_t>(s[pos]) >= 0x20)
        ++pos;
    return pos;
}

// `text` followed by quotes an over-read would find.
void check_all_starts(const std::string& text) {
    const std::string buffer = text + std::string(40, '"');
    const auto* data = reinterpret_cast<const uint8_t*>(buffer.data());
    for (uint64_t start = 0; start <= text.size(); ++start) {
        const StringEnd want = reference_end(text, start);
        const StringEnd got = find_string_end_avx2(data, text.size(), start);
        ASSERT_EQ(got.close, want.close) << testing::PrintToString(text) << " from " << start;
        ASSERT_EQ(got.backslash, want.backslash) << testing::PrintToString(text) << " from " << start;
        ASSERT_EQ(got.ascii, want.ascii) << testing::PrintToString(text) << " from " << start;
        ASSERT_EQ(find_escape_stop_avx2(data, text.size(), start), reference_stop(text, start))
            << testing::PrintToString(text) << " from " << start;
    }
}

// One quote, backslash, high or control byte at each offset, alone and
// before or after another.
TEST(StringScan, MarkersAtEveryOffset) {
    const std::string marks[] = {"\"", "\\", "\xC3", "\x80", "\x1F", "\t", "\\\"", "\"\\", "\xE9\"", "\"\xE9"};
    for (size_t length : {1, 31, 32, 33, 64, 70, 100}) {
        for (const std::string& mark : marks) {
            for (size_t at = 0; at + mark.size() <= length; ++at) {
                std::string text(length, 'a');
                text.replace(at, mark.size(), mark);
                check_all_starts(text);
            }
        }
    }
}

TEST(StringScan, RandomText) {
    std::mt19937_64 rng(0x57121);
    static constexpr std::string_view kMix = "ab \"\\\xC3\xA9\x01\x7F\x80";
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 130, 'x');
        for (char& c : text)
            if (rng() % 6 == 0) c = kMix[rng() % kMix.size()];
        check_all_starts(text);
    }
}

}  // namespace
}  // namespace vesk
