#include "parser/error.hpp"

#include "parser/utf8.hpp"

namespace vesk {
namespace {

// A character is shown as the code point equal to the value given, so the
// byte 0xE9 appears as "é" (UTF-8 encoded in the message).
ParseError with_char(const char* before, uint32_t ch, uint64_t position) {
    std::string message = before;
    append_utf8(message, ch);
    return {message + "' at position " + std::to_string(position), position};
}

}  // namespace

ParseError invalid_char(uint64_t position, uint32_t ch) {
    return with_char("Invalid character '", ch, position);
}

ParseError expected_char(uint64_t position, uint32_t ch) {
    return with_char("Expected '", ch, position);
}

ParseError invalid_escape(uint64_t position, uint32_t ch) {
    return with_char("Invalid escape sequence '\\", ch, position);
}

ParseError unexpected_eof(uint64_t position) { return {"Unexpected end of input", position}; }

ParseError invalid_unicode(uint64_t position) {
    return {"Invalid Unicode escape at position " + std::to_string(position), position};
}

}  // namespace vesk
