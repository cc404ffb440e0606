// The plug-in as a host sees it through its entry point: identity, counts, flags and the
// answer to every dispatcher opcode.
#include "host_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

using hosttest::library;
using hosttest::newInstance;

namespace {
VstIntPtr refusingHost(AEffect*, VstInt32, VstInt32, VstIntPtr, void*, float) {
    return 0;
}

int versionQueries = 0;
VstIntPtr countingHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterVersion) ++versionQueries;
    return 2400;
}

#if defined(QUARNEL_PLUGIN_HAS_PANEL)
constexpr VstInt32 kExpectedFlags = 0x131;
#else
constexpr VstInt32 kExpectedFlags = 0x130; // a Linux build without the X11 panel
#endif
} // namespace

TEST(EntryPoint, LibraryExportsBothNames) {
    ASSERT_TRUE(library().loaded()) << library().error();
    ASSERT_NE(library().mainEntryPoint(), nullptr);
    AEffect* viaMain = library().mainEntryPoint()(&vsthost::hostCallback);
    ASSERT_NE(viaMain, nullptr);
    EXPECT_EQ(viaMain->magic, kEffectMagic);
    EXPECT_EQ(viaMain->dispatcher(viaMain, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST(EntryPoint, HostAnsweringZeroGetsNoInstance) {
    ASSERT_TRUE(library().loaded()) << library().error();
    EXPECT_EQ(library().entryPoint()(&refusingHost), nullptr);
}

TEST(EntryPoint, AsksTheHostVersionExactlyOnce) {
    versionQueries = 0;
    vsthost::PluginInstance instance(library(), &countingHost);
    ASSERT_TRUE(instance.valid());
    instance.start(48000.0f, 256);
    instance.dispatch(effSetProgram, 0, 3);
    EXPECT_EQ(versionQueries, 1);
}

TEST(Record, IdentityCountsAndFlags) {
    auto fx = newInstance(false);
    ASSERT_TRUE(fx->valid());
    const AEffect* e = fx->effect();
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->numPrograms, 64);
    EXPECT_EQ(e->numParams, 6);
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, kExpectedFlags);
    EXPECT_EQ(e->uniqueID, 0x6C786667);
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_FLOAT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->user, nullptr);
    EXPECT_EQ(e->resvd1, 0);
    EXPECT_EQ(e->resvd2, 0);
    EXPECT_NE(e->object, nullptr);
    for (char c : e->future)
        EXPECT_EQ(c, 0);
}

