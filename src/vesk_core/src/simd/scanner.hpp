// Structural scanners: build the StructuralIndex of a whole input in one pass.
// All variants produce identical indexes; `scan` picks one from the cached
// processor flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "types/structural_index.hpp"

namespace vesk {

// Classifies bytes [from, to) one at a time and appends the structural ones.
// The vector scanners use it for the bytes after their last whole block.
void scan_bytes_scalar(StructuralIndex& index, const uint8_t* input, size_t from, size_t to);

StructuralIndex scan_scalar(std::string_view input);
StructuralIndex scan_avx2(std::string_view input);
StructuralIndex scan_avx512(std::string_view input);

// The AVX-512 scanner compiled against SIMDe for processors that lack
// AVX-512; only the native test build defines it.
namespace emulated {
StructuralIndex scan_avx512(std::string_view input);
}

// AVX-512 when AVX512F and AVX512BW are both usable, otherwise AVX2.
StructuralIndex scan(std::string_view input);

}  // namespace vesk
