// The bank survey: every built-in program played through the plug-in in a fixed set of
// situations, measured, and held against the bank's targets. The six reference programs are
// measured like the rest and set the loudness and distance scales; the targets apply to the
// other (designed) programs.
#pragma once

#include "tools/bank_measure/plugin_player.h"
#include "tools/bank_measure/program_distance.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace bank_measure {

/// Built-in program slots measured (0..45).
constexpr int kBuiltInPrograms = 46;
/// The fixed reference programs.
constexpr std::array<int, 6> kReferenceSlots = {0, 2, 6, 15, 23, 38};
bool isReference(int slot);

// ---- the single note and what it is held against ------------------------------------------

/// The single note: note 60 at velocity 100, released after 2 s, 1.5 s of tail rendered.
constexpr int kTestNote = 60;
constexpr int kTestVelocity = 100;
constexpr double kHoldSeconds = 2.0;
constexpr double kTailSeconds = 1.5;
/// Drop below the envelope peak that ends a decay, dB.
constexpr double kDecayDropDecibels = 20.0;
/// Drop below the level at note-off that ends a release, dB.
constexpr double kReleaseDropDecibels = 40.0;
/// Largest distance from the reference programs' median loudness, LU.
constexpr double kLoudnessToleranceLu = 3.0;
/// Deepest beating notch allowed in a release, dB.
constexpr double kNotchLimitDecibels = 6.0;
/// Loudest low thump allowed in a release, dB relative to the note's peak.
constexpr double kThumpLimitDecibels = -30.0;
/// Largest rise of the low band after note-off (lowBandRiseDecibels), dB.
constexpr double kLowRiseLimitDecibels = 6.0;

/// The chord: eight notes at full velocity, held and released like the single note; its
/// sample peak must stay below kChordPeakLimit (full scale).
constexpr std::array<int, 8> kChordNotes = {48, 52, 55, 60, 64, 67, 72, 76};
constexpr int kChordVelocity = 127;
constexpr double kChordPeakLimit = 1.0;

/// The velocity sweep: note 60 held kHoldSeconds at each velocity.
/// Every velocity sounds: its peak lies above kSoundingFloorDecibels (full scale); no peak lies
/// more than kRisingToleranceDecibels below a lower velocity's; no fall time exceeds
/// kFallTimeRatio times velocity 127's. (A voice's output scales with velocity / 127, so
/// velocity 1 lies 42 dB below 127 before any envelope acts: the range itself is not judged.)
constexpr double kSoundingFloorDecibels = -90.0;
constexpr double kRisingToleranceDecibels = 1.0;
constexpr double kFallTimeRatio = 2.5;
/// The compact sweep: every kFastVelocityStep-th velocity, plus 1 and 127.
constexpr int kFastVelocityStep = 7;

/// Keyboard evenness: each note of the range at kTestVelocity, its RMS over its first
/// kKeyboardSeconds; no note more than kKeyboardDipDecibels below its neighbours' mean.
constexpr int kKeyboardLowNote = 36;
constexpr int kKeyboardHighNote = 96;
constexpr double kKeyboardSeconds = 1.0;
constexpr double kKeyboardDipDecibels = 9.0;
/// The compact keyboard: every kFastKeyboardStep-th note.
constexpr int kFastKeyboardStep = 3;

/// Legato chord changes: four chords one second apart (C major, A minor, F major, G major).
constexpr double kLegatoChordSeconds = 1.0;
extern const std::array<std::array<int, 4>, 4> kLegatoChords;

/// Family character limits.
constexpr double kPadEarliestPeakSeconds = 0.1;
constexpr double kPadLowestHoldDecibels = -6.0;
constexpr double kLeadLatestPeakSeconds = 0.03;
constexpr double kLeadLowestHoldDecibels = -10.0;
constexpr double kKeysLatestPeakSeconds = 0.015;
/// Keys fall at least kKeysFallDecibels from kKeysEarlySeconds to note-off.
constexpr double kKeysEarlySeconds = 0.1;
constexpr double kKeysFallDecibels = 6.0;
constexpr double kBellLatestPeakSeconds = 0.015;
constexpr double kBellShortestRingSeconds = 1.5;
/// A Bell carries strong off-harmonic partials when its off-harmonic figure is at least this.
constexpr double kBellPartialDecibels = -20.0;
/// The designed Bells (slots 39..45), of which at least kBellsWithPartialsNeeded must.
constexpr int kFirstDesignedBell = 39;
constexpr int kLastDesignedBell = 45;
constexpr int kBellsWithPartialsNeeded = 5;
constexpr double kSequenceLatestFallSeconds = 0.4;

/// Sounding frequency of a note: the plug-in plays whole-sample periods, so note n sounds at
/// sampleRate / round(sampleRate / equal-tempered frequency) (note 60 at 44.1 kHz: 260.95 Hz).
double soundingFrequency(int note, double sampleRate);

enum class Family { Lead, Elephone, Pad, Keys, Sequence, Bell, Other };
/// The family a program name's first word names.
Family familyOf(const std::string& name);
const char* familyName(Family family);

// ---- pure judgements (tested on their own) ------------------------------------------------

