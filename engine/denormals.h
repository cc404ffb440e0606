// Flush-to-zero and denormals-are-zero for the lifetime of a scope. Filters and delay lines
// decaying toward silence otherwise produce denormal floats, which are very slow on x86-64.
#pragma once

#include <xmmintrin.h>

/// MXCSR bit 15: results too small to be normal become 0 (flush to zero).
constexpr unsigned int kMxcsrFlushToZero = 0x8000;
/// MXCSR bit 6: denormal inputs are read as 0 (denormals are zero).
constexpr unsigned int kMxcsrDenormalsAreZero = 0x0040;

/// Sets FTZ and DAZ on construction and restores the previous MXCSR on destruction.
class ScopedFlushDenormals {
  public:
    ScopedFlushDenormals() : saved(_mm_getcsr()) {
        _mm_setcsr(saved | kMxcsrFlushToZero | kMxcsrDenormalsAreZero);
    }
    ~ScopedFlushDenormals() { _mm_setcsr(saved); }
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;

  private:
    unsigned int saved;
};
