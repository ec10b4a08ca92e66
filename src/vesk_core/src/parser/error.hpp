// ParseError: a syntax problem and the byte offset where it was seen.
// Plain C++; the parser turns it into a vesk.DecodeError the moment it is
// made (decode_error.hpp).
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

struct ParseError {
    std::string message;
    uint64_t position = 0;
    // The message is followed by the approximate position, and the error
    // gives `position` as its `pos`. A number's error states none: its
    // message stands alone and only its line and column tell where it is.
    bool stated = true;
};

ParseError invalid_char(uint64_t position, uint32_t ch);
ParseError expected_char(uint64_t position, uint32_t ch);
ParseError invalid_escape(uint64_t position, uint32_t ch);
ParseError unexpected_eof(uint64_t position);
ParseError invalid_unicode(uint64_t position);

}  // namespace vesk
