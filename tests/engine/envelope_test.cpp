// The envelope generator: segment levels and curve, sustain, linear release, key scaling and
// times far outside the usual range.
#include "engine/envelope.h"
#include "engine/voice.h"
#include "tests/support/engine_fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace enginetest;

namespace {

EnvelopeSpec spec(int l0, int l1, int l2, int l3, int l4, int s0, int s1, int s2, int s3,
                  int release, int keyCentre = 64, int keyAmount = 0) {
    EnvelopeSpec e{};
    e.keyCentre = static_cast<std::int8_t>(keyCentre);
    e.keyAmount = static_cast<std::int8_t>(keyAmount);
    e.startLevel = static_cast<std::int8_t>(l0);
    e.peakLevel = static_cast<std::int8_t>(l1);
    e.decayLevel = static_cast<std::int8_t>(l2);
    e.sustainLevel = static_cast<std::int8_t>(l3);
    e.releaseLevel = static_cast<std::int8_t>(l4);
    e.attackMs = s0;
    e.holdMs = s1;
    e.decay1Ms = s2;
    e.decay2Ms = s3;
    e.releaseMs = release;
    return e;
}

class EnvelopeTest : public ::testing::Test {
  protected:
    EnvelopeTest() : curve(kCurveLength) { fillCurve(curve.data(), kCurveLength); }

    void start(const EnvelopeSpec& s, int note = 64) {
        voice = Voice{};
        voice.usPerSample = 1e6f / kRate;
        voice.state = VoiceHeld;
        voice.note = static_cast<std::int8_t>(note);
        prepareEnvelope(voice, 0, s);
    }
    float at(std::int32_t samples) {
        voice.sampleCount = samples;
        return envelopeValue(voice, 0, curve.data(), kCurveLength);
    }
    /// Value with no curve table: the segments are straight lines.
    float linearAt(std::int32_t samples) {
        voice.sampleCount = samples;
        return envelopeValue(voice, 0, nullptr, 0);
    }
    void release() {
        voice.state = VoiceReleased;
        voice.sampleCount = 0;
    }
    static std::int32_t ms(double milliseconds) {
        return static_cast<std::int32_t>(std::lround(milliseconds * kRate / 1000));
    }

    std::vector<float> curve;
    Voice voice;
};

} // namespace

TEST_F(EnvelopeTest, SegmentsOfTheExampleShape) {
    start(spec(30, 100, 70, 75, 0, 20, 50, 250, 7000, 30));
    EXPECT_FLOAT_EQ(at(0), 0.30f);
    // The attack follows the half-cosine: a quarter of the way in it has risen by 14.6 %.
    EXPECT_NEAR(at(ms(5)), 0.30 + 0.70 * (1 - std::cos(3.14159265358979323846 / 4)) / 2, 2e-3);
    EXPECT_NEAR(at(ms(10)), 0.65, 2e-3);
    float previous = 0.0f;
    for (std::int32_t k = 0; k <= ms(20); k += 21) {
        const float v = at(k);
        EXPECT_GE(v, previous) << k;
        previous = v;
    }
    EXPECT_NEAR(at(ms(20)), 1.00, 1e-5);
    EXPECT_NEAR(at(ms(45)), 1.00, 1e-6);
    EXPECT_NEAR(at(ms(70)), 1.00, 1e-4);
    EXPECT_NEAR(at(ms(195)), 0.85, 2e-3);
    EXPECT_NEAR(at(ms(320)), 0.70, 1e-4);
    EXPECT_NEAR(at(ms(3820)), 0.725, 2e-3);
    EXPECT_NEAR(at(ms(7320)), 0.75, 1e-4);
    EXPECT_EQ(at(ms(8000)), 0.75f);
    EXPECT_EQ(at(ms(60000)), 0.75f);
}

TEST_F(EnvelopeTest, ReleaseFallsLinearlyAndEndsInExactZero) {
    start(spec(30, 100, 70, 75, 0, 20, 50, 250, 7000, 30));
    ASSERT_NEAR(at(ms(50)), 1.0, 1e-6); // note-off during the hold
    release();
    EXPECT_NEAR(at(0), 1.0, 1e-6);
    EXPECT_NEAR(at(ms(10)), 2.0 / 3.0, 1e-3); // a straight line, not the curve
    EXPECT_NEAR(at(ms(15)), 0.5, 1e-3);
    EXPECT_GT(at(ms(30) - 1), 0.0f);
    for (std::int32_t k = ms(30) + 1; k < ms(100); ++k)
        ASSERT_EQ(at(k), 0.0f) << k;
    EXPECT_EQ(at(ms(5000)), 0.0f);
}

TEST_F(EnvelopeTest, ReleaseTowardANonZeroLevelStillEndsInZero) {
    start(spec(100, 100, 100, 100, 50, 0, 0, 0, 0, 20));
    ASSERT_EQ(at(100), 1.0f);
    release();
    EXPECT_NEAR(at(ms(10)), 0.75, 1e-3);
    EXPECT_GT(at(ms(20) - 1), 0.5f);
    EXPECT_EQ(at(ms(20) + 1), 0.0f);
}

TEST_F(EnvelopeTest, NoteOffDuringTheAttackReleasesFromTheLevelReached) {
    start(spec(0, 100, 100, 100, 0, 20, 0, 0, 0, 30));
    const float reached = at(ms(10));
    ASSERT_NEAR(reached, 0.5, 2e-3);
    release();
    EXPECT_EQ(at(0), reached);
    EXPECT_NEAR(at(ms(15)), reached / 2, 1e-3);
}

TEST_F(EnvelopeTest, ZeroReleaseSilencesAtOnce) {
    start(spec(100, 100, 100, 100, 100, 0, 0, 0, 0, 0));
    ASSERT_EQ(at(5), 1.0f);
    release();
    EXPECT_EQ(at(0), 0.0f);
}

