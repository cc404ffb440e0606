// Wavetable generators, taper and normalisation, checked against values worked out here
// independently (in double precision where the generator rounds to float).
#include "patches/wave_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

WaveLayer makeLayer(int shape, int repeats, float gain, std::initializer_list<float> params) {
    WaveLayer l;
    std::memset(&l, 0, sizeof l);
    l.shape = static_cast<std::int8_t>(shape);
    l.repeats = static_cast<std::int8_t>(repeats);
    l.gain = gain;
    int i = 0;
    for (float p : params)
        l.params[i++] = p;
    return l;
}

std::vector<float> render(const WaveLayer& layer, int L) {
    std::vector<float> table(L, 0.0f);
    addWaveLayer(table.data(), L, layer);
    return table;
}

float peakOf(const std::vector<float>& t) {
    float peak = 0;
    for (float v : t)
        peak = std::max(peak, std::fabs(v));
    return peak;
}

/// Magnitude of DFT bin k of x[0..N-1].
double dftMagnitude(const float* x, int N, int k) {
    std::complex<double> sum = 0;
    for (int i = 0; i < N; ++i)
        sum += double(x[i]) * std::polar(1.0, -2.0 * kPi * k * i / N);
    return std::abs(sum);
}

/// Repetition starts and lengths for n repetitions in L samples.
std::vector<std::pair<int, int>> repetitions(int L, int n) {
    std::vector<std::pair<int, int>> out;
    const int seg = L / n;
    for (int s = 0; s < n; ++s)
        out.push_back({s * seg, s == n - 1 ? L - seg * (n - 1) : seg});
    return out;
}

/// A rising ramp (shape 2 with only a rise) is 0 exactly at each repetition start and i / N
/// within it, which makes the repetition layout visible.
void expectRampRepetitions(const std::vector<float>& t, int L, int n) {
    for (auto [start, N] : repetitions(L, n)) {
        for (int i = 0; i < N; ++i)
            ASSERT_NEAR(t[start + i], double(i) / N, 1e-6) << "start " << start << " i " << i;
    }
}

} // namespace

// ---- clearing and layer bookkeeping -------------------------------------------------------------

