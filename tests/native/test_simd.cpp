// The vector kernels against plain loops, on random bytes of every length and alignment next to
// an inaccessible page and inside a poison per kernel: a read outside the input faults or shows.
#include <sys/mman.h>

#include <cctype>

#include "native_test.hpp"
#include "simd/cpu_features.hpp"
#include "simd/escape.hpp"
#include "simd/scanner.hpp"
#include "simd/short_blocks.hpp"
#include "simd/string_scan.hpp"
#include "simd/whitespace.hpp"
#include "types/output_buffer.hpp"
#include "types/structural_index.hpp"

namespace vesk {
namespace {

using namespace std::literals;

// The block copy compiled for AVX2, like the writer it is forced inline into.
VESK_TARGET_AVX2 bool copy_clean_avx2(const uint8_t* text, size_t length, uint8_t* out) {
    return copy_clean(text, length, out);
}

constexpr size_t kPage = 4096;  // the granule within_page() assumes
enum class Edge { head, tail };

// Readable pages between two inaccessible ones, `poison` except where the current input lies.
struct GuardedArena {
    GuardedArena(size_t pages, std::string_view poison) : size_(pages * kPage), poison_(poison) {
        base_ = static_cast<uint8_t*>(
            mmap(nullptr, size_ + 2 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED || mprotect(base_ + kPage, size_, PROT_READ | PROT_WRITE))
            std::abort();
        repoison(0, size_);
    }
    ~GuardedArena() { munmap(base_, size_ + 2 * kPage); }
    size_t size() const { return size_; }

    // `size` bytes at `offset` past the leading guard, the last input poisoned over.
    const uint8_t* place_at(const void* bytes, size_t size, size_t offset) {
        repoison(last_offset_, last_size_);
        last_offset_ = offset, last_size_ = size;
        if (size) std::memcpy(base_ + kPage + offset, bytes, size);
        return base_ + kPage + offset;
    }
    // `align` bytes after the leading guard, or under 64 before the trailing one at `align` % 64.
    const uint8_t* place(const void* bytes, size_t n, size_t align, Edge edge) {
        return place_at(bytes, n, edge == Edge::head ? align : size_ - n - ((0 - n - align) & 63));
    }

    void repoison(size_t offset, size_t size) {
        for (size_t i = offset; i < offset + size; ++i)
            base_[kPage + i] = static_cast<uint8_t>(poison_[i % poison_.size()]);
    }
    size_t size_;
    std::string poison_;
    uint8_t* base_;
    size_t last_offset_ = 0, last_size_ = 0;
};

// Letters with bytes of `special` (or any byte) at a density per input, some in runs, some BOMs.
struct Fuzzer {
    explicit Fuzzer(uint64_t seed) : rng(seed) {}
    uint64_t below(uint64_t n) { return rng() % n; }

