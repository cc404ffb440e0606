// Golden renders: each tabulated program plays a fixed phrase at 44100 Hz through the built
// plug-in, and the left output is compared with a render kept in the repository (16-bit samples,
// tests/golden/program-NN.raw). Every one of the 46 built-in programs plays the same phrase for
// a compact summary (tests/golden/bank-summary.txt): the level and the count of sign changes of
// each 10 ms of it, which follow loudness, envelope, pitch and brightness closely enough that
// any change to a program's sound shows. The tolerances survive libm and compiler differences
// between the Linux and the Windows builds, so any change to the sound is deliberate.
//
// To regenerate on purpose: QUARNEL_REGENERATE_GOLDEN=1 ./quarnel_host_tests
//   --gtest_filter='*Golden*:*BankSummary*'
#include "host_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using hosttest::newInstance;

namespace {
constexpr int kFrames = 17640; // 0.4 s
constexpr int kBlock = 512;
/// Largest sample difference allowed, and the largest RMS of the difference.
constexpr double kMaxDifference = 2e-3;
constexpr double kMaxRmsDifference = 2e-4;

std::string goldenPath(int program) {
    char name[64];
    std::snprintf(name, sizeof(name), "/tests/golden/program-%02d.raw", program);
    return std::string(QUARNEL_SOURCE_DIR) + name;
}

std::vector<float> renderPhrase(int program) {
    auto fx = newInstance(true, 44100.0f, kBlock);
    fx->dispatch(effSetProgram, 0, program);
    std::vector<float> out, left, right;
    for (int start = 0; start < kFrames; start += kBlock) {
        std::vector<vsthost::MidiMessage> events;
        auto at = [&](int frame, std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
            if (frame >= start && frame < start + kBlock)
                events.push_back({frame - start, status, d1, d2});
        };
        at(0, 0x90, 60, 100);
        at(2000, 0x90, 64, 80);
        at(4000, 0xE0, 0x00, 0x50); // a little bend up
        at(9000, 0x80, 60, 0);
        at(14000, 0x80, 64, 0);
        if (!events.empty()) fx->sendMidi(events);
        int frames = std::min(kBlock, kFrames - start);
        fx->render(frames, left, right);
        out.insert(out.end(), left.begin(), left.end());
    }
    return out;
}

bool readGolden(int program, std::vector<float>& samples) {
    std::FILE* f = std::fopen(goldenPath(program).c_str(), "rb");
    if (!f) return false;
    std::vector<std::int16_t> raw(kFrames);
    std::size_t n = std::fread(raw.data(), sizeof(std::int16_t), raw.size(), f);
    std::fclose(f);
    if (n != raw.size()) return false;
    samples.resize(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i)
        samples[i] = float(raw[i]) / 32767.0f;
    return true;
}

void writeGolden(int program, const std::vector<float>& samples) {
    std::vector<std::int16_t> raw(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        float v = std::fmax(-1.0f, std::fmin(1.0f, samples[i]));
        raw[i] = static_cast<std::int16_t>(std::lround(v * 32767.0f));
    }
    std::FILE* f = std::fopen(goldenPath(program).c_str(), "wb");
    ASSERT_NE(f, nullptr) << goldenPath(program);
    std::fwrite(raw.data(), sizeof(std::int16_t), raw.size(), f);
    std::fclose(f);
}
} // namespace

class GoldenRender : public ::testing::TestWithParam<int> {};

TEST_P(GoldenRender, MatchesTheStoredRender) {
    const int program = GetParam();
    std::vector<float> rendered = renderPhrase(program);
    ASSERT_EQ(rendered.size(), static_cast<std::size_t>(kFrames));
    const char* regenerate = std::getenv("QUARNEL_REGENERATE_GOLDEN");
    if (regenerate && *regenerate == '1') {
        writeGolden(program, rendered);
        GTEST_SKIP() << "regenerated " << goldenPath(program);
    }
    std::vector<float> golden;
    ASSERT_TRUE(readGolden(program, golden)) << "missing " << goldenPath(program);
    double maxDiff = 0, sumSq = 0, energy = 0;
    for (int i = 0; i < kFrames; ++i) {
        double d = std::abs(double(rendered[i]) - golden[i]);
        maxDiff = std::max(maxDiff, d);
        sumSq += d * d;
        energy += double(golden[i]) * golden[i];
    }
    EXPECT_GT(energy / kFrames, 1e-6) << "the stored render is silent";
    EXPECT_LT(maxDiff, kMaxDifference);
    EXPECT_LT(std::sqrt(sumSq / kFrames), kMaxRmsDifference);
}

