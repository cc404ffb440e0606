// The scalar reference renderer: the voice loop one voice and one sample at a time, then each
// unit of the output chain over the whole stretch, exactly as the instrument's rendering is
// defined. The engine's renderer must produce the same bits (render_identity_test.cpp).
#include "tests/engine/reference_render.h"

#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/envelope.h"
#include "engine/midi_input.h"
#include "engine/shaper.h"
#include "engine/synth_engine.h"
#include "patches/biquad.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

/// Velocity to gain (1/127 in single precision).
constexpr float kVelocityScale = 0.007874016f;
/// Oscillator B's vibrato: LFO depth (percent) x LFO value x this is its pitch deviation.
constexpr float kVibratoScale = 0.000002f;
constexpr float kPercent = 0.01f;
/// The main bus is halved and copied into the send bus.
constexpr float kSplitGain = 0.5f;
/// More wraps than this by repeated subtraction are done with one remainder instead.
constexpr int kMaxWrapSteps = 4;
/// Largest output magnitude. The shaper keeps ordinary sound well inside it; only a runaway bus
/// reaches it, and then the host gets a loud but bounded signal instead of an explosion.
constexpr float kOutputLimit = 4.0f;

/// Reduces a phase into [0, n). Phases within a few cycles are wrapped by adding or subtracting
/// n, as the oscillators expect; anything further out uses the remainder, and values that are
/// not finite restart at 0, so a hostile increment can neither hang the loop nor index outside
/// the table.
inline float wrapPhase(float p, float n) {
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

/// Reads a one-cycle table at phase p with linear interpolation, wrapping at the end.
inline float readTable(const float* table, std::int32_t n, float nf, float p) {
    p = wrapPhase(p, nf);
    std::int32_t i = static_cast<std::int32_t>(p);
    if (i >= n) i = n - 1;
    const std::int32_t next = i + 1 == n ? 0 : i + 1;
    return table[i] + (table[next] - table[i]) * (p - static_cast<float>(i));
}

/// One sample of a linear glide; a value that is not finite snaps to the target.
inline void advanceGlide(float& now, float target, float& step) {
    if (step != 0.0f) {
        now += step;
        if ((step > 0.0f && now >= target) || (!(step > 0.0f) && now <= target)) {
            now = target;
            step = 0.0f;
        }
    }
    if (!std::isfinite(now) || !std::isfinite(step)) {
        now = std::isfinite(target) ? target : 1.0f;
        step = 0.0f;
    }
}

/// An output sample: not-a-number and infinities become silence, anything beyond the limit is
/// held at it, and everything within passes unchanged.
inline float limitOutput(float x) {
    if (!std::isfinite(x)) return 0.0f;
    if (x > kOutputLimit) return kOutputLimit;
    if (x < -kOutputLimit) return -kOutputLimit;
    return x;
}

inline void freeVoice(Voice& voice) {
    voice.state = VoiceFree;
    voice.note = 0;
    voice.sampleCount = 0;
}

} // namespace

void referenceRender(SynthEngine& engine, const ChannelState& channel1, float* const* outputs,
                     int n) {
    if (n <= 0) return;
    float* const main = outputs[0];
    float* const send = outputs[1];
    const std::int32_t tableLength = engine.tableLength;
    const float* const carrier = engine.carrierTable.get();
    const float* const modulator = engine.modulatorTable.get();
    const float* const lfoTable = engine.lfoTable.get();
    if (!carrier || !modulator || !lfoTable || tableLength <= 0 || !engine.patch) {
        // No tables yet (before the first sample-rate change): silence.
        std::memset(main, 0, static_cast<std::size_t>(n) * sizeof(float));
        std::memset(send, 0, static_cast<std::size_t>(n) * sizeof(float));
        return;
    }
    const float* const curve = engine.curveTable.get();
    const std::int32_t curveLength = engine.curveLength;
    const float nf = static_cast<float>(tableLength);
    const Patch& patch = *engine.patch;
    const float modulation = static_cast<float>(patch.modulation);
    const float lfoDepth = static_cast<float>(patch.lfoDepth);

    for (int k = 0; k < n; ++k) {
        advanceGlide(engine.gainNow, engine.gainTarget, engine.gainStep);
        advanceGlide(engine.bendNow, engine.bendTarget, engine.bendStep);
        const float bend = engine.bendNow;

        float sum = 0.0f;
        for (int v = 0; v < kVoiceCount; ++v) {
            Voice& voice = engine.voices[v];
            if (voice.state == VoiceFree) continue;
            VoiceLfo& lfo = engine.lfo[v];

            const float lfoValue = readTable(lfoTable, tableLength, nf, lfo.lfoPhase);
            const float e2 = envelopeValue(voice, 2, curve, curveLength);
            const float m = readTable(modulator, tableLength, nf, voice.phaseA);
            const float pc =
                voice.phaseA + m * (modulation * e2) * (1.0f + lfoDepth * lfoValue * kPercent);
            const float a = readTable(carrier, tableLength, nf, pc);
            const float e0 = envelopeValue(voice, 0, curve, curveLength);
            const float b = readTable(carrier, tableLength, nf, voice.phaseB);
            if (voice.sampleCount < INT32_MAX) voice.sampleCount += 1;
            const float out =
                (b * e0 + e0 * a) * static_cast<float>(voice.velocity) * kVelocityScale;
            const float inc = engine.noteIncrement[voice.note & 0x7F] * bend;
            const float e1 = envelopeValue(voice, 1, curve, curveLength);
            voice.phaseA = wrapPhase(voice.phaseA + e1 * inc, nf);
            voice.phaseB =
                wrapPhase(voice.phaseB + (lfoDepth * lfoValue * kVibratoScale + 1.0f) * inc, nf);

            if (!std::isfinite(out)) {
                freeVoice(voice); // a voice gone non-finite is silenced, not mixed
            } else {
                sum += out;
                if (voice.state == VoiceReleased && voice.levels[0] == 0.0f) freeVoice(voice);
            }
            lfo.lfoPhase = wrapPhase(lfo.lfoPhase + lfo.lfoIncrement, nf);
        }
        const float mixed = sum * engine.gainNow;
        main[k] = std::isfinite(mixed) ? mixed : 0.0f;
    }

    referenceOutputChain(engine, channel1, main, send, n);
}

void referenceOutputChain(SynthEngine& engine, const ChannelState& channel1, float* main,
                          float* send, int n) {
    const Patch& patch = *engine.patch;
    for (int k = 0; k < n; ++k) {
        main[k] *= kSplitGain;
        send[k] = main[k];
    }
    processBiquad(engine.sendFilter, send, n);
    processEcho(engine.echo, patch.echoTime > 0 ? send : main, n);
    processEnsemble(engine.ensemble, patch.lfoDepth > 0 ? send : main, n);
    const float sendReturn = static_cast<float>(patch.sendReturn);
    for (int k = 0; k < n; ++k)
        main[k] += sendReturn * send[k] * kPercent;
    processBiquad(engine.hpf, main, n);
    processBiquad(engine.lpf, main, n);
    applyShaper(engine.shaperTable.get(), engine.shaperLength, engine.shaperDrive, main, n);
    const float panLeft = channel1.panLeft;
    const float panRight = channel1.panRight;
    for (int k = 0; k < n; ++k) {
        send[k] = limitOutput(main[k] * panRight);
        main[k] = limitOutput(main[k] * panLeft);
    }
}
