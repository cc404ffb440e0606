// The six performance parameters: scalings, display texts, reported values and what each
// change recomputes.
#include "patches/performance_parameters.h"

#include "engine/synth_engine.h"
#include "patches/biquad.h"
#include "patches/patch_application.h"
#include "patches/wave_tables.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr float kFs = 44100.0f;

/// Stored value of each parameter: the patch byte or the filter's frequency.
float stored(const SynthEngine& e, int index) {
    switch (index) {
    case ParamWindow:
        return e.patch->window;
    case ParamModulation:
        return e.patch->modulation;
    case ParamAttack:
        return e.patch->attack;
    case ParamSustain:
        return e.patch->sustain;
    case ParamHighPass:
        return e.hpf.frequency;
    default:
        return e.lpf.frequency;
    }
}

std::string display(const SynthEngine& e, int index) {
    char text[32];
    std::memset(text, 'x', sizeof text);
    describePerformanceParameter(e, index, text);
    return text;
}

} // namespace

TEST(PerformanceParameters, HostValuesOneAndZeroReachTheEndsOfEveryRange) {
    auto engine = testsupport::makeTestEngine();
    const float top[6] = {100, 100, 100, 100, 1500, 20000};
    const float bottom[6] = {0, 0, -80, -99, 10, 2000};
    for (int i = 0; i < kParameterCount; ++i) {
        SCOPED_TRACE(i);
        setPerformanceParameter(*engine, i, 1.0f, kFs);
        EXPECT_EQ(stored(*engine, i), top[i]);
        EXPECT_EQ(describePerformanceParameter(*engine, i, nullptr), 1.0f);
        setPerformanceParameter(*engine, i, 0.0f, kFs);
        EXPECT_EQ(stored(*engine, i), bottom[i]);
        EXPECT_EQ(describePerformanceParameter(*engine, i, nullptr), 0.0f);
    }
}

TEST(PerformanceParameters, HalfwayValuesStoreTruncatedProducts) {
    auto engine = testsupport::makeTestEngine();
    const float half[6] = {50, 50, 10, 0, 755, 11000}; // int(50.45), int(90.45) - 80, ...
    for (int i = 0; i < kParameterCount; ++i) {
        setPerformanceParameter(*engine, i, 0.5f, kFs);
        EXPECT_EQ(stored(*engine, i), half[i]) << i;
    }
    EXPECT_EQ(display(*engine, ParamWindow), "50");
    EXPECT_EQ(display(*engine, ParamAttack), "10");
    EXPECT_FLOAT_EQ(describePerformanceParameter(*engine, ParamAttack, nullptr), 0.5f);
    EXPECT_FLOAT_EQ(describePerformanceParameter(*engine, ParamWindow, nullptr), 0.5f);
    EXPECT_EQ(display(*engine, ParamHighPass), "755");
    EXPECT_EQ(display(*engine, ParamLowPass), "11000");
}

TEST(PerformanceParameters, ValuesReadBackQuantisedToTheirSteps) {
    auto engine = testsupport::makeTestEngine();
    const double scales[6] = {100.9, 100.9, 180.9, 199.9, 1490.9, 18000.9};
    const double steps[6] = {100, 100, 180, 199, 1490, 18000};
    for (int i = 0; i < kParameterCount; ++i)
        for (float v : {0.13f, 0.377f, 0.81f, 0.999f}) {
            setPerformanceParameter(*engine, i, v, kFs);
            const double expected = std::floor(double(v) * scales[i]) / steps[i];
            EXPECT_NEAR(describePerformanceParameter(*engine, i, nullptr), expected, 1e-6)
                << i << " " << v;
        }
}

