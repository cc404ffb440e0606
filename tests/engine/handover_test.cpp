// The hand-over between writers and the audio thread: a published setup is installed whole at
// the next adoption, the audio engine's running state survives it, the arrays it gives up come
// back to the writers, and a controller change made on the audio thread is neither lost nor
// undone by a setup built before it.
#include "engine/handover.h"
#include "tests/support/engine_fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace enginetest;

namespace {

/// A setup captured from source as a writer builds one.
std::unique_ptr<EngineSetup> setupOf(const SynthEngine& source, int program = 0,
                                     bool freshLines = false) {
    auto setup = std::make_unique<EngineSetup>();
    EXPECT_TRUE(captureSetup(source, program, *setup, freshLines, freshLines));
    return setup;
}

} // namespace

TEST(HandoverTest, AdoptionInstallsTheSetupAndKeepsTheRunningState) {
    std::unique_ptr<SynthEngine> audio = makeTestEngine();
    std::unique_ptr<SynthEngine> control = makeTestEngine();
    fillTable(control->carrierTable.get(), kTableLength, 0.25f);
    control->hpf.b0 = 0.5f;
    control->echo.length = 4;
    control->echo.inverseLength = 0.25f;
    audio->hpf.state[0] = 0.125f;
    handleMidi(*audio, Channels()[0], 0x90, 60, 100);

    AudioHandover handover;
    std::unique_ptr<EngineSetup> setup = setupOf(*control, 5, true);
    const float* published = setup->carrierTable.get();
    handover.publish(std::move(setup));
    EXPECT_TRUE(handover.hasPending());
    handover.adoptNewest(*audio);
    EXPECT_FALSE(handover.hasPending());

    EXPECT_EQ(audio->carrierTable.get(), published); // handed over, not copied
    EXPECT_EQ(audio->carrierTable[7], 0.25f);
    EXPECT_EQ(audio->patch, &audio->patches[5]);
    EXPECT_EQ(audio->hpf.b0, 0.5f);
    EXPECT_EQ(audio->hpf.state[0], 0.125f); // the filter's history carries on
    EXPECT_EQ(audio->voices[0].state, VoiceHeld);
    ASSERT_TRUE(audio->echo.line);
    EXPECT_EQ(audio->echo.length, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(audio->echo.line[i], 0.0f);
    handover.reclaim(); // the arrays the audio engine gave up are freed here (ASan checks)

    // A later setup without fresh lines leaves the echo line and its contents in place.
    audio->echo.line[2] = 0.75f;
    audio->echo.position = 3;
    handover.publish(setupOf(*control, 5));
    handover.adoptNewest(*audio);
    EXPECT_EQ(audio->echo.line[2], 0.75f);
    EXPECT_EQ(audio->echo.position, 3);
}

TEST(HandoverTest, AReplacedSetupPassesItsFreshLinesOn) {
    std::unique_ptr<SynthEngine> audio = makeTestEngine();
    std::unique_ptr<SynthEngine> control = makeTestEngine();
    control->echo.length = 3;
    control->echo.inverseLength = 1.0f / 3.0f;
    audio->echo.line.reset(new float[3]{0.5f, 0.5f, 0.5f});
    audio->echo.length = 3;
    audio->echo.position = 2;

    AudioHandover handover;
    handover.publish(setupOf(*control, 0, true)); // a patch application made a new line
    handover.publish(setupOf(*control, 0));       // a parameter change before it was taken
    handover.adoptNewest(*audio);
    EXPECT_EQ(audio->echo.position, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(audio->echo.line[i], 0.0f);
}

TEST(HandoverTest, ControllerChangesAreKeptUntilANewerChangeArrives) {
    std::unique_ptr<SynthEngine> audio = makeTestEngine();
    std::unique_ptr<SynthEngine> control = makeTestEngine();
    Channels channels;
    AudioHandover handover;
    control->patch->modulation = 10;
    std::unique_ptr<EngineSetup> first = setupOf(*control, 2);
    first->parameterStamps[ParamModulation] = handover.nextStamp();
    handover.publish(std::move(first));
    handover.adoptNewest(*audio);
    EXPECT_EQ(audio->patch->modulation, 10);

    // A writer builds a setup; then controller 20 moves the live patch before it is taken.
    std::unique_ptr<EngineSetup> stale = setupOf(*control, 2);
    stale->parameterStamps[ParamModulation] = handover.nextStamp();
    handleMidi(*audio, channels[0], 0xB0, 20, 127);
    handover.postControllerEdits(*audio);
    EXPECT_EQ(audio->controllerEdits, 0);
    handover.publish(std::move(stale));
    handover.adoptNewest(*audio);
    EXPECT_EQ(audio->patch->modulation, 100) << "the older setup must not undo the controller";
    EXPECT_EQ(handover.parameter(2, ParamModulation), 100.0f);

    // The post reaches the writers with its stamp; a change stamped after it wins again.
    int posts = 0;
    std::uint32_t postStamp = 0;
    handover.takeControllerPosts([&](int program, int field, std::int8_t value, std::uint32_t s) {
        ++posts;
        EXPECT_EQ(program, 2);
        EXPECT_EQ(field, LiveModulation);
        EXPECT_EQ(value, 100);
        postStamp = s;
    });
    EXPECT_EQ(posts, 1);
    control->patch->modulation = 30;
    std::unique_ptr<EngineSetup> newer = setupOf(*control, 2);
    newer->parameterStamps[ParamModulation] = handover.nextStamp();
    EXPECT_TRUE(stampIsNewer(newer->parameterStamps[ParamModulation], postStamp));
    handover.publish(std::move(newer));
    handover.adoptNewest(*audio);
    EXPECT_EQ(audio->patch->modulation, 30);
}

TEST(HandoverTest, ParameterValuesKeepTheNewestChange) {
    AudioHandover handover;
    const std::uint32_t early = handover.nextStamp();
    const std::uint32_t late = handover.nextStamp();
    handover.storeParameter(3, ParamWindow, 40.0f, late);
    handover.storeParameter(3, ParamWindow, 20.0f, early);
    EXPECT_EQ(handover.parameter(3, ParamWindow), 40.0f);
    handover.storeParameter(3, ParamWindow, 41.0f, late); // the same change recomputed
    EXPECT_EQ(handover.parameter(3, ParamWindow), 41.0f);
    EXPECT_TRUE(stampIsNewer(0x00000002u, 0xFFFFFFF0u)) << "stamps wrap around";
}

// Writers publish as fast as they can while the audio thread adopts; each side runs a fixed
// number of rounds, so the outcome does not depend on how the threads are scheduled. Every
// installed state must be whole: the carrier, the modulator and the sample rate all come from
// the same publication.
TEST(HandoverTest, EveryAdoptedStateIsWholeUnderContention) {
    constexpr int kPublications = 2000;
    constexpr int kAdoptions = 20000;
    std::unique_ptr<SynthEngine> audio = makeTestEngine();
    AudioHandover handover;
    int torn = 0;

    std::thread writer([&] {
        std::unique_ptr<SynthEngine> control = makeTestEngine();
        for (int i = 1; i <= kPublications; ++i) {
            const float marker = static_cast<float>(i);
            fillTable(control->carrierTable.get(), kTableLength, marker);
            fillTable(control->modulatorTable.get(), kTableLength, -marker);
            control->sampleRate = marker;
            handover.publish(setupOf(*control, i % kPatchCount));
        }
    });
    for (int round = 0; round < kAdoptions; ++round) {
        handover.adoptNewest(*audio);
        const float marker = audio->carrierTable[kTableLength - 1];
        if (audio->sampleRate != kRate &&
            (marker != audio->sampleRate || audio->modulatorTable[0] != -marker ||
             audio->patch != &audio->patches[static_cast<int>(marker) % kPatchCount]))
            ++torn;
    }
    writer.join();
    handover.adoptNewest(*audio);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(audio->sampleRate, static_cast<float>(kPublications)); // the last one wins
}
