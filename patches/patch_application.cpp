// Patch application: derives the wavetables, the three filters, the ensemble's ring and taps
// and the echo line from the current Patch and the engine's sample rate.
#include "patches/patch_application.h"

#include "engine/synth_engine.h"
#include "patches/biquad.h"
#include "patches/float_to_int.h"
#include "patches/sample_rate.h"
#include "patches/wave_tables.h"

#include <cstdlib>
#include <new>

namespace {

/// Patch percentages to factors.
constexpr float kPercent = 0.01f;
/// lfoRate to the ensemble's sweep rate in Hz.
constexpr float kEnsembleRatePerStep = 0.1f;
/// Length of the ensemble's delay line, seconds.
constexpr float kEnsembleLineSeconds = 0.2f;
/// The ensemble's base, depth and span are in units of 2 ms.
constexpr float kEnsembleUnitSeconds = 0.002f;
/// Largest ensemble span, units of 2 ms (the whole 200 ms line).
constexpr float kMaxEnsembleSpan = 100.0f;
/// Single-precision 1/15: the taps climb over seven fifteenths of the span.
constexpr float kOneFifteenth = 0.06666667f;
/// echoTime counts 10 microseconds: x 0.01 gives milliseconds, x 0.001 seconds.
constexpr float kEchoUnitMs = 0.01f;
constexpr float kMsToSeconds = 0.001f;

/// A sample rate the delay units can be sized for (NaN, negative and absurd rates cannot).
bool isUsableRate(float sr) {
    return sr > 0.0f && sr <= kMaxSampleRate;
}

void applyEcho(SynthEngine& engine, const Patch& patch) {
    Echo& echo = engine.echo;
    const float sr = isUsableRate(engine.sampleRate) ? engine.sampleRate : 0.0f;
    const float magnitude = static_cast<float>(std::abs(static_cast<int>(patch.echoTime)));
    echo.length = truncateToInt(magnitude * kEchoUnitMs * sr * kMsToSeconds);
    if (echo.length <= 0) {
        echo.length = 0;
        echo.inverseLength = 0.0f;
        return;
    }
    echo.line.reset(new (std::nothrow) float[echo.length]());
    if (!echo.line) {
        echo.length = 0;
        echo.inverseLength = 0.0f;
        return;
    }
    echo.position = 0;
    echo.accumulator = 0.0f;
    echo.inverseLength = 1.0f / static_cast<float>(echo.length);
}

} // namespace

void resizeEnsembleLine(SynthEngine& engine, std::int32_t count) {
    if (count <= 0) return;
    Ensemble& ensemble = engine.ensemble;
    ++engine.ensembleLineGeneration;
    if (!engine.allocatesEnsembleLine) {
        ensemble.line.reset();
        ensemble.lineLength = count;
        return;
    }
    ensemble.line.reset(new (std::nothrow) float[count]());
    ensemble.lineLength = ensemble.line ? count : 0;
}

void configureEnsemble(SynthEngine& engine, float sr) {
    Ensemble& ensemble = engine.ensemble;
    if (!isUsableRate(sr) || !(ensemble.depth > 0.0f)) {
        ensemble.lineRate = 0.0f;
        return;
    }
    float span = ensemble.depth + ensemble.base;
    if (!(span <= kMaxEnsembleSpan)) span = kMaxEnsembleSpan;

    if (sr != ensemble.lineRate) {
        // The new line starts cleared (resizeEnsembleLine allocates it zeroed).
        resizeEnsembleLine(engine, truncateToInt(sr * kEnsembleLineSeconds));
        ensemble.lineRate = sr;
    }
    if ((engine.allocatesEnsembleLine && !ensemble.line) || ensemble.lineLength <= 0) {
        ensemble.lineRate = 0.0f; // no line could be obtained: the unit stays off
        return;
    }

    // The ring never exceeds the line, and it holds at least the current sample: a ring of
    // 0 entries (a tiny depth at a low rate) would make the write position run off the line.
    // A one-entry ring with its taps at 0 passes the signal unchanged.
    const std::int32_t maxDelay =
        truncateToRange(span * sr * kEnsembleUnitSeconds, 1, ensemble.lineLength);
    const std::int32_t minDelay =
        truncateToRange(sr * ensemble.base * kEnsembleUnitSeconds, 0, maxDelay);
    ensemble.maxDelay = maxDelay;
    ensemble.minDelay = minDelay;
    ensemble.lfoStep = ensemble.rate / sr;
    if (ensemble.position >= maxDelay || ensemble.position < 0) ensemble.position = 0;

    const std::int32_t D = maxDelay - minDelay;
    ensemble.phaseScale = 1.0f;
    for (int k = 0; k < kEnsembleTaps / 2; ++k) {
        const float steps = static_cast<float>(k * (D - 1));
        // Taps stay inside the ring (they already do for every ring the patch can ask for).
        const std::int32_t t =
            truncateToRange(steps * kOneFifteenth + static_cast<float>(minDelay), 0, maxDelay - 1);
        ensemble.taps[k] = t;
        ensemble.taps[kEnsembleTaps - 1 - k] = t;
    }
}

void applyPatch(SynthEngine& engine, std::int32_t program, std::int32_t currentProgram) {
    if (program == currentProgram) return;
    if (program >= kPatchCount) return; // no such slot
    if (program >= 0) engine.patch = &engine.patches[program];
    if (engine.patch == nullptr) engine.patch = &engine.patches[0];
    const Patch& patch = *engine.patch;

    // tableLength is int(sampleRate x 0.01), the length the tables were allocated with.
    const int L = engine.tableLength;
    if (L > 0) {
        if (engine.carrierTable && engine.carrierSum) {
            buildCarrierSum(engine.carrierSum.get(), L, patch);
            finishCarrierTable(engine.carrierTable.get(), engine.carrierSum.get(), L, patch.window);
        } else if (engine.carrierTable) {
            buildCarrierTable(engine.carrierTable.get(), L, patch);
        }
        if (engine.modulatorTable) {
            clearWaveTable(engine.modulatorTable.get(), L);
            addWaveLayer(engine.modulatorTable.get(), L, patch.modulatorLayer);
        }
    }

    const float sr = engine.sampleRate;
    engine.hpf.frequency = patch.highPassHz;
    engine.lpf.frequency = patch.lowPassHz;
    designBiquad(engine.hpf, sr);
    designBiquad(engine.lpf, sr);
    engine.sendFilter.frequency = patch.sendFrequency;
    designBiquad(engine.sendFilter, sr);

    engine.ensemble.rate = static_cast<float>(patch.lfoRate) * kEnsembleRatePerStep;
    engine.ensemble.depth =
        static_cast<float>(std::abs(static_cast<int>(patch.sendReturn))) * kPercent;
    configureEnsemble(engine, sr);

    applyEcho(engine, patch);
}
