// Channel state, the event queue and the block walk that renders between event offsets.
#include "engine/handover.h"
#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "tests/support/engine_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

using namespace enginetest;

namespace {

// ---- a renderer that records every call processBlock makes ----------------------------------

struct RenderCall {
    std::ptrdiff_t offset; ///< first frame of the sub-block within the block
    int frames;
    int heldVoices; ///< engine state at the moment the sub-block is rendered
    int releasedVoices;
    float panLeft;
    float panRight;
    float volume;
    float carrier; ///< the carrier table's first entry when the sub-block is rendered
};

std::vector<RenderCall> renderLog;
const float* blockStart = nullptr;
BusyFlags* suspendAfterFirstCall = nullptr;
std::function<void()> publishAfterFirstCall;

void recordingRender(SynthEngine& engine, const ChannelState& channel1, float* const* outputs,
                     int n) {
    renderLog.push_back({outputs[0] - blockStart, n, countVoices(engine, VoiceHeld),
                         countVoices(engine, VoiceReleased), channel1.panLeft, channel1.panRight,
                         channel1.volume, engine.carrierTable[0]});
    render(engine, channel1, outputs, n);
    if (suspendAfterFirstCall) suspendAfterFirstCall->suspended.store(1);
    if (publishAfterFirstCall) std::exchange(publishAfterFirstCall, nullptr)();
}

class BlockWalkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        renderLog.clear();
        suspendAfterFirstCall = nullptr;
        publishAfterFirstCall = nullptr;
        flags.suspended.store(0);
        // A constant carrier makes every frame of a sounding voice non-zero.
        fillTable(engine->carrierTable.get(), kTableLength, 0.5f);
    }

    void run(StereoBuffer& out, std::int32_t frames, std::int32_t blockSize) {
        blockStart = out.left.data();
        processBlock(queue, channels.state, flags, *engine, out.outputs(), frames, blockSize,
                     recordingRender);
    }

    std::unique_ptr<SynthEngine> engine = makeTestEngine();
    Channels channels;
    BusyFlags flags;
    EventQueue queue;
};

bool allZero(const std::vector<float>& v, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (v[i] != 0.0f) return false;
    return true;
}

bool noneZero(const std::vector<float>& v, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (v[i] == 0.0f) return false;
    return true;
}

} // namespace

// ---- channel state -----------------------------------------------------------------------------

TEST(ChannelStateTest, ResetGivesTheDefaults) {
    ChannelState channel;
    std::memset(&channel, 0x5A, sizeof channel);
    resetChannelState(channel);
    for (std::uint8_t v : channel.noteVelocity)
        ASSERT_EQ(v, 0);
    EXPECT_EQ(channel.volume, 1.0f);
    EXPECT_EQ(channel.expression, 1.0f);
    EXPECT_EQ(channel.panLeft, 1.0f);
    EXPECT_EQ(channel.panRight, 1.0f);
    EXPECT_EQ(channel.bendFactor, 1.0f);
    EXPECT_EQ(channel.bendRange, 2.0f);
    EXPECT_EQ(channel.rpnLsb, 0);
    EXPECT_EQ(channel.rpnMsb, 0);
}

class DispatchTest : public ::testing::Test {
  protected:
    void send(int status, int data1, int data2) {
        dispatchEvent(midi(0, status, data1, data2), channels.state, *engine);
    }
    std::unique_ptr<SynthEngine> engine = makeTestEngine();
    Channels channels;
};

TEST_F(DispatchTest, PanValues) {
    send(0xB0, 10, 64);
    EXPECT_EQ(channels[0].panLeft, 0.984375f);
    EXPECT_EQ(channels[0].panRight, 1.0f);
    send(0xB0, 10, 0);
    EXPECT_EQ(channels[0].panLeft, 1.0f);
    EXPECT_EQ(channels[0].panRight, 0.0f);
    send(0xB0, 10, 62);
    EXPECT_NEAR(channels[0].panRight, 1.0038f, 1e-4f);
    EXPECT_GT(channels[0].panRight, 1.0f);
    send(0xB0, 10, 127);
    EXPECT_EQ(channels[0].panLeft, 0.0f);
    EXPECT_EQ(channels[0].panRight, 1.0f);
    send(0xB0, 10, 63);
    EXPECT_EQ(channels[0].panLeft, 1.0f);
    EXPECT_EQ(channels[0].panRight, 1.0f);
    send(0xB3, 10, 0); // another channel keeps its own pan
    EXPECT_EQ(channels[3].panRight, 0.0f);
    EXPECT_EQ(channels[0].panRight, 1.0f);
}

