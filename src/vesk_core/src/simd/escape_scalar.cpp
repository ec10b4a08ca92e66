#include "simd/escape.hpp"

namespace vesk {

void append_escape(OutputBuffer& out, uint32_t c) {
    char text[6] = {'\\', 0, 0, 0, 0, 0};
    switch (c) {
        case '"': text[1] = '"'; break;
        case '\\': text[1] = '\\'; break;
        case '\b': text[1] = 'b'; break;
        case '\t': text[1] = 't'; break;
        case '\n': text[1] = 'n'; break;
        case '\f': text[1] = 'f'; break;
        case '\r': text[1] = 'r'; break;
        default: {
            static constexpr char kHex[] = "0123456789abcdef";
            text[1] = 'u';
            text[2] = '0';
            text[3] = '0';
            text[4] = kHex[c >> 4];
            text[5] = kHex[c & 0xF];
            out.append_bytes(text, 6);
            return;
        }
    }
    out.append_bytes(text, 2);
}

void write_escaped_str_scalar(const uint8_t* text, size_t length, OutputBuffer& out) {
    size_t run = 0;  // start of the bytes not yet appended
    for (size_t i = 0; i < length; ++i) {
        if (!needs_escape(text[i])) continue;
        out.append_bytes(reinterpret_cast<const char*>(text + run), i - run);
        append_escape(out, text[i]);
        run = i + 1;
    }
    out.append_bytes(reinterpret_cast<const char*>(text + run), length - run);
}

}  // namespace vesk
