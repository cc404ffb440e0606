// The engine's initial state and note handling: voice allocation, the LFO rate, attack and
// velocity scaling of the envelopes, the peak rule, the controllers and the glides.
#include "engine/synth_engine.h"
#include "patches/patch_bank.h"
#include "tests/support/engine_fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace enginetest;

namespace {

constexpr int kNoteOn = 0x90;
constexpr int kNoteOff = 0x80;
constexpr int kControl = 0xB0;
constexpr int kBend = 0xE0;

class NoteHandlingTest : public ::testing::Test {
  protected:
    void on(int note, int velocity = 100) {
        handleMidi(*engine, channels[0], kNoteOn, note, velocity);
    }
    void off(int note) { handleMidi(*engine, channels[0], kNoteOff, note, 0); }
    /// Renders frames frames one at a time (so glides can be watched sample by sample).
    void renderFrames(int frames) {
        StereoBuffer out(1);
        for (int i = 0; i < frames; ++i)
            render(*engine, channels[0], out.outputs(), 1);
    }
    Patch& patch() { return *engine->patch; }

    std::unique_ptr<SynthEngine> engine = makeTestEngine(0);
    Channels channels;
};

} // namespace

TEST(SynthEngineTest, StartsInItsInitialState) {
    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    ASSERT_TRUE(engine);
    ASSERT_EQ(engine->shaperLength, 512);
    ASSERT_TRUE(engine->shaperTable);
    EXPECT_EQ(engine->shaperTable[0], 0.0f);
    EXPECT_NEAR(engine->shaperTable[511], std::atan(2.5 * 511 / 512) / std::atan(2.5), 1e-6);
    EXPECT_EQ(engine->shaperDrive, 1.0f);
    for (const Voice& voice : engine->voices) {
        EXPECT_EQ(voice.state, VoiceFree);
        EXPECT_EQ(voice.note, 0);
        EXPECT_EQ(voice.envelopeCount, 3);
        EXPECT_FLOAT_EQ(voice.usPerSample, 1e6f / 44100.0f);
    }
    EXPECT_EQ(engine->hpf.type, BiquadHighPass);
    EXPECT_FLOAT_EQ(engine->hpf.q, 0.9f);
    EXPECT_EQ(engine->lpf.type, BiquadLowPass);
    EXPECT_FLOAT_EQ(engine->lpf.q, 0.9f);
    EXPECT_EQ(engine->sendFilter.type, BiquadBandPass);
    EXPECT_FLOAT_EQ(engine->sendFilter.q, 0.3f);
    EXPECT_EQ(engine->sendFilter.frequency, 1500.0f);
    for (const Biquad* filter : {&engine->hpf, &engine->lpf, &engine->sendFilter}) {
        EXPECT_EQ(filter->flags, 0);
        EXPECT_EQ(filter->mix, 1.0f);
    }
    EXPECT_EQ(engine->patch, &engine->patches[0]);
    for (int i = 0; i < kPatchCount; ++i) {
        const Patch& p = engine->patches[i];
        EXPECT_EQ(p.formatVersion, 1) << i;
        EXPECT_STREQ(p.productTag, "kelvar(Quarnel)") << i;
        EXPECT_EQ(p.recordSize, 328) << i;
        EXPECT_EQ(p.recordSizeCheck, -329) << i;
        // Everything after the header is the bank's.
        EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&p) + kPatchHeaderSize,
                              reinterpret_cast<const char*>(&PatchBank[i]) + kPatchHeaderSize,
                              sizeof(Patch) - kPatchHeaderSize),
                  0)
            << i;
    }
    EXPECT_EQ(engine->sampleRate, 44100.0f);
    EXPECT_FALSE(engine->carrierTable);
    EXPECT_FALSE(engine->modulatorTable);
    EXPECT_FALSE(engine->lfoTable);
    EXPECT_FALSE(engine->curveTable);
    EXPECT_EQ(engine->tableLength, 0);
    EXPECT_EQ(engine->curveLength, 0);
    EXPECT_EQ(engine->gainNow, 1.0f);
    EXPECT_EQ(engine->bendNow, 1.0f);
    EXPECT_EQ(engine->gainStep, 0.0f);
    EXPECT_EQ(engine->bendStep, 0.0f);
    EXPECT_EQ(engine->echo.inverseLength, 0.0f);
    EXPECT_EQ(engine->echo.mix, 1.0f);
    EXPECT_EQ(engine->ensemble.lineRate, 0.0f);
    EXPECT_EQ(engine->ensemble.phase, 0.0f);
    EXPECT_EQ(engine->ensemble.position, 0);
}

