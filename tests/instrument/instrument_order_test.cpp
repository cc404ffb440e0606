// Order between the instrument's callers: the later of two parameter changes wins everywhere,
// host requests lost to a full queue are caught up with what was asked for last, and teardown
// never overlaps a process call. The interleavings are forced through the host's process-level
// query, which the instrument asks right after a change has taken its stamp.
#include "instrument/instrument.h"

#include "patches/performance_parameters.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr float kRate = 44100.0f;
constexpr int kFrames = 64;

/// Answers the instrument's process-level query per thread: real time for the audio thread,
/// a user thread for everyone else. The first question of the held thread is kept waiting
/// until the test lets it go, so that its change, already stamped, is applied after others.
struct LevelProbe {
    std::atomic<std::uint64_t> audioThread{0};
    std::atomic<std::uint64_t> heldThread{0};
    std::atomic<int> phase{0}; ///< 0 nothing asked yet, 1 the held thread waits, 2 let go

    static ProcessLevel answer(void* context) {
        auto& probe = *static_cast<LevelProbe*>(context);
        const std::uint64_t self = platform::currentThreadId();
        if (self == probe.audioThread.load()) return ProcessLevel::Realtime;
        int expected = 0;
        if (self == probe.heldThread.load() && probe.phase.compare_exchange_strong(expected, 1))
            while (probe.phase.load() != 2)
                std::this_thread::yield();
        return ProcessLevel::User;
    }
};

/// The instrument at kRate in blocks of kFrames, answering its process-level query with probe,
/// for which the calling thread is the audio thread.
void prepare(Instrument& instrument, LevelProbe& probe) {
    instrument.setSampleRate(kRate);
    instrument.setBlockSize(kFrames);
    instrument.setProcessLevelQuery(&LevelProbe::answer, &probe);
    probe.audioThread.store(platform::currentThreadId());
}

void renderBlock(Instrument& instrument) {
    std::vector<float> left(kFrames), right(kFrames);
    float* outputs[2] = {left.data(), right.data()};
    instrument.process(outputs, kFrames);
}

} // namespace

// A user thread sets LPF and is held after taking its stamp; the audio thread then sets it
// again. The user thread's change reaches the writers' lock last but is the older one: the
// engine, the readers and the audio thread's engine must all keep the audio thread's value.
TEST(InstrumentOrder, TheLaterOfTwoParameterChangesWinsEverywhere) {
    Instrument instrument;
    LevelProbe probe;
    prepare(instrument, probe);

    std::thread early([&] {
        probe.heldThread.store(platform::currentThreadId());
        instrument.setParameter(ParamLowPass, 0.1f);
    });
    while (probe.phase.load() != 1)
        std::this_thread::yield();
    instrument.setParameter(ParamLowPass, 0.9f);
    probe.phase.store(2);
    early.join();

    const float later = storedParameterValue(ParamLowPass, 0.9f, kRate);
    ASSERT_NE(later, storedParameterValue(ParamLowPass, 0.1f, kRate));
    EXPECT_EQ(instrument.plainParameter(ParamLowPass), later);
    EXPECT_FLOAT_EQ(instrument.parameter(ParamLowPass), 0.9f);
    {
        std::lock_guard<std::mutex> lock(instrument.getBusyFlags().writers);
        EXPECT_EQ(instrument.getCore().engine->lpf.frequency, later);
    }
    renderBlock(instrument);
    EXPECT_EQ(instrument.audioEngine().lpf.frequency, later);
}

// The audio thread floods the request queue with program changes while the writers' lock is
// held, then asks for a new rate and block size, which find the queue full. The next writer
// must still end at the rate asked for last.
TEST(InstrumentOrder, RequestsLostToAFullQueueKeepTheLastRate) {
    Instrument instrument;
    LevelProbe probe;
    prepare(instrument, probe);
    {
        std::lock_guard<std::mutex> lock(instrument.getBusyFlags().writers);
        for (std::size_t i = 0; i < kHostRequestCapacity + 8; ++i)
            instrument.selectProgram(static_cast<std::int32_t>(i % 2));
        instrument.setSampleRate(48000.0f);
        instrument.setBlockSize(2 * kFrames);
    }
    // A writer on a user thread takes every handed-over change before it reads the bank.
    std::thread writer([&] {
        void* chunk = nullptr;
        instrument.getChunk(&chunk, false);
    });
    writer.join();
    EXPECT_EQ(instrument.sampleRate(), 48000.0f);
    EXPECT_EQ(instrument.currentProgram(),
              static_cast<std::int32_t>((kHostRequestCapacity + 7) % 2));
}

// Only the audio engine holds an ensemble line; a rate change still brings it a new one of the
// new length, made on the writer's side and taken over by the audio thread.
TEST(InstrumentOrder, ARateChangeGivesTheAudioEngineANewEnsembleLine) {
    Instrument instrument;
    LevelProbe probe;
    prepare(instrument, probe);
    renderBlock(instrument);
    const Ensemble& ensemble = instrument.audioEngine().ensemble;
    ASSERT_EQ(ensemble.lineRate, kRate); // program 0 runs the ensemble
    ASSERT_TRUE(ensemble.line);
    EXPECT_EQ(ensemble.lineLength, 8820);
    std::thread writer([&] { instrument.setSampleRate(48000.0f); });
    writer.join();
    for (int block = 0; block < 4; ++block)
        renderBlock(instrument);
    EXPECT_EQ(ensemble.lineRate, 48000.0f);
    EXPECT_TRUE(ensemble.line);
    EXPECT_EQ(ensemble.lineLength, 9600);
    EXPECT_LE(ensemble.maxDelay, ensemble.lineLength);
}

// The audio thread keeps rendering while the instrument shuts down: every call made once the
// shutdown has begun renders silence and touches no engine (ThreadSanitizer sees the rest).
TEST(InstrumentOrder, ProcessCallsDuringShutdownRenderSilence) {
    Instrument instrument;
    instrument.setSampleRate(kRate);
    instrument.setBlockSize(kFrames);
    instrument.resume();
    std::atomic<int> blocks{0};
    std::atomic<bool> shutDown{false};
    std::atomic<bool> silentAfterwards{true};
    std::thread audio([&] {
        std::vector<float> left(kFrames), right(kFrames);
        float* outputs[2] = {left.data(), right.data()};
        int afterShutdown = 0;
        while (afterShutdown < 8) {
            const bool after = shutDown.load();
            instrument.queueMidi(0, 0x90, static_cast<std::uint8_t>(48 + blocks.load() % 24), 100);
            std::fill(left.begin(), left.end(), 1.0f);
            std::fill(right.begin(), right.end(), 1.0f);
            instrument.process(outputs, kFrames);
            blocks.fetch_add(1);
            if (!after) continue;
            ++afterShutdown;
            for (int i = 0; i < kFrames; ++i)
                if (left[i] != 0.0f || right[i] != 0.0f) silentAfterwards.store(false);
        }
    });
    while (blocks.load() < 16)
        std::this_thread::yield();
    instrument.shutdown();
    shutDown.store(true);
    audio.join();
    EXPECT_TRUE(silentAfterwards.load());
}
