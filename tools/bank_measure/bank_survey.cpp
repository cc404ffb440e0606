#include "tools/bank_measure/bank_survey.h"

#include "tools/bank_measure/voice_allocation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

namespace bank_measure {

const std::array<std::array<int, 4>, 4> kLegatoChords = {{
    {60, 64, 67, 72}, // C major
    {57, 60, 64, 69}, // A minor
    {53, 57, 60, 65}, // F major
    {55, 59, 62, 67}, // G major
}};

namespace {

/// Equal-tempered tuning: note 69 is 440 Hz.
constexpr int kReferenceNote = 69;
constexpr double kReferenceHz = 440.0;
constexpr double kSemitonesPerOctave = 12.0;
constexpr int kTopVelocity = 127;

std::int64_t framesOf(double seconds, double sampleRate) {
    return std::llround(seconds * sampleRate);
}

std::string format(const char* pattern, double value) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

struct FamilyPrefix {
    const char* prefix;
    Family family;
};
constexpr FamilyPrefix kFamilies[] = {
    {"Lead", Family::Lead}, {"Elephone", Family::Elephone}, {"Pad", Family::Pad},
    {"Keys", Family::Keys}, {"Sequence", Family::Sequence}, {"Bell", Family::Bell},
};

/// The single note: every measure of ProgramMeasures that comes from it.
void measureSingleNote(const PluginPlayer& player, ProgramMeasures& m) {
    const double rate = player.settings().sampleRate;
    const std::int64_t held = framesOf(kHoldSeconds, rate);
    const StereoSignal note =
        player.render(m.slot, {noteOn(0, kTestNote, kTestVelocity), noteOff(held, kTestNote)},
                      held + framesOf(kTailSeconds, rate));
    const std::vector<float> mono = note.mono();
    const Envelope envelope(mono, rate);
    m.loudness = integratedLoudness(note);
    m.peak = samplePeak(note);
    m.attackSeconds = attackSeconds(envelope);
    m.holdDecibels = levelBeforeDecibels(envelope, kHoldSeconds);
    m.decaySeconds = fallFromPeakSeconds(envelope, kDecayDropDecibels, kHoldSeconds);
    m.releaseSeconds = releaseSeconds(envelope, kHoldSeconds, kReleaseDropDecibels);
    m.earlyDecibels = envelope.size() == 0
                          ? kFloorDecibels
                          : envelope.relativeDecibels(envelope.pointNearest(kKeysEarlySeconds));
    const Spectrum spectrum = averagedSpectrum(mono, 0, static_cast<std::size_t>(held), rate);
    const double fundamental = soundingFrequency(kTestNote, rate);
    m.centroidHz = spectralCentroidHz(spectrum);
    m.offHarmonicDecibels = bank_measure::offHarmonicDecibels(spectrum, fundamental);
    m.notchDecibels = deepestReleaseNotchDecibels(envelope, kHoldSeconds, kReleaseDropDecibels);
    m.thumpDecibels = releaseThumpDecibels(mono, rate, kHoldSeconds, envelope.peakRms());
    m.lowRiseDecibels = lowBandRiseDecibels(mono, rate, kHoldSeconds);
    m.fingerprint = makeFingerprint(spectrum, fundamental, envelope);
}

std::vector<int> sweepVelocities(bool fast) {
    std::vector<int> velocities;
    if (!fast) {
        for (int v = 1; v <= kTopVelocity; ++v)
            velocities.push_back(v);
        return velocities;
    }
    velocities.push_back(1);
    for (int v = kFastVelocityStep; v < kTopVelocity; v += kFastVelocityStep)
        velocities.push_back(v);
    velocities.push_back(kTopVelocity);
    return velocities;
}

VelocityVerdict measureVelocities(const PluginPlayer& player, int slot, bool fast) {
    const double rate = player.settings().sampleRate;
    const std::int64_t held = framesOf(kHoldSeconds, rate);
    std::vector<VelocityPoint> points;
    for (int velocity : sweepVelocities(fast)) {
        const StereoSignal note = player.render(slot, {noteOn(0, kTestNote, velocity)}, held);
        const Envelope envelope(note.mono(), rate);
        VelocityPoint point;
        point.velocity = velocity;
        point.peak = samplePeak(note);
        if (auto fall = fallFromPeakSeconds(envelope, kDecayDropDecibels, kHoldSeconds))
            point.fallSeconds = attackSeconds(envelope) + *fall;
        points.push_back(point);
    }
    return judgeVelocities(points);
}

KeyboardDip measureKeyboard(const PluginPlayer& player, int slot, bool fast) {
    const double rate = player.settings().sampleRate;
    const std::int64_t length = framesOf(kKeyboardSeconds, rate);
    const int step = fast ? kFastKeyboardStep : 1;
    std::vector<int> notes;
    std::vector<double> levels;
    for (int note = kKeyboardLowNote; note <= kKeyboardHighNote; note += step) {
        const StereoSignal sound = player.render(slot, {noteOn(0, note, kTestVelocity)}, length);
        notes.push_back(note);
        levels.push_back(amplitudeToDecibels(rms(sound.mono(), 0, sound.frames())));
    }
    return worstKeyboardDip(notes, levels);
}

double measureChordPeak(const PluginPlayer& player, int slot) {
    const double rate = player.settings().sampleRate;
    const std::int64_t held = framesOf(kHoldSeconds, rate);
    std::vector<TimedMessage> messages;
    for (int note : kChordNotes)
        messages.push_back(noteOn(0, note, kChordVelocity));
    for (int note : kChordNotes)
        messages.push_back(noteOff(held, note));
    return samplePeak(player.render(slot, messages, held + framesOf(kTailSeconds, rate)));
}

int measureLegato(const PluginPlayer& player, int slot) {
    const double rate = player.settings().sampleRate;
    std::vector<ChordChange> changes;
    for (std::size_t i = 0; i < kLegatoChords.size(); ++i) {
        ChordChange change;
        change.notes.assign(kLegatoChords[i].begin(), kLegatoChords[i].end());
        change.frame =
            static_cast<long>(framesOf(kLegatoChordSeconds * static_cast<double>(i), rate));
        changes.push_back(change);
    }
    return droppedChordNotes(player.bankChunk(), slot, changes, kTestVelocity, rate);
}

ProgramMeasures describe(const PluginPlayer& player, int slot) {
    ProgramMeasures m;
    m.slot = slot;
    m.name = player.programNames()[static_cast<std::size_t>(slot)];
    m.family = familyOf(m.name);
    m.reference = isReference(slot);
    return m;
}

/// Runs work(slot) for every slot on up to jobs threads; rethrows the first error.
template <typename Work> void forEachSlot(const std::vector<int>& slots, int jobs, Work work) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex errorLock;
    auto worker = [&] {
        for (std::size_t i = next++; i < slots.size(); i = next++) {
            try {
                work(slots[i]);
            } catch (...) {
                std::lock_guard<std::mutex> lock(errorLock);
                if (!error) error = std::current_exception();
                next = slots.size();
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 1; t < std::max(jobs, 1); ++t)
        threads.emplace_back(worker);
    worker();
    for (std::thread& thread : threads)
        thread.join();
    if (error) std::rethrow_exception(error);
}

std::string programLabel(const ProgramMeasures& m) {
    return std::to_string(m.slot) + " " + m.name;
}

std::string distanceText(const ProgramDistance& d) {
    return format("%.1f dB in spectrum", d.spectrum) + format(", %.1f dB in envelope", d.envelope);
}

std::string thresholdText(const BankSurvey& survey) {
    return format("below %.1f dB in spectrum", survey.scale.spectrum * kNearDuplicateFraction) +
           format(" and %.1f dB in envelope", survey.scale.envelope * kNearDuplicateFraction);
}

/// The family target of one designed program (Bells' partials are judged over the family).
std::optional<std::string> familyFault(const BankSurvey& survey, const ProgramMeasures& m) {
    const double attackMs = m.attackSeconds * 1e3;
    std::string fault;
    auto add = [&](const std::string& text) { fault += (fault.empty() ? "" : "; ") + text; };
    switch (m.family) {
    case Family::Pad:
        if (m.attackSeconds < kPadEarliestPeakSeconds)
            add(format("peaks after %.0f ms (pads: no sooner than 100 ms)", attackMs));
        if (m.holdDecibels < kPadLowestHoldDecibels)
            add(format("holds %.1f dB at 2 s (pads: at least -6 dB)", m.holdDecibels));
        break;
    case Family::Lead:
        if (m.attackSeconds > kLeadLatestPeakSeconds)
            add(format("peaks after %.0f ms (leads: within 30 ms)", attackMs));
        if (m.holdDecibels < kLeadLowestHoldDecibels)
            add(format("holds %.1f dB at 2 s (leads: at least -10 dB)", m.holdDecibels));
        break;
    case Family::Keys:
        if (m.attackSeconds > kKeysLatestPeakSeconds)
            add(format("peaks after %.0f ms (keys: within 15 ms)", attackMs));
        if (m.earlyDecibels - m.holdDecibels < kKeysFallDecibels)
            add(format("falls %.1f dB from 0.1 s to 2 s (keys: at least 6 dB)",
                       m.earlyDecibels - m.holdDecibels));
        break;
    case Family::Bell:
        if (m.attackSeconds > kBellLatestPeakSeconds)
            add(format("peaks after %.0f ms (bells: within 15 ms)", attackMs));
        if (m.decaySeconds && *m.decaySeconds < kBellShortestRingSeconds)
            add(format("falls 20 dB after %.2f s (bells: ring at least 1.5 s)", *m.decaySeconds));
        break;
    case Family::Sequence: {
        const std::optional<double> fall =
            m.decaySeconds ? std::optional<double>(m.attackSeconds + *m.decaySeconds)
                           : std::nullopt;
        if (!fall || *fall > kSequenceLatestFallSeconds)
            add(fall ? format("falls 20 dB %.2f s after note-on (sequences: within 0.4 s)", *fall)
                     : std::string("never falls 20 dB while held (sequences: within 0.4 s)"));
        break;
    }
    case Family::Elephone:
        if (m.nearestLeadSlot >= 0 && survey.nearDuplicate(m.nearestLead))
            add(distanceText(m.nearestLead) + " from " +
                programLabel(survey.programs[static_cast<std::size_t>(m.nearestLeadSlot)]) +
                " (elephones: no near-duplicate of a lead; " + thresholdText(survey) + ")");
        break;
    case Family::Other:
        break;
    }
    if (fault.empty()) return std::nullopt;
    return fault;
}

} // namespace

bool isReference(int slot) {
    return std::find(kReferenceSlots.begin(), kReferenceSlots.end(), slot) != kReferenceSlots.end();
}

double soundingFrequency(int note, double sampleRate) {
    const double tempered =
        kReferenceHz *
        std::pow(2.0, static_cast<double>(note - kReferenceNote) / kSemitonesPerOctave);
    return sampleRate / std::round(sampleRate / tempered);
}

Family familyOf(const std::string& name) {
    for (const FamilyPrefix& f : kFamilies) {
        const std::string prefix = f.prefix;
        if (name.compare(0, prefix.size(), prefix) == 0 &&
            (name.size() == prefix.size() || name[prefix.size()] == ' '))
            return f.family;
    }
    return Family::Other;
}

const char* familyName(Family family) {
    for (const FamilyPrefix& f : kFamilies)
        if (f.family == family) return f.prefix;
    return "Other";
}

const char* targetName(Target target) {
    switch (target) {
    case Target::Loudness:
        return "loudness";
    case Target::ChordPeak:
        return "chord peak";
    case Target::VelocitySounds:
        return "velocity sounds";
    case Target::VelocityRising:
        return "velocity rising";
    case Target::VelocityTimes:
        return "velocity fall times";
    case Target::Family:
        return "family";
    case Target::BellPartials:
        return "bell partials";
    case Target::Keyboard:
        return "keyboard";
    case Target::Legato:
        return "legato";
    case Target::ReleaseNotch:
        return "release notch";
    case Target::ReleaseThump:
        return "release thump";
    case Target::ReleaseLowRise:
        return "release low rise";
    case Target::NearDuplicate:
        return "near-duplicate";
    }
    return "?";
}

VelocityVerdict judgeVelocities(const std::vector<VelocityPoint>& points) {
    VelocityVerdict verdict;
    if (points.empty()) return verdict;
    const VelocityPoint& top = points.back();
    verdict.rangeDecibels =
        amplitudeToDecibels(top.peak) - amplitudeToDecibels(points.front().peak);
    double loudestBelow = kFloorDecibels;
    auto fail = [](int& first, int velocity) {
        if (first == 0) first = velocity;
    };
    for (const VelocityPoint& p : points) {
        const double level = amplitudeToDecibels(p.peak);
        if (!(level > kSoundingFloorDecibels)) fail(verdict.silentVelocity, p.velocity);
        if (level < loudestBelow - kRisingToleranceDecibels)
            fail(verdict.fallingVelocity, p.velocity);
        loudestBelow = std::max(loudestBelow, level);
        const bool kept = top.fallSeconds
                              ? p.fallSeconds && *p.fallSeconds <= kFallTimeRatio * *top.fallSeconds
                              : !p.fallSeconds;
        if (!kept) fail(verdict.slowVelocity, p.velocity);
    }
    return verdict;
}

KeyboardDip worstKeyboardDip(const std::vector<int>& notes, const std::vector<double>& levels) {
    KeyboardDip worst;
    worst.decibels = -std::numeric_limits<double>::infinity();
    const std::size_t n = std::min(notes.size(), levels.size());
    if (n < 2) return KeyboardDip{};
    for (std::size_t i = 0; i < n; ++i) {
        double neighbours;
        if (i == 0)
            neighbours = levels[1];
        else if (i + 1 == n)
            neighbours = levels[i - 1];
        else
            neighbours = 0.5 * (levels[i - 1] + levels[i + 1]);
        if (neighbours - levels[i] > worst.decibels) worst = {notes[i], neighbours - levels[i]};
    }
    return worst;
}

ProgramMeasures measureProgram(const PluginPlayer& player, int slot, bool fast) {
    ProgramMeasures m = describe(player, slot);
    measureSingleNote(player, m);
    m.chordPeak = measureChordPeak(player, slot);
    m.velocity = measureVelocities(player, slot, fast);
    m.keyboard = measureKeyboard(player, slot, fast);
    m.droppedNotes = measureLegato(player, slot);
    m.complete = true;
    return m;
}

bool BankSurvey::failed(int slot, Target target) const {
    return std::any_of(failures.begin(), failures.end(),
                       [&](const Failure& f) { return f.slot == slot && f.target == target; });
}

BankSurvey surveyBank(const PluginPlayer& player, const SurveyOptions& options) {
    if (static_cast<int>(player.programNames().size()) < kBuiltInPrograms)
        throw PlayerError("the plug-in has " + std::to_string(player.programNames().size()) +
                          " programs; the bank survey needs " + std::to_string(kBuiltInPrograms));
    BankSurvey survey;
    survey.fast = options.fast;
    std::vector<int> all;
    for (int slot = 0; slot < kBuiltInPrograms; ++slot) {
        all.push_back(slot);
        survey.programs.push_back(describe(player, slot));
    }
    const std::vector<int>& full = options.programs.empty() ? all : options.programs;
    std::vector<int> singleOnly;
    for (int slot : all)
        if (std::find(full.begin(), full.end(), slot) == full.end()) singleOnly.push_back(slot);

    // Every program's single note sets the scales and the distances, whichever rows are shown.
    forEachSlot(full, options.jobs, [&](int slot) {
        survey.programs[static_cast<std::size_t>(slot)] =
            measureProgram(player, slot, options.fast);
    });
    forEachSlot(singleOnly, options.jobs, [&](int slot) {
        measureSingleNote(player, survey.programs[static_cast<std::size_t>(slot)]);
    });
    evaluateTargets(survey);
    return survey;
}

void evaluateTargets(BankSurvey& survey) {
    std::vector<ProgramMeasures>& programs = survey.programs;
    survey.failures.clear();

    // Scales from the reference programs.
    std::vector<double> loudness;
    for (int slot : kReferenceSlots)
        loudness.push_back(programs[static_cast<std::size_t>(slot)].loudness);
    std::sort(loudness.begin(), loudness.end());
    survey.referenceLoudness =
        0.5 * (loudness[loudness.size() / 2 - 1] + loudness[loudness.size() / 2]);
    survey.scale.spectrum = survey.scale.envelope = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < kReferenceSlots.size(); ++i) {
        for (std::size_t j = i + 1; j < kReferenceSlots.size(); ++j) {
            const int a = kReferenceSlots[i], b = kReferenceSlots[j];
            const ProgramDistance d =
                programDistance(programs[static_cast<std::size_t>(a)].fingerprint,
                                programs[static_cast<std::size_t>(b)].fingerprint);
            if (d.spectrum < survey.scale.spectrum) {
                survey.scale.spectrum = d.spectrum;
                survey.spectrumSlotA = a;
                survey.spectrumSlotB = b;
            }
            if (d.envelope < survey.scale.envelope) {
                survey.scale.envelope = d.envelope;
                survey.envelopeSlotA = a;
                survey.envelopeSlotB = b;
            }
        }
    }

