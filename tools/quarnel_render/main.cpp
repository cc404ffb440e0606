// quarnel-render: plays a Standard MIDI File through an instrument plug-in (VST 2.4, VST3, CLAP
// or LV2) and writes WAV or FLAC.
//
// Host sequence, in VST 2.4 terms: entry point, effOpen, effSetSampleRate, effSetBlockSize,
// effSetProgram, effMainsChanged 1, the preset if one is given, then per slice any program
// change (effSetProgram), the slice's MIDI (effProcessEvents) and processReplacing;
// effMainsChanged 0 and effClose at the end. The other formats follow the same order in their
// own calls (tools/format_hosts/).

#include "tools/quarnel_render/audio_writer.h"
#include "tools/quarnel_render/instrument.h"
#include "tools/quarnel_render/midi_file.h"
#include "tools/quarnel_render/midi_schedule.h"
#include "tools/quarnel_render/options.h"
#include "tools/quarnel_render/program_select.h"
#include "tools/quarnel_render/progress.h"
#include "tools/quarnel_render/render_loop.h"
#include "tools/presets/fx_container.h"
#include "tools/vst_host/plugin_host.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>

namespace quarnel_render {
namespace {

/// Exit codes: a failed render, and a render stopped by a signal (128 + SIGINT, as shells do).
constexpr int kFailureExitCode = 1;
constexpr int kInterruptedExitCode = 130;

/// Longest piece played, from the start to the last MIDI message (seconds). Anything longer is
/// a damaged or hostile file (delta times near their 28-bit limit) and would render for hours.
constexpr double kMaxPieceSeconds = 4.0 * 3600.0;
/// Most sample data a WAV file can describe (its sizes are 32-bit), less room for the header.
constexpr std::uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 4096;
/// Bytes per frame of the WAV output: two channels of 32-bit float.
constexpr std::uint64_t kWavFrameBytes = 2 * sizeof(float);

std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested.store(true);
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = &requestStop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

/// VST 2.4 parameter names are cut to this many characters (kVstMaxParamStrLen).
constexpr std::size_t kShortParameterName = 8;

/// The index of the parameter named name (letter case ignored; a name the plug-in reports
/// cut to the VST 2.4 length stands for every name it begins); -1 when there is none.
int parameterIndex(formathost::Instance& plugin, const std::string& name) {
    const auto sameLetter = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    const auto matches = [&](const std::string& reported) {
        const bool cut = reported.size() == kShortParameterName && name.size() > reported.size();
        if (name.size() != reported.size() && !cut) return false;
        return std::equal(reported.begin(), reported.end(), name.begin(), sameLetter);
    };
    for (int index = 0; index < plugin.parameterCount(); ++index)
        if (matches(plugin.parameterInfo(index).name)) return index;
    return -1;
}

class RenderError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string decibelText(float peak) {
    if (!(peak > 0.0f)) return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", 20.0 * std::log10(static_cast<double>(peak)));
    return text;
}

/// Warns once for every program-change number in the file that the plug-in does not have.
void warnAboutMissingPrograms(const std::vector<ScheduledMessage>& schedule, int programCount) {
    std::set<int> missing;
    for (const ScheduledMessage& scheduled : schedule) {
        if (isProgramChange(scheduled.message) && scheduled.message.data1 >= programCount)
            missing.insert(scheduled.message.data1);
    }
    for (int program : missing) {
        std::fprintf(stderr,
                     "quarnel-render: warning: program change to %d ignored: the plug-in has %d "
                     "programs\n",
                     program, programCount);
    }
}

int selectInitialProgram(Instrument& instrument, const std::string& request) {
    if (instrument.programCount() == 0) {
        if (!request.empty()) throw RenderError("the plug-in has no programs to choose from");
        return -1;
    }
    if (request.empty()) return 0;
    const ProgramChoice choice = resolveProgram(request, instrument.programNames());
    if (choice.index < 0) throw RenderError(choice.error);
    return choice.index;
}

/// Prints "N name" for every program slot of the plug-in.
int listPrograms(const RenderOptions& options) {
    Instrument instrument(options.pluginPath, options.format);
    const std::vector<std::string> names = instrument.programNames();
    for (std::size_t slot = 0; slot < names.size(); ++slot)
        std::printf("%zu %s\n", slot, names[slot].c_str());
    return 0;
}

/// Notes when a program change at the start of the file replaces the --program choice.
void noteOverriddenProgram(const std::vector<ScheduledMessage>& schedule, int programCount,
                           const std::string& request) {
    if (request.empty()) return;
    int startProgram = -1;
    for (const ScheduledMessage& scheduled : schedule) {
        if (scheduled.frame != 0) break;
        if (isProgramChange(scheduled.message) && scheduled.message.data1 < programCount)
            startProgram = scheduled.message.data1;
    }
    if (startProgram < 0) return;
    std::fprintf(stderr,
                 "quarnel-render: note: the MIDI file selects program %d at its start, in place "
                 "of --program %s\n",
                 startProgram, request.c_str());
}

int run(const RenderOptions& options) {
    if (options.listPrograms) return listPrograms(options);
    const auto format = audioFormatForPath(options.outputPath);
    if (!format) {
        throw RenderError("cannot write " + options.outputPath +
                          ": unknown output type, use a .wav or .flac file name");
    }

    const MidiFileContents midi = readMidiFile(options.midiPath);
    if (midi.messages.empty())
        throw RenderError("MIDI file " + options.midiPath +
                          " contains no channel messages to play");
    const double rate = options.sampleRate;
    const std::vector<ScheduledMessage> schedule = scheduleMessages(midi.messages, rate);

    const double pieceSeconds = static_cast<double>(schedule.back().frame) / rate;
    if (pieceSeconds > kMaxPieceSeconds) {
        char text[160];
        std::snprintf(text, sizeof text, "its last event is at %.0f s, more than the %.0f s played",
                      pieceSeconds, kMaxPieceSeconds);
        throw RenderError("MIDI file " + options.midiPath + " is too long: " + text);
    }

    RenderJob job;
    job.schedule = &schedule;
    job.blockSize = options.blockSize;
    job.totalFrames = schedule.back().frame + std::llround(options.tailSeconds * rate);
    if (*format == AudioFormat::WavFloat32 &&
        static_cast<std::uint64_t>(job.totalFrames) * kWavFrameBytes > kMaxWavDataBytes) {
        throw RenderError("cannot write " + options.outputPath +
                          ": the render is too long for a WAV file (4 GiB), write .flac instead");
    }

    Instrument instrument(options.pluginPath, options.format);
    const int program = selectInitialProgram(instrument, options.program);
    job.programCount = instrument.programCount();
    warnAboutMissingPrograms(schedule, job.programCount);
    noteOverriddenProgram(schedule, job.programCount, options.program);
    if (options.cpuTime) instrument.instance().measureProcessing();
    instrument.start(rate, options.blockSize, program);
    if (!options.presetPath.empty()) {
        const fxpreset::FxFile preset =
            fxpreset::readFile(options.presetPath, instrument.instance().presetId());
        instrument.loadPreset(preset, options.presetPath, program);
    }
    for (const auto& [name, value] : options.parameters) {
        formathost::Instance& plugin = instrument.instance();
        const int index = parameterIndex(plugin, name);
        if (index < 0) throw RenderError("the plug-in has no parameter named \"" + name + "\"");
        plugin.setParameter(index, value);
    }

    // From here on a signal stops the render cleanly, so the temporary file is removed.
    installStopHandlers();
    AudioWriter writer(options.outputPath, *format, options.sampleRate, !options.outputGiven);

    const auto started = std::chrono::steady_clock::now();
    {
        ProgressBar progress(job.totalFrames, rate);
        renderPiece(instrument, job, writer, progress, stopRequested);
    }
    writer.commit();
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (writer.replacedSamples() > 0) {
        std::fprintf(stderr,
                     "quarnel-render: warning: the plug-in produced %lld non-finite samples, "
                     "written as 0\n",
                     static_cast<long long>(writer.replacedSamples()));
    }
    if (*format == AudioFormat::Flac24 && writer.peak() > 1.0f) {
        std::fprintf(stderr, "quarnel-render: warning: peak above full scale, %s is clipped\n",
                     options.outputPath.c_str());
    }
    const double seconds = static_cast<double>(writer.frames()) / rate;
    std::printf("Rendered %.2f s to %s: peak %s dBFS, %.1fx realtime\n", seconds,
                options.outputPath.c_str(), decibelText(writer.peak()).c_str(),
                seconds / std::max(wallSeconds, 1e-6));
    if (options.cpuTime) {
        const formathost::Instance& plugin = instrument.instance();
        const double cpuSeconds = static_cast<double>(plugin.processingNanoseconds()) * 1e-9;
        // The clock counts in nanoseconds; a render that took none of it has no finite factor.
        const double realtime = seconds / std::max(cpuSeconds, 1e-9);
        std::printf("cpu-time: cpu_ms=%.3f audio_s=%.6f realtime=%.3f calls=%lld clock_ns=%lld\n",
                    cpuSeconds * 1e3, seconds, realtime,
                    static_cast<long long>(plugin.processingCalls()),
                    static_cast<long long>(plugin.clockPairNanoseconds()));
    }
    return 0;
}

} // namespace
} // namespace quarnel_render

int main(int argc, char** argv) {
    using namespace quarnel_render;
    const ParsedCommandLine parsed = parseCommandLine(argc, argv, vsthost::defaultPluginPath());
    if (!parsed.options) return parsed.exitCode;
    try {
        return run(*parsed.options);
    } catch (const RenderInterrupted&) {
        std::fprintf(stderr, "quarnel-render: interrupted, no output written\n");
        return kInterruptedExitCode;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quarnel-render: error: %s\n", error.what());
        return kFailureExitCode;
    }
}