TEST(WaveTableClear, ClearsExactlyLSamples) {
    std::vector<float> t(8, 3.0f);
    clearWaveTable(t.data(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(t[i], 0.0f);
    for (int i = 5; i < 8; ++i)
        EXPECT_EQ(t[i], 3.0f);
    clearWaveTable(t.data(), 0);
    clearWaveTable(t.data(), -4);
    EXPECT_EQ(t[5], 3.0f);
}

TEST(WaveLayerShapes, ShapeZeroAndUnknownCodesLeaveTheTableUnchanged) {
    for (int shape : {0, 6, 7, 100, 127, -1, -128}) {
        std::vector<float> t(100);
        for (int i = 0; i < 100; ++i)
            t[i] = float(i) * 0.01f;
        const std::vector<float> before = t;
        addWaveLayer(t.data(), 100, makeLayer(shape, 1, 1.0f, {1, 1, 1, 1, 1, 1, 1}));
        EXPECT_EQ(t, before) << shape;
    }
}

TEST(WaveLayerRepeats, RepeatCountsFollowMagnitudeWithZeroAsOneAndThirtyAtMost) {
    const int L = 441;
    struct Case {
        int repeats, expected;
    } cases[] = {{0, 1}, {1, 1}, {-3, 3}, {3, 3}, {30, 30}, {31, 30}, {127, 30}, {-128, 30}};
    for (auto c : cases) {
        SCOPED_TRACE(c.repeats);
        expectRampRepetitions(render(makeLayer(2, c.repeats, 1.0f, {1}), L), L, c.expected);
    }
}

TEST(WaveLayerRepeats, LastRepetitionAbsorbsTheRemainder) {
    expectRampRepetitions(render(makeLayer(2, 3, 1.0f, {1}), 441), 441, 3); // 3 x 147
    const auto t = render(makeLayer(2, 3, 1.0f, {1}), 442);
    expectRampRepetitions(t, 442, 3);
    EXPECT_NEAR(t[294 + 147], 147.0 / 148.0, 1e-6); // the last repetition has 148 samples
}

TEST(WaveLayerRepeats, MoreRepeatsThanSamplesPutEverythingIntoTheLastRepetition) {
    const auto t = render(makeLayer(2, 30, 1.0f, {1}), 20);
    expectRampRepetitions(t, 20, 1);
}

TEST(WaveLayerGain, GainScalesAndLayersAdd) {
    const auto a = render(makeLayer(1, 1, 1.0f, {2, 0.3f}), 300);
    std::vector<float> t(300, 0.0f);
    addWaveLayer(t.data(), 300, makeLayer(1, 1, -2.5f, {2, 0.3f}));
    addWaveLayer(t.data(), 300, makeLayer(1, 1, 0.5f, {2, 0.3f}));
    for (int i = 0; i < 300; ++i)
        EXPECT_NEAR(t[i], -2.0f * a[i], 1e-5f);
}

// ---- shape 1 ------------------------------------------------------------------------------------

TEST(WaveLayerPhaseModSine, MatchesAPhaseModulatedSinePerRepetition) {
    const int L = 441;
    for (auto [p1, p2, repeats] : {std::tuple{3.0f, 0.15f, 1}, std::tuple{5.0f, 0.1f, 4},
                                   std::tuple{1.7f, 2.0f, 2}, std::tuple{0.0f, 0.0f, 1}}) {
        const auto t = render(makeLayer(1, repeats, 0.5f, {p1, p2}), L);
        for (auto [start, N] : repetitions(L, repeats))
            for (int i = 0; i < N; ++i) {
                const double phase =
                    2 * kPi * i / N + 2 * kPi * p2 * std::sin(2 * kPi * p1 * i / N);
                ASSERT_NEAR(t[start + i], 0.5 * std::sin(phase), 2e-5) << p1 << " " << i;
            }
    }
}

// ---- shapes 2 and 3 -----------------------------------------------------------------------------

TEST(WaveLayerTrapezoid, RiseOverTwoThirdsThenMinusOne) {
    // The carrier of "Lead 7": p1 2 and p6 1.
    const auto t = render(makeLayer(2, 1, 1.0f, {2, 0, 0, 0, 0, 1}), 441);
    for (int i = 0; i < 294; ++i)
        ASSERT_NEAR(t[i], i / 294.0, 1e-6) << i;
    for (int i = 294; i < 441; ++i)
        ASSERT_EQ(t[i], -1.0f) << i;
}

TEST(WaveLayerTrapezoid, SevenLinearPiecesInOrder) {
    const auto t = render(makeLayer(2, 1, 1.0f, {1, 1, 1, 1, 1, 1, 1}), 70);
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(t[i], i / 10.0, 1e-6);
        EXPECT_EQ(t[10 + i], 1.0f);
        EXPECT_NEAR(t[20 + i], 1 - i / 10.0, 1e-6);
        EXPECT_EQ(t[30 + i], 0.0f);
        EXPECT_NEAR(t[40 + i], -i / 10.0, 1e-6);
        EXPECT_EQ(t[50 + i], -1.0f);
        EXPECT_NEAR(t[60 + i], i / 10.0 - 1, 1e-6);
    }
}

TEST(WaveLayerTrapezoid, CosineVariantFollowsHalfCosines) {
    const auto t = render(makeLayer(3, 1, 1.0f, {1, 1, 1, 1, 1, 1, 1}), 70);
    for (int i = 0; i < 10; ++i) {
        const double c = std::cos(i * kPi / 10);
        EXPECT_NEAR(t[i], (1 - c) / 2, 1e-6);
        EXPECT_EQ(t[10 + i], 1.0f);
        EXPECT_NEAR(t[20 + i], (c + 1) / 2, 1e-6);
        EXPECT_EQ(t[30 + i], 0.0f);
        EXPECT_NEAR(t[40 + i], (c - 1) / 2, 1e-6);
        EXPECT_EQ(t[50 + i], -1.0f);
        EXPECT_NEAR(t[60 + i], (-1 - c) / 2, 1e-6);
    }
}

TEST(WaveLayerTrapezoid, ReturnPieceFillsWhatTruncationLeaves) {
    // p1 1, p7 2 in 100 samples: rise over int(33.33) = 33, return over the remaining 67.
    const auto t = render(makeLayer(2, 1, 1.0f, {1, 0, 0, 0, 0, 0, 2}), 100);
    EXPECT_NEAR(t[32], 32 / 33.0, 1e-6);
    EXPECT_EQ(t[33], -1.0f);
    EXPECT_NEAR(t[99], 66 / 67.0 - 1, 1e-6);
}

TEST(WaveLayerTrapezoid, ZeroTotalAddsNothing) {
    std::vector<float> t(50, 0.25f);
    addWaveLayer(t.data(), 50, makeLayer(2, 1, 1.0f, {1, -1}));
    addWaveLayer(t.data(), 50, makeLayer(3, 2, 1.0f, {}));
    for (float v : t)
        EXPECT_EQ(v, 0.25f);
}

TEST(WaveLayerTrapezoid, HostilePieceLengthsStayInsideTheRepetition) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::initializer_list<float> cases[] = {
        {-5, 1, 1, 1, 1, 1, 1},      {5, -30, 1, 1, 1, 1, 1}, {1e30f, 1, -1e30f, 1, 1, 1, 1},
        {nan, 1, 1, 1, 1, 1, 1},     {inf, 1, 1, 1, 1, 1, 1}, {3, 3, 3, 3, 3, 3, -17},
        {1, 1, 1, 1, 1, 1, -5.9999f}};
    for (int shape : {2, 3})
        for (auto params : cases) {
            const auto t = render(makeLayer(shape, 7, 1.0f, params), 441);
            for (float v : t)
                ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << v;
        }
}

