// The sample-rate rebuild: per-note increments from whole-sample periods, the three one-cycle
// tables, the envelope curve, the voices' time base, then a re-application of the patch.
#include "patches/sample_rate.h"

#include "engine/synth_engine.h"
#include "patches/float_to_int.h"
#include "patches/patch_application.h"
#include "patches/portable_math.h"

#include <cmath>
#include <memory>
#include <new>

float noteFrequency[128];

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kHalfPi = kPi / 2.0;

/// Single-precision 1/12: one semitone as a power of two.
constexpr float kSemitone = 0.083333336f;
/// Note 69 is the tuning reference, 440 Hz.
constexpr int kReferenceNote = 69;
constexpr float kReferenceFrequency = 440.0f;
/// One table cycle lasts 10 ms of samples.
constexpr float kTableSeconds = 0.01f;
/// The envelope curve spans 50 ms of samples.
constexpr float kCurveSeconds = 0.05f;
constexpr float kMicrosecondsPerSecond = 1e6f;

/// Replaces table by a zeroed array of length floats; a failed allocation leaves it absent.
void replaceTable(std::unique_ptr<float[]>& table, std::int32_t length) {
    table.reset(new (std::nothrow) float[length]());
}

} // namespace

void fillNoteFrequency() {
    for (int n = 0; n < kNoteCount; ++n)
        noteFrequency[n] = portable::exp2(static_cast<float>(n - kReferenceNote) * kSemitone) *
                           kReferenceFrequency;
}

void changeSampleRate(SynthEngine& engine, float sr) {
    // A rate that is not a number, negative, infinite or beyond any audio interface cannot size
    // tables: it is handled like 0, which keeps the old ones.
    if (!(sr >= 0.0f) || sr > kMaxSampleRate) sr = 0.0f;

    // Increments: the voice steps through the table in a whole number of samples.
    const float Lf = sr * kTableSeconds;
    for (int n = 0; n < kNoteCount; ++n) {
        const float frequency = noteFrequency[n];
        const std::int32_t period =
            frequency > 0.0f ? truncateToInt(sr / frequency + 0.5f) : 0; // 0 before filling
        // A period that rounds to no sample at all (sr 0, or a note above the rate) cannot be
        // played; 0 keeps the increment finite instead of 0 / 0.
        engine.noteIncrement[n] = period > 0 ? Lf / static_cast<float>(period) : 0.0f;
    }

    // The three one-cycle tables; with L = 0 the old ones stay.
    std::int32_t L = truncateToInt(Lf);
    if (L != 0) {
        // One entry more than the cycle: the renderer repeats the first entry there.
        replaceTable(engine.carrierTable, L + 1);
        replaceTable(engine.modulatorTable, L + 1);
        replaceTable(engine.lfoTable, L + 1);
        replaceTable(engine.carrierSum, L);
        if (!engine.carrierTable || !engine.modulatorTable || !engine.lfoTable ||
            !engine.carrierSum) {
            // Keep tableLength truthful: either all the tables hold L samples or none is used.
            engine.carrierTable.reset();
            engine.carrierSum.reset();
            engine.modulatorTable.reset();
            engine.lfoTable.reset();
            L = 0;
        }
    }

    // One sine cycle for the voice LFOs.
    if (L > 0) {
        const float w = static_cast<float>(kTwoPi / L);
        for (std::int32_t i = 0; i < L; ++i)
            engine.lfoTable[i] = portable::sin(static_cast<float>(i) * w);
    }

    // The voices' time base.
    if (sr != 0.0f)
        for (Voice& voice : engine.voices)
            voice.usPerSample = kMicrosecondsPerSecond / sr;

    engine.sampleRate = sr;
    engine.tableLength = L;

    // The envelope curve: a half-cosine rise from 0 towards 1.
    std::int32_t M = truncateToInt(sr * kCurveSeconds);
    if (M != 0) {
        replaceTable(engine.curveTable, M);
        if (engine.curveTable) {
            const float d = static_cast<float>(kPi / M);
            for (std::int32_t k = 0; k < M; ++k) {
                const float kd = static_cast<float>(k) * d;
                const float x = static_cast<float>(static_cast<double>(kd) - kHalfPi);
                engine.curveTable[k] = (portable::sin(x) + 1.0f) * 0.5f;
            }
        } else {
            M = 0;
        }
    }

    engine.curveLength = M;

    // Re-apply the current patch for the new rate (any current-program number other than -1 makes
    // applyPatch rebuild).
    applyPatch(engine, kRebuildCurrentPatch, kPatchCount);
}
