// Rendering: the voice loop, the bus chain, gain staging, pitch, stretch independence and
// hostile values.
#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "patches/biquad.h"
#include "patches/patch_application.h"
#include "patches/sample_rate.h"
#include "engine/voice_lanes.h"
#include "tests/engine/reference_render.h"
#include "tests/support/engine_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using namespace enginetest;

namespace {

constexpr int kNoteOn = 0x90;
constexpr int kNoteOff = 0x80;

class RenderTest : public ::testing::Test {
  protected:
    void on(int note, int velocity = 127) {
        handleMidi(*engine, channels[0], kNoteOn, note, velocity);
    }
    StereoBuffer renderBlock(int frames) {
        StereoBuffer out(frames, 7.0f);
        render(*engine, channels[0], out.outputs(), frames);
        return out;
    }
    static float peak(const std::vector<float>& v, std::size_t from = 0) {
        float p = 0.0f;
        for (std::size_t i = from; i < v.size(); ++i)
            p = std::max(p, std::fabs(v[i]));
        return p;
    }
    static bool allFinite(const StereoBuffer& out) {
        for (std::size_t i = 0; i < out.left.size(); ++i)
            if (!std::isfinite(out.left[i]) || !std::isfinite(out.right[i])) return false;
        return true;
    }

    std::unique_ptr<SynthEngine> engine = makeTestEngine();
    Channels channels;
};

/// The shaper's curve at input x, from its defining arctangent.
double shaped(double x) {
    return std::atan(x * 0.15 * 2.5) / std::atan(2.5);
}

} // namespace

TEST_F(RenderTest, NoVoicesGiveSilence) {
    const StereoBuffer out = renderBlock(256);
    EXPECT_EQ(peak(out.left), 0.0f);
    EXPECT_EQ(peak(out.right), 0.0f);
}

TEST_F(RenderTest, NoTablesGiveSilence) {
    engine = createSynthEngine();
    on(60);
    const StereoBuffer out = renderBlock(256);
    EXPECT_EQ(peak(out.left), 0.0f);
    EXPECT_EQ(peak(out.right), 0.0f);
}

TEST_F(RenderTest, GainStagingThroughTheShaper) {
    // Both oscillators in phase at 0.95 peak, velocity 127, gain 1: 1.9 before the split,
    // 0.95 after it, and about 0.288 at the outputs through the shaper.
    on(69);
    const StereoBuffer out = renderBlock(4410);
    EXPECT_NEAR(peak(out.left), shaped(0.95), 2e-4);
    EXPECT_NEAR(peak(out.left), 0.288, 1e-3);
    EXPECT_EQ(out.left, out.right);
}

TEST_F(RenderTest, VelocityAndGainScaleTheVoice) {
    on(69, 64);
    engine->gainNow = engine->gainTarget = 0.5f;
    const StereoBuffer out = renderBlock(4410);
    EXPECT_NEAR(peak(out.left), shaped(0.95 * 64.0 / 127.0 * 0.5), 2e-4);
}

TEST_F(RenderTest, PanGainsOfChannel1) {
    on(69);
    channels[0].panRight = 0.0f; // controller 10 = 0
    const StereoBuffer out = renderBlock(441);
    EXPECT_EQ(peak(out.right), 0.0f);
    EXPECT_GT(peak(out.left), 0.2f);
    channels[0].panLeft = 0.25f;
    channels[0].panRight = 1.0f;
    const StereoBuffer out2 = renderBlock(441);
    for (std::size_t i = 0; i < out2.left.size(); ++i)
        ASSERT_EQ(out2.left[i], out2.right[i] * 0.25f);
}

TEST_F(RenderTest, ReleasedVoiceIsFreedInTheSampleItsAmplitudeReachesZero) {
    engine = makeTestEngine(10);
    on(69);
    renderBlock(100);
    handleMidi(*engine, channels[0], kNoteOff, 69, 0);
    const Voice& voice = engine->voices[0];
    int frames = 0;
    StereoBuffer one(1);
    while (voice.state != VoiceFree && frames < 10000) {
        render(*engine, channels[0], one.outputs(), 1);
        ++frames;
        if (voice.state != VoiceFree) {
            ASSERT_GT(voice.levels[0], 0.0f);
        }
    }
    EXPECT_EQ(voice.state, VoiceFree);
    EXPECT_EQ(voice.note, 0);
    EXPECT_EQ(voice.levels[0], 0.0f);
    EXPECT_NEAR(frames, 441, 2); // 10 ms
}