TEST(PerformanceParameters, DisplaysSignedBytesAndWholeHertz) {
    auto engine = testsupport::makeTestEngine();
    setPerformanceParameter(*engine, ParamSustain, 0.0f, kFs);
    EXPECT_EQ(display(*engine, ParamSustain), "-99");
    EXPECT_EQ(display(*engine, ParamHighPass), "150");
    EXPECT_EQ(display(*engine, ParamLowPass), "6500");
    applyPatch(*engine, 6, 0); // "Lead 7": HPF 50, LPF 15500
    EXPECT_EQ(display(*engine, ParamHighPass), "50");
    EXPECT_EQ(display(*engine, ParamLowPass), "15500");
    EXPECT_EQ(display(*engine, ParamWindow), "20");
    EXPECT_EQ(display(*engine, ParamModulation), "25");
    // Reported from the filter's current frequency, fractional hertz truncated.
    engine->hpf.frequency = 99.9f;
    EXPECT_EQ(display(*engine, ParamHighPass), "99");
    EXPECT_FLOAT_EQ(describePerformanceParameter(*engine, ParamHighPass, nullptr),
                    (99.9f - 10.0f) * 0.00067114097f);
}

TEST(PerformanceParameters, WindowRebuildsOnlyTheCarrierTable) {
    auto engine = testsupport::makeTestEngine();
    const std::vector<float> modulator(engine->modulatorTable.get(),
                                       engine->modulatorTable.get() + 441);
    const float* echoLine = engine->echo.line.get();
    engine->hpf.frequency = 300.0f; // not redesigned by a window change
    setPerformanceParameter(*engine, ParamWindow, 1.0f, kFs);
    std::vector<float> expected(441);
    buildCarrierTable(expected.data(), 441, *engine->patch);
    EXPECT_EQ(std::vector<float>(engine->carrierTable.get(), engine->carrierTable.get() + 441),
              expected);
    EXPECT_EQ(engine->carrierTable[0], 0.0f); // window 100 tapers to 0 at the ends
    EXPECT_EQ(std::vector<float>(engine->modulatorTable.get(), engine->modulatorTable.get() + 441),
              modulator);
    EXPECT_EQ(engine->echo.line.get(), echoLine);
    EXPECT_EQ(engine->hpf.frequency, 300.0f);
}

TEST(PerformanceParameters, ModulationAttackAndSustainOnlyStoreTheirBytes) {
    auto engine = testsupport::makeTestEngine();
    const std::vector<float> carrier(engine->carrierTable.get(), engine->carrierTable.get() + 441);
    setPerformanceParameter(*engine, ParamModulation, 0.7f, kFs);
    setPerformanceParameter(*engine, ParamAttack, 0.7f, kFs);
    setPerformanceParameter(*engine, ParamSustain, 0.7f, kFs);
    EXPECT_EQ(engine->patch->modulation, 70);
    EXPECT_EQ(engine->patch->attack, 46);  // int(126.63) - 80
    EXPECT_EQ(engine->patch->sustain, 40); // int(139.93) - 99
    EXPECT_EQ(std::vector<float>(engine->carrierTable.get(), engine->carrierTable.get() + 441),
              carrier);
    // The bytes live in the engine's copy of the program.
    applyPatch(*engine, 5, 0);
    applyPatch(*engine, 0, 5);
    EXPECT_EQ(engine->patch->modulation, 70);
}

TEST(PerformanceParameters, FilterChangesRedesignWithTheGivenRate) {
    auto engine = testsupport::makeTestEngine();
    setPerformanceParameter(*engine, ParamLowPass, 0.5f, 22050.0f);
    Biquad expected;
    expected.type = BiquadLowPass;
    expected.q = 0.9f;
    expected.frequency = 11000.0f;
    designBiquad(expected, 22050.0f);
    EXPECT_EQ(engine->lpf.b0, expected.b0);
    EXPECT_EQ(engine->lpf.a1, expected.a1);
    // 11000 Hz is above 0.49 x 22050: the design limits and stores the cut-off.
    EXPECT_EQ(engine->lpf.frequency, 10804.5f);

    setPerformanceParameter(*engine, ParamHighPass, 0.2f, kFs);
    Biquad hp;
    hp.type = BiquadHighPass;
    hp.q = 0.9f;
    hp.frequency = 308.0f; // 10 + int(298.18)
    designBiquad(hp, kFs);
    EXPECT_EQ(engine->hpf.frequency, 308.0f);
    EXPECT_EQ(engine->hpf.b0, hp.b0);
    EXPECT_EQ(engine->hpf.a2, hp.a2);
}

