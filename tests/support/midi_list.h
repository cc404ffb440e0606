// A VstEvents list for tests that play the plug-in as an audio callback does: the records
// are made once, so filling and sending a list allocates nothing.
#pragma once

#include "vst/aeffect.h"

/// A VstEvents list of up to kMaxEvents MIDI events, filled without allocating.
class MidiList {
  public:
    static constexpr int kMaxEvents = 8;

    MidiList() {
        for (int i = 0; i < kMaxEvents; ++i) {
            records[i].type = kVstMidiType;
            records[i].byteSize = sizeof(VstMidiEvent);
            list.events[i] = reinterpret_cast<VstEvent*>(&records[i]);
        }
    }
    void clear() { list.numEvents = 0; }
    void add(int deltaFrames, int status, int data1, int data2) {
        VstMidiEvent& e = records[list.numEvents++];
        e.deltaFrames = deltaFrames;
        e.midiData[0] = static_cast<char>(status);
        e.midiData[1] = static_cast<char>(data1);
        e.midiData[2] = static_cast<char>(data2);
    }
    VstEvents* events() { return reinterpret_cast<VstEvents*>(&list); }

  private:
    struct {
        VstInt32 numEvents = 0;
        VstIntPtr reserved = 0;
        VstEvent* events[kMaxEvents] = {};
    } list;
    VstMidiEvent records[kMaxEvents] = {};
};
