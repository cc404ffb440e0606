#include "tools/bank_measure/bank_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bank_measure {

namespace {

/// Mark after a failing cell of the fixed-width table.
constexpr char kFailMark = '!';
/// Levels below this (dB relative to the peak) are shown as silence rather than as a figure.
constexpr double kSilentBelowDecibels = -120.0;

std::string number(const char* pattern, double value) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string verdict(bool good) {
    return good ? "ok" : "NO";
}

struct Column {
    const char* header;
    bool left;
};
constexpr Column kColumns[] = {
    {"slot", false},     {"name", true},      {"ref", true},      {"LUFS", false},
    {"dLU", false},      {"peak dB", false},  {"att ms", false},  {"hold dB", false},
    {"decay s", false},  {"rel s", false},    {"cent Hz", false}, {"chord", false},
    {"vel dB", false},   {"aud", true},       {"rise", true},     {"t20", true},
    {"family", true},    {"offh dB", false},  {"kbd dB", false},  {"drop", false},
    {"notch dB", false}, {"thump dB", false}, {"lowrise", false}, {"nearest", true},
    {"spec dB", false},  {"env dB", false},
};

} // namespace

Table buildTable(const BankSurvey& survey, const std::vector<int>& slots) {
    Table table;
    for (const Column& column : kColumns) {
        table.headers.push_back(column.header);
        table.leftAligned.push_back(column.left);
    }
    const bool bellsFailed = survey.failed(-1, Target::BellPartials);
    for (int slot : slots) {
        if (slot < 0 || slot >= static_cast<int>(survey.programs.size())) continue;
        const ProgramMeasures& m = survey.programs[static_cast<std::size_t>(slot)];
        if (!m.complete) continue;
        auto failed = [&](Target target) { return survey.failed(slot, target); };
        const bool weakBell = bellsFailed && slot >= kFirstDesignedBell &&
                              slot <= kLastDesignedBell &&
                              m.offHarmonicDecibels < kBellPartialDecibels;
        std::string nearest = "-";
        if (m.nearestSlot >= 0)
            nearest = survey.programs[static_cast<std::size_t>(m.nearestSlot)].name;
        table.rows.push_back({
            {std::to_string(m.slot)},
            {m.name},
            {m.reference ? "ref" : ""},
            {number("%.1f", m.loudness)},
            {number("%+.1f", m.loudness - survey.referenceLoudness), failed(Target::Loudness)},
            {number("%.1f", amplitudeToDecibels(m.peak))},
            {number("%.0f", m.attackSeconds * 1e3)},
            {m.holdDecibels < kSilentBelowDecibels ? number("<%.0f", kSilentBelowDecibels)
                                                   : number("%.1f", m.holdDecibels)},
            {m.decaySeconds ? number("%.2f", *m.decaySeconds) : "held"},
            {m.releaseSeconds ? number("%.2f", *m.releaseSeconds) : number(">%.1f", kTailSeconds)},
            {number("%.0f", m.centroidHz)},
            {number("%.2f", m.chordPeak), failed(Target::ChordPeak)},
            {number("%.1f", m.velocity.rangeDecibels)},
            {verdict(m.velocity.sounding()), failed(Target::VelocitySounds)},
            {verdict(m.velocity.rising()), failed(Target::VelocityRising)},
            {verdict(m.velocity.timesKept()), failed(Target::VelocityTimes)},
            {m.family == Family::Other ? "-" : verdict(m.familyFault.empty()),
             failed(Target::Family)},
            {number("%.1f", m.offHarmonicDecibels), weakBell},
            {number("%.1f", m.keyboard.decibels), failed(Target::Keyboard)},
            {std::to_string(m.droppedNotes), failed(Target::Legato)},
            {number("%.1f", m.notchDecibels), failed(Target::ReleaseNotch)},
            {m.thumpDecibels <= kFloorDecibels ? "none" : number("%.1f", m.thumpDecibels),
             failed(Target::ReleaseThump)},
            {m.lowRiseDecibels <= kFloorDecibels ? "-" : number("%+.1f", m.lowRiseDecibels),
             failed(Target::ReleaseLowRise)},
            {nearest},
            {number("%.1f", m.nearest.spectrum), failed(Target::NearDuplicate)},
            {number("%.1f", m.nearest.envelope), failed(Target::NearDuplicate)},
        });
    }
    return table;
}

