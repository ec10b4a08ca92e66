// Helpers forced in line where their callers are built for AVX2, which
// GCC does through its target pragma (the reader and the writer). Clang
// ignores that pragma, and cannot inline AVX2 code into them: there they
// stay calls.
#pragma once

#if defined(__clang__)
#define VESK_AVX2_INLINE
#else
#define VESK_AVX2_INLINE [[gnu::always_inline]]
#endif
