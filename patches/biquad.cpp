// RBJ cookbook biquad designs (bandwidth form of alpha for the peaking and band-pass types, Q
// form for the others) and the per-sample section with denormal flushing.
#include "patches/biquad.h"
#include "patches/portable_math.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

/// Q used when a record holds 0 (or not a number).
constexpr float kDefaultQ = 0.707f;
/// Lowest frequency any design accepts, Hz.
constexpr float kMinFrequency = 0.5f;
/// Lowest cut-off of the high-pass types, Hz.
constexpr float kMinHighPassFrequency = 10.0f;
/// Lowest cut-off of the low-pass types, Hz.
constexpr float kMinLowPassFrequency = 100.0f;
/// Highest cut-off as a share of the sample rate. The low-pass types store it back; every
/// other type is designed with at most this frequency (its record keeps the value it holds),
/// because a second-order section tuned above half the sample rate is unstable.
constexpr float kMaxFrequencyShare = 0.49f;
/// ln(2) / 2 for the bandwidth form of alpha.
constexpr double kHalfLn2 = 0.34657359;
constexpr float kHalfLn2Single = 0.3465736f;
/// dB to the shelf/peak amplitude A = 10 ^ (dB / 40).
constexpr double kDbToAmplitudeExponent = 0.025;


/// A = 10 ^ (gainDb / 40) for the peaking and shelving types, rounded once from double.
/// Returns false when the gain gives no usable amplitude (0, infinite or not a number).
bool shelfAmplitude(float gainDb, float& A) {
    A = static_cast<float>(portable::pow10(gainDb * kDbToAmplitudeExponent));
    return std::isnormal(A);
}

/// Both poles strictly inside the unit circle: |a2| < 1 and |a1| < 1 + a2. The second test is
/// written as |a1| - 1 < a2, which double evaluates exactly for float a1 and a2.
bool strictlyStable(float a1, float a2) {
    const double d1 = a1;
    const double d2 = a2;
    return std::fabs(d2) < 1.0 && std::fabs(d1) - 1.0 < d2;
}

bool allFinite(const float* c, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(c[i])) return false;
    return true;
}

/// The design in single precision the sections have always had. Fills c with b0, b1, b2, a1,
/// a2 normalised and flushed; false when the gain gives no amplitude or the design overflows.
bool designSingle(const Biquad& filter, float frequency, float fs, float* c) {
    const float w0 = static_cast<float>(static_cast<double>(frequency) * kTwoPi / fs);
    const float cs = portable::cos(w0);
    const float sn = portable::sin(w0);
    const float q = filter.q;

    float b0 = 0, b1 = 0, b2 = 0, a0 = 1, a1 = 0, a2 = 0;
    switch (filter.type) {
    case BiquadHighPass:
    case BiquadHighPass4: {
        const float alpha = sn / (2.0f * q);
        b0 = (1.0f + cs) / 2.0f;
        b1 = -(1.0f + cs);
        b2 = (1.0f + cs) / 2.0f;
        a0 = 1.0f + alpha;
        a1 = -2.0f * cs;
        a2 = 1.0f - alpha;
        break;
    }
    case BiquadLowPass:
    case BiquadLowPass4: {
        const float alpha = sn / (2.0f * q);
        b0 = (1.0f - cs) / 2.0f;
        b1 = 1.0f - cs;
        b2 = (1.0f - cs) / 2.0f;
        a0 = 1.0f + alpha;
        a1 = static_cast<float>(-2.0 * portable::cos(static_cast<double>(w0)));
        a2 = 1.0f - alpha;
        break;
    }
    case BiquadAllPass: {
        const float alpha = sn / (2.0f * q);
        b0 = 1.0f - alpha;
        b1 = -2.0f * cs;
        b2 = 1.0f + alpha;
        a0 = 1.0f + alpha;
        a1 = -2.0f * cs;
        a2 = 1.0f - alpha;
        break;
    }
    case BiquadPeaking: {
        float A;
        if (!shelfAmplitude(filter.gainDb, A)) return false;
        const double arg = kHalfLn2 * q * static_cast<double>(w0) / static_cast<double>(sn);
        const float alpha = sn * static_cast<float>(portable::sinh(arg));
        b0 = 1.0f + alpha * A;
        b1 = -2.0f * cs;
        b2 = 1.0f - alpha * A;
        a0 = 1.0f + alpha / A;
        a1 = -2.0f * cs;
        a2 = 1.0f - alpha / A;
        break;
    }
    case BiquadHighShelf: {
        float A;
        if (!shelfAmplitude(filter.gainDb, A)) return false;
        const float s = (sn / q) * std::sqrt(A);
        const float csd = static_cast<float>(portable::cos(static_cast<double>(w0)));
        b0 = A * ((A + 1.0f) + (A - 1.0f) * cs + s);
        b1 = -2.0f * A * ((A - 1.0f) + (A + 1.0f) * csd);
        b2 = A * ((A + 1.0f) + (A - 1.0f) * cs - s);
        a0 = (A + 1.0f) - (A - 1.0f) * cs + s;
        a1 = 2.0f * ((A - 1.0f) - (A + 1.0f) * cs);
        a2 = (A + 1.0f) - (A - 1.0f) * cs - s;
        break;
    }
    case BiquadLowShelf: {
        float A;
        if (!shelfAmplitude(filter.gainDb, A)) return false;
        const float s = (sn / q) * std::sqrt(A);
        b0 = A * ((A + 1.0f) - (A - 1.0f) * cs + s);
        b1 = 2.0f * A * ((A - 1.0f) - (A + 1.0f) * cs);
        b2 = A * ((A + 1.0f) - (A - 1.0f) * cs - s);
        a0 = (A + 1.0f) + (A - 1.0f) * cs + s;
        a1 = -2.0f * ((A - 1.0f) + (A + 1.0f) * cs);
        a2 = (A + 1.0f) + (A - 1.0f) * cs - s;
        break;
    }
    case BiquadBandPass: {
        const float alpha = sn * portable::sinh(kHalfLn2Single * q * w0 / sn);
        b0 = alpha;
        b1 = 0.0f;
        b2 = -alpha;
        a0 = 1.0f + alpha;
        a1 = -2.0f * cs;
        a2 = 1.0f - alpha;
        break;
    }
    default:
        return false;
    }

    if (!std::isfinite(a0) || a0 == 0.0f) return false;
    const float t = 1.0f / a0;
    c[0] = flushTiny(t * b0);
    c[1] = flushTiny(t * b1);
    c[2] = flushTiny(t * b2);
    c[3] = flushTiny(t * a1);
    c[4] = flushTiny(t * a2);
    return allFinite(c, 5);
}

