// Rendering cost through the plug-in object, as a host drives it: eight held voices of a
// built-in program rendered in 512-frame blocks at 44100 Hz. The realtime factor is the
// items-per-second counter divided by 44100.
#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "patches/patch_application.h"
#include "patches/sample_rate.h"
#include "engine/voice_lanes.h"
#include "shell/kel_vst.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

constexpr int kBlock = 512;

void renderEightVoices(benchmark::State& state) {
    kelVst plugin(&host);
    plugin.setSampleRate(44100.0f);
    plugin.setBlockSize(kBlock);
    plugin.setProgram(static_cast<VstInt32>(state.range(0)));
    plugin.resume();
    VstMidiEvent notes[8] = {};
    struct {
        VstInt32 numEvents;
        VstIntPtr reserved;
        VstEvent* events[8];
    } list{8, 0, {}};
    for (int i = 0; i < 8; ++i) {
        notes[i].type = kVstMidiType;
        notes[i].byteSize = sizeof(VstMidiEvent);
        notes[i].midiData[0] = char(0x90);
        notes[i].midiData[1] = char(48 + 3 * i);
        notes[i].midiData[2] = 100;
        list.events[i] = reinterpret_cast<VstEvent*>(&notes[i]);
    }
    plugin.processEvents(reinterpret_cast<VstEvents*>(&list));
    std::vector<float> left(kBlock), right(kBlock);
    float* outputs[2] = {left.data(), right.data()};
    for (auto _ : state) {
        plugin.processReplacing(nullptr, outputs, kBlock);
        benchmark::DoNotOptimize(left.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

/// The output chain on its own (filters, echo, ensemble, shaper, pan), per sample, fed with
/// noise so it never comes to rest: the program's effect settings at 44100 Hz.
void outputChainPerSample(benchmark::State& state) {
    fillNoteFrequency();
    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    changeSampleRate(*engine, 44100.0f);
    applyPatch(*engine, static_cast<std::int32_t>(state.range(0)), -2);
    ChannelState channel1;
    resetChannelState(channel1);
    std::vector<float> noise(kBlock), left(kBlock), right(kBlock);
    std::uint32_t seed = 1;
    for (float& x : noise) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    for (auto _ : state) {
        std::copy(noise.begin(), noise.end(), left.begin());
        processOutputChain(*engine, channel1, left.data(), right.data(), kBlock);
        benchmark::DoNotOptimize(left.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}
/// The voice kernel alone over the first two seconds of the chord, struck afresh for every
/// run of them, so that its envelopes move as they do after a note-on (the dearest part for
/// programs whose envelopes take seconds): time per 512 frames.
void voiceLanesAfterNoteOn(benchmark::State& state) {
    fillNoteFrequency();
    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    changeSampleRate(*engine, 44100.0f);
    applyPatch(*engine, static_cast<std::int32_t>(state.range(0)), -2);
    ChannelState channels[kChannelCount];
    for (ChannelState& channel : channels)
        resetChannelState(channel);
    EventQueue queue;
    BusyFlags flags;
    flags.suspended = 0;
    constexpr int kBlocks = 2 * 44100 / kBlock;
    static std::vector<float> lanes(kLaneChunk * kVoiceCount);
    static const std::vector<float> bend(kLaneChunk, 1.0f);
    const RenderFunction voicesOnly = [](SynthEngine& e, const ChannelState&, float* const*,
                                         int n) {
        for (int start = 0; start < n; start += kLaneChunk)
            renderVoiceLanes(e, bend.data(), lanes.data(), std::min(kLaneChunk, n - start));
    };
    std::vector<float> left(kBlock), right(kBlock);
    float* outputs[2] = {left.data(), right.data()};
    std::int64_t blocks = 0;
    for (auto _ : state) {
        for (int i = 0; i < 8; ++i) {
            queue.reserve(1);
            queue.push({0, 0x90, static_cast<std::uint8_t>(48 + 3 * i), 100});
        }
        for (int b = 0; b < kBlocks; ++b)
            processBlock(queue, channels, flags, *engine, outputs, kBlock, kBlock, voicesOnly);
        benchmark::DoNotOptimize(lanes.data());
        state.PauseTiming();
        for (int i = 0; i < 8; ++i) {
            queue.reserve(1);
            queue.push({0, 0x80, static_cast<std::uint8_t>(48 + 3 * i), 0});
        }
        for (int b = 0; b < 400; ++b)
            processBlock(queue, channels, flags, *engine, outputs, kBlock, kBlock);
        state.ResumeTiming();
        blocks += kBlocks;
    }
    state.SetItemsProcessed(blocks * kBlock);
    state.counters["us_per_512"] = benchmark::Counter(
        static_cast<double>(blocks), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
} // namespace

BENCHMARK(voiceLanesAfterNoteOn)
    ->Arg(0)
    ->Arg(15)
    ->Arg(23)
    ->Arg(38)
    ->Arg(42)
    ->Unit(benchmark::kMillisecond);

// The first program of each family the demo piece uses, and the dearest ones (Bells 2, 4, 5).
BENCHMARK(renderEightVoices)->Arg(0)->Arg(15)->Arg(23)->Arg(38)->Arg(39)->Arg(41)->Arg(42);
// Every echo and ensemble routing: both on the send bus (0, 38, 39, 42), the ensemble on the
// main bus (9, 41), the echo on the main bus (11, 23: a 2-sample ring), no echo (15, 22).
BENCHMARK(outputChainPerSample)
    ->Arg(0)
    ->Arg(9)
    ->Arg(11)
    ->Arg(15)
    ->Arg(22)
    ->Arg(23)
    ->Arg(38)
    ->Arg(39)
    ->Arg(41)
    ->Arg(42);