// ---- shape 4 ------------------------------------------------------------------------------------

TEST(WaveLayerHarmonics, SingleHarmonicOfLead3) {
    const auto t = render(makeLayer(4, 1, 1.0f, {4, 0, 1}), 441);
    for (int i = 0; i < 441; ++i)
        ASSERT_NEAR(t[i], std::sin(2 * kPi * 4 * i / 441), 1e-5);
}

TEST(WaveLayerHarmonics, EnergySitsInTheNamedHarmonics) {
    const int N = 400;
    const auto t = render(makeLayer(4, 1, 1.0f, {2, 3, 3}), N); // harmonics 2, 5, 8 at 1/3
    for (int k = 0; k < 20; ++k) {
        const double expected = (k == 2 || k == 5 || k == 8) ? N / 2.0 / 3.0 : 0.0;
        EXPECT_NEAR(dftMagnitude(t.data(), N, k), expected, 1e-3) << k;
    }
}

TEST(WaveLayerHarmonics, NonIntegerCountSumsTruncatedCountAtReciprocalAmplitude) {
    const int N = 400;
    const auto t = render(makeLayer(4, 1, 1.0f, {1, 1, 2.5f}), N); // harmonics 1, 2 at 0.4
    EXPECT_NEAR(dftMagnitude(t.data(), N, 1), N / 2.0 * 0.4, 1e-3);
    EXPECT_NEAR(dftMagnitude(t.data(), N, 2), N / 2.0 * 0.4, 1e-3);
    EXPECT_NEAR(dftMagnitude(t.data(), N, 3), 0.0, 1e-3);
}

TEST(WaveLayerHarmonics, ZeroCountIsOneFullHarmonicAndNegativeCountAddsNothing) {
    const int N = 400;
    const auto one = render(makeLayer(4, 1, 1.0f, {3, 1, 0}), N);
    EXPECT_NEAR(dftMagnitude(one.data(), N, 3), N / 2.0, 1e-3);
    EXPECT_NEAR(dftMagnitude(one.data(), N, 4), 0.0, 1e-3);
    EXPECT_EQ(peakOf(render(makeLayer(4, 1, 1.0f, {3, 1, -2}), N)), 0.0f);
}

