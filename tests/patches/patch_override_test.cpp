// The override file: the eleven-line text format, partial and malformed files, and files that
// must be refused.
#include "patches/patch_override.h"

#include "engine/synth_engine.h"
#include "patches/patch_application.h"
#include "patches/patch_bank.h"
#include "patches/wave_tables.h"
#include "tests/support/test_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const kLead1Lines[11] = {
    "Lead 1, 0, 25,",
    "59, 50, 2500, -120, 40",
    "100, 0, 0,",
    "150, 6500,",
    "1, 1, 0.55, 3, 0.15, 0, 0, 0, 0, 0,",
    "1, 2, 0.15, 3, 0.1, 0, 0, 0, 0, 0,",
    "1, 4, 0.1, 5, 0.1, 0, 0, 0, 0, 0,",
    "1, 5, 1, 1, 0.1, 0, 0, 0, 0, 0,",
    "32, 5, 30, 100, 70, 75, 0, 20, 50, 250, 7000, 30,",
    "32, 5, 55, 100, 100, 100, 95, 5, 200, 150, 100, 30,",
    "32, 5, 30, 100, 2, 3, 10, 3, 7, 15, 800, 25,",
};

class OverrideFile : public ::testing::Test {
  protected:
    void SetUp() override {
        engine = testsupport::makeTestEngine();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = ::testing::TempDir() + "quarnel_override_" + info->name() + ".txt";
    }
    void TearDown() override { std::remove(path.c_str()); }

    void write(const std::string& contents) {
        std::ofstream out(path, std::ios::binary);
        out << contents;
    }
    bool load() { return loadPatchOverrideFile(*engine, path.c_str(), 0); }
    Patch& current() { return *engine->patch; }

    std::unique_ptr<SynthEngine> engine;
    std::string path;
};

std::string lead1File() {
    std::string text;
    for (const char* line : kLead1Lines)
        text += std::string(line) + "\n";
    return text;
}

std::vector<float> carrierOf(const Patch& p) {
    std::vector<float> t(441);
    buildCarrierTable(t.data(), 441, p);
    return t;
}

} // namespace

TEST_F(OverrideFile, TheLead1LinesReproduceSlotZeroFromAnotherRecord) {
    // Give slot 0 every sound field of "Bell 1"; the header and name stay those of slot 0.
    std::memcpy(reinterpret_cast<char*>(&current()) + 76,
                reinterpret_cast<const char*>(&engine->patches[38]) + 76, kPatchRecordSize - 76);
    Patch expected;
    std::memcpy(&expected, &PatchBank[0], sizeof expected);
    stampPatchHeader(expected);
    ASSERT_NE(std::memcmp(&current(), &expected, sizeof expected), 0);
    write(lead1File());
    ASSERT_TRUE(load());

    EXPECT_EQ(std::memcmp(&current(), &expected, sizeof expected), 0);
    // ... and the patch was applied.
    EXPECT_EQ(std::vector<float>(engine->carrierTable.get(), engine->carrierTable.get() + 441),
              carrierOf(expected));
    EXPECT_EQ(engine->echo.length, 17);
    EXPECT_EQ(engine->hpf.frequency, 150.0f);
}

TEST_F(OverrideFile, WindowsLineEndingsAndTrailingBlanksAreAccepted) {
    std::string text;
    for (const char* line : kLead1Lines)
        text += std::string(line) + "  \r\n";
    applyPatch(*engine, 38, 0);
    Patch before = current();
    write(text);
    ASSERT_TRUE(load());
    EXPECT_EQ(current().lfoRate, 59);
    EXPECT_EQ(current().sendFrequency, 2500.0f);
    EXPECT_EQ(current().envelopes[2].releaseMs, 25);
    EXPECT_STREQ(current().name, before.name);
}

