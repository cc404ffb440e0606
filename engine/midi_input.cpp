#include "engine/midi_input.h"

#include "engine/handover.h"
#include "engine/synth_engine.h"
#include "patches/portable_math.h"

#include <cmath>
#include <cstring>
#include <new>

namespace {

/// MIDI status types (status byte AND 0xF0).
constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
constexpr int kPolyPressure = 0xA0;
constexpr int kControlChange = 0xB0;
constexpr int kProgramChange = 0xC0;
constexpr int kChannelPressure = 0xD0;
constexpr int kPitchBend = 0xE0;

/// Controller numbers the channel state follows.
constexpr int kControllerDataEntry = 6;
constexpr int kControllerVolume = 7;
constexpr int kControllerPan = 10;
constexpr int kControllerExpression = 11;
constexpr int kControllerSustain = 64;
constexpr int kControllerRpnLsb = 100;
constexpr int kControllerRpnMsb = 101;
constexpr int kControllerAllSoundOff = 120;
constexpr int kControllerAllNotesOff = 123;

/// Controller value to 0..1 (1/127 in single precision).
constexpr float kControllerScale = 0.007874016f;
/// Pan value of the centre, where both gains are 1.
constexpr int kPanCentre = 63;
/// Left-gain fall per pan step above the centre (1/64).
constexpr float kPanRightStep = 0.015625f;
/// Right gain per pan step below the centre (slightly more than 1/63, so 62 gives ~1.0038).
constexpr float kPanLeftStep = 0.016190477f;
/// 1/12 in single precision: semitones to octaves for the bend range.
constexpr float kSemitoneOctaves = 0.083333336f;
/// The centre of the 14-bit pitch-bend range and its reciprocal (2^-13).
constexpr int kBendCentre = 8192;
constexpr float kBendScale = 0.0001220703125f;

/// Controller 64 values from this one up put the sustain pedal down.
constexpr int kSustainDownFrom = 64;

/// Data bytes are 7 bits in valid MIDI; anything above is masked rather than trusted as index.
constexpr int kDataMask = 0x7F;

void silence(float* const* outputs, std::int32_t from, std::int32_t to) {
    if (to <= from) return;
    const std::size_t bytes = static_cast<std::size_t>(to - from) * sizeof(float);
    std::memset(outputs[0] + from, 0, bytes);
    std::memset(outputs[1] + from, 0, bytes);
}

} // namespace

void resetChannelState(ChannelState& channel) {
    std::memset(&channel, 0, sizeof channel);
    channel.volume = 1.0f;
    channel.expression = 1.0f;
    channel.panLeft = 1.0f;
    channel.panRight = 1.0f;
    channel.bendFactor = 1.0f;
    channel.bendRange = 2.0f;
}

// ---- event queue ------------------------------------------------------------------------------

EventQueue::EventQueue() {
    items = new (std::nothrow) MidiQueueItem[kInitialQueueCapacity];
    capacity = items ? kInitialQueueCapacity : 0;
}

EventQueue::~EventQueue() {
    delete[] items;
}

bool EventQueue::reserve(std::int32_t extra) {
    if (extra <= 0) return true;
    const std::int64_t needed = static_cast<std::int64_t>(count) + extra;
    if (needed <= capacity) return true;
    const std::int64_t grown = needed + kQueueGrowthSlack;
    if (grown > INT32_MAX) return false;
    MidiQueueItem* larger = new (std::nothrow) MidiQueueItem[static_cast<std::size_t>(grown)];
    if (!larger) return false;
    if (count > 0) std::memcpy(larger, items, static_cast<std::size_t>(count) * sizeof *items);
    delete[] items;
    items = larger;
    capacity = static_cast<std::int32_t>(grown);
    return true;
}

void EventQueue::push(const MidiQueueItem& item) {
    if (count < capacity) items[count++] = item;
}

// ---- dispatch ---------------------------------------------------------------------------------

