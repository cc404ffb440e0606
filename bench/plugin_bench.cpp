// The plug-in object as a host sees it: what one instance costs in memory, what it costs to run
// with nothing playing, and what one held voice costs per sample against eight.
//
// This binary replaces the global allocator to count what an instance allocates, so it is kept
// apart from the other benchmarks.
#include "shell/kel_vst.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {
std::atomic<std::int64_t> allocatedBytes{0};
std::atomic<std::int64_t> allocationCount{0};

void* countedAllocation(std::size_t bytes, std::size_t alignment) {
    allocatedBytes.fetch_add(static_cast<std::int64_t>(bytes), std::memory_order_relaxed);
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (bytes == 0) bytes = 1;
    void* memory =
        alignment <= alignof(std::max_align_t)
            ? std::malloc(bytes)
            : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
} // namespace

void* operator new(std::size_t bytes) {
    return countedAllocation(bytes, alignof(std::max_align_t));
}
void* operator new[](std::size_t bytes) {
    return countedAllocation(bytes, alignof(std::max_align_t));
}
void* operator new(std::size_t bytes, std::align_val_t alignment) {
    return countedAllocation(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) {
    return countedAllocation(bytes, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
    std::free(memory);
}

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

constexpr int kBlock = 512;
constexpr float kRate = 44100.0f;
constexpr int kChord[] = {48, 52, 55, 60, 64, 67, 72, 76};
/// Blocks rendered before timing starts, so that the attacks are over (about a second).
constexpr int kSettlingBlocks = 90;

/// Heap bytes in use by the process (malloc's own count, large mapped blocks included).
std::int64_t heapBytesInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
}

/// Bytes one instance allocates from its creation until it is set to 48 kHz. "allocated" is
/// everything asked of operator new on the way (some of it freed again), "resident" what the
/// heap holds afterwards.
void instanceMemoryAt48kHz(benchmark::State& state) {
    std::int64_t allocated = 0;
    std::int64_t allocations = 0;
    std::int64_t resident = 0;
    for (auto _ : state) {
        const std::int64_t heapBefore = heapBytesInUse();
        const std::int64_t bytesBefore = allocatedBytes.load();
        const std::int64_t countBefore = allocationCount.load();
        auto plugin = std::make_unique<kelVst>(&host);
        plugin->setSampleRate(48000.0f);
        allocated = allocatedBytes.load() - bytesBefore;
        allocations = allocationCount.load() - countBefore;
        resident = heapBytesInUse() - heapBefore;
        state.PauseTiming();
        plugin.reset();
        state.ResumeTiming();
    }
    state.counters["allocated_bytes"] = static_cast<double>(allocated);
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["resident_bytes"] = static_cast<double>(resident);
}

struct RunningPlugin {
    explicit RunningPlugin(int program) : plugin(&host), left(kBlock), right(kBlock) {
        plugin.setSampleRate(kRate);
        plugin.setBlockSize(kBlock);
        plugin.setProgram(program);
        plugin.resume();
    }
    void play(int voices) {
        VstMidiEvent notes[std::size(kChord)] = {};
        struct {
            VstInt32 numEvents;
            VstIntPtr reserved;
            VstEvent* events[std::size(kChord)];
        } list{voices, 0, {}};
        for (int i = 0; i < voices; ++i) {
            notes[i].type = kVstMidiType;
            notes[i].byteSize = sizeof(VstMidiEvent);
            notes[i].midiData[0] = char(0x90);
            notes[i].midiData[1] = char(kChord[i]);
            notes[i].midiData[2] = 100;
            list.events[i] = reinterpret_cast<VstEvent*>(&notes[i]);
        }
        plugin.processEvents(reinterpret_cast<VstEvents*>(&list));
    }
    void render() {
        float* outputs[2] = {left.data(), right.data()};
        plugin.processReplacing(nullptr, outputs, kBlock);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
    }

    kelVst plugin;
    std::vector<float> left, right;
};

/// A running instance of program 0 with no notes: 512-frame blocks at 44.1 kHz.
void idleBlock(benchmark::State& state) {
    RunningPlugin running(0);
    for (int i = 0; i < kSettlingBlocks; ++i)
        running.render();
    for (auto _ : state)
        running.render();
    state.SetItemsProcessed(state.iterations() * kBlock);
}

/// Held voices (the first N notes of the speed table's chord) of program 0, 512-frame blocks;
/// time_per_voice_sample is the time of a block, fixed costs included, over voices x frames.
void heldVoices(benchmark::State& state) {
    const auto voices = static_cast<int>(state.range(0));
    RunningPlugin running(0);
    running.play(voices);
    for (int i = 0; i < kSettlingBlocks; ++i)
        running.render();
    for (auto _ : state)
        running.render();
    state.SetItemsProcessed(state.iterations() * kBlock);
    state.counters["time_per_voice_sample"] = benchmark::Counter(
        static_cast<double>(voices) * kBlock,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
} // namespace

BENCHMARK(instanceMemoryAt48kHz)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(idleBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(heldVoices)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