TEST_F(DispatchTest, PitchBendMovesLinearlyBetweenTheRangeEnds) {
    send(0xE0, 0, 0);
    EXPECT_FLOAT_EQ(channels[0].bendFactor, 1.0f / 1.09f);
    send(0xE0, 0x7F, 0x7F); // 16383
    EXPECT_NEAR(channels[0].bendFactor, 1.0 + 8191.0 / 8192.0 * 0.09, 1e-6);
    send(0xE0, 0, 0x40); // 8192
    EXPECT_EQ(channels[0].bendFactor, 1.0f);
    send(0xE0, 0, 0x20); // 4096: half way down to 1/1.09
    EXPECT_NEAR(channels[0].bendFactor, (1.0 + 1.0 / 1.09) / 2, 1e-6);
    // Other channels keep the one-octave range.
    send(0xE1, 0, 0);
    EXPECT_FLOAT_EQ(channels[1].bendFactor, 0.5f);
    send(0xE1, 0x7F, 0x7F);
    EXPECT_NEAR(channels[1].bendFactor, 2.0 - 1.0 / 8192.0, 1e-6);
    // A zero range counts the downward end as 1.
    channels[2].bendRange = 0.0f;
    send(0xE2, 0, 0);
    EXPECT_EQ(channels[2].bendFactor, 1.0f);
}

TEST_F(DispatchTest, PitchBendIsForwardedWithChannel1sFactor) {
    send(0xE0, 0x7F, 0x7F);
    EXPECT_EQ(engine->bendTarget, channels[0].bendFactor);
    EXPECT_NE(engine->bendStep, 0.0f);
    // A bend on another channel re-targets channel 1's unchanged factor.
    const float target = engine->bendTarget;
    send(0xE5, 0, 0);
    EXPECT_EQ(engine->bendTarget, target);
}

TEST_F(DispatchTest, RegisteredParameterZeroSetsTheBendRange) {
    send(0xB1, 6, 24); // parameter 0 is selected from the start
    EXPECT_FLOAT_EQ(channels[1].bendRange, 4.0f);
    send(0xB1, 101, 0);
    send(0xB1, 100, 0);
    send(0xB1, 6, 12);
    EXPECT_FLOAT_EQ(channels[1].bendRange, 2.0f);
    send(0xB1, 100, 1);
    send(0xB1, 6, 24);
    EXPECT_FLOAT_EQ(channels[1].bendRange, 2.0f);
    EXPECT_EQ(channels[1].rpnLsb, 1);
    send(0xB1, 100, 0);
    send(0xB1, 101, 3);
    send(0xB1, 6, 24);
    EXPECT_FLOAT_EQ(channels[1].bendRange, 2.0f);
    EXPECT_EQ(channels[1].rpnMsb, 3);
}

TEST_F(DispatchTest, VolumeExpressionAndNoteVelocities) {
    send(0xB0, 7, 64);
    EXPECT_NEAR(channels[0].volume, 64.0 / 127.0, 1e-6);
    send(0xB0, 11, 32);
    EXPECT_NEAR(channels[0].expression, 32.0 / 127.0, 1e-6);
    EXPECT_NEAR(engine->gainTarget, 64.0 / 127.0 * 32.0 / 127.0, 1e-6);
    send(0x94, 60, 99);
    EXPECT_EQ(channels[4].noteVelocity[60], 99);
    send(0x94, 60, 0); // note-on with velocity 0 clears
    EXPECT_EQ(channels[4].noteVelocity[60], 0);
    send(0x94, 61, 80);
    send(0x84, 61, 64);
    EXPECT_EQ(channels[4].noteVelocity[61], 0);
    // Data bytes above 127 are not valid MIDI; they must not index outside the channel record.
    send(0x90, 200, 200);
    EXPECT_EQ(channels[0].noteVelocity[200 & 0x7F], 200 & 0x7F);
}

TEST_F(DispatchTest, SystemMessagesAreIgnored) {
    const ChannelState before = channels[8];
    send(0xF8, 60, 100);
    send(0xF0, 7, 0);
    EXPECT_EQ(std::memcmp(&before, &channels[8], sizeof before), 0);
    EXPECT_EQ(countVoices(*engine, VoiceHeld), 0);
}

