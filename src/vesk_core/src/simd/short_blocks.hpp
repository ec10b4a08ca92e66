// Short texts moved as whole vector blocks: the writer's fast paths for
// the keys, values and table cells that make up most of its output.
//
// A text shorter than a block is loaded whole when the block stays within
// its page (so the load cannot fault); the bytes past the text are masked
// out, and the block is stored into space the caller has reserved, where
// later appends overwrite what lies past the text. Header-only so that the
// writer, built for AVX2, inlines them; every function carries its target.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/avx2_inline.hpp"

#define VESK_TARGET_AVX2 [[gnu::target("avx2,bmi,bmi2,popcnt")]]

// The block copy on the writer's hottest path (every key and short value)
// is forced inline: the compiler's own estimate leaves it a call. Callers
// are then compiled for AVX2 too. Not under AddressSanitizer, which does
// not inline a function it leaves uninstrumented into one it instruments.
#if defined(__SANITIZE_ADDRESS__)
#define VESK_HOT_COPY [[gnu::no_sanitize_address]]
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_HOT_COPY [[gnu::no_sanitize_address]]
#endif
#endif
#ifndef VESK_HOT_COPY
#define VESK_HOT_COPY [[gnu::no_sanitize_address, gnu::always_inline]]
#endif

namespace vesk {

// Whether `bytes` bytes from `p` lie within one page.
inline bool within_page(const void* p, size_t bytes = 32) {
    return (reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - bytes;
}

// The bytes the block helpers compare with, each repeated over a block.
// They are read from memory through a pointer the compiler cannot see
// through (see blocks()): as known constants GCC builds each one in
// registers wherever it is used, three to five instructions (a byte
// broadcast from a general register, or a table put together lane by
// lane) for every key, value and cell copied, where one load does, often
// folded into the instruction that uses it.
struct alignas(32) ByteBlocks {
    uint8_t control_max[32];  // 0x1F, the last control character
    uint8_t quote[32];
    uint8_t backslash[32];
    uint8_t low_nibble[32];  // 0x0F
};
inline constexpr ByteBlocks kByteBlocks = [] {
    ByteBlocks blocks{};
    for (int i = 0; i < 32; ++i) {
        blocks.control_max[i] = 0x1F;
        blocks.quote[i] = '"';
        blocks.backslash[i] = '\\';
        blocks.low_nibble[i] = 0x0F;
    }
    return blocks;
}();

// `p`, hidden from the optimiser (see ByteBlocks).
template <class T>
inline const T* opaque(const T* p) {
    asm("" : "+r"(p));
    return p;
}
inline const ByteBlocks& blocks() {
    return *opaque(&kByteBlocks);
}

VESK_TARGET_AVX2 inline __m256i block_of(const uint8_t (&bytes)[32]) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
}
VESK_TARGET_AVX2 inline __m128i half_block_of(const uint8_t (&bytes)[32]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
}

// One bit per byte of `v` that is a quote, a backslash or below 0x20.
VESK_TARGET_AVX2 inline uint32_t escape_mask_bytes(__m256i v) {
    const ByteBlocks& b = blocks();
    const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(v, block_of(b.control_max)), v);
    const __m256i quote = _mm256_cmpeq_epi8(v, block_of(b.quote));
    const __m256i backslash = _mm256_cmpeq_epi8(v, block_of(b.backslash));
    return static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(control, _mm256_or_si256(quote, backslash))));
}

// Two bits per UCS-2 unit of `v` that needs an escape (a quote, a
// backslash, below 0x20) or is a surrogate, which the caller tells apart.
VESK_TARGET_AVX2 inline uint32_t escape_mask_ucs2(__m256i v) {
    const __m256i control = _mm256_cmpeq_epi16(_mm256_min_epu16(v, _mm256_set1_epi16(0x1F)), v);
    const __m256i quote = _mm256_cmpeq_epi16(v, _mm256_set1_epi16('"'));
    const __m256i backslash = _mm256_cmpeq_epi16(v, _mm256_set1_epi16('\\'));
    const __m256i surrogate =
        _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800))),
                           _mm256_set1_epi16(static_cast<short>(0xD800)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_or_si256(_mm256_or_si256(control, surrogate), _mm256_or_si256(quote, backslash))));
}

