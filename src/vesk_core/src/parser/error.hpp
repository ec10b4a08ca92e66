// ParseError: a syntax problem and the byte offset where it was seen.
// Plain C++; the parser turns it into a ValueError the moment it is made.
#pragma once

#include <cstdint>
#include <string>

namespace vesk {

struct ParseError {
    std::string message;
    uint64_t position = 0;

    // The ValueError text: the message, then the approximate position.
    std::string text() const;
};

ParseError invalid_char(uint64_t position, uint32_t ch);
ParseError expected_char(uint64_t position, uint32_t ch);
ParseError invalid_escape(uint64_t position, uint32_t ch);
ParseError unexpected_eof(uint64_t position);
ParseError invalid_unicode(uint64_t position);

}  // namespace vesk
