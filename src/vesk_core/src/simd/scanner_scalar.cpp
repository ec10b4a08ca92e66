#include "simd/cpu_features.hpp"
#include "simd/scanner.hpp"

namespace vesk {

void scan_scalar(std::string_view input, StructuralIndex& index) {
    const auto* data = reinterpret_cast<const uint8_t*>(input.data());
    if (index.wide())
        scan_bytes_scalar(index.wide_quotes(), data, 0, input.size());
    else
        scan_bytes_scalar(index.narrow_quotes(), data, 0, input.size());
}

void scan(std::string_view input, StructuralIndex& index) {
    if (use_avx512_scanner())
        scan_avx512(input, index);
    else
        scan_avx2(input, index);
}

}  // namespace vesk