// A UCS-2 text of at most 16 units, loaded as one block into `block`, when
// none of its units needs an escape or is a surrogate; false, with nothing
// decided, for any other, or one that sits too close to the end of a page
// to be loaded whole.
VESK_HOT_COPY VESK_TARGET_AVX2 inline bool load_clean_ucs2(const uint16_t* text, size_t length,
                                                          __m256i& block) {
    if (!within_page(text)) return false;
    block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    return !(escape_mask_ucs2(block) & static_cast<uint32_t>((uint64_t{1} << (2 * length)) - 1));
}

// Stores the 32 bytes of source units in `v` at `out`, widened to Dst.
template <class Src, class Dst>
VESK_TARGET_AVX2 inline void store_widened(__m256i v, Dst* out) {
    auto* at = reinterpret_cast<__m256i*>(out);
    const __m128i lo = _mm256_castsi256_si128(v);
    const __m128i hi = _mm256_extracti128_si256(v, 1);
    if constexpr (sizeof(Src) == sizeof(Dst)) {
        _mm256_storeu_si256(at, v);
    } else if constexpr (sizeof(Src) == 1 && sizeof(Dst) == 2) {
        _mm256_storeu_si256(at, _mm256_cvtepu8_epi16(lo));
        _mm256_storeu_si256(at + 1, _mm256_cvtepu8_epi16(hi));
    } else if constexpr (sizeof(Src) == 1) {
        _mm256_storeu_si256(at, _mm256_cvtepu8_epi32(lo));
        _mm256_storeu_si256(at + 1, _mm256_cvtepu8_epi32(_mm_srli_si128(lo, 8)));
        _mm256_storeu_si256(at + 2, _mm256_cvtepu8_epi32(hi));
        _mm256_storeu_si256(at + 3, _mm256_cvtepu8_epi32(_mm_srli_si128(hi, 8)));
    } else {
        _mm256_storeu_si256(at, _mm256_cvtepu16_epi32(lo));
        _mm256_storeu_si256(at + 1, _mm256_cvtepu16_epi32(hi));
    }
}

// Copies a text of at least 32 bytes to `out` (room for `length` bytes) in
// blocks that lie within it, the last one overlapping the one before, while
// `mask` finds none of the bytes it looks for in them: true with the whole
// text copied, false (a prefix copied) at a block holding one. Every text
// is decided, wherever it lies.
template <uint32_t (*mask)(__m256i)>
VESK_TARGET_AVX2 inline bool copy_long_unless(const uint8_t* text, size_t length, uint8_t* out) {
    const auto* in = reinterpret_cast<const __m256i_u*>(text);
    auto* to = reinterpret_cast<__m256i_u*>(out);
    // Two blocks a step, their masks tested at once; then the last one or
    // two, the final one ending with the text.
    size_t at = 0;
    for (; at + 64 <= length; at += 64) {
        const __m256i low = _mm256_loadu_si256(in + at / 32);
        const __m256i high = _mm256_loadu_si256(in + at / 32 + 1);
        if (mask(low) | mask(high)) return false;
        _mm256_storeu_si256(to + at / 32, low);
        _mm256_storeu_si256(to + at / 32 + 1, high);
    }
    if (at == length) return true;
    if (length - at > 32) {
        const __m256i low = _mm256_loadu_si256(in + at / 32);
        if (mask(low)) return false;
        _mm256_storeu_si256(to + at / 32, low);
    }
    const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i_u*>(text + length - 32));
    if (mask(last)) return false;
    _mm256_storeu_si256(reinterpret_cast<__m256i_u*>(out + length - 32), last);
    return true;
}

