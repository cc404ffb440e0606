// One second-order filter section with the RBJ cookbook designs. A section whose flags bit 0
// is set runs twice in series (fourth order); the design only ever sets that bit.
#pragma once

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
