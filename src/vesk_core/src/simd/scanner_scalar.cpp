#include <array>

#include "simd/cpu_features.hpp"
#include "simd/scanner.hpp"

namespace vesk {
namespace {

constexpr uint8_t kNotStructural = 0xFF;

// byte -> Structural, or kNotStructural. Built at compile time from
// kStructuralByte.
constexpr std::array<uint8_t, 256> kByteKind = [] {
    std::array<uint8_t, 256> table{};
    table.fill(kNotStructural);
    for (int s = 0; s < kStructuralCount; ++s)
        table[static_cast<uint8_t>(kStructuralByte[s])] = static_cast<uint8_t>(s);
    return table;
}();

}  // namespace

void scan_bytes_scalar(StructuralIndex& index, const uint8_t* input, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        const uint8_t kind = kByteKind[input[i]];
        if (kind != kNotStructural) index.arrays[kind].push_back(i);
    }
}

StructuralIndex scan_scalar(std::string_view input) {
    StructuralIndex index = StructuralIndex::with_input_capacity(input.size());
    scan_bytes_scalar(index, reinterpret_cast<const uint8_t*>(input.data()), 0, input.size());
    return index;
}

StructuralIndex scan(std::string_view input) {
    return use_avx512_scanner() ? scan_avx512(input) : scan_avx2(input);
}

}  // namespace vesk
