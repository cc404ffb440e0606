// Cost of the non-real-time rebuilds a host triggers: a program change (wavetables, filters,
// effect lines, and the copy published to the audio thread) and a sample-rate change (every
// table plus the program), for the bank's programs and for the costliest record the chunk
// format admits. These run on host or worker threads; the audio thread keeps rendering from the
// previous state meanwhile.
#include "shell/kel_vst.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

/// The costliest format-valid record: every layer a harmonic series at the most terms the
/// generator sums (the count is limited to 1024 per repetition), one repetition each so the
/// repetition is the whole table, the longest echo and the widest ensemble.
Patch costliestPatch(const Patch& header) {
    Patch patch = header;
    auto harmonics = [](WaveLayer& layer) {
        layer.shape = ShapeHarmonics;
        layer.repeats = 1;
        layer.gain = 1.0f;
        layer.params[0] = 1.0f;
        layer.params[1] = 1.0f;
        layer.params[2] = 1e9f;
    };
    for (WaveLayer& layer : patch.carrierLayers)
        harmonics(layer);
    harmonics(patch.modulatorLayer);
    patch.window = 100;
    patch.echoTime = -128;
    patch.sendReturn = -128;
    patch.lfoRate = 127;
    patch.sendFrequency = 1.0f;
    return patch;
}

void programChange(benchmark::State& state) {
    kelVst plugin(&host);
    plugin.setSampleRate(static_cast<float>(state.range(0)));
    int program = 0;
    for (auto _ : state) {
        program = (program + 1) % 46;
        plugin.setProgram(program);
    }
}

/// A program change between two costliest records through the plug-in object: rebuild,
/// capture and publication, as a host thread or the worker pays it.
void costliestProgramChange(benchmark::State& state) {
    kelVst plugin(&host);
    plugin.setSampleRate(static_cast<float>(state.range(0)));
    void* data = nullptr;
    const VstInt32 size = plugin.getChunk(&data, false);
    std::vector<Patch> bank(static_cast<std::size_t>(size) / sizeof(Patch));
    std::memcpy(bank.data(), data, static_cast<std::size_t>(size));
    bank[0] = costliestPatch(bank[0]);
    bank[1] = costliestPatch(bank[1]);
    plugin.setChunk(bank.data(), size, false);
    int program = 0;
    for (auto _ : state) {
        program ^= 1;
        plugin.setProgram(program);
    }
}

void sampleRateChange(benchmark::State& state) {
    kelVst plugin(&host);
    float rates[2] = {44100.0f, 48000.0f};
    int i = 0;
    for (auto _ : state)
        plugin.setSampleRate(rates[i++ & 1]);
}
} // namespace

BENCHMARK(programChange)->Arg(44100)->Arg(192000)->Unit(benchmark::kMicrosecond);
BENCHMARK(costliestProgramChange)->Arg(44100)->Arg(192000)->Unit(benchmark::kMillisecond);
BENCHMARK(sampleRateChange)->Unit(benchmark::kMicrosecond);
