// Patch application: which program becomes current, what is rebuilt from it, and the sizing
// of the ensemble and echo lines.
#include "patches/patch_application.h"

#include "engine/synth_engine.h"
#include "patches/performance_parameters.h"
#include "patches/sample_rate.h"
#include "patches/wave_tables.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

std::vector<float> tableCopy(const std::unique_ptr<float[]>& table, int length) {
    return std::vector<float>(table.get(), table.get() + length);
}

std::vector<float> expectedCarrier(const Patch& p, int L) {
    std::vector<float> t(L);
    buildCarrierTable(t.data(), L, p);
    return t;
}

std::vector<float> expectedModulator(const Patch& p, int L) {
    std::vector<float> t(L, 0.0f);
    addWaveLayer(t.data(), L, p.modulatorLayer);
    return t;
}

} // namespace

// ---- program selection and rebuild --------------------------------------------------------------

TEST(ApplyPatch, SelectingAProgramMakesItCurrentAndDerivesEverythingFromIt) {
    auto engine = testsupport::makeTestEngine();
    applyPatch(*engine, 38, 0); // "Bell 1"
    ASSERT_EQ(engine->patch, &engine->patches[38]);
    const Patch& p = engine->patches[38];
    EXPECT_EQ(tableCopy(engine->carrierTable, 441), expectedCarrier(p, 441));
    EXPECT_EQ(tableCopy(engine->modulatorTable, 441), expectedModulator(p, 441));
    EXPECT_EQ(engine->hpf.frequency, 100.0f);
    EXPECT_EQ(engine->lpf.frequency, 12500.0f);
    EXPECT_EQ(engine->sendFilter.frequency, 4000.0f);
    EXPECT_FLOAT_EQ(engine->ensemble.rate, 2.5f);
    EXPECT_FLOAT_EQ(engine->ensemble.depth, 1.2f);
    EXPECT_EQ(engine->echo.length, 4); // int(10 x 0.01 x 44100 x 0.001) = int(4.41)
}

TEST(ApplyPatch, TheModulatorTableIsNeitherTaperedNorNormalised) {
    auto engine = testsupport::makeTestEngine();
    Patch& p = *engine->patch;
    p.window = 100;
    p.modulatorLayer.gain = 3.0f;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    const auto modulator = tableCopy(engine->modulatorTable, 441);
    EXPECT_EQ(modulator, expectedModulator(p, 441));
    float peak = 0;
    for (float v : modulator)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 2.5f);
}

TEST(ApplyPatch, TheCurrentProgramNumberRebuildsNothing) {
    auto engine = testsupport::makeTestEngine();
    Patch& p = *engine->patch;
    const auto carrier = tableCopy(engine->carrierTable, 441);
    const float* echoLine = engine->echo.line.get();
    p.highPassHz = 777.0f;
    p.carrierLayers[0].gain = -4.0f;
    p.echoTime = 90;
    applyPatch(*engine, 0, 0);
    EXPECT_EQ(engine->hpf.frequency, 150.0f);
    EXPECT_EQ(tableCopy(engine->carrierTable, 441), carrier);
    EXPECT_EQ(engine->echo.line.get(), echoLine);
    EXPECT_EQ(engine->echo.length, 17);

    // -1 always rebuilds from the edited record.
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    EXPECT_EQ(engine->hpf.frequency, 777.0f);
    EXPECT_NE(tableCopy(engine->carrierTable, 441), carrier);
    EXPECT_EQ(engine->echo.length, 39);
}

TEST(ApplyPatch, ProgramNumbersBeyondTheBankAreIgnored) {
    auto engine = testsupport::makeTestEngine();
    engine->hpf.frequency = 999.0f;
    for (int program : {64, 65, 1000, 2147483647}) {
        applyPatch(*engine, program, 0);
        EXPECT_EQ(engine->patch, &engine->patches[0]);
        EXPECT_EQ(engine->hpf.frequency, 999.0f);
    }
}

TEST(ApplyPatch, AnEmptySlotGivesSilentTables) {
    auto engine = testsupport::makeTestEngine();
    applyPatch(*engine, 50, 0);
    for (int i = 0; i < 441; ++i) {
        ASSERT_EQ(engine->carrierTable[i], 0.0f);
        ASSERT_EQ(engine->modulatorTable[i], 0.0f);
    }
    EXPECT_EQ(engine->ensemble.lineRate, 0.0f);
    EXPECT_EQ(engine->echo.inverseLength, 0.0f);
}

