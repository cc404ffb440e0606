// Cost of the non-real-time rebuilds a host triggers: a program change (wavetables, filters,
// effect lines) and a sample-rate change (every table plus the program).
#include "shell/kel_vst.h"

#include <benchmark/benchmark.h>

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

void programChange(benchmark::State& state) {
    kelVst plugin(&host);
    plugin.setSampleRate(44100.0f);
    int program = 0;
    for (auto _ : state) {
        program = (program + 1) % 46;
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

BENCHMARK(programChange);
BENCHMARK(sampleRateChange);
