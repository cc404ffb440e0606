// The plug-in object built directly: construction state, shared process-wide data, the rate
// and block-size hooks, and the diagnostic log's file behaviour.
#include "patches/patch_bank.h"
#include "patches/sample_rate.h"
#include "platform/platform.h"
#include "instrument/diagnostic_log.h"
#include "shell/kel_vst.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

std::unique_ptr<kelVst> makePlugin() {
    return std::make_unique<kelVst>(&host);
}

std::string logPath() {
    char path[kModulePathLength];
    platform::siblingPath(modulePathBuffer, kLogFileName, path, sizeof(path));
    return path;
}

bool fileExists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

/// The log is a text file: read it in text mode, so Windows line ends read as newlines.
std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
} // namespace

TEST(PluginObject, StateAfterConstruction) {
    auto plugin = makePlugin();
    PluginCore& core = plugin->getCore();
    EXPECT_TRUE(plugin->isConstructed());
    EXPECT_EQ(plugin->getBusyFlags().suspended.load(), 1);
    EXPECT_EQ(plugin->getBusyFlags().engineBusy.load(), 0);
    EXPECT_EQ(core.curProgram, 0);
    EXPECT_EQ(core.engine->patch, &core.engine->patches[0]);
    EXPECT_NE(core.paramCache, nullptr);
    EXPECT_EQ(core.numParams, 6);
    EXPECT_EQ(core.numPrograms, 64);
    EXPECT_EQ(core.uniqueId, 0x6C786667);
    EXPECT_EQ(core.vendorVersion, 201);
    EXPECT_EQ(core.flags, 7u);
    EXPECT_EQ(core.numInputs, 2);
    EXPECT_EQ(core.numOutputs, 2);
    EXPECT_EQ(core.paramStringLength, 8);
    EXPECT_EQ(core.vendorStringLength, 64);
    EXPECT_EQ(core.productStringLength, 64);
    EXPECT_STREQ(core.tag, "kel_vst_9050");
    EXPECT_EQ(core.editorWidth, 364);
    EXPECT_EQ(core.editorHeight, 104);
    EXPECT_FLOAT_EQ(core.editorScale, 1.0f);
    EXPECT_FLOAT_EQ(core.sampleRate, 44100.0f);
    EXPECT_FLOAT_EQ(core.inverseSampleRate, 1.0f / 44100.0f);
    EXPECT_EQ(core.blockSize, 1024);
    EXPECT_EQ(core.fileCallback, &loadPatchOverride);
    EXPECT_EQ(core.redrawAll, 0);
    EXPECT_EQ(core.editorWindow, nullptr);
    EXPECT_FLOAT_EQ(core.channels[0].bendRange, 1.09f);
    for (int ch = 1; ch < kChannelCount; ++ch)
        EXPECT_FLOAT_EQ(core.channels[ch].bendRange, 2.0f);
    // Tables exist from construction on, so a host that renders before setting a rate is safe.
    EXPECT_EQ(core.engine->tableLength, 441);
}

TEST(PluginObject, EveryProgramRecordIsStamped) {
    auto plugin = makePlugin();
    for (int slot = 0; slot < kPatchCount; ++slot) {
        const Patch& p = plugin->getCore().engine->patches[slot];
        EXPECT_EQ(p.formatVersion, 1) << slot;
        EXPECT_STREQ(p.productTag, "kelvar(Quarnel)") << slot;
        EXPECT_EQ(p.recordSize, 328) << slot;
        EXPECT_EQ(p.recordSizeCheck, -329) << slot;
    }
}

TEST(PluginObject, ProcessWideDataIsShared) {
    auto a = makePlugin();
    auto b = makePlugin();
    EXPECT_EQ(a->getCore().names, b->getCore().names);
    EXPECT_EQ(a->getCore().modulePath, b->getCore().modulePath);
    EXPECT_NE(a->getCore().engine.get(), b->getCore().engine.get());
    EXPECT_FLOAT_EQ(noteFrequency[69], 440.0f);
    EXPECT_FLOAT_EQ(noteFrequency[57], 220.0f);
    EXPECT_FLOAT_EQ(noteFrequency[81], 880.0f);
    EXPECT_STREQ(nameTable[0], "kelvar(Quarnel)");
    EXPECT_STREQ(nameTable[3 + 2 * 5], "LPF");
    EXPECT_STREQ(nameTable[4 + 2 * 5], "[Hz]");
    EXPECT_NE(std::strlen(modulePathBuffer), 0u);
}

TEST(PluginObject, RateAndBlockSizeHooks) {
    auto plugin = makePlugin();
    PluginCore& core = plugin->getCore();
    plugin->setSampleRate(48000.0f);
    EXPECT_FLOAT_EQ(core.sampleRate, 48000.0f);
    EXPECT_FLOAT_EQ(core.inverseSampleRate, 1.0f / 48000.0f);
    EXPECT_EQ(core.engine->tableLength, 480);
    EXPECT_FLOAT_EQ(core.engine->voices[3].usPerSample, 1e6f / 48000.0f);
    plugin->setBlockSize(256);
    EXPECT_EQ(core.blockSize, 256);
    EXPECT_EQ(core.engine->tableLength, 480); // rebuilt at the held rate
    plugin->setBlockSize(0);                  // ignored: the render loop needs a positive size
    EXPECT_EQ(core.blockSize, 256);
    plugin->resume();
    EXPECT_EQ(plugin->getBusyFlags().suspended.load(), 0);
    plugin->suspend();
    EXPECT_EQ(plugin->getBusyFlags().suspended.load(), 1);
    EXPECT_EQ(core.blockSize, 256);
    EXPECT_FLOAT_EQ(core.sampleRate, 48000.0f);
}

TEST(DiagnosticLog, CreatedOnlyByAWriteAndRestartedAfterAClose) {
    { auto first = makePlugin(); } // the module's path is known from the first instance on
    const std::string path = logPath();
    ASSERT_FALSE(path.empty());
    std::remove(path.c_str());
    {
        auto a = makePlugin();
        auto b = makePlugin();
    }
    EXPECT_FALSE(fileExists(path)) << "no instance writes to the log";

    writeLog("a,%d\n", 1);
    writeLog("a,%d\n", 2);
    { auto plugin = makePlugin(); } // its destructor closes the shared log
    EXPECT_EQ(readFile(path), "a,1\na,2\n");

    writeLog("b,%s\n", "x");
    writeLog(nullptr);
    EXPECT_EQ(readFile(path), "b,x\n") << "a write after a close starts an empty file";
    writeLog(nullptr); // closing twice is harmless
    std::remove(path.c_str());
}
