// The byte escapers and the code-unit escaper against a plain reference
// written here, and the output buffer they write to.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "simd/cpu_features.hpp"
#include "simd/escape.hpp"
#include "simd/short_blocks.hpp"
#include "types/output_buffer.hpp"

namespace vesk {
namespace {

// The block copy compiled for AVX2, like the writer it is forced inline into.
VESK_TARGET_AVX2 bool copy_clean_avx2(const uint8_t* text, size_t length, uint8_t* out) {
    return copy_short_clean(text, length, out);
}

// The escape of one character, or nothing when it is copied as it is.
std::string escape_of(uint32_t c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case 0x08: return "\\b";
        case 0x09: return "\\t";
        case 0x0A: return "\\n";
        case 0x0C: return "\\f";
        case 0x0D: return "\\r";
        default: break;
    }
    if (c >= 0x20) return "";
    static const char hex[] = "0123456789abcdef";
    return std::string("\\u00") + hex[c >> 4] + hex[c & 15];
}

std::string reference(std::string_view in) {
    std::string out;
    for (unsigned char c : in) {
        const std::string e = escape_of(c);
        out += e.empty() ? std::string(1, static_cast<char>(c)) : e;
    }
    return out;
}

// Copies `count` units so that `pad` units (of `fill`, which an over-read
// would escape) lie between them and an unreadable page: a read past the
// text shows in the output or faults.
template <class Unit>
class Guarded {
public:
    Guarded(const Unit* units, size_t count, size_t pad, Unit fill) {
        const size_t bytes = (count + pad) * sizeof(Unit);
        size_ = (bytes + 4095) / 4096 * 4096 + 4096;
        base_ = static_cast<uint8_t*>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED || mprotect(base_ + size_ - 4096, 4096, PROT_NONE) != 0) std::abort();
        auto* end = reinterpret_cast<Unit*>(base_ + size_ - 4096);
        std::fill(end - pad, end, fill);
        at_ = std::copy(units, units + count, end - pad - count) - count;
    }
    ~Guarded() { munmap(base_, size_); }
    const Unit* get() const { return at_; }

private:
    uint8_t* base_;
    size_t size_;
    const Unit* at_;
};

using Escaper = void (*)(const uint8_t*, size_t, OutputBuffer&);
using Variant = std::pair<const char*, Escaper>;

class ByteEscaper : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (GetParam().second == &write_escaped_str_avx512 && !cpu_has(CpuFeature::avx512bw))
            GTEST_SKIP() << "no AVX512BW here; emulated_avx512 runs the same code";
    }
    // `in` at an alignment and a distance from the page end that vary with
    // its length, appended after a prefix that must stay.
    static std::string escaped(std::string_view in) {
        const Guarded<uint8_t> input(reinterpret_cast<const uint8_t*>(in.data()), in.size(), in.size() % 67, '\n');
        OutputBuffer out;
        out.append_bytes("<>", 2);
        GetParam().second(input.get(), in.size(), out);
        const std::string text(reinterpret_cast<const char*>(out.bytes()), out.size());
        EXPECT_EQ(text.substr(0, 2), "<>");
        return text.substr(2);
    }
};

INSTANTIATE_TEST_SUITE_P(
    Variants, ByteEscaper,
    testing::Values(Variant{"scalar", &write_escaped_str_scalar}, Variant{"avx2", &write_escaped_str_avx2},
                    Variant{"emulated_avx512", &emulated::write_escaped_str_avx512},
                    Variant{"avx512", &write_escaped_str_avx512}, Variant{"dispatch", &write_escaped_str}),
    [](const testing::TestParamInfo<Variant>& p) { return std::string(p.param.first); });

TEST_P(ByteEscaper, KnownExamples) {
    EXPECT_EQ(reference("a\"b\\c\x01\x1b\x7f/"), "a\\\"b\\\\c\\u0001\\u001b\x7f/") << "the test's own reference";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {std::string("\x00\x1f\x0b\x7f/", 5), "\\u0000\\u001f\\u000b\x7f/"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"\xc3\xa9\xf0\x9f\x98\x80", "\xc3\xa9\xf0\x9f\x98\x80"},
        {std::string(64, '"'), [] { std::string s; for (int i = 0; i < 64; ++i) s += "\\\""; return s; }()},
        {std::string(70, 'a') + "\n" + std::string(29, 'a'), std::string(70, 'a') + "\\n" + std::string(29, 'a')},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(escaped(in), want) << testing::PrintToString(in);
}

