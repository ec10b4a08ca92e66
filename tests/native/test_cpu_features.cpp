#include "native_test.hpp"
#include "simd/cpu_features.hpp"

namespace vesk {
namespace {

constexpr uint32_t kOsxsave = 1u << 27;                                         // leaf 1 ECX
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kAvx512bw = 1u << 30;  // leaf 7 EBX
constexpr uint32_t kAll = kAvx2 | kAvx512f | kAvx512bw;
constexpr uint64_t kYmm = 0x6, kZmm = 0xE0;  // XCR0: XMM|YMM; opmask|ZMM_Hi256|Hi16_ZMM

// A feature counts only where the processor has it and the OS saves its
// registers; the vector level is AVX-512 only with both F and BW.
TEST(CpuFeatures, DerivedFromRegisters) {
    using Flags = std::tuple<bool, bool, bool, std::string>;
    for (const auto& [regs, want] : std::vector<std::pair<CpuidRegisters, Flags>>{
             {{kOsxsave, kAll, kYmm | kZmm}, {true, true, true, "AVX-512"}},
             {{kOsxsave, kAvx2, kYmm | kZmm}, {true, false, false, "AVX2"}},
             {{kOsxsave, kAvx2 | kAvx512f, kYmm | kZmm}, {true, true, false, "AVX2"}},
             {{kOsxsave, kAvx2 | kAvx512bw, kYmm | kZmm}, {true, false, true, "AVX2"}},
             {{kOsxsave, kAll, kYmm}, {true, false, false, "AVX2"}},         // no ZMM state
             {{kOsxsave, kAll, kYmm | 0x20}, {true, false, false, "AVX2"}},  // part of it
             {{kOsxsave, kAll, 0x2 | kZmm}, {false, false, false, "AVX2"}},  // no YMM state
             {{0, kAll, kYmm | kZmm}, {false, false, false, "AVX2"}},
             {{kOsxsave, 0, kYmm | kZmm}, {false, false, false, "AVX2"}}}) {
        const CpuFeatures f = derive_cpu_features(regs);
        EXPECT_EQ(Flags(f.avx2, f.avx512f, f.avx512bw, simd_level_name(f)), want)
            << std::hex << regs.leaf1_ecx << " " << regs.leaf7_ebx << " " << regs.xcr0;
    }
    const CpuFeatures live = derive_cpu_features(read_cpuid_registers());
    EXPECT_EQ(std::tuple(cpu_has(CpuFeature::avx2), cpu_has(CpuFeature::avx512f),
                         cpu_has(CpuFeature::avx512bw), use_avx512_scanner()),
              std::tuple(live.avx2, live.avx512f, live.avx512bw, live.avx512f && live.avx512bw));
}

}  // namespace
}  // namespace vesk
