// quarnel-bank: plays every built-in program of the plug-in in a fixed set of situations,
// prints what it measures (one row per program) and checks the bank's targets. Exits 0 when
// every target holds, 1 when one fails, 2 when the command line or the plug-in is unusable.

#include "tools/bank_measure/bank_report.h"
#include "tools/bank_measure/bank_survey.h"
#include "tools/bank_measure/phrase_render.h"
#include "tools/vst_host/plugin_host.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bank_measure {
namespace {

constexpr int kPassExitCode = 0;
constexpr int kTargetFailedExitCode = 1;
constexpr int kUsageExitCode = 2;
/// Most programs measured at the same time.
constexpr int kMaxJobs = 64;

constexpr const char* kDescription =
    "Measures the built-in programs of the Quarnel plug-in and checks the bank's targets.\n"
    "Each program is played through the plug-in's entry point at 44.1 kHz in blocks of 512:\n"
    "note 60 at velocity 100 held 2 s and released (1.5 s tail), an eight-note chord at\n"
    "velocity 127, every velocity 1..127, every note 36..96, and four legato chord changes.";

constexpr const char* kFooter =
    "Columns: LUFS integrated loudness; dLU its distance from the reference programs' median;\n"
    "peak sample peak; att time until the RMS envelope comes within 1 dB of its highest\n"
    "point; hold level at note-off relative to the highest point; decay from att to 20 dB\n"
    "below the highest point (held: not before note-off); rel note-off to 40 dB below the\n"
    "level there; cent spectral centroid while held; chord the chord's sample peak; vel dB\n"
    "velocity 1 to 127; aud/rise/t20 the velocity checks (every velocity sounds, peaks rise,\n"
    "fall times kept); family the family's character; offh strongest off-harmonic component\n"
    "relative to the strongest harmonic; kbd deepest keyboard dip below the neighbours; drop\n"
    "legato notes that found no voice; notch deepest release notch; thump low-band energy\n"
    "new in the release relative to the peak; lowrise the largest rise below 150 Hz over\n"
    "50 ms after note-off; nearest the closest other program and spec/env its spectral and\n"
    "envelope distances. '!' marks a failed target. Reference programs (ref) are shown but\n"
    "not judged.";

/// Closest pairs listed under the table.
constexpr std::size_t kNearestPairsShown = 12;

struct Options {
    std::string pluginPath;
    bool check = false;
    bool fast = false;
    std::string programs;
    std::string csvPath;
    std::string neighboursPath;
    std::string phraseDirectory;
    int jobs = 1;
};

/// Parses "0,2,5-9" into slots 0..kBuiltInPrograms-1 (sorted, each once).
std::optional<std::vector<int>> parseProgramList(const std::string& text, std::string& error) {
    std::vector<int> slots;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        int first = 0;
        int last = 0;
        char dash = 0;
        char extra = 0;
        std::istringstream range(item);
        if (!(range >> first)) {
            error = "not a program number: '" + item + "'";
            return std::nullopt;
        }
        last = first;
        if (range >> dash && (dash != '-' || !(range >> last) || range >> extra)) {
            error = "not a program number or range: '" + item + "'";
            return std::nullopt;
        }
        if (first < 0 || last >= kBuiltInPrograms || first > last) {
            error = "programs are 0.." + std::to_string(kBuiltInPrograms - 1) + ": '" + item + "'";
            return std::nullopt;
        }
        for (int slot = first; slot <= last; ++slot)
            slots.push_back(slot);
    }
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    if (slots.empty()) {
        error = "no programs given";
        return std::nullopt;
    }
    return slots;
}

