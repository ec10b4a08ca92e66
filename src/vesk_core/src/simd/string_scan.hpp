// One pass over a string's content: does it hold a backslash (escapes to
// decode), and is every byte ASCII (the str can be filled without decoding)?
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

struct ContentScan {
    bool backslash = false;
    bool ascii = true;  // meaningful only when there is no backslash
};

ContentScan scan_string_content_avx2(const uint8_t* content, size_t length);

struct StringEnd {
    uint64_t close;  // the first `"` at or after the start, or the input length
    bool backslash;  // a backslash before it
    bool ascii;      // no byte of 0x80 or above before it
};

// One pass from the first content byte of a string to its first quote: the
// closing quote (an escaped one too, which the backslash before it gives
// away) and what the content needs, 32 bytes per step.
StringEnd find_string_end_avx2(const uint8_t* input, uint64_t length, uint64_t pos);

// The first offset at or after `pos` that holds a `"`, a backslash or a
// byte below 0x20 (what ends a plain run inside an escaped string), or
// `length`; 32 bytes per step.
uint64_t find_escape_stop_avx2(const uint8_t* input, uint64_t length, uint64_t pos);

inline ContentScan scan_string_content(const uint8_t* content, size_t length) {
    if (length >= 16) return scan_string_content_avx2(content, length);
    uint8_t high = 0;
    for (size_t i = 0; i < length; ++i) {
        if (content[i] == '\\') return {true, false};
        high |= content[i];
    }
    return {false, high < 0x80};
}

}  // namespace vesk
