// The block walk and the renderer allocate nothing. Every global operator new of this binary is
// replaced by one that counts, and the count is read around each processBlock call while notes,
// controllers and bends come and go on a bank patch with its effects running.
#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "patches/patch_application.h"
#include "patches/sample_rate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

std::atomic<long> allocations{0};

void* countedAllocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

void* countedAlignedAllocation(std::size_t size, std::align_val_t alignment) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + a - 1) / a * a;
#if defined(_WIN32)
    return _aligned_malloc(rounded == 0 ? a : rounded, a);
#else
    return std::aligned_alloc(a, rounded == 0 ? a : rounded);
#endif
}

/// Returns memory of the counting operators to malloc. Kept out of line so the compiler does
/// not pair the inlined free with the replaced operator new it cannot see through.
[[gnu::noinline]] void release(void* p) noexcept {
    std::free(p);
}

/// Returns memory of the aligned counting operators (Windows keeps aligned blocks apart).
[[gnu::noinline]] void releaseAligned(void* p) noexcept {
#if defined(_WIN32)
    _aligned_free(p);
#else
    std::free(p);
#endif
}

} // namespace

void* operator new(std::size_t size) {
    if (void* p = countedAllocation(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = countedAllocation(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (void* p = countedAlignedAllocation(size, alignment)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    if (void* p = countedAlignedAllocation(size, alignment)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    releaseAligned(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    releaseAligned(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    releaseAligned(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    releaseAligned(p);
}

namespace {

MidiQueueItem midi(std::int32_t deltaFrames, int status, int data1, int data2) {
    return MidiQueueItem{deltaFrames, static_cast<std::uint8_t>(status),
                         static_cast<std::uint8_t>(data1), static_cast<std::uint8_t>(data2)};
}

} // namespace

TEST(RealtimeTest, CountingAllocatorSeesAllocations) {
    const long before = allocations.load();
    std::vector<int>* v = new std::vector<int>(100);
    delete v;
    EXPECT_GE(allocations.load() - before, 2);
}

TEST(RealtimeTest, ProcessBlockAllocatesNothing) {
    fillNoteFrequency();
    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    ASSERT_TRUE(engine);
    changeSampleRate(*engine, 44100.0f);
    ChannelState channels[kChannelCount];
    for (ChannelState& channel : channels)
        resetChannelState(channel);
    channels[0].bendRange = kChannel1BendRange;
    BusyFlags flags;
    flags.suspended.store(0);
    EventQueue queue;
    constexpr int kFrames = 512;
    std::vector<float> left(kFrames), right(kFrames);
    float* outputs[2] = {left.data(), right.data()};

    long during = 0;
    int rendered = 0;
    for (int program : {0, 5, 12, 20, 30, 40}) {
        applyPatch(*engine, program, -2);
        for (int block = 0; block < 200; ++block) {
            const int note = 40 + (block * 7) % 48;
            if (block % 3 == 0) queue.push(midi(block % kFrames, 0x90, note, 30 + block % 97));
            if (block % 5 == 0) queue.push(midi(100, 0x80, 40 + ((block + 33) * 7) % 48, 0));
            if (block % 11 == 0) queue.push(midi(200, 0xB0, 7, block % 128));
            if (block % 13 == 0) queue.push(midi(300, 0xE0, block % 128, (block * 3) % 128));
            if (block % 17 == 0) queue.push(midi(kFrames, 0xB1, 123, 0));
            if (block % 19 == 0) queue.push(midi(50, 0xB0, 10, block % 128));
            if (block % 23 == 0) queue.push(midi(60, 0xB0, 21, block % 128));
            if (block % 29 == 0) queue.push(midi(-3, 0xB0, 120, 0));

            const long before = allocations.load();
            processBlock(queue, channels, flags, *engine, outputs, kFrames, 128);
            during += allocations.load() - before;
            for (const Voice& voice : engine->voices)
                rendered += voice.state != VoiceFree;
        }
    }
    EXPECT_EQ(during, 0);
    EXPECT_GT(rendered, 0);
}
