// AVX2 escapers: the byte escaper (32-byte blocks) and the escaper for the
// code units of wide Python strings, which also widens them to the
// buffer's width as it copies.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "simd/escape.hpp"
#include "simd/short_blocks.hpp"

namespace vesk {
namespace {

// Code units of one kind: how to test 32 bytes of them for characters that
// need an escape or are surrogates (reported together; the caller tells
// them apart), and how to widen them when stored.
template <class Unit>
struct Units;

template <>
struct Units<uint8_t> {
    VESK_TARGET_AVX2 static uint32_t special_mask(__m256i v) { return escape_mask_bytes(v); }
};

template <>
struct Units<uint16_t> {
    VESK_TARGET_AVX2 static uint32_t special_mask(__m256i v) { return escape_mask_ucs2(v); }
};

template <>
struct Units<uint32_t> {
    VESK_TARGET_AVX2 static uint32_t special_mask(__m256i v) {
        const __m256i control = _mm256_cmpeq_epi32(_mm256_min_epu32(v, _mm256_set1_epi32(0x1F)), v);
        const __m256i quote = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('"'));
        const __m256i backslash = _mm256_cmpeq_epi32(v, _mm256_set1_epi32('\\'));
        const __m256i surrogate =
            _mm256_cmpeq_epi32(_mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(0xFFFFF800))),
                               _mm256_set1_epi32(0xD800));
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(
            _mm256_or_si256(control, surrogate), _mm256_or_si256(quote, backslash))));
    }
};

inline bool is_surrogate(uint32_t c) { return (c & 0xFFFFF800u) == 0xD800; }

// Blocks of 32 bytes of source units are stored widened before they are
// tested: a clean block is then already in place, and for a block with a
// special unit only the units before it are kept. As in the byte escaper
// below, the clean units go out through a local pointer under a
// reservation for all that is left, counted once at a special unit or at
// the end. Whole blocks run in a loop of their own; the units after them
// are loaded as one more block where that stays within the page, else one
// at a time.
template <class Src, class Dst>
[[gnu::no_sanitize_address]] VESK_TARGET_AVX2 bool escape_units(const Src* text, size_t length,
                                                                 OutputBuffer& out) {
    constexpr size_t kBlock = 32 / sizeof(Src);
    size_t i = 0;
    for (;;) {
        out.reserve(length - i + kBlock);  // the last block is stored whole
        Dst* const begin = out.tail<Dst>();
        Dst* o = begin;
        uint32_t mask = 0;
        for (; i + kBlock <= length; i += kBlock, o += kBlock) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
            store_widened<Src, Dst>(v, o);
            mask = Units<Src>::special_mask(v);
            if (mask) break;
        }
        size_t clean = 0;  // units from i that need nothing
        if (mask) {
            clean = static_cast<size_t>(std::countr_zero(mask)) / sizeof(Src);
        } else if (const size_t left = length - i; left > 0 && within_page(text + i)) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
            store_widened<Src, Dst>(v, o);
            mask = Units<Src>::special_mask(v) & ((1u << (left * sizeof(Src))) - 1);
            clean = mask ? static_cast<size_t>(std::countr_zero(mask)) / sizeof(Src) : left;
        } else {
            while (clean < left && !needs_escape(text[i + clean]) &&
                   !is_surrogate(text[i + clean])) {
                o[clean] = text[i + clean];
                ++clean;
            }
        }
        out.commit(static_cast<size_t>(o + clean - begin));
        i += clean;
        if (i == length) return true;
        if (!needs_escape(text[i])) return false;  // the special unit is a lone surrogate
        append_escape(out, text[i]);
        ++i;
    }
}

}  // namespace

// Each whole 32-byte block is stored to the output before it is tested,
// so a clean block costs one load and one store, and at a byte to escape
// only the bytes before it are kept. The bytes after the last whole block
// are tested as the input's final 32 bytes (overlapping bytes already
// tested, whose flags are shifted out) and stored as one block over the
// run's copies of the overlapping ones: no byte outside the input is read,
// and no tail is left to a byte loop.
//
// The clean text goes out through a local pointer, under a reservation for
// all that is left of the input, and is counted once; only an escape (rare)
// counts what went before it and reserves anew. Counting block by block
// would chain every block to the last through the buffer's count.
VESK_TARGET_AVX2 void write_escaped_str_avx2(const uint8_t* text, size_t length,
                                             OutputBuffer& out) {
    if (length < 32) {
        write_escaped_str_scalar(text, length, out);
        return;
    }
    size_t done = 0;  // bytes of `text` written
    while (done < length) {
        out.reserve(length - done);
        uint8_t* const begin = out.tail<uint8_t>();
        uint8_t* o = begin;
        uint32_t mask = 0;
        for (; done + 32 <= length; done += 32, o += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + done));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), v);
            mask = escape_mask_bytes(v);
            if (mask) break;
        }
        size_t clean = 0;  // bytes from `done` on that go out as they are
        if (mask) {
            clean = static_cast<size_t>(std::countr_zero(mask));
        } else if (done < length) {
            const size_t overlap = done - (length - 32);
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + length - 32));
            mask = escape_mask_bytes(v) >> overlap;
            clean = mask ? static_cast<size_t>(std::countr_zero(mask)) : length - done;
            // The final 32 bytes go out whole, over the copies of the ones
            // this run has written, when it has written them all.
            if (static_cast<size_t>(o - begin) >= overlap)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(o - overlap), v);
            else
                std::memcpy(o, text + done, clean);
        }
        out.commit(static_cast<size_t>(o + clean - begin));
        done += clean;
        if (mask) append_escape(out, text[done++]);
    }
}

bool write_escaped_units(const void* text, unsigned kind, size_t length, OutputBuffer& out) {
    const unsigned width = out.width();
    if (kind == 1) {
        const auto* units = static_cast<const uint8_t*>(text);
        if (width == 1) {
            write_escaped_str(units, length, out);
            return true;
        }
        return width == 2 ? escape_units<uint8_t, uint16_t>(units, length, out)
                          : escape_units<uint8_t, uint32_t>(units, length, out);
    }
    if (kind == 2) {
        const auto* units = static_cast<const uint16_t*>(text);
        return width == 2 ? escape_units<uint16_t, uint16_t>(units, length, out)
                          : escape_units<uint16_t, uint32_t>(units, length, out);
    }
    return escape_units<uint32_t, uint32_t>(static_cast<const uint32_t*>(text), length, out);
}

}  // namespace vesk
