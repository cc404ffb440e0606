// Reading Standard MIDI Files: tempo map, merged tracks, what is left out, and broken files.

#include "tools/quarnel_render/midi_file.h"
#include "tools/quarnel_render/midi_schedule.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quarnel_render {
namespace {

using tooltest::SmfEvent;
using tooltest::TempDir;
using tooltest::tempoEvent;

constexpr int kPpqn = 480;

TEST(MidiFile, FollowsTheTempoMapAndMergesTracksInTimeOrder) {
    TempDir dir;
    // 120 bpm for four beats (2 s), then 60 bpm: one beat = 1 s.
    const std::vector<SmfEvent> events = {
        {1, 0, tempoEvent(500000)},
        {1, 0, {0xFF, 0x03, 4, 'T', 'e', 's', 't'}},
        {1, 4 * kPpqn, tempoEvent(1000000)},
        {2, 0, {0xC0, 23}},
        {2, kPpqn, {0x90, 60, 100}},                          // 0.5 s
        {2, 6 * kPpqn, {0x80, 60, 0}},                        // 2 s + 2 beats at 60 bpm = 4 s
        {3, kPpqn / 2, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}, // sysex: left out
        {3, 2 * kPpqn, {0x91, 64, 90}},                       // 1 s, between track 2's events
        {3, 5 * kPpqn, {0xE1, 0x00, 0x40}},                   // 3 s
        {3, 5 * kPpqn, {0xD1, 0x33}},                         // 3 s, after the bend
        {3, 8 * kPpqn, {0x81, 64, 0}},                        // 6 s
    };
    tooltest::writeSmf(dir / "tempo.mid", kPpqn, events);

    const MidiFileContents contents = readMidiFile((dir / "tempo.mid").string());
    EXPECT_EQ(contents.trackCount, 3);
    ASSERT_EQ(contents.messages.size(), 7u);
    const double seconds[] = {0.0, 0.5, 1.0, 3.0, 3.0, 4.0, 6.0};
    const int statuses[] = {0xC0, 0x90, 0x91, 0xE1, 0xD1, 0x80, 0x81};
    const int data1[] = {23, 60, 64, 0x00, 0x33, 60, 64};
    const int data2[] = {0, 100, 90, 0x40, 0, 0, 0};
    for (std::size_t i = 0; i < contents.messages.size(); ++i) {
        EXPECT_NEAR(contents.messages[i].seconds, seconds[i], 1e-9) << i;
        EXPECT_EQ(contents.messages[i].message.status, statuses[i]) << i;
        EXPECT_EQ(contents.messages[i].message.data1, data1[i]) << i;
        EXPECT_EQ(contents.messages[i].message.data2, data2[i]) << i;
    }

    // At 48 kHz with 512-frame blocks the note-off at 4 s (192000 = 375 x 512) lands exactly
    // on a block boundary: it opens block 375.
    const auto schedule = scheduleMessages(contents.messages, 48000.0);
    SliceCursor cursor(schedule, 192000 + 512, 512);
    RenderSlice slice;
    int found = 0;
    while (cursor.next(slice)) {
        for (const auto& e : slice.events) {
            if (e.status == 0x80) {
                EXPECT_EQ(slice.startFrame, 192000);
                EXPECT_EQ(e.deltaFrames, 0);
                ++found;
            }
        }
    }
    EXPECT_EQ(found, 1);
}

TEST(MidiFile, MissingAndUnreadableFilesAreErrors) {
    TempDir dir;
    try {
        readMidiFile((dir / "absent.mid").string());
        FAIL() << "no error for a missing file";
    } catch (const MidiFileError& e) {
        EXPECT_NE(std::string(e.what()).find("does not exist"), std::string::npos) << e.what();
    }

    // Format 1, one track, 480 ticks per quarter note; a track chunk around some event bytes.
    const std::string header("MThd\0\0\0\x06\0\x01\0\x01\x01\xE0", 14);
    const auto track = [](const std::string& events) {
        const auto n = static_cast<char>(events.size());
        return std::string("MTrk\0\0\0", 7) + n + events;
    };
    const std::string endOfTrack("\0\xFF\x2F\0", 4);
    struct Broken {
        const char* name;
        std::string bytes;
        const char* reason;
    };
    const std::vector<Broken> broken = {
        {"notes.txt", "This is not a MIDI file.\n", "not a Standard MIDI File"},
        {"empty.mid", "", "not a Standard MIDI File"},
        // The track chunk declares 4096 bytes; 3 follow. libsmf alone reads past the end.
        {"truncated.mid", header + std::string("MTrk\0\0\x10\0\0\x90\x3C", 11),
         "the chunk at byte 14 declares 4096 bytes but only 3 follow"},
        {"cut-event.mid", header + track(std::string("\0\x90\x3C\x40\x60\x80\x3C", 7)),
         "the track at byte 14 ends inside an event"},
        {"no-end.mid", header + track(std::string("\0\x90\x3C\x40", 4)),
         "has no End Of Track event"},
        {"escape.mid", header + track(std::string("\0\xF7\x02\xF0\xF7", 5) + endOfTrack),
         "unsupported status byte 0xF7"},
        {"stray-data.mid", header + track(std::string("\0\x3C\x40", 3) + endOfTrack),
         "data byte without a status byte"},
        // A meta event ends running status.
        {"running-after-meta.mid",
         header + track(std::string("\0\x90\x3C\x40\0\xFF\x01\x01\x61\0\x3C\0", 12) + endOfTrack),
         "data byte without a status byte"},
        {"long-delta.mid",
         header + track(std::string("\xFF\xFF\xFF\xFF\x01\x90\x3C\x40", 8) + endOfTrack),
         "damaged delta time"},
        {"short-header.mid", std::string("MThd\0\0\0\x04\0\x01\0\x01", 12),
         "the MThd header is 4 bytes long, at least 6"},
        {"cut-header.mid", header.substr(0, 10), "truncated file: it ends inside the MThd header"},
        {"smpte.mid", std::string("MThd\0\0\0\x06\0\x01\0\x01\xE7\x28", 14) + track(endOfTrack),
         "SMPTE timing"},
        {"division-0.mid", std::string("MThd\0\0\0\x06\0\x01\0\x01\0\0", 14) + track(endOfTrack),
         "time division is 0 ticks per quarter note"},
        {"zero-tempo.mid", header + track(std::string("\0\xFF\x51\x03\0\0\0", 7) + endOfTrack),
         "invalid tempo"},
        {"format-3.mid", std::string("MThd\0\0\0\x06\0\x03\0\x01\x01\xE0", 14) + track(endOfTrack),
         "unknown MIDI file format 3"},
        {"no-tracks.mid", std::string("MThd\0\0\0\x06\0\x01\0\0\x01\xE0", 14),
         "declares no tracks"},
        {"format-2.mid", std::string("MThd\0\0\0\x06\0\x02\0\x01\x01\xE0", 14) + track(endOfTrack),
         "format (2, independent sequences) is not supported"},
        {"short-time-signature.mid",
         header + track(std::string("\0\xFF\x58\x03\x04\x02\x18", 7) + endOfTrack),
         "the track at byte 14 has an invalid time signature event"},
        // A track fewer than the header declares.
        {"missing-track.mid",
         std::string("MThd\0\0\0\x06\0\x01\0\x02\x01\xE0", 14) + track(endOfTrack),
         "the MThd header declares 2 tracks but the file has 1"},
    };
    for (const Broken& b : broken) {
        tooltest::writeText(dir / b.name, b.bytes);
        try {
            readMidiFile((dir / b.name).string());
            ADD_FAILURE() << "no error for " << b.name;
        } catch (const MidiFileError& e) {
            EXPECT_NE(std::string(e.what()).find("cannot read MIDI file"), std::string::npos)
                << e.what();
            EXPECT_NE(std::string(e.what()).find(b.reason), std::string::npos) << e.what();
        }
    }

    // Running status between channel messages and a sysex with its length are fine: note-on
    // C4, (running) note-on D4 96 ticks later, sysex, then note-offs for both at tick 480.
    tooltest::writeText(
        dir / "whole.mid",
        header + track(std::string("\0\x90\x3C\x40\x60\x3E\x40\0\xF0\x02\x7E\xF7\x83\x00\x80"
                                   "\x3C\0\0\x3E\0",
                                   20) +
                       endOfTrack));
    const MidiFileContents whole = readMidiFile((dir / "whole.mid").string());
    ASSERT_EQ(whole.messages.size(), 4u);
    EXPECT_EQ(whole.messages[1].message.status, 0x90);
    EXPECT_EQ(whole.messages[1].message.data1, 0x3E);
    EXPECT_NEAR(whole.messages[1].seconds, 0.1, 1e-9); // 96 ticks at the default 120 bpm
    EXPECT_EQ(whole.messages[3].message.status, 0x80);
    EXPECT_EQ(whole.messages[3].message.data1, 0x3E);
    EXPECT_NEAR(whole.messages[3].seconds, 0.5, 1e-9); // tick 96 + 384
    EXPECT_THROW(readMidiFile(dir.path().string()), MidiFileError);
}

TEST(MidiFile, MergesManyTracksInTrackOrderOnEachTick) {
    TempDir dir;
    // Track t plays note t % 128 on channel t % 16 at tick t * 7 % 50: every tick is shared.
    constexpr int kTracks = 400;
    std::vector<SmfEvent> events;
    struct Expected {
        int tick;
        int track;
    };
    std::vector<Expected> expected;
    for (int t = 1; t <= kTracks; ++t) {
        const int tick = t * 7 % 50;
        events.push_back({t,
                          tick,
                          {static_cast<unsigned char>(0x90 | (t % 16)),
                           static_cast<unsigned char>(t % 128), 100}});
        expected.push_back({tick, t});
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Expected& a, const Expected& b) { return a.tick < b.tick; });
    tooltest::writeSmf(dir / "tracks.mid", kPpqn, events);

