#include "tools/quarnel_render/options.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace quarnel_render {

namespace {

/// Exit code for a command line that cannot be used.
constexpr int kUsageExitCode = 2;

constexpr const char* kDescription =
    "Plays a Standard MIDI File through an instrument plug-in (VST 2.4, VST3, CLAP or LV2) and\n"
    "writes the sound to a file.\n"
    "All tracks are merged and the tempo map is followed; channel messages are sent to the\n"
    "plug-in with frame-accurate offsets, meta and system-exclusive events are not.";

constexpr const char* kFooter =
    "Formats: --plugin names a .so or .dll (VST 2.4), a .vst3 bundle folder, a .clap file or a\n"
    ".lv2 bundle folder; the name tells the format, --format overrides it.\n"
    "Program changes: a MIDI program change (0xC0..0xCF) on any channel is passed on to the\n"
    "plug-in as MIDI and also selects that program number (VST 2.4: effSetProgram) exactly at\n"
    "its frame (the block is split there). Changes at time 0 override --program; numbers the\n"
    "plug-in does not have are ignored with a warning.\n"
    "Presets: an .fxb bank is loaded as the plug-in's bank in every format; a single-program\n"
    ".fxp goes into the current slot (VST 2.4 as a program chunk; the other formats get the\n"
    "current bank with that slot's record replaced).\n"
    "Parameters: --parameter NAME=VALUE (repeatable) sets the parameter the plug-in names NAME\n"
    "(letter case ignored; a VST 2.4 name cut to 8 letters stands for the longer ones it begins)\n"
    "to the normalised host value VALUE, 0..1 as VST 2.4 hosts show it (the other formats get\n"
    "the value of their own range it stands for), after the preset and before the first block.\n"
    "Output: the extension chooses the format, .wav (32-bit float, extensible WAV) or .flac\n"
    "(24-bit, clipped). The folder named with -o must exist; the default out/ is created.\n"
    "The file is written beside the output under a temporary name and renamed when complete.\n"
    "--cpu-time adds a second line to the summary, for scripts:\n"
    "  cpu-time: cpu_ms=<ms> audio_s=<s> realtime=<factor> calls=<n> clock_ns=<ns>\n"
    "cpu_ms is the CPU time of the rendering thread spent inside the plug-in's process calls\n"
    "(VST 2.4 processReplacing, VST3 process, CLAP process, LV2 run; CLOCK_THREAD_CPUTIME_ID\n"
    "read around each call), audio_s the seconds rendered and\n"
    "realtime their ratio; work the plug-in hands to threads of its own is not counted.\n"
    "Reading the clock costs CPU time too: clock_ns is what a pair of readings adds to a call,\n"
    "measured before rendering (the median of 1001 back-to-back pairs), and cpu_ms has it\n"
    "taken off every call.";

} // namespace

/// A check that the text is a whole number, so that "abc" is not reported as out of range.
/// Splits "NAME=VALUE" into a name and a normalised value 0..1; false when it is not that.
bool parseParameterSetting(const std::string& text, std::pair<std::string, double>& setting) {
    const std::size_t equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0) return false;
    const std::string number = text.substr(equals + 1);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (number.empty() || end == nullptr || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        return false;
    setting = {text.substr(0, equals), value};
    return true;
}

CLI::Validator wholeNumber(const std::string& what) {
    return CLI::Validator(
        [what](std::string& text) {
            char* end = nullptr;
            std::strtol(text.c_str(), &end, 10);
            const bool whole = !text.empty() && end != nullptr && *end == '\0';
            return whole ? std::string() : "not a whole number of " + what + ": " + text;
        },
        "", "whole number");
}

std::string defaultOutputPath(const std::string& midiPath) {
    const std::filesystem::path stem = std::filesystem::path(midiPath).stem();
    return (std::filesystem::path("out") / stem).string() + ".wav";
}

