// Records from a host's project can hold any bit pattern. Random records (fixed seeds) are
// applied, re-applied at other sample rates and edited through the performance parameters; the
// derived state must stay finite and every delay index inside its line.
#include "engine/synth_engine.h"
#include "patches/patch_application.h"
#include "patches/performance_parameters.h"
#include "patches/sample_rate.h"
#include "patches/wave_tables.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

class RecordSource {
  public:
    explicit RecordSource(unsigned seed) : random(seed) {}

    /// A record of random bytes, or one whose fields are chosen to reach the generators with
    /// extreme but structured values.
    void fill(Patch& p) {
        if (random() % 3 == 0) {
            auto* bytes = reinterpret_cast<unsigned char*>(&p);
            for (int i = 0; i < kPatchRecordSize; ++i)
                bytes[i] = static_cast<unsigned char>(random());
            return;
        }
        auto* bytes = reinterpret_cast<unsigned char*>(&p);
        for (int i = kPatchHeaderSize; i < kPatchRecordSize; ++i)
            bytes[i] = static_cast<unsigned char>(random());
        p.sendFrequency = value();
        p.highPassHz = value();
        p.lowPassHz = value();
        for (WaveLayer* l :
             {&p.carrierLayers[0], &p.carrierLayers[1], &p.carrierLayers[2], &p.modulatorLayer}) {
            l->shape = static_cast<std::int8_t>(random() % 7);
            l->gain = value();
            for (float& v : l->params)
                v = value();
        }
    }

    /// A float that is sometimes ordinary, sometimes extreme, sometimes random bits.
    float value() {
        const float special[] = {0.0f,
                                 -0.0f,
                                 1.0f,
                                 -1.0f,
                                 0.5f,
                                 2e9f,
                                 -2e9f,
                                 1e-40f,
                                 3e38f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN()};
        switch (random() % 4) {
        case 0:
            return special[random() % (sizeof special / sizeof special[0])];
        case 1: {
            const std::uint32_t bits = static_cast<std::uint32_t>(random());
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        default:
            return std::uniform_real_distribution<float>(-40.0f, 40.0f)(random);
        }
    }

    std::mt19937 random;
};

void expectUsableEngine(const SynthEngine& e) {
    ASSERT_GE(e.tableLength, 0);
    if (e.tableLength > 0) {
        ASSERT_TRUE(e.carrierTable && e.modulatorTable && e.lfoTable);
        for (int i = 0; i < e.tableLength; ++i) {
            ASSERT_TRUE(std::isfinite(e.carrierTable[i])) << i;
            ASSERT_LE(std::fabs(e.carrierTable[i]), 0.9500001f) << i;
            ASSERT_TRUE(std::isfinite(e.modulatorTable[i])) << i;
            ASSERT_TRUE(std::isfinite(e.lfoTable[i])) << i;
        }
    }
    ASSERT_GE(e.curveLength, 0);
    if (e.curveLength > 0) {
        ASSERT_TRUE(e.curveTable);
    }
    for (float inc : e.noteIncrement)
        ASSERT_TRUE(std::isfinite(inc) && inc >= 0.0f);

    for (const Biquad* f : {&e.hpf, &e.lpf, &e.sendFilter})
        for (float c : {f->b0, f->b1, f->b2, f->a1, f->a2})
            ASSERT_TRUE(std::isfinite(c));

    const Ensemble& en = e.ensemble;
    if (en.lineRate != 0.0f) {
        ASSERT_TRUE(en.line);
        ASSERT_GE(en.maxDelay, 1);
        ASSERT_LE(en.maxDelay, en.lineLength);
        ASSERT_GE(en.minDelay, 0);
        ASSERT_LE(en.minDelay, en.maxDelay);
        ASSERT_GE(en.position, 0);
        ASSERT_LT(en.position, en.maxDelay);
        for (int t : en.taps)
            ASSERT_TRUE(t >= 0 && t < en.maxDelay) << t;
        ASSERT_TRUE(std::isfinite(en.lfoStep));
    }
    const Echo& echo = e.echo;
    if (echo.inverseLength != 0.0f) {
        ASSERT_TRUE(echo.line);
        ASSERT_GT(echo.length, 0);
        ASSERT_EQ(echo.inverseLength, 1.0f / float(echo.length));
        ASSERT_EQ(echo.position, 0);
    }
}

void runRecords(unsigned seed, int count) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    RecordSource source(seed);
    const float rates[] = {44100.0f, 8000.0f, 22050.0f, 1.0f, 0.0f, 150.0f, 96000.0f, 3000.0f};
    std::vector<float> scratch;
    for (int r = 0; r < count; ++r) {
        SCOPED_TRACE(r);
        const int slot = r % kPatchCount;
        source.fill(engine->patches[slot]);
        applyPatch(*engine, slot, -2);
        ASSERT_NO_FATAL_FAILURE(expectUsableEngine(*engine));

        scratch.assign(source.random() % 600, 0.0f);
        buildCarrierTable(scratch.data(), int(scratch.size()), engine->patches[slot]);
        for (float v : scratch)
            ASSERT_TRUE(std::isfinite(v));

        const int index = int(source.random() % 8) - 1;
        setPerformanceParameter(*engine, index, source.value(), source.value());
        char text[16];
        const float normalised = describePerformanceParameter(*engine, index, text);
        (void)normalised;
        ASSERT_NO_FATAL_FAILURE(expectUsableEngine(*engine));

        if (r % 40 == 0) {
            changeSampleRate(*engine, rates[(r / 40) % (sizeof rates / sizeof rates[0])]);
            ASSERT_NO_FATAL_FAILURE(expectUsableEngine(*engine));
        }
    }
}

} // namespace

TEST(HostilePatches, RandomRecordsFirstSeed) {
    runRecords(20240601u, 1500);
}

TEST(HostilePatches, RandomRecordsSecondSeed) {
    runRecords(7u, 1500);
}

TEST(HostilePatches, NamedExtremes) {
    auto engine = testsupport::makeTestEngine(44100.0f);
    Patch& p = *engine->patch;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    p.sendFrequency = nan;
    p.highPassHz = inf;
    p.lowPassHz = -inf;
    p.carrierLayers[0] = {4, -128, {0, 0}, 1.0f, {1, 1, 2e9f, 0, 0, 0, 0}};
    p.carrierLayers[1] = {2, 127, {0, 0}, nan, {1, 1, 1, 1, 1, 1, 1}};
    p.carrierLayers[2] = {3, 5, {0, 0}, 1.0f, {-3, nan, 1, -1e30f, 1, 1, 1}};
    p.modulatorLayer = {5, 0, {0, 0}, inf, {nan, 1e30f, 0, 0, 0, 0, 0}};
    p.envelopes[0].keyCentre = 0;
    p.envelopes[1].keyCentre = 127;
    p.sendReturn = -128;
    p.echoTime = -128;
    p.lfoRate = -128;
    p.window = -128;
    applyPatch(*engine, kRebuildCurrentPatch, 0);
    expectUsableEngine(*engine);
    // The values the record asked for are kept where the design could use them.
    EXPECT_EQ(engine->sendFilter.frequency, 0.5f);
    EXPECT_EQ(engine->lpf.frequency, 100.0f);
    EXPECT_EQ(engine->echo.length, 56);
    EXPECT_FLOAT_EQ(engine->ensemble.depth, 1.28f);
    for (int rate : {8000, 1, 0, 192000}) {
        changeSampleRate(*engine, float(rate));
        expectUsableEngine(*engine);
    }
}
