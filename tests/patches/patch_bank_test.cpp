// The built-in bank: the six documented programs byte for byte, the names and sanity of every
// defined program, the empty slots, and the header stamp.
#include "patches/patch_bank.h"
#include "patches/wave_tables.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

// ---- expected records, written out field by field ---------------------------------------------

Patch blankRecord(const char* name) {
    Patch p;
    std::memset(&p, 0, sizeof p);
    std::strcpy(p.name, name);
    return p;
}

void setScalars(Patch& p, int window, int modulation, int lfoRate, int lfoDepth, float sendHz,
                int sendReturn, int echoTime, int velocityTime, int attack, int sustain,
                float highPassHz, float lowPassHz) {
    p.window = static_cast<std::int8_t>(window);
    p.modulation = static_cast<std::int8_t>(modulation);
    p.lfoRate = static_cast<std::int8_t>(lfoRate);
    p.lfoDepth = static_cast<std::int8_t>(lfoDepth);
    p.sendFrequency = sendHz;
    p.sendReturn = static_cast<std::int8_t>(sendReturn);
    p.echoTime = static_cast<std::int8_t>(echoTime);
    p.velocityTime = static_cast<std::int8_t>(velocityTime);
    p.attack = static_cast<std::int8_t>(attack);
    p.sustain = static_cast<std::int8_t>(sustain);
    p.highPassHz = highPassHz;
    p.lowPassHz = lowPassHz;
}

void setLayer(WaveLayer& l, int shape, int repeats, float gain, std::initializer_list<float> p) {
    l.shape = static_cast<std::int8_t>(shape);
    l.repeats = static_cast<std::int8_t>(repeats);
    l.gain = gain;
    int i = 0;
    for (float v : p)
        l.params[i++] = v;
}

void setEnvelope(EnvelopeSpec& e, int keyCentre, int keyAmount, std::initializer_list<int> levels,
                 std::initializer_list<int> times) {
    e.keyCentre = static_cast<std::int8_t>(keyCentre);
    e.keyAmount = static_cast<std::int8_t>(keyAmount);
    std::int8_t* level[5] = {&e.startLevel, &e.peakLevel, &e.decayLevel, &e.sustainLevel,
                             &e.releaseLevel};
    std::int32_t* time[5] = {&e.attackMs, &e.holdMs, &e.decay1Ms, &e.decay2Ms, &e.releaseMs};
    int i = 0;
    for (int v : levels)
        *level[i++] = static_cast<std::int8_t>(v);
    i = 0;
    for (int v : times)
        *time[i++] = v;
}

Patch expectedLead1() {
    Patch p = blankRecord("Lead 1");
    setScalars(p, 0, 25, 59, 50, 2500.0f, -120, 40, 100, 0, 0, 150.0f, 6500.0f);
    setLayer(p.carrierLayers[0], 1, 1, 0.55f, {3.0f, 0.15f});
    setLayer(p.carrierLayers[1], 1, 2, 0.15f, {3.0f, 0.1f});
    setLayer(p.carrierLayers[2], 1, 4, 0.1f, {5.0f, 0.1f});
    setLayer(p.modulatorLayer, 1, 5, 1.0f, {1.0f, 0.1f});
    setEnvelope(p.envelopes[0], 32, 5, {30, 100, 70, 75, 0}, {20, 50, 250, 7000, 30});
    setEnvelope(p.envelopes[1], 32, 5, {55, 100, 100, 100, 95}, {5, 200, 150, 100, 30});
    setEnvelope(p.envelopes[2], 32, 5, {30, 100, 2, 3, 10}, {3, 7, 15, 800, 25});
    return p;
}

Patch expectedLead3() {
    Patch p = blankRecord("Lead 3");
    setScalars(p, 20, 50, 35, 20, 1500.0f, -120, 20, 100, 0, 0, 50.0f, 7000.0f);
    setLayer(p.carrierLayers[0], 4, 1, 0.55f, {4.0f, 0.0f, 1.0f});
    setLayer(p.carrierLayers[1], 4, 2, 0.55f, {2.0f, 0.0f, 1.0f});
    setLayer(p.carrierLayers[2], 4, 3, -0.35f, {3.0f, 0.0f, 1.0f});
    setLayer(p.modulatorLayer, 1, 1, 1.0f, {2.0f, 0.15f});
    setEnvelope(p.envelopes[0], 32, 5, {0, 100, 70, 65, 0}, {2, 50, 250, 5000, 30});
    setEnvelope(p.envelopes[1], 32, 5, {85, 101, 100, 100, 95}, {100, 20, 80, 100, 30});
    setEnvelope(p.envelopes[2], 32, 5, {0, 100, 50, 80, 100}, {1, 1, 1, 800, 25});
    return p;
}

