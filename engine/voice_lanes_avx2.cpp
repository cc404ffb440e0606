// The lane kernel built with AVX2. Only the kernel's own functions are compiled for AVX2: every
// header it uses is included first, for the baseline, and the target switches only for the
// kernel below. An inline function of a shared header (the filters, the echo, the ensemble, the
// standard library) that the compiler emits out of line here therefore holds baseline code, so
// when the linker keeps this copy for every caller it still runs on any x86-64 processor.
// Only called where the processor has AVX2 (voice_lanes.cpp chooses).
#include "engine/synth_engine.h"
#include "engine/voice_lanes.h"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <limits>

#pragma GCC target("avx2")
#define VOICE_LANES_AVX2 1
#include "engine/voice_lanes_kernel.h"

void renderVoiceLanesAvx2(SynthEngine& engine, const float* bend, float* out, int n) {
    renderLanes(engine, bend, out, n);
}

void mixVoiceLanesAvx2(const float* lanes, const float* gain, float* main, int n) {
    mixLanes(lanes, gain, main, n);
}
