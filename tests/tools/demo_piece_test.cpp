// The demo piece: the committed examples/demo.mid is what quarnel-write-demo writes, and it is
// playable by the instrument as arranged (one program per section, at most eight notes at once,
// one key, a tempo change).

// glib.h first: smf.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <smf.h>

#include "tools/quarnel_render/midi_file.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace {

using namespace quarnel_render;

const std::string kDemoPath = std::string(QUARNEL_SOURCE_DIR) + "/examples/demo.mid";
/// Voices of the instrument: more simultaneous notes would steal voices.
constexpr int kVoices = 8;

TEST(DemoPiece, TheCommittedFileIsTheGeneratorsOutput) {
    tooltest::TempDir dir;
    const auto result =
        tooltest::runProcess({QUARNEL_WRITE_DEMO_PATH, (dir / "demo.mid").string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string generated = tooltest::readText(dir / "demo.mid");
    EXPECT_GT(generated.size(), 100u);
    EXPECT_EQ(generated, tooltest::readText(kDemoPath))
        << "examples/demo.mid is out of date: run quarnel-write-demo examples/demo.mid";

    EXPECT_NE(tooltest::runProcess({QUARNEL_WRITE_DEMO_PATH}).exitCode, 0);
    EXPECT_NE(
        tooltest::runProcess({QUARNEL_WRITE_DEMO_PATH, (dir / "no" / "x.mid").string()}).exitCode,
        0);
}

TEST(DemoPiece, SectionsSwitchProgramsAndStayWithinTheVoices) {
    const MidiFileContents demo = readMidiFile(kDemoPath);
    EXPECT_EQ(demo.trackCount, 5);
    ASSERT_FALSE(demo.messages.empty());

    // Program changes in time order: keys, pad, lead, bell.
    std::vector<std::pair<double, int>> programs;
    for (const TimedMessage& m : demo.messages) {
        if (isProgramChange(m.message)) programs.push_back({m.seconds, m.message.data1});
    }
    const std::vector<std::pair<double, int>> expected = {
        {0.0, 23}, {2.4, 15}, {4.8, 0}, {9.6, 38}};
    ASSERT_EQ(programs.size(), expected.size());
    for (std::size_t i = 0; i < programs.size(); ++i) {
        EXPECT_NEAR(programs[i].first, expected[i].first, 1e-9);
        EXPECT_EQ(programs[i].second, expected[i].second);
    }

    // In the order the plug-in receives them: never more than kVoices notes held, every note
    // released, all in C major. A section starts only once the previous one has let go.
    const std::set<int> cMajor = {0, 2, 4, 5, 7, 9, 11};
    std::multiset<int> held;
    std::size_t most = 0;
    const auto schedule = scheduleMessages(demo.messages, 44100.0);
    for (const ScheduledMessage& s : schedule) {
        const int type = s.message.status & 0xF0;
        if (type == 0x90 && s.message.data2 > 0) {
            EXPECT_EQ(cMajor.count(s.message.data1 % 12), 1u) << int(s.message.data1);
            held.insert(s.message.data1);
            most = std::max(most, held.size());
        } else if (type == 0x80 || type == 0x90) {
            const auto it = held.find(s.message.data1);
            ASSERT_NE(it, held.end()) << "note-off without note-on";
            held.erase(it);
        } else if (type == 0xC0) {
            EXPECT_TRUE(held.empty()) << "program change while notes are held";
        }
    }
    EXPECT_TRUE(held.empty());
    EXPECT_LE(most, static_cast<std::size_t>(kVoices));
    EXPECT_GE(most, 4u);

    const double length = demo.messages.back().seconds;
    EXPECT_GE(length, 12.0);
    EXPECT_LE(length, 16.0);
}

TEST(DemoPiece, HasATempoChange) {
    struct Deleter {
        void operator()(smf_t* smf) const { smf_delete(smf); }
    };
    std::unique_ptr<smf_t, Deleter> smf(smf_load(kDemoPath.c_str()));
    ASSERT_TRUE(smf);
    std::set<int> tempos;
    for (int i = 0; smf_tempo_t* tempo = smf_get_tempo_by_number(smf.get(), i); ++i)
        tempos.insert(tempo->microseconds_per_quarter_note);
    EXPECT_GE(tempos.size(), 2u);

    // Each section is one track on one channel that opens with its program change.
    for (int t = 2; t <= smf->number_of_tracks; ++t) {
        smf_track_t* track = smf_get_track_by_number(smf.get(), t);
        ASSERT_TRUE(track);
        int firstStatus = -1;
        std::set<int> channels;
        for (int e = 1; e <= track->number_of_events; ++e) {
            smf_event_t* event = smf_track_get_event_by_number(track, e);
            const int status = event->midi_buffer[0];
            if (!isChannelStatus(static_cast<std::uint8_t>(status))) continue;
            if (firstStatus < 0) firstStatus = status;
            channels.insert(status & 0x0F);
        }
        EXPECT_EQ(firstStatus & 0xF0, 0xC0) << "track " << t;
        EXPECT_EQ(channels.size(), 1u) << "track " << t;
    }
}

} // namespace
