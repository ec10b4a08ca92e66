#include "parser/error.hpp"

namespace vesk {
namespace {

// A character is shown as the code point equal to the value given, so the
// byte 0xE9 appears as "é" (UTF-8 encoded in the message).
std::string code_point_utf8(uint32_t cp) {
    std::string out;
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
    return out;
}

ParseError with_char(const char* before, uint32_t ch, uint64_t position) {
    return {before + code_point_utf8(ch) + "' at position " + std::to_string(position), position};
}

}  // namespace

std::string ParseError::text() const {
    return message + " (approximate position: \u00b132 bytes from " + std::to_string(position) +
           ")";
}

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