Patch expectedLead7() {
    Patch p = blankRecord("Lead 7");
    setScalars(p, 20, 25, 50, 10, 2840.0f, -70, 80, 100, 0, 0, 50.0f, 15500.0f);
    setLayer(p.carrierLayers[0], 2, 1, 1.0f, {2.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f});
    setLayer(p.carrierLayers[1], 5, 2, 0.3f, {1.0f});
    setLayer(p.carrierLayers[2], 5, 3, 0.1f, {1.0f});
    setLayer(p.modulatorLayer, 1, 1, 1.0f, {1.0f, 0.52f});
    setEnvelope(p.envelopes[0], 32, 10, {0, 100, 70, 75, 0}, {50, 140, 290, 700, 80});
    setEnvelope(p.envelopes[1], 32, 10, {99, 103, 99, 100, 99}, {40, 20, 50, 150, 70});
    setEnvelope(p.envelopes[2], 32, 10, {60, 100, 25, 30, 60}, {150, 50, 210, 500, 90});
    return p;
}

Patch expectedPad1() {
    Patch p = blankRecord("Pad 1");
    setScalars(p, 20, 35, 70, 5, 1500.0f, -120, 0, 20, 0, 0, 50.0f, 10000.0f);
    setLayer(p.carrierLayers[0], 2, 1, 1.0f, {0.2f, 0.1f, 1.8f, 1.2f, 0.5f, 3.0f, 0.2f});
    setLayer(p.modulatorLayer, 1, 1, 1.0f, {1.0f, 0.3f});
    setEnvelope(p.envelopes[0], 32, 10, {0, 100, 60, 65, 0}, {30, 40, 290, 700, 80});
    setEnvelope(p.envelopes[1], 32, 10, {99, 100, 100, 100, 99}, {2, 2, 10, 150, 70});
    setEnvelope(p.envelopes[2], 32, 10, {30, 100, 55, 30, 60}, {350, 5, 70, 500, 50});
    return p;
}

Patch expectedKeys1() {
    Patch p = blankRecord("Keys 1");
    setScalars(p, 0, 40, 30, 15, 2540.0f, 120, -5, 100, 0, 0, 70.0f, 10000.0f);
    setLayer(p.carrierLayers[0], 1, 1, 5.0f, {5.0f, 0.1f});
    setLayer(p.carrierLayers[1], 1, 1, -1.5f, {3.5f, 0.2f});
    setLayer(p.carrierLayers[2], 2, 2, 1.0f, {1.0f, 0.5f, 0.1f, 0.0f, 0.3f, 1.0f, 0.1f});
    setLayer(p.modulatorLayer, 5, 9, 1.0f, {2.0f});
    setEnvelope(p.envelopes[0], 32, 10, {0, 100, 40, 5, 0}, {5, 40, 290, 4500, 80});
    setEnvelope(p.envelopes[1], 32, 10, {19, 101, 99, 100, 99}, {10, 20, 50, 150, 70});
    setEnvelope(p.envelopes[2], 32, 10, {30, 100, 50, 80, 20}, {2, 20, 7, 500, 90});
    return p;
}

Patch expectedBell1() {
    Patch p = blankRecord("Bell 1");
    setScalars(p, 0, 10, 25, 80, 4000.0f, 120, 10, 100, 0, 0, 100.0f, 12500.0f);
    setLayer(p.carrierLayers[0], 1, 1, 1.0f, {3.0f, 0.1f});
    setLayer(p.carrierLayers[1], 1, 2, -0.1f, {2.0f, 0.5f});
    setLayer(p.carrierLayers[2], 1, 4, -0.05f, {2.0f, 1.7f});
    setLayer(p.modulatorLayer, 2, 9, 1.0f, {1.5f, 0.15f});
    setEnvelope(p.envelopes[0], 64, 5, {0, 100, 40, 5, 0}, {5, 100, 90, 2500, 80});
    setEnvelope(p.envelopes[1], 64, 5, {50, 102, 99, 100, 97}, {2, 5, 10, 150, 70});
    setEnvelope(p.envelopes[2], 64, 5, {50, 100, 16, 4, 10}, {5, 2, 5, 50, 90});
    return p;
}

