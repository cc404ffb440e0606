// quarnel-render with the real instrument: the output has the length of the piece plus the
// tail, is finite and sounds in every section of the demo piece.

#include "tools/quarnel_render/midi_file.h"
#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace {

using namespace quarnel_render;

constexpr int kRate = 44100;
/// Level below which a stretch of output counts as silent (about -80 dBFS RMS).
constexpr double kSilence = 1e-4;

double rms(const tooltest::AudioFile& audio, std::int64_t from, std::int64_t to) {
    double sum = 0.0;
    for (std::int64_t f = from; f < to; ++f) {
        for (int c = 0; c < audio.channels; ++c)
            sum += double(audio.at(f, c)) * audio.at(f, c);
    }
    return std::sqrt(sum / double(std::max<std::int64_t>((to - from) * audio.channels, 1)));
}

std::string peakText(const tooltest::AudioFile& audio) {
    float peak = 0.0f;
    for (float s : audio.samples)
        peak = std::max(peak, std::fabs(s));
    char text[32];
    std::snprintf(text, sizeof text, "peak %.1f dBFS", 20.0 * std::log10(double(peak)));
    return text;
}

TEST(PluginRender, ShortPieceHasTheLengthOfItsEventsPlusTheTail) {
    tooltest::TempDir dir;
    tooltest::writeSmf(dir / "short.mid", 480,
                       {{1, 0, tooltest::tempoEvent(500000)},
                        {2, 0, {0x90, 60, 100}},
                        {2, 480, {0x90, 64, 90}},
                        {2, 960, {0x80, 60, 0}},
                        {2, 1440, {0x80, 64, 0}}}); // 1.5 s
    const auto result =
        tooltest::runProcess({QUARNEL_RENDER_PATH, (dir / "short.mid").string(), "--plugin",
                              QUARNEL_PLUGIN_PATH, "-t", "1", "-o", (dir / "short.wav").string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const tooltest::AudioFile audio = tooltest::readAudio(dir / "short.wav");
    EXPECT_EQ(audio.sampleRate, kRate);
    EXPECT_EQ(audio.channels, 2);
    EXPECT_EQ(audio.frames, 66150 + 44100);
    for (float s : audio.samples)
        ASSERT_TRUE(std::isfinite(s));
    EXPECT_GT(rms(audio, 0, 66150), kSilence);
    EXPECT_NE(result.out.find(peakText(audio)), std::string::npos) << result.out;
}

TEST(PluginRender, EverySectionOfTheDemoSounds) {
    const std::string demo = std::string(QUARNEL_SOURCE_DIR) + "/examples/demo.mid";
    tooltest::TempDir dir;
    const auto result =
        tooltest::runProcess({QUARNEL_RENDER_PATH, demo, "--plugin", QUARNEL_PLUGIN_PATH, "-o",
                              (dir / "demo.flac").string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const MidiFileContents piece = readMidiFile(demo);
    const auto schedule = scheduleMessages(piece.messages, kRate);
    const tooltest::AudioFile audio = tooltest::readAudio(dir / "demo.flac");
    EXPECT_EQ(audio.frames, schedule.back().frame + 2 * kRate); // default tail 2 s

    std::vector<std::int64_t> sectionStarts;
    for (const ScheduledMessage& s : schedule) {
        if (isProgramChange(s.message)) sectionStarts.push_back(s.frame);
    }
    ASSERT_EQ(sectionStarts.size(), 4u);
    sectionStarts.push_back(schedule.back().frame);
    for (std::size_t i = 0; i + 1 < sectionStarts.size(); ++i) {
        EXPECT_GT(rms(audio, sectionStarts[i], sectionStarts[i + 1]), kSilence) << "section " << i;
    }
}

} // namespace