std::string formatTable(const Table& table) {
    std::vector<std::size_t> widths;
    for (const std::string& header : table.headers)
        widths.push_back(header.size());
    for (const auto& row : table.rows)
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], row[c].text.size());

    auto cell = [&](std::string& line, std::size_t c, const std::string& text, char mark) {
        const std::string padding(widths[c] - std::min(widths[c], text.size()), ' ');
        line += table.leftAligned[c] ? text + padding : padding + text;
        line += mark;
        line += ' ';
    };
    auto finish = [](std::string& line) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        line += '\n';
    };

    std::string out;
    std::string line;
    for (std::size_t c = 0; c < table.headers.size(); ++c)
        cell(line, c, table.headers[c], ' ');
    finish(line);
    out += line;
    for (const auto& row : table.rows) {
        line.clear();
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
            cell(line, c, row[c].text, row[c].failed ? kFailMark : ' ');
        finish(line);
        out += line;
    }
    return out;
}

std::string formatCsv(const Table& table, const BankSurvey& survey, const std::vector<int>& slots) {
    auto field = [](const std::string& text) {
        if (text.find_first_of(",\"\n") == std::string::npos) return text;
        std::string quoted = "\"";
        for (char c : text)
            quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return quoted + "\"";
    };
    std::string out;
    for (const std::string& header : table.headers)
        out += field(header) + ",";
    out += "failed\n";
    // Rows are the complete programs of slots, in order.
    std::size_t r = 0;
    for (int slot : slots) {
        if (slot < 0 || slot >= static_cast<int>(survey.programs.size()) ||
            !survey.programs[static_cast<std::size_t>(slot)].complete || r >= table.rows.size())
            continue;
        std::string failed;
        for (const Failure& f : survey.failures)
            if (f.slot == slot)
                failed += (failed.empty() ? "" : ";") + std::string(targetName(f.target));
        for (const TableCell& c : table.rows[r++])
            out += field(c.text) + ",";
        out += field(failed) + "\n";
    }
    return out;
}

std::string formatScales(const BankSurvey& survey) {
    std::string out;
    out += number("Reference loudness (median of the reference programs): %.1f LUFS; ",
                  survey.referenceLoudness) +
           number("designed programs within +-%.0f LU of it\n", kLoudnessToleranceLu);
    auto name = [&](int slot) { return survey.programs[static_cast<std::size_t>(slot)].name; };
    if (survey.spectrumSlotA >= 0)
        out += number("Reference spectrum scale: %.1f dB (", survey.scale.spectrum) +
               name(survey.spectrumSlotA) + " / " + name(survey.spectrumSlotB) + ")\n";
    if (survey.envelopeSlotA >= 0)
        out += number("Reference envelope scale: %.1f dB (", survey.scale.envelope) +
               name(survey.envelopeSlotA) + " / " + name(survey.envelopeSlotB) + ")\n";
    out +=
        number("Near-duplicates lie below %.1f dB in spectrum",
               survey.scale.spectrum * kNearDuplicateFraction) +
        number(" and below %.1f dB in envelope\n", survey.scale.envelope * kNearDuplicateFraction);
    out += "Designed bells with strong off-harmonic partials: " +
           std::to_string(survey.bellsWithPartials) + " of " +
           std::to_string(survey.bellsMeasured) + " (need " +
           std::to_string(kBellsWithPartialsNeeded) + ")\n";
    if (survey.fast) out += "Compact measurement (--fast): fewer velocities and keyboard notes\n";
    return out;
}