TEST_F(RenderTest, WhatAFreeVoiceHoldsIsNeverRead) {
    // A free voice keeps the phases it last had, which a sample-rate change can leave far
    // outside the new, shorter tables; here they are made as hostile as they can be.
    on(60);
    on(67);
    const StereoBuffer clean = [&] {
        std::unique_ptr<SynthEngine> other = makeTestEngine();
        Channels otherChannels;
        handleMidi(*other, otherChannels[0], kNoteOn, 60, 127);
        handleMidi(*other, otherChannels[0], kNoteOn, 67, 127);
        StereoBuffer out(600);
        render(*other, otherChannels[0], out.outputs(), 600);
        return out;
    }();
    const float hostile[] = {1e9f, -1e9f, std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity()};
    int i = 0;
    for (int v = 0; v < kVoiceCount; ++v) {
        if (engine->voices[v].state != VoiceFree) continue;
        engine->voices[v].phaseA = hostile[i++ % 4];
        engine->voices[v].phaseB = hostile[i++ % 4];
        engine->lfo[v].lfoPhase = hostile[i++ % 4];
    }
    const StereoBuffer out = renderBlock(600);
    EXPECT_EQ(out.left, clean.left);
    EXPECT_EQ(out.right, clean.right);
}

TEST_F(RenderTest, HeldVoiceIsNotFreedAtZeroAmplitude) {
    EnvelopeSpec& amplitude = engine->patch->envelopes[0];
    amplitude.startLevel = amplitude.peakLevel = amplitude.decayLevel = amplitude.sustainLevel = 0;
    on(69);
    const StereoBuffer out = renderBlock(1000);
    EXPECT_EQ(engine->voices[0].state, VoiceHeld);
    EXPECT_EQ(peak(out.left), 0.0f);
}

TEST_F(RenderTest, ZeroPitchEnvelopeStopsOscillatorA) {
    // Oscillator A frozen at phase 0 reads sin(0) = 0: only oscillator B sounds.
    EnvelopeSpec& pitch = engine->patch->envelopes[1];
    pitch.startLevel = pitch.peakLevel = pitch.decayLevel = pitch.sustainLevel = 0;
    on(69);
    const StereoBuffer out = renderBlock(4410);
    EXPECT_EQ(engine->voices[0].phaseA, 0.0f);
    EXPECT_NEAR(peak(out.left), shaped(0.95 / 2), 2e-4);
}

TEST_F(RenderTest, ABlockInTwoStretchesEqualsTheWholeBlock) {
    // Everything that keeps state between stretches takes part: filters, echo, ensemble on
    // both buses, modulation, LFOs, glides, envelopes.
    auto configure = [](SynthEngine& e) {
        Patch& p = *e.patch;
        p.modulation = 40;
        p.lfoRate = 30;
        p.lfoDepth = 25;  // ensemble on the send bus
        p.echoTime = -40; // echo on the main bus
        p.sendReturn = -60;
        for (EnvelopeSpec& env : p.envelopes) {
            env.startLevel = 20;
            env.attackMs = 3;
            env.holdMs = 1;
            env.decay1Ms = 4;
            env.decayLevel = 70;
            env.sustainLevel = 60;
            env.decay2Ms = 5;
            env.keyAmount = 5;
        }
        for (std::int32_t i = 0; i < kTableLength; ++i)
            e.modulatorTable[i] = static_cast<float>(std::sin(6.283185307 * 3 * i / kTableLength));
        e.hpf.frequency = 200.0f;
        e.lpf.frequency = 3000.0f;
        e.sendFilter.frequency = 1500.0f;
        designBiquad(e.hpf, kRate);
        designBiquad(e.lpf, kRate);
        designBiquad(e.sendFilter, kRate);
        e.echo.length = 17;
        e.echo.line.reset(new float[17]());
        e.echo.inverseLength = 1.0f / 17.0f;
        e.ensemble.lineLength = 200;
        e.ensemble.line.reset(new float[200]());
        e.ensemble.lineRate = kRate;
        e.ensemble.maxDelay = 106;
        e.ensemble.lfoStep = 3.0f / kRate;
        for (int k = 0; k < 8; ++k)
            e.ensemble.taps[k] = e.ensemble.taps[15 - k] = 2 + 7 * k;
    };
    std::unique_ptr<SynthEngine> other = makeTestEngine();
    configure(*engine);
    configure(*other);
    Channels otherChannels;
    for (SynthEngine* e : {engine.get(), other.get()}) {
        Channels& ch = e == engine.get() ? channels : otherChannels;
        handleMidi(*e, ch[0], kNoteOn, 60, 100);
        handleMidi(*e, ch[0], kNoteOn, 67, 80);
        ch[0].bendFactor = 1.03f;
        handleMidi(*e, ch[0], 0xE0, 9000, 0);
    }
    StereoBuffer whole(640);
    StereoBuffer parts(640);
    for (int block = 0; block < 10; ++block) {
        float* wholeOut[2] = {whole.left.data() + 64 * block, whole.right.data() + 64 * block};
        render(*engine, channels[0], wholeOut, 64);
        int done = 0;
        for (int length : {32, 1, 17, 14}) {
            float* partOut[2] = {parts.left.data() + 64 * block + done,
                                 parts.right.data() + 64 * block + done};
            render(*other, otherChannels[0], partOut, length);
            done += length;
        }
    }
    EXPECT_GT(peak(whole.left), 0.01f);
    EXPECT_EQ(whole.left, parts.left);
    EXPECT_EQ(whole.right, parts.right);
}

