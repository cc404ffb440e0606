// How different two programs sound: fingerprints of their single notes and two distances
// between them, one of harmonic spectrum and one of envelope shape, both in dB (the
// definitions are explained at the top of program_distance.cpp).
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
/// A near-duplicate lies closer than this fraction of the reference scale on both distances.
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

/// How far apart two fingerprints lie on each of the two measures, dB.
struct ProgramDistance {
    double spectrum = 0.0; ///< mean absolute difference of the harmonic spectra
    double envelope = 0.0; ///< mean absolute difference of the envelopes
};
ProgramDistance programDistance(const Fingerprint& a, const Fingerprint& b);

/// The two reference scales: the smallest spectral and the smallest envelope distance found
/// between programs made to sound different, dB.
struct DistanceScale {
    double spectrum = 0.0;
    double envelope = 0.0;
};

/// A distance in units of the scale: the larger of its two parts over their scales. Below
/// kNearDuplicateFraction the pair is a near-duplicate: close on both measures.
double scaledDistance(const ProgramDistance& d, const DistanceScale& scale);

} // namespace bank_measure
