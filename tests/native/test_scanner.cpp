// Every structural scanner against a byte-by-byte reference written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "simd/cpu_features.hpp"
#include "simd/scanner.hpp"

namespace vesk {
namespace {

using Offsets = std::vector<uint64_t>;

Offsets reference_scan(std::string_view in) {
    Offsets out;
    for (size_t i = 0; i < in.size(); ++i)
        if (in[i] == '"') out.push_back(i);
    return out;
}

Offsets entries(const StructuralIndex& index) {
    Offsets out;
    for (size_t i = 0; i < index.size(); ++i) out.push_back(index[i]);
    return out;
}

using Variant = std::pair<const char*, void (*)(std::string_view, StructuralIndex&)>;

class Scanner : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (GetParam().second == &scan_avx512 && !use_avx512_scanner())
            GTEST_SKIP() << "no AVX512F+AVX512BW here; emulated_avx512 runs the same code";
    }
    // `in` at varying alignment, followed by quotes an over-read would
    // record, scanned into an index last used for other text. `wide_from`
    // picks the offset width.
    static Offsets scanned(std::string_view in, uint64_t wide_from = kWideOffsetsFrom) {
        const size_t shift = in.size() % 61;
        const std::string buffer = std::string(shift, '"') + std::string(in) + std::string(64, '"');
        StructuralIndex index;
        index.reset(buffer.size(), wide_from);
        GetParam().second(buffer, index);
        index.reset(in.size(), wide_from);
        GetParam().second({buffer.data() + shift, in.size()}, index);
        EXPECT_EQ(index.wide(), in.size() >= wide_from);
        return entries(index);
    }
};

INSTANTIATE_TEST_SUITE_P(
    Variants, Scanner,
    testing::Values(Variant{"scalar", &scan_scalar}, Variant{"avx2", &scan_avx2},
                    Variant{"emulated_avx512", &emulated::scan_avx512},
                    Variant{"avx512", &scan_avx512}, Variant{"dispatch", &scan}),
    [](const testing::TestParamInfo<Variant>& p) { return std::string(p.param.first); });

TEST_P(Scanner, KnownExample) {
    const Offsets want = {1, 5, 12, 14};
    EXPECT_EQ(reference_scan(R"({"a,b": [1, "\"]})"), want) << "the test's own reference";
    EXPECT_EQ(scanned(R"({"a,b": [1, "\"]})"), want) << "a backslash never hides a quote";
}

// Quotes, whitespace, backslashes, look-alikes (0xA2 and 0x22 share a low
// 7 bits), any byte.
TEST_P(Scanner, RandomInputsOfEveryLength) {
    static constexpr std::string_view kMix = "{[:;,]}\"\"\" \t\n\r\\\\\xA2\xBB\xDD\xFB";
    std::mt19937_64 rng(0x5CA7'7E57);
    for (size_t round = 0; round < 301 * 6; ++round) {
        std::string s(round / 6, '\0');  // six of every length 0..300
        for (char& c : s) c = rng() % 3 ? kMix[rng() % kMix.size()] : static_cast<char>(rng());
        ASSERT_EQ(scanned(s), reference_scan(s)) << testing::PrintToString(s);
    }
}

// A quote at block edges, amid backslashes and look-alikes.
TEST_P(Scanner, QuoteAtBlockEdges) {
    std::string filler;
    while (filler.size() < 260) filler += "a+|\\\xA2\xBB\\\x7C <=2Zz\xDD\xFB\x2A";
    for (size_t length = 1; length <= 260; ++length)
        for (size_t p : {0, 1, 31, 32, 33, 63, 64, 65, 127, 128, 129, 191, 192, 255, 256, 999}) {
            std::string s = filler.substr(0, length);
            s[std::min(p, length - 1)] = '"';
            ASSERT_EQ(scanned(s), reference_scan(s)) << "quote at " << p << " of " << length;
        }
}

// Each byte at every position of a block, and in runs of blocks plus a tail.
TEST_P(Scanner, AllByteValues) {
    for (size_t b = 0; b < 256; ++b) {
        std::string rotated(256, '\0'), run(64 * 3 + 32 + 17, static_cast<char>(b));
        for (size_t i = 0; i < 256; ++i) rotated[i] = static_cast<char>(b + i);
        ASSERT_EQ(scanned(rotated), reference_scan(rotated)) << "rotated by " << b;
        ASSERT_EQ(scanned(run), reference_scan(run)) << "run of byte " << b;
    }
}

// Offsets switch from 32 to 64 bits at the threshold, lowered here so that
// both widths meet the same text: lengths just below, at and above it.
TEST_P(Scanner, OffsetWidthAtTheThreshold) {
    std::string text;
    while (text.size() < 200) text += "\"ab\", \"\\\"\" : [";
    for (uint64_t wide_from : {1, 63, 64, 65, 100, 128, 150}) {
        for (uint64_t length : {wide_from - 1, wide_from, wide_from + 1}) {
            const std::string_view s(text.data(), length);
            ASSERT_EQ(scanned(s, wide_from), reference_scan(s))
                << length << " bytes, 64-bit from " << wide_from;
        }
    }
}

TEST_P(Scanner, CorpusFiles) {
    if (!std::filesystem::is_directory(VESK_CORPUS_DIR))
        GTEST_SKIP() << "corpus folder " << VESK_CORPUS_DIR << " is absent";
    for (const auto& entry : std::filesystem::directory_iterator(VESK_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        EXPECT_TRUE(scanned(text) == reference_scan(text)) << entry.path();
        EXPECT_TRUE(scanned(text, text.size()) == reference_scan(text)) << entry.path() << " (64-bit)";
    }
}

}  // namespace
}  // namespace vesk