TEST_F(RenderTest, AChainAtRestLooksAgainAtLinesTheEffectsHaveWritten) {
    // The echo and the ensemble on the send bus with no return: their tails never reach the
    // filters, so after a note only their lines tell that the chain is not at rest yet, though
    // the lines were found quiet (and that remembered) before it. The ensemble's ring is long
    // enough to hold the note's last frames well after the filters have come to rest.
    constexpr int kRing = 4000;
    constexpr int kBlocks = 80;
    auto play = [](RenderFunction renderer) {
        std::unique_ptr<SynthEngine> e = makeTestEngine();
        Patch& p = *e->patch;
        p.lfoDepth = 25;
        p.echoTime = 40;
        p.sendReturn = 0;
        e->echo.length = 17;
        e->echo.line.reset(new float[17]());
        e->echo.inverseLength = 1.0f / 17.0f;
        e->ensemble.lineLength = kRing;
        e->ensemble.line.reset(new float[kRing]());
        e->ensemble.lineRate = 44100.0f;
        e->ensemble.maxDelay = kRing - 100;
        e->ensemble.lfoStep = 3.0f / 44100.0f;
        for (int k = 0; k < 8; ++k)
            e->ensemble.taps[k] = e->ensemble.taps[15 - k] = 2 + 400 * k;
        Channels c;
        StereoBuffer out(kBlocks * 256);
        auto block = [&](int b) {
            float* to[2] = {out.left.data() + 256 * b, out.right.data() + 256 * b};
            renderer(*e, c[0], to, 256);
        };
        block(0);
        handleMidi(*e, c[0], kNoteOn, 60, 127);
        for (int b = 1; b < 10; ++b)
            block(b);
        handleMidi(*e, c[0], kNoteOff, 60, 0);
        for (int b = 10; b < kBlocks; ++b)
            block(b);
        EXPECT_EQ(countVoices(*e, VoiceFree), kVoiceCount);
        return std::make_pair(out, std::move(e));
    };
    const auto [fastOut, fast] = play(render);
    const auto [referenceOut, reference] = play(referenceRender);
    EXPECT_GT(peak(fastOut.left), 0.01f);
    EXPECT_EQ(std::memcmp(fastOut.left.data(), referenceOut.left.data(), fastOut.left.size() * 4),
              0);
    EXPECT_EQ(std::memcmp(fast->echo.line.get(), reference->echo.line.get(), 17 * 4), 0);
    EXPECT_EQ(std::memcmp(fast->ensemble.line.get(), reference->ensemble.line.get(), kRing * 4), 0);
}

TEST(RenderPitchTest, Note69RepeatsEvery100SamplesAt44100Hz) {
    fillNoteFrequency();
    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    engine->patches[0] = plainPatch();
    changeSampleRate(*engine, 44100.0f);
    ASSERT_EQ(engine->tableLength, 441);
    // A plain sine carrier through transparent filters, so the output shows the voice's pitch.
    for (std::int32_t i = 0; i < engine->tableLength; ++i) {
        engine->carrierTable[i] = static_cast<float>(0.95 * std::sin(6.283185307 * i / 441));
        engine->modulatorTable[i] = 0.0f;
    }
    makeTransparent(engine->hpf);
    makeTransparent(engine->lpf);
    makeTransparent(engine->sendFilter);
    Channels channels;
    handleMidi(*engine, channels[0], kNoteOn, 69, 127);
    StereoBuffer out(44100);
    render(*engine, channels[0], out.outputs(), 44100);

    int rising = 0;
    double periodError = 0.0;
    double offByOne = 0.0;
    for (std::size_t k = 1; k < out.left.size(); ++k)
        if (out.left[k - 1] < 0.0f && out.left[k] >= 0.0f) ++rising;
    for (std::size_t k = 0; k + 101 < out.left.size(); ++k) {
        periodError = std::max(periodError, double(std::fabs(out.left[k + 100] - out.left[k])));
        offByOne = std::max(offByOne, double(std::fabs(out.left[k + 101] - out.left[k])));
    }
    EXPECT_NEAR(rising, 441, 1); // 441 Hz, not 440
    EXPECT_LT(periodError, 1e-3);
    EXPECT_GT(offByOne, 5e-3);
}

