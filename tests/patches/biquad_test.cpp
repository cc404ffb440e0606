// Biquad designs against the analytic responses of the bilinear-transformed prototypes, the
// range corrections, and the per-sample section.
#include "patches/biquad.h"
#include "patches/portable_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kFs = 44100.0f;

Biquad makeFilter(int type, float frequency, float q, float gainDb = 0.0f) {
    Biquad f;
    f.type = static_cast<std::int8_t>(type);
    f.frequency = frequency;
    f.q = q;
    f.gainDb = gainDb;
    designBiquad(f, kFs);
    return f;
}

/// |H(e^jw)| of the designed coefficients at frequency f (Hz).
double designedMagnitude(const Biquad& b, double f, double fs = kFs) {
    const std::complex<double> z1 = std::polar(1.0, -2 * kPi * f / fs);
    const std::complex<double> z2 = z1 * z1;
    return std::abs((double(b.b0) + double(b.b1) * z1 + double(b.b2) * z2) /
                    (1.0 + double(b.a1) * z1 + double(b.a2) * z2));
}

/// Prewarped normalised frequency of the bilinear transform: tan(pi f / fs) / tan(pi f0 / fs).
double omega(double f, double f0, double fs = kFs) {
    return std::tan(kPi * f / fs) / std::tan(kPi * f0 / fs);
}

/// Q equivalent to a bandwidth in octaves at centre f0.
double bandwidthQ(double octaves, double f0, double fs = kFs) {
    const double w0 = 2 * kPi * f0 / fs;
    return 1.0 / (2.0 * std::sinh(std::log(2.0) / 2.0 * octaves * w0 / std::sin(w0)));
}

double secondOrderDenominator(double W, double q) {
    return (1 - W * W) * (1 - W * W) + (W / q) * (W / q);
}

double lowPassResponse(double f, double f0, double q) {
    return 1.0 / std::sqrt(secondOrderDenominator(omega(f, f0), q));
}

double highPassResponse(double f, double f0, double q) {
    const double W = omega(f, f0);
    return W * W / std::sqrt(secondOrderDenominator(W, q));
}

double bandPassResponse(double f, double f0, double octaves) {
    const double q = bandwidthQ(octaves, f0), W = omega(f, f0);
    return (W / q) / std::sqrt(secondOrderDenominator(W, q));
}

double peakingResponse(double f, double f0, double octaves, double gainDb) {
    const double q = bandwidthQ(octaves, f0), W = omega(f, f0), A = std::pow(10, gainDb / 40);
    const double num = (1 - W * W) * (1 - W * W) + (W * A / q) * (W * A / q);
    const double den = (1 - W * W) * (1 - W * W) + (W / (A * q)) * (W / (A * q));
    return std::sqrt(num / den);
}

const double kProbeFrequencies[] = {50, 200, 700, 1000, 1500, 3000, 6000, 12000, 18000};

/// Amplitude of the steady-state output for a sine of frequency f through the filter.
double measuredGain(Biquad f, double frequency) {
    const int settle = 20000, measure = 4000;
    std::vector<float> buffer(settle + measure);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = float(std::sin(2 * kPi * frequency * double(i) / kFs));
    processBiquad(f, buffer.data(), int(buffer.size()));
    double peak = 0;
    for (int i = settle; i < settle + measure; ++i)
        peak = std::max(peak, std::fabs(double(buffer[i])));
    return peak;
}

bool sameCoefficients(const Biquad& a, const Biquad& b) {
    return a.b0 == b.b0 && a.b1 == b.b1 && a.b2 == b.b2 && a.a1 == b.a1 && a.a2 == b.a2;
}

bool sameRecord(const Biquad& a, const Biquad& b) {
    return sameCoefficients(a, b) && std::memcmp(a.state, b.state, sizeof a.state) == 0 &&
           a.type == b.type && a.flags == b.flags && a.frequency == b.frequency &&
           a.gainDb == b.gainDb && a.mix == b.mix && a.q == b.q;
}

} // namespace

// ---- responses ----------------------------------------------------------------------------------

