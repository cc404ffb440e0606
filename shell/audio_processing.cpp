// The audio thread's entry points: processEvents queues the host's MIDI events, processReplacing
// renders the block between their offsets with denormals flushed for the duration of the call.
// Neither waits, locks, allocates or frees: the queue has its whole capacity from construction,
// and new sound state arrives through the handover.
#include "shell/kel_vst.h"

#include "engine/denormals.h"

#include <atomic>
#include <cstring>

namespace {
/// Smallest byteSize a host gives a MIDI event: hosts count either the whole 32-byte record or
/// the 24 bytes after type and byteSize; either way the three MIDI bytes lie inside.
constexpr VstInt32 kMinMidiEventByteSize = 24;
} // namespace

VstInt32 kelVst::processEvents(VstEvents* events) {
    if (busy.suspended.load()) return 0;
    if (!events || events->numEvents <= 0) return 1;
    const VstInt32 count = events->numEvents;
    // The record declares two entries but carries numEvents of them: walk them by pointer.
    VstEvent* const* list = events->events;
    for (VstInt32 i = 0; i < count && eventQueue.count < eventQueue.capacity; ++i) {
        const VstEvent* event = list[i];
        if (!event || event->type != kVstMidiType || event->byteSize < kMinMidiEventByteSize)
            continue;
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        MidiQueueItem item;
        item.deltaFrames = midi->deltaFrames;
        item.status = static_cast<std::uint8_t>(midi->midiData[0]);
        item.data1 = static_cast<std::uint8_t>(midi->midiData[1]);
        item.data2 = static_cast<std::uint8_t>(midi->midiData[2]);
        eventQueue.push(item);
    }
    return 1;
}

void kelVst::processReplacing(float**, float** outputs, VstInt32 sampleFrames) {
    busy.engineBusy.store(1);
    {
        ScopedFlushDenormals flushDenormals;
        const std::int32_t frames = std::atomic_ref<std::int32_t>(core.blockSize).load();
        // Every call consumes the queue: the block walk dispatches the events even when there
        // are no frames or no buffers to render into.
        processBlock(eventQueue, core.channels, busy, *rendering, outputs,
                     sampleFrames > 0 ? sampleFrames : 0, frames, &handover);
    }
    busy.engineBusy.store(0);
}
