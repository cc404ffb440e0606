// The sample-rate rebuild: table lengths, note increments, the LFO and curve tables, the
// voices' time base, sr 0, and the re-run that a block-size change makes.
#include "patches/sample_rate.h"

#include "engine/synth_engine.h"
#include "patches/patch_application.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {
constexpr double kPi = 3.14159265358979323846;
} // namespace

TEST(NoteFrequency, EqualTemperamentAround440) {
    fillNoteFrequency();
    EXPECT_EQ(noteFrequency[69], 440.0f);
    EXPECT_FLOAT_EQ(noteFrequency[57], 220.0f);
    EXPECT_FLOAT_EQ(noteFrequency[81], 880.0f);
    for (int n = 1; n < 128; ++n)
        EXPECT_NEAR(noteFrequency[n] / noteFrequency[n - 1], std::pow(2.0, 1.0 / 12), 1e-5);
}

TEST(SampleRateChange, TableAndCurveLengthsFollowTheRate) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    EXPECT_EQ(engine->tableLength, 441);
    EXPECT_EQ(engine->curveLength, 2205);
    EXPECT_EQ(engine->sampleRate, 44100.0f);
    changeSampleRate(*engine, 48000.0f);
    EXPECT_EQ(engine->tableLength, 480);
    EXPECT_EQ(engine->curveLength, 2400);
    EXPECT_EQ(engine->sampleRate, 48000.0f);
    for (const Voice& v : engine->voices)
        EXPECT_FLOAT_EQ(v.usPerSample, 1e6f / 48000.0f);
}

TEST(SampleRateChange, IncrementsComeFromWholeSamplePeriods) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    EXPECT_FLOAT_EQ(engine->noteIncrement[69], 4.41f);           // period 100
    EXPECT_FLOAT_EQ(engine->noteIncrement[60], 441.0f / 169.0f); // period 169
    EXPECT_FLOAT_EQ(engine->noteIncrement[127], 110.25f);        // period 4
    EXPECT_FLOAT_EQ(engine->noteIncrement[0], 441.0f / 5394.0f); // period 5394
    for (int n = 0; n < 128; ++n) {
        const double period = 441.0 / engine->noteIncrement[n];
        EXPECT_NEAR(period, std::round(period), 1e-3 * period) << n;
        EXPECT_NEAR(period, 44100.0 / noteFrequency[n], 0.5 + 1e-3 * period) << n;
    }
}

TEST(SampleRateChange, LfoTableHoldsExactlyOneSineCycle) {
    auto engine = testsupport::makeTestEngine(48000.0f);
    const int L = engine->tableLength;
    EXPECT_EQ(engine->lfoTable[0], 0.0f);
    int signChanges = 0;
    for (int i = 0; i < L; ++i) {
        ASSERT_NEAR(engine->lfoTable[i], std::sin(2 * kPi * i / L), 1e-5) << i;
        if (i > 0 && (engine->lfoTable[i] < 0) != (engine->lfoTable[i - 1] < 0)) ++signChanges;
    }
    EXPECT_EQ(signChanges, 1);
    EXPECT_NEAR(engine->lfoTable[L / 4], 1.0f, 1e-6f);
}

TEST(SampleRateChange, CurveRisesFromZeroTowardsOne) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    const int M = engine->curveLength;
    EXPECT_EQ(engine->curveTable[0], 0.0f);
    for (int k = 1; k < M; ++k)
        ASSERT_GE(engine->curveTable[k], engine->curveTable[k - 1]) << k;
    EXPECT_LT(engine->curveTable[M - 1], 1.0f);
    EXPECT_GT(engine->curveTable[M - 1], 0.9999f);
    EXPECT_NEAR(engine->curveTable[M / 2], 0.5f, 1e-3f);
    for (int k = 0; k < M; k += 97)
        EXPECT_NEAR(engine->curveTable[k], (1 - std::cos(kPi * k / M)) / 2, 2e-6) << k;
}

TEST(SampleRateChange, RebuildsTheCurrentPatchForTheNewLength) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    applyPatch(*engine, 23, 0);
    changeSampleRate(*engine, 48000.0f);
    float peak = 0;
    for (int i = 0; i < 480; ++i)
        peak = std::max(peak, std::fabs(engine->carrierTable[i]));
    EXPECT_NEAR(peak, 0.95f, 1e-6f);
    EXPECT_EQ(engine->patch, &engine->patches[23]);
    EXPECT_EQ(engine->echo.length, 2); // Keys 1, echo -5: int(2.4)
}

