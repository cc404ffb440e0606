#include "tools/bank_measure/signal_measures.h"

#include <ebur128.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <stdexcept>

namespace bank_measure {

namespace {

/// Below this RMS a note counts as silent (-140 dBFS).
constexpr double kSilentRms = 1e-7;
/// Slack when seconds are turned into sample positions, samples.
constexpr double kPositionSlack = 1e-6;

std::size_t samplesFor(double seconds, double sampleRate) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(seconds * sampleRate)));
}

/// FFTW's planner is not reentrant: plans are made and destroyed under this lock (running
/// one is safe from any thread).
std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

/// One real-to-complex transform of a fixed length with its own buffers.
class RealTransform {
  public:
    explicit RealTransform(std::size_t length) : n(length) {
        std::lock_guard<std::mutex> lock(plannerLock());
        in = fftwf_alloc_real(n);
        out = fftwf_alloc_complex(n / 2 + 1);
        if (in && out) plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_ESTIMATE);
        if (!plan) {
            release();
            throw std::runtime_error("cannot prepare a transform of " + std::to_string(n) +
                                     " samples");
        }
    }
    ~RealTransform() {
        std::lock_guard<std::mutex> lock(plannerLock());
        release();
    }
    RealTransform(const RealTransform&) = delete;
    RealTransform& operator=(const RealTransform&) = delete;

    float* input() { return in; }
    void run() { fftwf_execute(plan); }
    /// |X_k|^2 of the last run, k = 0..n/2.
    double power(std::size_t k) const {
        const double re = out[k][0];
        const double im = out[k][1];
        return re * re + im * im;
    }
    std::size_t bins() const { return n / 2 + 1; }

  private:
    void release() {
        if (plan) fftwf_destroy_plan(plan);
        if (in) fftwf_free(in);
        if (out) fftwf_free(out);
        plan = nullptr;
        in = nullptr;
        out = nullptr;
    }

    std::size_t n;
    float* in = nullptr;
    fftwf_complex* out = nullptr;
    fftwf_plan plan = nullptr;
};

std::vector<float> hannWindow(std::size_t n) {
    std::vector<float> w(n);
    for (std::size_t i = 0; i < n; ++i)
        w[i] = static_cast<float>(0.5 -
                                  0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                 static_cast<double>(n)));
    return w;
}

/// Copies samples [start, start + n) of x (zeros beyond to) through the window into the
/// transform's input and runs it.
void transformFrame(RealTransform& transform, const std::vector<float>& window,
                    const std::vector<float>& x, std::size_t start, std::size_t to) {
    float* in = transform.input();
    for (std::size_t i = 0; i < window.size(); ++i)
        in[i] = start + i < to ? x[start + i] * window[i] : 0.0f;
    transform.run();
}

} // namespace

std::vector<float> StereoSignal::mono() const {
    std::vector<float> m(frames());
    for (std::size_t i = 0; i < m.size(); ++i)
        m[i] = 0.5f * (left[i] + right[i]);
    return m;
}

double amplitudeToDecibels(double amplitude) {
    return amplitude > 0.0 ? std::max(kFloorDecibels, 20.0 * std::log10(amplitude))
                           : kFloorDecibels;
}

double powerToDecibels(double power) {
    return power > 0.0 ? std::max(kFloorDecibels, 10.0 * std::log10(power)) : kFloorDecibels;
}

double samplePeak(const StereoSignal& signal) {
    double peak = 0.0;
    for (const std::vector<float>* channel : {&signal.left, &signal.right})
        for (float s : *channel)
            peak = std::max(peak, static_cast<double>(std::fabs(s)));
    return peak;
}