struct Documented {
    int slot;
    Patch (*expected)();
};

const Documented kDocumented[] = {{0, expectedLead1}, {2, expectedLead3},  {6, expectedLead7},
                                  {15, expectedPad1}, {23, expectedKeys1}, {38, expectedBell1}};

/// Offsets (from first) where two records differ, for a readable failure message.
std::string differences(const Patch& actual, const Patch& expected, int first) {
    const auto* a = reinterpret_cast<const unsigned char*>(&actual);
    const auto* e = reinterpret_cast<const unsigned char*>(&expected);
    std::string out;
    for (int i = first; i < kPatchRecordSize; ++i)
        if (a[i] != e[i])
            out += " @" + std::to_string(i) + ": " + std::to_string(a[i]) +
                   " != " + std::to_string(e[i]);
    return out;
}

const char* const kNames[kBuiltInPatchCount] = {
    "Lead 1",     "Lead 2",     "Lead 3",     "Lead 4",     "Lead 5",     "Lead 6",
    "Lead 7",     "Lead 8",     "Lead 9",     "Lead 10",    "Elephone 1", "Elephone 2",
    "Elephone 3", "Elephone 4", "Elephone 5", "Pad 1",      "Pad 2",      "Pad 3",
    "Pad 4",      "Pad 5",      "Pad 6",      "Pad 7",      "Pad 8",      "Keys 1",
    "Keys 2",     "Keys 3",     "Keys 4",     "Keys 5",     "Keys 6",     "Keys 7",
    "Keys 8",     "Keys 9",     "Sequence 1", "Sequence 2", "Sequence 3", "Sequence 4",
    "Sequence 5", "Sequence 6", "Bell 1",     "Bell 2",     "Bell 3",     "Bell 4",
    "Bell 5",     "Bell 6",     "Bell 7",     "Bell 8"};

} // namespace

// ---- documented programs ----------------------------------------------------------------------

TEST(PatchBankDocumented, SixProgramsMatchTheirTablesByteForByte) {
    for (const Documented& d : kDocumented) {
        SCOPED_TRACE(kNames[d.slot]);
        const Patch expected = d.expected();
        // Bytes 0..43 are the header that construction stamps; the rest is the program.
        EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&PatchBank[d.slot]) + kPatchHeaderSize,
                              reinterpret_cast<const char*>(&expected) + kPatchHeaderSize,
                              kPatchRecordSize - kPatchHeaderSize),
                  0)
            << differences(PatchBank[d.slot], expected, kPatchHeaderSize);
    }
}

TEST(PatchBankDocumented, StampedCopiesMatchWholeRecords) {
    auto engine = testsupport::makeTestEngine();
    for (const Documented& d : kDocumented) {
        SCOPED_TRACE(kNames[d.slot]);
        Patch expected = d.expected();
        expected.formatVersion = 1;
        std::memcpy(expected.productTag, "kelvar(Quarnel)", 16);
        expected.recordSize = 328;
        expected.recordSizeCheck = -329;
        EXPECT_EQ(std::memcmp(&engine->patches[d.slot], &expected, sizeof(Patch)), 0)
            << differences(engine->patches[d.slot], expected, 0);
    }
}

// ---- every defined program ----------------------------------------------------------------------

TEST(PatchBankPrograms, EveryDefinedSlotCarriesItsListedZeroPaddedName) {
    for (int k = 0; k < kBuiltInPatchCount; ++k) {
        SCOPED_TRACE(k);
        EXPECT_STREQ(PatchBank[k].name, kNames[k]);
        for (std::size_t i = std::strlen(kNames[k]); i < sizeof PatchBank[k].name; ++i)
            EXPECT_EQ(PatchBank[k].name[i], 0) << "name byte " << i;
    }
}