// ---- hostile values ----------------------------------------------------------------------------

TEST_F(RenderTest, NotANumberBendStaysFinite) {
    on(60);
    on(72);
    engine->bendNow = std::nanf("");
    StereoBuffer out = renderBlock(2048);
    EXPECT_TRUE(allFinite(out));
    engine->bendNow = 1.0f;
    engine->bendStep = std::nanf("");
    engine->bendTarget = INFINITY;
    engine->gainStep = INFINITY;
    out = renderBlock(2048);
    EXPECT_TRUE(allFinite(out));
    EXPECT_TRUE(std::isfinite(engine->bendNow));
    EXPECT_TRUE(std::isfinite(engine->gainNow));
    EXPECT_GT(peak(out.left), 0.0f);
}

TEST_F(RenderTest, NotANumberCarrierSilencesTheVoicesThatReadIt) {
    // Each voice ends in the frame whose sample is not a number, bit for bit as the scalar
    // reference ends it, in both builds of the voice kernel (which learns of such a sample
    // only after it has moved its voices on).
    std::vector<VoiceLaneKernel> kernels{VoiceLaneKernel::Baseline};
    for (VoiceLaneKernel kernel : {VoiceLaneKernel::Avx2, VoiceLaneKernel::Avx512})
        if (selectVoiceLaneKernel(kernel)) kernels.push_back(kernel);
    auto play = [](RenderFunction renderer) {
        std::unique_ptr<SynthEngine> e = makeTestEngine();
        Channels c;
        StereoBuffer out(4410 + 64);
        handleMidi(*e, c[0], kNoteOn, 60, 127);
        renderer(*e, c[0], out.outputs(), 64);
        for (int i = 100; i < 110; ++i)
            e->carrierTable[i] = std::nanf("");
        handleMidi(*e, c[0], kNoteOn, 64, 127);
        float* rest[2] = {out.left.data() + 64, out.right.data() + 64};
        renderer(*e, c[0], rest, 4410);
        EXPECT_EQ(countVoices(*e, VoiceFree), kVoiceCount);
        return out;
    };
    const StereoBuffer reference = play(referenceRender);
    EXPECT_TRUE(allFinite(reference));
    for (VoiceLaneKernel kernel : kernels) {
        ASSERT_TRUE(selectVoiceLaneKernel(kernel));
        const StereoBuffer out = play(render);
        EXPECT_EQ(std::memcmp(out.left.data(), reference.left.data(), out.left.size() * 4), 0);
        EXPECT_EQ(std::memcmp(out.right.data(), reference.right.data(), out.right.size() * 4), 0);
    }
    selectVoiceLaneKernel(kernels.back());
}

