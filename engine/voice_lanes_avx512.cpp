// The lane kernel built for processors with AVX-512 (F, VL, DQ, BW). It is the AVX2 kernel,
// vectors of eight lanes, compiled with the AVX-512 forms of its operations: comparisons go to
// mask registers and selects become masked moves, which take fewer micro-operations than the
// AVX2 blends. As in voice_lanes_avx2.cpp, every header is included first, for the baseline,
// and the target switches only for the kernel below.
// Only called where the processor has these extensions (voice_lanes.cpp chooses).
#include "engine/synth_engine.h"
#include "engine/voice_lanes.h"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <limits>

#pragma GCC target("avx2,avx512f,avx512vl,avx512dq,avx512bw")
#define VOICE_LANES_AVX2 1
#define VOICE_LANES_AVX512 1
#include "engine/voice_lanes_kernel.h"

void renderVoiceLanesAvx512(SynthEngine& engine, const float* bend, float* out, int n) {
    renderLanes(engine, bend, out, n);
}

void mixVoiceLanesAvx512(const float* lanes, const float* gain, float* main, int n) {
    mixLanes(lanes, gain, main, n);
}