ParsedCommandLine parseCommandLine(int argc, char** argv, const std::string& defaultPlugin) {
    RenderOptions options;
    options.pluginPath = defaultPlugin;

    CLI::App app(kDescription, "quarnel-render");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("quarnel-render ") + QUARNEL_VERSION);
    CLI::Option* midi = app.add_option("midi", options.midiPath, "Standard MIDI File to play");
    app.add_flag("--list-programs", options.listPrograms,
                 "Print the plug-in's program slots (number and name) and exit")
        ->excludes(midi);
    app.add_option("--plugin", options.pluginPath,
                   "Instrument plug-in: .so/.dll (VST 2.4), .vst3 or .lv2 bundle folder, .clap; "
                   "default: the VST 2.4 Quarnel.so installed beside this program (../lib/vst), "
                   "else the one built beside it")
        ->envname("QUARNEL_PLUGIN");
    std::string formatName;
    app.add_option("--format", formatName,
                   "Plug-in format, when the --plugin name does not tell it: vst2, vst3, clap, lv2")
        ->check(CLI::IsMember({"vst2", "vst3", "clap", "lv2"}));
    app.add_option("-p,--program", options.program,
                   "Initial program: a number, or a program name as the plug-in reports it "
                   "(letter case ignored); default 0");
    app.add_option("-r,--rate", options.sampleRate, "Sample rate in Hz")
        ->check(wholeNumber("hertz"))
        ->check(CLI::Range(kMinSampleRate, kMaxSampleRate))
        ->capture_default_str();
    app.add_option("-b,--block", options.blockSize, "Frames per processing block")
        ->check(wholeNumber("frames"))
        ->check(CLI::Range(kMinBlockSize, kMaxBlockSize))
        ->capture_default_str();
    app.add_option("-o,--output", options.outputPath,
                   "Output file, .wav or .flac (default: out/<MIDI file name>.wav)");
    app.add_option("-t,--tail", options.tailSeconds, "Seconds rendered after the last MIDI message")
        ->check(CLI::Validator(
            [](std::string& text) {
                // The range check alone lets "nan" through.
                const double value = std::strtod(text.c_str(), nullptr);
                return std::isfinite(value) ? std::string() : "not a number of seconds: " + text;
            },
            "", "finite"))
        ->check(CLI::Range(0.0, kMaxTailSeconds))
        ->capture_default_str();
    app.add_option("--preset", options.presetPath,
                   "Preset loaded before rendering: an .fxb bank, or an .fxp program loaded into "
                   "the program chosen with --program");
    std::vector<std::string> parameterTexts;
    app.add_option("--parameter", parameterTexts,
                   "NAME=VALUE: sets the parameter of that name to the normalised value VALUE "
                   "(0..1) before rendering; repeatable")
        ->check(CLI::Validator(
            [](std::string& text) {
                std::pair<std::string, double> setting;
                return parseParameterSetting(text, setting)
                           ? std::string()
                           : "not NAME=VALUE with VALUE from 0 to 1: " + text;
            },
            "NAME=VALUE", "parameter setting"))
        ->allow_extra_args(false);
    app.add_flag("--cpu-time", options.cpuTime,
                 "Measure the CPU time spent inside the plug-in's process calls and print "
                 "it with the realtime factor (see below)");

    ParsedCommandLine parsed;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        parsed.exitCode = code == 0 ? 0 : kUsageExitCode;
        return parsed;
    }
    if (!options.listPrograms && options.midiPath.empty()) {
        std::fprintf(stderr, "quarnel-render: error: name the MIDI file to play\n"
                             "Run with --help for more information.\n");
        parsed.exitCode = kUsageExitCode;
        return parsed;
    }
    if (!formatName.empty()) {
        formathost::Format format = formathost::Format::Vst2;
        formathost::formatFromName(formatName, format);
        options.format = format;
    }
    for (const std::string& text : parameterTexts) {
        std::pair<std::string, double> setting;
        parseParameterSetting(text, setting);
        options.parameters.push_back(setting);
    }
    options.outputGiven = !options.outputPath.empty();
    if (!options.outputGiven) options.outputPath = defaultOutputPath(options.midiPath);
    parsed.options = options;
    return parsed;
}

} // namespace quarnel_render