void dispatchEvent(const MidiQueueItem& item, ChannelState* channels, SynthEngine& engine) {
    const int type = item.status & 0xF0;
    if (type < kNoteOff || type == 0xF0) return; // data bytes and system messages
    ChannelState& channel = channels[item.status & 0x0F];
    const ChannelState& channel1 = channels[0];
    int data1 = item.data1 & kDataMask;
    const int data2 = item.data2 & kDataMask;

    switch (type) {
    case kNoteOff:
        channel.noteVelocity[data1] = 0;
        break;
    case kNoteOn:
        channel.noteVelocity[data1] = static_cast<std::uint8_t>(data2);
        break;
    case kControlChange:
        switch (data1) {
        case kControllerDataEntry:
            if (channel.rpnLsb == 0 && channel.rpnMsb == 0)
                channel.bendRange = portable::exp2(static_cast<float>(data2) * kSemitoneOctaves);
            break;
        case kControllerVolume:
            channel.volume = static_cast<float>(data2) * kControllerScale;
            break;
        case kControllerPan:
            if (data2 == kPanCentre) {
                channel.panLeft = 1.0f;
                channel.panRight = 1.0f;
            } else if (data2 > kPanCentre) {
                channel.panLeft = 1.0f - static_cast<float>(data2 - kPanCentre) * kPanRightStep;
                channel.panRight = 1.0f;
            } else {
                channel.panLeft = 1.0f;
                channel.panRight = static_cast<float>(data2) * kPanLeftStep;
            }
            break;
        case kControllerExpression:
            channel.expression = static_cast<float>(data2) * kControllerScale;
            break;
        case kControllerSustain:
            channel.sustainPedal = data2 >= kSustainDownFrom ? 1 : 0;
            break;
        case kControllerRpnLsb:
            channel.rpnLsb = static_cast<std::int8_t>(data2);
            break;
        case kControllerRpnMsb:
            channel.rpnMsb = static_cast<std::int8_t>(data2);
            break;
        case kControllerAllSoundOff:
        case kControllerAllNotesOff:
            for (int note = 0; note < 128; ++note) {
                if (channel.noteVelocity[note] == 0) continue;
                channel.noteVelocity[note] = 0;
                handleMidi(engine, channel1, kNoteOff, note, 0);
            }
            break;
        default:
            break;
        }
        break;
    case kPitchBend: {
        const int bend = data1 | (data2 << 7);
        if (bend > kBendCentre) {
            channel.bendFactor = 1.0f + static_cast<float>(bend - kBendCentre) * kBendScale *
                                            (channel.bendRange - 1.0f);
        } else if (bend == kBendCentre) {
            channel.bendFactor = 1.0f;
        } else {
            const float down = channel.bendRange == 0.0f ? 1.0f : 1.0f / channel.bendRange;
            channel.bendFactor = down + (1.0f - down) * static_cast<float>(bend) * kBendScale;
        }
        data1 = bend;
        break;
    }
    case kPolyPressure:
    case kProgramChange:
    case kChannelPressure:
    default:
        break;
    }
    handleMidi(engine, channel1, type, data1, data2);
}

// ---- block walk -------------------------------------------------------------------------------

void processBlock(EventQueue& queue, ChannelState* channels, BusyFlags& flags, SynthEngine& engine,
                  float* const* outputs, std::int32_t frames, std::int32_t blockSize,
                  AudioHandover* handover) {
    processBlock(queue, channels, flags, engine, outputs, frames, blockSize, render, handover);
}

void processBlock(EventQueue& queue, ChannelState* channels, BusyFlags& flags, SynthEngine& engine,
                  float* const* outputs, std::int32_t frames, std::int32_t blockSize,
                  RenderFunction renderer, AudioHandover* handover) {
    // A block size below one frame would never advance; such a host setting renders whole
    // stretches instead.
    const std::int32_t subBlock = blockSize > 0 ? blockSize : INT32_MAX;
    if (!outputs || !outputs[0] || !outputs[1]) frames = 0;
    std::int32_t pos = 0;
    std::int32_t next = 0;
    bool stopped = false;
    // Changes published before this call take effect for its first event and frame.
    if (handover) handover->adoptNewest(engine);
    auto dispatchNext = [&] {
        dispatchEvent(queue.items[next++], channels, engine);
        if (handover && engine.controllerEdits != 0) handover->postControllerEdits(engine);
    };

    while (pos < frames && !stopped) {
        if (flags.suspended.load() != 0) {
            stopped = true;
            break;
        }
        std::int32_t stretchEnd = frames;
        if (next < queue.count) {
            const std::int32_t at = queue.items[next].deltaFrames;
            // Events before the current position (out of order or negative) fall on it.
            stretchEnd = at < pos ? pos : (at < frames ? at : frames);
        }
        while (pos < stretchEnd) {
            if (flags.suspended.load() != 0) {
                stopped = true;
                break;
            }
            const std::int32_t left = stretchEnd - pos;
            const std::int32_t length = left < subBlock ? left : subBlock;
            if (handover) handover->adoptNewest(engine);
            float* const stretch[2] = {outputs[0] + pos, outputs[1] + pos};
            renderer(engine, channels[0], stretch, length);
            pos += length;
        }
        if (stopped) break;
        if (next < queue.count) dispatchNext();
    }

    if (stopped) {
        silence(outputs, pos, frames);
    } else if (flags.suspended.load() == 0) {
        // Events at or beyond the block's end take effect after its last frame, in queue order.
        while (next < queue.count)
            dispatchNext();
    }
    queue.clear();
}