// Copies a text that needs no escape to `out`: under 16 bytes as one
// 16-byte block (most keys, which then cross fewer cache lines), under 32
// as one 32-byte block, under 64 as two that overlap, longer ones as
// copy_long_unless does (`out` must have room for 32 bytes, and for the
// text). False, with nothing decided, when the text needs an escape or,
// under 32 bytes, sits too close to the end of a page to be loaded whole;
// the caller then escapes it as usual.
VESK_HOT_COPY VESK_TARGET_AVX2 inline bool copy_clean(const uint8_t* text, size_t length,
                                                      uint8_t* out) {
    if (length < 16) {
        if (!within_page(text, 16)) return false;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
        const ByteBlocks& b = blocks();
        const __m128i bad =
            _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, half_block_of(b.control_max)), v),
                         _mm_or_si128(_mm_cmpeq_epi8(v, half_block_of(b.quote)),
                                      _mm_cmpeq_epi8(v, half_block_of(b.backslash))));
        if (static_cast<uint32_t>(_mm_movemask_epi8(bad)) & ((1u << length) - 1)) return false;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        return true;
    }
    if (length < 32) {
        if (!within_page(text)) return false;
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
        if (escape_mask_bytes(v) & ((1u << length) - 1)) return false;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        return true;
    }
    if (length < 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + length - 32));
        if (escape_mask_bytes(low) | escape_mask_bytes(high)) return false;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + length - 32), high);
        return true;
    }
    return copy_long_unless<escape_mask_bytes>(text, length, out);
}

// Whether the 32 bytes at `at` start with the `length` (under 32) bytes of
// `text` and then a double quote, with no quote or backslash before it:
// the short key a reader expects there, closed and free of escapes. False,
// with nothing decided, when `text` cannot be loaded whole within its page.
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 inline bool quoted_text_at(const uint8_t* at,
                                                                        const uint8_t* text,
                                                                        size_t length) {
    if (!within_page(text)) return false;
    const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i want = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    const uint32_t before = (1u << length) - 1, close = 1u << length;
    const ByteBlocks& b = blocks();
    const auto quotes =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(input, block_of(b.quote))));
    const auto backslashes = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(input, block_of(b.backslash))));
    const auto same = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(input, want)));
    return (quotes & (before | close)) == close && (backslashes & before) == 0 &&
           (same & before) == before;
}

// Copies a text shorter than 32 bytes to `out` as one 32-byte block, when
// it can be loaded whole (false otherwise, with nothing written).
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 inline bool copy_short(const uint8_t* text,
                                                                       uint8_t* out) {
    if (!within_page(text)) return false;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text)));
    return true;
}

// A set of bytes below 0x80 as two 16-entry tables: byte c is in the set
// when low[c & 15] & high[c >> 4] is not 0 (high is 0 from 8 on). One bit
// a high nibble among the members' fits any set; other assignments of the
// bits can tell subsets apart as well.
struct NibbleSet {
    uint8_t low[16];
    uint8_t high[16];
};

// low[c & 15] & high[c >> 4] for each byte c of `v`, where `low` and
// `high` hold a NibbleSet's tables in both lanes: 0 for a byte not in the
// set (or from 0x80 on).
VESK_TARGET_AVX2 inline __m256i nibble_classes(__m256i v, __m256i low, __m256i high) {
    const __m256i nibble = block_of(blocks().low_nibble);
    const __m256i by_low = _mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble));
    const __m256i by_high =
        _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    return _mm256_and_si256(by_low, by_high);
}

// One bit per byte of `v` that is in the set whose tables `low` and `high`
// hold in both lanes.
VESK_TARGET_AVX2 inline uint32_t nibble_set_mask(__m256i v, __m256i low, __m256i high) {
    const __m256i miss = _mm256_cmpeq_epi8(nibble_classes(v, low, high), _mm256_setzero_si256());
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(miss));
}

