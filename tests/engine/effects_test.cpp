// The echo, the ensemble and the output shaper, each on its own.
#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/output_chain.h"
#include "engine/shaper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

Echo makeEcho(std::int32_t length) {
    Echo echo;
    echo.length = length;
    echo.line.reset(new float[static_cast<std::size_t>(length)]());
    echo.inverseLength = 1.0f / static_cast<float>(length);
    return echo;
}

/// Values of magnitude m whose signs follow a fixed irregular pattern.
std::vector<float> signedConstant(int n, float m) {
    std::vector<float> x(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        x[k] = ((k * 7 + 3) % 5 < 2) ? -m : m;
    return x;
}

/// An ensemble with a 200-entry line, a ring of 106 and the given taps, standing still at phase.
Ensemble makeEnsemble(const std::vector<std::int32_t>& taps, float phase) {
    Ensemble e;
    e.lineLength = 200;
    e.line.reset(new float[200]());
    e.lineRate = 44100.0f;
    e.maxDelay = 106;
    e.phase = phase;
    e.lfoStep = 0.0f;
    for (int k = 0; k < kEnsembleTaps; ++k)
        e.taps[k] = taps[static_cast<std::size_t>(k)];
    return e;
}

std::vector<std::int32_t> triangle(std::int32_t first, std::int32_t step) {
    std::vector<std::int32_t> t(kEnsembleTaps);
    for (int k = 0; k < 8; ++k)
        t[k] = t[15 - k] = first + step * k;
    return t;
}

std::vector<float> ramp(int n) {
    std::vector<float> x(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        x[k] = static_cast<float>(k + 1);
    return x;
}

std::vector<float> shaperTable() {
    std::vector<float> t(kShaperLength);
    buildShaperTable(t.data());
    return t;
}

float shape(float x) {
    static const std::vector<float> table = shaperTable();
    applyShaper(table.data(), kShaperLength, 1.0f, &x, 1);
    return x;
}

} // namespace

// ---- echo ---------------------------------------------------------------------------------------

TEST(EchoTest, HalfLevelReadsNineSamplesBackIn17) {
    Echo echo = makeEcho(17);
    const std::vector<float> x = signedConstant(300, 0.5f);
    std::vector<float> y = x;
    processEcho(echo, y.data(), 300);
    for (int k = 16; k < 300; ++k)
        ASSERT_EQ(y[k], x[k - 9]) << k;
    EXPECT_FLOAT_EQ(echo.accumulator, 8.5f);
}

TEST(EchoTest, FullLevelReadsOneSampleBack) {
    Echo echo = makeEcho(17);
    const std::vector<float> x = signedConstant(100, 1.0f);
    std::vector<float> y = x;
    processEcho(echo, y.data(), 100);
    for (int k = 16; k < 100; ++k)
        ASSERT_EQ(y[k], x[k - 1]) << k;
}

TEST(EchoTest, ProcessingInPiecesEqualsOneCall) {
    Echo a = makeEcho(23);
    Echo b = makeEcho(23);
    std::vector<float> x(500);
    for (int k = 0; k < 500; ++k)
        x[k] = static_cast<float>(std::sin(k * 0.05) * (k % 7) * 0.2);
    std::vector<float> ya = x, yb = x;
    processEcho(a, ya.data(), 500);
    for (int start = 0; start < 500; start += 37)
        processEcho(b, yb.data() + start, std::min(37, 500 - start));
    EXPECT_EQ(ya, yb);
}

TEST(EchoTest, UnitThatIsOffPassesItsInput) {
    Echo echo;
    std::vector<float> x = ramp(10);
    processEcho(echo, x.data(), 10);
    EXPECT_EQ(x, ramp(10));
}

TEST(EchoTest, NonFiniteInputDoesNotStickInTheLevel) {
    Echo echo = makeEcho(17);
    std::vector<float> x(17, INFINITY);
    processEcho(echo, x.data(), 17); // the running sum becomes infinite
    std::vector<float> y = signedConstant(200, 0.5f);
    const std::vector<float> in = y;
    processEcho(echo, y.data(), 200);
    // Once the ring holds finite samples again, the level and the output are finite and the
    // read point is back at nine samples.
    for (int k = 40; k < 200; ++k)
        ASSERT_EQ(y[k], in[k - 9]) << k;
}

// ---- ensemble -----------------------------------------------------------------------------------

TEST(EnsembleTest, PhaseZeroReadsTheFirstTap) {
    Ensemble e = makeEnsemble(triangle(3, 6), 0.0f);
    const std::vector<float> x = ramp(300);
    std::vector<float> y = x;
    processEnsemble(e, y.data(), 300);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(y[k], 0.0f);
    for (int k = 3; k < 300; ++k)
        ASSERT_FLOAT_EQ(y[k], x[k - 3]) << k;
}

TEST(EnsembleTest, HalfPhaseMixesTaps7And8Equally) {
    std::vector<std::int32_t> taps = triangle(3, 6);
    taps[7] = 20;
    taps[8] = 30;
    Ensemble e = makeEnsemble(taps, 0.5f);
    const std::vector<float> x = ramp(300);
    std::vector<float> y = x;
    processEnsemble(e, y.data(), 300);
    for (int k = 30; k < 300; ++k)
        ASSERT_NEAR(y[k], 0.5f * (x[k - 20] + x[k - 30]), 1e-4f) << k;

    Ensemble longest = makeEnsemble(triangle(0, 7), 0.5f); // both taps at 49
    std::vector<float> z = x;
    processEnsemble(longest, z.data(), 300);
    for (int k = 49; k < 300; ++k)
        ASSERT_NEAR(z[k], x[k - 49], 1e-3f) << k;
}

TEST(EnsembleTest, RateZeroIsAFixedDelay) {
    Ensemble e = makeEnsemble(triangle(3, 6), 0.2f); // tap 3: 21 samples
    const std::vector<float> x = ramp(400);
    std::vector<float> y = x;
    processEnsemble(e, y.data(), 400);
    for (int k = 21; k < 400; ++k)
        ASSERT_NEAR(y[k], x[k - 21], 1e-3f) << k;
    EXPECT_EQ(e.phase, 0.2f);
}

TEST(EnsembleTest, ZeroShortestTapPassesTheCurrentSampleAtTheSweepStart) {
    Ensemble e = makeEnsemble(triangle(0, 7), 0.0f);
    std::vector<float> y = ramp(50);
    processEnsemble(e, y.data(), 50);
    EXPECT_EQ(y, ramp(50));
}

TEST(EnsembleTest, SweepMovesAndWraps) {
    Ensemble e = makeEnsemble(triangle(0, 7), 0.0f);
    e.lfoStep = 0.3f;
    std::vector<float> y = ramp(4);
    processEnsemble(e, y.data(), 4);
    EXPECT_NEAR(e.phase, 0.2f, 1e-6f);
    EXPECT_EQ(e.position, 106 - 4);

    e.lfoStep = -0.013f; // a negative rate sweeps backward and stays inside the taps
    std::vector<float> z(5000, 1.0f);
    processEnsemble(e, z.data(), 5000);
    EXPECT_GE(e.phase, 0.0f);
    EXPECT_LT(e.phase, 1.0f);
    for (std::size_t k = 106; k < z.size(); ++k)
        ASSERT_NEAR(z[k], 1.0f, 1e-5f) << k;
}

TEST(EnsembleTest, CrossfadeCosinesFollowTheCosineAcrossTheHalfTurn) {
    for (int i = 0; i <= 10000; ++i) {
        const float x = 3.14159265f * static_cast<float>(i) / 10000.0f;
        float a, b;
        crossfadeCosines(x, 3.14159265f - x, a, b);
        ASSERT_NEAR(a, std::cos(static_cast<double>(x)), 2e-7) << x;
        ASSERT_NEAR(b, std::cos(3.14159265 - static_cast<double>(x)), 2e-7) << x;
    }
    float low, high;
    crossfadeCosines(-1.0f, 10.0f, low, high); // outside the half turn: its ends
    EXPECT_NEAR(low, 1.0f, 2e-7);
    EXPECT_NEAR(high, -1.0f, 2e-7);
}

TEST(EnsembleTest, SkippingSilenceLeavesWhatSilenceSampleBySampleLeaves) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int round = 0; round < 3000; ++round) {
        const int ring = 1 + static_cast<int>(unit(random) * 300.0f);
        std::vector<float> lineA(static_cast<std::size_t>(ring), 1.0f), lineB = lineA;
        const std::int32_t taps[kEnsembleTaps] = {};
        // Steps from ordinary sweep rates down to ones too small to move the phase, some
        // exactly halfway between grid steps, some backward.
        float step = std::ldexp(unit(random), -static_cast<int>(unit(random) * 40.0f));
        if (round % 7 == 0) step = std::ldexp(1.5f, -20);
        if (round % 11 == 0) step = -step;
        const float phase = round % 5 == 0 ? 0.0f : unit(random);
        const int position = static_cast<int>(unit(random) * static_cast<float>(ring - 1));
        EnsembleRun a{lineA.data(), taps, phase, 1.0f, step, 1.0f, ring, position};
        EnsembleRun b{lineB.data(), taps, phase, 1.0f, step, 1.0f, ring, position};
        const int n = 1 + static_cast<int>(unit(random) * 3000.0f);
        for (int k = 0; k < n; ++k)
            ensembleSample(a, 0.0f);
        skipEnsemble(b, n);
        ASSERT_EQ(std::memcmp(&a.phase, &b.phase, sizeof(float)), 0)
            << "step " << step << " from " << phase << " over " << n;
        ASSERT_EQ(a.position, b.position);
        ASSERT_EQ(lineA, lineB);
    }
}