TEST(BiquadResponse, LowAndHighPassFollowTheirAnalyticResponses) {
    for (float f0 : {150.0f, 1000.0f, 6500.0f}) {
        const Biquad lp = makeFilter(BiquadLowPass, f0, 0.9f);
        const Biquad hp = makeFilter(BiquadHighPass, f0, 0.9f);
        for (double f : kProbeFrequencies) {
            SCOPED_TRACE(f0);
            SCOPED_TRACE(f);
            EXPECT_NEAR(designedMagnitude(lp, f), lowPassResponse(f, f0, 0.9), 2e-3);
            EXPECT_NEAR(designedMagnitude(hp, f), highPassResponse(f, f0, 0.9), 2e-3);
        }
        // At the cut-off both reach Q.
        EXPECT_NEAR(designedMagnitude(lp, f0), 0.9, 1e-3);
        EXPECT_NEAR(designedMagnitude(hp, f0), 0.9, 1e-3);
    }
}

TEST(BiquadResponse, BandPassHasUnityPeakAndItsBandwidth) {
    for (float f0 : {1500.0f, 2540.0f, 4000.0f}) {
        const Biquad bp = makeFilter(BiquadBandPass, f0, 0.3f);
        EXPECT_NEAR(designedMagnitude(bp, f0), 1.0, 1e-4);
        for (double f : kProbeFrequencies)
            EXPECT_NEAR(designedMagnitude(bp, f), bandPassResponse(f, f0, 0.3), 1e-3) << f;
    }
}

TEST(BiquadResponse, PeakingShelvesAndAllPass) {
    const Biquad peak = makeFilter(BiquadPeaking, 1000.0f, 1.0f, 6.0f);
    for (double f : kProbeFrequencies)
        EXPECT_NEAR(designedMagnitude(peak, f), peakingResponse(f, 1000, 1.0, 6.0), 2e-3) << f;
    EXPECT_NEAR(designedMagnitude(peak, 1000), std::pow(10, 6.0 / 20), 1e-3);

    // Shelves: full gain at one end, unity at the other, half the gain in dB at f0.
    const double A = std::pow(10, 9.0 / 40);
    const Biquad high = makeFilter(BiquadHighShelf, 2000.0f, 0.707f, 9.0f);
    EXPECT_NEAR(designedMagnitude(high, 1), 1.0, 1e-3);
    EXPECT_NEAR(designedMagnitude(high, kFs / 2), A * A, 1e-3);
    EXPECT_NEAR(designedMagnitude(high, 2000), A, 1e-3);
    const Biquad low = makeFilter(BiquadLowShelf, 300.0f, 0.707f, -9.0f);
    EXPECT_NEAR(designedMagnitude(low, 0), 1 / (A * A), 1e-3);
    EXPECT_NEAR(designedMagnitude(low, kFs / 2), 1.0, 1e-3);
    EXPECT_NEAR(designedMagnitude(low, 300), 1 / A, 1e-3);

    Biquad all = makeFilter(BiquadAllPass, 1000.0f, 0.7f);
    for (double f : kProbeFrequencies)
        EXPECT_NEAR(designedMagnitude(all, f), 1.0, 1e-4) << f;
    EXPECT_EQ(all.flags & kBiquadTwoPass, kBiquadTwoPass);
}

TEST(BiquadResponse, ProcessingGivesTheDesignedGain) {
    const Biquad lp = makeFilter(BiquadLowPass, 1000.0f, 0.9f);
    for (double f : {300.0, 1000.0, 3000.0})
        EXPECT_NEAR(measuredGain(lp, f), lowPassResponse(f, 1000, 0.9), 5e-3) << f;
    const Biquad bp = makeFilter(BiquadBandPass, 1500.0f, 0.3f);
    EXPECT_NEAR(measuredGain(bp, 1500.0), 1.0, 5e-3);
    EXPECT_NEAR(measuredGain(bp, 5000.0), bandPassResponse(5000, 1500, 0.3), 5e-3);
}

