// RBJ cookbook biquad designs (bandwidth form of alpha for the peaking and band-pass types, Q
// form for the others) and the per-sample section with denormal flushing.
#include "patches/biquad.h"

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

float flush(float v) {
    return std::fabs(v) < kBiquadFlushLevel ? 0.0f : v;
}

/// A = 10 ^ (gainDb / 40) for the peaking and shelving types, rounded once from double.
/// Returns false when the gain gives no usable amplitude (0, infinite or not a number).
bool shelfAmplitude(float gainDb, float& A) {
    A = static_cast<float>(std::pow(10.0, gainDb * kDbToAmplitudeExponent));
    return std::isnormal(A);
}

/// One pass of the section over sample x with history h = {x1, x2, y1, y2}.
float runSection(const Biquad& f, float* h, float x) {
    x = flush(x);
    h[0] = flush(h[0]);
    h[2] = flush(h[2]);
    const float y = f.b0 * x + f.b1 * h[0] + f.b2 * h[1] - f.a1 * h[2] - f.a2 * h[3];
    float out = f.mix * y + (1.0f - f.mix) * x;
    if (!std::isfinite(out)) {
        // A non-finite input or an overflowing section would otherwise keep its history NaN
        // forever and silence the bus for good: start again from rest instead.
        h[0] = h[1] = h[2] = h[3] = 0.0f;
        return 0.0f;
    }
    h[1] = h[0];
    h[0] = x;
    h[3] = h[2];
    h[2] = out;
    return out;
}

} // namespace

void designBiquad(Biquad& filter, float fs) {
    if (fs == 0.0f) return;
    // A negative or non-finite rate has no meaningful design: like 0, it changes nothing.
    if (!(fs > 0.0f) || !std::isfinite(fs)) return;

    if (filter.q == 0.0f || !std::isfinite(filter.q)) filter.q = kDefaultQ;
    if (!(filter.frequency >= kMinFrequency)) filter.frequency = kMinFrequency;
    if (!(filter.mix > 0.0f && filter.mix < 1.0f)) filter.mix = 1.0f;

    const float nyquistLimit = fs * kMaxFrequencyShare;
    switch (filter.type) {
    case BiquadHighPass4:
        filter.flags |= kBiquadTwoPass;
        [[fallthrough]];
    case BiquadHighPass:
        if (filter.frequency < kMinHighPassFrequency) filter.frequency = kMinHighPassFrequency;
        break;
    case BiquadLowPass4:
        filter.flags |= kBiquadTwoPass;
        [[fallthrough]];
    case BiquadLowPass:
        if (filter.frequency < kMinLowPassFrequency) filter.frequency = kMinLowPassFrequency;
        if (filter.frequency > nyquistLimit) filter.frequency = nyquistLimit;
        break;
    case BiquadAllPass:
        filter.flags |= kBiquadTwoPass;
        break;
    case BiquadPeaking:
    case BiquadHighShelf:
    case BiquadLowShelf:
    case BiquadBandPass:
        break;
    default:
        return; // unknown types keep their coefficients
    }

    const float frequency = filter.frequency > nyquistLimit ? nyquistLimit : filter.frequency;
    const float w0 = static_cast<float>(static_cast<double>(frequency) * kTwoPi / fs);
    const float cs = std::cos(w0);
    const float sn = std::sin(w0);
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
        a1 = static_cast<float>(-2.0 * std::cos(static_cast<double>(w0)));
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
        if (!shelfAmplitude(filter.gainDb, A)) return; // keep the previous coefficients
        const double arg = kHalfLn2 * q * static_cast<double>(w0) / static_cast<double>(sn);
        const float alpha = sn * static_cast<float>(std::sinh(arg));
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
        if (!shelfAmplitude(filter.gainDb, A)) return; // keep the previous coefficients
        const float s = (sn / q) * std::sqrt(A);
        const float csd = static_cast<float>(std::cos(static_cast<double>(w0)));
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
        if (!shelfAmplitude(filter.gainDb, A)) return; // keep the previous coefficients
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
        const float alpha = sn * std::sinh(kHalfLn2Single * q * w0 / sn);
        b0 = alpha;
        b1 = 0.0f;
        b2 = -alpha;
        a0 = 1.0f + alpha;
        a1 = -2.0f * cs;
        a2 = 1.0f - alpha;
        break;
    }
    default:
        return;
    }

    // An extreme gain or Q can overflow the design; keep the previous, working section.
    if (!std::isfinite(a0) || a0 == 0.0f) return;
    const float t = 1.0f / a0;
    const float c[5] = {flush(t * b0), flush(t * b1), flush(t * b2), flush(t * a1), flush(t * a2)};
    for (float v : c)
        if (!std::isfinite(v)) return;
    filter.b0 = c[0];
    filter.b1 = c[1];
    filter.b2 = c[2];
    filter.a1 = c[3];
    filter.a2 = c[4];
}

void processBiquad(Biquad& filter, float* buffer, int n) {
    if (buffer == nullptr) return;
    const bool twoPass = (filter.flags & kBiquadTwoPass) != 0;
    for (int k = 0; k < n; ++k) {
        float out = runSection(filter, filter.state, buffer[k]);
        if (twoPass) out = runSection(filter, filter.state + 4, out);
        buffer[k] = out;
    }
}
