// Every structural scanner against a byte-at-a-time reference written here.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "simd/cpu_features.hpp"
#include "simd/scanner.hpp"

namespace vesk {
namespace {

using Offsets = std::vector<uint64_t>;
using Reference = std::vector<Offsets>;  // one array per Structural, same order

Reference reference_scan(std::string_view input) {
    Reference out(kStructuralCount);
    for (size_t i = 0; i < input.size(); ++i) {
        switch (input[i]) {
            case '{': out[kOpenBrace].push_back(i); break;
            case '[': out[kOpenBracket].push_back(i); break;
            case ':': out[kColon].push_back(i); break;
            case ';': out[kSemicolon].push_back(i); break;
            case ',': out[kComma].push_back(i); break;
            case ']': out[kCloseBracket].push_back(i); break;
            case '}': out[kCloseBrace].push_back(i); break;
            case '"': out[kQuote].push_back(i); break;
            default: break;
        }
    }
    return out;
}

constexpr const char* kKindName[kStructuralCount] = {
    "open_braces", "open_brackets", "colons", "semicolons",
    "commas",      "close_brackets", "close_braces", "quotes"};

// Names the first difference instead of dumping megabytes of offsets.
testing::AssertionResult same_offsets(const StructuralIndex& got, const Reference& want) {
    for (int s = 0; s < kStructuralCount; ++s) {
        const OffsetArray& g = got.arrays[s];
        const Offsets& w = want[static_cast<size_t>(s)];
        const size_t common = std::min(g.size(), w.size());
        for (size_t i = 0; i < common; ++i)
            if (g[i] != w[i])
                return testing::AssertionFailure()
                       << kKindName[s] << "[" << i << "] is " << g[i] << ", expected " << w[i];
        if (g.size() != w.size())
            return testing::AssertionFailure()
                   << kKindName[s] << " has " << g.size() << " offsets, expected " << w.size()
                   << (g.size() > w.size() ? "; first extra: " : "; first missing: ")
                   << (g.size() > w.size() ? g[common] : w[common]);
    }
    return testing::AssertionSuccess();
}

Offsets to_vector(const OffsetArray& a) { return Offsets(a.begin(), a.end()); }

// Holds a copy of an input whose last byte sits right before an unreadable
// page, so a scanner reading past the end faults.
class GuardedCopy {
public:
    explicit GuardedCopy(size_t capacity) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        usable_ = (capacity + page_ - 1) / page_ * page_;
        void* p = mmap(nullptr, usable_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<char*>(p);
        mprotect(base_ + usable_, page_, PROT_NONE);
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    ~GuardedCopy() { munmap(base_, usable_ + page_); }

    bool fits(std::string_view input) const { return input.size() <= usable_; }
    std::string_view place(std::string_view input) {
        char* start = base_ + usable_ - input.size();
        if (!input.empty()) std::memcpy(start, input.data(), input.size());
        return {start, input.size()};
    }

private:
    size_t page_ = 0;
    size_t usable_ = 0;
    char* base_ = nullptr;
};

struct Variant {
    const char* name;
    StructuralIndex (*scan)(std::string_view);
    bool needs_avx512;  // runs natively, so only on a processor that has it
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class Scanner : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (GetParam().needs_avx512 && !use_avx512_scanner())
            GTEST_SKIP() << "this processor lacks AVX512F+AVX512BW; the SIMDe build of the same "
                            "code runs as the emulated_avx512 variant";
    }
    // Scans the input where it lies and again as a copy ending at an
    // unreadable page; the two indexes must agree.
    static StructuralIndex scan(std::string_view input) {
        static GuardedCopy guarded(size_t{8} << 20);
        StructuralIndex index = GetParam().scan(input);
        if (guarded.fits(input)) {
            EXPECT_TRUE(GetParam().scan(guarded.place(input)) == index)
                << "the index depends on where the input lies";
        }
        return index;
    }
};

INSTANTIATE_TEST_SUITE_P(
    Variants, Scanner,
    testing::Values(Variant{"scalar", &scan_scalar, false}, Variant{"avx2", &scan_avx2, false},
                    Variant{"emulated_avx512", &emulated::scan_avx512, false},
                    Variant{"avx512", &scan_avx512, true}, Variant{"dispatch", &scan, false}),
    [](const testing::TestParamInfo<Variant>& p) { return std::string(p.param.name); });

// Bytes most likely to upset a vector classifier: the structural ones,
// filler, backslashes, and high bytes sharing a nibble with a structural one.
uint8_t biased_byte(std::mt19937_64& rng) {
    static constexpr std::string_view kStructural = "{[:;,]}\"";
    static constexpr std::string_view kWhitespace = " \t\n\r";
    const uint64_t r = rng();
    switch ((r >> 8) % 8) {
        case 0:
        case 1:
        case 2: return static_cast<uint8_t>(kStructural[r % kStructural.size()]);
        case 3: return static_cast<uint8_t>(kWhitespace[r % kWhitespace.size()]);
        case 4: return '\\';
        case 5: return static_cast<uint8_t>(0x80 | (r & 0x7F));
        default: return static_cast<uint8_t>(r);
    }
}

std::string random_input(std::mt19937_64& rng, size_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>(biased_byte(rng));
    return s;
}

TEST_P(Scanner, KnownExample) {
    const StructuralIndex index = scan(R"({"a,b": [1]})");
    EXPECT_EQ(to_vector(index.open_braces()), (Offsets{0}));
    EXPECT_EQ(to_vector(index.quotes()), (Offsets{1, 5}));
    EXPECT_EQ(to_vector(index.commas()), (Offsets{3}));
    EXPECT_EQ(to_vector(index.colons()), (Offsets{6}));
    EXPECT_EQ(to_vector(index.open_brackets()), (Offsets{8}));
    EXPECT_EQ(to_vector(index.close_brackets()), (Offsets{10}));
    EXPECT_EQ(to_vector(index.close_braces()), (Offsets{11}));
    EXPECT_TRUE(index.semicolons().empty());
}

// The index is lexical: an escaped quote is still a quote, wherever the
// backslash falls relative to a block edge.
TEST_P(Scanner, BackslashDoesNotHideQuote) {
    EXPECT_EQ(to_vector(scan(R"("a\"b")").quotes()), (Offsets{0, 3, 5}));
    EXPECT_EQ(to_vector(scan(R"(\\"\\\")").quotes()), (Offsets{2, 6}));
    const size_t quotes[] = {1, 31, 32, 33, 63, 64, 65, 127, 128, 191, 192};
    for (size_t quote : quotes) {
        for (size_t length : {quote + 1, quote + 70, size_t{256}}) {
            std::string s(length, '\\');
            s[quote] = '"';
            EXPECT_EQ(to_vector(scan(s).quotes()), (Offsets{quote}))
                << "quote at " << quote << " in " << length << " bytes";
        }
    }
}

// Views start at every alignment, and the bytes right after each view are
// structural: a scanner reading past the end would record them.
TEST_P(Scanner, RandomInputsOfEveryLength) {
    std::mt19937_64 rng(0x5CA7'7E57);
    const std::string guard(128, '{');
    for (size_t length = 0; length <= 300; ++length) {
        for (int round = 0; round < 6; ++round) {
            const size_t shift = rng() % 64;
            const std::string buffer = std::string(shift, ',') + random_input(rng, length) + guard;
            const std::string_view view(buffer.data() + shift, length);
            ASSERT_TRUE(same_offsets(scan(view), reference_scan(view)))
                << "length " << length << ", round " << round << ", shift " << shift;
        }
    }
}

TEST_P(Scanner, LargeInputs) {
    std::mt19937_64 rng(0xB16'B10C);
    const size_t mib = size_t{1} << 20;
    const std::string random = random_input(rng, mib + 37);
    EXPECT_TRUE(same_offsets(scan(random), reference_scan(random))) << "random";
    // Every byte of one kind: full 64-bit masks on every block, including for
    // the kind that starts with no reservation.
    for (char c : {'"', ';', '}'}) {
        const std::string uniform(mib, c);
        EXPECT_TRUE(same_offsets(scan(uniform), reference_scan(uniform))) << "all '" << c << "'";
    }
    std::string dense;
    for (size_t i = 0; i < mib; ++i) dense += "{[:;,]}\""[i % 8];
    EXPECT_TRUE(same_offsets(scan(dense), reference_scan(dense))) << "dense";
}

// One structural byte at block edges of non-structural input made of
// nibble look-alikes ('+' and '|' share a nibble with ';' and ',', 0xBB and
// 0xA2 with ';' and '"', and so on).
TEST_P(Scanner, StructuralByteAtBlockEdges) {
    static constexpr std::string_view kFiller = "a+|\\\xA2\xBB\x7C\x5C <=2Zz\xDD\xFB\x2A";
    static constexpr std::string_view kStructural = "{[:;,]}\"";
    const size_t edges[] = {0,   1,   15,  16,  31,  32,  33,  47,  48,  63,  64,  65,
                            95,  96,  97,  127, 128, 129, 159, 160, 191, 192, 255, 256};
    for (size_t length = 1; length <= 260; ++length) {
        std::string base(length, ' ');
        for (size_t i = 0; i < length; ++i) base[i] = kFiller[i % kFiller.size()];
        std::vector<size_t> positions{length - 1};
        for (size_t e : edges)
            if (e < length) positions.push_back(e);
        for (size_t p : positions) {
            for (char c : kStructural) {
                std::string s = base;
                s[p] = c;
                ASSERT_TRUE(same_offsets(scan(s), reference_scan(s)))
                    << "'" << c << "' at " << p << " of " << length;
            }
        }
    }
}

// Each byte value at every position within a 64-byte block.
TEST_P(Scanner, AllByteValues) {
    std::string all(256, '\0');
    for (int b = 0; b < 256; ++b) all[static_cast<size_t>(b)] = static_cast<char>(b);
    for (size_t rotate = 0; rotate < 64; ++rotate) {
        std::string s = all.substr(rotate) + all.substr(0, rotate);
        ASSERT_TRUE(same_offsets(scan(s), reference_scan(s))) << "rotated by " << rotate;
    }
}

// A run of one byte value, long enough for whole blocks plus a scalar tail:
// the structural bytes fill their own array and nothing else; every other
// byte, 0x80..0xFF and the nibble look-alikes included, is never recorded.
TEST_P(Scanner, UniformRunOfEachByte) {
    static constexpr std::string_view kStructural = "{[:;,]}\"";
    const size_t length = 64 * 3 + 32 + 17;
    Offsets every(length);
    for (size_t i = 0; i < length; ++i) every[i] = i;
    for (int b = 0; b < 256; ++b) {
        const std::string s(length, static_cast<char>(b));
        const StructuralIndex index = scan(s);
        const size_t kind = kStructural.find(static_cast<char>(b));
        for (int k = 0; k < kStructuralCount; ++k) {
            if (static_cast<size_t>(k) == kind)
                EXPECT_EQ(to_vector(index.arrays[k]), every) << "byte 0x" << std::hex << b;
            else
                EXPECT_TRUE(index.arrays[k].empty())
                    << "byte 0x" << std::hex << b << " recorded as " << kKindName[k];
        }
    }
}

TEST_P(Scanner, CorpusFiles) {
    const std::filesystem::path dir = VESK_CORPUS_DIR;
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "corpus folder " << dir << " is absent";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        ASSERT_TRUE(in) << "cannot open " << entry.path();
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_TRUE(same_offsets(scan(text), reference_scan(text))) << entry.path();
        ++files;
    }
    if (files == 0) GTEST_SKIP() << "corpus folder " << dir << " holds no files";
}

}  // namespace
}  // namespace vesk
