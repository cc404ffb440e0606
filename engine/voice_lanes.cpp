// The baseline (SSE2) build of the lane kernel, the scalar phase wrap and the choice of the
// kernel the processor can run best.
#include "engine/voice_lanes_kernel.h"

float wrapPhase(float p, float n) {
    for (int step = 0; step < kMaxWrapSteps && p >= n; ++step)
        p -= n;
    for (int step = 0; step < kMaxWrapSteps && p < 0.0f; ++step)
        p += n;
    if (p >= 0.0f && p < n) return p;
    if (!std::isfinite(p)) return 0.0f;
    p = std::fmod(p, n);
    if (p < 0.0f) p += n;
    return (p >= 0.0f && p < n) ? p : 0.0f; // rounding can land exactly on n
}

namespace {

/// The kernel for this processor, chosen once when the library is loaded (so never on the
/// audio thread): the AVX2 build where the processor has AVX2, else the baseline.
VoiceLaneKernel chosenKernel() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? VoiceLaneKernel::Avx2 : VoiceLaneKernel::Baseline;
}

VoiceLaneKernel activeKernel = chosenKernel();

} // namespace

bool selectVoiceLaneKernel(VoiceLaneKernel kernel) {
    if (kernel == VoiceLaneKernel::Avx2 && chosenKernel() != VoiceLaneKernel::Avx2) return false;
    activeKernel = kernel;
    return true;
}

VoiceLaneKernel activeVoiceLaneKernel() {
    return activeKernel;
}

void renderVoiceLanesBaseline(SynthEngine& engine, const float* bend, float* out, int n) {
    renderLanes(engine, bend, out, n);
}

void renderVoiceLanes(SynthEngine& engine, const float* bend, float* out, int n) {
    if (activeKernel == VoiceLaneKernel::Avx2)
        renderVoiceLanesAvx2(engine, bend, out, n);
    else
        renderVoiceLanesBaseline(engine, bend, out, n);
}