TEST(WaveLayerHarmonics, HugeCountsAreBoundedToWhatTheRepetitionHolds) {
    // Two billion copies of one harmonic, each at 1 / 2e9: an unbounded sum would reach 1;
    // the series stops after at most 1024 terms (here the repetition's 441), so the result
    // is vanishingly small, and it is computed in a moment.
    const auto t = render(makeLayer(4, 1, 1.0f, {5, 0, 2e9f}), 441);
    EXPECT_LT(peakOf(t), 1e-5f);
    EXPECT_GT(peakOf(t), 0.0f);
    const auto many = render(makeLayer(4, 30, 1.0f, {1, 1, 2.1e9f}), 441);
    for (float v : many)
        ASSERT_TRUE(std::isfinite(v));
}

// ---- shape 5 ------------------------------------------------------------------------------------

TEST(WaveLayerSteppedSine, WithoutHoldItIsAPlainSine) {
    const auto t = render(makeLayer(5, 2, 1.0f, {3}), 400);
    for (int i = 0; i < 400; ++i)
        ASSERT_NEAR(t[i], std::sin(2 * kPi * 3 * (i % 200) / 200), 1e-5) << i;
}

TEST(WaveLayerSteppedSine, HoldRepeatsEachValueCeilHoldTimes) {
    const int N = 101;
    const auto half = render(makeLayer(5, 1, 1.0f, {2, 0.5f}), N);
    for (int i = 0; i < N; ++i)
        ASSERT_NEAR(half[i], std::sin(2 * kPi * 2 * (i - i % 2) / N), 1e-5) << i;
    const auto two = render(makeLayer(5, 1, 1.0f, {2, 2}), N);
    for (int i = 0; i < N; ++i)
        ASSERT_NEAR(two[i], std::sin(2 * kPi * 2 * (i - i % 3) / N), 1e-5) << i;
}

TEST(WaveLayerSteppedSine, HugeHoldStopsAtTheEndOfTheRepetition) {
    std::vector<float> t(60, 0.0f);
    t.push_back(7.0f); // sentinel beyond L
    addWaveLayer(t.data(), 60, makeLayer(5, 3, 1.0f, {1.5f, 1e30f}));
    EXPECT_EQ(t[60], 7.0f);
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(t[i], 0.0f) << "sin(0) held for the whole repetition";
}

// ---- hostile layer values -----------------------------------------------------------------------

TEST(WaveLayerHostile, NonFiniteGainOrParametersNeverPoisonTheTable) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (int shape = 1; shape <= 5; ++shape) {
        for (float bad : {nan, inf, -inf, 3e38f}) {
            SCOPED_TRACE(shape);
            std::vector<float> t(441, 0.5f);
            addWaveLayer(t.data(), 441, makeLayer(shape, 2, bad, {1, 1, 1, 1, 1, 1, 1}));
            for (int p = 0; p < 7; ++p) {
                WaveLayer l = makeLayer(shape, 2, 1.0f, {1, 1, 1, 1, 1, 1, 1});
                l.params[p] = bad;
                addWaveLayer(t.data(), 441, l);
            }
            for (float v : t)
                ASSERT_TRUE(std::isfinite(v));
        }
    }
    // A NaN gain adds nothing at all.
    std::vector<float> t(100, 0.5f);
    addWaveLayer(t.data(), 100, makeLayer(1, 1, nan, {1, 0.1f}));
    for (float v : t)
        EXPECT_EQ(v, 0.5f);
}

// ---- taper and normalisation --------------------------------------------------------------------

TEST(WaveTableTaper, WindowZeroAndNegativeLeaveTheTableAlone) {
    std::vector<float> t(441, 1.0f);
    taperWaveTable(t.data(), 441, 0);
    taperWaveTable(t.data(), 441, -50);
    for (float v : t)
        EXPECT_EQ(v, 1.0f);
}

TEST(WaveTableTaper, WindowHundredIsAHannWindowSparingTheMiddleSample) {
    std::vector<float> t(441, 2.0f);
    taperWaveTable(t.data(), 441, 100);
    EXPECT_EQ(t[220], 2.0f);
    EXPECT_EQ(t[0], 0.0f);
    EXPECT_EQ(t[440], 0.0f);
    for (int i = 0; i < 220; ++i) {
        const double g = (1 - std::cos(i * kPi / 220)) / 2;
        ASSERT_NEAR(t[i], 2 * g, 5e-6) << i;
        ASSERT_NEAR(t[440 - i], 2 * g, 5e-6) << i;
    }
}

