// How different two programs sound, as one number in dB: fingerprints of their single notes
// and the distance between them (the definition is explained at the top of
// program_distance.cpp).
#pragma once

#include "tools/bank_measure/signal_measures.h"

#include <vector>

namespace bank_measure {

/// Harmonics compared, counted from the fundamental.
constexpr int kFingerprintHarmonics = 16;
/// Envelope sampling step and length of the sampled stretch, seconds.
constexpr double kFingerprintStepSeconds = 0.05;
constexpr double kFingerprintSeconds = 3.5;
/// Floor of both fingerprint parts, dB relative to their strongest point.
constexpr double kFingerprintFloorDecibels = -60.0;
/// A near-duplicate lies closer than this fraction of the reference scale.
constexpr double kNearDuplicateFraction = 0.5;

/// A program's sound reduced to spectrum and envelope shape (all values in dB, 0 at the
/// strongest point, no lower than kFingerprintFloorDecibels).
struct Fingerprint {
    std::vector<double> harmonics; ///< kFingerprintHarmonics values
    std::vector<double> envelope;  ///< one value per kFingerprintStepSeconds
};

/// The fingerprint of a note: spectrum is the averaged spectrum of its held part,
/// fundamentalHz its sounding fundamental, envelope its RMS envelope over the whole render.
Fingerprint makeFingerprint(const Spectrum& spectrum, double fundamentalHz,
                            const Envelope& envelope);

/// Mean absolute difference of two equally long dB lists (0 for empty lists).
double meanAbsoluteDifference(const std::vector<double>& a, const std::vector<double>& b);

/// Spectral difference plus envelope difference, dB.
double programDistance(const Fingerprint& a, const Fingerprint& b);

} // namespace bank_measure