double rms(const std::vector<float>& x, std::size_t from, std::size_t to) {
    to = std::min(to, x.size());
    if (from >= to) return 0.0;
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

double integratedLoudness(const StereoSignal& signal) {
    constexpr unsigned kChannels = 2;
    ebur128_state* state =
        ebur128_init(kChannels, static_cast<unsigned long>(signal.sampleRate), EBUR128_MODE_I);
    if (!state) throw std::runtime_error("cannot set up the loudness meter");
    std::vector<float> interleaved(signal.frames() * kChannels);
    for (std::size_t i = 0; i < signal.frames(); ++i) {
        interleaved[kChannels * i] = signal.left[i];
        interleaved[kChannels * i + 1] = signal.right[i];
    }
    double loudness = -HUGE_VAL;
    const bool measured =
        ebur128_add_frames_float(state, interleaved.data(), signal.frames()) == EBUR128_SUCCESS &&
        ebur128_loudness_global(state, &loudness) == EBUR128_SUCCESS;
    ebur128_destroy(&state);
    if (!measured) throw std::runtime_error("the loudness meter failed");
    return std::isfinite(loudness) ? std::max(kFloorDecibels, loudness) : kFloorDecibels;
}

// ---- envelope -----------------------------------------------------------------------------

Envelope::Envelope(const std::vector<float>& x, double rate, double windowSeconds,
                   double hopSeconds)
    : window(samplesFor(windowSeconds, rate)), hop(samplesFor(hopSeconds, rate)), sampleRate(rate) {
    if (x.size() < window) return;
    const std::size_t count = (x.size() - window) / hop + 1;
    values.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = bank_measure::rms(x, i * hop, i * hop + window);
        if (values[i] > values[peak]) peak = i;
    }
}

double Envelope::relativeDecibels(std::size_t i) const {
    return amplitudeToDecibels(values[i]) - amplitudeToDecibels(peakRms());
}

double Envelope::timeOf(std::size_t i) const {
    return (static_cast<double>(i * hop) + 0.5 * static_cast<double>(window)) / sampleRate;
}

std::size_t Envelope::lastPointBefore(double seconds) const {
    const double end = seconds * sampleRate + kPositionSlack;
    if (values.empty() || end < static_cast<double>(window)) return 0;
    const auto i =
        static_cast<std::size_t>((end - static_cast<double>(window)) / static_cast<double>(hop));
    return std::min(i, values.size() - 1);
}

std::size_t Envelope::firstPointFrom(double seconds) const {
    const double start = std::max(0.0, seconds * sampleRate - kPositionSlack);
    const auto i = static_cast<std::size_t>(std::ceil(start / static_cast<double>(hop)));
    return std::min(i, values.size());
}

std::size_t Envelope::pointNearest(double seconds) const {
    if (values.empty()) return 0;
    const double position =
        (seconds * sampleRate - 0.5 * static_cast<double>(window)) / static_cast<double>(hop);
    if (!(position > 0.0)) return 0;
    return std::min(static_cast<std::size_t>(std::lround(position)), values.size() - 1);
}

std::size_t attackPoint(const Envelope& envelope) {
    const double reached = envelope.peakRms() * std::pow(10.0, -kPeakToleranceDecibels / 20.0);
    for (std::size_t i = 0; i < envelope.size(); ++i)
        if (envelope.rms(i) >= reached) return i;
    return 0;
}

double attackSeconds(const Envelope& envelope) {
    return envelope.size() == 0 ? 0.0 : envelope.timeOf(attackPoint(envelope));
}

double levelBeforeDecibels(const Envelope& envelope, double seconds) {
    if (envelope.size() == 0) return kFloorDecibels;
    return envelope.relativeDecibels(envelope.lastPointBefore(seconds));
}

std::optional<double> fallFromPeakSeconds(const Envelope& envelope, double dropDecibels,
                                          double untilSeconds) {
    if (envelope.size() == 0) return std::nullopt;
    const std::size_t start = attackPoint(envelope);
    const std::size_t last = envelope.lastPointBefore(untilSeconds);
    const double threshold = envelope.peakRms() * std::pow(10.0, -dropDecibels / 20.0);
    for (std::size_t i = start + 1; i <= last; ++i)
        if (envelope.rms(i) <= threshold) return envelope.timeOf(i) - envelope.timeOf(start);
    return std::nullopt;
}