TEST(EnsembleTest, PlannedFramesMatchTheSampleBySampleUnit) {
    // Both builds of the planner: the baseline one and the AVX2 lanes kernel's.
    std::vector<void (*)(EnsembleRun&, EnsemblePlan&, int)> planners{planEnsemble};
    if (__builtin_cpu_supports("avx2")) planners.push_back(planEnsembleAvx2);
    for (auto* planner : planners) {
        SCOPED_TRACE(planner == planEnsemble ? "baseline planner" : "AVX2 planner");
        std::mt19937 random(9);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        for (int round = 0; round < 400; ++round) {
            const int ring = 1 + static_cast<int>(unit(random) * 120.0f);
            std::int32_t taps[kEnsembleTaps];
            // Every other round keeps the taps inside the ring, as patches lay them out; the rest
            // have some longer than the ring, some of them negative.
            const bool inRing = round % 2 == 0;
            for (std::int32_t& tap : taps)
                tap = inRing
                          ? static_cast<std::int32_t>(unit(random) * static_cast<float>(ring - 1))
                          : static_cast<std::int32_t>((unit(random) * 3.0f - 0.5f) *
                                                      static_cast<float>(ring));
            // Scales above 1 put tap 16 (outside the sixteen) into the crossfade; phases outside
            // 0..scale restart the sweep.
            const float scale = round % 3 == 0 ? 1.1f : 1.0f;
            // Some rounds sweep as slowly as the patches do, so that whole plans run on one grid.
            const float step = (unit(random) - 0.3f) * (round % 4 == 2 ? 2e-4f : 0.05f);
            const float phase = round % 5 == 0 ? 1.5f : unit(random) * scale;
            const int position = static_cast<int>(unit(random) * static_cast<float>(ring - 1));
            std::vector<float> lineA(static_cast<std::size_t>(ring));
            for (float& v : lineA)
                v = unit(random) - 0.5f;
            std::vector<float> lineB = lineA;
            const float mix = unit(random);
            EnsembleRun a{lineA.data(), taps, phase, scale, step, mix, ring, position};
            EnsembleRun b{lineB.data(), taps, phase, scale, step, mix, ring, position};
            const int n = 1 + static_cast<int>(unit(random) * (kEnsemblePlanFrames - 1));
            EnsemblePlan plan;
            planner(b, plan, n);
            for (int k = 0; k < n; ++k) {
                const float x = unit(random) - 0.5f;
                const float one = ensembleSample(a, x);
                const float planned = plannedEnsembleSample(b, plan, k, x);
                ASSERT_EQ(std::memcmp(&one, &planned, sizeof(float)), 0) << round << " frame " << k;
            }
            ASSERT_EQ(std::memcmp(&a.phase, &b.phase, sizeof(float)), 0) << round;
            ASSERT_EQ(a.position, b.position) << round;
            ASSERT_EQ(lineA, lineB) << round;
        }
    }
}