struct VelocityPoint {
    int velocity = 0;
    double peak = 0.0;                 ///< sample peak, linear
    std::optional<double> fallSeconds; ///< note-on to 20 dB below the peak; none while held
};
/// The outcome of a sweep; each check names the first velocity that fails it (0: none does).
struct VelocityVerdict {
    double rangeDecibels = 0.0; ///< peak of the top velocity over the lowest, dB
    int silentVelocity = 0;     ///< peaks at or below kSoundingFloorDecibels
    int fallingVelocity = 0;    ///< peaks more than kRisingToleranceDecibels below a lower one
    int slowVelocity = 0;       ///< falls too late, or falls or holds unlike the top velocity

    bool sounding() const { return silentVelocity == 0; }
    bool rising() const { return fallingVelocity == 0; }
    bool timesKept() const { return slowVelocity == 0; }
};
/// Judges a sweep given in rising velocity order whose last point is the top velocity.
VelocityVerdict judgeVelocities(const std::vector<VelocityPoint>& points);

struct KeyboardDip {
    int note = 0;
    double decibels = 0.0; ///< how far the note lies below its neighbours' mean (> 0: below)
};
/// The note that lies furthest below the mean of its neighbours (the ends have one) in levels
/// (dB, one per note of notes).
KeyboardDip worstKeyboardDip(const std::vector<int>& notes, const std::vector<double>& levels);

// ---- the survey ---------------------------------------------------------------------------

struct SurveyOptions {
    bool fast = false;
    /// Slots whose rows are measured in full and shown; empty: all built-in slots.
    std::vector<int> programs;
    /// Programs measured at the same time (>= 1).
    int jobs = 1;
};

/// What the single note of a program shows, and everything else measured about it.
struct ProgramMeasures {
    int slot = 0;
    std::string name;
    Family family = Family::Other;
    bool reference = false;
    bool complete = false; ///< measured in full (not only its single note)

    // the single note
    double loudness = kFloorDecibels;     ///< LUFS
    double peak = 0.0;                    ///< sample peak, linear
    double attackSeconds = 0.0;           ///< note-on to the envelope's peak (attackSeconds())
    double holdDecibels = 0.0;            ///< level at note-off relative to the envelope peak
    std::optional<double> decaySeconds;   ///< peak to 20 dB below it; none: held
    std::optional<double> releaseSeconds; ///< none: longer than the tail
    double earlyDecibels = 0.0;           ///< level at kKeysEarlySeconds relative to the peak
    double centroidHz = 0.0;
    double offHarmonicDecibels = kFloorDecibels;
    double notchDecibels = 0.0;
    double thumpDecibels = kFloorDecibels;
    double lowRiseDecibels = kFloorDecibels; ///< lowBandRiseDecibels of the release
    Fingerprint fingerprint;

    // the rest
    double chordPeak = 0.0;
    VelocityVerdict velocity;
    KeyboardDip keyboard;
    int droppedNotes = 0;

    // against the bank
    int nearestSlot = -1;    ///< the other program of the smallest scaledDistance
    ProgramDistance nearest; ///< the distances to it
    double nearestScaled = 0.0;
    int nearestLeadSlot = -1; ///< the closest Lead (Elephones are held against it)
    ProgramDistance nearestLead;
    double nearestLeadScaled = 0.0;
    /// What misses the family's character ("" when nothing does); judged for reference
    /// programs too, though only designed ones fail on it.
    std::string familyFault;
};

/// Targets, each a column of the table.
enum class Target {
    Loudness,
    ChordPeak,
    VelocitySounds,
    VelocityRising,
    VelocityTimes,
    Family,
    BellPartials,
    Keyboard,
    Legato,
    ReleaseNotch,
    ReleaseThump,
    ReleaseLowRise,
    NearDuplicate,
};
const char* targetName(Target target);

struct Failure {
    int slot = -1; ///< -1: the bank as a whole
    Target target = Target::Loudness;
    std::string detail;
};

struct BankSurvey {
    bool fast = false;
    std::vector<ProgramMeasures> programs;     ///< every built-in slot, in order
    double referenceLoudness = kFloorDecibels; ///< median LUFS of the reference programs
    DistanceScale scale; ///< closest distances of two reference programs, per measure
    int spectrumSlotA = -1, spectrumSlotB = -1; ///< the pair that sets scale.spectrum
    int envelopeSlotA = -1, envelopeSlotB = -1; ///< the pair that sets scale.envelope
    int bellsWithPartials = 0;
    int bellsMeasured = 0;
    std::vector<Failure> failures;

    /// Close on both measures: below kNearDuplicateFraction of each scale.
    bool nearDuplicate(const ProgramDistance& d) const {
        return scaledDistance(d, scale) < kNearDuplicateFraction;
    }
    bool failed(int slot, Target target) const;
};

/// Measures the bank through player: every built-in program's single note, and the requested
/// ones in full; then evaluates the targets. Throws PlayerError when the plug-in has fewer
/// than kBuiltInPrograms programs.
BankSurvey surveyBank(const PluginPlayer& player, const SurveyOptions& options);

/// Measures one program in full (the single note included).
ProgramMeasures measureProgram(const PluginPlayer& player, int slot, bool fast);
/// Evaluates every target over measured programs (slot order, all built-in slots).
void evaluateTargets(BankSurvey& survey);

} // namespace bank_measure
