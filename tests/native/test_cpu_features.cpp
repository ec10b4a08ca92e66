#include <gtest/gtest.h>

#include <tuple>

#include "simd/cpu_features.hpp"

namespace vesk {
namespace {

constexpr uint32_t kOsxsave = 1u << 27;  // leaf 1 ECX
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kAvx512bw = 1u << 30;  // leaf 7 EBX
constexpr uint32_t kAll = kAvx2 | kAvx512f | kAvx512bw;
constexpr uint64_t kYmm = 0x6, kZmm = 0xE0;  // XCR0: XMM|YMM; opmask|ZMM_Hi256|Hi16_ZMM

struct Case {
    const char* name;
    CpuidRegisters regs;
    bool avx2, avx512f, avx512bw;
    const char* level;
};

class DeriveFeatures : public testing::TestWithParam<Case> {};

TEST_P(DeriveFeatures, FlagsAndLevel) {
    const Case& c = GetParam();
    const CpuFeatures f = derive_cpu_features(c.regs);
    EXPECT_EQ(std::tuple(f.avx2, f.avx512f, f.avx512bw), std::tuple(c.avx2, c.avx512f, c.avx512bw));
    EXPECT_STREQ(simd_level_name(f), c.level);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, DeriveFeatures,
    testing::Values(
        Case{"everything", {kOsxsave, kAll, kYmm | kZmm}, true, true, true, "AVX-512"},
        Case{"avx2_only", {kOsxsave, kAvx2, kYmm | kZmm}, true, false, false, "AVX2"},
        Case{"no_avx512bw", {kOsxsave, kAvx2 | kAvx512f, kYmm | kZmm}, true, true, false, "AVX2"},
        Case{"no_avx512f", {kOsxsave, kAvx2 | kAvx512bw, kYmm | kZmm}, true, false, true, "AVX2"},
        Case{"os_without_zmm_state", {kOsxsave, kAll, kYmm}, true, false, false, "AVX2"},
        Case{"os_partial_zmm_state", {kOsxsave, kAll, kYmm | 0x20}, true, false, false, "AVX2"},
        Case{"os_without_ymm_state", {kOsxsave, kAll, 0x2 | kZmm}, false, false, false, "AVX2"},
        Case{"no_osxsave", {0, kAll, kYmm | kZmm}, false, false, false, "AVX2"},
        Case{"no_avx2", {kOsxsave, 0, kYmm | kZmm}, false, false, false, "AVX2"}),
    [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

TEST(CpuFeatures, CachedFlagsMatchTheProcessor) {
    const CpuFeatures live = derive_cpu_features(read_cpuid_registers());
    EXPECT_EQ(std::tuple(cpu_has(CpuFeature::avx2), cpu_has(CpuFeature::avx512f),
                         cpu_has(CpuFeature::avx512bw), use_avx512_scanner()),
              std::tuple(live.avx2, live.avx512f, live.avx512bw, live.avx512f && live.avx512bw));
}

}  // namespace
}  // namespace vesk