TEST(PerformanceParameters, IndicesOutsideTheSixAreIgnored) {
    auto engine = testsupport::makeTestEngine();
    Patch before;
    std::memcpy(&before, engine->patch, sizeof before);
    for (int index : {6, 7, 100, -1}) {
        setPerformanceParameter(*engine, index, 0.5f, kFs);
        char text[8] = "keep";
        EXPECT_EQ(describePerformanceParameter(*engine, index, text), 0.0f);
        EXPECT_STREQ(text, "keep");
    }
    EXPECT_EQ(std::memcmp(&before, engine->patch, sizeof before), 0);
    EXPECT_EQ(engine->hpf.frequency, 150.0f);
    EXPECT_EQ(engine->lpf.frequency, 6500.0f);
}

TEST(PerformanceParameters, OutOfRangeAndNaNHostValuesAreClamped) {
    auto engine = testsupport::makeTestEngine();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (int i = 0; i < kParameterCount; ++i) {
        setPerformanceParameter(*engine, i, 2.0f, kFs);
        const float top = stored(*engine, i);
        setPerformanceParameter(*engine, i, 1.0f, kFs);
        EXPECT_EQ(stored(*engine, i), top) << i;
        setPerformanceParameter(*engine, i, inf, kFs);
        EXPECT_EQ(stored(*engine, i), top) << i;

        setPerformanceParameter(*engine, i, 0.0f, kFs);
        const float bottom = stored(*engine, i);
        setPerformanceParameter(*engine, i, 0.6f, kFs);
        setPerformanceParameter(*engine, i, nan, kFs);
        EXPECT_EQ(stored(*engine, i), bottom) << i;
        setPerformanceParameter(*engine, i, 0.6f, kFs);
        setPerformanceParameter(*engine, i, -3.0f, kFs);
        EXPECT_EQ(stored(*engine, i), bottom) << i;
        setPerformanceParameter(*engine, i, -inf, kFs);
        EXPECT_EQ(stored(*engine, i), bottom) << i;
    }
}

TEST(PerformanceParameters, DescribeWritesAShortZeroTerminatedText) {
    auto engine = testsupport::makeTestEngine();
    engine->lpf.frequency = std::numeric_limits<float>::infinity();
    char text[32];
    std::memset(text, 'x', sizeof text);
    describePerformanceParameter(*engine, ParamLowPass, text);
    EXPECT_LT(std::strlen(text), 16u);
    engine->hpf.frequency = std::numeric_limits<float>::quiet_NaN();
    describePerformanceParameter(*engine, ParamHighPass, text);
    EXPECT_STREQ(text, "0");
}

// Readers that hold no lock compute a parameter's report from its stored value alone; it must
// be the report of the engine the value was set on, at any rate (8 kHz limits the low-pass).
TEST(PerformanceParameters, StoredValuesReportAsTheEngineDoes) {
    for (float rate : {8000.0f, 44100.0f, 192000.0f}) {
        auto engine = testsupport::makeTestEngine(rate);
        for (int i = 0; i < kParameterCount; ++i) {
            for (float v : {0.0f, 0.013f, 0.5f, 0.77f, 1.0f}) {
                SCOPED_TRACE(::testing::Message() << rate << " " << i << " " << v);
                setPerformanceParameter(*engine, i, v, rate);
                const float value = storedParameterValue(i, v, rate);
                char text[kParameterTextSize];
                EXPECT_EQ(normalisedParameter(i, value),
                          describePerformanceParameter(*engine, i, text));
                char formatted[kParameterTextSize];
                formatParameter(i, value, formatted);
                EXPECT_STREQ(formatted, text);
                EXPECT_EQ(patchParameterValue(*engine->patch, i, rate), value);
            }
        }
    }
}