TEST_F(DispatchTest, AllNotesOffReleasesTheNotesHeldOnItsChannel) {
    // Voice 1 holds 60 from channel 1, voice 0 then takes 60 from channel 3 (it lies first).
    send(0x90, 50, 100);
    send(0x90, 60, 100);
    send(0x80, 50, 0);
    engine->voices[0] = Voice{}; // as if its release had ended
    send(0x92, 60, 90);
    send(0x92, 62, 90);
    send(0x90, 70, 90);
    ASSERT_EQ(engine->voices[0].note, 60);
    ASSERT_EQ(engine->voices[1].note, 60);
    ASSERT_EQ(countVoices(*engine, VoiceHeld), 4);

    send(0xB2, 123, 0);
    for (int note = 0; note < 128; ++note)
        EXPECT_EQ(channels[2].noteVelocity[note], 0);
    EXPECT_EQ(engine->voices[0].state, VoiceReleased); // 60 from channel 3
    EXPECT_EQ(engine->voices[1].state, VoiceReleased); // 60 from channel 1 goes too
    EXPECT_EQ(engine->voices[2].state, VoiceReleased); // 62
    EXPECT_EQ(engine->voices[3].state, VoiceHeld);     // 70, held only on channel 1
    EXPECT_EQ(channels[0].noteVelocity[60], 100);
    EXPECT_EQ(channels[0].noteVelocity[70], 90);

    send(0xB0, 120, 0);
    EXPECT_EQ(engine->voices[3].state, VoiceReleased);
    EXPECT_EQ(channels[0].noteVelocity[70], 0);
}

// ---- sustain pedal ----------------------------------------------------------------------------

TEST_F(DispatchTest, PedalHoldsReleasedNotesUntilItComesUp) {
    StereoBuffer out(64);
    send(0x90, 60, 100);
    send(0x90, 62, 100);
    send(0xB0, 64, 64);
    send(0x80, 60, 0);
    send(0x90, 62, 0); // note-on with velocity 0 is a note-off too
    render(*engine, channels[0], out.outputs(), 64);
    for (int v = 0; v < 2; ++v) {
        EXPECT_EQ(engine->voices[v].state, VoiceHeld);
        EXPECT_TRUE(engine->voices[v].sustained);
        EXPECT_EQ(engine->voices[v].sampleCount, 64);
    }

    send(0xB0, 64, 63);
    for (int v = 0; v < 2; ++v) {
        EXPECT_EQ(engine->voices[v].state, VoiceReleased);
        EXPECT_FALSE(engine->voices[v].sustained);
        EXPECT_EQ(engine->voices[v].sampleCount, 0);
    }
}

TEST_F(DispatchTest, NoteOnOfASustainedNoteReleasesItAndTakesAFreeVoice) {
    send(0xB0, 64, 127);
    send(0x90, 60, 100);
    send(0x80, 60, 0);
    send(0x90, 60, 90);
    EXPECT_EQ(engine->voices[0].state, VoiceReleased);
    EXPECT_EQ(engine->voices[1].state, VoiceHeld);
    EXPECT_EQ(engine->voices[1].note, 60);
    EXPECT_FALSE(engine->voices[1].sustained);
}

TEST_F(DispatchTest, AllNotesOffAndAllSoundOffEndSustainedNotes) {
    send(0xB0, 64, 127);
    send(0x90, 60, 100);
    send(0x90, 62, 100);
    send(0x80, 60, 0);
    send(0xB0, 123, 0);
    EXPECT_EQ(countVoices(*engine, VoiceHeld), 0);

    send(0x92, 64, 100);
    send(0x82, 64, 0);
    send(0xB2, 120, 0);
    EXPECT_EQ(engine->voices[2].state, VoiceReleased);
}

TEST_F(DispatchTest, OnlyChannelOnesPedalCounts) {
    send(0xB1, 64, 127);
    send(0x90, 60, 100);
    send(0x80, 60, 0);
    EXPECT_EQ(engine->voices[0].state, VoiceReleased);

    send(0xB0, 64, 127);
    send(0x90, 62, 100);
    send(0x80, 62, 0);
    send(0xB1, 64, 0);
    EXPECT_EQ(engine->voices[1].state, VoiceHeld);
}

// ---- event queue ------------------------------------------------------------------------------