TEST_F(OverrideFile, AOneLineFileSetsWindowAndModulationAndReappliesThePatch) {
    Patch before = current();
    current().highPassHz = 400.0f; // picked up by the re-application
    write("anything, 60, 7,\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 60);
    EXPECT_EQ(current().modulation, 7);
    EXPECT_EQ(current().lfoRate, before.lfoRate);
    EXPECT_EQ(current().sendFrequency, before.sendFrequency);
    EXPECT_EQ(engine->hpf.frequency, 400.0f);
    EXPECT_EQ(std::vector<float>(engine->carrierTable.get(), engine->carrierTable.get() + 441),
              carrierOf(current()));
}

TEST_F(OverrideFile, AnEmptyFileStillReappliesThePatch) {
    current().lowPassHz = 3000.0f;
    write("");
    ASSERT_TRUE(load());
    EXPECT_EQ(engine->lpf.frequency, 3000.0f);
}

TEST_F(OverrideFile, ByteFieldsKeepTheLowEightBits) {
    write("x, 300, -1,\n44, -200, 1e3, 256, 383\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 44);
    EXPECT_EQ(current().modulation, -1);
    EXPECT_EQ(current().lfoRate, 44);
    EXPECT_EQ(current().lfoDepth, 56);
    EXPECT_EQ(current().sendFrequency, 1000.0f);
    EXPECT_EQ(current().sendReturn, 0);
    EXPECT_EQ(current().echoTime, 127);
}

TEST_F(OverrideFile, Int32TimesAndFloatsAreStoredAsParsed) {
    std::string text = "a,1,2,\n1,2,3,4,5\n1,2,3,\n1.5,2.25,\n";
    text += "4,3,-0.5,1e-3,7,0,0,0,0,-2.5,\n\n\n\n";
    text += "64,-128,1,2,3,4,5,123456,-7,0,2147483647,99999,\n";
    write(text);
    ASSERT_TRUE(load());
    EXPECT_EQ(current().highPassHz, 1.5f);
    EXPECT_EQ(current().lowPassHz, 2.25f);
    const WaveLayer& l = current().carrierLayers[0];
    EXPECT_EQ(l.shape, 4);
    EXPECT_EQ(l.repeats, 3);
    EXPECT_EQ(l.gain, -0.5f);
    EXPECT_EQ(l.params[0], 1e-3f);
    EXPECT_EQ(l.params[1], 7.0f);
    EXPECT_EQ(l.params[6], -2.5f);
    const EnvelopeSpec& e = current().envelopes[0];
    EXPECT_EQ(e.keyCentre, 64);
    EXPECT_EQ(e.keyAmount, -128);
    EXPECT_EQ(e.releaseLevel, 5);
    EXPECT_EQ(e.attackMs, 123456);
    EXPECT_EQ(e.holdMs, -7);
    EXPECT_EQ(e.decay1Ms, 0);
    EXPECT_EQ(e.decay2Ms, 2147483647);
    EXPECT_EQ(e.releaseMs, 99999);
}

TEST_F(OverrideFile, TheLabelIsSkippedWhateverItContains) {
    write("%d 1 2 3 label without commas, 50, 0,\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 50);
    EXPECT_EQ(current().modulation, 0);
}

TEST_F(OverrideFile, WithoutACommaInTheFirst32CharactersMatchingStartsAtThe33rd) {
    // 32 characters of label, then the numbers.
    write("abcdefghijklmnopqrstuvwxyz012345 33, 44,\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 33);
    EXPECT_EQ(current().modulation, 44);

    // A short first line without a comma supplies nothing.
    current().window = 9;
    write("12 13\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 9);
}

TEST_F(OverrideFile, AMismatchStopsTheLineAndKeepsTheRemainingFields) {
    Patch before = current();
    // Line 2: a blank before the comma ends the match after the first number.
    write("l, 1, 2,\n70 , 71, 72, 73, 74\n5, x, 6,\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().lfoRate, 70);
    EXPECT_EQ(current().lfoDepth, before.lfoDepth);
    EXPECT_EQ(current().sendFrequency, before.sendFrequency);
    EXPECT_EQ(current().velocityTime, 5);
    EXPECT_EQ(current().attack, before.attack);
    EXPECT_EQ(current().sustain, before.sustain);
}

TEST_F(OverrideFile, LinesAfterTheEleventhAreIgnored) {
    std::string text = lead1File();
    text += "55, 66,\n"; // a twelfth line
    current().window = 3;
    write(text);
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 0);
    Patch expected;
    std::memcpy(&expected, &PatchBank[0], sizeof expected);
    stampPatchHeader(expected);
    EXPECT_EQ(std::memcmp(&current(), &expected, sizeof expected), 0);
}

TEST_F(OverrideFile, ALineLongerThan259CharactersContinuesAsTheNextLine) {
    // 259 characters of line 1 (the numbers, then padding), then what fgets hands out as
    // line 2: the rest of the physical line.
    std::string first = "label, 5, 6,";
    first += std::string(259 - first.size(), ' ');
    write(first + "11, 12, 3000, 14, 15\n100, 20, 30,\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, 5);
    EXPECT_EQ(current().modulation, 6);
    EXPECT_EQ(current().lfoRate, 11);
    EXPECT_EQ(current().lfoDepth, 12);
    EXPECT_EQ(current().sendFrequency, 3000.0f);
    EXPECT_EQ(current().sendReturn, 14);
    EXPECT_EQ(current().echoTime, 15);
    EXPECT_EQ(current().velocityTime, 100);
    EXPECT_EQ(current().attack, 20);
}

TEST_F(OverrideFile, MissingFilesAndDirectoriesChangeNothing) {
    Patch before = current();
    engine->hpf.frequency = 321.0f; // a re-application would reset it
    EXPECT_FALSE(loadPatchOverrideFile(*engine, (path + ".missing").c_str(), 0));
    EXPECT_FALSE(loadPatchOverrideFile(*engine, ::testing::TempDir().c_str(), 0));
    EXPECT_FALSE(loadPatchOverrideFile(*engine, "", 0));
    EXPECT_FALSE(loadPatchOverrideFile(*engine, nullptr, 0));
    EXPECT_EQ(std::memcmp(&before, &current(), sizeof before), 0);
    EXPECT_EQ(engine->hpf.frequency, 321.0f);
}

TEST_F(OverrideFile, TheCurrentProgramIsTheOneWritten) {
    applyPatch(*engine, 12, 0);
    write("x, 77, 78,\n");
    ASSERT_TRUE(loadPatchOverrideFile(*engine, path.c_str(), 12));
    EXPECT_EQ(engine->patches[12].window, 77);
    EXPECT_EQ(engine->patches[0].window, 0);
}

TEST_F(OverrideFile, HostileNumbersAreStoredWithoutHarm) {
    write("x, 99999999999999999999999, -99999999999999999999,\n"
          "1, 2, nan, 3, 4\n"
          "1, 2, 3,\n"
          "inf, -inf,\n"
          "4, 1, 1e39, 8e0, nan, -1e300, 0, 0, 0, 0,\n");
    ASSERT_TRUE(load());
    EXPECT_EQ(current().window, -1);    // low bits of the saturated conversion
    EXPECT_EQ(current().modulation, 0); // low bits of LLONG_MIN
    EXPECT_TRUE(std::isnan(current().sendFrequency));
    EXPECT_TRUE(std::isinf(current().highPassHz));
    EXPECT_EQ(current().carrierLayers[0].params[0], 8.0f);
    // The patch was applied: finite tables and filters despite the values.
    for (int i = 0; i < 441; ++i)
        ASSERT_TRUE(std::isfinite(engine->carrierTable[i]));
    for (float c : {engine->hpf.b0, engine->hpf.a1, engine->sendFilter.b0, engine->sendFilter.a2})
        EXPECT_TRUE(std::isfinite(c));
}

TEST_F(OverrideFile, RandomBinaryGarbageNeverCrashes) {
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        std::string text(random() % 4000, '\0');
        for (char& c : text) {
            const unsigned r = random();
            // Mostly bytes that form numbers and separators, sometimes anything at all.
            c = (r % 4 == 0) ? char(r >> 8) : "0123456789,-. \ne+x"[(r >> 8) % 17];
        }
        write(text);
        ASSERT_TRUE(load());
        for (int i = 0; i < engine->tableLength; ++i)
            ASSERT_TRUE(std::isfinite(engine->carrierTable[i]));
    }
}
