// What the native tests share: GoogleTest, the standard library, units read back from a buffer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vesk {

// `size` units of `kind` bytes each, little-endian.
inline std::vector<uint32_t> units_of(const uint8_t* bytes, size_t size, unsigned kind) {
    std::vector<uint32_t> units(size);
    for (size_t i = 0; i < size; ++i)
        for (unsigned b = 0; b < kind; ++b) units[i] |= uint32_t{bytes[i * kind + b]} << (8 * b);
    return units;
}

}  // namespace vesk
