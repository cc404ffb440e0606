// The bank measurements on synthetic signals whose answers are known, the legato voice count on
// a bank with known release times, and quarnel-bank run over the built plug-in.

#include "tools/bank_measure/bank_survey.h"
#include "tools/bank_measure/program_distance.h"
#include "tools/bank_measure/signal_measures.h"
#include "tools/bank_measure/voice_allocation.h"
#include "patches/patch_bank.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <set>
#include <sstream>

namespace bank_measure {
namespace {

constexpr double kRate = 44100.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

/// seconds of f(t) at kRate.
std::vector<float> synthesise(double seconds, const std::function<double(double)>& f) {
    std::vector<float> x(static_cast<std::size_t>(std::lround(seconds * kRate)));
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(f(static_cast<double>(i) / kRate));
    return x;
}

double sine(double hz, double t) {
    return std::sin(kTwoPi * hz * t);
}

TEST(BankMeasures, StereoSineAtMinus20DbfsReadsMinus20Lufs) {
    // BS.1770 calibration: a 1 kHz sine of peak -20 dBFS in both channels is -20 LUFS.
    StereoSignal signal;
    signal.left = synthesise(5.0, [](double t) { return 0.1 * sine(1000.0, t); });
    signal.right = signal.left;
    EXPECT_NEAR(integratedLoudness(signal), -20.0, 0.1);
    signal.right.assign(signal.left.size(), 0.0f); // one channel: half the power
    EXPECT_NEAR(integratedLoudness(signal), -23.0, 0.1);
}

TEST(BankMeasures, DecayingSineFalls20DbInTauTimesLn10) {
    constexpr double kTau = 0.2;
    const auto x = synthesise(2.0, [](double t) { return sine(440.0, t) * std::exp(-t / kTau); });
    const Envelope envelope(x, kRate);
    EXPECT_LT(attackSeconds(envelope), 0.006);
    const auto decay = fallFromPeakSeconds(envelope, 20.0, 2.0);
    ASSERT_TRUE(decay.has_value());
    EXPECT_NEAR(*decay, kTau * std::log(10.0), 0.006);

    const auto steady = synthesise(2.0, [](double t) { return sine(440.0, t); });
    EXPECT_FALSE(fallFromPeakSeconds(Envelope(steady, kRate), 20.0, 2.0).has_value());
}

TEST(BankMeasures, SlowAttackAndExponentialRelease) {
    // A 0.5 s linear rise, held to 1 s, then a release of 40 dB per tau x ln 100.
    constexpr double kTau = 0.1;
    const auto x = synthesise(2.0, [](double t) {
        const double level = t < 0.5 ? t / 0.5 : (t < 1.0 ? 1.0 : std::exp(-(t - 1.0) / kTau));
        return level * sine(440.0, t);
    });
    const Envelope envelope(x, kRate);
    // Within 1 dB of the peak: 0.891 of the way up the ramp.
    EXPECT_NEAR(attackSeconds(envelope), 0.5 * std::pow(10.0, -1.0 / 20.0), 0.005);
    EXPECT_NEAR(levelBeforeDecibels(envelope, 1.0), 0.0, 0.3);
    const auto release = releaseSeconds(envelope, 1.0, 40.0);
    ASSERT_TRUE(release.has_value());
    EXPECT_NEAR(*release, kTau * std::log(100.0), 0.006);
}

TEST(BankMeasures, BeatingReleaseHasADeepNotchAndAPlainOneNone) {
    // Held 1 s, then a 1 s linear fade; the beating one is two partials 3 Hz apart.
    auto fade = [](double t) { return t < 1.0 ? 1.0 : std::max(0.0, 2.0 - t); };
    const auto plain = synthesise(2.5, [&](double t) { return fade(t) * sine(440.0, t); });
    EXPECT_LT(deepestReleaseNotchDecibels(Envelope(plain, kRate), 1.0, 40.0), 1.0);
    const auto beating = synthesise(2.5, [&](double t) {
        return fade(t) * (t < 1.0 ? sine(440.0, t) : 0.5 * (sine(440.0, t) + sine(443.0, t)));
    });
    EXPECT_GT(deepestReleaseNotchDecibels(Envelope(beating, kRate), 1.0, 40.0), 20.0);
}

TEST(BankMeasures, LowThumpCountsOnlyWhatTheReleaseAdds) {
    // A 440 Hz note released at 1 s; a 60 Hz burst of a tenth of its amplitude follows.
    auto note = [](double t) {
        return (t < 1.0 ? 1.0 : std::exp(-(t - 1.0) / 0.05)) * sine(440.0, t);
    };
    auto burst = [](double t) { return t > 1.1 && t < 1.3 ? 0.1 * sine(60.0, t) : 0.0; };
    const double peakRms = std::sqrt(0.5);
    const auto plain = synthesise(2.0, note);
    EXPECT_LT(releaseThumpDecibels(plain, kRate, 1.0, peakRms), -60.0);
    const auto thump = synthesise(2.0, [&](double t) { return note(t) + burst(t); });
    EXPECT_NEAR(releaseThumpDecibels(thump, kRate, 1.0, peakRms), -20.0, 1.5);
    // The same 60 Hz component sounding all along was there while held.
    const auto steady = synthesise(2.0, [&](double t) { return note(t) + 0.1 * sine(60.0, t); });
    EXPECT_LT(releaseThumpDecibels(steady, kRate, 1.0, peakRms), -40.0);
}

TEST(BankMeasures, LowBandRiseAfterNoteOffAgainstTheStretchBefore) {
    // A 440 Hz note with a 100 Hz component a hundredth of its amplitude, released at 1 s.
    auto note = [](double t, double lowAfter) {
        const double fade = t < 1.0 ? 1.0 : std::exp(-(t - 1.0) / 0.2);
        const double low = t < 1.0 ? 0.01 : 0.01 * lowAfter;
        return fade * (sine(440.0, t) + low * sine(100.0, t));
    };
    // Everything fades together: the band only falls.
    const auto plain = synthesise(1.5, [&](double t) { return note(t, 1.0); });
    EXPECT_LT(lowBandRiseDecibels(plain, kRate, 1.0), 0.0);
    // The low component jumps tenfold at note-off: about 20 dB, less the fade over 50 ms.
    const auto swelling = synthesise(1.5, [&](double t) { return note(t, 10.0); });
    const double rise = lowBandRiseDecibels(swelling, kRate, 1.0);
    EXPECT_GT(rise, 17.0);
    EXPECT_LT(rise, 20.5);
    // A rise between levels far below the note (under the 60 dB floor) is none.
    const auto faint = synthesise(
        1.5, [&](double t) { return note(t, 0.0) + (t < 1.0 ? 0.0 : 0.0005 * sine(100.0, t)); });
    EXPECT_LE(lowBandRiseDecibels(faint, kRate, 1.0), 0.0);
}

TEST(BankMeasures, OffHarmonicFigureOfAKnownMix) {
    const double f0 = soundingFrequency(60, kRate);
    EXPECT_DOUBLE_EQ(f0, kRate / 169.0);
    auto harmonic = [&](double t) {
        return sine(f0, t) + 0.5 * sine(2 * f0, t) + 0.3 * sine(3 * f0, t) + 0.2 * sine(5 * f0, t);
    };
    // 2.76 f0 lies 63 Hz below the third harmonic: off the series, 20 dB below the fundamental.
    const auto bell =
        synthesise(2.0, [&](double t) { return harmonic(t) + 0.1 * sine(2.76 * f0, t); });
    const Spectrum bellSpectrum = averagedSpectrum(bell, 0, bell.size(), kRate);
    EXPECT_NEAR(offHarmonicDecibels(bellSpectrum, f0), -20.0, 0.5);
    const auto pure = synthesise(2.0, harmonic);
    // Only the window's side lobes lie off the series.
    EXPECT_LT(offHarmonicDecibels(averagedSpectrum(pure, 0, pure.size(), kRate), f0), -50.0);

    const std::vector<double> powers = harmonicPowers(bellSpectrum, f0, 5);
    EXPECT_NEAR(powerToDecibels(powers[1]) - powerToDecibels(powers[0]), 20.0 * std::log10(0.5),
                0.2);
    EXPECT_LT(powerToDecibels(powers[3]) - powerToDecibels(powers[0]), -60.0);
}

TEST(BankMeasures, CentroidWeighsComponentsByAmplitude) {
    // Two partials centred on bins (near 1 kHz and 3 kHz), the upper one at half amplitude.
    const double bin = kRate / static_cast<double>(kSpectrumFrameLength);
    const double low = 186 * bin;
    const double high = 558 * bin;
    const auto x = synthesise(1.0, [&](double t) { return sine(low, t) + 0.5 * sine(high, t); });
    EXPECT_NEAR(spectralCentroidHz(averagedSpectrum(x, 0, x.size(), kRate)),
                (low + 0.5 * high) / 1.5, 5.0);
}

TEST(BankMeasures, SpectrumAndEnvelopeAreMeasuredApartAndANearDuplicateIsCloseOnBoth) {
    Fingerprint a{{0.0, -10.0, -60.0}, {0.0, -6.0}};
    Fingerprint b{{0.0, -16.0, -60.0}, {-2.0, -8.0}};
    EXPECT_DOUBLE_EQ(programDistance(a, a).spectrum, 0.0);
    EXPECT_DOUBLE_EQ(programDistance(a, b).spectrum, 6.0 / 3.0);
    EXPECT_DOUBLE_EQ(programDistance(a, b).envelope, 2.0);
    // Scales of 6 dB and 2 dB: 2/6 and 2/2, the larger counts.
    EXPECT_DOUBLE_EQ(scaledDistance(programDistance(a, b), {6.0, 2.0}), 1.0);
    // Close in spectrum but apart in envelope is no near-duplicate, nor the reverse.
    BankSurvey survey;
    survey.scale = {6.0, 2.0};
    EXPECT_TRUE(survey.nearDuplicate({2.9, 0.9}));
    EXPECT_FALSE(survey.nearDuplicate({2.9, 1.1}));
    EXPECT_FALSE(survey.nearDuplicate({3.1, 0.1}));

    // Fingerprints are level-free and floored.
    const auto loud = synthesise(3.5, [](double t) { return 0.5 * sine(440.0, t); });
    const auto quiet = synthesise(3.5, [](double t) { return 0.05 * sine(440.0, t); });
    const Fingerprint pl = makeFingerprint(averagedSpectrum(loud, 0, loud.size(), kRate), 440.0,
                                           Envelope(loud, kRate));
    const Fingerprint pq = makeFingerprint(averagedSpectrum(quiet, 0, quiet.size(), kRate), 440.0,
                                           Envelope(quiet, kRate));
    ASSERT_EQ(pl.harmonics.size(), static_cast<std::size_t>(kFingerprintHarmonics));
    ASSERT_EQ(pl.envelope.size(), 70u);
    EXPECT_EQ(pl.harmonics[1], kFingerprintFloorDecibels);
    EXPECT_NEAR(programDistance(pl, pq).spectrum, 0.0, 0.05);
    EXPECT_NEAR(programDistance(pl, pq).envelope, 0.0, 0.05);
}

TEST(BankJudgements, VelocitySweep) {
    const std::vector<VelocityPoint> good = {{1, 0.05, 0.9}, {64, 0.3, 0.6}, {127, 0.5, 0.4}};
    const VelocityVerdict ok = judgeVelocities(good);
    EXPECT_TRUE(ok.sounding() && ok.rising() && ok.timesKept());
    EXPECT_NEAR(ok.rangeDecibels, 20.0, 1e-9);

    auto with = [&](std::size_t i, VelocityPoint p) {
        auto points = good;
        points[i] = p;
        return judgeVelocities(points);
    };
    EXPECT_TRUE(with(0, {1, 0.004, 0.9}).sounding());             // 41.9 dB below velocity 127
    EXPECT_EQ(with(0, {1, 0.00003, 0.9}).silentVelocity, 1);      // -90.5 dBFS: silent
    EXPECT_EQ(with(1, {64, 0.04, 0.6}).fallingVelocity, 64);      // 1.9 dB below velocity 1
    EXPECT_TRUE(with(1, {64, 0.046, 0.6}).rising());              // 0.7 dB below: tolerated
    EXPECT_EQ(with(0, {1, 0.05, 1.01}).slowVelocity, 1);          // more than 2.5 x 0.4 s
    EXPECT_EQ(with(1, {64, 0.3, std::nullopt}).slowVelocity, 64); // holds where 127 falls
    EXPECT_EQ(with(2, {127, 0.5, std::nullopt}).slowVelocity, 1); // 127 holds, the others fall
}

TEST(BankJudgements, KeyboardDipAgainstTheNeighboursMean) {
    const KeyboardDip dip = worstKeyboardDip({36, 37, 38, 39}, {-20.0, -30.0, -22.0, -21.0});
    EXPECT_EQ(dip.note, 37);
    EXPECT_DOUBLE_EQ(dip.decibels, 9.0);
    EXPECT_EQ(worstKeyboardDip({36, 37, 38}, {-20.0, -20.0, -32.0}).note, 38); // an end note
}

TEST(BankJudgements, FamiliesByFirstWord) {
    EXPECT_EQ(familyOf("Lead 10"), Family::Lead);
    EXPECT_EQ(familyOf("Elephone 2"), Family::Elephone);
    EXPECT_EQ(familyOf("Sequence 6"), Family::Sequence);
    EXPECT_EQ(familyOf("Padded"), Family::Other);
}

TEST(LegatoVoices, LongReleasesDropTheThirdAndFourthChords) {
    std::vector<unsigned char> bank(sizeof(PatchBank));
    std::memcpy(bank.data(), PatchBank, sizeof(PatchBank));
    auto setRelease = [&](int ms) {
        Patch patch;
        std::memcpy(&patch, bank.data(), sizeof patch);
        // 10 ms up to full level, 10 ms down to 80 % held, released in ms milliseconds.
        auto& amplitude = patch.envelopes[0];
        amplitude = {};
        amplitude.keyCentre = 60;
        amplitude.peakLevel = 100;
        amplitude.decayLevel = amplitude.sustainLevel = 80;
        amplitude.attackMs = amplitude.decay1Ms = 10;
        amplitude.releaseMs = ms;
        std::memcpy(bank.data(), &patch, sizeof patch);
    };
    std::vector<ChordChange> changes;
    for (std::size_t i = 0; i < kLegatoChords.size(); ++i)
        changes.push_back({{kLegatoChords[i].begin(), kLegatoChords[i].end()},
                           static_cast<long>(i) * static_cast<long>(kRate)});
    setRelease(5000); // every earlier chord still releasing: 8 voices busy from the third on
    EXPECT_EQ(droppedChordNotes(bank, 0, changes, 100, kRate), 8);
    setRelease(1500); // the first chord is gone by the fourth
    EXPECT_EQ(droppedChordNotes(bank, 0, changes, 100, kRate), 4);
    setRelease(500);
    EXPECT_EQ(droppedChordNotes(bank, 0, changes, 100, kRate), 0);
}

// ---- the tool over the built plug-in ----------------------------------------------------------

tooltest::ProcessResult runBank(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QUARNEL_BANK_PATH, "--plugin", QUARNEL_PLUGIN_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return tooltest::runProcess(argv);
}

// The compact check over the built bank: the designed programs meet every target.
TEST(BankTool, FastCheckMeasuresEveryProgramAndTheBankMeetsItsTargets) {
    tooltest::TempDir dir;
    const auto result = runBank({"--fast", "--check", "--csv", (dir / "bank.csv").string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");

    std::istringstream csv(tooltest::readText(dir / "bank.csv"));
    std::string line;
    ASSERT_TRUE(std::getline(csv, line));
    EXPECT_EQ(line.rfind("slot,name,", 0), 0u) << line;
    std::set<int> slots;
    while (std::getline(csv, line)) {
        slots.insert(std::stoi(line));
        EXPECT_NE(line.find(','), line.rfind(',')) << line; // a name and more
    }
    EXPECT_EQ(slots.size(), static_cast<std::size_t>(kBuiltInPrograms));
    EXPECT_EQ(*slots.rbegin(), kBuiltInPrograms - 1);
}

} // namespace
} // namespace bank_measure
