// The render tool's timeline: times to frames, and the slices handed to the plug-in.

#include "tools/quarnel_render/midi_schedule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quarnel_render {
namespace {

ChannelMessage noteOn(int note, int channel = 0) {
    return {static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(note), 100};
}
ChannelMessage noteOff(int note, int channel = 0) {
    return {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0};
}
ChannelMessage programChange(int program, int channel = 0) {
    return {static_cast<std::uint8_t>(0xC0 | channel), static_cast<std::uint8_t>(program), 0};
}

std::vector<RenderSlice> allSlices(const std::vector<ScheduledMessage>& schedule,
                                   std::int64_t total, std::int32_t block) {
    SliceCursor cursor(schedule, total, block);
    std::vector<RenderSlice> slices;
    RenderSlice slice;
    while (cursor.next(slice))
        slices.push_back(slice);
    return slices;
}

TEST(ScheduleMessages, ConvertsSecondsToTheNearestFrameAndSortsStably) {
    const std::vector<TimedMessage> timed = {
        {0.5, noteOn(60)},                  // 22050
        {0.25, noteOn(62)},                 // 11025, earlier than the first
        {0.5, noteOff(62)},                 // same frame as the first: stays after it
        {-1.0, programChange(3)},           // before the start: frame 0
        {1.0 / 44100.0 * 10.4, noteOn(64)}, // 10.4 frames -> 10
        {1.0 / 44100.0 * 10.6, noteOn(65)}, // 10.6 frames -> 11
        {std::numeric_limits<double>::quiet_NaN(), noteOn(66)}, // no time: frame 0
    };
    const auto scheduled = scheduleMessages(timed, 44100.0);
    ASSERT_EQ(scheduled.size(), timed.size());
    const std::int64_t frames[] = {0, 0, 10, 11, 11025, 22050, 22050};
    const int notes[] = {3, 66, 64, 65, 62, 60, 62};
    const int statuses[] = {0xC0, 0x90, 0x90, 0x90, 0x90, 0x90, 0x80};
    for (std::size_t i = 0; i < scheduled.size(); ++i) {
        EXPECT_EQ(scheduled[i].frame, frames[i]) << i;
        EXPECT_EQ(scheduled[i].message.data1, notes[i]) << i;
        EXPECT_EQ(scheduled[i].message.status, statuses[i]) << i;
    }
}

TEST(ScheduleMessages, ClassifiesStatusBytes) {
    EXPECT_FALSE(isChannelStatus(0x7F));
    EXPECT_TRUE(isChannelStatus(0x80));
    EXPECT_TRUE(isChannelStatus(0xEF));
    EXPECT_FALSE(isChannelStatus(0xF0));
    EXPECT_FALSE(isChannelStatus(0xFF));
    EXPECT_EQ(dataByteCount(0xC5), 1);
    EXPECT_EQ(dataByteCount(0xD0), 1);
    EXPECT_EQ(dataByteCount(0x93), 2);
    EXPECT_EQ(dataByteCount(0xE0), 2);
    EXPECT_EQ(dataByteCount(0xBF), 2);
}

TEST(SliceCursor, CutsOnTheBlockGridAndPlacesEventsByOffset) {
    // Frame 511 is the last of block 0; 512 starts block 1 exactly on the boundary.
    const std::vector<ScheduledMessage> schedule = {
        {3, noteOn(60)},    {3, noteOn(64)},    {511, noteOn(67)},   {512, noteOff(60)},
        {512, noteOff(64)}, {1023, noteOn(72)}, {1024, noteOff(67)}, {1999, noteOff(72)},
        {2000, noteOn(50)}, {2500, noteOff(50)}};
    const auto slices = allSlices(schedule, 2000, 512);
    ASSERT_EQ(slices.size(), 4u);

    const std::int64_t starts[] = {0, 512, 1024, 1536};
    const std::int32_t lengths[] = {512, 512, 512, 464};
    for (std::size_t i = 0; i < slices.size(); ++i) {
        EXPECT_EQ(slices[i].startFrame, starts[i]);
        EXPECT_EQ(slices[i].frames, lengths[i]);
        EXPECT_EQ(slices[i].program, kNoProgramChange);
    }

    ASSERT_EQ(slices[0].events.size(), 3u);
    EXPECT_EQ(slices[0].events[0].deltaFrames, 3);
    EXPECT_EQ(slices[0].events[0].data1, 60);
    EXPECT_EQ(slices[0].events[1].deltaFrames, 3);
    EXPECT_EQ(slices[0].events[1].data1, 64); // equal offsets keep their order
    EXPECT_EQ(slices[0].events[2].deltaFrames, 511);

    ASSERT_EQ(slices[1].events.size(), 3u);
    EXPECT_EQ(slices[1].events[0].deltaFrames, 0); // the boundary event opens block 1
    EXPECT_EQ(slices[1].events[0].status, 0x80);
    EXPECT_EQ(slices[1].events[0].data1, 60);
    EXPECT_EQ(slices[1].events[1].deltaFrames, 0);
    EXPECT_EQ(slices[1].events[1].data1, 64);
    EXPECT_EQ(slices[1].events[2].deltaFrames, 511);
    EXPECT_EQ(slices[1].events[2].data2, 100);

    ASSERT_EQ(slices[2].events.size(), 1u);
    EXPECT_EQ(slices[2].events[0].deltaFrames, 0);
    EXPECT_EQ(slices[2].events[0].data1, 67);

    // Frame 1999 is the last frame rendered; events at 2000 and later are past the end.
    ASSERT_EQ(slices[3].events.size(), 1u);
    EXPECT_EQ(slices[3].events[0].deltaFrames, 463);
    EXPECT_EQ(slices[3].events[0].data1, 72);
}

TEST(SliceCursor, SplitsABlockAtAProgramChange) {
    const std::vector<ScheduledMessage> schedule = {
        {100, noteOn(60)},        {700, noteOff(60)},          {700, programChange(5, 2)},
        {700, noteOn(62)},        {900, noteOn(64)},           {1024, programChange(7)},
        {1030, programChange(9)}, {1030, programChange(11, 4)}};
    const auto slices = allSlices(schedule, 1536, 512);
    ASSERT_EQ(slices.size(), 5u);

    EXPECT_EQ(slices[0].startFrame, 0);
    EXPECT_EQ(slices[0].frames, 512);
    EXPECT_EQ(slices[0].program, kNoProgramChange);

    // Block 1 (512..1023) ends its first slice just before the change at 700.
    EXPECT_EQ(slices[1].startFrame, 512);
    EXPECT_EQ(slices[1].frames, 188);
    EXPECT_EQ(slices[1].program, kNoProgramChange);
    EXPECT_TRUE(slices[1].events.empty());

    // The note-off at 700 precedes the change in the schedule, so it opens the new slice too.
    EXPECT_EQ(slices[2].startFrame, 700);
    EXPECT_EQ(slices[2].frames, 324);
    EXPECT_EQ(slices[2].program, 5);
    ASSERT_EQ(slices[2].events.size(), 4u);
    EXPECT_EQ(slices[2].events[0].status, 0x80);
    EXPECT_EQ(slices[2].events[1].status, 0xC2); // still sent as MIDI
    EXPECT_EQ(slices[2].events[1].data1, 5);
    EXPECT_EQ(slices[2].events[1].data2, 0);
    EXPECT_EQ(slices[2].events[2].data1, 62);
    EXPECT_EQ(slices[2].events[3].deltaFrames, 200);

    // A change on a grid boundary needs no split; two on one frame: the last one counts.
    EXPECT_EQ(slices[3].startFrame, 1024);
    EXPECT_EQ(slices[3].frames, 6);
    EXPECT_EQ(slices[3].program, 7);
    EXPECT_EQ(slices[4].startFrame, 1030);
    EXPECT_EQ(slices[4].frames, 506);
    EXPECT_EQ(slices[4].program, 11);
    EXPECT_EQ(slices[4].events.size(), 2u);
}

TEST(SliceCursor, CoversTheWholeLengthContiguously) {
    std::vector<ScheduledMessage> schedule;
    for (int i = 0; i < 40; ++i)
        schedule.push_back({i * 97, i % 3 == 0 ? programChange(i) : noteOn(i)});
    for (std::int32_t block : {1, 7, 64, 512, 5000}) {
        const auto slices = allSlices(schedule, 4001, block);
        std::int64_t pos = 0;
        std::size_t delivered = 0;
        for (const RenderSlice& s : slices) {
            EXPECT_EQ(s.startFrame, pos);
            EXPECT_GE(s.frames, 1);
            EXPECT_LE(s.frames, block);
            std::int32_t previous = 0;
            for (const auto& e : s.events) {
                EXPECT_GE(e.deltaFrames, previous);
                EXPECT_LT(e.deltaFrames, s.frames);
                previous = e.deltaFrames;
            }
            delivered += s.events.size();
            pos += s.frames;
        }
        EXPECT_EQ(pos, 4001) << "block " << block;
        EXPECT_EQ(delivered, schedule.size()) << "block " << block;
    }
}

TEST(SliceCursor, ProgramChangeAtTheStartAndEmptyRenders) {
    const std::vector<ScheduledMessage> schedule = {{0, programChange(2)}, {0, noteOn(60)}};
    const auto slices = allSlices(schedule, 100, 64);
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices[0].program, 2);
    EXPECT_EQ(slices[0].events.size(), 2u);
    EXPECT_EQ(slices[1].frames, 36);

    EXPECT_TRUE(allSlices(schedule, 0, 64).empty());
    EXPECT_TRUE(allSlices({}, 0, 64).empty());
    const auto silent = allSlices({}, 10, 4);
    ASSERT_EQ(silent.size(), 3u);
    EXPECT_EQ(silent[2].frames, 2);
}

} // namespace
} // namespace quarnel_render
