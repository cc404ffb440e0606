// The engine's renderer against the scalar reference, bit for bit: every built-in program plays
// the same phrase through both, at 44.1, 48 and 96 kHz, in blocks of 1, 17, 512 and 4096
// frames. The phrase starts a staggered eight-note chord (velocities from 1 to 127), bends,
// glides the volume, pans, edits the live patch with controllers 20 and 21, holds notes with the
// sustain pedal, releases everything, rests in silence long enough for the chain to come to rest
// (the idle path), and plays once more, so every path of the renderer is compared.
#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "engine/voice_lanes.h"
#include "patches/patch_application.h"
#include "tests/engine/reference_render.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kProgramStep = 5; // sanitizer builds compare a spread of the bank
#else
constexpr int kProgramStep = 1;
#endif

struct TimedEvent {
    float seconds;
    std::uint8_t status, data1, data2;
};

const TimedEvent kPhrase[] = {
    {0.000f, 0x90, 48, 100}, {0.003f, 0x90, 52, 1},   {0.011f, 0x90, 55, 127},
    {0.020f, 0x90, 60, 64},  {0.021f, 0xB0, 20, 90},  {0.040f, 0x90, 64, 30},
    {0.050f, 0xE0, 0, 100},  {0.070f, 0x90, 67, 110}, {0.080f, 0xB0, 7, 40},
    {0.100f, 0x90, 72, 45},  {0.110f, 0xB0, 10, 20},  {0.120f, 0x90, 76, 90},
    {0.130f, 0x90, 79, 90},  {0.150f, 0xB0, 64, 127}, {0.160f, 0x80, 48, 0},
    {0.180f, 0xB0, 21, 30},  {0.200f, 0xE0, 0, 30},   {0.230f, 0x80, 52, 0},
    {0.260f, 0xB0, 7, 120},  {0.300f, 0xB0, 64, 0},   {0.320f, 0x80, 55, 0},
    {0.340f, 0xE0, 0, 64},   {0.350f, 0x80, 60, 0},   {0.360f, 0x80, 64, 0},
    {0.380f, 0xB0, 10, 64},  {0.400f, 0x80, 67, 0},   {0.420f, 0x80, 72, 0},
    {0.440f, 0x80, 76, 0},   {0.450f, 0xB0, 123, 0},  {1.000f, 0x90, 62, 80},
    {1.050f, 0x80, 62, 0},
};
constexpr float kPhraseSeconds = 1.1f;

struct Render {
    std::vector<float> left, right;
};

Render play(int program, float rate, int block, RenderFunction renderer) {
    std::unique_ptr<SynthEngine> engine = testsupport::makeTestEngine(rate);
    applyPatch(*engine, program, -2);
    ChannelState channels[kChannelCount];
    for (ChannelState& channel : channels)
        resetChannelState(channel);
    channels[0].bendRange = kChannel1BendRange;
    EventQueue queue;
    BusyFlags flags;
    flags.suspended = 0;

    const auto frames = static_cast<std::int32_t>(kPhraseSeconds * rate);
    Render out;
    out.left.resize(static_cast<std::size_t>(frames));
    out.right.resize(static_cast<std::size_t>(frames));
    std::size_t next = 0;
    for (std::int32_t start = 0; start < frames; start += block) {
        const std::int32_t length = std::min(block, frames - start);
        for (; next < std::size(kPhrase); ++next) {
            const auto at = static_cast<std::int32_t>(kPhrase[next].seconds * rate);
            if (at >= start + length) break;
            queue.reserve(1);
            queue.push(
                {at - start, kPhrase[next].status, kPhrase[next].data1, kPhrase[next].data2});
        }
        float* outputs[2] = {out.left.data() + start, out.right.data() + start};
        processBlock(queue, channels, flags, *engine, outputs, length, length, renderer);
    }
    return out;
}

/// The first frame at which the two renders differ in any bit, or -1.
long firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<long>(i);
    return -1;
}

TEST(RenderIdentity, EveryProgramMatchesTheScalarReferenceBitForBit) {
    // Both builds of the voice kernel where the processor runs both.
    std::vector<VoiceLaneKernel> kernels{VoiceLaneKernel::Baseline};
    if (selectVoiceLaneKernel(VoiceLaneKernel::Avx2)) kernels.push_back(VoiceLaneKernel::Avx2);
    int compared = 0;
    for (float rate : {44100.0f, 48000.0f, 96000.0f}) {
        for (int block : {1, 17, 512, 4096}) {
            for (int program = 0; program < kBuiltInPatchCount; program += kProgramStep) {
                const Render reference = play(program, rate, block, referenceRender);
                for (VoiceLaneKernel kernel : kernels) {
                    SCOPED_TRACE(::testing::Message()
                                 << "program " << program << ", " << rate << " Hz, blocks of "
                                 << block << (kernel == VoiceLaneKernel::Avx2 ? ", AVX2" : ""));
                    ASSERT_TRUE(selectVoiceLaneKernel(kernel));
                    const Render fast = play(program, rate, block, render);
                    ASSERT_EQ(firstDifference(fast.left, reference.left), -1);
                    ASSERT_EQ(firstDifference(fast.right, reference.right), -1);
                    ++compared;
                }
            }
        }
    }
    selectVoiceLaneKernel(kernels.back());
    EXPECT_GE(compared, 12 * (kBuiltInPatchCount / kProgramStep));
}

} // namespace
