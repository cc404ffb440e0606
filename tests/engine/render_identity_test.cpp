// The engine's renderer against the scalar reference, bit for bit: every built-in program plays
// the same phrase (tests/support/identity_phrase.h: every path of the renderer, the idle one
// included) through both, at 44.1, 48 and 96 kHz, in blocks of 1, 17, 512 and 4096 frames.
#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "engine/voice_lanes.h"
#include "patches/patch_application.h"
#include "tests/engine/reference_render.h"
#include "tests/support/identity_phrase.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

using phrase::kPhrase;
using phrase::kPhraseSeconds;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kProgramStep = 5; // sanitizer builds compare a spread of the bank
#else
constexpr int kProgramStep = 1;
#endif

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
