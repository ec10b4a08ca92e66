// Character classes of the writer: which texts may go without quotes.
// Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

inline bool is_ascii_letter(uint8_t c) { return static_cast<uint8_t>((c | 0x20) - 'a') < 26; }

// A bare identifier: non-empty, first an ASCII letter, '_' or '$', then
// ASCII letters, digits, '_', '$' or '-'. Keys and header names of this
// form may be written without quotes.
inline bool is_bare_identifier(const uint8_t* text, size_t length) {
    if (length == 0) return false;
    const uint8_t first = text[0];
    if (!is_ascii_letter(first) && first != '_' && first != '$') return false;
    for (size_t i = 1; i < length; ++i) {
        const uint8_t c = text[i];
        if (!is_ascii_letter(c) && static_cast<uint8_t>(c - '0') >= 10 && c != '_' && c != '$' &&
            c != '-')
            return false;
    }
    return true;
}

}  // namespace vesk
