// UTF-8: encoding one code point, and strict decoding into fixed-width code
// units (the layouts of the interpreter's compact strings). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk {

// Appends the one- to four-byte UTF-8 form of `cp` (at most U+10FFFF).
inline void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes strict UTF-8 (no overlong forms, surrogates, code points above
// U+10FFFF or truncated sequences) into one code point per element of `out`,
// which has room for `size` elements. Returns the number of code points and
// sets `max_char`, or returns kInvalidUtf8.
inline constexpr size_t kInvalidUtf8 = static_cast<size_t>(-1);
size_t decode_utf8(const uint8_t* text, size_t size, uint32_t* out, uint32_t& max_char);

}  // namespace vesk