TEST(Dispatcher, FixedAnswers) {
    auto fx = newInstance();
    struct Case {
        VstInt32 opcode;
        VstIntPtr expected;
    };
    const std::vector<Case> cases = {
        {effOpen, 0},
        {effGetVu, 0},
        {effIdentify, 0x4E764566},
        {effString2Parameter, 0},
        {effGetInputProperties, 0},
        {effGetOutputProperties, 0},
        {effGetPlugCategory, 2},
        {effOfflineNotify, 0},
        {effOfflinePrepare, 0},
        {effOfflineRun, 0},
        {effProcessVarIo, 0},
        {effSetSpeakerArrangement, 0},
        {effSetBlockSizeAndSampleRate, 0},
        {effSetBypass, 0},
        {effGetVendorVersion, 201},
        {effVendorSpecific, 0},
        {effGetTailSize, 0},
        {effGetParameterProperties, 0},
        {effGetVstVersion, 2400},
        {effGetMidiProgramName, 0},
        {effGetCurrentMidiProgram, -1},
        {effGetMidiProgramCategory, 0},
        {effHasMidiProgramsChanged, 0},
        {effGetMidiKeyName, 0},
        {effBeginSetProgram, 0},
        {effEndSetProgram, 0},
        {effShellGetNextPlugin, 0},
        {effStartProcess, 0},
        {effStopProcess, 0},
        {effSetPanLaw, 0},
        {effBeginLoadBank, 0},
        {effBeginLoadProgram, 0},
        {effSetProcessPrecision, 0},
        {effGetNumMidiInputChannels, 0},
        {effGetNumMidiOutputChannels, 0},
        {effGetNumProgramCategories, 0},
        {effCopyProgram, 0},
        {effConnectInput, 0},
        {effConnectOutput, 0},
        {effGetCurrentPosition, 0},
        {effGetDestinationBuffer, 0},
        {effGetErrorText, 0},
        {effIdle, 0},
        {effGetIcon, 0},
        {effSetViewPosition, 0},
        {effKeysRequired, 0},
        {effEditDraw, 0},
        {effEditMouse, 0},
        {effEditKey, 0},
        {effEditTop, 0},
        {effEditSleep, 0},
        {80, 0},
        {81, 0},
        {1000, 0},
        {-1, 0},
        {-100, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fx->dispatch(c.opcode), c.expected) << "opcode " << c.opcode;
}

TEST(Dispatcher, ValueEchoAndAutomation) {
    auto fx = newInstance();
    EXPECT_EQ(fx->dispatch(effSetTotalSampleToProcess, 0, 123456), 123456);
    EXPECT_EQ(fx->dispatch(effSetTotalSampleToProcess, 0, -7), -7);
    for (VstInt32 index : {0, 5, 6, -1, 1000})
        EXPECT_EQ(fx->dispatch(effCanBeAutomated, index), 1) << index;
}

TEST(Dispatcher, SpeakerArrangementStoresNulls) {
    auto fx = newInstance();
    void* input = &input;
    void* output = &output;
    EXPECT_EQ(
        fx->dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
}

TEST(Dispatcher, IdentityStrings) {
    auto fx = newInstance();
    EXPECT_EQ(fx->dispatch(effGetEffectName, 0, 0, std::string(64, 'x').data()), 1);
    EXPECT_EQ(fx->text(effGetEffectName), "kelvar(Quarnel)");
    EXPECT_EQ(fx->text(effGetVendorString), "kel");
    EXPECT_EQ(fx->text(effGetProductString), "Quarnel");
    char canDo1[] = "receiveVstEvents";
    char canDo2[] = "receiveVstMidiEvent";
    char canDo3[] = "sendVstMidiEvent";
    char canDo4[] = "";
    EXPECT_EQ(fx->dispatch(effCanDo, 0, 0, canDo1), 1);
    EXPECT_EQ(fx->dispatch(effCanDo, 0, 0, canDo2), 1);
    EXPECT_EQ(fx->dispatch(effCanDo, 0, 0, canDo3), -1);
    EXPECT_EQ(fx->dispatch(effCanDo, 0, 0, canDo4), -1);
}

TEST(Dispatcher, ProgramSelectionAndRange) {
    auto fx = newInstance();
    EXPECT_EQ(fx->dispatch(effGetProgram), 0);
    EXPECT_EQ(fx->dispatch(effSetProgram, 0, 5), 0);
    EXPECT_EQ(fx->dispatch(effGetProgram), 5);
    EXPECT_EQ(fx->dispatch(effSetProgram, 0, 64), 0);
    EXPECT_EQ(fx->dispatch(effGetProgram), 5);
    fx->dispatch(effSetProgram, 0, -1);
    EXPECT_EQ(fx->dispatch(effGetProgram), 5);
    fx->dispatch(effSetProgram, 0, 1000);
    EXPECT_EQ(fx->dispatch(effGetProgram), 5);
    fx->dispatch(effSetProgram, 0, 63);
    EXPECT_EQ(fx->dispatch(effGetProgram), 63);
    char name[64] = "unchanged";
    EXPECT_EQ(fx->dispatch(effSetProgramName, 0, 0, name), 0);
    EXPECT_EQ(fx->text(effGetProgramName), "");
    fx->dispatch(effSetProgram, 0, 0);
    EXPECT_EQ(fx->text(effGetProgramName), "Lead 1");
}

TEST(Dispatcher, EditorOpcodesWithoutOrWithPanel) {
    auto fx = newInstance();
    ERect* rect = nullptr;
    VstIntPtr got = fx->dispatch(effEditGetRect, 0, 0, &rect);
    if (fx->effect()->flags & effFlagsHasEditor) {
        ASSERT_EQ(got, 1);
        ASSERT_NE(rect, nullptr);
        EXPECT_EQ(rect->top, 0);
        EXPECT_EQ(rect->left, 0);
        EXPECT_EQ(rect->bottom, 104);
        EXPECT_EQ(rect->right, 364);
        EXPECT_EQ(fx->dispatch(effSetEditKnobMode, 0, 2), 1);
    } else {
        EXPECT_EQ(got, 0);
        EXPECT_EQ(rect, nullptr);
        EXPECT_EQ(fx->dispatch(effEditOpen, 0, 0, nullptr), 0);
        EXPECT_EQ(fx->dispatch(effSetEditKnobMode, 0, 2), 0);
    }
    EXPECT_EQ(fx->dispatch(effEditIdle), 0);
    EXPECT_EQ(fx->dispatch(effEditKeyDown, 'a', 0, nullptr, 0.0f), 0);
    EXPECT_EQ(fx->dispatch(effEditKeyUp, 'a', 0, nullptr, 0.0f), 0);
    EXPECT_EQ(fx->dispatch(effEditClose), 0);
}

TEST(Lifecycle, SuspendResumeAndRender) {
    auto fx = newInstance(false);
    fx->dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    fx->dispatch(effSetBlockSize, 0, 256);
    // Suspended: events are refused.
    EXPECT_EQ(fx->sendMidi({{0, 0x90, 60, 100}}), 0);
    EXPECT_EQ(fx->dispatch(effMainsChanged, 0, 5), 0);
    EXPECT_EQ(fx->sendMidi({{0, 0x90, 60, 100}}), 1);
    std::vector<float> left, right;
    fx->render(1024, left, right);
    float peak = 0;
    for (float v : left)
        peak = std::max(peak, std::abs(v));
    EXPECT_GT(peak, 0.001f);
    EXPECT_EQ(fx->dispatch(effMainsChanged, 0, 0), 0);
    EXPECT_EQ(fx->sendMidi({{0, 0x90, 64, 100}}), 0);
}

TEST(Lifecycle, TwoInstancesSideBySide) {
    auto a = newInstance();
    auto b = newInstance();
    ASSERT_NE(a->effect(), b->effect());
    ASSERT_NE(a->effect()->object, b->effect()->object);
    a->dispatch(effSetProgram, 0, 10);
    EXPECT_EQ(a->dispatch(effGetProgram), 10);
    EXPECT_EQ(b->dispatch(effGetProgram), 0);
    a->sendMidi({{0, 0x90, 60, 127}});
    std::vector<float> la, ra, lb, rb;
    a->render(2048, la, ra);
    b->render(2048, lb, rb);
    float peakA = 0, peakB = 0;
    for (float v : la)
        peakA = std::max(peakA, std::abs(v));
    for (float v : lb)
        peakB = std::max(peakB, std::abs(v));
    EXPECT_GT(peakA, 0.001f);
    EXPECT_LT(peakB, 1e-6f); // b heard no note
}

TEST(Lifecycle, CloseReturnsOneAndInstancesCanBeMadeAgain) {
    for (int round = 0; round < 3; ++round) {
        vsthost::PluginInstance instance(library());
        ASSERT_TRUE(instance.valid());
        instance.start(44100.0f, 128);
        instance.sendMidi({{0, 0x90, 60, 90}});
        std::vector<float> l, r;
        instance.render(256, l, r);
        EXPECT_EQ(instance.close(), 1);
        EXPECT_FALSE(instance.valid());
    }
}

TEST(Events, MalformedListsAreHandledSafely) {
    auto fx = newInstance();
    struct List {
        VstInt32 numEvents;
        VstIntPtr reserved;
        VstEvent* events[4];
    };
    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = sizeof(VstMidiEvent);
    note.midiData[0] = char(0x90);
    note.midiData[1] = 60;
    note.midiData[2] = 100;
    VstMidiEvent shortEvent = note; // a byteSize too small to hold the MIDI bytes
    shortEvent.byteSize = 8;
    VstEvent sysex{};
    sysex.type = kVstSysExType;
    sysex.byteSize = sizeof(VstEvent);

    List negative{-5, 0, {}};
    EXPECT_EQ(fx->dispatch(effProcessEvents, 0, 0, &negative), 1);
    List junk{4, 0, {nullptr, reinterpret_cast<VstEvent*>(&shortEvent), &sysex, nullptr}};
    EXPECT_EQ(fx->dispatch(effProcessEvents, 0, 0, &junk), 1);
    std::vector<float> left, right;
    fx->render(1024, left, right);
    float peak = 0;
    for (float v : left)
        peak = std::max(peak, std::abs(v));
    EXPECT_LT(peak, 1e-6f) << "nothing in the malformed lists may start a note";

    List good{1, 0, {reinterpret_cast<VstEvent*>(&note)}};
    EXPECT_EQ(fx->dispatch(effProcessEvents, 0, 0, &good), 1);
    fx->render(1024, left, right);
    for (float v : left)
        peak = std::max(peak, std::abs(v));
    EXPECT_GT(peak, 1e-3f);
    EXPECT_EQ(fx->dispatch(effProcessEvents, 0, 0, nullptr), 0);
}

TEST(Events, ABlockOfZeroFramesStillConsumesTheQueue) {
    auto fx = newInstance();
    fx->sendMidi({{500, 0x90, 60, 120}});
    std::vector<float> left, right;
    fx->render(0, left, right);
    fx->render(512, left, right);
    float early = 0;
    for (int i = 0; i < 500; ++i)
        early = std::max(early, std::abs(left[i]));
    EXPECT_GT(early, 1e-3f) << "the note queued before the empty block sounds from frame 0";
}

// A chord of more notes than there are voices, all on one frame: channel i % 16, note
// 30 + i % 60, so from the 61st note on the first notes are struck again while every voice is
// busy. Without voice stealing it sounds exactly as its first eight notes alone would, and
// note-offs for all of its notes end those eight as they would.
TEST(Events, ACrowdedChordPlaysItsFirstEightNotes) {
    struct Case {
        int notes;
        bool noteOffs;
    };
    constexpr int kBlock = 512;
    constexpr int kBlocks = 8;
    constexpr int kVoices = 8;
    // The last is more than the plug-in queues in one block.
    const Case cases[] = {{68, false}, {72, false}, {72, true}, {120, true}, {10000, true}};
    const auto renderChord = [&](int notes, bool noteOffs) {
        auto fx = newInstance(true, 44100.0f, kBlock);
        std::vector<vsthost::MidiMessage> ons, offs;
        for (int i = 0; i < notes; ++i) {
            const auto channel = static_cast<std::uint8_t>(i % 16);
            const auto note = static_cast<std::uint8_t>(30 + i % 60);
            ons.push_back({0, static_cast<std::uint8_t>(0x90 | channel), note, 100});
            offs.push_back({100, static_cast<std::uint8_t>(0x80 | channel), note, 0});
        }
        std::vector<float> out, left, right;
        for (int block = 0; block < kBlocks; ++block) {
            if (block == 0) fx->sendMidi(ons);
            if (block == 1 && noteOffs) fx->sendMidi(offs);
            fx->render(kBlock, left, right);
            out.insert(out.end(), left.begin(), left.end());
            out.insert(out.end(), right.begin(), right.end());
        }
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.notes << " notes, note-offs " << c.noteOffs);
        const std::vector<float> firstEight = renderChord(kVoices, c.noteOffs);
        float peak = 0;
        for (float v : firstEight)
            peak = std::max(peak, std::abs(v));
        ASSERT_GT(peak, 1e-3f);
        const std::vector<float> chord = renderChord(c.notes, c.noteOffs);
        ASSERT_EQ(chord.size(), firstEight.size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < chord.size(); ++i)
            differing += chord[i] != firstEight[i];
        EXPECT_EQ(differing, 0u);
    }
}
