#include "simd/cpu_features.hpp"

#include <cpuid.h>

#include <atomic>

namespace vesk {
namespace {

constexpr uint32_t kLeaf1EcxOsxsave = 1u << 27;
constexpr uint32_t kLeaf7EbxAvx2 = 1u << 5;
constexpr uint32_t kLeaf7EbxAvx512f = 1u << 16;
constexpr uint32_t kLeaf7EbxAvx512bw = 1u << 30;
constexpr uint64_t kXcr0YmmState = (1u << 1) | (1u << 2);                // XMM, YMM
constexpr uint64_t kXcr0ZmmState = (1u << 5) | (1u << 6) | (1u << 7);    // opmask, ZMM hi, ZMM 16-31
}  // namespace

namespace detail {

// Filled on first query. Two threads racing here compute the same word, so
// either store wins; readers only ever see 0 or the final word.
std::atomic<uint32_t> g_cpu_flags{0};

uint32_t compute_cpu_flags() {
    const CpuFeatures f = derive_cpu_features(read_cpuid_registers());
    uint32_t word = kFlagsReady;
    if (f.avx2) word |= static_cast<uint32_t>(CpuFeature::avx2);
    if (f.avx512f) word |= static_cast<uint32_t>(CpuFeature::avx512f);
    if (f.avx512bw) word |= static_cast<uint32_t>(CpuFeature::avx512bw);
    g_cpu_flags.store(word, std::memory_order_relaxed);
    return word;
}

}  // namespace detail

CpuFeatures derive_cpu_features(const CpuidRegisters& regs) {
    CpuFeatures f;
    const bool os_saves_ymm =
        (regs.leaf1_ecx & kLeaf1EcxOsxsave) && (regs.xcr0 & kXcr0YmmState) == kXcr0YmmState;
    if (!os_saves_ymm) return f;
    f.avx2 = regs.leaf7_ebx & kLeaf7EbxAvx2;
    const bool os_saves_zmm = (regs.xcr0 & kXcr0ZmmState) == kXcr0ZmmState;
    f.avx512f = os_saves_zmm && (regs.leaf7_ebx & kLeaf7EbxAvx512f);
    f.avx512bw = os_saves_zmm && (regs.leaf7_ebx & kLeaf7EbxAvx512bw);
    return f;
}

const char* simd_level_name(const CpuFeatures& features) {
    return features.avx512f && features.avx512bw ? "AVX-512" : "AVX2";
}

CpuidRegisters read_cpuid_registers() {
    CpuidRegisters regs;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) regs.leaf1_ecx = ecx;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) regs.leaf7_ebx = ebx;
    if (regs.leaf1_ecx & kLeaf1EcxOsxsave) {
        // XGETBV with ECX=0 reads XCR0; only legal once OSXSAVE is set.
        uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        regs.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
    }
    return regs;
}

CpuFeatures cached_cpu_features() {
    return {cpu_has(CpuFeature::avx2), cpu_has(CpuFeature::avx512f),
            cpu_has(CpuFeature::avx512bw)};
}

}  // namespace vesk
