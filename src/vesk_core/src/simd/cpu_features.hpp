// Processor feature flags: read once from CPUID/XGETBV, then cached for the
// life of the process. Plain C++ so native tests can drive the derivation
// with made-up register values.
#pragma once

#include <atomic>
#include <cstdint>

namespace vesk {

// The raw register values the derivation needs. `xcr0` is only meaningful
// when `leaf1_ecx` reports OSXSAVE; `leaf7_ebx` is 0 when leaf 7 is absent.
struct CpuidRegisters {
    uint32_t leaf1_ecx = 0;
    uint32_t leaf7_ebx = 0;
    uint64_t xcr0 = 0;
};

// A feature counts only when the processor reports it *and* the operating
// system saves the register state it needs.
struct CpuFeatures {
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;
};

enum class CpuFeature : uint32_t { avx2 = 1u << 0, avx512f = 1u << 1, avx512bw = 1u << 2 };

CpuFeatures derive_cpu_features(const CpuidRegisters& regs);

// "AVX-512" when both AVX512F and AVX512BW are usable, otherwise "AVX2".
const char* simd_level_name(const CpuFeatures& features);

// Reads the registers of the running processor.
CpuidRegisters read_cpuid_registers();

namespace detail {
inline constexpr uint32_t kFlagsReady = 1u << 31;
extern std::atomic<uint32_t> g_cpu_flags;  // CpuFeature bits | kFlagsReady, or 0
uint32_t compute_cpu_flags();
}  // namespace detail

// After the first call, a single relaxed load and a bit test.
inline bool cpu_has(CpuFeature feature) {
    uint32_t word = detail::g_cpu_flags.load(std::memory_order_relaxed);
    if (!(word & detail::kFlagsReady)) [[unlikely]]
        word = detail::compute_cpu_flags();
    return word & static_cast<uint32_t>(feature);
}

CpuFeatures cached_cpu_features();

// The scanner's rule: AVX-512 only when both F and BW are usable.
inline bool use_avx512_scanner() {
    return cpu_has(CpuFeature::avx512f) && cpu_has(CpuFeature::avx512bw);
}

}  // namespace vesk