std::optional<double> releaseSeconds(const Envelope& envelope, double noteOffSeconds,
                                     double dropDecibels) {
    if (envelope.size() == 0) return 0.0;
    const double atNoteOff = envelope.rms(envelope.lastPointBefore(noteOffSeconds));
    if (atNoteOff <= kSilentRms) return 0.0;
    const double threshold = atNoteOff * std::pow(10.0, -dropDecibels / 20.0);
    for (std::size_t i = envelope.firstPointFrom(noteOffSeconds); i < envelope.size(); ++i)
        if (envelope.rms(i) <= threshold) return envelope.timeOf(i) - noteOffSeconds;
    return std::nullopt;
}

double deepestReleaseNotchDecibels(const Envelope& envelope, double noteOffSeconds,
                                   double tailDecibels) {
    if (envelope.size() == 0) return 0.0;
    const double atNoteOff =
        amplitudeToDecibels(envelope.rms(envelope.lastPointBefore(noteOffSeconds)));
    // The release ends at the last point above the tail, so a notch that dips into the tail
    // level on the way still counts.
    const std::size_t first = envelope.firstPointFrom(noteOffSeconds);
    std::size_t end = first;
    for (std::size_t i = first; i < envelope.size(); ++i)
        if (amplitudeToDecibels(envelope.rms(i)) > atNoteOff - tailDecibels) end = i + 1;
    std::vector<double> level;
    std::vector<double> time;
    for (std::size_t i = first; i < end; ++i) {
        level.push_back(amplitudeToDecibels(envelope.rms(i)));
        time.push_back(envelope.timeOf(i));
    }

    // Turning points with hysteresis: a maximum is confirmed once the level has fallen the
    // hysteresis below it, a minimum once it has risen that much above it.
    struct Turn {
        std::size_t index;
        bool maximum;
    };
    std::vector<Turn> turns;
    bool seekingMaximum = true;
    std::size_t extreme = 0;
    for (std::size_t i = 1; i < level.size(); ++i) {
        if (seekingMaximum) {
            if (level[i] > level[extreme]) {
                extreme = i;
            } else if (level[extreme] - level[i] >= kTurnHysteresisDecibels) {
                turns.push_back({extreme, true});
                seekingMaximum = false;
                extreme = i;
            }
        } else {
            if (level[i] < level[extreme]) {
                extreme = i;
            } else if (level[i] - level[extreme] >= kTurnHysteresisDecibels) {
                turns.push_back({extreme, false});
                seekingMaximum = true;
                extreme = i;
            }
        }
    }
    if (seekingMaximum && !level.empty()) turns.push_back({extreme, true});

    double deepest = 0.0;
    for (std::size_t t = 1; t + 1 < turns.size(); ++t) {
        if (turns[t].maximum || !turns[t - 1].maximum || !turns[t + 1].maximum) continue;
        const std::size_t a = turns[t - 1].index;
        const std::size_t m = turns[t].index;
        const std::size_t b = turns[t + 1].index;
        const double along = (time[m] - time[a]) / (time[b] - time[a]);
        const double line = level[a] + (level[b] - level[a]) * along;
        deepest = std::max(deepest, line - level[m]);
    }
    return deepest;
}

double releaseThumpDecibels(const std::vector<float>& x, double sampleRate, double noteOffSeconds,
                            double referenceRms) {
    const std::size_t n = kThumpFrameLength;
    if (x.size() < n) return kFloorDecibels;
    RealTransform transform(n);
    const std::vector<float> window = hannWindow(n);
    double windowEnergy = 0.0;
    for (float w : window)
        windowEnergy += static_cast<double>(w) * w;
    const double binHz = sampleRate / static_cast<double>(n);
    const auto topBin = static_cast<std::size_t>(std::ceil(kThumpBandHz / binHz)) - 1;

    // Mean square of the band below kThumpBandHz in one frame (Parseval, both spectrum halves).
    auto lowBandPower = [&](std::size_t start) {
        transformFrame(transform, window, x, start, x.size());
        double sum = transform.power(0);
        for (std::size_t k = 1; k <= topBin; ++k)
            sum += 2.0 * transform.power(k);
        return sum / (static_cast<double>(n) * windowEnergy);
    };

    const double noteOff = noteOffSeconds * sampleRate;
    const double heldFrom = noteOff - kHeldReferenceSeconds * sampleRate;
    double held = 0.0;
    double release = 0.0;
    for (std::size_t start = 0; start + n <= x.size(); start += kThumpFrameHop) {
        const auto begin = static_cast<double>(start);
        const auto end = static_cast<double>(start + n);
        if (begin >= heldFrom && end <= noteOff)
            held = std::max(held, lowBandPower(start));
        else if (begin + 0.5 * static_cast<double>(n) >= noteOff)
            release = std::max(release, lowBandPower(start));
    }
    const double excess = release - held;
    if (!(excess > 0.0) || !(referenceRms > 0.0)) return kFloorDecibels;
    return std::max(kFloorDecibels, powerToDecibels(excess) - amplitudeToDecibels(referenceRms));
}

