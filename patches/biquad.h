// One second-order filter section with the RBJ cookbook designs. A section whose flags bit 0
// is set runs twice in series (fourth order); the design only ever sets that bit.
#pragma once

#include <cmath>
#include <cstdint>

/// Filter types of Biquad::type.
enum BiquadType : std::int8_t {
    BiquadHighPass = 1,
    BiquadHighPass4 = 2,
    BiquadLowPass = 3,
    BiquadLowPass4 = 4,
    BiquadAllPass = 5,
    BiquadPeaking = 6,
    BiquadHighShelf = 7,
    BiquadLowShelf = 8,
    BiquadBandPass = 9,
};

/// Bit 0 of Biquad::flags: run the section twice.
constexpr std::uint8_t kBiquadTwoPass = 1;
/// Coefficients, inputs and history values below this magnitude are flushed to 0.
constexpr float kBiquadFlushLevel = 1e-25f;

struct Biquad {
    float b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0; ///< normalised by a0
    float state[8] = {};    ///< x1, x2, y1, y2 of the section, then of its second pass
    std::int8_t type = 0;   ///< BiquadType
    std::uint8_t flags = 0; ///< kBiquadTwoPass
    float frequency = 0;    ///< Hz
    float gainDb = 0;       ///< dB, types 6, 7 and 8
    float mix = 1.0f;       ///< wet share 0..1
    float q = 1.0f;         ///< Q; bandwidth in octaves for types 6 and 9
};

/// The frequency (Hz) designBiquad stores back into a record of the given type for sampleRate
/// (Hz): at least 0.5 Hz (also for a frequency that is not a number), at least 10 Hz for the
/// high-pass types, and 100 Hz to 0.49 x sampleRate for the low-pass types; every other type
/// keeps its frequency above the 0.5 Hz floor. A sample rate that is 0, negative or not finite
/// returns the frequency unchanged, as designBiquad then changes nothing.
float limitedFrequency(std::int8_t type, float frequency, float sampleRate);

/// Recomputes the coefficients for sampleRate (Hz); corrects q, frequency and mix when out of
/// range. A sample rate of 0 changes nothing. A design whose poles single precision cannot
/// place strictly inside the unit circle (very low frequencies at high sample rates) is made
/// again in double precision; one that cannot be made stable at all, or that overflows, keeps
/// the previous coefficients.
void designBiquad(Biquad& filter, float sampleRate);

/// Filters n samples of buffer in place, keeping the history between calls.
void processBiquad(Biquad& filter, float* buffer, int n);

/// v, or 0 when its magnitude is below the flush level.
inline float flushTiny(float v) {
    return std::fabs(v) < kBiquadFlushLevel ? 0.0f : v;
}

/// One pass of the section over sample x with history h = {x1, x2, y1, y2}. A non-finite result
/// (a non-finite input or an overflowing section) restarts the section from rest and gives 0,
/// so one bad sample cannot silence the bus for good.
///
/// Every step leaves h[0] flushed (it holds the flushed input), so a caller that flushed it
/// once before a run of steps may pass settled = true to skip flushing it again.
template <bool settled = false> inline float runBiquadSection(const Biquad& f, float* h, float x) {
    x = flushTiny(x);
    if (!settled) h[0] = flushTiny(h[0]);
    h[2] = flushTiny(h[2]);
    const float y = f.b0 * x + f.b1 * h[0] + f.b2 * h[1] - f.a1 * h[2] - f.a2 * h[3];
    const float out = f.mix * y + (1.0f - f.mix) * x;
    if (!std::isfinite(out)) {
        h[0] = h[1] = h[2] = h[3] = 0.0f;
        return 0.0f;
    }
    h[1] = h[0];
    h[0] = x;
    h[3] = h[2];
    h[2] = out;
    return out;
}

/// One sample through the filter: the section, twice when kBiquadTwoPass is set. With settled,
/// the sections' x1 must have been flushed (settleBiquad) since the last change from outside.
template <bool settled = false> inline float biquadSample(Biquad& f, float x) {
    const float out = runBiquadSection<settled>(f, f.state, x);
    return (f.flags & kBiquadTwoPass) != 0 ? runBiquadSection<settled>(f, f.state + 4, out) : out;
}

/// Flushes both sections' x1 as their next step would, for a run of settled steps.
inline void settleBiquad(Biquad& f) {
    f.state[0] = flushTiny(f.state[0]);
    f.state[4] = flushTiny(f.state[4]);
}

/// True when the filter holds no history: silence in gives silence out.
inline bool biquadAtRest(const Biquad& f) {
    for (float v : f.state)
        if (v != 0.0f) return false;
    return true;
}
