// The setting for the AVX-512 kernels. The native test build compiles each
// AVX-512 file a second time against SIMDe (VESK_USE_SIMDE) into
// vesk::emulated, so processors without AVX-512 still run that code in tests.
#pragma once

#ifdef VESK_USE_SIMDE
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define VESK_TARGET_AVX512
#define VESK_AVX512_NAMESPACE vesk::emulated
#else
#include <immintrin.h>
#define VESK_TARGET_AVX512 [[gnu::target("avx512f,avx512bw,bmi,bmi2,popcnt")]]
#define VESK_AVX512_NAMESPACE vesk
#endif