// ---- allocation -------------------------------------------------------------------------------

TEST_F(NoteHandlingTest, NinthNoteIsDroppedWithoutStealing) {
    for (int i = 0; i < 9; ++i)
        on(60 + i);
    for (int v = 0; v < kVoiceCount; ++v) {
        EXPECT_EQ(engine->voices[v].state, VoiceHeld);
        EXPECT_EQ(engine->voices[v].note, 60 + v);
    }
    off(68);
    EXPECT_EQ(countVoices(*engine, VoiceHeld), kVoiceCount);
}

TEST_F(NoteHandlingTest, SameNoteTwiceReleasesTheFirstVoice) {
    on(60, 90);
    on(60, 110);
    EXPECT_EQ(engine->voices[0].state, VoiceReleased);
    EXPECT_EQ(engine->voices[0].sampleCount, 0);
    EXPECT_EQ(engine->voices[1].state, VoiceHeld);
    EXPECT_EQ(engine->voices[1].note, 60);
    EXPECT_EQ(engine->voices[1].velocity, 110);
}

TEST_F(NoteHandlingTest, SameNoteWithEveryVoiceBusyLeavesTheVoicesAlone) {
    for (int i = 0; i < kVoiceCount; ++i)
        on(60 + i);
    renderFrames(10);
    for (int i = 0; i < kVoiceCount; ++i)
        on(60 + i, 110); // no voice is free to take any of them
    for (int v = 0; v < kVoiceCount; ++v) {
        EXPECT_EQ(engine->voices[v].state, VoiceHeld) << v;
        EXPECT_EQ(engine->voices[v].note, 60 + v) << v;
        EXPECT_EQ(engine->voices[v].velocity, 100) << v;
        EXPECT_EQ(engine->voices[v].sampleCount, 10) << v;
    }
    off(63);
    EXPECT_EQ(engine->voices[3].state, VoiceReleased);
    EXPECT_EQ(countVoices(*engine, VoiceHeld), kVoiceCount - 1);
}

TEST_F(NoteHandlingTest, SameNoteTwiceWithAFreeVoiceFirstHoldsBoth) {
    on(50);
    on(60);
    off(50);
    renderFrames(1); // a release of 0 ms frees voice 0 at once
    ASSERT_EQ(engine->voices[0].state, VoiceFree);
    on(60);
    EXPECT_EQ(engine->voices[0].note, 60);
    EXPECT_EQ(engine->voices[0].state, VoiceHeld);
    EXPECT_EQ(engine->voices[1].note, 60);
    EXPECT_EQ(engine->voices[1].state, VoiceHeld);
    off(60);
    EXPECT_EQ(engine->voices[0].state, VoiceReleased);
    EXPECT_EQ(engine->voices[1].state, VoiceReleased);
}

TEST_F(NoteHandlingTest, VelocityZeroIsANoteOff) {
    on(60);
    renderFrames(10);
    ASSERT_EQ(engine->voices[0].sampleCount, 10);
    on(60, 0);
    EXPECT_EQ(engine->voices[0].state, VoiceReleased);
    EXPECT_EQ(engine->voices[0].sampleCount, 0);
    EXPECT_EQ(countVoices(*engine, VoiceHeld), 0);
}

TEST_F(NoteHandlingTest, NoteZeroNeverSounds) {
    on(0);
    EXPECT_EQ(countVoices(*engine, VoiceFree), kVoiceCount);
    on(1);
    EXPECT_EQ(engine->voices[0].note, 1);
}