    const MidiFileContents contents = readMidiFile((dir / "tracks.mid").string());
    EXPECT_EQ(contents.trackCount, kTracks);
    ASSERT_EQ(contents.messages.size(), expected.size());
    const double secondsPerTick = 500000 / (kPpqn * 1000000.0); // 120 bpm throughout
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TimedMessage& m = contents.messages[i];
        EXPECT_EQ(m.message.status, 0x90 | (expected[i].track % 16)) << i;
        EXPECT_EQ(m.message.data1, expected[i].track % 128) << i;
        EXPECT_EQ(m.seconds, expected[i].tick * secondsPerTick) << i;
    }
}

TEST(MidiFile, TimeSignaturesStartStretchesOfTheTempoMap) {
    TempDir dir;
    // A time signature at tick 32 in one track: a note at tick 70 in another is timed from
    // there, 32 and then 38 ticks, as the render tool has always timed it (the two roundings
    // differ, and a frame exactly halfway would round the other way).
    tooltest::writeSmf(dir / "signature.mid", kPpqn,
                       {{1, 32, {0xFF, 0x58, 4, 3, 2, 24, 8}}, {2, 70, {0x90, 60, 100}}});
    const double secondsPerTick = 500000 / (kPpqn * 1000000.0);
    const double stretched = 32 * secondsPerTick + 38 * secondsPerTick;
    ASSERT_NE(stretched, 70 * secondsPerTick);
    const MidiFileContents contents = readMidiFile((dir / "signature.mid").string());
    ASSERT_EQ(contents.messages.size(), 1u);
    EXPECT_EQ(contents.messages[0].seconds, stretched);
}

TEST(MidiFile, SkipsChunksOfUnknownTypes) {
    TempDir dir;
    const std::string header("MThd\0\0\0\x06\0\x01\0\x02\x01\xE0", 14);
    const std::string unknown("XFIH\0\0\0\x03"
                              "abc",
                              11);
    const std::string endOfTrack("\0\xFF\x2F\0", 4);
    const auto track = [&](char note) {
        return std::string("MTrk\0\0\0\x08\0\x90", 10) + note + '\x40' + endOfTrack;
    };
    tooltest::writeText(dir / "chunks.mid",
                        header + unknown + track('\x3C') + unknown + track('\x3E'));
    const MidiFileContents contents = readMidiFile((dir / "chunks.mid").string());
    EXPECT_EQ(contents.trackCount, 2);
    ASSERT_EQ(contents.messages.size(), 2u);
    EXPECT_EQ(contents.messages[0].message.data1 + contents.messages[1].message.data1, 0x3C + 0x3E);
}

} // namespace
} // namespace quarnel_render