// The NibbleSet of the bytes for which `member` holds, one bit a high
// nibble among the members'. A member from 0x80 on fails the build: the
// tables cannot hold it.
template <class Member>
constexpr NibbleSet make_nibble_set(Member member) {
    NibbleSet set{};
    uint8_t next_bit = 1;
    for (int high = 0; high < 16; ++high) {
        bool any = false;
        for (int low = 0; low < 16; ++low)
            any = any || member(static_cast<uint8_t>(high * 16 + low));
        if (!any) continue;
        if (high >= 8) throw "a nibble set holds bytes below 0x80 only";
        set.high[high] = next_bit;
        for (int low = 0; low < 16; ++low)
            if (member(static_cast<uint8_t>(high * 16 + low))) set.low[low] |= next_bit;
        next_bit = static_cast<uint8_t>(next_bit << 1);
    }
    return set;
}

// The bytes that bare grid text may not hold: control characters, DEL,
// and , ; | ] \\.
inline constexpr NibbleSet kNotBareNibbles = make_nibble_set([](uint8_t c) {
    return c < 0x20 || c == 0x7F || c == ',' || c == ';' || c == '|' || c == ']' || c == '\\';
});

// A NibbleSet's two tables, each in both lanes.
VESK_TARGET_AVX2 inline __m256i nibble_table(const uint8_t (&table)[16]) {
    return _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(opaque(table))));
}

// One bit per byte of `v` that bare grid text may not hold.
VESK_TARGET_AVX2 inline uint32_t not_bare_bytes(__m256i v) {
    return nibble_set_mask(v, nibble_table(kNotBareNibbles.low),
                           nibble_table(kNotBareNibbles.high));
}

// For a text shorter than 32 bytes: when it holds none of the bytes that
// bare grid text may not hold (see not_bare_bytes), copies it to `out` as
// one 32-byte block and returns 1; returns 0 when it holds one, -1 when it
// cannot be loaded whole within its page.
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 inline int copy_short_if_bare(const uint8_t* text,
                                                                       size_t length,
                                                                       uint8_t* out) {
    if (!within_page(text)) return -1;
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    if (not_bare_bytes(v) & ((1u << length) - 1)) return 0;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    return 1;
}

// The same for a text of at least 32 bytes (see copy_long_unless): true
// with the text copied, false when it holds such a byte.
VESK_TARGET_AVX2 inline bool copy_long_if_bare(const uint8_t* text, size_t length, uint8_t* out) {
    return copy_long_unless<not_bare_bytes>(text, length, out);
}

// Whether any of the `length` bytes at `text` is in `set`: 32 bytes a step,
// the last step the final 32 bytes; a text under 32 bytes is loaded whole
// where its page allows, else read byte by byte.
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 inline bool any_in_nibble_set_avx2(
    const uint8_t* text, size_t length, const NibbleSet& set) {
    const __m256i low = nibble_table(set.low);
    const __m256i high = nibble_table(set.high);
    const auto* blocks = reinterpret_cast<const __m256i*>(text);
    if (length >= 32) {
        size_t i = 0;
        for (; i + 32 <= length; i += 32)
            if (nibble_set_mask(_mm256_loadu_si256(blocks + i / 32), low, high)) return true;
        const auto* last = reinterpret_cast<const __m256i*>(text + length - 32);
        return i < length && nibble_set_mask(_mm256_loadu_si256(last), low, high);
    }
    if (within_page(text))
        return (nibble_set_mask(_mm256_loadu_si256(blocks), low, high) & ((1u << length) - 1)) != 0;
    for (size_t i = 0; i < length; ++i)
        if (set.low[text[i] & 15] & set.high[text[i] >> 4]) return true;
    return false;
}

