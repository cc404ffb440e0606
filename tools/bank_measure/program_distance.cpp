// How different two programs sound, on two measures in dB.
//
// Each program is reduced to a fingerprint of its single note: note 60 at velocity 100, held
// 2 s, released, 3.5 s rendered at 44.1 kHz. The fingerprint has two parts.
//  - Harmonic spectrum: the power of harmonics 1..16 of the note's sounding fundamental
//    (260.95 Hz: the instrument plays whole-sample periods), each summed over +-20 Hz of an
//    averaged spectrum of the held part (Hann frames of 8192 samples, half overlapping),
//    in dB relative to the strongest of the 16 and floored at -60 dB. Level does not count,
//    and harmonics too weak to matter count alike however weak they are.
//  - Envelope: the short-time RMS (5 ms windows) in dB relative to its highest point, read
//    every 50 ms from note-on (0, 0.05, ... 3.45 s: 70 points, the window centred nearest each
//    time), floored at -60 dB.
// Two programs are compared on each part on its own: the spectral distance and the envelope
// distance are each the mean absolute difference in dB between corresponding points. 0 means
// the same spectral balance (or the same envelope shape); two programs whose every harmonic
// lies 3 dB apart are 3 dB apart in spectrum, whatever their envelopes do.
//
// The scales come from the bank itself: over the pairs of the six reference programs, sounds
// made to be different, the smallest spectral distance is the spectral scale and the smallest
// envelope distance the envelope scale. A pair closer than half of the spectral scale in
// spectrum and closer than half of the envelope scale in envelope is a near-duplicate: two
// programs that differ clearly on either measure are not.

#include "tools/bank_measure/program_distance.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace bank_measure {

Fingerprint makeFingerprint(const Spectrum& spectrum, double fundamentalHz,
                            const Envelope& envelope) {
    Fingerprint print;
    const std::vector<double> powers =
        harmonicPowers(spectrum, fundamentalHz, kFingerprintHarmonics);
    const double strongest = powerToDecibels(*std::max_element(powers.begin(), powers.end()));
    for (double p : powers)
        print.harmonics.push_back(
            std::max(kFingerprintFloorDecibels, powerToDecibels(p) - strongest));

    const auto points =
        static_cast<std::size_t>(std::lround(kFingerprintSeconds / kFingerprintStepSeconds));
    for (std::size_t i = 0; i < points; ++i) {
        const double seconds = static_cast<double>(i) * kFingerprintStepSeconds;
        const double db = envelope.size() == 0
                              ? kFingerprintFloorDecibels
                              : envelope.relativeDecibels(envelope.pointNearest(seconds));
        print.envelope.push_back(std::max(kFingerprintFloorDecibels, db));
    }
    return print;
}

double meanAbsoluteDifference(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sum += std::fabs(a[i] - b[i]);
    return sum / static_cast<double>(n);
}

ProgramDistance programDistance(const Fingerprint& a, const Fingerprint& b) {
    return {meanAbsoluteDifference(a.harmonics, b.harmonics),
            meanAbsoluteDifference(a.envelope, b.envelope)};
}

double scaledDistance(const ProgramDistance& d, const DistanceScale& scale) {
    auto part = [](double value, double unit) {
        if (unit > 0.0) return value / unit;
        return value > 0.0 ? std::numeric_limits<double>::infinity() : 0.0;
    };
    return std::max(part(d.spectrum, scale.spectrum), part(d.envelope, scale.envelope));
}

} // namespace bank_measure
