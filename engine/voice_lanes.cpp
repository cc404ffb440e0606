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
/// audio thread): the AVX-512 build where the processor (and the system, which must keep the
/// mask registers) has those extensions, else the AVX2 build where it has AVX2, else the
/// baseline.
VoiceLaneKernel chosenKernel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        return VoiceLaneKernel::Avx512;
    return __builtin_cpu_supports("avx2") ? VoiceLaneKernel::Avx2 : VoiceLaneKernel::Baseline;
}

/// Whether a processor that runs build a also runs build b.
bool runs(VoiceLaneKernel a, VoiceLaneKernel b) {
    return static_cast<int>(b) <= static_cast<int>(a);
}

VoiceLaneKernel activeKernel = chosenKernel();

} // namespace

bool selectVoiceLaneKernel(VoiceLaneKernel kernel) {
    if (!runs(chosenKernel(), kernel)) return false;
    activeKernel = kernel;
    return true;
}

VoiceLaneKernel activeVoiceLaneKernel() {
    return activeKernel;
}

void renderVoiceLanesBaseline(SynthEngine& engine, const float* bend, float* out, int n) {
    renderLanes(engine, bend, out, n);
}

void mixVoiceLanesBaseline(const float* lanes, const float* gain, float* main, int n) {
    mixLanes(lanes, gain, main, n);
}

void mixVoiceLanes(const float* lanes, const float* gain, float* main, int n) {
    if (activeKernel == VoiceLaneKernel::Avx512)
        mixVoiceLanesAvx512(lanes, gain, main, n);
    else if (activeKernel == VoiceLaneKernel::Avx2)
        mixVoiceLanesAvx2(lanes, gain, main, n);
    else
        mixVoiceLanesBaseline(lanes, gain, main, n);
}

void renderVoiceLanes(SynthEngine& engine, const float* bend, float* out, int n) {
    if (activeKernel == VoiceLaneKernel::Avx512)
        renderVoiceLanesAvx512(engine, bend, out, n);
    else if (activeKernel == VoiceLaneKernel::Avx2)
        renderVoiceLanesAvx2(engine, bend, out, n);
    else
        renderVoiceLanesBaseline(engine, bend, out, n);
}