TEST(BiquadResponse, FourthOrderTypesRunTwiceAndTheBitSticks) {
    Biquad hp4 = makeFilter(BiquadHighPass4, 500.0f, 0.9f);
    EXPECT_EQ(hp4.flags & kBiquadTwoPass, kBiquadTwoPass);
    const double single = highPassResponse(300, 500, 0.9);
    EXPECT_NEAR(measuredGain(hp4, 300.0), single * single, 5e-3);

    const Biquad lp4 = makeFilter(BiquadLowPass4, 1000.0f, 0.9f);
    EXPECT_EQ(lp4.flags & kBiquadTwoPass, kBiquadTwoPass);
    EXPECT_NEAR(measuredGain(lp4, 2000.0), std::pow(lowPassResponse(2000, 1000, 0.9), 2), 5e-3);

    // Redesigned as a plain high-pass, the record keeps running twice.
    hp4.type = BiquadHighPass;
    designBiquad(hp4, kFs);
    EXPECT_EQ(hp4.flags & kBiquadTwoPass, kBiquadTwoPass);
    EXPECT_NEAR(measuredGain(hp4, 300.0), single * single, 5e-3);
    const Biquad hp2 = makeFilter(BiquadHighPass, 500.0f, 0.9f);
    EXPECT_EQ(hp2.flags, 0);
    EXPECT_NEAR(measuredGain(hp2, 300.0), single, 5e-3);
}

// ---- range corrections --------------------------------------------------------------------------

TEST(BiquadDesignLimits, FrequencyLimitsAreStoredBack) {
    EXPECT_EQ(makeFilter(BiquadHighPass, 5.0f, 0.9f).frequency, 10.0f);
    EXPECT_EQ(makeFilter(BiquadHighPass4, 2.0f, 0.9f).frequency, 10.0f);
    EXPECT_EQ(makeFilter(BiquadLowPass, 30000.0f, 0.9f).frequency, 21609.0f);
    EXPECT_EQ(makeFilter(BiquadLowPass, 50.0f, 0.9f).frequency, 100.0f);
    EXPECT_EQ(makeFilter(BiquadLowPass4, 50.0f, 0.9f).frequency, 100.0f);
    EXPECT_EQ(makeFilter(BiquadBandPass, 0.1f, 0.3f).frequency, 0.5f);
    EXPECT_EQ(makeFilter(BiquadPeaking, std::numeric_limits<float>::quiet_NaN(), 1).frequency,
              0.5f);
    EXPECT_EQ(makeFilter(BiquadHighPass, 150.0f, 0.9f).frequency, 150.0f);
}

TEST(BiquadDesignLimits, ZeroSampleRateChangesNothingAtAll) {
    Biquad f;
    f.type = BiquadLowPass;
    f.frequency = 5.0f;
    f.q = 0.0f;
    f.mix = 3.0f;
    f.b0 = 0.25f;
    f.a2 = -0.5f;
    f.state[3] = 0.125f;
    Biquad before = f;
    designBiquad(f, 0.0f);
    EXPECT_TRUE(sameRecord(f, before));
    // Negative and non-finite rates are treated the same way.
    for (float fs : {-44100.0f, std::numeric_limits<float>::quiet_NaN(),
                     std::numeric_limits<float>::infinity()}) {
        designBiquad(f, fs);
        EXPECT_TRUE(sameRecord(f, before)) << fs;
    }
}

TEST(BiquadDesignLimits, ZeroQMeansPoint707AndMixOutsideTheOpenRangeMeansOne) {
    const Biquad zeroQ = makeFilter(BiquadHighPass, 300.0f, 0.0f);
    const Biquad q707 = makeFilter(BiquadHighPass, 300.0f, 0.707f);
    EXPECT_EQ(zeroQ.q, 0.707f);
    EXPECT_TRUE(sameCoefficients(zeroQ, q707));
    EXPECT_EQ(makeFilter(BiquadHighPass, 300.0f, std::numeric_limits<float>::quiet_NaN()).q,
              0.707f);

    for (float mix : {0.0f, -1.0f, 1.0f, 7.0f, std::numeric_limits<float>::quiet_NaN()}) {
        Biquad f;
        f.type = BiquadLowPass;
        f.frequency = 1000.0f;
        f.mix = mix;
        designBiquad(f, kFs);
        EXPECT_EQ(f.mix, 1.0f) << mix;
    }
    Biquad half;
    half.type = BiquadLowPass;
    half.frequency = 1000.0f;
    half.mix = 0.5f;
    designBiquad(half, kFs);
    EXPECT_EQ(half.mix, 0.5f);
    // Half wet: the first output is half the filtered impulse plus half the dry impulse.
    float x[1] = {1.0f};
    processBiquad(half, x, 1);
    EXPECT_FLOAT_EQ(x[0], 0.5f * half.b0 + 0.5f);
}

