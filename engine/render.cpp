// One stretch of output, in chunks of at most kLaneChunk frames: the glides, the eight voices
// side by side (voice_lanes.cpp), their sum in voice order, and the output chain fused into one
// pass (split, send filter, echo, ensemble, return, high-pass, low-pass, shaper, pan; the lanes
// kernel of engine/output_chain_kernel.h). Each unit of the chain keeps its own order of
// operations, so fusing changes no bit; the three filters' recurrences then overlap instead of
// running one buffer after another.
//
// A chunk in which no voice sounds and the filters, the echo and the ensemble hold nothing but
// zeros is not run through the chain: the outputs are the zeros it would produce, and the
// units' positions, phases and lines are moved on exactly as the chain would move them.
#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/midi_input.h"
#include "engine/output_chain.h"
#include "engine/output_chain_kernel.h"
#include "engine/shaper.h"
#include "engine/synth_engine.h"
#include "engine/voice_lanes.h"
#include "patches/biquad.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

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

bool anyVoiceSounding(const SynthEngine& engine) {
    for (const Voice& voice : engine.voices)
        if (voice.state != VoiceFree) return true;
    return false;
}

/// True when every value is +0, the value silence leaves in the lines (a -0 there could still
/// come out as -0). The bits are or-ed over blocks, a loop the compiler turns into vector
/// instructions, with a look after each block.
bool allPositiveZero(const float* values, std::int32_t count) {
    constexpr std::int32_t kBlock = 64;
    std::uint32_t bits = 0;
    std::int32_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        for (std::int32_t j = 0; j < kBlock; ++j) {
            std::uint32_t v;
            std::memcpy(&v, values + i + j, sizeof v);
            bits |= v;
        }
        if (bits != 0) return false;
    }
    for (; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, values + i, sizeof v);
        bits |= v;
    }
    return bits == 0;
}

/// The two glides for n frames: gain[k] and bend[k] are the values frame k uses.
void runGlides(SynthEngine& engine, float* gain, float* bend, int n) {
    if (engine.gainStep == 0.0f && engine.bendStep == 0.0f && std::isfinite(engine.gainNow) &&
        std::isfinite(engine.bendNow)) {
        for (int k = 0; k < n; ++k) {
            gain[k] = engine.gainNow;
            bend[k] = engine.bendNow;
        }
        return;
    }
    for (int k = 0; k < n; ++k) {
        advanceGlide(engine.gainNow, engine.gainTarget, engine.gainStep);
        advanceGlide(engine.bendNow, engine.bendTarget, engine.bendStep);
        gain[k] = engine.gainNow;
        bend[k] = engine.bendNow;
    }
}

/// The chain for n frames one unit after another on each frame, for filters that run their
/// section twice (no built-in program has one): main holds the voices' mix on entry; main and
/// send receive the left and right outputs.
template <bool echoOnSend, bool ensembleOnSend>
void runChainPerUnit(OutputChain& c, float* main, float* send, int n) {
    Biquad sendFilter = c.sendFilter, hpf = c.hpf, lpf = c.lpf;
    EchoRun echo = c.echo;
    const bool echoOn = c.echoOn, ensembleOn = c.ensembleOn;
    const float sendReturn = c.sendReturn;
    EnsemblePlan plan;
    if (ensembleOn) planEnsemble(c.ensemble, plan, n);
    const EnsembleRun& ensemble = c.ensemble;
    for (int k = 0; k < n; ++k) {
        float x = main[k] * kSplitGain;
        float s = biquadSample(sendFilter, x);
        if (echoOn) {
            if (echoOnSend)
                s = echoSample(echo, s);
            else
                x = echoSample(echo, x);
        }
        if (ensembleOn) {
            if (ensembleOnSend)
                s = plannedEnsembleSample(ensemble, plan, k, s);
            else
                x = plannedEnsembleSample(ensemble, plan, k, x);
        }
        send[k] = biquadSample(lpf, biquadSample(hpf, x + sendReturn * s * kPercent));
    }
    shapeAndPan(c.shaper, c.shaperOn, c.panLeft, c.panRight, main, send, n);
    c.sendFilter = sendFilter;
    c.hpf = hpf;
    c.lpf = lpf;
    c.echo = echo;
}