// Escapes, UTF-8 sequences, DEL and any byte, in random mixes of every length.
TEST_P(ByteEscaper, RandomInputsOfEveryLength) {
    static constexpr std::string_view kMix = "\"\\\n\t\x01\x1f\x7f/ a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    std::mt19937_64 rng(0xE5CA9E);
    for (size_t round = 0; round < 301 * 8; ++round) {
        std::string s(round / 8, '\0');  // eight of every length 0..300, sparse and dense in escapes
        const unsigned clean = round % 8;
        for (char& c : s)
            c = rng() % 8 < clean ? static_cast<char>('a' + rng() % 26)
                : rng() % 2       ? kMix[rng() % kMix.size()]
                                  : static_cast<char>(rng());
        ASSERT_EQ(escaped(s), reference(s)) << testing::PrintToString(s);
    }
}

TEST_P(ByteEscaper, LongInputs) {
    std::mt19937_64 rng(7);
    for (size_t length : {4096u, 65537u, 1u << 20}) {
        std::string s(length, 'x');
        for (size_t i = 0; i < length; i += 1 + rng() % 300) s[i] = static_cast<char>(rng() % 0x23);
        ASSERT_EQ(escaped(s), reference(s)) << "length " << length;
    }
}

// One escape at each position near the block edges, in clean text of each length.
TEST_P(ByteEscaper, EscapeAtBlockEdges) {
    for (size_t length = 1; length <= 200; ++length)
        for (size_t p : {0, 1, 30, 31, 32, 33, 62, 63, 64, 65, 95, 96, 127, 128, 129, 191, 199})
            for (char c : {'"', '\\', '\x00', '\x1f', '\n'}) {
                std::string s(length, 'v');
                s[std::min(p, length - 1)] = c;
                ASSERT_EQ(escaped(s), reference(s)) << int(c) << " at " << p << " of " << length;
            }
}

