// The ensemble: a 16-tap modulated delay. Sixteen fixed taps rise and fall in a triangle; a
// slow phase ramp moves the read point across them with raised-cosine crossfades, so the delay
// sweeps up and back once per cycle. configureEnsemble (patch application) sizes and lays out.
#pragma once

#include <cstdint>
#include <memory>

constexpr int kEnsembleTaps = 16;

struct Ensemble {
    std::unique_ptr<float[]> line; ///< int(sampleRate x 0.2) floats (200 ms)
    float lineRate = 0;            ///< sample rate the line was sized for; 0 = unconfigured
    std::int32_t lineLength = 0;   ///< allocated entries of line
    float phase = 0;               ///< sweep position 0..phaseScale
    float phaseScale = 1.0f;
    float lfoStep = 0;                     ///< sweep increment per sample
    std::int32_t maxDelay = 0;             ///< ring length in use, samples
    std::int32_t minDelay = 0;             ///< shortest tap, samples
    std::int32_t position = 0;             ///< newest sample; moves backward
    std::int32_t taps[kEnsembleTaps] = {}; ///< tap delays, samples
    float rate = 5.0f;                     ///< sweep rate, Hz
    float base = 0.01f;                    ///< base delay, units of 2 ms
    float depth = 0.5f;                    ///< delay span, units of 2 ms
    float mix = 1.0f;                      ///< wet share
};

/// Processes n samples of buffer in place; an unconfigured unit passes them unchanged.
void processEnsemble(Ensemble& ensemble, float* buffer, int n);
