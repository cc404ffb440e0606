// Program selection and chunk loading on the plug-in object itself, where the derived tables
// can be inspected: what rebuilds and what does not.
#include "platform/platform.h"
#include "shell/kel_vst.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

std::vector<float> carrier(const SynthEngine& engine) {
    return std::vector<float>(engine.carrierTable.get(),
                              engine.carrierTable.get() + engine.tableLength);
}
} // namespace

TEST(ProgramSelection, CurrentNumberRefreshesTheCacheButRebuildsNothing) {
    auto plugin = std::make_unique<kelVst>(&host);
    plugin->setSampleRate(44100.0f);
    PluginCore& core = plugin->getCore();
    const std::vector<float> before = carrier(*core.engine);
    core.engine->patches[0].window = 100; // edited without a rebuild
    plugin->setProgram(0);
    EXPECT_EQ(carrier(*core.engine), before) << "re-selecting the current program rebuilt";
    EXPECT_FLOAT_EQ(core.paramCache[0], 1.0f) << "the parameter cache was not refreshed";
    plugin->setProgram(1);
    plugin->setProgram(0);
    EXPECT_NE(carrier(*core.engine), before) << "selecting another program must rebuild";
}

TEST(ProgramSelection, AcceptedChunkIsAppliedRejectedIsNot) {
    auto plugin = std::make_unique<kelVst>(&host);
    plugin->setSampleRate(44100.0f);
    PluginCore& core = plugin->getCore();
    const std::vector<float> before = carrier(*core.engine);
    Patch preset;
    std::memcpy(&preset, &core.engine->patches[0], sizeof(preset));
    preset.window = 100;
    EXPECT_EQ(plugin->setChunk(&preset, sizeof(preset), true), 328);
    EXPECT_NE(carrier(*core.engine), before) << "a loaded chunk must sound as saved";
    const std::vector<float> loaded = carrier(*core.engine);
    preset.window = 0;
    preset.formatVersion = 2;
    EXPECT_EQ(plugin->setChunk(&preset, sizeof(preset), true), 0);
    EXPECT_EQ(carrier(*core.engine), loaded);
    EXPECT_EQ(core.engine->patches[0].window, 100);
}

TEST(ProgramSelection, NegativeProgramIsIgnored) {
    auto plugin = std::make_unique<kelVst>(&host);
    plugin->setProgram(3);
    plugin->setProgram(-5);
    EXPECT_EQ(plugin->getCore().curProgram, 3);
    EXPECT_EQ(plugin->getProgram(), 3);
    EXPECT_EQ(plugin->getCore().engine->patch, &plugin->getCore().engine->patches[3]);
}

TEST(OverrideLoader, TitleReleaseReadsDebugTxtBesideTheLibrary) {
    auto plugin = std::make_unique<kelVst>(&host);
    plugin->setSampleRate(44100.0f);
    PluginCore& core = plugin->getCore();
    char path[kModulePathLength];
    platform::siblingPath(core.modulePath, "debug.txt", path, sizeof(path));
    ASSERT_NE(path[0], 0);
    {
        std::ofstream out(path);
        out << "Changed, 77, 11,\n";
    }
    const Patch before = core.engine->patches[0];
    const std::vector<float> carrierBefore = carrier(*core.engine);
    // Presses, right-button releases and other controls never read the file.
    core.fileCallback(&core, kTitleControlIndex, 513);
    core.fileCallback(&core, kTitleControlIndex, 517);
    core.fileCallback(&core, 0, kMessageLeftButtonUp);
    EXPECT_EQ(std::memcmp(&core.engine->patches[0], &before, sizeof(Patch)), 0);

    core.fileCallback(&core, kTitleControlIndex, kMessageLeftButtonUp);
    std::remove(path);
    EXPECT_EQ(core.engine->patches[0].window, 77);
    EXPECT_EQ(core.engine->patches[0].modulation, 11);
    EXPECT_STREQ(core.engine->patches[0].name, "Lead 1") << "the file never writes the name";
    EXPECT_NE(carrier(*core.engine), carrierBefore) << "the changed program was not re-applied";
    // Without the file, a release changes nothing.
    const Patch after = core.engine->patches[0];
    core.fileCallback(&core, kTitleControlIndex, kMessageLeftButtonUp);
    EXPECT_EQ(std::memcmp(&core.engine->patches[0], &after, sizeof(Patch)), 0);
}