TEST(BiquadDesignLimits, SendFilterDefaultsAreASymmetricBandPass) {
    const Biquad f = makeFilter(BiquadBandPass, 1500.0f, 0.3f);
    EXPECT_EQ(f.b1, 0.0f);
    EXPECT_EQ(f.b2, -f.b0);
    EXPECT_GT(f.b0, 0.0f);
}

TEST(BiquadDesignLimits, UnknownTypesKeepTheirCoefficients) {
    for (int type : {0, 10, -3}) {
        Biquad f;
        f.type = static_cast<std::int8_t>(type);
        f.frequency = 1000.0f;
        f.b0 = 0.3f;
        f.a1 = 0.2f;
        designBiquad(f, kFs);
        EXPECT_EQ(f.b0, 0.3f);
        EXPECT_EQ(f.a1, 0.2f);
    }
}

// ---- hostile values -----------------------------------------------------------------------------

TEST(BiquadHostile, InfiniteOrAliasedFrequenciesStillGiveStableFilters) {
    const float inf = std::numeric_limits<float>::infinity();
    for (int type : {1, 2, 5, 6, 7, 8, 9}) {
        for (float frequency : {inf, 30000.0f, 22050.0f, 1e30f}) {
            SCOPED_TRACE(type);
            SCOPED_TRACE(frequency);
            Biquad f;
            f.type = static_cast<std::int8_t>(type);
            f.frequency = frequency;
            f.q = 0.9f;
            designBiquad(f, kFs);
            for (float c : {f.b0, f.b1, f.b2, f.a1, f.a2})
                ASSERT_TRUE(std::isfinite(c));
            // Poles inside the unit circle: the impulse response dies away.
            std::vector<float> buffer(20000, 0.0f);
            buffer[0] = 1.0f;
            processBiquad(f, buffer.data(), int(buffer.size()));
            EXPECT_LT(std::fabs(buffer.back()), 1e-3f);
        }
    }
}

TEST(BiquadHostile, AnOverflowingDesignKeepsThePreviousCoefficients) {
    Biquad f = makeFilter(BiquadPeaking, 1000.0f, 1.0f, 6.0f);
    const Biquad good = f;
    for (float gain : {std::numeric_limits<float>::quiet_NaN(), 1e30f, -1e30f}) {
        f.gainDb = gain;
        designBiquad(f, kFs);
        EXPECT_TRUE(sameCoefficients(f, good)) << gain;
    }
}

TEST(BiquadHostile, ANaNSampleDoesNotSilenceTheFilterForGood) {
    Biquad f = makeFilter(BiquadLowPass, 1000.0f, 0.9f);
    std::vector<float> buffer(100, 0.5f);
    buffer[10] = std::numeric_limits<float>::quiet_NaN();
    buffer[20] = std::numeric_limits<float>::infinity();
    processBiquad(f, buffer.data(), 100);
    for (float v : buffer)
        ASSERT_TRUE(std::isfinite(v));
    // Recovered: a steady 0.5 comes through at unity gain again.
    EXPECT_NEAR(buffer[99], 0.5f, 0.02f);
}

// ---- denormal flushing --------------------------------------------------------------------------

TEST(BiquadFlush, TinyInputsBecomeExactZeros) {
    Biquad f = makeFilter(BiquadLowPass, 1000.0f, 0.9f);
    std::vector<float> buffer(64, 1e-30f);
    processBiquad(f, buffer.data(), 64);
    for (float v : buffer)
        EXPECT_EQ(v, 0.0f);
}

