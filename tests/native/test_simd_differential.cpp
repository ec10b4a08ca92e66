// Seeded differential fuzzing of the vector kernels. Random bytes, biased
// towards the bytes the kernels look for and their one-bit neighbours, of
// every length up to a few hundred (and some long ones), are placed at every
// alignment against an inaccessible page on either side, so that a read
// outside the input faults. The scanner and byte escaper variants must match
// their scalar variant, which must match a plain loop written here; the
// kernels with no scalar variant (code-unit escaper, filler, string scans,
// short-block copies) are held to such loops alone.
//
// Every failure names the test's seed, the case number and the input, so
// the case can be rebuilt on its own.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

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

// The block copy compiled for AVX2, like the writer it is forced inline into.
VESK_TARGET_AVX2 bool copy_clean_avx2(const uint8_t* text, size_t length, uint8_t* out) {
    return copy_short_clean(text, length, out);
}

using namespace std::literals;

constexpr size_t kPage = 4096;  // the granule within_page() assumes
constexpr size_t kShortMax = 320;

// Where an input sits in a GuardedArena: starting `align` bytes after the
// leading guard page, or ending less than 64 bytes before the trailing one
// with its start at `align` modulo 64 (for each length, one alignment puts
// its last byte right before the guard).
enum class Edge { head, tail };

const char* edge_name(Edge e) {
    return e == Edge::head ? "after a guard page" : "before a guard page";
}

// Readable pages between two inaccessible ones. Every byte around the
// current input holds the repeating `poison` pattern, chosen per kernel so
// that a stray read near the input changes its result; reads further out
// fault.
class GuardedArena {
  public:
    GuardedArena(size_t pages, std::string_view poison) : usable_(pages * kPage), poison_(poison) {
        void* base =
            mmap(nullptr, usable_ + 2 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t*>(base);
        if (mprotect(base_ + kPage, usable_, PROT_READ | PROT_WRITE) != 0) std::abort();
        repoison(0, usable_);
    }
    GuardedArena(const GuardedArena&) = delete;
    GuardedArena& operator=(const GuardedArena&) = delete;
    ~GuardedArena() { munmap(base_, usable_ + 2 * kPage); }

    size_t usable() const { return usable_; }

    // Copies `bytes` bytes to `offset` bytes past the leading guard, after
    // the previous input has been poisoned over again.
    const uint8_t* place_at(const void* bytes, size_t size, size_t offset) {
        if (offset + size > usable_) std::abort();
        repoison(last_offset_, last_size_);
        last_offset_ = offset;
        last_size_ = size;
        if (size) std::memcpy(start() + offset, bytes, size);
        return start() + offset;
    }

    template <class Unit>
    const Unit* place(const Unit* units, size_t count, size_t align, Edge edge) {
        const size_t size = count * sizeof(Unit);
        const size_t offset =
            edge == Edge::head ? align : usable_ - size - ((0 - size - align) & 63);
        return reinterpret_cast<const Unit*>(place_at(units, size, offset));
    }

  private:
    uint8_t* start() const { return base_ + kPage; }
    void repoison(size_t offset, size_t size) {
        for (size_t i = offset; i < offset + size; ++i)
            start()[i] = static_cast<uint8_t>(poison_[i % poison_.size()]);
    }

    uint8_t* base_;
    size_t usable_;
    std::string poison_;
    size_t last_offset_ = 0;
    size_t last_size_ = 0;
};

// Random inputs of a chosen length: plain letters with the bytes of
// `special` (or, now and then, any byte) mixed in at a density picked per
// input, from none to all, and sometimes runs of one byte long enough to
// fill whole blocks.
class Fuzzer {
  public:
    explicit Fuzzer(uint64_t seed) : rng_(seed) {}

    uint64_t below(uint64_t n) { return rng_() % n; }

    std::string bytes(size_t length, std::string_view special) {
        static constexpr unsigned kDensity[] = {0, 1, 4, 16, 40, 64};  // in 64ths
        const unsigned density = kDensity[below(std::size(kDensity))];
        std::string s(length, '\0');
        for (size_t i = 0; i < length;) {
            const char c = pick(density, special);
            const size_t run = below(32) == 0 ? 1 + below(100) : 1;
            for (size_t end = std::min(length, i + run); i < end; ++i) s[i] = c;
        }
        return s;
    }