    // Nearest neighbours, in units of the scales.
    for (ProgramMeasures& m : programs) {
        m.nearestSlot = m.nearestLeadSlot = -1;
        for (const ProgramMeasures& other : programs) {
            if (other.slot == m.slot) continue;
            const ProgramDistance d = programDistance(m.fingerprint, other.fingerprint);
            const double scaled = scaledDistance(d, survey.scale);
            if (m.nearestSlot < 0 || scaled < m.nearestScaled) {
                m.nearestSlot = other.slot;
                m.nearest = d;
                m.nearestScaled = scaled;
            }
            if (other.family == Family::Lead &&
                (m.nearestLeadSlot < 0 || scaled < m.nearestLeadScaled)) {
                m.nearestLeadSlot = other.slot;
                m.nearestLead = d;
                m.nearestLeadScaled = scaled;
            }
        }
    }

    auto fail = [&](int slot, Target target, const std::string& detail) {
        survey.failures.push_back({slot, target, detail});
    };
    for (ProgramMeasures& m : programs)
        if (m.complete) m.familyFault = familyFault(survey, m).value_or("");
    for (const ProgramMeasures& m : programs) {
        if (m.reference || !m.complete) continue;
        const int s = m.slot;
        const double offset = m.loudness - survey.referenceLoudness;
        if (std::fabs(offset) > kLoudnessToleranceLu)
            fail(s, Target::Loudness,
                 format("%+.1f LU from the reference median (limit +-3 LU)", offset));
        if (!(m.chordPeak < kChordPeakLimit))
            fail(s, Target::ChordPeak, format("chord peak %.2f (limit below 1.0)", m.chordPeak));
        if (!m.velocity.sounding())
            fail(s, Target::VelocitySounds,
                 "velocity " + std::to_string(m.velocity.silentVelocity) +
                     format(" peaks at or below %.0f dBFS", kSoundingFloorDecibels));
        if (!m.velocity.rising())
            fail(s, Target::VelocityRising,
                 "velocity " + std::to_string(m.velocity.fallingVelocity) +
                     " peaks more than 1 dB below a lower velocity");
        if (!m.velocity.timesKept())
            fail(s, Target::VelocityTimes,
                 "velocity " + std::to_string(m.velocity.slowVelocity) +
                     " falls 20 dB later than 2.5 times velocity 127, or falls where 127 holds "
                     "or holds where 127 falls");
        if (!m.familyFault.empty()) fail(s, Target::Family, m.familyFault);
        if (m.keyboard.decibels > kKeyboardDipDecibels)
            fail(
                s, Target::Keyboard,
                "note " + std::to_string(m.keyboard.note) +
                    format(" lies %.1f dB below its neighbours (limit 9 dB)", m.keyboard.decibels));
        if (m.droppedNotes > 0)
            fail(s, Target::Legato,
                 std::to_string(m.droppedNotes) + " notes of the legato chords found no voice");
        if (m.notchDecibels > kNotchLimitDecibels)
            fail(s, Target::ReleaseNotch,
                 format("release notch %.1f dB deep (limit 6 dB)", m.notchDecibels));
        if (m.thumpDecibels > kThumpLimitDecibels)
            fail(s, Target::ReleaseThump,
                 format("low thump %.1f dB below the peak in the release (limit -30 dB)",
                        -m.thumpDecibels));
        if (m.lowRiseDecibels > kLowRiseLimitDecibels)
            fail(s, Target::ReleaseLowRise,
                 format("the band below 150 Hz rises %.1f dB after note-off (limit 6 dB)",
                        m.lowRiseDecibels));
        if (m.nearestSlot >= 0 && survey.nearDuplicate(m.nearest))
            fail(s, Target::NearDuplicate,
                 distanceText(m.nearest) + " from " +
                     programLabel(programs[static_cast<std::size_t>(m.nearestSlot)]) +
                     " (near-duplicate: " + thresholdText(survey) + ")");
    }

    // Most designed Bells carry strong off-harmonic partials.
    survey.bellsWithPartials = survey.bellsMeasured = 0;
    for (int slot = kFirstDesignedBell; slot <= kLastDesignedBell; ++slot) {
        const ProgramMeasures& m = programs[static_cast<std::size_t>(slot)];
        ++survey.bellsMeasured;
        if (m.offHarmonicDecibels >= kBellPartialDecibels) ++survey.bellsWithPartials;
    }
    if (survey.bellsWithPartials < kBellsWithPartialsNeeded)
        fail(-1, Target::BellPartials,
             std::to_string(survey.bellsWithPartials) + " of " +
                 std::to_string(survey.bellsMeasured) +
                 " designed bells carry off-harmonic partials within 20 dB of the strongest "
                 "harmonic (need " +
                 std::to_string(kBellsWithPartialsNeeded) + ")");
}

} // namespace bank_measure