TEST_F(NoteHandlingTest, NoteOffLeavesReleasedAndOtherNotesAlone) {
    on(60);
    on(61);
    off(60);
    renderFrames(1);
    off(60); // already released and freed
    EXPECT_EQ(engine->voices[1].state, VoiceHeld);
    off(127);
    EXPECT_EQ(engine->voices[1].state, VoiceHeld);
}

// ---- LFO rate -----------------------------------------------------------------------------------

TEST_F(NoteHandlingTest, LfoRateFollowsTheKey) {
    patch().lfoRate = 50; // 10 Hz at note 64
    on(64);
    on(127);
    on(32);
    // Table samples per output sample for a rate in Hz: Hz x tableLength / sample rate.
    const float perHz = kTableLength / kRate;
    EXPECT_NEAR(engine->lfo[0].lfoIncrement, 10.0f * perHz, 1e-6);
    EXPECT_NEAR(engine->lfo[1].lfoIncrement, 12.0f * perHz, 1e-6);
    EXPECT_NEAR(engine->lfo[2].lfoIncrement, 8.0f * perHz, 1e-6);
    EXPECT_EQ(engine->lfo[0].lfoPhase, 0.0f);
}

// ---- envelope preparation
// ------------------------------------------------------------------------

class EnvelopeScalingTest : public NoteHandlingTest {
  protected:
    void SetUp() override {
        for (EnvelopeSpec& env : patch().envelopes) {
            env.startLevel = 0;
            env.peakLevel = 100;
            env.decayLevel = 50;
            env.sustainLevel = 40;
            env.attackMs = 100;
            env.holdMs = 200;
            env.decay1Ms = 300;
            env.decay2Ms = 400;
            env.releaseMs = 500;
        }
    }
    /// Segment lengths in ms of envelope index of a voice.
    std::vector<int> segmentsMs(int index, int voice = 0) {
        const PreparedEnvelope& env = engine->voices[voice].envelopes[index];
        std::vector<int> ms;
        int previous = 0;
        for (int end : env.segmentEndUs) {
            ms.push_back((end - previous) / 1000);
            previous = end;
        }
        return ms;
    }
};

TEST_F(EnvelopeScalingTest, NeutralSettingsKeepTheStoredTimes) {
    on(60, 127);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(segmentsMs(i), (std::vector<int>{100, 200, 300, 400})) << i;
        EXPECT_EQ(engine->voices[0].envelopes[i].releaseUs, 500000);
    }
}

TEST_F(EnvelopeScalingTest, AttackScalesTheFirstThreeSegments) {
    patch().attack = 100; // twice as long
    patch().sustain = 50; // amplitude decay 2 one and a half times
    on(60, 127);
    EXPECT_EQ(segmentsMs(0), (std::vector<int>{200, 400, 600, 600}));
    EXPECT_EQ(segmentsMs(1), (std::vector<int>{200, 400, 600, 400}));
    EXPECT_EQ(segmentsMs(2), (std::vector<int>{200, 400, 600, 400}));
    off(60);
    patch().attack = -80; // a fifth
    patch().sustain = -50;
    on(61, 127); // voice 1: voice 0 is still releasing
    // 20 x 0.01 in single precision lies just below 0.2, so the products truncate to 19, 39, 59.
    EXPECT_EQ(segmentsMs(0, 1), (std::vector<int>{19, 39, 59, 200}));
    EXPECT_EQ(segmentsMs(1, 1), (std::vector<int>{19, 39, 59, 400}));
}

TEST_F(EnvelopeScalingTest, VelocityScalesHoldAndFirstDecay) {
    patch().velocityTime = 100; // B = 2 at velocity 127
    on(60, 127);
    EXPECT_EQ(segmentsMs(0), (std::vector<int>{100, 100, 150, 400})); // amplitude: / B
    EXPECT_EQ(segmentsMs(1), (std::vector<int>{100, 400, 600, 400})); // pitch: x B
    EXPECT_EQ(segmentsMs(2), (std::vector<int>{100, 200, 300, 400})); // modulation: as stored
    off(60);
    on(61, 90); // velocity 90: B = 1
    EXPECT_EQ(segmentsMs(0, 1), (std::vector<int>{100, 200, 300, 400}));
    on(62, 64); // B = 1 + (-26) / 64 = 0.59375; times truncate toward zero
    EXPECT_EQ(segmentsMs(0, 2), (std::vector<int>{100, 336, 505, 400}));
    EXPECT_EQ(segmentsMs(1, 2), (std::vector<int>{100, 118, 178, 400}));
}