    std::string bytes(size_t length, std::string_view special) {
        static constexpr unsigned kDensity[] = {0, 1, 4, 16, 40, 64};  // in 64ths
        const unsigned density = kDensity[below(std::size(kDensity))];
        std::string s(length, '\0');
        for (size_t i = 0; i < length;) {
            char c = special[below(special.size())];
            if (below(64) >= density)
                c = static_cast<char>('a' + below(26));
            else if (below(4) == 0)
                c = static_cast<char>(below(256));
            for (size_t end = std::min(length, i + (below(32) ? 1 : 1 + below(100))); i < end; ++i)
                s[i] = c;
        }
        if (length >= 3 && below(16) == 0) s.replace(0, 3, "\xef\xbb\xbf");
        return s;
    }
    std::mt19937_64 rng;
};

// Quotes, backslashes, controls, DEL, high bytes (0xA2, 0xDC: '"' and '\\' with the top bit), BOM
// bytes, whitespace, `/`, `*`, and neighbours of each.
constexpr std::string_view kInteresting =
    "\"\"\"\\\\\\\x00\x01\x08\t\n\x0c\r\x1b\x1f\x20\x21\x23\x7f\x80\xa2\xdc\xbb\xbf\xef\xff"
    "  //**\x5b\x5d\x5d\x60\x2e"sv;

// Every length up to `max_length` at 64 alignments by both edges, then with `long_ones` sixty
// inputs up to 20 KB, two past 64 KiB: `check(input, placed, where)` for each until one fails.
template <class Check>
void for_each_input(Fuzzer& fuzz, GuardedArena& arena, size_t max_length, std::string_view special,
                    bool long_ones, Check check) {
    const auto one = [&](size_t length, size_t align, Edge edge) {
        const std::string in = fuzz.bytes(length, special);
        const uint8_t* at = arena.place(in.data(), length, align, edge);
        check(std::string_view(in), at, [&] {
            return std::to_string(length) + " bytes at alignment " + std::to_string(align) +
                   (edge == Edge::head ? " after" : " before") +
                   " a guard page: " + testing::PrintToString(in);
        });
        return !testing::Test::HasFatalFailure();
    };
    for (size_t length = 0; length <= max_length; ++length)
        for (size_t align = 0; align < 64; ++align)
            for (Edge edge : {Edge::head, Edge::tail})
                if (!one(length, align, edge)) return;
    for (int i = 0; long_ones && i < 60; ++i)
        if (!one(i < 2 ? 70000 + fuzz.below(10000) : 320 + fuzz.below(20000), fuzz.below(64),
                 i % 2 ? Edge::head : Edge::tail))
            return;
}

// Each variant into its own reused index (stale entries show), 64-bit offsets from `wide_from`.
TEST(SimdDifferential, ScannersMatchLoop) {
    using Scan = void (*)(std::string_view, StructuralIndex&);
    std::vector<std::pair<const char*, Scan>> scans = {{"scalar", &scan_scalar},
                                                       {"avx2", &scan_avx2},
                                                       {"emulated avx512", &emulated::scan_avx512},
                                                       {"dispatch", &scan}};
    if (use_avx512_scanner()) scans.emplace_back("avx512", &scan_avx512);
    std::vector<StructuralIndex> indexes(scans.size());
    Fuzzer fuzz(0x5CA4'D1FF);
    GuardedArena arena(24, "\"");  // an over-read records quotes
    for_each_input(
        fuzz, arena, 320, kInteresting, true,
        [&](std::string_view in, const uint8_t* at, auto where) {
            // now and then the 64-bit offsets start just below, at or above the length
            const uint64_t wide_from = fuzz.below(4)
                                           ? kWideOffsetsFrom
                                           : std::max<size_t>(in.size(), 1) - 1 + fuzz.below(3);
            std::vector<uint64_t> want;
            for (size_t i = 0; i < in.size(); ++i)
                if (in[i] == '"') want.push_back(i);
            for (size_t v = 0; v < scans.size(); ++v) {
                StructuralIndex& index = indexes[v];
                index.reset(in.size(), wide_from);
                scans[v].second({reinterpret_cast<const char*>(at), in.size()}, index);
                std::vector<uint64_t> got(index.size());
                for (size_t i = 0; i < got.size(); ++i) got[i] = index[i];
                ASSERT_EQ(std::pair(index.wide(), got), std::pair(in.size() >= wide_from, want))
                    << scans[v].first << ", 64-bit from " << wide_from << ", " << where();
            }
        });
}

// What write_escaped_units appends: `"` and `\` after a backslash, controls as a short escape or
// \u00XX, other units as they are; it stops at a surrogate.
std::pair<bool, std::vector<uint32_t>> expected_units(const std::vector<uint32_t>& in) {
    std::vector<uint32_t> out;
    for (uint32_t c : in) {
        const char* named =
            c && c < 0x20 ? std::strchr("\bb\tt\nn\ff\rr", static_cast<int>(c)) : nullptr;
        char hex[8];
        if (c >= 0xD800 && c <= 0xDFFF) return {false, out};
        if (c == '"' || c == '\\')
            out.insert(out.end(), {'\\', c});
        else if (c >= 0x20)
            out.push_back(c);
        else if (named)
            out.insert(out.end(), {'\\', static_cast<uint32_t>(named[1])});
        else
            out.insert(out.end(), hex, hex + std::snprintf(hex, sizeof hex, "\\u%04x", c));
    }
    return {true, out};
}

// kInteresting as units; wider, units by the surrogates and with an escaped byte in one byte.
std::vector<uint32_t> unit_pool(unsigned kind) {
    std::vector<uint32_t> p(kInteresting.begin(), kInteresting.end());
    for (uint32_t& u : p) u &= 0xFF;
    if (kind >= 2)
        p.insert(p.end(), {0x2200, 0x5C22, 0x225C, 0x0A0A, 0x1F00, 0x0100, 0x20AC, 0xD7FF, 0xE000,
                           0xF800, 0xFFFF, 0x5CD8});
    if (kind == 4)
        p.insert(p.end(),
                 {0x10000, 0x1F600, 0x10FFFF, 0x1D800, 0x1DFFF, 0x10022, 0x1005C, 0x2000A});
    return p;
}

// Every unit kind into every width as wide (bytes into bytes: the vector byte escaper), at every
// aligned placement, at most one surrogate. All into one growing buffer per kind and width (widened
// from 40 bytes already in it), so that texts end at every distance from its capacity: a block
// stored past the text must stay in the reservation (the sanitizer build sees any store beyond it).
TEST(SimdDifferential, UnitEscaperMatchesLoop) {
    Fuzzer fuzz(0x0C0D'E5E7);
    // Units past the text read as a plain unit first, then a quote or NULs: a block loaded past
    // the text must be cut at its end, not at the first unit there to escape.
    GuardedArena arena(2, "x\0\0\0\"\0\0\0"sv);
    for (unsigned kind : {1u, 2u, 4u}) {
        const std::vector<uint32_t> pool = unit_pool(kind);
        for (unsigned width = kind; width <= 4; width *= 2) {
            OutputBuffer out;
            out.fill('<', 40);  // widened with the text it holds
            out.widen(width);
            ASSERT_EQ(units_of(out.bytes(), out.size(), width), std::vector<uint32_t>(40, '<'));
            for (size_t length = 0; length <= 130; ++length)
                for (size_t align = 0; align < 64; align += kind)
                    for (Edge edge : {Edge::head, Edge::tail}) {
                        std::vector<uint32_t> in(length);
                        const uint64_t density = fuzz.below(5);  // in quarters
                        for (uint32_t& u : in)
                            u = fuzz.below(4) < density
                                    ? pool[fuzz.below(pool.size())]
                                    : 'a' + static_cast<uint32_t>(fuzz.below(26));
                        if (kind > 1 && length && fuzz.below(4) == 0)
                            in[fuzz.below(length)] =
                                0xD800 + static_cast<uint32_t>(fuzz.below(0x800));
                        const size_t before = out.size();
                        std::vector<uint8_t> units(length * kind);  // little-endian
                        for (size_t i = 0; i < length; ++i)
                            std::memcpy(&units[i * kind], &in[i], kind);
                        const bool ok = write_escaped_units(
                            arena.place(units.data(), units.size(), align, edge), kind, length,
                            out);
                        ASSERT_EQ(std::pair(ok, units_of(out.bytes() + before * width,
                                                         out.size() - before, width)),
                                  expected_units(in))
                            << "kind " << kind << " into width " << width << " at " << align
                            << (edge == Edge::head ? " after" : " before")
                            << " a guard page: " << testing::PrintToString(in);
                    }
        }
    }
}

// Filler: whitespace; `//` through LF, CR or CR LF; `/*` through the next `*/`; a BOM at 0 only.
uint64_t skip_filler(const uint8_t* s, uint64_t n, uint64_t pos) {
    for (;;) {
        if (pos == 0 && n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
            pos = 3;
        } else if (pos < n &&
                   (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r')) {
            ++pos;
        } else if (pos + 1 < n && s[pos] == '/' && s[pos + 1] == '/') {
            for (pos += 2; pos < n && s[pos] != '\n' && s[pos] != '\r';) ++pos;
            if (pos < n) pos += s[pos] == '\r' && pos + 1 < n && s[pos + 1] == '\n' ? 2 : 1;
        } else if (pos + 1 < n && s[pos] == '/' && s[pos + 1] == '*') {
            for (pos += 2; pos + 1 < n && !(s[pos] == '*' && s[pos + 1] == '/');) ++pos;
            pos = pos + 1 < n ? pos + 2 : n;
        } else {
            return pos;
        }
    }
}

TEST(SimdDifferential, FillerSkipMatchesLoop) {
    Fuzzer fuzz(0xF111'E500);
    GuardedArena arena(2, " */\t/");  // an over-read would extend the filler
    constexpr std::string_view kFiller = "      \t\n\n\r//**/\xef\xbb\xbf\x0b\x0c\xa0 x"sv;
    for_each_input(fuzz, arena, 200, kFiller, false,
                   [&](std::string_view in, const uint8_t* at, auto where) {
                       for (int k = 0; k < 4; ++k) {
                           const uint64_t start = k == 0 ? 0 : fuzz.below(in.size() + 1);
                           uint64_t got = start;
                           skip_whitespace_simd(at, in.size(), got);
                           ASSERT_EQ(got, skip_filler(at, in.size(), start))
                               << "from " << start << ", " << where();
                       }
                   });
}

TEST(SimdDifferential, StringScansMatchLoop) {
    Fuzzer fuzz(0x57A1'4E0D);
    GuardedArena arena(2, "\"\\\x80\x01");  // an over-read changes every answer
    constexpr std::string_view kString =
        "\"\\\\\x80\xc3\xa9\xff\x7f\x1f\x00\x20\x21\x5b\x5d\xa2\xdc"sv;
    for_each_input(
        fuzz, arena, 200, kString, false, [&](std::string_view in, const uint8_t* at, auto where) {
            const uint64_t length = in.size();
            for (int k = 0; k < 3; ++k) {
                const uint64_t start = k == 0 ? 0 : fuzz.below(length + 1);
                uint64_t close = start, stop = start;
                bool backslash = false, high = false, any_backslash = false, all_ascii = true;
                for (; close < length && at[close] != '"'; ++close)
                    backslash |= at[close] == '\\', high |= at[close] >= 0x80;
                while (stop < length && at[stop] != '"' && at[stop] != '\\' && at[stop] >= 0x20)
                    ++stop;
                for (uint64_t i = start; i < length; ++i)
                    any_backslash |= at[i] == '\\', all_ascii &= at[i] < 0x80;

                const StringEnd end = find_string_end_avx2(at, length, start);
                ASSERT_EQ(std::tuple(end.close, end.backslash, end.ascii,
                                     find_escape_stop_avx2(at, length, start)),
                          std::tuple(close, backslash, !high, stop))
                    << "from " << start << ", " << where();
                // The bytes from `start` as a string's content; ASCII counts only without a `\`.
                for (const ContentScan scanned :
                     {scan_string_content(at + start, length - start),
                      scan_string_content_avx2(at + start, length - start)})
                    ASSERT_EQ(std::pair(scanned.backslash, scanned.ascii || any_backslash),
                              std::pair(any_backslash, all_ascii || any_backslash))
                        << "from " << start << ", " << where();
            }
        });
}

// Texts at each distance from an inaccessible page around where a block still fits: a copy
// reports 1 and holds the text, 0 where a byte stops it, -1 (or false) where it would cross.
TEST(SimdDifferential, BlockCopiesMatchLoopNearPageEnd) {
    // Stops for one copy or another, and bytes next to the identifier classes.
    constexpr std::string_view kShort =
        "\"\\\x00\x1f\x7f\x80\xff,;|]\t /@[`{:_$-09AZaz\xc1\xda\xe1\xfa"sv;
    const auto bare = [](uint8_t c) { return c >= 0x20 && c != 0x7F && !std::strchr(",;|]\\", c); };
    const auto identifier = [](uint8_t c) {
        return std::isalnum(c) || c == '_' || c == '$' || c == '-';
    };
    const auto clean = [](uint8_t c) { return c >= 0x20 && c != '"' && c != '\\'; };
    Fuzzer fuzz(0x5B10'C4E5);
    GuardedArena arena(2, "\",;\\\x01");  // an over-read that leaked into a result would stop it
    for (size_t length = 0; length < 160; ++length)
        for (size_t distance = std::max<size_t>(length, 1); distance <= length + 72; ++distance)
            for (int k = 0; k < 3; ++k) {
                const std::string text = fuzz.bytes(length, kShort);
                const uint8_t* at = arena.place_at(text.data(), length, arena.size() - distance);
                const auto all = [&](auto pred) { return std::all_of(at, at + length, pred); };
                const std::string where = testing::PrintToString(text) + ", " +
                                          std::to_string(distance) + " bytes before a guard page";
                uint8_t out[160];
                // Reports `want` and, where it copied, holds the text.
                const auto check = [&](int got, int want, const char* name) {
                    const std::string held = want == 1 ? std::string(out, out + length) : text;
                    ASSERT_EQ(std::pair(got, held), std::pair(want, text)) << name << ", " << where;
                };
                const bool fits_clean = length >= 32 || distance >= (length < 16 ? 16 : 32);
                ASSERT_NO_FATAL_FAILURE(
                    check(copy_clean_avx2(at, length, out), fits_clean && all(clean), "clean"));
                if (length >= 32) {  // blocks that lie within the text: always decided
                    ASSERT_NO_FATAL_FAILURE(
                        check(copy_long_if_bare(at, length, out), all(bare), "long bare"));
                    continue;
                }
                const bool fit = distance >= 32;
                std::memset(out, 0xA5, sizeof out);  // a declined copy writes nothing
                ASSERT_NO_FATAL_FAILURE(check(copy_short(at, out), fit, "short"));
                ASSERT_TRUE(fit || std::all_of(out, out + 32, [](uint8_t b) { return b == 0xA5; }))
                    << where;
                ASSERT_NO_FATAL_FAILURE(
                    check(copy_short_if_bare(at, length, out), fit ? all(bare) : -1, "bare"));
                if (length == 0) continue;  // an identifier has a first byte
                const bool opens = std::isalpha(at[0]) || at[0] == '_' || at[0] == '$';
                ASSERT_NO_FATAL_FAILURE(check(copy_short_if_identifier(at, length, out),
                                              fit ? opens && all(identifier) : -1, "identifier"));
            }
}

constexpr uint32_t kOsxsave = 1u << 27;                                         // leaf 1 ECX
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kAvx512bw = 1u << 30;  // leaf 7 EBX
constexpr uint32_t kAll = kAvx2 | kAvx512f | kAvx512bw;
constexpr uint64_t kYmm = 0x6, kZmm = 0xE0;  // XCR0: XMM|YMM; opmask|ZMM_Hi256|Hi16_ZMM

// A feature counts only where the processor has it and the OS saves its
// registers; the vector level is AVX-512 only with both F and BW.
TEST(CpuFeatures, DerivedFromRegisters) {
    using Flags = std::tuple<bool, bool, bool, std::string>;
    for (const auto& [regs, want] : std::vector<std::pair<CpuidRegisters, Flags>>{
             {{kOsxsave, kAll, kYmm | kZmm}, {true, true, true, "AVX-512"}},
             {{kOsxsave, kAvx2, kYmm | kZmm}, {true, false, false, "AVX2"}},
             {{kOsxsave, kAvx2 | kAvx512f, kYmm | kZmm}, {true, true, false, "AVX2"}},
             {{kOsxsave, kAvx2 | kAvx512bw, kYmm | kZmm}, {true, false, true, "AVX2"}},
             {{kOsxsave, kAll, kYmm}, {true, false, false, "AVX2"}},         // no ZMM state
             {{kOsxsave, kAll, kYmm | 0x20}, {true, false, false, "AVX2"}},  // part of it
             {{kOsxsave, kAll, 0x2 | kZmm}, {false, false, false, "AVX2"}},  // no YMM state
             {{0, kAll, kYmm | kZmm}, {false, false, false, "AVX2"}},
             {{kOsxsave, 0, kYmm | kZmm}, {false, false, false, "AVX2"}}}) {
        const CpuFeatures f = derive_cpu_features(regs);
        EXPECT_EQ(Flags(f.avx2, f.avx512f, f.avx512bw, simd_level_name(f)), want)
            << std::hex << regs.leaf1_ecx << " " << regs.leaf7_ebx << " " << regs.xcr0;
    }
}

}  // namespace
}  // namespace vesk