TEST(BiquadFlush, ADecayingTailEndsInExactZeros) {
    Biquad f = makeFilter(BiquadLowPass4, 500.0f, 0.9f);
    std::vector<float> buffer(200000, 1e-27f);
    buffer[0] = 1.0f;
    processBiquad(f, buffer.data(), int(buffer.size()));
    for (std::size_t i = buffer.size() - 1000; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0.0f);
    for (float s : f.state)
        EXPECT_TRUE(s == 0.0f || std::fabs(s) >= kBiquadFlushLevel) << s;
}

// ---- stability ----------------------------------------------------------------------------------

namespace {

/// Both poles strictly inside the unit circle, judged in double on the stored floats.
bool strictlyStable(const Biquad& f) {
    const double a1 = f.a1, a2 = f.a2;
    return std::fabs(a2) < 1.0 && std::fabs(a1) < 1.0 + a2;
}

/// A fresh design; coefficients left over from before it would show as not-a-number.
Biquad designAt(int type, float frequency, float q, float fs, float gainDb = 0.0f) {
    Biquad f;
    f.b0 = f.b1 = f.b2 = f.a1 = f.a2 = std::numeric_limits<float>::quiet_NaN();
    f.type = static_cast<std::int8_t>(type);
    f.frequency = frequency;
    f.q = q;
    f.gainDb = gainDb;
    designBiquad(f, fs);
    return f;
}

/// Largest output magnitude of the section for an impulse (step false) or a unit step over n
/// samples, and the last output; -1 as the peak when any output is not finite.
struct Response {
    double peak;
    float last;
};
Response runFrom(Biquad f, bool step, int n) {
    std::vector<float> buffer(n, step ? 1.0f : 0.0f);
    buffer[0] = 1.0f;
    processBiquad(f, buffer.data(), n);
    double peak = 0.0;
    for (float v : buffer) {
        if (!std::isfinite(v)) return {-1.0, v};
        peak = std::max(peak, double(std::fabs(v)));
    }
    return {peak, buffer.back()};
}

} // namespace

TEST(BiquadStability, EveryDesignIsStrictlyStableAtEveryRate) {
    const float rates[] = {8000, 22050, 44100, 48000, 96000, 192000, 384000, 768000};
    const float qs[] = {0.3f, 0.707f, 0.9f, 10.0f, 1e-3f, -0.5f};
    int designs = 0;
    for (int type = BiquadHighPass; type <= BiquadBandPass; ++type)
        for (float fs : rates)
            for (float q : qs)
                for (double frequency = 0.5; frequency < 2.0 * fs; frequency *= 1.1) {
                    const Biquad f = designAt(type, float(frequency), q, fs, 6.0f);
                    ++designs;
                    ASSERT_TRUE(strictlyStable(f) && std::isfinite(f.b0) && std::isfinite(f.b1) &&
                                std::isfinite(f.b2))
                        << "type " << type << ", " << frequency << " Hz at " << fs << " Hz, Q " << q
                        << ": a1 " << f.a1 << ", a2 " << f.a2;
                    ASSERT_EQ(f.frequency, limitedFrequency(f.type, float(frequency), fs));
                }
    EXPECT_GT(designs, 50000);
}

TEST(BiquadStability, LowCornersAtHighRatesStayBoundedAndPassNoDc) {
    // Single precision puts the poles of both on or outside the unit circle.
    const Biquad highPass = designAt(BiquadHighPass, 10.0f, 0.9f, 768000.0f);
    const Biquad bandPass = designAt(BiquadBandPass, 1.0f, 0.3f, 44100.0f);
    EXPECT_EQ(highPass.b1, -2.0f * highPass.b0);
    EXPECT_EQ(highPass.b2, highPass.b0);
    EXPECT_EQ(bandPass.b1, 0.0f);
    EXPECT_EQ(bandPass.b2, -bandPass.b0);
    for (bool step : {false, true}) {
        SCOPED_TRACE(step ? "step" : "impulse");
        const Response hp = runFrom(highPass, step, 3 * 768000);
        const Response bp = runFrom(bandPass, step, 10 * 44100);
        EXPECT_GE(hp.peak, 0.5);
        EXPECT_LT(hp.peak, 10.0);
        EXPECT_GT(bp.peak, 0.0);
        EXPECT_LT(bp.peak, 10.0);
        // Both have died away, the step included: no DC comes through.
        EXPECT_LT(std::fabs(hp.last), 1e-3f);
        EXPECT_LT(std::fabs(bp.last), 1e-3f);
    }
}

