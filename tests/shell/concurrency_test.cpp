// One thread renders continuously, with controllers 20 and 21 among its events and parameter
// reads between its blocks, while host threads change programs, parameters, chunks and the
// sample rate, read chunks and program names, and the override loader re-applies the patch.
// Run under ThreadSanitizer this proves every hand-over between the threads is a clean one;
// everywhere it checks that the output stays finite and every call returns.
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
        VstMidiEvent on{}, off{}, modulation{}, attack{};
        for (VstMidiEvent* e : {&on, &off, &modulation, &attack}) {
            e->type = kVstMidiType;
            e->byteSize = sizeof(VstMidiEvent);
        }
        MidiList list{};
        list.numEvents = 4;
        list.events[0] = reinterpret_cast<VstEvent*>(&on);
        list.events[1] = reinterpret_cast<VstEvent*>(&off);
        list.events[2] = reinterpret_cast<VstEvent*>(&modulation);
        list.events[3] = reinterpret_cast<VstEvent*>(&attack);
        char text[16];
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
            modulation.midiData[0] = char(0xB0);
            modulation.midiData[1] = 20;
            modulation.midiData[2] = char(n % 128);
            modulation.deltaFrames = 30;
            attack.midiData[0] = char(0xB0);
            attack.midiData[1] = 21;
            attack.midiData[2] = char((n * 7) % 128);
            attack.deltaFrames = 40;
            plugin.processEvents(reinterpret_cast<VstEvents*>(&list));
            plugin.processReplacing(nullptr, outputs, 256);
            if (!std::isfinite(plugin.getParameter(n % 6))) finite = false;
            plugin.getParameterDisplay((n + 1) % 6, text);
            for (float v : left)
                if (!std::isfinite(v)) finite = false;
            ++n;
            blocks.store(n);
        }
    });

    // A host saves chunks from one thread at a time: the copy it gets stays valid until its
    // next effGetChunk. The bank loaded below is saved before the threads start.
    std::vector<unsigned char> bank(64 * 328);
    {
        void* data = nullptr;
        const VstInt32 size = plugin.getChunk(&data, false);
        std::memcpy(bank.data(), data, static_cast<std::size_t>(size));
    }
    std::thread programs([&] {
        for (int i = 0; i < 60; ++i) {
            plugin.setProgram(i % 46);
            plugin.setParameter(i % 6, float(i % 11) / 10.0f);
            if (i % 10 == 0)
                plugin.setChunk(bank.data(), static_cast<VstInt32>(bank.size()), false);
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

    std::thread readers([&] {
        char name[32];
        for (int i = 0; i < 200; ++i) {
            void* data = nullptr;
            const VstInt32 size = plugin.getChunk(&data, i % 2 == 0);
            volatile unsigned char sum = 0;
            for (VstInt32 b = 0; b < size; b += 64)
                sum = static_cast<unsigned char>(sum + static_cast<unsigned char*>(data)[b]);
            plugin.getProgramNameIndexed(0, i % 64, name);
            plugin.getProgramName(name);
        }
    });

    programs.join();
    rates.join();
    readers.join();
    stop = true;
    audio.join();
    EXPECT_GE(blocks.load(), 50);
    EXPECT_TRUE(finite.load());
    EXPECT_EQ(plugin.getBusyFlags().engineBusy.load(), 0);
}