TEST(EnsembleTest, UnconfiguredUnitPassesItsInput) {
    Ensemble e = makeEnsemble(triangle(3, 6), 0.0f);
    e.lineRate = 0.0f;
    std::vector<float> y = ramp(50);
    processEnsemble(e, y.data(), 50);
    EXPECT_EQ(y, ramp(50));
    Ensemble oversized = makeEnsemble(triangle(3, 6), 0.0f);
    oversized.maxDelay = 500; // larger than its line
    processEnsemble(oversized, y.data(), 50);
    EXPECT_EQ(y, ramp(50));
}

// ---- shaper -------------------------------------------------------------------------------------

TEST(ShaperTest, ValuesAlongTheCurve) {
    EXPECT_EQ(shape(0.0f), 0.0f);
    EXPECT_NEAR(shape(-1.0f), -std::atan(0.375) / std::atan(2.5), 1e-4);
    EXPECT_NEAR(shape(-1.0f), -0.3014, 1e-4);
    EXPECT_NEAR(shape(0.01f), 0.01 * 0.15 * 512 * 2.5 / 512 / std::atan(2.5), 1e-6);
    // The table ends at an input of 511 / (0.15 x 512), about 6.65.
    EXPECT_NEAR(shape(511.0f / 76.8f), std::atan(2.5 * 511 / 512) / std::atan(2.5), 1e-5);
    EXPECT_NEAR(shape(511.0f / 76.8f), 0.9993, 2e-4);
    for (float x : {0.1f, 0.5f, 2.0f, 5.0f, 12.0f})
        EXPECT_EQ(shape(-x), -shape(x));
}

