#include "parser/utf8.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>

namespace vesk {
namespace {

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The code point of a three-byte form in the low bytes of `w`; an overlong
// form decodes below U+0800, a surrogate into D800-DFFF.
inline uint32_t three_byte_code_point(uint32_t w) {
    return (w & 0x0F) << 12 | (w & 0x3F00) >> 2 | (w & 0x3F0000) >> 16;
}

inline bool valid_three_byte(uint32_t cp) { return cp >= 0x800 && cp - 0xD800 >= 0x800; }

// Every lead byte's sequence is checked in full before its unit is written,
// and each unit consumes one lead byte, so a unit is written per byte that
// is not a continuation byte at most. A code point always fits in Unit: its
// lead byte is at most the widest byte, which chose the width.
template <class Unit>
[[gnu::target("avx2")]] bool decode_into(const uint8_t* bytes, size_t length, Unit* out) {
    const uint8_t* p = bytes;
    const uint8_t* const end = bytes + length;
    while (p < end) {
        const uint8_t c = *p;
        if (c < 0x80) {
            *out++ = c;
            ++p;
            // Then eight ASCII bytes at a time while they last.
            for (uint64_t word; end - p >= 8; p += 8, out += 8) {
                std::memcpy(&word, p, 8);
                if (word & 0x8080808080808080ull) break;
                for (int k = 0; k < 8; ++k) out[k] = p[k];
            }
            continue;
        }
        // Four three-byte sequences a vector step into two-byte units, the
        // common case of CJK text: the forms checked by mask, the code
        // points gathered into 16-bit lanes and checked by range. Sixteen
        // bytes are read, twelve used; exactly four units are written.
        if constexpr (sizeof(Unit) == 2) {
            while (end - p >= 16) {
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i form_mask = _mm_setr_epi8(
                    -16, -64, -64, -16, -64, -64, -16, -64, -64, -16, -64, -64, 0, 0, 0, 0);
                const __m128i form = _mm_setr_epi8(
                    -32, -128, -128, -32, -128, -128, -32, -128, -128, -32, -128, -128, 0, 0, 0, 0);
                if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(b, form_mask), form)) != 0xFFFF) break;
                const __m128i lead =
                    _mm_shuffle_epi8(b, _mm_setr_epi8(0, -1, 3, -1, 6, -1, 9, -1, -1, -1, -1, -1, -1, -1, -1, -1));
                const __m128i middle =
                    _mm_shuffle_epi8(b, _mm_setr_epi8(1, -1, 4, -1, 7, -1, 10, -1, -1, -1, -1, -1, -1, -1, -1, -1));
                const __m128i last =
                    _mm_shuffle_epi8(b, _mm_setr_epi8(2, -1, 5, -1, 8, -1, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1));
                const __m128i cp = _mm_or_si128(
                    _mm_or_si128(_mm_slli_epi16(_mm_and_si128(lead, _mm_set1_epi16(0x0F)), 12),
                                 _mm_slli_epi16(_mm_and_si128(middle, _mm_set1_epi16(0x3F)), 6)),
                    _mm_and_si128(last, _mm_set1_epi16(0x3F)));
                const __m128i overlong = _mm_cmpeq_epi16(_mm_min_epu16(cp, _mm_set1_epi16(0x7FF)), cp);
                const __m128i surrogate = _mm_cmpeq_epi16(
                    _mm_and_si128(cp, _mm_set1_epi16(static_cast<short>(0xF800))),
                    _mm_set1_epi16(static_cast<short>(0xD800)));
                if (_mm_movemask_epi8(_mm_or_si128(overlong, surrogate)) & 0xFF) return false;
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out), cp);
                out += 4;
                p += 12;
            }
            if (p == end || *p < 0x80) continue;
        }
        // Two three-byte sequences at once, the common case of CJK text.
        if (end - p >= 8) {
            uint64_t pair;
            std::memcpy(&pair, p, 8);
            if ((pair & 0xC0C0F0C0C0F0ull) == 0x8080E08080E0ull) {
                const uint32_t first = three_byte_code_point(static_cast<uint32_t>(pair));
                const uint32_t second = three_byte_code_point(static_cast<uint32_t>(pair >> 24));
                if (!valid_three_byte(first) || !valid_three_byte(second)) return false;
                out[0] = static_cast<Unit>(first);
                out[1] = static_cast<Unit>(second);
                out += 2;
                p += 6;
                continue;
            }
        }
        // The sequence's bytes in one little-endian word, zeros past the
        // end (which no continuation byte matches). The form is checked by
        // mask, then the code point by range: overlong forms decode below
        // their form's least, surrogates and F4 90 on to their bands.
        const auto left = static_cast<size_t>(end - p);
        uint32_t w = 0;
        if (left >= 4) {
            std::memcpy(&w, p, 4);
        } else {
            for (size_t k = 0; k < left; ++k) w |= uint32_t{p[k]} << (8 * k);
        }
        uint32_t cp;
        if ((w & 0xC0C0F0) == 0x8080E0) {
            cp = three_byte_code_point(w);
            if (!valid_three_byte(cp)) return false;
            p += 3;
        } else if ((w & 0xC0E0) == 0x80C0) {
            cp = (w & 0x1F) << 6 | (w & 0x3F00) >> 8;
            if (cp < 0x80) return false;
            p += 2;
        } else if ((w & 0xC0C0C0F8) == 0x808080F0) {
            cp = (w & 0x07) << 18 | (w & 0x3F00) << 4 | (w & 0x3F0000) >> 10 | (w & 0x3F000000) >> 24;
            if (cp < 0x10000 || cp > 0x10FFFF) return false;
            p += 4;
        } else {
            return false;  // a continuation byte, a cut sequence, or no lead byte at all
        }
        *out++ = static_cast<Unit>(cp);
    }
    return true;
}

}  // namespace

[[gnu::target("avx2,popcnt")]] Utf8Shape utf8_shape(const uint8_t* bytes, size_t length) {
    size_t i = 0;
    size_t leads = 0;
    __m256i widest = _mm256_setzero_si256();
    // As signed bytes, continuation bytes are -128..-65 and no others.
    const __m256i last_continuation = _mm256_set1_epi8(-65);
    for (; i + 32 <= length; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
        widest = _mm256_max_epu8(widest, v);
        leads += static_cast<size_t>(std::popcount(static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpgt_epi8(v, last_continuation)))));
    }
    __m128i w = _mm_max_epu8(_mm256_castsi256_si128(widest), _mm256_extracti128_si256(widest, 1));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 8));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 4));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 2));
    w = _mm_max_epu8(w, _mm_srli_si128(w, 1));
    auto widest_byte = static_cast<uint8_t>(_mm_cvtsi128_si32(w));
    for (; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (b > widest_byte) widest_byte = b;
        leads += !is_continuation(b);
    }
    return {leads, widest_byte};
}

bool decode_utf8(const uint8_t* bytes, size_t length, uint8_t* out) { return decode_into(bytes, length, out); }
bool decode_utf8(const uint8_t* bytes, size_t length, uint16_t* out) { return decode_into(bytes, length, out); }
bool decode_utf8(const uint8_t* bytes, size_t length, uint32_t* out) { return decode_into(bytes, length, out); }

}  // namespace vesk