TEST(PatchBankPrograms, ScalarFieldsStayInTheirRanges) {
    for (int k = 0; k < kBuiltInPatchCount; ++k) {
        SCOPED_TRACE(kNames[k]);
        const Patch& p = PatchBank[k];
        // The four parameter bytes inside the ranges the parameters can set.
        EXPECT_GE(p.window, 0);
        EXPECT_LE(p.window, 100);
        EXPECT_GE(p.modulation, 0);
        EXPECT_LE(p.modulation, 100);
        EXPECT_GE(p.attack, -80);
        EXPECT_LE(p.attack, 100);
        EXPECT_GE(p.sustain, -99);
        EXPECT_LE(p.sustain, 100);
        EXPECT_GE(p.lfoRate, 1);
        EXPECT_TRUE(p.sendFrequency >= 20.0f && p.sendFrequency <= 16000.0f) << p.sendFrequency;
        // Inside the ranges of the "HPF" and "LPF" parameters.
        EXPECT_TRUE(p.highPassHz >= 10.0f && p.highPassHz <= 1500.0f) << p.highPassHz;
        EXPECT_TRUE(p.lowPassHz >= 2000.0f && p.lowPassHz <= 20000.0f) << p.lowPassHz;
        EXPECT_LT(p.highPassHz * 4.0f, p.lowPassHz);
        for (std::uint8_t b : p.pad)
            EXPECT_EQ(b, 0);
    }
}

TEST(PatchBankPrograms, LayersUseTheGeneratorsWithSaneValues) {
    for (int k = 0; k < kBuiltInPatchCount; ++k) {
        SCOPED_TRACE(kNames[k]);
        const Patch& p = PatchBank[k];
        const WaveLayer* layers[4] = {&p.carrierLayers[0], &p.carrierLayers[1], &p.carrierLayers[2],
                                      &p.modulatorLayer};
        for (const WaveLayer* l : layers) {
            EXPECT_TRUE(l->shape >= 0 && l->shape <= 5) << int(l->shape);
            EXPECT_EQ(l->pad[0], 0);
            EXPECT_EQ(l->pad[1], 0);
            if (l->shape == 0) {
                WaveLayer zero;
                std::memset(&zero, 0, sizeof zero);
                EXPECT_EQ(std::memcmp(l, &zero, sizeof zero), 0);
                continue;
            }
            EXPECT_NE(l->repeats, 0);
            EXPECT_LE(std::abs(l->repeats), 30);
            EXPECT_TRUE(std::isfinite(l->gain) && l->gain != 0.0f && std::fabs(l->gain) <= 10.0f);
            for (float v : l->params)
                EXPECT_TRUE(std::isfinite(v) && std::fabs(v) <= 20.0f) << v;
        }
        EXPECT_NE(p.modulatorLayer.shape, 0);
    }
}

TEST(PatchBankPrograms, EnvelopesStayInTheirRanges) {
    for (int k = 0; k < kBuiltInPatchCount; ++k) {
        SCOPED_TRACE(kNames[k]);
        for (const EnvelopeSpec& e : PatchBank[k].envelopes) {
            // A centre strictly inside 1..126 keeps both key-scaling slopes finite.
            EXPECT_TRUE(e.keyCentre >= 1 && e.keyCentre <= 126) << int(e.keyCentre);
            EXPECT_GE(e.keyAmount, -100);
            EXPECT_LE(e.keyAmount, 100);
            for (std::int8_t level :
                 {e.startLevel, e.peakLevel, e.decayLevel, e.sustainLevel, e.releaseLevel})
                EXPECT_GE(level, 0);
            EXPECT_EQ(e.pad, 0);
            for (std::int32_t t : {e.attackMs, e.holdMs, e.decay1Ms, e.decay2Ms, e.releaseMs}) {
                EXPECT_GE(t, 0);
                EXPECT_LE(t, 20000);
            }
            EXPECT_GT(e.releaseMs, 0);
        }
    }
}

// The pitch envelope's release ends at level 0, which stops oscillator A: in the designed
// programs it outlasts the amplitude release (same key scaling), so no release ends in a thump,
// and it releases toward the pitch it held, so no release detunes A against B and beats.
TEST(PatchBankPrograms, DesignedPitchEnvelopesOutlastTheAmplitudeAndHoldThePitch) {
    for (int k = 0; k < kBuiltInPatchCount; ++k) {
        if (k == 0 || k == 2 || k == 6 || k == 15 || k == 23 || k == 38) continue;
        SCOPED_TRACE(kNames[k]);
        const EnvelopeSpec& amplitude = PatchBank[k].envelopes[0];
        const EnvelopeSpec& pitch = PatchBank[k].envelopes[1];
        EXPECT_EQ(pitch.keyCentre, amplitude.keyCentre);
        EXPECT_EQ(pitch.keyAmount, amplitude.keyAmount);
        EXPECT_GT(pitch.releaseMs, amplitude.releaseMs);
        EXPECT_EQ(pitch.releaseLevel, pitch.sustainLevel);
    }
}