TEST(ShaperTest, BeyondTheTableTheLastSlopeContinues) {
    auto t = [](int i) { return std::atan(i * 2.5 / 512) / std::atan(2.5); };
    const double expected = t(511) + (t(511) - t(510)) * (10 * 0.15 * 512 - 511);
    const float y = shape(10.0f);
    EXPECT_NEAR(y, expected, 1e-4);
    EXPECT_GT(y, 0.9993f);
    EXPECT_GT(shape(20.0f), y);
}

TEST(ShaperTest, DriveScalesTheInput) {
    const std::vector<float> table = shaperTable();
    float x = 0.5f;
    applyShaper(table.data(), kShaperLength, 2.0f, &x, 1);
    EXPECT_FLOAT_EQ(x, shape(1.0f));
}

TEST(ShaperTest, TableEntries) {
    const std::vector<float> table = shaperTable();
    EXPECT_EQ(table[0], 0.0f);
    EXPECT_NEAR(table[256], std::atan(1.25) / std::atan(2.5), 1e-6);
    for (int i = 1; i < kShaperLength; ++i)
        ASSERT_GT(table[i], table[i - 1]);
}

TEST(ShaperTest, FourLanesGiveTheOneSampleResultBitForBit) {
    const std::vector<float> table = shaperTable();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> inputs = {0.0f,  -0.0f, 1e-30f,  -1e-30f,
                                 6.6f,  -6.7f, 6.6413f, -6.6445f,
                                 1e30f, -inf,  inf,     std::numeric_limits<float>::quiet_NaN()};
    std::mt19937 random(3);
    std::uniform_real_distribution<float> wide(-12.0f, 12.0f);
    while (inputs.size() % 4 != 0 || inputs.size() < 4000)
        inputs.push_back(wide(random));
    for (float drive : {1.0f, 3.5f}) {
        ShaperRun run{};
        ASSERT_TRUE(beginShaper(table.data(), kShaperLength, drive, run));
        for (std::size_t k = 0; k < inputs.size(); k += 4) {
            alignas(16) float lanes[4];
            _mm_store_ps(lanes, shapeLanes(run, _mm_loadu_ps(&inputs[k])));
            for (int l = 0; l < 4; ++l) {
                const float one = shapeSample(run, inputs[k + l]);
                if (std::isnan(one)) {
                    EXPECT_TRUE(std::isnan(lanes[l])) << inputs[k + l];
                    continue;
                }
                ASSERT_EQ(std::memcmp(&one, &lanes[l], sizeof(float)), 0)
                    << inputs[k + l] << " drive " << drive;
            }
        }
    }
}
