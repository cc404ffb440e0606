// The output chain's lanes kernel built with AVX2, as the voice kernel is
// (voice_lanes_avx2.cpp): every header the kernel uses is included first, for the baseline, and
// the target switches only for the kernel's own functions, which are local to this unit but
// for the entry below. Only called where the processor has AVX2 (render.cpp chooses).
#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/output_chain.h"
#include "engine/shaper.h"
#include "patches/biquad.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#pragma GCC target("avx2")
#define OUTPUT_CHAIN_AVX2 1
#include "engine/output_chain_kernel.h"

void runOutputChainLanesAvx2(OutputChain& c, bool echoOnSend, bool ensembleOnSend, float* main,
                             float* send, int n) {
    runChainLanes(c, echoOnSend, ensembleOnSend, main, send, n);
}

void planEnsembleAvx2(EnsembleRun& r, EnsemblePlan& plan, int n) {
    planEnsembleEight(r, plan, n);
}
