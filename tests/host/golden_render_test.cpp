// Golden renders: each tabulated program plays a fixed phrase at 44100 Hz through the built
// plug-in, and the left output is compared with a render kept in the repository (16-bit samples,
// tests/golden/program-NN.raw). The tolerance survives libm and compiler differences between
// the Linux and the Windows builds, so any change to the sound is deliberate.
//
// To regenerate on purpose: QUARNEL_REGENERATE_GOLDEN=1 ./quarnel_host_tests
//   --gtest_filter='GoldenRender*'
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
