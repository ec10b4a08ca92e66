// AVX-512 byte escaper: 64-byte blocks, one mask register per test.
#include "simd/avx512_target.hpp"

#include <bit>
#include <cstring>

#include "simd/escape.hpp"

namespace VESK_AVX512_NAMESPACE {

// As the AVX2 escaper, with 64-byte blocks.
VESK_TARGET_AVX512 inline uint64_t escape_mask(const uint8_t* block) {
    const __m512i v = _mm512_loadu_si512(reinterpret_cast<const void*>(block));
    // uint64_t rather than __mmask64: SIMDe names only the vector types.
    return static_cast<uint64_t>(_mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(0x20)) |
                                 _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
                                 _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\')));
}

VESK_TARGET_AVX512 void write_escaped_str_avx512(const uint8_t* text, size_t length,
                                                 OutputBuffer& out) {
    if (length < 64) {
        vesk::write_escaped_str_avx2(text, length, out);
        return;
    }
    size_t done = 0;  // bytes of `text` written
    while (done < length) {
        out.reserve(length - done);
        uint8_t* const begin = out.tail<uint8_t>();
        uint8_t* o = begin;
        uint64_t mask = 0;
        for (; done + 64 <= length; done += 64, o += 64) {
            std::memcpy(o, text + done, 64);
            mask = escape_mask(text + done);
            if (mask) break;
        }
        size_t clean = 0;  // bytes from `done` on that go out as they are
        if (mask) {
            clean = static_cast<size_t>(std::countr_zero(mask));
        } else if (done < length) {
            mask = escape_mask(text + length - 64) >> (done - (length - 64));
            clean = mask ? static_cast<size_t>(std::countr_zero(mask)) : length - done;
            std::memcpy(o, text + done, clean);
        }
        out.commit(static_cast<size_t>(o + clean - begin));
        done += clean;
        if (mask) vesk::write_escaped_str_scalar(text + done++, 1, out);
    }
}

}  // namespace VESK_AVX512_NAMESPACE
