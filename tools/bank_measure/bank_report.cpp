#include "tools/bank_measure/bank_report.h"

#include <algorithm>
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
    {"notch dB", false}, {"thump dB", false}, {"nearest", true},  {"dist", false},
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
            {verdict(m.velocity.audible()), failed(Target::VelocityAudible)},
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
            {nearest},
            {number("%.1f", m.nearestDistance), failed(Target::NearDuplicate)},
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
    if (survey.scaleSlotA >= 0) {
        const auto& a = survey.programs[static_cast<std::size_t>(survey.scaleSlotA)];
        const auto& b = survey.programs[static_cast<std::size_t>(survey.scaleSlotB)];
        out += number("Reference distance scale: %.1f dB (", survey.referenceScale) + a.name +
               " / " + b.name +
               number("); near-duplicates lie below %.1f dB\n", survey.nearDuplicateThreshold());
    }
    out += "Designed bells with strong off-harmonic partials: " +
           std::to_string(survey.bellsWithPartials) + " of " +
           std::to_string(survey.bellsMeasured) + " (need " +
           std::to_string(kBellsWithPartialsNeeded) + ")\n";
    if (survey.fast) out += "Compact measurement (--fast): fewer velocities and keyboard notes\n";
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