namespace {

/// A second-order low-pass section (bilinear transform, transposed direct form II), double.
class LowPassSection {
  public:
    LowPassSection(double cutoffHz, double q, double sampleRate) {
        const double w = 2.0 * std::numbers::pi * cutoffHz / sampleRate;
        const double alpha = std::sin(w) / (2.0 * q);
        const double a0 = 1.0 + alpha;
        b0_ = (1.0 - std::cos(w)) / 2.0 / a0;
        b1_ = (1.0 - std::cos(w)) / a0;
        b2_ = b0_;
        a1_ = -2.0 * std::cos(w) / a0;
        a2_ = (1.0 - alpha) / a0;
    }
    double operator()(double x) {
        const double y = b0_ * x + s1_;
        s1_ = b1_ * x - a1_ * y + s2_;
        s2_ = b2_ * x - a2_ * y;
        return y;
    }

  private:
    double b0_, b1_, b2_, a1_, a2_;
    double s1_ = 0.0, s2_ = 0.0;
};

/// Quality factors of the four sections of an eighth-order Butterworth filter.
constexpr double kButterworth8Q[4] = {0.50979558, 0.60134489, 0.89997622, 2.56291545};

} // namespace

double lowBandRiseDecibels(const std::vector<float>& x, double sampleRate, double noteOffSeconds) {
    const auto stretch = static_cast<std::size_t>(std::lround(kLowRiseStretchSeconds * sampleRate));
    const auto noteOff = static_cast<std::size_t>(std::lround(noteOffSeconds * sampleRate));
    if (stretch == 0 || noteOff < stretch || noteOff + stretch > x.size()) return kFloorDecibels;

    std::vector<LowPassSection> sections;
    for (double q : kButterworth8Q)
        sections.emplace_back(kLowRiseBandHz, q, sampleRate);
    std::vector<double> low(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double v = x[i];
        for (LowPassSection& section : sections)
            v = section(v);
        low[i] = v;
    }
    auto energy = [&](const auto& signal, std::size_t from) {
        double sum = 0.0;
        for (std::size_t i = from; i < from + stretch; ++i)
            sum += static_cast<double>(signal[i]) * static_cast<double>(signal[i]);
        return sum;
    };
    double loudest = 0.0;
    for (std::size_t from = 0; from + stretch <= x.size(); from += stretch)
        loudest = std::max(loudest, energy(x, from));
    const double floor = powerToDecibels(loudest) + kLowRiseFloorDecibels;
    auto level = [&](std::size_t from) {
        return std::max(floor, powerToDecibels(energy(low, from)));
    };

    const double before = level(noteOff - stretch);
    double rise = kFloorDecibels;
    for (std::size_t from = noteOff; from + stretch <= x.size(); from += stretch)
        rise = std::max(rise, level(from) - before);
    return rise;
}

// ---- spectra ------------------------------------------------------------------------------

std::size_t Spectrum::binAtOrAbove(double hz) const {
    if (power.empty()) return 0;
    const double k = std::ceil(hz / binHz - kPositionSlack);
    if (!(k > 0.0)) return 0;
    return std::min(static_cast<std::size_t>(k), power.size() - 1);
}