TEST(EventQueueTest, GrowsOnlyThroughReserveAndKeepsPendingItems) {
    EventQueue queue;
    EXPECT_EQ(queue.capacity, kInitialQueueCapacity);
    EXPECT_EQ(queue.count, 0);
    for (int i = 0; i < 1000; ++i)
        queue.push(midi(i, 0x90, i & 0x7F, 1));
    ASSERT_TRUE(queue.reserve(24)); // 1024 still fits
    EXPECT_EQ(queue.capacity, kInitialQueueCapacity);
    for (int i = 0; i < 100; ++i)
        queue.push(midi(0, 0x80, 0, 0)); // only 24 fit
    EXPECT_EQ(queue.count, kInitialQueueCapacity);
    ASSERT_TRUE(queue.reserve(50));
    EXPECT_EQ(queue.capacity, kInitialQueueCapacity + 50 + kQueueGrowthSlack);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(queue.items[i].deltaFrames, i);
    EXPECT_FALSE(queue.reserve(INT32_MAX)); // beyond any array: refused, nothing lost
    EXPECT_EQ(queue.count, kInitialQueueCapacity);
    queue.clear();
    EXPECT_EQ(queue.count, 0);
}

// ---- block walk ---------------------------------------------------------------------------------

TEST_F(BlockWalkTest, EventsAreDispatchedAtTheirFrames) {
    queue.push(midi(0, 0xB0, 10, 0));   // pan hard left ...
    queue.push(midi(0, 0xB0, 10, 127)); // ... then hard right: the later one wins
    queue.push(midi(10, 0x90, 69, 127));
    StereoBuffer out(64, 9.0f);
    run(out, 64, 1024);

    ASSERT_EQ(renderLog.size(), 2u);
    EXPECT_EQ(renderLog[0].offset, 0);
    EXPECT_EQ(renderLog[0].frames, 10);
    EXPECT_EQ(renderLog[0].heldVoices, 0);
    EXPECT_EQ(renderLog[0].panLeft, 0.0f);
    EXPECT_EQ(renderLog[0].panRight, 1.0f);
    EXPECT_EQ(renderLog[1].offset, 10);
    EXPECT_EQ(renderLog[1].frames, 54);
    EXPECT_EQ(renderLog[1].heldVoices, 1);
    EXPECT_TRUE(allZero(out.left, 0, 64));
    EXPECT_TRUE(allZero(out.right, 0, 10));
    EXPECT_TRUE(noneZero(out.right, 10, 64));
    EXPECT_EQ(queue.count, 0);
}

TEST_F(BlockWalkTest, EventAtTheBlockEndTakesEffectAfterItAndOnlyOnce) {
    queue.push(midi(64, 0x90, 69, 127));
    StereoBuffer first(64, 9.0f);
    run(first, 64, 1024);
    ASSERT_EQ(renderLog.size(), 1u);
    EXPECT_EQ(renderLog[0].frames, 64);
    EXPECT_EQ(renderLog[0].heldVoices, 0);
    EXPECT_TRUE(allZero(first.right, 0, 64));
    EXPECT_EQ(countVoices(*engine, VoiceHeld), 1);
    EXPECT_EQ(queue.count, 0);

    StereoBuffer second(64);
    run(second, 64, 1024);
    EXPECT_TRUE(noneZero(second.right, 0, 64));
    // Dispatching the note-on again would have released the voice and taken a second one.
    EXPECT_EQ(countVoices(*engine, VoiceHeld), 1);
    EXPECT_EQ(countVoices(*engine, VoiceFree), kVoiceCount - 1);
}

TEST_F(BlockWalkTest, OutOfOrderAndOutOfRangeOffsetsFallOnTheCurrentPosition) {
    queue.push(midi(30, 0x90, 60, 100));
    queue.push(midi(10, 0x80, 60, 0)); // earlier than the position reached: at 30, after it
    queue.push(midi(-5, 0xB0, 7, 0));  // negative: also at 30
    queue.push(midi(INT32_MAX, 0xB0, 11, 64));
    StereoBuffer out(64, 9.0f);
    run(out, 64, 1024);

    ASSERT_EQ(renderLog.size(), 2u);
    EXPECT_EQ(renderLog[0].frames, 30);
    EXPECT_EQ(renderLog[1].offset, 30);
    EXPECT_EQ(renderLog[1].frames, 34);
    EXPECT_EQ(renderLog[1].heldVoices, 0);
    EXPECT_EQ(renderLog[1].releasedVoices, 1);
    EXPECT_EQ(renderLog[1].volume, 0.0f);
    // Released before it rendered a sample, the voice starts its release from 0 and is freed.
    EXPECT_EQ(countVoices(*engine, VoiceFree), kVoiceCount);
    EXPECT_NEAR(channels[0].expression, 64.0 / 127.0, 1e-6);
    EXPECT_EQ(queue.count, 0);
}

TEST_F(BlockWalkTest, NegativeOffsetAtTheStartIsDispatchedBeforeTheFirstFrame) {
    queue.push(midi(-100, 0x90, 60, 100));
    StereoBuffer out(32);
    run(out, 32, 1024);
    ASSERT_EQ(renderLog.size(), 1u);
    EXPECT_EQ(renderLog[0].heldVoices, 1);
    EXPECT_TRUE(noneZero(out.right, 0, 32));
}

