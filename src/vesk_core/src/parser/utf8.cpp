#include "parser/utf8.hpp"

#include <cstring>

namespace vesk {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

bool is_continuation(uint8_t c) { return (c & 0xC0) == 0x80; }

// Decodes the multi-byte sequence at text[i] (lead byte >= 0x80). Returns
// its length, or 0 when it is not well formed; `cp` receives the code point.
[[gnu::always_inline]] inline size_t decode_sequence(const uint8_t* text, size_t size, size_t i,
                                                   uint32_t& cp) {
    const uint8_t lead = text[i];
    const size_t left = size - i;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (left < 2 || !is_continuation(text[i + 1])) return 0;
        cp = (lead & 0x1Fu) << 6 | (text[i + 1] & 0x3Fu);
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !is_continuation(text[i + 1]) || !is_continuation(text[i + 2])) return 0;
        // E0 needs A0..BF (no overlongs); ED needs 80..9F (no surrogates).
        if (lead == 0xE0 && text[i + 1] < 0xA0) return 0;
        if (lead == 0xED && text[i + 1] > 0x9F) return 0;
        cp = (lead & 0x0Fu) << 12 | (text[i + 1] & 0x3Fu) << 6 | (text[i + 2] & 0x3Fu);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !is_continuation(text[i + 1]) || !is_continuation(text[i + 2]) ||
            !is_continuation(text[i + 3]))
            return 0;
        // F0 needs 90..BF (no overlongs); F4 needs 80..8F (at most U+10FFFF).
        if (lead == 0xF0 && text[i + 1] < 0x90) return 0;
        if (lead == 0xF4 && text[i + 1] > 0x8F) return 0;
        cp = (lead & 0x07u) << 18 | (text[i + 1] & 0x3Fu) << 12 | (text[i + 2] & 0x3Fu) << 6 |
             (text[i + 3] & 0x3Fu);
        return 4;
    }
    return 0;  // a continuation byte, an overlong lead (C0, C1) or F5..FF
}

bool ascii_word(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return (word & kHighBits) == 0;
}

}  // namespace

size_t decode_utf8(const uint8_t* text, size_t size, uint32_t* out, uint32_t& max_char) {
    uint32_t max = 0;
    size_t count = 0;
    size_t i = 0;
    while (i < size) {
        if (i + 8 <= size && ascii_word(text + i)) {
            for (size_t j = 0; j < 8; ++j) out[count + j] = text[i + j];
            count += 8;
            i += 8;
            continue;
        }
        uint32_t cp = text[i];
        if (cp < 0x80) {
            ++i;
        } else {
            const size_t n = decode_sequence(text, size, i, cp);
            if (n == 0) return kInvalidUtf8;
            i += n;
            max = cp > max ? cp : max;
        }
        out[count++] = cp;
    }
    // ASCII code points were not tracked: any string that reaches this
    // decoder is built at least as wide as ASCII.
    max_char = max < 0x7F ? 0x7F : max;
    return count;
}

}  // namespace vesk
