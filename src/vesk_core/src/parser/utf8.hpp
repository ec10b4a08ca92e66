// UTF-8 encoding of one code point, and strict decoding of a byte run
// straight into the storage of a Python string of the right width. Plain
// C++: the caller allocates the string between measuring and decoding.
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

// What a str decoded from UTF-8 bytes needs before it is made: its length
// and its width. Valid UTF-8 holds one code point per byte that is not a
// continuation byte (0x80-0xBF), and its largest byte is the lead byte of
// its widest code point, which fixes the width: below 0x80 ASCII, below
// 0xC4 one byte (up to U+00FF), below 0xF0 two bytes, else four.
struct Utf8Shape {
    size_t code_points = 0;
    uint8_t widest_byte = 0;

    // A code point of the string's width, for PyUnicode_New.
    uint32_t max_code_point() const {
        if (widest_byte >= 0xF0) return 0x10FFFF;
        if (widest_byte >= 0xC4) return 0xFFFF;
        return widest_byte >= 0x80 ? 0xFF : 0x7F;
    }
};

// The shape, 32 bytes per step; meaningful only for valid UTF-8, which
// decode_utf8 then checks.
Utf8Shape utf8_shape(const uint8_t* bytes, size_t length);

// Decodes `bytes` as strict UTF-8, the interpreter's rule (no overlong
// forms, no surrogates, nothing above U+10FFFF, no cut sequence), into
// `out`, one unit per code point. `out` has room for utf8_shape's count of
// units, of the width its max_code_point needs. False on invalid UTF-8,
// with `out` partly written; never writes more units than that count.
bool decode_utf8(const uint8_t* bytes, size_t length, uint8_t* out);
bool decode_utf8(const uint8_t* bytes, size_t length, uint16_t* out);
bool decode_utf8(const uint8_t* bytes, size_t length, uint32_t* out);

}  // namespace vesk
