// String escaping for text between double quotes: the double quote, the
// backslash and the control characters U+0000 to U+001F are escaped; every
// other character is copied unchanged (no \u escapes above U+001F).
//
// The byte escapers take UTF-8 (or Latin-1) bytes and need a buffer of
// width 1; bytes from 0x80 up never need an escape, so they serve both.
// The two variants append identical bytes; the vector ones move a block
// at a time and stop only at a byte to escape. None reads outside its input.
//
// write_escaped_units takes the code units of a Python string of any kind
// and writes them at the buffer's width. Plain C++, no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "types/output_buffer.hpp"

namespace vesk {

inline bool needs_escape(uint32_t c) { return c < 0x20 || c == '"' || c == '\\'; }

// Appends the escape of one character for which needs_escape holds.
void append_escape(OutputBuffer& out, uint32_t c);

void write_escaped_str_scalar(const uint8_t* text, size_t length, OutputBuffer& out);
void write_escaped_str_avx2(const uint8_t* text, size_t length, OutputBuffer& out);

// The writer's byte escaper: AVX2, always usable once the module has
// imported. A 64-byte AVX-512 form measured slower than this one at every
// string length, from 70 bytes to 10,000 (and the writer's other code with
// it), on the Xeon processors that have AVX-512, so there is none.
inline void write_escaped_str(const uint8_t* text, size_t length, OutputBuffer& out) {
    write_escaped_str_avx2(text, length, out);
}

// Escapes `length` code units of `kind` bytes each (1, 2 or 4) at the
// buffer's width, which must be at least `kind`. Returns false at a lone
// surrogate (U+D800 to U+DFFF), which has no UTF-8 form; the units before
// it have been appended by then.
bool write_escaped_units(const void* text, unsigned kind, size_t length, OutputBuffer& out);

}  // namespace vesk