TEST(WaveTableTaper, WindowFiftyFadesAQuarterAtEachEnd) {
    std::vector<float> t(441, 1.0f);
    taperWaveTable(t.data(), 441, 50); // T = int(110.25) = 110
    EXPECT_LT(t[109], 1.0f);
    EXPECT_LT(t[331], 1.0f);
    for (int i = 110; i <= 330; ++i)
        ASSERT_EQ(t[i], 1.0f) << i;
}

TEST(WaveTableTaper, OversizedWindowsStayInsideTheTable) {
    std::vector<float> t(443, 1.0f);
    t[441] = t[442] = 9.0f; // sentinels beyond L
    taperWaveTable(t.data(), 441, 127);
    taperWaveTable(t.data(), 441, 100000);
    taperWaveTable(t.data(), 441, 2147483647);
    EXPECT_EQ(t[441], 9.0f);
    EXPECT_EQ(t[442], 9.0f);
    for (int i = 0; i < 441; ++i)
        ASSERT_TRUE(t[i] >= 0.0f && t[i] <= 1.0f);
}

TEST(WaveTableNormalise, ScalesThePeakMagnitudeTo095) {
    std::vector<float> t = {0.1f, -2.0f, 0.5f, 1.5f};
    normaliseWaveTable(t.data(), 4);
    EXPECT_FLOAT_EQ(t[1], -0.95f);
    EXPECT_FLOAT_EQ(t[0], 0.1f * 0.475f);
    EXPECT_FLOAT_EQ(t[3], 1.5f * 0.475f);
}

TEST(WaveTableNormalise, SilenceStaysSilentAndTinyPeaksStillReach095) {
    std::vector<float> zero(10, 0.0f);
    normaliseWaveTable(zero.data(), 10);
    for (float v : zero)
        EXPECT_EQ(v, 0.0f);
    std::vector<float> tiny = {1e-40f, -5e-41f, 0.0f};
    normaliseWaveTable(tiny.data(), 3);
    EXPECT_NEAR(tiny[0], 0.95f, 1e-6f);
    EXPECT_NEAR(tiny[1], -0.475f, 1e-3f);
    EXPECT_EQ(tiny[2], 0.0f);
    // A huge peak gives a factor below the normal range; the result still peaks at 0.95.
    std::vector<float> huge = {3e38f, -1.5e38f, 1e30f};
    normaliseWaveTable(huge.data(), 3);
    EXPECT_FLOAT_EQ(huge[0], 0.95f);
    EXPECT_FLOAT_EQ(huge[1], -0.475f);
}

TEST(WaveTableCarrier, BuildsClearAddTaperNormaliseAndTheModulatorStaysUnscaled) {
    Patch p;
    std::memset(&p, 0, sizeof p);
    p.window = 40;
    p.carrierLayers[0] = makeLayer(1, 1, 3.0f, {2, 0.2f});
    p.carrierLayers[2] = makeLayer(4, 2, -1.0f, {1, 1, 3});
    std::vector<float> expected(441, 0.0f);
    addWaveLayer(expected.data(), 441, p.carrierLayers[0]);
    addWaveLayer(expected.data(), 441, p.carrierLayers[2]);
    taperWaveTable(expected.data(), 441, 40);
    normaliseWaveTable(expected.data(), 441);

    std::vector<float> t(441, 123.0f);
    buildCarrierTable(t.data(), 441, p);
    EXPECT_EQ(t, expected);
    EXPECT_NEAR(peakOf(t), 0.95f, 1e-6f);
    // Tapered ends: the first sample is zero.
    EXPECT_EQ(t[0], 0.0f);

    const auto modulator = render(makeLayer(1, 1, 3.0f, {0, 0}), 441);
    EXPECT_NEAR(peakOf(modulator), 3.0f, 1e-4f);
}