/// Moves a1 toward 0 until |a1| < 1 + a2 (a2 already inside -1..1). The result is the float a
/// walk in single ulp steps would stop at, the largest magnitude inside the bound, but the
/// search starts next to the bound rather than at a1.
float pullInsideBound(float a1, float a2) {
    float m = std::fabs(a1);
    if (strictlyStable(m, a2)) return a1;
    const float nearBound = static_cast<float>(1.0 + static_cast<double>(a2));
    if (nearBound < m) m = nearBound; // every float between it and |a1| is outside too
    while (!strictlyStable(m, a2))
        m = std::nextafter(m, 0.0f);
    return std::copysign(m, a1);
}

/// The same designs in double precision, each normalised coefficient rounded once to float and
/// the poles then moved minimally inside the unit circle. The magnitude of Q is used, since a
/// negative one turns the poles outward. False when no stable, finite section results.
bool designDouble(const Biquad& filter, float frequency, float fs, float* c) {
    const double w0 = static_cast<double>(frequency) * kTwoPi / static_cast<double>(fs);
    const double cs = portable::cos(w0);
    const double sn = portable::sin(w0);
    const double q = std::fabs(static_cast<double>(filter.q));

    double A = 1.0;
    switch (filter.type) {
    case BiquadPeaking:
    case BiquadHighShelf:
    case BiquadLowShelf: {
        // The single-precision amplitude decides what gain is usable at all.
        float usable;
        if (!shelfAmplitude(filter.gainDb, usable)) return false;
        A = portable::pow10(filter.gainDb * kDbToAmplitudeExponent);
        break;
    }
    default:
        break;
    }

    double b0 = 0, b1 = 0, b2 = 0, a0 = 1, a1 = 0, a2 = 0;
    switch (filter.type) {
    case BiquadHighPass:
    case BiquadHighPass4: {
        const double alpha = sn / (2.0 * q);
        b0 = (1.0 + cs) / 2.0;
        b1 = -(1.0 + cs);
        b2 = (1.0 + cs) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha;
        break;
    }
    case BiquadLowPass:
    case BiquadLowPass4: {
        const double alpha = sn / (2.0 * q);
        b0 = (1.0 - cs) / 2.0;
        b1 = 1.0 - cs;
        b2 = (1.0 - cs) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha;
        break;
    }
    case BiquadAllPass: {
        const double alpha = sn / (2.0 * q);
        b0 = 1.0 - alpha;
        b1 = -2.0 * cs;
        b2 = 1.0 + alpha;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha;
        break;
    }
    case BiquadPeaking: {
        const double alpha = sn * portable::sinh(kHalfLn2 * q * w0 / sn);
        b0 = 1.0 + alpha * A;
        b1 = -2.0 * cs;
        b2 = 1.0 - alpha * A;
        a0 = 1.0 + alpha / A;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha / A;
        break;
    }
    case BiquadHighShelf: {
        const double s = (sn / q) * std::sqrt(A);
        b0 = A * ((A + 1.0) + (A - 1.0) * cs + s);
        b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * cs);
        b2 = A * ((A + 1.0) + (A - 1.0) * cs - s);
        a0 = (A + 1.0) - (A - 1.0) * cs + s;
        a1 = 2.0 * ((A - 1.0) - (A + 1.0) * cs);
        a2 = (A + 1.0) - (A - 1.0) * cs - s;
        break;
    }
    case BiquadLowShelf: {
        const double s = (sn / q) * std::sqrt(A);
        b0 = A * ((A + 1.0) - (A - 1.0) * cs + s);
        b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * cs);
        b2 = A * ((A + 1.0) - (A - 1.0) * cs - s);
        a0 = (A + 1.0) + (A - 1.0) * cs + s;
        a1 = -2.0 * ((A - 1.0) + (A + 1.0) * cs);
        a2 = (A + 1.0) + (A - 1.0) * cs - s;
        break;
    }
    case BiquadBandPass: {
        const double alpha = sn * portable::sinh(kHalfLn2 * q * w0 / sn);
        b0 = alpha;
        b1 = 0.0;
        b2 = -alpha;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cs;
        a2 = 1.0 - alpha;
        break;
    }
    default:
        return false;
    }

    if (!std::isfinite(a0) || a0 == 0.0) return false;
    const double normalised[5] = {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
    for (int i = 0; i < 5; ++i)
        c[i] = flushTiny(static_cast<float>(normalised[i]));
    if (!allFinite(c, 5)) return false;

    switch (filter.type) {
    case BiquadHighPass:
    case BiquadHighPass4:
        // b0 - 2 b0 + b0 cancels exactly: no DC gets through.
        c[1] = -2.0f * c[0];
        c[2] = c[0];
        break;
    case BiquadBandPass:
        c[1] = 0.0f;
        c[2] = -c[0];
        break;
    default:
        break;
    }

    if (std::fabs(c[4]) >= 1.0f) c[4] = std::copysign(std::nextafter(1.0f, 0.0f), c[4]);
    c[3] = pullInsideBound(c[3], c[4]);
    if (filter.type == BiquadAllPass) {
        // The numerator mirrors the denominator, so the gain stays exactly 1.
        c[0] = c[4];
        c[1] = c[3];
    }
    return strictlyStable(c[3], c[4]);
}

} // namespace

