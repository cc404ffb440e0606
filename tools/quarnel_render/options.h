// The render tool's command line.
#pragma once

#include "tools/format_hosts/format_instance.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarnel_render {

/// Sample rates the tool accepts (Hz).
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 384000;
/// Block sizes the tool accepts (frames per process call).
constexpr int kMinBlockSize = 1;
constexpr int kMaxBlockSize = 16384;
/// Longest tail the tool renders after the last event (seconds).
constexpr double kMaxTailSeconds = 3600.0;

struct RenderOptions {
    /// The Standard MIDI File to play.
    std::string midiPath;
    /// The instrument plug-in: a .so or .dll, a .vst3 or .lv2 bundle folder, a .clap file.
    std::string pluginPath;
    /// Its format when given with --format; else the path tells it.
    std::optional<formathost::Format> format;
    /// Initial program: a slot number or a program name; "" selects slot 0.
    std::string program;
    /// Sample rate in Hz, kMinSampleRate..kMaxSampleRate.
    int sampleRate = 44100;
    /// Frames per process call, kMinBlockSize..kMaxBlockSize.
    int blockSize = 512;
    /// Output file (.wav or .flac).
    std::string outputPath;
    /// Seconds rendered after the last MIDI message, 0..kMaxTailSeconds.
    double tailSeconds = 2.0;
    /// True when the output was named on the command line (its folder must exist then).
    bool outputGiven = false;
    /// Print the plug-in's program slots and exit instead of rendering.
    bool listPrograms = false;
    /// Preset loaded before rendering: an .fxb bank or an .fxp program ("" for none).
    std::string presetPath;
    /// Parameter values set before rendering, after the preset: the parameter's name as the
    /// plug-in reports it and the normalised host value 0..1, in the order given.
    std::vector<std::pair<std::string, double>> parameters;
    /// Measure the CPU time spent inside the plug-in's process calls and print it with the
    /// realtime factor.
    bool cpuTime = false;
};

/// The result of parsing: options to render with, or the exit code to leave with (after help
/// or a usage error, both already printed).
struct ParsedCommandLine {
    std::optional<RenderOptions> options;
    int exitCode = 0;
};

/// Parses the command line; defaultPlugin is the --plugin default (the QUARNEL_PLUGIN
/// environment variable overrides it, the option overrides both).
ParsedCommandLine parseCommandLine(int argc, char** argv, const std::string& defaultPlugin);

/// The default output for a MIDI file: out/<file name without extension>.wav.
std::string defaultOutputPath(const std::string& midiPath);

} // namespace quarnel_render