/// The chain for one chunk: the lanes kernel the processor runs best where it takes the chain,
/// else unit by unit.
template <bool echoOnSend, bool ensembleOnSend>
void runChainFor(OutputChain& c, bool lanes, float* main, float* send, int n) {
    if (!lanes)
        runChainPerUnit<echoOnSend, ensembleOnSend>(c, main, send, n);
    else if (activeVoiceLaneKernel() != VoiceLaneKernel::Baseline)
        // The AVX-512 forms gain the chain nothing, so the AVX2 build serves both.
        runOutputChainLanesAvx2(c, echoOnSend, ensembleOnSend, main, send, n);
    else
        runOutputChainLanesBaseline(c, echoOnSend, ensembleOnSend, main, send, n);
}

void copyHistory(Biquad& to, const Biquad& from) {
    std::memcpy(to.state, from.state, sizeof to.state);
}

} // namespace

void runOutputChainLanesBaseline(OutputChain& c, bool echoOnSend, bool ensembleOnSend, float* main,
                                 float* send, int n) {
    runChainLanes(c, echoOnSend, ensembleOnSend, main, send, n);
}

void processOutputChain(SynthEngine& engine, const ChannelState& channel1, float* main, float* send,
                        int n) {
    const Patch& patch = *engine.patch;
    OutputChain c{};
    c.sendFilter = engine.sendFilter;
    c.hpf = engine.hpf;
    c.lpf = engine.lpf;
    c.echoOn = beginEcho(engine.echo, c.echo);
    c.ensembleOn = beginEnsemble(engine.ensemble, c.ensemble);
    c.shaperOn =
        beginShaper(engine.shaperTable.get(), engine.shaperLength, engine.shaperDrive, c.shaper);
    c.sendReturn = static_cast<float>(patch.sendReturn);
    c.panLeft = channel1.panLeft;
    c.panRight = channel1.panRight;
    const bool echoOnSend = patch.echoTime > 0;
    const bool ensembleOnSend = patch.lfoDepth > 0;
    // The lanes kernel takes one section per filter, an echo ring it keeps a history for and
    // an ensemble whose taps stay four entries short of its ring; anything else goes unit by
    // unit.
    const bool lanes = outputChainTakesLanes(c);
    for (int start = 0; start < n; start += kEnsemblePlanFrames) {
        const int frames = std::min(kEnsemblePlanFrames, n - start);
        float* const left = main + start;
        float* const right = send + start;
        if (echoOnSend)
            ensembleOnSend ? runChainFor<true, true>(c, lanes, left, right, frames)
                           : runChainFor<true, false>(c, lanes, left, right, frames);
        else
            ensembleOnSend ? runChainFor<false, true>(c, lanes, left, right, frames)
                           : runChainFor<false, false>(c, lanes, left, right, frames);
    }
    copyHistory(engine.sendFilter, c.sendFilter);
    copyHistory(engine.hpf, c.hpf);
    copyHistory(engine.lpf, c.lpf);
    if (c.echoOn) endEcho(engine.echo, c.echo);
    if (c.ensembleOn) endEnsemble(engine.ensemble, c.ensemble);
}