TEST(ApplyPatch, FilterCutOffsTravelWithTheProgram) {
    auto engine = testsupport::makeTestEngine();
    setPerformanceParameter(*engine, ParamHighPass, 1.0f, 44100.0f);
    setPerformanceParameter(*engine, ParamLowPass, 0.0f, 44100.0f);
    EXPECT_EQ(engine->patches[0].highPassHz, 1500.0f);
    EXPECT_EQ(engine->patches[0].lowPassHz, 2000.0f);
    applyPatch(*engine, 1, 0); // away: the other program's own cut-offs
    EXPECT_EQ(engine->hpf.frequency, engine->patches[1].highPassHz);
    applyPatch(*engine, 0, 1); // and back: the change is still there
    EXPECT_EQ(engine->hpf.frequency, 1500.0f);
    EXPECT_EQ(engine->lpf.frequency, 2000.0f);
}

TEST(ApplyPatch, WithoutTablesOnlyFiltersAndDelaysAreSet) {
    fillNoteFrequency();
    auto engine = std::make_unique<SynthEngine>();
    testsupport::initialiseEngine(*engine);
    applyPatch(*engine, 2, 0); // no sample-rate change yet: no tables to fill
    EXPECT_EQ(engine->carrierTable, nullptr);
    EXPECT_EQ(engine->lpf.frequency, 7000.0f);
    EXPECT_EQ(engine->echo.length, 8); // at the engine's default 44100 Hz
}

// ---- ensemble -----------------------------------------------------------------------------------

TEST(ApplyPatchEnsemble, Lead1At44100SizesTheRingAndLaysOutTheTriangle) {
    auto engine = testsupport::makeTestEngine();
    const Ensemble& e = engine->ensemble;
    EXPECT_EQ(e.lineRate, 44100.0f);
    EXPECT_EQ(e.lineLength, 8820);
    EXPECT_NE(e.line, nullptr);
    EXPECT_EQ(e.maxDelay, 106);
    EXPECT_EQ(e.minDelay, 0);
    const int taps[16] = {0, 7, 14, 21, 28, 35, 42, 49, 49, 42, 35, 28, 21, 14, 7, 0};
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(e.taps[k], taps[k]) << k;
    EXPECT_EQ(e.phaseScale, 1.0f);
    EXPECT_FLOAT_EQ(e.rate, 5.9f);
    EXPECT_FLOAT_EQ(e.lfoStep, 5.9f / 44100.0f);
    EXPECT_EQ(e.base, 0.01f);
    EXPECT_EQ(e.mix, 1.0f);
}

TEST(ApplyPatchEnsemble, ZeroReturnLeavesTheUnitOffAndTheTapsAsTheyWere) {
    auto engine = testsupport::makeTestEngine();
    engine->patch->sendReturn = 0;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    EXPECT_EQ(engine->ensemble.lineRate, 0.0f);
    EXPECT_EQ(engine->ensemble.depth, 0.0f);
    EXPECT_EQ(engine->ensemble.taps[7], 49);
}

TEST(ApplyPatchEnsemble, TheLineSurvivesReapplicationAtTheSameRate) {
    auto engine = testsupport::makeTestEngine();
    Ensemble& e = engine->ensemble;
    const float* line = e.line.get();
    e.line[5] = 0.25f;
    e.position = 50;
    e.phase = 0.3f;
    applyPatch(*engine, 2, 0); // "Lead 3": same depth
    EXPECT_EQ(e.line.get(), line);
    EXPECT_EQ(e.line[5], 0.25f);
    EXPECT_EQ(e.position, 50);
    EXPECT_EQ(e.phase, 0.3f);

    // A shorter ring moves a write position beyond it back to 0.
    engine->patch->sendReturn = 20; // span 0.21 -> int(18.5) = 18
    applyPatch(*engine, kRebuildCurrentPatch, 2);
    EXPECT_EQ(e.maxDelay, 18);
    EXPECT_EQ(e.position, 0);
    EXPECT_EQ(e.line[5], 0.25f);
}

TEST(ApplyPatchEnsemble, ALineIsResizedAndClearedOnlyWhenTheRateChanges) {
    auto engine = testsupport::makeTestEngine();
    engine->ensemble.line[3] = 1.0f;
    changeSampleRate(*engine, 48000.0f);
    EXPECT_EQ(engine->ensemble.lineRate, 48000.0f);
    EXPECT_EQ(engine->ensemble.lineLength, 9600);
    EXPECT_EQ(engine->ensemble.line[3], 0.0f);
    EXPECT_EQ(engine->ensemble.maxDelay, 116); // int(1.21 x 48000 x 0.002)
}

