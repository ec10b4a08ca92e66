// Decimal text of integers, and of finite doubles: the shortest digits that read back to the
// same double, laid out as plain decimals near 1 and in exponent form
// elsewhere ("1.0", "0.00001", "1e16", "1.5e-7"). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// Room that format_int and format_uint need at `out`: the longest texts
// are 20 bytes ("-9223372036854775808", "18446744073709551615"), but the
// digits are stored in blocks of up to sixteen bytes.
constexpr size_t kMaxIntText = 32;

// Write the decimal text of `value` (sign only when negative, no leading
// zeros) to `out` and return its length.
size_t format_uint(uint64_t value, char* out);
// Out of line: inlined into the writer's member loops, it costs them more
// in registers than the call.
[[gnu::noinline]] size_t format_int(int64_t value, char* out);

// Room that format_double needs at `out`: the longest text is 24 bytes
// (sign, 17 digits, point, "e-308"); the digits are stored sixteen at a
// time, all within the first 24 bytes.
constexpr size_t kMaxDoubleText = 48;

// Writes the text of finite `value` to `out` and returns its length.
size_t format_double(double value, char* out);

}  // namespace vesk