// For a text of 1 to 31 bytes: 1 when every byte of it is in `set`, 0 when
// one is not, -1 when it cannot be loaded whole within its page.
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 inline int all_in_nibble_set_short(
    const uint8_t* text, size_t length, const NibbleSet& set) {
    if (!within_page(text)) return -1;
    const uint32_t in = nibble_set_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text)),
                                        nibble_table(set.low), nibble_table(set.high));
    const uint32_t want = (1u << length) - 1;
    return (in & want) == want;
}

// The bytes of a bare identifier (ASCII letters, digits, '_', '$', '-') as
// a NibbleSet whose bits are classes rather than high nibbles: a class is
// a run of bytes under one high nibble that share a role, so that
// kIdentifierStarts tells the bytes that may also open one (all but the
// digits and '-'). Checked against is_bare_identifier's rule where the
// writer includes both.
inline constexpr uint8_t kIdentifierDollar = 1;       // 0x24
inline constexpr uint8_t kIdentifierDash = 2;         // 0x2D
inline constexpr uint8_t kIdentifierDigit = 4;        // 0x30 to 0x39
inline constexpr uint8_t kIdentifierLetterLow = 8;    // 0x41 to 0x4F, 0x61 to 0x6F
inline constexpr uint8_t kIdentifierLetterHigh = 16;  // 0x50 to 0x5A, 0x70 to 0x7A
inline constexpr uint8_t kIdentifierUnderscore = 32;  // 0x5F
inline constexpr uint8_t kIdentifierStarts =
    kIdentifierDollar | kIdentifierLetterLow | kIdentifierLetterHigh | kIdentifierUnderscore;
inline constexpr NibbleSet kIdentifierNibbles = [] {
    NibbleSet set{};
    set.high[2] = kIdentifierDollar | kIdentifierDash;
    set.high[3] = kIdentifierDigit;
    set.high[4] = set.high[6] = kIdentifierLetterLow;
    set.high[5] = kIdentifierLetterHigh | kIdentifierUnderscore;
    set.high[7] = kIdentifierLetterHigh;
    for (int low = 0; low < 16; ++low)
        set.low[low] = static_cast<uint8_t>((low == 4 ? kIdentifierDollar : 0) |
                                            (low == 0xD ? kIdentifierDash : 0) |
                                            (low <= 9 ? kIdentifierDigit : 0) |
                                            (low >= 1 ? kIdentifierLetterLow : 0) |
                                            (low <= 0xA ? kIdentifierLetterHigh : 0) |
                                            (low == 0xF ? kIdentifierUnderscore : 0));
    return set;
}();

// The classes each byte of an identifier needs one of: an opening one
// first, any after.
struct alignas(32) IdentifierNeeds {
    uint8_t bytes[32];
};
inline constexpr IdentifierNeeds kIdentifierNeeds = [] {
    IdentifierNeeds needs{};
    for (uint8_t& need : needs.bytes) need = 0xFF;
    needs.bytes[0] = kIdentifierStarts;
    return needs;
}();

// For a text of 1 to 31 bytes: when it is a bare identifier (its first
// byte an ASCII letter, '_' or '$', each other byte one of those, a digit
// or '-'), copies it to `out` as one 32-byte block and returns 1; returns
// 0 when it is not, -1 when it cannot be loaded whole within its page.
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 inline int copy_short_if_identifier(
    const uint8_t* text, size_t length, uint8_t* out) {
    if (!within_page(text)) return -1;
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    const __m256i low = nibble_table(kIdentifierNibbles.low);
    const __m256i high = nibble_table(kIdentifierNibbles.high);
    const __m256i need = block_of(opaque(&kIdentifierNeeds)->bytes);
    const __m256i fit = _mm256_and_si256(nibble_classes(v, low, high), need);
    const auto misfits = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(fit, _mm256_setzero_si256())));
    if (misfits & ((1u << length) - 1)) return 0;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    return 1;
}

}  // namespace vesk
