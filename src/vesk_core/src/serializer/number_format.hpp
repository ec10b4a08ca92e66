// Decimal text of finite doubles: the shortest digits that read back to the
// same double, laid out as plain decimals near 1 and in exponent form
// elsewhere ("1.0", "0.00001", "1e16", "1.5e-7"). Plain C++.
#pragma once

#include <cstddef>

namespace vesk {

// Longest text format_double writes: sign, 17 digits, point, "e-324"-style
// exponent, or sign, "0.0000" and 17 digits.
constexpr size_t kMaxDoubleText = 32;

// Writes the text of finite `value` to `out` and returns its length.
size_t format_double(double value, char* out);

}  // namespace vesk