TEST_F(BlockWalkTest, SubBlocksAreAtMostTheHostBlockSize) {
    StereoBuffer out(1000);
    run(out, 1000, 256);
    const std::vector<std::pair<int, int>> expected = {
        {0, 256}, {256, 256}, {512, 256}, {768, 232}};
    ASSERT_EQ(renderLog.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(renderLog[i].offset, expected[i].first);
        EXPECT_EQ(renderLog[i].frames, expected[i].second);
    }

    renderLog.clear();
    queue.push(midi(300, 0x90, 60, 100));
    run(out, 1000, 256);
    const std::vector<std::pair<int, int>> split = {
        {0, 256}, {256, 44}, {300, 256}, {556, 256}, {812, 188}};
    ASSERT_EQ(renderLog.size(), split.size());
    for (std::size_t i = 0; i < split.size(); ++i) {
        EXPECT_EQ(renderLog[i].offset, split[i].first);
        EXPECT_EQ(renderLog[i].frames, split[i].second);
    }
}

TEST_F(BlockWalkTest, ABlockSizeBelowOneRendersWholeStretches) {
    StereoBuffer out(100);
    run(out, 100, 0);
    ASSERT_EQ(renderLog.size(), 1u);
    EXPECT_EQ(renderLog[0].frames, 100);
}

TEST_F(BlockWalkTest, AStatePublishedDuringABlockIsTakenAtTheNextSubBlock) {
    handleMidi(*engine, channels[0], 0x90, 69, 127);
    AudioHandover handover;
    std::unique_ptr<SynthEngine> control = makeTestEngine();
    fillTable(control->carrierTable.get(), kTableLength, -0.25f);
    // A writer publishes while the first sub-block is being rendered.
    publishAfterFirstCall = [&] {
        auto setup = std::make_unique<EngineSetup>();
        ASSERT_TRUE(captureSetup(*control, 0, *setup, false, false));
        handover.publish(std::move(setup));
    };
    StereoBuffer out(512, 9.0f);
    blockStart = out.left.data();
    processBlock(queue, channels.state, flags, *engine, out.outputs(), 512, 128, recordingRender,
                 &handover);

    ASSERT_EQ(renderLog.size(), 4u); // nothing is skipped
    EXPECT_EQ(renderLog[0].carrier, 0.5f);
    for (std::size_t i = 1; i < renderLog.size(); ++i)
        EXPECT_EQ(renderLog[i].carrier, -0.25f);
    EXPECT_TRUE(noneZero(out.right, 0, 512));
}

TEST_F(BlockWalkTest, SuspendedBlocksAreSilentAndDiscardTheirEvents) {
    flags.suspended.store(1);
    queue.push(midi(0, 0x90, 60, 100));
    StereoBuffer out(64, 9.0f);
    run(out, 64, 1024);
    EXPECT_TRUE(renderLog.empty());
    EXPECT_TRUE(allZero(out.left, 0, 64));
    EXPECT_TRUE(allZero(out.right, 0, 64));
    EXPECT_EQ(channels[0].noteVelocity[60], 0);
    EXPECT_EQ(countVoices(*engine, VoiceFree), kVoiceCount);
    EXPECT_EQ(queue.count, 0);
}

TEST_F(BlockWalkTest, SuspendingDuringABlockStopsItThere) {
    handleMidi(*engine, channels[0], 0x90, 69, 127);
    suspendAfterFirstCall = &flags;
    queue.push(midi(40, 0xB0, 7, 0));
    StereoBuffer out(64, 9.0f);
    run(out, 64, 16);
    ASSERT_EQ(renderLog.size(), 1u);
    EXPECT_TRUE(noneZero(out.right, 0, 16));
    EXPECT_TRUE(allZero(out.left, 16, 64));
    EXPECT_TRUE(allZero(out.right, 16, 64));
    EXPECT_EQ(channels[0].volume, 1.0f); // the event after the stop was discarded
    EXPECT_EQ(queue.count, 0);
}

TEST_F(BlockWalkTest, EventsOfAnEmptyBlockAreStillDispatched) {
    queue.push(midi(0, 0x90, 60, 100));
    StereoBuffer out(1);
    run(out, 0, 1024);
    EXPECT_TRUE(renderLog.empty());
    EXPECT_EQ(countVoices(*engine, VoiceHeld), 1);
    EXPECT_EQ(queue.count, 0);
}
