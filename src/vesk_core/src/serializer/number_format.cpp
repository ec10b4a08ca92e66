#include "serializer/number_format.hpp"

#include <charconv>
#include <cstring>

namespace vesk {

// std::to_chars in scientific form gives the shortest round-trip digits as
// "d.ddde±XX"; the layout below places them. With digits d1..dn and the
// decimal point after position kk (value = 0.d1..dn * 10^kk):
//   n <= kk <= 16    digits, kk - n zeros, ".0"        1000000000000000.0
//   0 < kk <= 16     digits with the point after kk   3.14
//   -5 < kk <= 0     "0.", -kk zeros, digits          0.00001
//   otherwise        d1[.d2..dn]e(kk-1)               1e16, 1.5e-7
size_t format_double(double value, char* out) {
    char sci[kMaxDoubleText];
    const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    (void)ec;  // the buffer fits every double
    const char* p = sci;
    char* o = out;
    if (*p == '-') *o++ = *p++;

    char digits[20];
    int n = 0;
    digits[n++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[n++] = *p;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // sign
    int exponent = 0;
    for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    const int kk = (negative_exponent ? -exponent : exponent) + 1;

    if (n <= kk && kk <= 16) {
        std::memcpy(o, digits, static_cast<size_t>(n));
        o += n;
        std::memset(o, '0', static_cast<size_t>(kk - n));
        o += kk - n;
        *o++ = '.';
        *o++ = '0';
    } else if (0 < kk && kk <= 16) {
        std::memcpy(o, digits, static_cast<size_t>(kk));
        o += kk;
        *o++ = '.';
        std::memcpy(o, digits + kk, static_cast<size_t>(n - kk));
        o += n - kk;
    } else if (-5 < kk && kk <= 0) {
        *o++ = '0';
        *o++ = '.';
        std::memset(o, '0', static_cast<size_t>(-kk));
        o += -kk;
        std::memcpy(o, digits, static_cast<size_t>(n));
        o += n;
    } else {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, static_cast<size_t>(n - 1));
            o += n - 1;
        }
        *o++ = 'e';
        o = std::to_chars(o, out + kMaxDoubleText, kk - 1).ptr;
    }
    return static_cast<size_t>(o - out);
}

}  // namespace vesk