std::string formatNearestPairs(const BankSurvey& survey, std::size_t count) {
    struct Pair {
        double scaled;
        ProgramDistance distance;
        int a, b;
    };
    std::vector<Pair> pairs;
    const std::vector<ProgramMeasures>& programs = survey.programs;
    for (std::size_t i = 0; i < programs.size(); ++i)
        for (std::size_t j = i + 1; j < programs.size(); ++j) {
            const ProgramDistance d =
                programDistance(programs[i].fingerprint, programs[j].fingerprint);
            pairs.push_back(
                {scaledDistance(d, survey.scale), d, programs[i].slot, programs[j].slot});
        }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& x, const Pair& y) { return x.scaled < y.scaled; });
    std::string out = "Nearest pairs (distance in units of the scales; below " +
                      number("%.1f", kNearDuplicateFraction) + " a near-duplicate):\n";
    for (std::size_t i = 0; i < std::min(count, pairs.size()); ++i) {
        const Pair& p = pairs[i];
        char line[160];
        std::snprintf(line, sizeof line,
                      "  %-12s ~ %-12s %5.2f   spectrum %5.1f dB, envelope %4.1f dB\n",
                      programs[static_cast<std::size_t>(p.a)].name.c_str(),
                      programs[static_cast<std::size_t>(p.b)].name.c_str(), p.scaled,
                      p.distance.spectrum, p.distance.envelope);
        out += line;
    }
    return out;
}

std::string formatNeighbours(const BankSurvey& survey, const std::vector<int>& slots) {
    std::string out;
    for (int slot : slots) {
        if (slot < 0 || slot >= static_cast<int>(survey.programs.size())) continue;
        const ProgramMeasures& m = survey.programs[static_cast<std::size_t>(slot)];
        if (m.nearestSlot < 0) continue;
        const ProgramMeasures& n = survey.programs[static_cast<std::size_t>(m.nearestSlot)];
        auto widest = [](const std::vector<double>& a, const std::vector<double>& b) {
            std::size_t at = 0;
            for (std::size_t i = 1; i < std::min(a.size(), b.size()); ++i)
                if (std::fabs(a[i] - b[i]) > std::fabs(a[at] - b[at])) at = i;
            return at;
        };
        const Fingerprint& a = m.fingerprint;
        const Fingerprint& b = n.fingerprint;
        char line[320];
        if (a.harmonics.empty() || a.envelope.empty() || b.harmonics.empty() || b.envelope.empty())
            continue;
        const std::size_t h = widest(a.harmonics, b.harmonics);
        const std::size_t e = widest(a.envelope, b.envelope);
        std::snprintf(line, sizeof line,
                      "%s (%d): nearest %s; spectrum %.1f dB apart (harmonic %zu: %.0f against "
                      "%.0f dB), envelope %.1f dB apart (at %.2f s: %.0f against %.0f dB)\n",
                      m.name.c_str(), m.slot, n.name.c_str(), m.nearest.spectrum, h + 1,
                      a.harmonics[h], b.harmonics[h], m.nearest.envelope,
                      static_cast<double>(e) * kFingerprintStepSeconds, a.envelope[e],
                      b.envelope[e]);
        out += line;
    }
    return out;
}

std::vector<Failure> failuresOf(const BankSurvey& survey, const std::vector<int>& slots) {
    std::vector<Failure> selected;
    for (const Failure& f : survey.failures)
        if (f.slot < 0 || std::find(slots.begin(), slots.end(), f.slot) != slots.end())
            selected.push_back(f);
    return selected;
}

std::string formatFailures(const BankSurvey& survey, const std::vector<int>& slots) {
    std::string out;
    for (const Failure& f : failuresOf(survey, slots)) {
        std::string who = "bank";
        if (f.slot >= 0)
            who = std::to_string(f.slot) + " " +
                  survey.programs[static_cast<std::size_t>(f.slot)].name;
        char head[96];
        std::snprintf(head, sizeof head, "FAIL %-14s %-20s ", who.c_str(), targetName(f.target));
        out += head + f.detail + "\n";
    }
    return out;
}

} // namespace bank_measure
