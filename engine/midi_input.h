// The real-time front door: the queue of MIDI events waiting for the next block, the per-channel
// controller state, the busy flags that keep rendering apart from patch rebuilds, and the block
// walk that renders between event offsets and dispatches each event at its frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct SynthEngine;
class AudioHandover;

/// MIDI channels.
constexpr int kChannelCount = 16;
/// Initial capacity of the event queue, items.
constexpr std::int32_t kInitialQueueCapacity = 1024;
/// Extra items allocated whenever the queue grows.
constexpr std::int32_t kQueueGrowthSlack = 32;
/// Channel 1's bend range, a frequency ratio of about 1.5 semitones.
constexpr float kChannel1BendRange = 1.09f;

struct MidiQueueItem {
    std::int32_t deltaFrames; ///< frame offset in the next block
    std::uint8_t status;
    std::uint8_t data1;
    std::uint8_t data2;
};

struct ChannelState {
    std::uint8_t noteVelocity[128]; ///< last note-on velocity per note; 0 when off
    float volume;                   ///< controller 7 / 127
    float expression;               ///< controller 11 / 127
    float panLeft;                  ///< gain of the left output
    float panRight;                 ///< gain of the right output
    float bendFactor;               ///< current pitch-bend frequency ratio
    float bendRange;                ///< ratio at full upward bend (2.0, channel 1: 1.09)
    std::int8_t rpnLsb;             ///< last controller 100
    std::int8_t rpnMsb;             ///< last controller 101
    std::uint8_t sustainPedal;      ///< 1 while controller 64 is at 64 or more
};

/// Zeroes a channel record and gives it the defaults (bend range 2.0).
void resetChannelState(ChannelState& channel);

/// The owned, growable array of queued events. Only processEvents grows it.
class EventQueue {
  public:
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    /// Makes room for extra more items (capacity = count + extra + 32 when it grows).
    /// Returns false when memory could not be obtained.
    bool reserve(std::int32_t extra);
    /// Appends an item if there is room.
    void push(const MidiQueueItem& item);
    void clear() { count = 0; }

    MidiQueueItem* items = nullptr;
    std::int32_t capacity = 0;
    std::int32_t count = 0;
};

/// The plug-in's flags and the writers' exclusion.
///
/// The audio thread never waits on anything here: it reads `suspended`, raises `engineBusy`
/// for the duration of each processing call (so teardown can wait until it has left), and
/// takes new sound state from the AudioHandover. Writers (host threads, the editor, the
/// plug-in's own worker) serialise among themselves with `writers`, which the audio thread
/// never takes.
struct BusyFlags {
    std::atomic<std::uint8_t> suspended{1};  ///< processing is off
    std::atomic<std::uint8_t> engineBusy{0}; ///< the audio thread is inside a processing call
    std::mutex writers;                      ///< held by whoever changes the bank or the state
};

/// Updates one channel's state for an event and forwards it to the engine.
void dispatchEvent(const MidiQueueItem& item, ChannelState* channels, SynthEngine& engine);

/// The renderer processBlock calls for each sub-block (render of synth_engine.h by default).
using RenderFunction = void (*)(SynthEngine& engine, const ChannelState& channel1,
                                float* const* outputs, int n);

/// Renders frames frames into outputs[0..1] in sub-blocks of at most blockSize between the
/// queued events' offsets, dispatching each event at its frame; empties the queue. With a
/// handover, the newest published sound state is installed before the first event and at the
/// start of every sub-block, so each sub-block is rendered wholly from one state, and
/// controller changes of the live patch are posted back after each event. The rest of a block
/// cut short by suspended is written as silence (zeros), and the events left then are
/// discarded.
void processBlock(EventQueue& queue, ChannelState* channels, BusyFlags& flags, SynthEngine& engine,
                  float* const* outputs, std::int32_t frames, std::int32_t blockSize,
                  AudioHandover* handover = nullptr);
/// The same walk with another renderer for each sub-block.
void processBlock(EventQueue& queue, ChannelState* channels, BusyFlags& flags, SynthEngine& engine,
                  float* const* outputs, std::int32_t frames, std::int32_t blockSize,
                  RenderFunction renderer, AudioHandover* handover = nullptr);
