// Measurements of rendered sound: peaks, EBU R128 loudness, the short-time RMS envelope and the
// times read from it, averaged spectra and what they tell about harmonics, and the two release
// faults (beating notches and low thumps). Everything works on plain sample arrays, so synthetic
// signals test it as well as renders of the instrument.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace bank_measure {

/// Lowest level any measure reports, dB (silence reads as this instead of minus infinity).
constexpr double kFloorDecibels = -200.0;

/// RMS envelope window (~5 ms at 44.1 kHz: 220 samples) and hop (~1 ms: 44 samples), seconds.
constexpr double kEnvelopeWindowSeconds = 0.005;
constexpr double kEnvelopeHopSeconds = 0.001;

/// Length of each Hann-windowed frame of an averaged spectrum, samples (5.4 Hz bins at
/// 44.1 kHz); frames overlap by half.
constexpr std::size_t kSpectrumFrameLength = 8192;

/// A stereo render, full scale 1.0.
struct StereoSignal {
    double sampleRate = 44100.0; ///< Hz
    std::vector<float> left;
    std::vector<float> right; ///< as long as left

    std::size_t frames() const { return left.size(); }
    /// (left + right) / 2, the signal the envelope and spectrum measures read.
    std::vector<float> mono() const;
};

/// 20 log10(amplitude), no lower than kFloorDecibels.
double amplitudeToDecibels(double amplitude);
/// 10 log10(power), no lower than kFloorDecibels.
double powerToDecibels(double power);

/// Largest magnitude of any sample in either channel (linear, full scale 1.0).
double samplePeak(const StereoSignal& signal);
/// RMS of samples [from, to) of x (linear); 0 for an empty range.
double rms(const std::vector<float>& x, std::size_t from, std::size_t to);

/// Integrated loudness (EBU R128 / ITU-R BS.1770, libebur128) of both channels, LUFS. A signal
/// entirely below the absolute gate (-70 LUFS) gives kFloorDecibels.
double integratedLoudness(const StereoSignal& signal);

/// Short-time RMS of a signal: point i covers samples [i x hop, i x hop + window).
class Envelope {
  public:
    /// The envelope of x at sampleRate (Hz) with windows and hops of the given lengths (s).
    Envelope(const std::vector<float>& x, double sampleRate,
             double windowSeconds = kEnvelopeWindowSeconds,
             double hopSeconds = kEnvelopeHopSeconds);

    std::size_t size() const { return values.size(); }
    /// RMS of point i (linear).
    double rms(std::size_t i) const { return values[i]; }
    /// Level of point i in dB relative to the envelope's peak (0 at the peak, <= 0 elsewhere).
    double relativeDecibels(std::size_t i) const;
    /// Centre of point i's window, seconds from the start of the signal.
    double timeOf(std::size_t i) const;

    /// Index of the highest point (the first of equals); 0 for an empty envelope.
    std::size_t peakIndex() const { return peak; }
    /// RMS at the highest point (linear).
    double peakRms() const { return values.empty() ? 0.0 : values[peak]; }
    /// The last point whose window ends at or before seconds (0 when none does).
    std::size_t lastPointBefore(double seconds) const;
    /// The first point whose window starts at or after seconds (size() when none does).
    std::size_t firstPointFrom(double seconds) const;
    /// The point whose centre lies nearest to seconds (clamped to the envelope).
    std::size_t pointNearest(double seconds) const;

  private:
    std::vector<double> values;
    std::size_t peak = 0;
    std::size_t window = 1; ///< samples
    std::size_t hop = 1;    ///< samples
    double sampleRate = 1.0;
};

/// A sustained note's envelope wobbles around its level (vibrato, ensemble, beating partials,
/// and windows that do not hold whole periods), so its highest point can lie anywhere in the
/// held part. The note counts as having reached its peak at the first point within this many
/// dB of the highest one.
constexpr double kPeakToleranceDecibels = 1.0;
/// The first point within kPeakToleranceDecibels of the highest (0 for an empty envelope).
std::size_t attackPoint(const Envelope& envelope);
/// Time from the start of the signal to the centre of attackPoint, seconds.
double attackSeconds(const Envelope& envelope);
/// Level of the last point before seconds, dB relative to the envelope's peak.
double levelBeforeDecibels(const Envelope& envelope, double seconds);
/// Seconds from attackPoint until a later point first lies dropDecibels (> 0) or more below
/// the highest point, looking only at points that end at or before untilSeconds; nothing when
/// it never does.
std::optional<double> fallFromPeakSeconds(const Envelope& envelope, double dropDecibels,
                                          double untilSeconds);