TEST(PatchBankPrograms, EveryProgramBuildsAudibleTables) {
    constexpr int L = 441;
    std::vector<float> carrier(L), modulator(L);
    for (int k = 0; k < kBuiltInPatchCount; ++k) {
        SCOPED_TRACE(kNames[k]);
        buildCarrierTable(carrier.data(), L, PatchBank[k]);
        float peak = 0;
        for (float v : carrier)
            peak = std::max(peak, std::fabs(v));
        EXPECT_NEAR(peak, 0.95f, 1e-6f);
        clearWaveTable(modulator.data(), L);
        addWaveLayer(modulator.data(), L, PatchBank[k].modulatorLayer);
        float modPeak = 0;
        for (float v : modulator)
            modPeak = std::max(modPeak, std::fabs(v));
        EXPECT_GT(modPeak, 0.1f);
        EXPECT_TRUE(std::isfinite(modPeak));
    }
}

// ---- empty slots and the header stamp -----------------------------------------------------------

TEST(PatchBankEmptySlots, SlotsFrom46AreAllZero) {
    for (int k = kBuiltInPatchCount; k < kPatchCount; ++k) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&PatchBank[k]);
        for (int i = 0; i < kPatchRecordSize; ++i)
            ASSERT_EQ(bytes[i], 0) << k << "@" << i;
    }
}

TEST(PatchBankEmptySlots, EmptySlotsGiveSilentCarrierTables) {
    auto engine = testsupport::makeTestEngine();
    for (int k = kBuiltInPatchCount; k < kPatchCount; ++k) {
        std::vector<float> table(441, 0.5f);
        buildCarrierTable(table.data(), 441, engine->patches[k]);
        for (float v : table)
            ASSERT_EQ(v, 0.0f) << k;
        EXPECT_EQ(engine->patches[k].name[0], 0);
    }
}

TEST(PatchHeaderStamp, WritesTheHeaderAndKeepsTheRestOfTheTagField) {
    Patch p;
    std::memset(&p, 0xAB, sizeof p);
    stampPatchHeader(p);
    const auto* b = reinterpret_cast<const unsigned char*>(&p);
    const unsigned char version[4] = {1, 0, 0, 0};
    const unsigned char size[4] = {0x48, 0x01, 0, 0};
    const unsigned char check[4] = {0xB7, 0xFE, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(b, version, 4), 0);
    EXPECT_EQ(std::memcmp(b + 4, "kelvar(Quarnel)", 16), 0);
    for (int i = 20; i < 36; ++i)
        EXPECT_EQ(b[i], 0xAB) << i;
    EXPECT_EQ(std::memcmp(b + 36, size, 4), 0);
    EXPECT_EQ(std::memcmp(b + 40, check, 4), 0);
    for (int i = kPatchHeaderSize; i < kPatchRecordSize; ++i)
        ASSERT_EQ(b[i], 0xAB) << i;
}

TEST(PatchHeaderStamp, EveryEngineSlotIsStampedAndSlotZeroIsCurrent) {
    auto engine = testsupport::makeTestEngine();
    EXPECT_EQ(engine->patch, &engine->patches[0]);
    for (int k = 0; k < kPatchCount; ++k) {
        const Patch& p = engine->patches[k];
        EXPECT_EQ(p.formatVersion, 1);
        EXPECT_STREQ(p.productTag, "kelvar(Quarnel)");
        for (int i = 16; i < 32; ++i)
            EXPECT_EQ(p.productTag[i], 0);
        EXPECT_EQ(p.recordSize, 328);
        EXPECT_EQ(p.recordSizeCheck, -329);
        EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&p) + kPatchHeaderSize,
                              reinterpret_cast<const char*>(&PatchBank[k]) + kPatchHeaderSize,
                              kPatchRecordSize - kPatchHeaderSize),
                  0)
            << k;
    }
}