TEST(ApplyPatchEnsemble, ASmallDepthAtALowRateStillLeavesAUsableRing) {
    // Return 1 at 22050 Hz: int(0.02 x 22050 x 0.002) = 0 entries would let the write position
    // run off the line; the ring keeps the current sample (taps 0) and passes the signal.
    auto engine = testsupport::makeTestEngine(22050.0f);
    engine->patch->sendReturn = 1;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    const Ensemble& e = engine->ensemble;
    EXPECT_EQ(e.lineRate, 22050.0f);
    EXPECT_EQ(e.maxDelay, 1);
    for (int t : e.taps)
        EXPECT_EQ(t, 0);
}

TEST(ApplyPatchEnsemble, ConfigureRefusesUnusableRatesAndDepths) {
    auto engine = testsupport::makeTestEngine();
    Ensemble& e = engine->ensemble;
    for (float sr : {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(),
                     std::numeric_limits<float>::infinity(), 1e12f}) {
        e.lineRate = 44100.0f;
        configureEnsemble(*engine, sr);
        EXPECT_EQ(e.lineRate, 0.0f) << sr;
    }
    e.depth = std::numeric_limits<float>::quiet_NaN();
    configureEnsemble(*engine, 44100.0f);
    EXPECT_EQ(e.lineRate, 0.0f);
    // A huge depth is limited to the whole line.
    e.depth = 1e20f;
    configureEnsemble(*engine, 44100.0f);
    EXPECT_EQ(e.lineRate, 44100.0f);
    EXPECT_LE(e.maxDelay, e.lineLength);
    for (int t : e.taps)
        EXPECT_TRUE(t >= 0 && t < e.maxDelay);
}

TEST(ApplyPatchEnsemble, ResizeIgnoresEmptyRequestsAndRecordsTheLength) {
    auto engine = testsupport::makeTestEngine();
    const float* line = engine->ensemble.line.get();
    resizeEnsembleLine(*engine, 0);
    resizeEnsembleLine(*engine, -5);
    EXPECT_EQ(engine->ensemble.line.get(), line);
    EXPECT_EQ(engine->ensemble.lineLength, 8820);
    resizeEnsembleLine(*engine, 12);
    EXPECT_EQ(engine->ensemble.lineLength, 12);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(engine->ensemble.line[i], 0.0f);
}

// ---- echo ---------------------------------------------------------------------------------------

TEST(ApplyPatchEcho, Lead1At44100Has17ZeroedSamples) {
    auto engine = testsupport::makeTestEngine();
    Echo& echo = engine->echo;
    EXPECT_EQ(echo.length, 17);
    EXPECT_FLOAT_EQ(echo.inverseLength, 1.0f / 17.0f);
    EXPECT_EQ(echo.position, 0);
    EXPECT_EQ(echo.accumulator, 0.0f);
    EXPECT_EQ(echo.mix, 1.0f);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(echo.line[i], 0.0f);
}

TEST(ApplyPatchEcho, EveryApplicationRecreatesTheLine) {
    auto engine = testsupport::makeTestEngine();
    Echo& echo = engine->echo;
    echo.line[3] = 0.5f;
    echo.position = 9;
    echo.accumulator = 2.0f;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    EXPECT_EQ(echo.line[3], 0.0f);
    EXPECT_EQ(echo.position, 0);
    EXPECT_EQ(echo.accumulator, 0.0f);
}

TEST(ApplyPatchEcho, ZeroLengthSwitchesTheUnitOffAndKeepsTheOldLine) {
    auto engine = testsupport::makeTestEngine();
    const float* line = engine->echo.line.get();
    engine->patch->echoTime = 2; // int(0.882) = 0 samples
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    EXPECT_EQ(engine->echo.inverseLength, 0.0f);
    EXPECT_EQ(engine->echo.length, 0);
    EXPECT_EQ(engine->echo.line.get(), line);
}

TEST(ApplyPatchEcho, NegativeTimesUseTheirMagnitude) {
    auto engine = testsupport::makeTestEngine();
    engine->patch->echoTime = -128;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    EXPECT_EQ(engine->echo.length, 56); // int(128 x 0.01 x 44100 x 0.001) = int(56.448)
    engine->patch->echoTime = -5;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    EXPECT_EQ(engine->echo.length, 2);
}