TEST_F(RenderTest, PhasesThatLandOnTheTableEdgesWrapAsTheReferenceWrapsThem) {
    // Steps that leave a phase a hair below 0 (so that adding the table length rounds to the
    // length itself), exactly on the length or a whole number of lengths away: every kernel
    // build must take such lanes to the scalar wrap, its samples and the phases it keeps bit
    // for bit as the reference's.
    std::vector<VoiceLaneKernel> kernels{VoiceLaneKernel::Baseline};
    for (VoiceLaneKernel kernel : {VoiceLaneKernel::Avx2, VoiceLaneKernel::Avx512})
        if (selectVoiceLaneKernel(kernel)) kernels.push_back(kernel);
    const float n = static_cast<float>(kTableLength);
    for (float increment : {-1e-6f, -1e-30f, n, 2.0f * n, -n, -2.0f * n}) {
        std::vector<float> phases;
        auto play = [increment, &phases](RenderFunction renderer) {
            std::unique_ptr<SynthEngine> e = makeTestEngine();
            e->patch->modulation = 50;
            e->patch->lfoDepth = 50;
            e->noteIncrement[60] = increment;
            // Entry 0 is not 0, and the spare entry past the end is what no wrapped phase reads.
            for (std::int32_t i = 0; i < kTableLength; ++i)
                e->carrierTable[i] = 0.5f + 0.25f * std::sin(0.1f * static_cast<float>(i));
            e->carrierTable[kTableLength] = e->lfoTable[kTableLength] = 9.0f;
            Channels c;
            StereoBuffer out(2205);
            handleMidi(*e, c[0], kNoteOn, 60, 100);
            handleMidi(*e, c[0], kNoteOn, 67, 100);
            e->lfo[0].lfoIncrement = increment;
            renderer(*e, c[0], out.outputs(), 2205);
            phases = {e->voices[0].phaseA, e->voices[0].phaseB, e->lfo[0].lfoPhase};
            return out;
        };
        const StereoBuffer reference = play(referenceRender);
        const std::vector<float> referencePhases = phases;
        for (VoiceLaneKernel kernel : kernels) {
            ASSERT_TRUE(selectVoiceLaneKernel(kernel));
            const StereoBuffer out = play(render);
            EXPECT_EQ(std::memcmp(out.left.data(), reference.left.data(), out.left.size() * 4), 0)
                << increment << " kernel " << static_cast<int>(kernel);
            EXPECT_EQ(phases, referencePhases)
                << increment << " kernel " << static_cast<int>(kernel);
        }
    }
    selectVoiceLaneKernel(kernels.back());
}

TEST_F(RenderTest, NonFiniteTablesKeepTheOutputFinite) {
    for (int which = 0; which < 3; ++which) {
        engine = makeTestEngine();
        engine->patch->modulation = 50;
        engine->patch->lfoDepth = 50;
        on(60);
        on(67);
        if (which == 0) fillTable(engine->lfoTable.get(), kTableLength, std::nanf(""));
        if (which == 1) fillTable(engine->modulatorTable.get(), kTableLength, -INFINITY);
        if (which == 2) fillTable(engine->curveTable.get(), kCurveLength, INFINITY);
        const StereoBuffer out = renderBlock(4410);
        EXPECT_TRUE(allFinite(out)) << which;
    }
}

TEST_F(RenderTest, HugeIncrementsFinishAndStayFinite) {
    for (float increment : {1e30f, INFINITY, -1e30f, 3e7f, -441.5f, std::nanf("")}) {
        engine = makeTestEngine();
        engine->noteIncrement[60] = increment;
        on(60);
        engine->lfo[0].lfoIncrement = increment;
        const StereoBuffer out = renderBlock(4410);
        EXPECT_TRUE(allFinite(out)) << increment;
        EXPECT_GE(engine->voices[0].phaseA, 0.0f) << increment;
        EXPECT_LT(engine->voices[0].phaseA, float(kTableLength)) << increment;
        EXPECT_GE(engine->voices[0].phaseB, 0.0f) << increment;
        EXPECT_LT(engine->voices[0].phaseB, float(kTableLength)) << increment;
    }
}

TEST_F(RenderTest, ZeroFramesChangeNothing) {
    on(60);
    StereoBuffer out(1, 3.0f);
    render(*engine, channels[0], out.outputs(), 0);
    EXPECT_EQ(engine->voices[0].sampleCount, 0);
    EXPECT_EQ(out.left[0], 3.0f);
}

TEST_F(RenderTest, OutputsStayFiniteAndWithinFourWhateverReachesThem) {
    // A carrier of 1e30 leaves the shaper near 4e28; behind an output filter with a gain of 1e7
    // the shaper's linear continuation overflows to infinity near the peaks.
    for (float filterGain : {1.0f, 1e7f}) {
        engine = makeTestEngine();
        for (std::int32_t i = 0; i < kTableLength; ++i)
            engine->carrierTable[i] *= 1e30f;
        engine->lpf.b0 = filterGain;
        on(69);
        const StereoBuffer out = renderBlock(441);
        EXPECT_TRUE(allFinite(out)) << filterGain;
        EXPECT_LE(peak(out.left), 4.0f) << filterGain;
        EXPECT_LE(peak(out.right), 4.0f) << filterGain;
        // Held at the limit on both sides of the wave, not silenced.
        EXPECT_EQ(*std::max_element(out.left.begin(), out.left.end()), 4.0f) << filterGain;
        EXPECT_EQ(*std::min_element(out.right.begin(), out.right.end()), -4.0f) << filterGain;
    }
}
