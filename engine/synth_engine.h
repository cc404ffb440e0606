// The instrument's sound state: eight voices, the current patch and the engine's own copy of
// the 64 program slots, the wavetables, LFO and curve tables, the three output filters, the
// ensemble and echo units, the shaper, and the master-gain and pitch-bend glides.
//
// Each engine has one owner thread: the control engine's tables are built by changeSampleRate
// and applyPatch on writer threads, the audio engine receives copies of them through the
// hand-over (engine/handover.h) and only render touches it.
#pragma once

#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/voice.h"
#include "patches/biquad.h"
#include "patches/patch.h"

#include <cstdint>
#include <memory>

/// Voices per engine; there is no voice stealing. A note-on that finds no free voice is
/// dropped and leaves the voices as they are, a held voice of the same note too: struck on
/// free voices, a chord of more notes than voices sounds as its first kVoiceCount notes would.
constexpr int kVoiceCount = 8;
/// MIDI notes.
constexpr int kNoteCount = 128;
/// Sample rate used until the host sets one, Hz.
constexpr float kDefaultSampleRate = 44100.0f;

struct ChannelState;

struct VoiceLfo {
    float lfoPhase = 0;     ///< table samples
    float lfoIncrement = 0; ///< table samples per output sample
};

struct SynthEngine {
    std::int32_t shaperLength = 0;        ///< entries of shaperTable (512)
    std::unique_ptr<float[]> shaperTable; ///< output saturation curve
    float shaperDrive = 1.0f;             ///< input gain of the saturation
    Voice voices[kVoiceCount];
    Biquad hpf;        ///< main bus high-pass
    Biquad lpf;        ///< main bus low-pass
    Biquad sendFilter; ///< send bus band-pass
    Ensemble ensemble;
    /// False for an engine that is never rendered (the instrument's control engine, which only
    /// derives what the audio engine plays): its ensemble line is sized but never allocated,
    /// since nothing would read it; the audio engine receives a line of its own with each
    /// setup that needs one.
    bool allocatesEnsembleLine = true;
    /// Counts the ensemble lines made (resizeEnsembleLine), allocated or not.
    std::uint32_t ensembleLineGeneration = 0;
    Echo echo;
    Patch* patch = nullptr; ///< current patch, always one of patches
    Patch patches[kPatchCount];
    float sampleRate = kDefaultSampleRate; ///< rate the tables were built for, Hz
    float gainNow = 1.0f;                  ///< master gain on the voice sum
    float gainTarget = 1.0f;
    float gainStep = 0;   ///< per-sample change; 0 when no glide runs
    float bendNow = 1.0f; ///< pitch-bend ratio applied to all voices
    float bendTarget = 1.0f;
    float bendStep = 0;
    // The three one-cycle tables hold tableLength + 1 floats: the cycle, then one entry that
    // render sets to the first before every stretch, so an interpolation never wraps.
    std::unique_ptr<float[]> carrierTable; ///< one cycle of tableLength samples, + 1
    /// The carrier's three layers summed, before the "Window" taper and the normalisation
    /// (tableLength samples): what a "Window" change starts again from.
    std::unique_ptr<float[]> carrierSum;
    std::unique_ptr<float[]> modulatorTable; ///< one cycle of tableLength samples, + 1
    std::unique_ptr<float[]> lfoTable;       ///< one sine cycle of tableLength samples, + 1
    std::unique_ptr<float[]> curveTable;     ///< curveLength samples of a half-cosine rise
    float noteIncrement[kNoteCount] = {};    ///< table samples per output sample, per note
    VoiceLfo lfo[kVoiceCount];
    std::int32_t tableLength = 0; ///< int(sampleRate x 0.01)
    std::int32_t curveLength = 0; ///< int(sampleRate x 0.05)
    /// Controllers 20 and 21 changed the current patch's modulation (bit 0) or attack (bit 1)
    /// since the owner last passed the change on; set by handleMidi, cleared by the owner.
    std::uint8_t controllerEdits = 0;
};

/// Creates an engine in its initial state: voices free, glides at 1, shaper table built,
/// filters typed, the 64 bank records copied and stamped, patch = slot 0, no tables yet.
std::unique_ptr<SynthEngine> createSynthEngine();

/// Acts on one channel message (status with the channel bits cleared). channel1 is MIDI
/// channel 1's state, the only one that affects the sound. Note numbers outside 0..127 are
/// ignored and velocities limited to 1..127; a glide toward a value that is not finite is not
/// started. While channel 1's sustain pedal is down, note-offs leave their voices held (and
/// sustained) until it comes up; controllers 120 and 123 release whatever it holds.
void handleMidi(SynthEngine& engine, const ChannelState& channel1, int type, int data1, int data2);

/// The output chain alone, as render runs it after the voices: main holds n frames of the
/// voices' mix on entry; main and send receive the left and right outputs. Needs the tables.
void processOutputChain(SynthEngine& engine, const ChannelState& channel1, float* main, float* send,
                        int n);

/// Renders n frames into outputs[0] (left) and outputs[1] (right). Without tables (before the
/// first sample-rate change) both outputs are silence. A voice whose output is not finite is
/// freed instead of being mixed.
void render(SynthEngine& engine, const ChannelState& channel1, float* const* outputs, int n);
