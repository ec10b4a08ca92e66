#include "types/output_text.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "simd/short_blocks.hpp"

namespace vesk {
namespace {

// `count` units from `from` to `to`, each zero-extended to the wider type:
// 32 bytes of output per step with AVX2 (dumps runs only where the import
// found it), the last few one at a time.
template <class From, class To>
[[gnu::target("avx2")]] void widen_units(const From* from, size_t count, To* to) {
    constexpr size_t kStep = 32 / sizeof(To);
    size_t i = 0;
    // A str's wide units start 8 bytes past a 16-byte boundary: unaligned,
    // every other store would straddle two cache lines.
    if (count >= 4 * kStep)
        for (; reinterpret_cast<uintptr_t>(to + i) % 32 != 0; ++i) to[i] = from[i];
    for (; i + kStep <= count; i += kStep) {
        const auto* in = from + i;
        __m256i wide;
        if constexpr (sizeof(From) == 1 && sizeof(To) == 2)
            wide = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
        else if constexpr (sizeof(From) == 1)
            wide = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)));
        else
            wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), wide);
    }
    for (; i < count; ++i) to[i] = from[i];
}

template <class To>
void copy_units_to(const uint8_t* from, unsigned from_width, size_t count, To* to) {
    if (count == 0) return;  // `from` may be a buffer never allocated
    switch (from_width) {
        case 1:
            if constexpr (sizeof(To) == 1) std::memcpy(to, from, count);
            else widen_units(from, count, to);
            return;
        case 2: {
            const auto* units = reinterpret_cast<const uint16_t*>(from);
            if constexpr (sizeof(To) == 2) std::memcpy(to, units, 2 * count);
            else if constexpr (sizeof(To) == 4) widen_units(units, count, to);
            else for (size_t i = 0; i < count; ++i) to[i] = static_cast<To>(units[i]);
            return;
        }
        default: {
            const auto* units = reinterpret_cast<const uint32_t*>(from);
            if constexpr (sizeof(To) == 4) std::memcpy(to, units, 4 * count);
            else for (size_t i = 0; i < count; ++i) to[i] = static_cast<To>(units[i]);
            return;
        }
    }
}

// A short stretch as one block (32 bytes of source units, stored widened),
// when both sides have room for the whole block: the units past the
// stretch that it carries are overwritten by what follows. Most stretches
// between wide strings are a few narrow units (a quote, a comma, a quote)
// or a short wide string, and a block costs less than the copy's call and
// its loop. False, with nothing written, otherwise.
template <class From, class To>
[[gnu::target("avx2,bmi,bmi2,popcnt"), gnu::always_inline]] inline bool copy_block(
    const uint8_t* from, const uint8_t* from_end, size_t count, To* to, const To* to_end) {
    constexpr size_t kUnits = 32 / sizeof(From);
    if (count > kUnits || from_end - from < 32 || to_end - to < static_cast<ptrdiff_t>(kUnits))
        return false;
    store_widened<From, To>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)), to);
    return true;
}

// `count` units of `width` bytes from `from` (of a buffer ending at
// `from_end`) to `to`, short of `to_end`.
template <class To>
[[gnu::target("avx2,bmi,bmi2,popcnt")]] void copy_stretch(const uint8_t* from, const uint8_t* from_end,
                                          unsigned width, size_t count, To* to, const To* to_end) {
    // Units no wider than the result's; a wide buffer left wider by a
    // rewind is narrowed by the loop.
    if constexpr (sizeof(To) > 1) {
        bool copied = false;
        if (width == 1) copied = copy_block<uint8_t, To>(from, from_end, count, to, to_end);
        else if (width == 2) copied = copy_block<uint16_t, To>(from, from_end, count, to, to_end);
        else if constexpr (sizeof(To) == 4)
            copied = copy_block<uint32_t, To>(from, from_end, count, to, to_end);
        if (copied) return;
    }
    copy_units_to(from, width, count, to);
}

template <class To>
[[gnu::target("avx2,bmi,bmi2,popcnt")]] void copy_text(const OutputBuffer& narrow, const OutputBuffer& wide,
                                       const auto& splices, To* out) {
    const unsigned wide_width = wide.width();
    const To* const out_end = out + narrow.size() + wide.size();
    const uint8_t* const narrow_end = narrow.bytes() + narrow.capacity_bytes();
    const uint8_t* const wide_end = wide.bytes() + wide.capacity_bytes();
    size_t narrow_done = 0, wide_done = 0;
    for (const auto& splice : splices) {
        copy_stretch(narrow.bytes() + narrow_done, narrow_end, 1, splice.at - narrow_done, out,
                     out_end);
        out += splice.at - narrow_done;
        narrow_done = splice.at;
        copy_stretch(wide.bytes() + wide_done * wide_width, wide_end, wide_width,
                     splice.end - wide_done, out, out_end);
        out += splice.end - wide_done;
        wide_done = splice.end;
    }
    copy_units_to(narrow.bytes() + narrow_done, 1, narrow.size() - narrow_done, out);
}

}  // namespace

void OutputText::copy_to(void* out, unsigned kind) const {
    switch (kind) {
        case 1: copy_text(narrow_, wide_, splices_, static_cast<uint8_t*>(out)); break;
        case 2: copy_text(narrow_, wide_, splices_, static_cast<uint16_t*>(out)); break;
        default: copy_text(narrow_, wide_, splices_, static_cast<uint32_t*>(out)); break;
    }
}

}  // namespace vesk
