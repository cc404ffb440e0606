// The output chain's state for one run and the two builds of its lanes kernel
// (engine/output_chain_kernel.h): the baseline (SSE2, render.cpp) and AVX2
// (output_chain_avx2.cpp), chosen with the voice kernel's build (voice_lanes.h).
#pragma once

#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/shaper.h"
#include "patches/biquad.h"

#include <cmath>

constexpr float kPercent = 0.01f;
/// The main bus is halved and copied into the send bus.
constexpr float kSplitGain = 0.5f;
/// Largest output magnitude. The shaper keeps ordinary sound well inside it; only a runaway bus
/// reaches it, and then the host gets a loud but bounded signal instead of an explosion.
constexpr float kOutputLimit = 4.0f;

/// An output sample: not-a-number and infinities become silence, anything beyond the limit is
/// held at it, and everything within passes unchanged.
inline float limitOutput(float x) {
    if (!std::isfinite(x)) return 0.0f;
    if (x > kOutputLimit) return kOutputLimit;
    if (x < -kOutputLimit) return -kOutputLimit;
    return x;
}

/// What the chain needs for one chunk, loaded from the engine and stored back after it.
struct OutputChain {
    Biquad sendFilter, hpf, lpf;
    EchoRun echo{};
    EnsembleRun ensemble{};
    ShaperRun shaper;
    bool echoOn, ensembleOn, shaperOn;
    float sendReturn, panLeft, panRight;
};

/// Longest echo ring the loop keeps a history for: 128 steps of 10 us at 768 kHz, the most a
/// patch and a sample rate can ask, is 983 samples.
constexpr int kEchoHistoryLength = 1024;

/// True when four frames of the ensemble can write first and read after: every tap (as
/// ensembleTapEntry places it) at most length - 4 entries behind the write.
inline bool ensembleTakesFour(const EnsembleRun& r) {
    for (int tap = 0; tap < kEnsembleTaps; ++tap)
        if (r.taps[tap] < 0 || r.taps[tap] > r.maxDelay - 4) return false;
    return true;
}

/// True when the lanes kernel takes the chain: fully wet single-section filters (as every
/// design of the three output filters is), an echo ring of at most kEchoHistoryLength and an
/// ensemble that takes four frames at a time.
inline bool outputChainTakesLanes(const OutputChain& c) {
    if (((c.sendFilter.flags | c.hpf.flags | c.lpf.flags) & kBiquadTwoPass) != 0) return false;
    if (c.sendFilter.mix != 1.0f || c.hpf.mix != 1.0f || c.lpf.mix != 1.0f) return false;
    if (c.echoOn && c.echo.length > kEchoHistoryLength) return false;
    return !c.ensembleOn || ensembleTakesFour(c.ensemble);
}

/// The chain for n frames (1..kEnsemblePlanFrames) through the lanes kernel, for a chain that
/// outputChainTakesLanes: main holds the voices' mix on entry; main and send receive the left
/// and right outputs. The echo and the ensemble run on the send bus where the flags say so.
/// Both builds give the same bits.
void runOutputChainLanesBaseline(OutputChain& c, bool echoOnSend, bool ensembleOnSend, float* main,
                                 float* send, int n);
void runOutputChainLanesAvx2(OutputChain& c, bool echoOnSend, bool ensembleOnSend, float* main,
                             float* send, int n);
/// planEnsemble as the AVX2 build of the lanes kernel plans (the same plan); only where the
/// processor has AVX2.
void planEnsembleAvx2(EnsembleRun& r, EnsemblePlan& plan, int n);
