// One thread renders continuously while host threads change programs, parameters, chunks and
// the sample rate, and the override loader re-applies the patch. Run under ThreadSanitizer this
// proves the rebuilds are exclusive with rendering; everywhere it checks that the output stays
// finite and every call returns.
#include "shell/kel_vst.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {
VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

struct MidiList {
    VstInt32 numEvents;
    VstIntPtr reserved;
    VstEvent* events[4];
};
} // namespace

TEST(Concurrency, RenderingWhileHostThreadsRebuild) {
    kelVst plugin(&host);
    plugin.setSampleRate(44100.0f);
    plugin.setBlockSize(256);
    plugin.resume();

    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    std::atomic<bool> finite{true};

    std::thread audio([&] {
        std::vector<float> left(256), right(256);
        float* outputs[2] = {left.data(), right.data()};
        VstMidiEvent on{}, off{};
        on.type = off.type = kVstMidiType;
        on.byteSize = off.byteSize = sizeof(VstMidiEvent);
        MidiList list{};
        list.numEvents = 2;
        list.events[0] = reinterpret_cast<VstEvent*>(&on);
        list.events[1] = reinterpret_cast<VstEvent*>(&off);
        int n = 0;
        while (!stop.load() || n < 50) {
            int note = 48 + n % 24;
            on.midiData[0] = char(0x90);
            on.midiData[1] = char(note);
            on.midiData[2] = 100;
            on.deltaFrames = n % 200;
            off.midiData[0] = char(0x80);
            off.midiData[1] = char(48 + (n + 20) % 24);
            off.deltaFrames = 10;
            plugin.processEvents(reinterpret_cast<VstEvents*>(&list));
            plugin.processReplacing(nullptr, outputs, 256);
            for (float v : left)
                if (!std::isfinite(v)) finite = false;
            ++n;
            blocks.store(n);
        }
    });

    std::thread programs([&] {
        std::vector<unsigned char> bank(64 * 328);
        for (int i = 0; i < 60; ++i) {
            plugin.setProgram(i % 46);
            plugin.setParameter(i % 6, float(i % 11) / 10.0f);
            if (i % 10 == 0) {
                void* data = nullptr;
                VstInt32 size = plugin.getChunk(&data, false);
                std::memcpy(bank.data(), data, static_cast<std::size_t>(size));
                plugin.setChunk(bank.data(), size, false);
            }
        }
    });

    std::thread rates([&] {
        const float rateList[] = {48000.0f, 44100.0f, 96000.0f, 22050.0f};
        for (int i = 0; i < 12; ++i) {
            plugin.setSampleRate(rateList[i % 4]);
            plugin.setBlockSize(128 + 64 * (i % 3));
            // The title's file callback re-applies the current patch (no file: nothing changes).
            plugin.getCore().fileCallback(&plugin.getCore(), kTitleControlIndex,
                                          kMessageLeftButtonUp);
        }
    });

    programs.join();
    rates.join();
    stop = true;
    audio.join();
    EXPECT_GE(blocks.load(), 50);
    EXPECT_TRUE(finite.load());
    EXPECT_EQ(plugin.getBusyFlags().patchBusy.load(), 0);
    EXPECT_EQ(plugin.getBusyFlags().engineBusy.load(), 0);
}