TEST_F(EnvelopeScalingTest, PeakRule) {
    on(60, 127);
    EXPECT_FLOAT_EQ(engine->voices[0].envelopes[0].level[1], 1.00f);
    off(60);
    on(61, 1); // 100 - 50 x 0.7937 = 60.3
    EXPECT_FLOAT_EQ(engine->voices[1].envelopes[0].level[1], 0.60f);
    EXPECT_FLOAT_EQ(engine->voices[1].envelopes[2].level[1], 0.60f);
    EXPECT_FLOAT_EQ(engine->voices[1].envelopes[1].level[1], 1.00f); // pitch: as stored
    patch().attack = 100; // G = 50 x 2 + 50 = 150, limited to 127
    on(62, 127);
    EXPECT_FLOAT_EQ(engine->voices[2].envelopes[0].level[1], 1.27f);
    on(63, 1); // 127 - 77 x 0.7937 = 65.9
    EXPECT_FLOAT_EQ(engine->voices[3].envelopes[0].level[1], 0.65f);
    patch().attack = -80; // G = 50 x 0.2 + 50 = 60
    on(64, 127);
    EXPECT_FLOAT_EQ(engine->voices[4].envelopes[0].level[1], 0.60f);
}

TEST_F(EnvelopeScalingTest, ExtremeVelocityFactorsStayDefined) {
    patch().velocityTime = 100;
    for (EnvelopeSpec& env : patch().envelopes) {
        env.attackMs = 5;
        env.holdMs = 3;
        env.decay1Ms = 2000000000;
    }
    on(20, 45); // B = 0: infinite scaled times
    on(21, 1);  // B = -88: negative scaled times
    on(22, 44); // B slightly negative
    patch().attack = 127;
    patch().velocityTime = -128;
    on(23, 127);
    StereoBuffer out(4410);
    render(*engine, channels[0], out.outputs(), 4410);
    for (int v = 0; v < 4; ++v)
        for (float level : engine->voices[v].levels) {
            EXPECT_TRUE(std::isfinite(level));
            EXPECT_GE(level, 0.0f);
            EXPECT_LE(level, 1.27f);
        }
    for (int k = 0; k < 4410; ++k)
        ASSERT_TRUE(std::isfinite(out.left[k]));
}

// Where the factor's formula gives zero or less, the nearest positive factor toward velocity
// 90 stands in: the scaled times change in one direction with velocity, and a pluck (sustain
// level 0) sounds at every velocity. Positive factors are used as they come.
TEST_F(EnvelopeScalingTest, NonPositiveVelocityFactorsTakeTheNearestPositiveOne) {
    for (int velocityTime : {100, 127, -128}) {
        SCOPED_TRACE(velocityTime);
        patch().velocityTime = static_cast<std::int8_t>(velocityTime);
        patch().envelopes[0] = EnvelopeSpec{32, 0, 0, 100, 50, 0, 0, 0, 1, 20, 100, 10, 100};
        int previousHold = velocityTime > 0 ? INT32_MAX : 0;
        for (int velocity = 1; velocity <= 127; ++velocity) {
            on(60, velocity);
            const std::vector<int> times = segmentsMs(0, 0);
            StereoBuffer out(441); // 10 ms: long past the attack of 1 ms
            render(*engine, channels[0], out.outputs(), 441);
            EXPECT_NE(out.left[440], 0.0f) << "silent at velocity " << velocity;
            off(60);
            engine->voices[0] = Voice{};
            // Amplitude hold = int(20 / B): B grows with velocity for a positive velocityTime,
            // so the hold never grows; the other way round for a negative one.
            const int hold = times[1];
            if (velocityTime > 0) {
                EXPECT_LE(hold, previousHold) << velocity;
            } else {
                EXPECT_GE(hold, previousHold) << velocity;
            }
            previousHold = hold;
        }
    }
    // A positive factor is used as it comes: 1 + (46 - 90) / 46 for velocityTime 100.
    patch().velocityTime = 100;
    on(61, 46);
    const float b = 1.0f + 100.0f * 0.01f * static_cast<float>(46 - 90) * (1.0f / 46.0f);
    EXPECT_EQ(segmentsMs(0, 0)[1], static_cast<int>(20.0f * (1.0f / b)));
    EXPECT_GT(segmentsMs(0, 0)[1], 400);
}