  private:
    char pick(unsigned density, std::string_view special) {
        if (below(64) >= density) return static_cast<char>('a' + below(26));
        if (below(4) == 0) return static_cast<char>(below(256));
        return special[below(special.size())];
    }

    std::mt19937_64 rng_;
};

// Quotes, backslashes, control characters, DEL, bytes from 0x80 (with
// 0xA2 and 0xDC, a quote and a backslash with the top bit set), the byte
// order mark's bytes, whitespace, `/`, `*`, and neighbours of each.
constexpr std::string_view kInteresting =
    "\"\"\"\\\\\\\x00\x01\x08\t\n\x0c\r\x1b\x1f\x20\x21\x23\x7f\x80\xa2\xdc\xbb\xbf\xef\xff"
    "  //**\x5b\x5d\x5d\x60\x2e"sv;

// "seed 0x..., case N", the seed as the test writes it.
std::string seed_and_case(uint64_t seed, size_t n) {
    char hex[24];
    std::snprintf(hex, sizeof hex, "%#llx", static_cast<unsigned long long>(seed));
    return "seed " + std::string(hex) + ", case " + std::to_string(n);
}

std::string described(uint64_t seed, size_t n, std::string_view input, size_t align, Edge edge) {
    return seed_and_case(seed, n) + ": " + std::to_string(input.size()) + " bytes at alignment " +
           std::to_string(align) + " " + edge_name(edge) + ": " +
           testing::PrintToString(std::string(input));
}

// Every input length up to `max_length` at each of 64 alignments, against
// both edges: `check(length, align, edge)` for each, until one fails.
template <class Check>
void for_each_placement(size_t max_length, Check check) {
    for (size_t length = 0; length <= max_length; ++length)
        for (size_t align = 0; align < 64; ++align)
            for (Edge edge : {Edge::head, Edge::tail}) {
                check(length, align, edge);
                if (testing::Test::HasFatalFailure()) return;
            }
}

// Inputs of interesting bytes: one of every length up to kShortMax at each
// placement, then sixty long ones, two of them past 64 KiB, at random
// alignments against alternating edges. `check(input, align, edge)` for
// each, until one fails.
template <class Check>
void for_each_input(Fuzzer& fuzz, Check check) {
    for_each_placement(kShortMax, [&](size_t length, size_t align, Edge edge) {
        check(fuzz.bytes(length, kInteresting), align, edge);
    });
    if (testing::Test::HasFatalFailure()) return;
    for (int i = 0; i < 60; ++i) {
        const size_t length = i < 2 ? 70000 + fuzz.below(10000) : kShortMax + fuzz.below(20000);
        const std::string in = fuzz.bytes(length, kInteresting);
        const size_t align = fuzz.below(64);
        check(in, align, i % 2 ? Edge::head : Edge::tail);
        if (testing::Test::HasFatalFailure()) return;
    }
}

// ----------------------------------------------------------------------------
// Structural scanners

std::vector<uint64_t> oracle_quotes(std::string_view in) {
    std::vector<uint64_t> out;
    for (size_t i = 0; i < in.size(); ++i)
        if (in[i] == '"') out.push_back(i);
    return out;
}

std::vector<uint64_t> offsets(const StructuralIndex& index) {
    std::vector<uint64_t> out(index.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = index[i];
    return out;
}

// A kernel variant under test, named in failures.
template <class Fn>
struct Variant {
    const char* name;
    Fn fn;
};

using ScanVariant = Variant<void (*)(std::string_view, StructuralIndex&)>;

std::vector<ScanVariant> vector_scanners() {
    std::vector<ScanVariant> v = {
        {"avx2", &scan_avx2}, {"emulated_avx512", &emulated::scan_avx512}, {"dispatch", &scan}};
    if (use_avx512_scanner()) v.push_back({"avx512", &scan_avx512});
    return v;
}

class ScanChecker {
  public:
    // Scans `in` with every variant, each into its own index last used for
    // an earlier input; offsets are 64-bit from `wide_from` bytes of input.
    void check(uint64_t seed, size_t n, std::string_view in, size_t align, Edge edge,
               uint64_t wide_from) {
        const uint8_t* at =
            arena_.place(reinterpret_cast<const uint8_t*>(in.data()), in.size(), align, edge);
        const std::string_view placed(reinterpret_cast<const char*>(at), in.size());
        const bool wide = in.size() >= wide_from;
        scalar_.reset(in.size(), wide_from);
        scan_scalar(placed, scalar_);
        const std::vector<uint64_t> want = offsets(scalar_);
        ASSERT_EQ(want, oracle_quotes(in)) << "scalar, " << described(seed, n, in, align, edge);
        for (size_t v = 0; v < variants_.size(); ++v) {
            indexes_[v].reset(in.size(), wide_from);
            variants_[v].fn(placed, indexes_[v]);
            ASSERT_EQ(indexes_[v].wide(), wide) << in.size() << " bytes, 64-bit from " << wide_from;
            ASSERT_EQ(offsets(indexes_[v]), want)
                << variants_[v].name << (wide ? " (64-bit)" : "") << " differs from scalar, "
                << described(seed, n, in, align, edge);
        }
    }

  private:
    GuardedArena arena_{24, "\""};  // an over-read records quotes
    std::vector<ScanVariant> variants_ = vector_scanners();
    std::vector<StructuralIndex> indexes_ = std::vector<StructuralIndex>(variants_.size());
    StructuralIndex scalar_;
};

TEST(SimdDifferential, ScannersAgreeOnEveryLengthAndAlignment) {
    constexpr uint64_t kSeed = 0x5CA4'D1FF;
    Fuzzer fuzz(kSeed);
    ScanChecker checker;
    size_t n = 0;
    for_each_input(fuzz, [&](const std::string& in, size_t align, Edge edge) {
        // now and then the 64-bit offsets start just below, at or above the length
        const uint64_t wide_from =
            fuzz.below(4) ? kWideOffsetsFrom : std::max<size_t>(in.size(), 1) - 1 + fuzz.below(3);
        checker.check(kSeed, n++, in, align, edge, wide_from);
    });
}

// ----------------------------------------------------------------------------
// Byte escapers

void oracle_escape_into(std::string& out, uint32_t c) {
    if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
    } else if (c >= 0x20) {
        out += static_cast<char>(c);  // the caller widens units above 0xFF itself
    } else if (const char* named = std::strchr("\bb\tt\nn\ff\rr", static_cast<int>(c));
               named && c != 0) {
        out += '\\';
        out += named[1];
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04x", c);
        out += hex;
    }
}

std::string oracle_escape(std::string_view in) {
    std::string out;
    for (unsigned char c : in) oracle_escape_into(out, c);
    return out;
}

using EscapeFn = void (*)(const uint8_t*, size_t, OutputBuffer&);
using EscapeVariant = Variant<EscapeFn>;

std::vector<EscapeVariant> vector_escapers() {
    return {{"avx2", &write_escaped_str_avx2}, {"dispatch", &write_escaped_str}};
}

class EscapeChecker {
  public:
    // Escapes `in` with every variant after `prefix` bytes already in the
    // output (so output blocks land at every offset too), each into its own
    // buffer, whose stale bytes from earlier inputs show if a variant keeps
    // bytes it never wrote.
    void check(uint64_t seed, size_t n, std::string_view in, size_t align, Edge edge,
               size_t prefix) {
        const uint8_t* at =
            arena_.place(reinterpret_cast<const uint8_t*>(in.data()), in.size(), align, edge);
        const std::string want = run(write_escaped_str_scalar, at, in.size(), prefix, scalar_);
        ASSERT_EQ(want, std::string(prefix, '<') + oracle_escape(in))
            << "scalar, " << described(seed, n, in, align, edge);
        for (size_t v = 0; v < variants_.size(); ++v)
            ASSERT_EQ(run(variants_[v].fn, at, in.size(), prefix, buffers_[v]), want)
                << variants_[v].name << " differs from scalar after " << prefix
                << " bytes of output, " << described(seed, n, in, align, edge);
    }

