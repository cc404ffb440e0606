// quarnel-time-plugin: times a plug-in binary through its entry point, the same way on Linux
// (a .so) and on Windows (a .dll, run under Wine by make bench), so the two builds of the
// instrument can be compared with one method.
//
// Usage: quarnel-time-plugin PLUGIN PROGRAM RUNS [SECONDS]
//
// Each run makes a fresh instance of the loaded library and drives it as the render tool does:
// effOpen, effSetSampleRate 44100, effSetBlockSize 512, effSetProgram PROGRAM, effMainsChanged
// 1, the chord (notes 48 52 55 60 64 67 72 76 at velocity 100) as one event list at frame 0,
// then SECONDS (default 10) of processReplacing in 512-frame blocks, the chord held throughout. The
// thread's CPU time is read once before the first block and once after the last, so the run total
// holds the processReplacing calls and the loop around them only; summing per call would not do
// under Wine, whose thread clock advances in scheduler ticks (a longer run makes a tick a smaller
// part of it). The best (least) run is printed as
//   cpu-time: cpu_ms=<ms> audio_s=<s> realtime=<factor> calls=<n> runs=<runs>

#include "tools/vst_host/plugin_host.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kSampleRate = 44100;
constexpr int kBlockSize = 512;
constexpr int kDefaultSeconds = 10;
constexpr int kMaxSeconds = 3600;
constexpr int kVelocity = 100;
constexpr int kChord[] = {48, 52, 55, 60, 64, 67, 72, 76};
constexpr std::uint8_t kNoteOn = 0x90;
constexpr int kMaxRuns = 100;

struct RunResult {
    std::int64_t nanoseconds = 0;
    std::int64_t calls = 0;
};

/// One run through a fresh instance; false when the library gives no usable instrument.
bool timeOneRun(const vsthost::PluginLibrary& library, int program, std::int64_t totalFrames,
                RunResult& result) {
    vsthost::PluginInstance plugin(library);
    if (!plugin.valid() || plugin.effect()->processReplacing == nullptr ||
        plugin.effect()->numOutputs != 2)
        return false;
    plugin.dispatch(effOpen);
    plugin.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(kSampleRate));
    plugin.dispatch(effSetBlockSize, 0, kBlockSize);
    plugin.dispatch(effSetProgram, 0, program);
    plugin.dispatch(effMainsChanged, 0, 1);

    std::vector<vsthost::MidiMessage> chord;
    for (int note : kChord)
        chord.push_back({0, kNoteOn, static_cast<std::uint8_t>(note), kVelocity});
    plugin.sendMidi(chord);

    std::vector<float> inLeft(kBlockSize, 0.0f), inRight(kBlockSize, 0.0f);
    std::vector<float> outLeft(kBlockSize, 0.0f), outRight(kBlockSize, 0.0f);
    float* inputs[2] = {inLeft.data(), inRight.data()};
    float* outputs[2] = {outLeft.data(), outRight.data()};
    AEffect* fx = plugin.effect();
    float peak = 0.0f;

    const std::int64_t started = vsthost::threadCpuNanoseconds();
    std::int64_t calls = 0;
    for (std::int64_t done = 0; done < totalFrames; done += kBlockSize) {
        const auto frames =
            static_cast<VstInt32>(std::min<std::int64_t>(kBlockSize, totalFrames - done));
        fx->processReplacing(fx, inputs, outputs, frames);
        peak = std::max(peak, std::abs(outLeft[0]) + std::abs(outRight[0]));
        ++calls;
    }
    result.nanoseconds = vsthost::threadCpuNanoseconds() - started;
    result.calls = calls;
    if (!(peak > 0.0f))
        std::fprintf(stderr, "quarnel-time-plugin: warning: the render is silent\n");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: quarnel-time-plugin PLUGIN PROGRAM RUNS [SECONDS]\n");
        return 2;
    }
    const int program = std::atoi(argv[2]);
    const int runs = std::atoi(argv[3]);
    const int seconds = argc == 5 ? std::atoi(argv[4]) : kDefaultSeconds;
    if (program < 0 || runs < 1 || runs > kMaxRuns || seconds < 1 || seconds > kMaxSeconds) {
        std::fprintf(stderr,
                     "quarnel-time-plugin: PROGRAM must be 0 or more, RUNS 1..%d, SECONDS "
                     "1..%d\n",
                     kMaxRuns, kMaxSeconds);
        return 2;
    }
    const std::int64_t totalFrames = static_cast<std::int64_t>(kSampleRate) * seconds;
    const vsthost::PluginLibrary library(argv[1]);
    if (!library.loaded()) {
        std::fprintf(stderr, "quarnel-time-plugin: %s\n", library.error().c_str());
        return 1;
    }
    RunResult best{std::numeric_limits<std::int64_t>::max(), 0};
    for (int run = 0; run < runs; ++run) {
        RunResult result;
        if (!timeOneRun(library, program, totalFrames, result)) {
            std::fprintf(stderr, "quarnel-time-plugin: %s is not a usable stereo instrument\n",
                         argv[1]);
            return 1;
        }
        if (result.nanoseconds < best.nanoseconds) best = result;
    }
    const double cpuSeconds = static_cast<double>(best.nanoseconds) * 1e-9;
    const double audioSeconds = static_cast<double>(totalFrames) / kSampleRate;
    std::printf("cpu-time: cpu_ms=%.3f audio_s=%.6f realtime=%.3f calls=%lld runs=%d\n",
                cpuSeconds * 1e3, audioSeconds, audioSeconds / std::max(cpuSeconds, 1e-9),
                static_cast<long long>(best.calls), runs);
    return 0;
}