// Two-, three- and four-byte characters across every 32- and 64-byte edge,
// with an escape right after them.
TEST_P(ByteEscaper, MultiByteCharactersStraddleBlocks) {
    for (std::string ch : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"})
        for (size_t start = 25; start < 200; ++start) {
            const std::string s = std::string(start, 'm') + ch + "\"" + std::string(start % 70, 'n') + ch;
            ASSERT_EQ(escaped(s), reference(s)) << ch.size() << "-byte character at " << start;
        }
}

TEST_P(ByteEscaper, AllByteValues) {
    for (size_t b = 0; b < 256; ++b) {
        std::string rotated(256, '\0'), run(64 * 3 + 32 + 17, static_cast<char>(b));
        for (size_t i = 0; i < 256; ++i) rotated[i] = static_cast<char>(b + i);
        ASSERT_EQ(escaped(rotated), reference(rotated)) << "rotated by " << b;
        ASSERT_EQ(escaped(run), reference(run)) << "run of byte " << b;
    }
}

// Code units of each kind into buffers of each width: the characters as
// units, with the reference escapes; false at the first lone surrogate, by
// which point the units before it are in.
template <class Unit>
std::vector<uint32_t> units_of(const OutputBuffer& out) {
    const auto* u = reinterpret_cast<const Unit*>(out.bytes());
    return {u, u + out.size()};
}

std::vector<uint32_t> read_units(const OutputBuffer& out) {
    return out.width() == 1 ? units_of<uint8_t>(out) : out.width() == 2 ? units_of<uint16_t>(out) : units_of<uint32_t>(out);
}

struct UnitsResult {
    bool ok;
    std::vector<uint32_t> units;
    bool operator==(const UnitsResult&) const = default;
};

UnitsResult reference_units(const std::vector<uint32_t>& in) {
    UnitsResult r{true, {'<'}};
    for (uint32_t c : in) {
        if (c >= 0xD800 && c <= 0xDFFF) return {false, r.units};
        const std::string e = escape_of(c);
        if (e.empty()) r.units.push_back(c);
        else r.units.insert(r.units.end(), e.begin(), e.end());
    }
    return r;
}

template <class Unit>
UnitsResult escaped_units(const std::vector<uint32_t>& in, unsigned width, size_t pad) {
    const std::vector<Unit> units(in.begin(), in.end());
    const Guarded<Unit> text(units.data(), units.size(), pad, static_cast<Unit>('"'));
    OutputBuffer out;
    out.put('<');
    out.widen(width);
    const bool ok = write_escaped_units(text.get(), sizeof(Unit), in.size(), out);
    EXPECT_EQ(out.width(), width);
    return {ok, read_units(out)};
}

UnitsResult escaped_units(const std::vector<uint32_t>& in, unsigned kind, unsigned width, size_t pad) {
    return kind == 1 ? escaped_units<uint8_t>(in, width, pad)
         : kind == 2 ? escaped_units<uint16_t>(in, width, pad)
                     : escaped_units<uint32_t>(in, width, pad);
}

// Characters that look like escapes or surrogates in one byte of a wider unit.
std::vector<uint32_t> pool(unsigned kind) {
    std::vector<uint32_t> p = {'"', '\\', '\n', 0, 0x1f, 0x20, 0x7f, 'a', 'z', 0x80, 0xe9, 0xff};
    if (kind >= 2) p.insert(p.end(), {0x2200, 0x5c22, 0x0a0a, 0x1f00, 0x20ac, 0xd7ff, 0xe000, 0xffff, 0xd822});
    if (kind == 4) p.insert(p.end(), {0x10000, 0x1f600, 0x10ffff, 0x1d800, 0x1dfff, 0x10022, 0x1005c, 0x2000a});
    return p;
}

TEST(EscapeUnits, EveryKindIntoEveryWidth) {
    std::mt19937_64 rng(0x0C0DE);
    for (unsigned kind : {1u, 2u, 4u}) {
        const std::vector<uint32_t> p = pool(kind);
        for (unsigned width = kind; width <= 4; width *= 2)
            for (size_t length = 0; length <= 300; ++length)
                for (int trial = 0; trial < 3; ++trial) {
                    std::vector<uint32_t> in(length);
                    for (uint32_t& c : in) {
                        c = rng() % 4 ? p[rng() % p.size()] : static_cast<uint32_t>('A' + rng() % 26);
                        if (c == 0xd822) c = 'x';  // surrogates only in the test below
                    }
                    ASSERT_EQ(escaped_units(in, kind, width, trial * (length % 5)), reference_units(in))
                        << "kind " << kind << " width " << width << " length " << length;
                }
    }
}

// Many short texts into one buffer, so that they end at every distance from
// its capacity as it grows: a block stored past the text must stay within
// the reservation (the sanitizer build sees any store beyond the buffer).
template <class Unit>
void fill_one_buffer(unsigned width, std::mt19937_64& rng) {
    const std::vector<uint32_t> p = pool(sizeof(Unit));
    OutputBuffer out;
    out.put('<');
    out.widen(width);
    std::vector<uint32_t> want = {'<'};
    for (int n = 0; n < 4000; ++n) {
        std::vector<uint32_t> in(1 + rng() % 40);  // never empty: an empty vector has no data pointer
        for (uint32_t& c : in) {
            c = p[rng() % p.size()];
            if (c == 0xd822) c = 'x';  // surrogates only in the test below
        }
        const std::vector<Unit> units(in.begin(), in.end());
        ASSERT_TRUE(write_escaped_units(units.data(), sizeof(Unit), units.size(), out));
        const std::vector<uint32_t> escaped = reference_units(in).units;
        want.insert(want.end(), escaped.begin() + 1, escaped.end());
    }
    ASSERT_EQ(read_units(out), want) << "kind " << sizeof(Unit) << " width " << width;
}

TEST(EscapeUnits, ManyShortTextsFillOneBuffer) {
    std::mt19937_64 rng(0xF111);
    for (unsigned width : {1u, 2u, 4u}) fill_one_buffer<uint8_t>(width, rng);
    for (unsigned width : {2u, 4u}) fill_one_buffer<uint16_t>(width, rng);
    fill_one_buffer<uint32_t>(4, rng);
}

TEST(EscapeUnits, LoneSurrogatesInBlocksAndTails) {
    for (unsigned kind : {2u, 4u})
        for (unsigned width = kind; width <= 4; width *= 2)
            for (uint32_t s : {0xd800u, 0xdbffu, 0xdc00u, 0xdfffu})
                for (size_t length : {1u, 5u, 15u, 16u, 17u, 31u, 40u, 100u})
                    for (size_t at = 0; at < length; at += 1 + at / 3) {
                        std::vector<uint32_t> in(length, 0xe9);
                        in[0] = '"';
                        in[at] = s;
                        const UnitsResult got = escaped_units(in, kind, width, at % 3);
                        ASSERT_FALSE(got.ok) << kind << "/" << width << " at " << at << " of " << length;
                        ASSERT_EQ(got, reference_units(in)) << kind << "/" << width << " at " << at;
                    }
}

TEST(OutputBuffer, WidenKeepsTheText) {
    for (unsigned from : {1u, 2u, 4u})
        for (unsigned to : {from, std::min(2 * from, 4u), 4u}) {
            OutputBuffer out;
            out.widen(from);
            std::vector<uint32_t> want;
            for (size_t i = 0; i < 10000; ++i) {
                const char c = static_cast<char>(0x80 + i % 128);  // Latin-1: must not be sign-extended
                out.append_bytes(&c, 1);
                want.push_back(static_cast<uint8_t>(c));
            }
            out.widen(to);
            out.widen(from);  // narrower: no change
            out.append_bytes("\xff!", 2);
            for (char c : std::string_view("\xff!")) want.push_back(static_cast<uint8_t>(c));
            EXPECT_EQ(out.width(), to);
            EXPECT_EQ(read_units(out), want) << from << " -> " << to;
        }
}

// Numbers of every length up to the longest, one after another and next to
// other text: what a formatter leaves past a number's end never shows.
TEST(OutputBuffer, AsciiTextOfEveryLength) {
    constexpr size_t kLongest = 48;
    OutputBuffer out;
    std::vector<uint32_t> want;
    for (size_t length = 0; length <= kLongest; ++length) {
        char* at = out.ascii_begin(kLongest);
        for (size_t i = 0; i < length; ++i) at[i] = static_cast<char>('0' + (length + i) % 10);
        for (size_t i = length; i < kLongest; ++i) at[i] = '#';
        out.ascii_end(length);
        for (size_t i = 0; i < length; ++i) want.push_back(static_cast<uint32_t>('0' + (length + i) % 10));
        if (length % 3 == 0) {
            out.append_literal("null");
            want.insert(want.end(), {'n', 'u', 'l', 'l'});
        }
    }
    EXPECT_EQ(read_units(out), want);
}

TEST(OutputBuffer, AppendUnitsTruncateClear) {
    const uint8_t latin[] = {'a', 0xe9};
    const uint16_t bmp[] = {0x20ac, 'b'};
    const uint32_t astral[] = {0x1f600, 'c'};
    OutputBuffer out;
    out.append_units(latin, 1, 2);
    EXPECT_EQ(read_units(out), (std::vector<uint32_t>{'a', 0xe9}));
    out.widen(2);
    out.append_units(latin, 1, 2);
    out.append_units(bmp, 2, 2);
    const size_t mark = out.size();
    out.widen(4);
    out.append_units(astral, 4, 2);
    out.append_units(bmp, 2, 2);
    EXPECT_EQ(read_units(out), (std::vector<uint32_t>{'a', 0xe9, 'a', 0xe9, 0x20ac, 'b', 0x1f600, 'c', 0x20ac, 'b'}));
    out.truncate(mark);
    EXPECT_EQ(out.width(), 4u);
    EXPECT_EQ(read_units(out), (std::vector<uint32_t>{'a', 0xe9, 'a', 0xe9, 0x20ac, 'b'}));
    const size_t capacity = out.capacity_bytes();
    EXPECT_GE(capacity, OutputBuffer::kInitialCapacity);
    out.clear();
    EXPECT_EQ(out.size(), 0u);
    EXPECT_EQ(out.width(), 1u);
    EXPECT_EQ(out.capacity_bytes(), capacity);  // memory kept for the next call
}

TEST(OutputBuffer, GrowsAndRefusesImpossibleSizes) {
    OutputBuffer out;
    std::string want;
    for (size_t i = 0; want.size() < 100000; ++i) {
        const std::string piece(i % 700, static_cast<char>('a' + i % 26));
        out.append_bytes(piece.data(), piece.size());
        want += piece;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.bytes()), out.size()), want);
    EXPECT_THROW(out.reserve(SIZE_MAX / 2), std::bad_alloc);
    out.widen(4);
    EXPECT_THROW(out.reserve(SIZE_MAX / 4), std::bad_alloc);
    out.append_bytes("!", 1);  // still usable, text intact
    EXPECT_EQ(out.size(), want.size() + 1);
    EXPECT_EQ(read_units(out).back(), uint32_t{'!'});
    EXPECT_EQ(read_units(out)[99], static_cast<uint8_t>(want[99]));
}

