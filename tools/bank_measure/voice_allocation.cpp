#include "tools/bank_measure/voice_allocation.h"

#include "engine/midi_input.h"
#include "engine/synth_engine.h"
#include "patches/patch_application.h"
#include "patches/patch_bank.h"
#include "patches/sample_rate.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace bank_measure {

namespace {

/// MIDI status bytes of channel 1.
constexpr std::uint8_t kNoteOnStatus = 0x90;
constexpr std::uint8_t kNoteOffStatus = 0x80;
/// Most frames rendered in one call between events (the voices evolve sample by sample, so
/// the split does not change which voices are free).
constexpr int kStretchFrames = 512;
/// The program the plug-in has applied when it is created.
constexpr int kInitialProgram = 0;

/// Renders frames frames into scratch buffers, which are thrown away.
void advance(SynthEngine& engine, const ChannelState& channel1, long frames) {
    static thread_local float left[kStretchFrames];
    static thread_local float right[kStretchFrames];
    float* outputs[2] = {left, right};
    while (frames > 0) {
        const int n = static_cast<int>(std::min<long>(frames, kStretchFrames));
        render(engine, channel1, outputs, n);
        frames -= n;
    }
}

/// Whether a voice has just started note (its note-on was taken).
bool voiceStarted(const SynthEngine& engine, int note) {
    for (const Voice& voice : engine.voices)
        if (voice.state == VoiceHeld && voice.note == note && voice.sampleCount == 0) return true;
    return false;
}

} // namespace

int droppedChordNotes(const std::vector<unsigned char>& bank, int program,
                      const std::vector<ChordChange>& changes, int velocity, double sampleRate) {
    static std::once_flag frequenciesFilled;
    std::call_once(frequenciesFilled, [] { fillNoteFrequency(); });

    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    if (!engine || !engine->shaperTable) throw std::runtime_error("cannot create an engine");
    const std::size_t records =
        std::min<std::size_t>(bank.size() / sizeof(Patch), static_cast<std::size_t>(kPatchCount));
    if (records > 0) std::memcpy(engine->patches, bank.data(), records * sizeof(Patch));
    engine->patch = &engine->patches[kInitialProgram];
    changeSampleRate(*engine, static_cast<float>(sampleRate));
    applyPatch(*engine, program, kInitialProgram);

    ChannelState channels[kChannelCount];
    for (ChannelState& channel : channels)
        resetChannelState(channel);
    channels[0].bendRange = kChannel1BendRange;

    int dropped = 0;
    long position = 0;
    const std::vector<int>* sounding = nullptr;
    for (const ChordChange& change : changes) {
        advance(*engine, channels[0], change.frame - position);
        position = std::max(position, change.frame);
        if (sounding)
            for (int note : *sounding)
                dispatchEvent({0, kNoteOffStatus, static_cast<std::uint8_t>(note), 0}, channels,
                              *engine);
        for (int note : change.notes) {
            dispatchEvent({0, kNoteOnStatus, static_cast<std::uint8_t>(note),
                           static_cast<std::uint8_t>(velocity)},
                          channels, *engine);
            if (!voiceStarted(*engine, note)) ++dropped;
        }
        sounding = &change.notes;
    }
    return dropped;
}

} // namespace bank_measure
