// The exclusion between the audio thread's engine calls and patch changes on other threads.
#include "engine/midi_input.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

TEST(BusyFlagsTest, AudioThreadBacksOffDuringAChange) {
    BusyFlags flags;
    flags.beginPatchChange();
    EXPECT_FALSE(flags.tryEnterEngine());
    EXPECT_EQ(flags.engineBusy.load(), 0);
    flags.endPatchChange();
    EXPECT_TRUE(flags.tryEnterEngine());
    EXPECT_EQ(flags.engineBusy.load(), 1);
    flags.leaveEngine();
    EXPECT_EQ(flags.engineBusy.load(), 0);
}

TEST(BusyFlagsTest, WriterWaitsForTheEngineCallToEnd) {
    BusyFlags flags;
    flags.enterEngine();
    std::atomic<bool> changed{false};
    std::thread writer([&] {
        PatchChangeScope scope(flags);
        changed.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(changed.load());
    flags.leaveEngine();
    writer.join();
    EXPECT_TRUE(changed.load());
}

TEST(BusyFlagsTest, EngineCallsWaitForTheChangeToEnd) {
    BusyFlags flags;
    flags.beginPatchChange();
    std::atomic<bool> entered{false};
    std::thread audio([&] {
        flags.enterEngine();
        entered.store(true);
        flags.leaveEngine();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    flags.endPatchChange();
    audio.join();
    EXPECT_TRUE(entered.load());
}

TEST(BusyFlagsTest, NeverBothInsideUnderContention) {
    BusyFlags flags;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<bool> stop{false};
    std::atomic<long> engineEntries{0};
    constexpr int kChanges = 100000;

    auto critical = [&] {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        for (int spin = 0; spin < 20; ++spin)
            std::atomic_signal_fence(std::memory_order_seq_cst);
        inside.fetch_sub(1);
    };
    std::thread audio([&] {
        long round = 0;
        while (!stop.load()) {
            if (++round % 2 == 0) {
                if (!flags.tryEnterEngine()) continue;
            } else {
                flags.enterEngine();
            }
            critical();
            engineEntries.fetch_add(1);
            flags.leaveEngine();
        }
    });
    auto writer = [&] {
        for (int i = 0; i < kChanges; ++i) {
            PatchChangeScope scope(flags);
            critical();
        }
    };
    std::thread writer1(writer);
    std::thread writer2(writer); // writers are kept apart from each other too
    writer1.join();
    writer2.join();
    stop.store(true);
    audio.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(engineEntries.load(), 0);
    EXPECT_EQ(flags.patchBusy.load(), 0);
    EXPECT_EQ(flags.engineBusy.load(), 0);
}