namespace {

/// True when n frames of silence through the chain give silence out and leave the units as
/// they are but for their positions: no voice sounds, no glide runs, and the filters, the echo
/// and the ensemble hold only zeros.
bool chainAtRest(const SynthEngine& engine) {
    if (anyVoiceSounding(engine)) return false;
    if (engine.gainStep != 0.0f || engine.bendStep != 0.0f) return false;
    if (!(std::isfinite(engine.gainNow) && engine.gainNow >= 0.0f)) return false;
    if (!std::isfinite(engine.bendNow)) return false;
    if (!biquadAtRest(engine.sendFilter) || !biquadAtRest(engine.hpf) || !biquadAtRest(engine.lpf))
        return false;
    const Echo& echo = engine.echo;
    if (echo.inverseLength != 0.0f && echo.line && echo.length > 0 &&
        !allPositiveZero(echo.line.get(), echo.length))
        return false;
    const Ensemble& ensemble = engine.ensemble;
    if (ensemble.lineRate != 0.0f && ensemble.line && ensemble.maxDelay > 0 &&
        ensemble.maxDelay <= ensemble.lineLength &&
        !allPositiveZero(ensemble.line.get(), ensemble.maxDelay))
        return false;
    return true;
}

void settleFilter(Biquad& filter) {
    // Silence in leaves the history all positive zeros after one frame.
    const int used = (filter.flags & kBiquadTwoPass) != 0 ? 8 : 4;
    for (int i = 0; i < used; ++i)
        filter.state[i] = 0.0f;
}

/// n frames of the chain at rest: writes what the chain would write and moves the units on.
void skipChain(SynthEngine& engine, const ChannelState& channel1, float* main, float* send, int n) {
    settleFilter(engine.sendFilter);
    settleFilter(engine.hpf);
    settleFilter(engine.lpf);

    // The echo's line and the ensemble's ring hold only zeros (chainAtRest looked), and
    // silence writes zeros over them, so they are left as they are.
    EchoRun echo{};
    if (beginEcho(engine.echo, echo)) {
        // The running sum is formed afresh at each wrap, and over a ring of zeros that is 0.
        echo.accumulator = (echo.accumulator - 0.0f) + 0.0f;
        const std::int64_t moved = static_cast<std::int64_t>(echo.position) + n;
        if (moved >= echo.length) echo.accumulator = 0.0f;
        // Within one more ring length (as a block almost always is) a subtraction will do.
        echo.position =
            static_cast<std::int32_t>(moved < 2 * std::int64_t{echo.length}
                                          ? (moved >= echo.length ? moved - echo.length : moved)
                                          : moved % echo.length);
        endEcho(engine.echo, echo);
    }

    EnsembleRun ensemble{};
    if (beginEnsemble(engine.ensemble, ensemble)) {
        skipEnsembleSweep(ensemble, n);
        endEnsemble(engine.ensemble, ensemble);
    }

    const float left = limitOutput(0.0f * channel1.panLeft);
    const float right = limitOutput(0.0f * channel1.panRight);
    // Positive zeros (a pan not below 0) are cleared bytes; anything else goes four frames to
    // a store (the outputs may overlap as far as the compiler knows, which would keep it from
    // doing so itself).
    std::uint32_t leftBits, rightBits;
    std::memcpy(&leftBits, &left, sizeof leftBits);
    std::memcpy(&rightBits, &right, sizeof rightBits);
    if ((leftBits | rightBits) == 0) {
        std::memset(main, 0, static_cast<std::size_t>(n) * sizeof(float));
        std::memset(send, 0, static_cast<std::size_t>(n) * sizeof(float));
        return;
    }
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        _mm_storeu_ps(main + k, _mm_set1_ps(left));
        _mm_storeu_ps(send + k, _mm_set1_ps(right));
    }
    for (; k < n; ++k) {
        main[k] = left;
        send[k] = right;
    }
}

/// Repeats each one-cycle table's first entry after its last.
void closeCycles(SynthEngine& engine) {
    const std::int32_t n = engine.tableLength;
    engine.carrierTable[n] = engine.carrierTable[0];
    engine.modulatorTable[n] = engine.modulatorTable[0];
    engine.lfoTable[n] = engine.lfoTable[0];
}

} // namespace

void render(SynthEngine& engine, const ChannelState& channel1, float* const* outputs, int n) {
    if (n <= 0) return;
    float* const main = outputs[0];
    float* const send = outputs[1];
    if (!engine.carrierTable || !engine.modulatorTable || !engine.lfoTable ||
        engine.tableLength <= 0 || !engine.patch) {
        // No tables yet (before the first sample-rate change): silence.
        std::memset(main, 0, static_cast<std::size_t>(n) * sizeof(float));
        std::memset(send, 0, static_cast<std::size_t>(n) * sizeof(float));
        return;
    }
    closeCycles(engine);

    alignas(16) float lanes[kLaneChunk * kVoiceCount];
    alignas(16) float gain[kLaneChunk];
    alignas(16) float bend[kLaneChunk];
    for (int start = 0; start < n; start += kLaneChunk) {
        const int frames = std::min(kLaneChunk, n - start);
        float* const chunkMain = main + start;
        float* const chunkSend = send + start;
        if (chainAtRest(engine)) {
            // Nothing changes during a call but what the chain itself does, so a chain at rest
            // stays at rest to its end: the rest of the call is skipped in one go.
            skipChain(engine, channel1, chunkMain, chunkSend, n - start);
            break;
        }
        runGlides(engine, gain, bend, frames);
        if (anyVoiceSounding(engine)) {
            renderVoiceLanes(engine, bend, lanes, frames);
            mixVoiceLanes(lanes, gain, chunkMain, frames);
        } else {
            for (int k = 0; k < frames; ++k) {
                const float mixed = 0.0f * gain[k];
                chunkMain[k] = std::isfinite(mixed) ? mixed : 0.0f;
            }
        }
        processOutputChain(engine, channel1, chunkMain, chunkSend, frames);
    }
}