/// Seconds from noteOffSeconds until a point that starts at or after it first lies
/// dropDecibels (> 0) or more below the level of the last point before it; nothing when it
/// never does. A level at note-off that is already silent counts as released at once.
std::optional<double> releaseSeconds(const Envelope& envelope, double noteOffSeconds,
                                     double dropDecibels);

/// The deepest beating notch of a release, dB (0 when there is none). The release runs from
/// noteOffSeconds to the last point above tailDecibels below the level at note-off; the quiet
/// tail after that is not looked at. Its turning points are found with a hysteresis of
/// kTurnHysteresisDecibels, so that the ripple of short windows over a few periods counts as
/// none; each minimum with a maximum on either side is measured against the straight line (in
/// dB over time) between those two maxima.
constexpr double kTurnHysteresisDecibels = 1.5;
double deepestReleaseNotchDecibels(const Envelope& envelope, double noteOffSeconds,
                                   double tailDecibels);

/// Highest frequency of the low band a thump lives in, Hz.
constexpr double kThumpBandHz = 120.0;
/// Short-time frames of the low-band level: length (46 ms at 44.1 kHz) and hop, samples.
constexpr std::size_t kThumpFrameLength = 2048;
constexpr std::size_t kThumpFrameHop = 512;
/// Stretch of the held note just before note-off that sets the low band's held level, s.
constexpr double kHeldReferenceSeconds = 0.5;
/// The low thump of a release, dB relative to referenceRms (the note's envelope peak): the
/// largest power below kThumpBandHz in any frame centred after noteOffSeconds, less the
/// largest such power in the kHeldReferenceSeconds before note-off (so a low component that
/// was already sounding is not counted), as an RMS level. kFloorDecibels when there is none.
double releaseThumpDecibels(const std::vector<float>& x, double sampleRate, double noteOffSeconds,
                            double referenceRms);

/// Top of the band in which a release must not rise, Hz.
constexpr double kLowRiseBandHz = 150.0;
/// Stretch over which the low band's energy is summed, before and after note-off, s.
constexpr double kLowRiseStretchSeconds = 0.05;
/// Energies further than this below the note's loudest stretch (all frequencies) count as
/// this, dB, so that a rise between inaudible levels is no rise.
constexpr double kLowRiseFloorDecibels = -60.0;
/// The largest rise of the low band after note-off, dB: the energy below kLowRiseBandHz
/// (an eighth-order Butterworth low-pass) over each kLowRiseStretchSeconds from note-off on,
/// against the same stretch just before note-off. Below 0 when the band only falls.
double lowBandRiseDecibels(const std::vector<float>& x, double sampleRate, double noteOffSeconds);

/// A power spectrum averaged over Hann-windowed frames (Welch's method); bin k is k x binHz.
struct Spectrum {
    double binHz = 0.0;
    std::vector<double> power;

    /// The first bin at or above hz (clamped to the last bin).
    std::size_t binAtOrAbove(double hz) const;
    /// The last bin at or below hz (clamped to bin 0 and the last bin).
    std::size_t binAtOrBelow(double hz) const;
};

/// The averaged spectrum of samples [from, to) of x at sampleRate (Hz), frames of frameLength
/// samples (a power of two; a range shorter than one frame is zero-padded to one).
Spectrum averagedSpectrum(const std::vector<float>& x, std::size_t from, std::size_t to,
                          double sampleRate, std::size_t frameLength = kSpectrumFrameLength);

/// Half-width of the band around a harmonic whose power counts as that harmonic's, Hz.
constexpr double kHarmonicBandHz = 20.0;
/// Power of harmonics 1..count of fundamentalHz (each the sum of the bins within
/// kHarmonicBandHz of it; 0 above the spectrum's top).
std::vector<double> harmonicPowers(const Spectrum& spectrum, double fundamentalHz, int count);

/// How far a component must lie from every harmonic to count as off the harmonic series, Hz.
constexpr double kOffHarmonicDistanceHz = 45.0;
/// Lowest frequency the off-harmonic search looks at (below lies only DC leakage), Hz.
constexpr double kOffHarmonicLowestHz = 20.0;
/// A component's power is the sum over the bins this far either side of its centre bin, the
/// Hann window's main lobe, so it does not depend on where the partial falls between bins.
constexpr std::size_t kComponentHalfWidthBins = 2;
/// The strongest component centred more than kOffHarmonicDistanceHz away from every harmonic
/// of fundamentalHz (from kOffHarmonicLowestHz up), in dB relative to the strongest component
/// centred within that distance of a harmonic. 0 dB: the off-harmonic partial is as strong as
/// the strongest harmonic; kFloorDecibels when the spectrum is silent.
double offHarmonicDecibels(const Spectrum& spectrum, double fundamentalHz);

/// Amplitude-weighted mean frequency of the spectrum, Hz (0 for silence).
double spectralCentroidHz(const Spectrum& spectrum);

} // namespace bank_measure
