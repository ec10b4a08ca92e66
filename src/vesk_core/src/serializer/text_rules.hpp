// Character classes of the writer: which texts may go without quotes.
// Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

constexpr bool is_ascii_letter(uint8_t c) { return static_cast<uint8_t>((c | 0x20) - 'a') < 26; }

// The bytes that may open a bare identifier, and those that may follow.
constexpr bool is_identifier_start(uint8_t c) { return is_ascii_letter(c) || c == '_' || c == '$'; }
constexpr bool is_identifier_part(uint8_t c) {
    return is_identifier_start(c) || static_cast<uint8_t>(c - '0') < 10 || c == '-';
}

// A bare identifier: non-empty, first an ASCII letter, '_' or '$', then
// ASCII letters, digits, '_', '$' or '-'. Keys and header names of this
// form may be written without quotes.
inline bool is_bare_identifier(const uint8_t* text, size_t length) {
    if (length == 0 || !is_identifier_start(text[0])) return false;
    for (size_t i = 1; i < length; ++i)
        if (!is_identifier_part(text[i])) return false;
    return true;
}

}  // namespace vesk
