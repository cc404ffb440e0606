// The audio thread's entry points: processEvents queues the host's MIDI events, processReplacing
// has the instrument render the block between their offsets. Neither waits, locks, allocates or
// frees.
#include "shell/kel_vst.h"

namespace {
/// Smallest byteSize a host gives a MIDI event: hosts count either the whole 32-byte record or
/// the 24 bytes after type and byteSize; either way the three MIDI bytes lie inside.
constexpr VstInt32 kMinMidiEventByteSize = 24;
} // namespace

VstInt32 kelVst::processEvents(VstEvents* events) {
    if (instrument.suspended()) return 0;
    if (!events || events->numEvents <= 0) return 1;
    const VstInt32 count = events->numEvents;
    // The record declares two entries but carries numEvents of them: walk them by pointer.
    VstEvent* const* list = events->events;
    for (VstInt32 i = 0; i < count; ++i) {
        const VstEvent* event = list[i];
        if (!event || event->type != kVstMidiType || event->byteSize < kMinMidiEventByteSize)
            continue;
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        if (!instrument.queueMidi(midi->deltaFrames, static_cast<std::uint8_t>(midi->midiData[0]),
                                  static_cast<std::uint8_t>(midi->midiData[1]),
                                  static_cast<std::uint8_t>(midi->midiData[2])))
            break;
    }
    return 1;
}

void kelVst::processReplacing(float**, float** outputs, VstInt32 sampleFrames) {
    instrument.process(outputs, sampleFrames);
}