INSTANTIATE_TEST_SUITE_P(TabulatedPrograms, GoldenRender, ::testing::Values(0, 2, 6, 15, 23, 38));

namespace {
constexpr int kBuiltInPrograms = 46;
constexpr int kSummaryWindow = 441; // 10 ms
constexpr int kSummaryWindows = kFrames / kSummaryWindow;
/// A window's level may differ by this much plus this share of it; its sign changes by this
/// many.
constexpr double kLevelTolerance = 2e-3;
constexpr double kLevelShare = 0.02;
constexpr int kCrossingTolerance = 2;
/// Windows fainter than this (about -54 dBFS) have their sign changes left unchecked.
constexpr double kAudibleLevel = 2e-3;

const std::string kSummaryPath = std::string(QUARNEL_SOURCE_DIR) + "/tests/golden/bank-summary.txt";

/// One program's line: the RMS level of each 10 ms window, then its count of sign changes.
struct Summary {
    std::vector<double> levels;
    std::vector<int> crossings;
};

Summary summarise(const std::vector<float>& samples) {
    Summary summary;
    for (int w = 0; w < kSummaryWindows; ++w) {
        double energy = 0;
        int crossings = 0;
        for (int i = w * kSummaryWindow; i < (w + 1) * kSummaryWindow; ++i) {
            energy += double(samples[i]) * samples[i];
            if (i > 0 && (samples[i] < 0.0f) != (samples[i - 1] < 0.0f)) ++crossings;
        }
        summary.levels.push_back(std::sqrt(energy / kSummaryWindow));
        summary.crossings.push_back(crossings);
    }
    return summary;
}
} // namespace

TEST(BankSummary, EveryProgramMatchesItsStoredSummary) {
    std::vector<Summary> rendered;
    for (int program = 0; program < kBuiltInPrograms; ++program)
        rendered.push_back(summarise(renderPhrase(program)));
    const char* regenerate = std::getenv("QUARNEL_REGENERATE_GOLDEN");
    if (regenerate && *regenerate == '1') {
        std::FILE* f = std::fopen(kSummaryPath.c_str(), "w");
        ASSERT_NE(f, nullptr) << kSummaryPath;
        for (int program = 0; program < kBuiltInPrograms; ++program) {
            std::fprintf(f, "%d", program);
            for (double level : rendered[program].levels)
                std::fprintf(f, " %.5f", level);
            for (int crossings : rendered[program].crossings)
                std::fprintf(f, " %d", crossings);
            std::fprintf(f, "\n");
        }
        std::fclose(f);
        GTEST_SKIP() << "regenerated " << kSummaryPath;
    }
    std::FILE* f = std::fopen(kSummaryPath.c_str(), "r");
    ASSERT_NE(f, nullptr) << "missing " << kSummaryPath;
    for (int program = 0; program < kBuiltInPrograms; ++program) {
        SCOPED_TRACE(program);
        int stored = -1;
        ASSERT_EQ(std::fscanf(f, "%d", &stored), 1);
        ASSERT_EQ(stored, program);
        std::vector<double> levels(kSummaryWindows);
        for (int w = 0; w < kSummaryWindows; ++w) {
            ASSERT_EQ(std::fscanf(f, "%lf", &levels[w]), 1);
            EXPECT_NEAR(rendered[program].levels[w], levels[w],
                        kLevelTolerance + kLevelShare * levels[w])
                << "window " << w;
        }
        for (int w = 0; w < kSummaryWindows; ++w) {
            int crossings = 0;
            ASSERT_EQ(std::fscanf(f, "%d", &crossings), 1);
            // In a faint tail the sign changes follow rounding, not the sound.
            if (levels[w] < kAudibleLevel) continue;
            EXPECT_NEAR(rendered[program].crossings[w], crossings, kCrossingTolerance)
                << "window " << w;
        }
    }
    std::fclose(f);
}