TEST_F(EnvelopeTest, KeyScalingChangesTheSpeed) {
    // Straight attack from 0 to 100 % over 100 ms; half of it at 50 ms for the centre key.
    const EnvelopeSpec s = spec(0, 100, 100, 100, 0, 100, 0, 0, 0, 10, 32, 10);
    start(s, 32);
    EXPECT_NEAR(linearAt(ms(50)), 0.5, 1e-4);
    start(s, 50); // an octave and a half above: 1 + 18/95 times as fast
    EXPECT_NEAR(linearAt(ms(50)), 0.5 * (1 + 18.0 / 95.0), 1e-4);
    start(s, 14); // 18 below: 1 - 18/32 times as fast
    EXPECT_NEAR(linearAt(ms(50)), 0.5 * (1 - 18.0 / 32.0), 1e-4);
    start(spec(0, 100, 100, 100, 0, 100, 0, 0, 0, 10, 32, -10), 50);
    EXPECT_NEAR(linearAt(ms(50)), 0.5 * (1 - 18.0 / 95.0), 1e-4);
}

TEST_F(EnvelopeTest, KeyAmountMinus128ReadsAsMinus100) {
    start(spec(0, 100, 100, 100, 0, 100, 0, 0, 0, 10, 64, -128));
    EXPECT_FLOAT_EQ(voice.envelopes[0].rateAbove, -10.0f / 63.0f);
    EXPECT_FLOAT_EQ(voice.envelopes[0].rateBelow, -10.0f / 64.0f);
    start(spec(0, 100, 100, 100, 0, 100, 0, 0, 0, 10, 64, -127));
    EXPECT_FLOAT_EQ(voice.envelopes[0].rateAbove, -12.7f / 63.0f);
}

TEST_F(EnvelopeTest, PreparedFieldsAndTheHeldLevelReset) {
    voice.heldLevels[0] = 0.7f;
    start(spec(10, 20, 30, 40, 50, 1, 2, 0, 4, 5));
    voice.heldLevels[1] = 0.7f;
    prepareEnvelope(voice, 1, spec(10, 20, 30, 40, 50, 1, 2, 0, 4, 5));
    EXPECT_EQ(voice.heldLevels[1], 0.0f);
    const PreparedEnvelope& env = voice.envelopes[0];
    EXPECT_EQ(env.segmentEndUs[0], 1000);
    EXPECT_EQ(env.segmentEndUs[1], 3000);
    EXPECT_EQ(env.segmentEndUs[2], 3000);
    EXPECT_EQ(env.segmentEndUs[3], 7000);
    EXPECT_EQ(env.segmentRate[2], 1.0f); // empty segment
    EXPECT_FLOAT_EQ(env.segmentRate[3], 1.0f / 4000.0f);
    EXPECT_EQ(env.releaseUs, 5000);
    EXPECT_FLOAT_EQ(env.releaseRate, 1.0f / 5000.0f);
    EXPECT_FLOAT_EQ(env.level[4], 0.5f);
}

TEST_F(EnvelopeTest, ExtremeTimesStayInsideTheCurveTable) {
    // A short heap table, so that any read past it is caught by the address sanitizer.
    const std::int32_t length = 8;
    std::vector<float> small(length);
    fillCurve(small.data(), length);
    const std::vector<EnvelopeSpec> hostile = {
        spec(0, 100, 50, 25, 0, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX),
        spec(0, 100, 50, 25, 0, -20, -50, 3, -7000, -30),
        spec(-128, 127, -128, 127, -128, 2147483, 2147484, -2147484, 1, 1),
        spec(0, 100, 50, 25, 0, 20, 50, 250, 7000, 30, 64, 127),  // time runs backward far
        spec(0, 100, 50, 25, 0, 20, 50, 250, 7000, 30, 1, -128),  // below the centre
        spec(0, 100, 50, 25, 0, 20, 50, 250, 7000, 30, 127, 100), // centre at the top
        spec(0, 100, 50, 25, 0, 20, 50, 250, 7000, 30, 0, 100),   // centre at the bottom
    };
    const std::int32_t counts[] = {-5, 0, 1, 100, 882, 44100, 10000000, INT32_MAX};
    for (std::size_t h = 0; h < hostile.size(); ++h) {
        for (int note : {1, 2, 64, 126, 127}) {
            start(hostile[h], note);
            const PreparedEnvelope& env = voice.envelopes[0];
            const float lo = std::fmin(std::fmin(env.level[0], env.level[1]),
                                       std::fmin(env.level[2], env.level[3]));
            const float hi = std::fmax(std::fmax(env.level[0], env.level[1]),
                                       std::fmax(env.level[2], env.level[3]));
            for (std::int32_t c : counts) {
                voice.sampleCount = c;
                const float v = envelopeValue(voice, 0, small.data(), length);
                ASSERT_TRUE(std::isfinite(v)) << h << " " << note << " " << c;
                ASSERT_GE(v, c < 0 ? 0.0f : lo) << h << " " << note << " " << c;
                ASSERT_LE(v, c < 0 ? 0.0f : hi) << h << " " << note << " " << c;
            }
        }
    }
}

TEST_F(EnvelopeTest, ABackwardKeyScaledReleaseStillEnds) {
    // keyAmount 127 around 64 makes the note 1 run its time backward (factor about -11).
    start(spec(100, 100, 100, 100, 0, 0, 0, 0, 0, 30, 64, 127), 1);
    ASSERT_EQ(at(10), 1.0f);
    release();
    EXPECT_EQ(at(ms(30)), 0.0f);
    EXPECT_EQ(at(ms(100)), 0.0f);
}
