// Structural scanners: record the offset of every `"` of a whole input in
// one pass. All variants produce identical indexes; `scan` picks one from the
// cached processor flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "types/structural_index.hpp"

namespace vesk {

// Each scanner fills `index`, which reset() has prepared for `input`.
void scan_scalar(std::string_view input, StructuralIndex& index);
void scan_avx2(std::string_view input, StructuralIndex& index);
void scan_avx512(std::string_view input, StructuralIndex& index);

// The AVX-512 scanner compiled against SIMDe for processors that lack
// AVX-512; only the native test build defines it.
namespace emulated {
void scan_avx512(std::string_view input, StructuralIndex& index);
}

// AVX-512 when AVX512F and AVX512BW are both usable, otherwise AVX2.
void scan(std::string_view input, StructuralIndex& index);

// Appends the quotes among bytes [from, to) one at a time: the vector
// scanners' tail after their last whole block.
template <class Offset>
void scan_bytes_scalar(OffsetArray<Offset>& quotes, const uint8_t* input, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (input[i] == '"') quotes.push_back(i);
}

}  // namespace vesk