int run(const Options& options, const std::vector<int>& slots) {
    RenderSettings settings;
    std::optional<PluginPlayer> player;
    try {
        player.emplace(options.pluginPath, settings);
    } catch (const PlayerError& error) {
        std::fprintf(stderr, "quarnel-bank: %s\n", error.what());
        return kUsageExitCode;
    }
    if (!options.phraseDirectory.empty()) {
        // Only the phrases: for listening and for the pictures of the documentation.
        for (int slot : slots) {
            char name[32];
            std::snprintf(name, sizeof name, "/program-%02d.wav", slot);
            std::string error;
            if (!writePhrase(*player, slot, options.phraseDirectory + name, error)) {
                std::fprintf(stderr, "quarnel-bank: cannot write %s%s: %s\n",
                             options.phraseDirectory.c_str(), name, error.c_str());
                return kUsageExitCode;
            }
        }
        return kPassExitCode;
    }
    SurveyOptions survey;
    survey.fast = options.fast;
    survey.programs = slots;
    survey.jobs = options.jobs;
    BankSurvey result;
    try {
        result = surveyBank(*player, survey);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quarnel-bank: %s\n", error.what());
        return kUsageExitCode;
    }

    const Table table = buildTable(result, slots);
    const std::vector<Failure> failures = failuresOf(result, slots);
    if (!options.check) {
        std::fputs(formatTable(table).c_str(), stdout);
        std::fputs("\n", stdout);
        std::fputs(formatScales(result).c_str(), stdout);
        std::fputs("\n", stdout);
        std::fputs(formatNearestPairs(result, kNearestPairsShown).c_str(), stdout);
        std::fputs("\n", stdout);
    }
    std::fputs(formatFailures(result, slots).c_str(), stdout);
    if (!options.check) {
        if (failures.empty())
            std::fputs("All targets hold.\n", stdout);
        else
            std::printf("%zu failed targets.\n", failures.size());
    }
    auto write = [](const std::string& path, const std::string& text) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text;
        if (file.flush()) return true;
        std::fprintf(stderr, "quarnel-bank: cannot write %s\n", path.c_str());
        return false;
    };
    if (!options.csvPath.empty() && !write(options.csvPath, formatCsv(table, result, slots)))
        return kUsageExitCode;
    if (!options.neighboursPath.empty() &&
        !write(options.neighboursPath, formatNeighbours(result, slots)))
        return kUsageExitCode;
    return failures.empty() ? kPassExitCode : kTargetFailedExitCode;
}

} // namespace
} // namespace bank_measure

int main(int argc, char** argv) {
    using namespace bank_measure;
    Options options;
    options.pluginPath = vsthost::defaultPluginPath();
    options.jobs = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxJobs);

    CLI::App app(kDescription, "quarnel-bank");
    app.set_version_flag("--version", std::string("quarnel-bank ") + QUARNEL_VERSION);
    app.footer(kFooter);
    app.add_option("--plugin", options.pluginPath,
                   "VST 2.4 instrument library (.so); default: the Quarnel.so installed beside "
                   "this program (../lib/vst), else the one built beside it")
        ->envname("QUARNEL_PLUGIN");
    app.add_flag("--check", options.check, "Print only the failed targets");
    app.add_flag("--fast", options.fast,
                 "Compact measurement: every 7th velocity plus 1 and 127, every 3rd keyboard note");
    app.add_option("--programs", options.programs,
                   "Measure and show only these slots, e.g. 3,7,10-14 (every program's single "
                   "note is still measured: the scales and distances need them)");
    app.add_option("--csv", options.csvPath, "Also write the table as CSV to this file");
    app.add_option("--neighbours", options.neighboursPath,
                   "Also write, a line per program, its nearest neighbour and where the two "
                   "differ most, to this file");
    app.add_option("--phrases", options.phraseDirectory,
                   "Instead of measuring, write a short phrase of each program to "
                   "DIR/program-NN.wav (an arpeggio and its chord, 3.2 s)")
        ->check(CLI::ExistingDirectory);
    app.add_option("-j,--jobs", options.jobs,
                   "Programs measured at the same time; default: one per processor")
        ->check(CLI::Range(1, kMaxJobs));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageExitCode;
    }

    std::vector<int> slots;
    if (options.programs.empty()) {
        for (int slot = 0; slot < kBuiltInPrograms; ++slot)
            slots.push_back(slot);
    } else {
        std::string error;
        const auto parsed = parseProgramList(options.programs, error);
        if (!parsed) {
            std::fprintf(stderr, "quarnel-bank: --programs: %s\n", error.c_str());
            return kUsageExitCode;
        }
        slots = *parsed;
    }
    return run(options, slots);
}