float limitedFrequency(std::int8_t type, float frequency, float fs) {
    if (!(fs > 0.0f) || !std::isfinite(fs)) return frequency;
    if (!(frequency >= kMinFrequency)) frequency = kMinFrequency;
    switch (type) {
    case BiquadHighPass:
    case BiquadHighPass4:
        if (frequency < kMinHighPassFrequency) frequency = kMinHighPassFrequency;
        break;
    case BiquadLowPass:
    case BiquadLowPass4: {
        const float nyquistLimit = fs * kMaxFrequencyShare;
        if (frequency < kMinLowPassFrequency) frequency = kMinLowPassFrequency;
        if (frequency > nyquistLimit) frequency = nyquistLimit;
        break;
    }
    default:
        break;
    }
    return frequency;
}

void designBiquad(Biquad& filter, float fs) {
    if (fs == 0.0f) return;
    // A negative or non-finite rate has no meaningful design: like 0, it changes nothing.
    if (!(fs > 0.0f) || !std::isfinite(fs)) return;

    if (filter.q == 0.0f || !std::isfinite(filter.q)) filter.q = kDefaultQ;
    filter.frequency = limitedFrequency(filter.type, filter.frequency, fs);
    if (!(filter.mix > 0.0f && filter.mix < 1.0f)) filter.mix = 1.0f;

    switch (filter.type) {
    case BiquadHighPass4:
    case BiquadLowPass4:
    case BiquadAllPass:
        filter.flags |= kBiquadTwoPass;
        break;
    case BiquadHighPass:
    case BiquadLowPass:
    case BiquadPeaking:
    case BiquadHighShelf:
    case BiquadLowShelf:
    case BiquadBandPass:
        break;
    default:
        return; // unknown types keep their coefficients
    }

    const float nyquistLimit = fs * kMaxFrequencyShare;
    const float frequency = filter.frequency > nyquistLimit ? nyquistLimit : filter.frequency;
    float c[5];
    // Far below the sample rate the cosine of the angle rounds to 1 in single precision and the
    // poles land on or outside the unit circle; such designs, and overflowing ones, are made
    // again in double. An extreme gain or Q that defeats that too keeps the previous section.
    // Every design single precision does place safely is stored exactly as it comes out.
    const bool stable = (designSingle(filter, frequency, fs, c) && strictlyStable(c[3], c[4])) ||
                        designDouble(filter, frequency, fs, c);
    if (!stable) return;
    filter.b0 = c[0];
    filter.b1 = c[1];
    filter.b2 = c[2];
    filter.a1 = c[3];
    filter.a2 = c[4];
}

void processBiquad(Biquad& filter, float* buffer, int n) {
    if (buffer == nullptr) return;
    for (int k = 0; k < n; ++k)
        buffer[k] = biquadSample(filter, buffer[k]);
}
