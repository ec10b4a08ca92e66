#include "types/output_text.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace vesk {
namespace {

// `count` units from `from` to `to`, each zero-extended to the wider type:
// 32 bytes of output per step with AVX2 (dumps runs only where the import
// found it), the last few one at a time.
template <class From, class To>
[[gnu::target("avx2")]] void widen_units(const From* from, size_t count, To* to) {
    constexpr size_t kStep = 32 / sizeof(To);
    size_t i = 0;
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

template <class To>
void copy_text(const OutputBuffer& narrow, const OutputBuffer& wide, const auto& splices,
               To* out) {
    const unsigned wide_width = wide.width();
    size_t narrow_done = 0, wide_done = 0;
    for (const auto& splice : splices) {
        copy_units_to(narrow.bytes() + narrow_done, 1, splice.at - narrow_done, out);
        out += splice.at - narrow_done;
        narrow_done = splice.at;
        copy_units_to(wide.bytes() + wide_done * wide_width, wide_width, splice.end - wide_done,
                      out);
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