TEST(SampleRateChange, ZeroKeepsTheOldTablesAndTheTimeBase) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    const float* carrier = engine->carrierTable.get();
    const float* modulator = engine->modulatorTable.get();
    const float* lfo = engine->lfoTable.get();
    const float* curve = engine->curveTable.get();
    const std::vector<float> carrierBefore(carrier, carrier + 441);
    const std::vector<float> lfoBefore(lfo, lfo + 441);
    engine->patch->carrierLayers[0].gain = -3.0f; // would change the carrier if it were rebuilt

    changeSampleRate(*engine, 0.0f);
    EXPECT_EQ(engine->tableLength, 0);
    EXPECT_EQ(engine->curveLength, 0);
    EXPECT_EQ(engine->sampleRate, 0.0f);
    EXPECT_EQ(engine->carrierTable.get(), carrier);
    EXPECT_EQ(engine->modulatorTable.get(), modulator);
    EXPECT_EQ(engine->lfoTable.get(), lfo);
    EXPECT_EQ(engine->curveTable.get(), curve);
    EXPECT_EQ(std::vector<float>(carrier, carrier + 441), carrierBefore);
    EXPECT_EQ(std::vector<float>(lfo, lfo + 441), lfoBefore);
    for (const Voice& v : engine->voices)
        EXPECT_FLOAT_EQ(v.usPerSample, 1e6f / 44100.0f);
    // No period fits into no samples: the increments stay finite (0) instead of 0 / 0.
    for (float inc : engine->noteIncrement)
        EXPECT_EQ(inc, 0.0f);
    EXPECT_EQ(engine->echo.inverseLength, 0.0f);
    EXPECT_EQ(engine->ensemble.lineRate, 0.0f);
}

TEST(SampleRateChange, ABlockSizeStyleRerunKeepsTheEnsembleLine) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    Ensemble& e = engine->ensemble;
    const float* line = e.line.get();
    e.line[10] = 0.75f;
    engine->hpf.frequency = 1234.0f;
    engine->carrierTable[5] = 42.0f;
    changeSampleRate(*engine, 44100.0f);
    EXPECT_EQ(e.line.get(), line);
    EXPECT_EQ(e.line[10], 0.75f);
    EXPECT_EQ(engine->hpf.frequency, 150.0f);
    EXPECT_NE(engine->carrierTable[5], 42.0f);
}

TEST(SampleRateChange, TinyRatesStayConsistent) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    for (float sr : {1.0f, 3.0f, 50.0f, 99.0f, 100.0f, 150.0f, 1000.0f, 8000.0f, 44100.0f}) {
        SCOPED_TRACE(sr);
        changeSampleRate(*engine, sr);
        const int L = static_cast<int>(sr * 0.01f);
        EXPECT_EQ(engine->tableLength, L);
        EXPECT_EQ(engine->curveLength, static_cast<int>(sr * 0.05f));
        for (float inc : engine->noteIncrement)
            ASSERT_TRUE(std::isfinite(inc) && inc >= 0.0f);
        for (int i = 0; i < engine->tableLength; ++i)
            ASSERT_TRUE(std::isfinite(engine->carrierTable[i]));
        for (float c : {engine->hpf.b0, engine->lpf.a1, engine->sendFilter.a2})
            ASSERT_TRUE(std::isfinite(c));
        const Ensemble& e = engine->ensemble;
        if (e.lineRate != 0.0f) {
            EXPECT_GE(e.maxDelay, 1);
            EXPECT_LE(e.maxDelay, e.lineLength);
            for (int t : e.taps)
                EXPECT_TRUE(t >= 0 && t < e.maxDelay);
        }
    }
}

TEST(SampleRateChange, UnusableRatesAreHandledLikeZero) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    const float* carrier = engine->carrierTable.get();
    for (float sr : {std::numeric_limits<float>::quiet_NaN(), -44100.0f,
                     std::numeric_limits<float>::infinity(), 1e12f}) {
        changeSampleRate(*engine, sr);
        EXPECT_EQ(engine->sampleRate, 0.0f) << sr;
        EXPECT_EQ(engine->tableLength, 0) << sr;
        EXPECT_EQ(engine->carrierTable.get(), carrier);
        for (float inc : engine->noteIncrement)
            ASSERT_EQ(inc, 0.0f);
    }
    changeSampleRate(*engine, 96000.0f);
    EXPECT_EQ(engine->tableLength, 960);
    EXPECT_EQ(engine->ensemble.lineRate, 96000.0f);
}