std::size_t Spectrum::binAtOrBelow(double hz) const {
    if (power.empty()) return 0;
    const double k = std::floor(hz / binHz + kPositionSlack);
    if (!(k > 0.0)) return 0;
    return std::min(static_cast<std::size_t>(k), power.size() - 1);
}

Spectrum averagedSpectrum(const std::vector<float>& x, std::size_t from, std::size_t to,
                          double sampleRate, std::size_t frameLength) {
    to = std::min(to, x.size());
    from = std::min(from, to);
    RealTransform transform(frameLength);
    const std::vector<float> window = hannWindow(frameLength);
    double windowSum = 0.0;
    for (float w : window)
        windowSum += w;

    Spectrum spectrum;
    spectrum.binHz = sampleRate / static_cast<double>(frameLength);
    spectrum.power.assign(transform.bins(), 0.0);
    std::size_t frames = 0;
    const std::size_t hop = frameLength / 2;
    for (std::size_t start = from; frames == 0 || start + frameLength <= to; start += hop) {
        transformFrame(transform, window, x, start, to);
        for (std::size_t k = 0; k < spectrum.power.size(); ++k)
            spectrum.power[k] += transform.power(k);
        ++frames;
    }
    // Scaled so that a sine of amplitude A centred on a bin reads A^2 / 4 there.
    const double scale = 1.0 / (static_cast<double>(frames) * windowSum * windowSum);
    for (double& p : spectrum.power)
        p *= scale;
    return spectrum;
}

std::vector<double> harmonicPowers(const Spectrum& spectrum, double fundamentalHz, int count) {
    std::vector<double> powers(static_cast<std::size_t>(std::max(count, 0)), 0.0);
    if (spectrum.power.empty()) return powers;
    const double topHz = spectrum.binHz * static_cast<double>(spectrum.power.size() - 1);
    for (int h = 1; h <= count; ++h) {
        const double centre = fundamentalHz * h;
        if (centre > topHz) break;
        const std::size_t low = spectrum.binAtOrAbove(centre - kHarmonicBandHz);
        const std::size_t high = spectrum.binAtOrBelow(centre + kHarmonicBandHz);
        for (std::size_t k = low; k <= high; ++k)
            powers[static_cast<std::size_t>(h - 1)] += spectrum.power[k];
    }
    return powers;
}

double offHarmonicDecibels(const Spectrum& spectrum, double fundamentalHz) {
    const std::size_t bins = spectrum.power.size();
    double harmonic = 0.0;
    double off = 0.0;
    for (std::size_t k = spectrum.binAtOrAbove(kOffHarmonicLowestHz); k < bins; ++k) {
        double component = 0.0;
        const std::size_t low = k < kComponentHalfWidthBins ? 0 : k - kComponentHalfWidthBins;
        for (std::size_t j = low; j <= k + kComponentHalfWidthBins && j < bins; ++j)
            component += spectrum.power[j];
        const double hz = static_cast<double>(k) * spectrum.binHz;
        const double nearest = std::max(1.0, std::round(hz / fundamentalHz));
        if (std::fabs(hz - nearest * fundamentalHz) <= kOffHarmonicDistanceHz)
            harmonic = std::max(harmonic, component);
        else
            off = std::max(off, component);
    }
    if (!(off > 0.0)) return kFloorDecibels;
    if (!(harmonic > 0.0)) return -kFloorDecibels;
    return std::clamp(powerToDecibels(off) - powerToDecibels(harmonic), kFloorDecibels,
                      -kFloorDecibels);
}

double spectralCentroidHz(const Spectrum& spectrum) {
    double weighted = 0.0;
    double total = 0.0;
    for (std::size_t k = 1; k < spectrum.power.size(); ++k) {
        const double amplitude = std::sqrt(spectrum.power[k]);
        weighted += amplitude * static_cast<double>(k) * spectrum.binHz;
        total += amplitude;
    }
    return total > 0.0 ? weighted / total : 0.0;
}

} // namespace bank_measure