TEST(BiquadStability, StableSinglePrecisionDesignsKeepTheirExactCoefficients) {
    // The single-precision formulas as written, for designs whose poles they place safely. The
    // inputs are read back from the records, so the compiler cannot fold the arithmetic with
    // other rounding than the instrument's own functions at run time.
    const float fs = 44100.0f;
    {
        const Biquad f = designAt(BiquadHighPass, 150.0f, 0.9f, fs);
        const float w0 = float(double(f.frequency) * (2.0 * kPi) / fs);
        const float cs = portable::cos(w0), sn = portable::sin(w0);
        const float alpha = sn / (2.0f * f.q), t = 1.0f / (1.0f + alpha);
        EXPECT_EQ(f.b0, t * ((1.0f + cs) / 2.0f));
        EXPECT_EQ(f.b1, t * -(1.0f + cs));
        EXPECT_EQ(f.b2, t * ((1.0f + cs) / 2.0f));
        EXPECT_EQ(f.a1, t * (-2.0f * cs));
        EXPECT_EQ(f.a2, t * (1.0f - alpha));
    }
    {
        const Biquad f = designAt(BiquadBandPass, 1500.0f, 0.3f, fs);
        const float w0 = float(double(f.frequency) * (2.0 * kPi) / fs);
        const float cs = portable::cos(w0), sn = portable::sin(w0);
        const float alpha = sn * portable::sinh(0.3465736f * f.q * w0 / sn);
        const float t = 1.0f / (1.0f + alpha);
        EXPECT_EQ(f.b0, t * alpha);
        EXPECT_EQ(f.b1, 0.0f);
        EXPECT_EQ(f.b2, t * -alpha);
        EXPECT_EQ(f.a1, t * (-2.0f * cs));
        EXPECT_EQ(f.a2, t * (1.0f - alpha));
    }
}

TEST(BiquadStability, ANegativeQIsDesignedWithItsMagnitude) {
    for (int type : {BiquadHighPass, BiquadBandPass, BiquadPeaking, BiquadLowShelf}) {
        SCOPED_TRACE(type);
        const Biquad negative = designAt(type, 1000.0f, -0.9f, kFs, 6.0f);
        const Biquad positive = designAt(type, 1000.0f, 0.9f, kFs, 6.0f);
        EXPECT_EQ(negative.q, -0.9f);
        for (double f : kProbeFrequencies)
            EXPECT_NEAR(designedMagnitude(negative, f), designedMagnitude(positive, f), 1e-4) << f;
    }
}

TEST(BiquadStability, LimitedFrequencyFollowsTheDesign) {
    EXPECT_EQ(limitedFrequency(BiquadLowPass4, 30000.0f, 44100.0f), 21609.0f);
    EXPECT_EQ(limitedFrequency(BiquadHighPass4, 3.0f, 44100.0f), 10.0f);
    EXPECT_EQ(limitedFrequency(BiquadBandPass, std::numeric_limits<float>::quiet_NaN(), 8000.0f),
              0.5f);
    EXPECT_EQ(limitedFrequency(BiquadPeaking, 30000.0f, 44100.0f), 30000.0f);
    // Without a usable rate nothing is designed, so nothing is limited.
    for (float fs : {0.0f, -44100.0f, std::numeric_limits<float>::infinity()})
        EXPECT_EQ(limitedFrequency(BiquadLowPass, 30000.0f, fs), 30000.0f) << fs;
}