// The block copies that the writer tries before escaping: for every length
// they serve and every kind of byte that must stop them, placed right
// before an unreadable page (where they must decline, never fault) and well
// inside one (where they must copy exactly the clean texts).
TEST(ShortBlocks, CopyOnlyWhatIsCleanAndNeverFault) {
    // Bytes that stop one block copy or another, and identifier bytes next
    // to the edges of their classes.
    const std::string bad_bytes = std::string("\"\\\n\x01,;|]\t\x7f .@`{[/\x80_$-Zz09", 26);
    for (size_t length = 1; length < 64; ++length)
        for (size_t pad : {size_t{0}, size_t{100}})
            for (size_t stop = 0; stop <= length; ++stop)
                for (char bad : bad_bytes) {
                    std::string text(length, 'q');
                    if (stop < length) text[stop] = bad;  // stop == length: a clean text
                    const bool escapes = stop < length && needs_escape(static_cast<uint8_t>(bad));
                    const bool bare = stop == length || (std::string(",;|]\\\x7f").find(bad) == std::string::npos &&
                                                         static_cast<uint8_t>(bad) >= 0x20);
                    const Guarded<uint8_t> in(reinterpret_cast<const uint8_t*>(text.data()), length, pad,
                                              static_cast<uint8_t>('"'));
                    const bool reachable = pad > 0;  // a whole block loads without leaving the page
                    uint8_t out8[64];
                    ASSERT_EQ(copy_clean_avx2(in.get(), length, out8), reachable && !escapes) << length << " " << stop;
                    if (reachable && !escapes) {
                        EXPECT_EQ(std::string(reinterpret_cast<char*>(out8), length), text);
                    }
                    if (length >= 32) {  // whole blocks within the text: always decided
                        ASSERT_EQ(copy_long_if_bare(in.get(), length, out8), bare) << length << " " << stop;
                        if (bare) {
                            EXPECT_EQ(std::string(reinterpret_cast<char*>(out8), length), text);
                        }
                        continue;
                    }
                    ASSERT_EQ(copy_short_if_bare(in.get(), length, out8), !reachable ? -1 : bare ? 1 : 0)
                        << length << " " << stop;
                    if (reachable && bare) {
                        EXPECT_EQ(std::string(reinterpret_cast<char*>(out8), length), text);
                    }
                    const auto c = static_cast<uint8_t>(bad);
                    const bool identifier = stop == length || (c < 0x80 && (std::isalnum(c) || c == '_' || c == '$' || c == '-'));
                    ASSERT_EQ(copy_short_if_identifier(in.get(), length, out8), !reachable ? -1 : identifier ? 1 : 0)
                        << length << " " << stop << " " << int{c};
                    if (reachable && identifier) {
                        EXPECT_EQ(std::string(reinterpret_cast<char*>(out8), length), text);
                    }
                }
}

}  // namespace
}  // namespace vesk