  private:
    static std::string run(EscapeFn fn, const uint8_t* text, size_t length, size_t prefix,
                           OutputBuffer& out) {
        out.clear();
        out.fill('<', prefix);
        fn(text, length, out);
        return {reinterpret_cast<const char*>(out.bytes()), out.size()};
    }

    GuardedArena arena_{24, "\"\n"};  // an over-read would escape them
    std::vector<EscapeVariant> variants_ = vector_escapers();
    std::vector<OutputBuffer> buffers_ = std::vector<OutputBuffer>(variants_.size());
    OutputBuffer scalar_;
};

TEST(SimdDifferential, ByteEscapersAgreeOnEveryLengthAndAlignment) {
    constexpr uint64_t kSeed = 0xE5CA'9E00;
    Fuzzer fuzz(kSeed);
    EscapeChecker checker;
    size_t n = 0;
    for_each_input(fuzz, [&](const std::string& in, size_t align, Edge edge) {
        checker.check(kSeed, n++, in, align, edge, fuzz.below(70));
    });
}

// ----------------------------------------------------------------------------
// Code-unit escaper: every unit kind into every buffer width at least as
// wide, units placed at every unit-aligned offset.

struct UnitsOutcome {
    bool ok;
    std::vector<uint32_t> units;
    bool operator==(const UnitsOutcome&) const = default;
};

void PrintTo(const UnitsOutcome& o, std::ostream* os) {
    *os << (o.ok ? "ok" : "stopped") << " after " << testing::PrintToString(o.units);
}

bool is_surrogate_unit(uint32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

UnitsOutcome oracle_units(const std::vector<uint32_t>& in, size_t prefix) {
    UnitsOutcome r{true, std::vector<uint32_t>(prefix, '<')};
    for (uint32_t c : in) {
        if (is_surrogate_unit(c)) {
            r.ok = false;
            break;
        }
        if (c > 0xFF) {
            r.units.push_back(c);
            continue;
        }
        std::string e;
        oracle_escape_into(e, c);
        for (char b : e) r.units.push_back(static_cast<uint8_t>(b));
    }
    return r;
}

std::vector<uint32_t> read_units(const OutputBuffer& out) {
    std::vector<uint32_t> units(out.size());
    for (size_t i = 0; i < units.size(); ++i) {
        switch (out.width()) {
            case 1:
                units[i] = out.bytes()[i];
                break;
            case 2:
                units[i] = reinterpret_cast<const uint16_t*>(out.bytes())[i];
                break;
            default:
                units[i] = reinterpret_cast<const uint32_t*>(out.bytes())[i];
                break;
        }
    }
    return units;
}

// The bytes above as units, then units next to the surrogate range and
// units that hold an escaped or surrogate value in one of their bytes only
// (a test of too few bytes mistakes them). Surrogates themselves are put in
// by the test, one at most per input, so that most inputs run to the end.
std::vector<uint32_t> unit_pool(unsigned kind) {
    std::vector<uint32_t> p;
    for (unsigned char c : kInteresting) p.push_back(c);
    if (kind >= 2)
        p.insert(p.end(), {0x2200, 0x5C22, 0x225C, 0x0A0A, 0x1F00, 0x0100, 0x20AC, 0xD7FF, 0xE000,
                           0xF800, 0xFFFF, 0x5CD8});
    if (kind == 4)
        p.insert(p.end(),
                 {0x10000, 0x1F600, 0x10FFFF, 0x1D800, 0x1DFFF, 0x10022, 0x1005C, 0x2000A});
    return p;
}

struct UnitsCase {
    std::vector<uint32_t> in;
    unsigned kind, width;
    size_t align;
    Edge edge;
    size_t prefix;  // units already in the buffer
};

template <class Unit>
bool escape_placed(GuardedArena& arena, const UnitsCase& c, OutputBuffer& out) {
    const std::vector<Unit> units(c.in.begin(), c.in.end());
    return write_escaped_units(arena.place(units.data(), units.size(), c.align, c.edge), c.kind,
                               units.size(), out);
}

void check_units(uint64_t seed, size_t n, GuardedArena& arena, const UnitsCase& c,
                 OutputBuffer& out) {
    out.clear();
    out.fill('<', c.prefix);
    out.widen(c.width);
    const bool ok = c.kind == 1   ? escape_placed<uint8_t>(arena, c, out)
                    : c.kind == 2 ? escape_placed<uint16_t>(arena, c, out)
                                  : escape_placed<uint32_t>(arena, c, out);
    ASSERT_EQ(out.width(), c.width);
    ASSERT_EQ((UnitsOutcome{ok, read_units(out)}), oracle_units(c.in, c.prefix))
        << seed_and_case(seed, n) << ": " << c.in.size() << " units of " << c.kind
        << " bytes into width " << c.width << " at alignment " << c.align << " "
        << edge_name(c.edge) << " after " << c.prefix << " units: " << testing::PrintToString(c.in);
}

TEST(SimdDifferential, UnitEscaperMatchesLoopOnEveryLengthAndAlignment) {
    constexpr uint64_t kSeed = 0x0C0D'E5E7;
    Fuzzer fuzz(kSeed);
    GuardedArena arena(2, "\"\0\0\0"sv);  // a quote, or NULs, as units of any kind
    OutputBuffer out;
    size_t n = 0;
    for (unsigned kind : {1u, 2u, 4u}) {
        const std::vector<uint32_t> pool = unit_pool(kind);
        for (unsigned width = kind; width <= 4; width *= 2)
            for (size_t length = 0; length <= 130; ++length)
                for (size_t align = 0; align < 64; align += kind)
                    for (Edge edge : {Edge::head, Edge::tail}) {
                        UnitsCase c{std::vector<uint32_t>(length), kind, width, align, edge, 0};
                        const uint64_t density = fuzz.below(5);  // in quarters
                        for (uint32_t& u : c.in) {
                            u = fuzz.below(4) < density
                                    ? pool[fuzz.below(pool.size())]
                                    : 'a' + static_cast<uint32_t>(fuzz.below(26));
                            if (is_surrogate_unit(u)) u = 0xE9;  // at most one, placed below
                        }
                        if (kind > 1 && length && fuzz.below(4) == 0)
                            c.in[fuzz.below(length)] =
                                0xD800 + static_cast<uint32_t>(fuzz.below(0x800));
                        c.prefix = fuzz.below(40);
                        ASSERT_NO_FATAL_FAILURE(check_units(kSeed, n++, arena, c, out));
                    }
    }
}

// Many short texts into one buffer, so that they end at every distance from
// its capacity as it grows: a block stored past the text must stay within
// the reservation (the sanitizer build sees any store beyond the buffer).
template <class Unit>
void fill_one_buffer(Fuzzer& fuzz, unsigned width) {
    const std::vector<uint32_t> pool = unit_pool(sizeof(Unit));
    OutputBuffer out;
    out.widen(width);
    std::vector<uint32_t> all;
    for (int n = 0; n < 4000; ++n) {
        std::vector<uint32_t> in(1 + fuzz.below(40));
        for (uint32_t& u : in) u = pool[fuzz.below(pool.size())];
        const std::vector<Unit> units(in.begin(), in.end());
        ASSERT_TRUE(write_escaped_units(units.data(), sizeof(Unit), units.size(), out));
        const std::vector<uint32_t> want = oracle_units(in, 0).units;
        all.insert(all.end(), want.begin(), want.end());
    }
    ASSERT_EQ(read_units(out), all) << "kind " << sizeof(Unit) << " width " << width;
}

TEST(SimdDifferential, ManyShortTextsFillOneBuffer) {
    Fuzzer fuzz(0xF111);
    for (unsigned width : {1u, 2u, 4u}) fill_one_buffer<uint8_t>(fuzz, width);
    for (unsigned width : {2u, 4u}) fill_one_buffer<uint16_t>(fuzz, width);
    fill_one_buffer<uint32_t>(fuzz, 4);
}

// ----------------------------------------------------------------------------
// Filler skipping

bool oracle_is_space(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A state machine over the filler grammar: whitespace; `//` up to and
// through LF, CR or CR LF; `/*` up to and through the first `*/` that
// begins after the opener; a byte order mark only at offset 0.
uint64_t oracle_skip(const uint8_t* s, uint64_t n, uint64_t pos) {
    for (;;) {
        if (pos == 0 && n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
            pos = 3;
        } else if (pos < n && oracle_is_space(s[pos])) {
            ++pos;
        } else if (pos + 1 < n && s[pos] == '/' && s[pos + 1] == '/') {
            pos += 2;
            while (pos < n && s[pos] != '\n' && s[pos] != '\r') ++pos;
            if (pos < n) pos += s[pos] == '\r' && pos + 1 < n && s[pos + 1] == '\n' ? 2 : 1;
        } else if (pos + 1 < n && s[pos] == '/' && s[pos + 1] == '*') {
            pos += 2;
            while (pos + 1 < n && !(s[pos] == '*' && s[pos + 1] == '/')) ++pos;
            pos = pos + 1 < n ? pos + 2 : n;
        } else {
            return pos;
        }
    }
}

TEST(SimdDifferential, FillerSkipMatchesLoopOnEveryLengthAndAlignment) {
    constexpr uint64_t kSeed = 0xF111'E500;
    static constexpr std::string_view kFiller = "      \t\n\n\r//**/\xef\xbb\xbf\x0b\x0c\xa0 x"sv;
    Fuzzer fuzz(kSeed);
    GuardedArena arena(2, " */\t/");  // an over-read would extend the filler
    size_t n = 0;
    for_each_placement(200, [&](size_t length, size_t align, Edge edge) {
        std::string in = fuzz.bytes(length, kFiller);
        if (length >= 3 && fuzz.below(8) == 0) in.replace(0, 3, "\xef\xbb\xbf");
        const uint8_t* at =
            arena.place(reinterpret_cast<const uint8_t*>(in.data()), length, align, edge);
        for (int k = 0; k < 4; ++k) {
            const uint64_t start = k == 0 ? 0 : fuzz.below(length + 1);
            uint64_t got = start;
            skip_whitespace_simd(at, length, got);
            ASSERT_EQ(got, oracle_skip(at, length, start))
                << "from " << start << ", " << described(kSeed, n, in, align, edge);
        }
        ++n;
    });
}

// ----------------------------------------------------------------------------
// String scans

TEST(SimdDifferential, StringScansMatchLoopOnEveryLengthAndAlignment) {
    constexpr uint64_t kSeed = 0x57A1'4E0D;
    static constexpr std::string_view kString =
        "\"\\\\\x80\xc3\xa9\xff\x7f\x1f\x00\x20\x21\x5b\x5d\xa2\xdc"sv;
    Fuzzer fuzz(kSeed);
    GuardedArena arena(2, "\"\\\x80\x01");  // an over-read changes every answer
    size_t n = 0;
    for_each_placement(200, [&](size_t length, size_t align, Edge edge) {
        const std::string in = fuzz.bytes(length, kString);
        const uint8_t* at =
            arena.place(reinterpret_cast<const uint8_t*>(in.data()), length, align, edge);
        for (int k = 0; k < 3; ++k) {
            const uint64_t start = k == 0 ? 0 : fuzz.below(length + 1);
            const auto where = [&] {
                return "from " + std::to_string(start) + ", " +
                       described(kSeed, n, in, align, edge);
            };
            uint64_t close = start, stop = start;
            bool backslash = false, high = false;
            while (close < length && at[close] != '"') {
                backslash = backslash || at[close] == '\\';
                high = high || at[close] >= 0x80;
                ++close;
            }
            while (stop < length && at[stop] != '"' && at[stop] != '\\' && at[stop] >= 0x20)
                ++stop;
            bool any_backslash = false, all_ascii = true;
            for (uint64_t i = start; i < length; ++i) {
                any_backslash = any_backslash || at[i] == '\\';
                all_ascii = all_ascii && at[i] < 0x80;
            }

            const StringEnd end = find_string_end_avx2(at, length, start);
            ASSERT_EQ(end.close, close) << where();
            ASSERT_EQ(end.backslash, backslash) << where();
            ASSERT_EQ(end.ascii, !high) << where();
            ASSERT_EQ(find_escape_stop_avx2(at, length, start), stop) << where();
            // The content scans take the bytes from `start` as a whole string's content;
            // what they say of ASCII counts only without a backslash.
            for (const ContentScan scanned :
                 {scan_string_content(at + start, length - start),
                  scan_string_content_avx2(at + start, length - start)}) {
                ASSERT_EQ(scanned.backslash, any_backslash) << where();
                if (!any_backslash) {
                    ASSERT_EQ(scanned.ascii, all_ascii) << where();
                }
            }
        }
        ++n;
    });
}

// ----------------------------------------------------------------------------
// Short-block copies: random texts shorter than a block or two, with their
// start at each distance from the end of a page that borders an
// inaccessible one, across the distances at which a whole block still fits.

bool block_fits(const void* p, size_t block) {
    return reinterpret_cast<uintptr_t>(p) % kPage + block <= kPage;
}

bool oracle_needs_escape(uint8_t c) {
    return c < 0x20 || c == '"' || c == '\\';
}
bool oracle_bare(uint8_t c) {
    return c >= 0x20 && c != 0x7F && !std::strchr(",;|]\\", c);
}
bool oracle_identifier(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '-';
}

bool copied(const uint8_t* out, std::string_view text) {
    return std::equal(text.begin(), text.end(), out,
                      [](char c, uint8_t u) { return static_cast<uint8_t>(c) == u; });
}

TEST(SimdDifferential, ShortBlockCopiesMatchLoopNearPageEnd) {
    constexpr uint64_t kSeed = 0x5B10'C4E5;
    // Stops for one copy or another, and bytes next to the identifier classes.
    static constexpr std::string_view kShort =
        "\"\\\x00\x1f\x7f\x80\xff,;|]\t /@[`{:_$-09AZaz\xc1\xda\xe1\xfa"sv;
    Fuzzer fuzz(kSeed);
    GuardedArena arena(2, "\",;\\\x01");  // an over-read that leaked into a result would stop it
    size_t n = 0;
    for (size_t length = 0; length < 64; ++length)
        for (size_t distance = std::max<size_t>(length, 1); distance <= length + 72; ++distance)
            for (int k = 0; k < 3; ++k, ++n) {
                const std::string text = fuzz.bytes(length, kShort);
                const uint8_t* at = arena.place_at(text.data(), length, arena.usable() - distance);
                const auto where = [&] {
                    return seed_and_case(kSeed, n) + ": " + std::to_string(length) +
                           " bytes starting " + std::to_string(distance) +
                           " bytes before a guard page: " + testing::PrintToString(text);
                };
                const auto all = [&](bool (*pred)(uint8_t)) {
                    return std::all_of(text.begin(), text.end(),
                                       [&](char c) { return pred(static_cast<uint8_t>(c)); });
                };
                const bool clean = !std::any_of(text.begin(), text.end(), [](char c) {
                    return oracle_needs_escape(static_cast<uint8_t>(c));
                });
                const bool fits_clean = block_fits(at, length < 16 ? 16 : length < 32 ? 32 : 64);
                uint8_t out8[64];
                // A copy reports `want` and, where it copied, holds the text.
                const auto check_copy = [&](int got, int want) {
                    ASSERT_EQ(got, want) << where();
                    if (want == 1) {
                        ASSERT_TRUE(copied(out8, text)) << where();
                    }
                };

                ASSERT_NO_FATAL_FAILURE(
                    check_copy(copy_clean_avx2(at, length, out8), fits_clean && clean));
                if (length >= 32) {  // blocks that lie within the text: always decided
                    ASSERT_NO_FATAL_FAILURE(
                        check_copy(copy_long_if_bare(at, length, out8), all(oracle_bare)));
                    continue;
                }

                const bool fits = block_fits(at, 32);
                uint8_t out[32];
                std::memset(out, 0xA5, sizeof out);
                ASSERT_EQ(copy_short(at, out), fits) << where();
                if (fits) {
                    ASSERT_TRUE(copied(out, text)) << where();
                } else {
                    ASSERT_TRUE(std::all_of(out, out + 32, [](uint8_t b) { return b == 0xA5; }))
                        << "declined but wrote, " << where();
                }

                ASSERT_NO_FATAL_FAILURE(check_copy(copy_short_if_bare(at, length, out8),
                                                   !fits ? -1 : all(oracle_bare)));
                ASSERT_NO_FATAL_FAILURE(check_copy(copy_short_if_identifier(at, length, out8),
                                                   !fits ? -1 : all(oracle_identifier)));
            }
}

}  // namespace
}  // namespace vesk