// ---- controllers and glides
// ------------------------------------------------------------------------

TEST_F(NoteHandlingTest, Controller7GlidesTheGainOver50Milliseconds) {
    channels[0].volume = 64 * 0.007874016f;
    handleMidi(*engine, channels[0], kControl, 7, 64);
    const float target = 64.0f / 127.0f;
    EXPECT_NEAR(engine->gainTarget, target, 1e-6);
    renderFrames(1102);
    EXPECT_NEAR(engine->gainNow, 1.0f - (1.0f - target) * 1102 / 2205, 1e-4);
    renderFrames(1098); // 2200 samples: still gliding
    EXPECT_GT(engine->gainNow, engine->gainTarget);
    EXPECT_NE(engine->gainStep, 0.0f);
    renderFrames(10);
    EXPECT_EQ(engine->gainNow, engine->gainTarget);
    EXPECT_EQ(engine->gainStep, 0.0f);
    EXPECT_NEAR(engine->gainNow, 0.504f, 1e-3);
}

TEST_F(NoteHandlingTest, GainFollowsChannel1Only) {
    channels[1].volume = 0.0f;
    handleMidi(*engine, channels[0], kControl, 7, 0); // sent on channel 2
    EXPECT_EQ(engine->gainTarget, 1.0f);
    channels[0].expression = 0.5f;
    handleMidi(*engine, channels[0], kControl, 11, 64);
    EXPECT_EQ(engine->gainTarget, 0.5f);
    EXPECT_LT(engine->gainStep, 0.0f);
}

TEST_F(NoteHandlingTest, PitchBendGlidesToChannel1sFactor) {
    channels[0].bendFactor = 1.05f;
    handleMidi(*engine, channels[0], kBend, 16000, 125);
    EXPECT_EQ(engine->bendTarget, 1.05f);
    renderFrames(1000);
    EXPECT_GT(engine->bendNow, 1.0f);
    EXPECT_LT(engine->bendNow, 1.05f);
    renderFrames(1300);
    EXPECT_EQ(engine->bendNow, 1.05f);
    EXPECT_EQ(engine->bendStep, 0.0f);
}

TEST_F(NoteHandlingTest, NonFiniteGlideTargetsAreIgnored) {
    channels[0].bendFactor = std::nanf("");
    handleMidi(*engine, channels[0], kBend, 0, 0);
    EXPECT_EQ(engine->bendTarget, 1.0f);
    EXPECT_EQ(engine->bendStep, 0.0f);
    channels[0].volume = INFINITY;
    handleMidi(*engine, channels[0], kControl, 7, 127);
    EXPECT_EQ(engine->gainTarget, 1.0f);
}

TEST_F(NoteHandlingTest, ControllersWriteModulationAndAttackIntoThePatch) {
    handleMidi(*engine, channels[0], kControl, 21, 127);
    EXPECT_EQ(patch().attack, 100);
    handleMidi(*engine, channels[0], kControl, 21, 0);
    EXPECT_EQ(patch().attack, -80);
    handleMidi(*engine, channels[0], kControl, 21, 1); // -78.58 truncates toward zero
    EXPECT_EQ(patch().attack, -78);
    handleMidi(*engine, channels[0], kControl, 20, 127);
    EXPECT_EQ(patch().modulation, 100);
    handleMidi(*engine, channels[0], kControl, 20, 64);
    EXPECT_EQ(patch().modulation, 50);
    EXPECT_EQ(engine->patches[1].modulation, PatchBank[1].modulation); // only the current one
}
