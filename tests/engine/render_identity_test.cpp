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
#include <limits>
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
    // Every build of the voice kernel the processor runs.
    std::vector<VoiceLaneKernel> kernels{VoiceLaneKernel::Baseline};
    for (VoiceLaneKernel kernel : {VoiceLaneKernel::Avx2, VoiceLaneKernel::Avx512})
        if (selectVoiceLaneKernel(kernel)) kernels.push_back(kernel);
    int compared = 0;
    for (float rate : {44100.0f, 48000.0f, 96000.0f}) {
        for (int block : {1, 17, 512, 4096}) {
            for (int program = 0; program < kBuiltInPatchCount; program += kProgramStep) {
                const Render reference = play(program, rate, block, referenceRender);
                for (VoiceLaneKernel kernel : kernels) {
                    SCOPED_TRACE(::testing::Message()
                                 << "program " << program << ", " << rate << " Hz, blocks of "
                                 << block
                                 << (kernel == VoiceLaneKernel::Avx2     ? ", AVX2"
                                     : kernel == VoiceLaneKernel::Avx512 ? ", AVX-512"
                                                                         : ""));
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

/// The output chain alone against the reference's, on input no voice mix gives it: overflowing
/// samples (the filters restart), values around the flush level and below the normal range,
/// infinities and NaNs, between noise, in stretches of many lengths (a frame, less than the
/// loop's lag, more than one plan).
TEST(RenderIdentity, OutputChainMatchesTheReferenceOnHostileInput) {
    // Echo and ensemble on each bus, either off, and echo rings of 2, 4, 17 and 35 samples.
    for (int program : {0, 6, 9, 11, 15, 22, 23, 38, 40, 41}) {
        SCOPED_TRACE(testing::Message() << "program " << program);
        std::unique_ptr<SynthEngine> fast = testsupport::makeTestEngine(44100.0f);
        std::unique_ptr<SynthEngine> plain = testsupport::makeTestEngine(44100.0f);
        applyPatch(*fast, program, -2);
        applyPatch(*plain, program, -2);
        ChannelState channel1;
        resetChannelState(channel1);
        std::uint32_t seed = 7;
        int frame = 0;
        for (int block : {1, 3, 11, 12, 17, 256, 300, 5, 4096, 2, 64}) {
            std::vector<float> a(static_cast<std::size_t>(block)), b(a.size()), sa(a.size()),
                sb(a.size());
            for (float& x : a) {
                seed = seed * 1664525u + 1013904223u;
                const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
                switch (++frame % 97) {
                case 5:
                    x = 3e38f;
                    break;
                case 6:
                    x = -3e38f;
                    break;
                case 20:
                    x = 1e-25f;
                    break;
                case 21:
                    x = -1.5e-25f;
                    break;
                case 22:
                    x = 1e-40f;
                    break;
                case 40:
                    x = std::numeric_limits<float>::infinity();
                    break;
                case 60:
                    x = std::numeric_limits<float>::quiet_NaN();
                    break;
                case 70:
                    x = -0.0f;
                    break;
                default:
                    x = frame % 1000 < 300 ? noise * 1e-24f : noise;
                }
            }
            b = a;
            processOutputChain(*fast, channel1, a.data(), sa.data(), block);
            referenceOutputChain(*plain, channel1, b.data(), sb.data(), block);
            ASSERT_EQ(firstDifference(a, b), -1) << "left, block of " << block;
            ASSERT_EQ(firstDifference(sa, sb), -1) << "right, block of " << block;
        }
        for (const auto filter : {&SynthEngine::sendFilter, &SynthEngine::hpf, &SynthEngine::lpf}) {
            const Biquad& mine = (*fast).*filter;
            const Biquad& theirs = (*plain).*filter;
            EXPECT_EQ(std::memcmp(mine.state, theirs.state, sizeof mine.state), 0);
        }
        EXPECT_EQ(fast->echo.position, plain->echo.position);
        EXPECT_EQ(std::memcmp(&fast->echo.accumulator, &plain->echo.accumulator, sizeof(float)), 0);
        if (fast->echo.length > 0) {
            EXPECT_EQ(std::memcmp(fast->echo.line.get(), plain->echo.line.get(),
                                  sizeof(float) * static_cast<std::size_t>(fast->echo.length)),
                      0);
        }
        EXPECT_EQ(fast->ensemble.position, plain->ensemble.position);
    }
}

} // namespace
