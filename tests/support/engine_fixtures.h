// Engines and buffers for the engine tests: an engine with every table in place but filled
// with plain test content (so a test knows exactly what the voices read), a patch that sounds
// its carrier without any shaping, transparent filters and a pair of output buffers.
#pragma once

#include "engine/midi_input.h"
#include "engine/synth_engine.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace enginetest {

/// Sample rate of the test engines, Hz, and the table lengths that follow from it.
constexpr float kRate = 44100.0f;
constexpr std::int32_t kTableLength = 441;  ///< int(kRate x 0.01)
constexpr std::int32_t kCurveLength = 2205; ///< int(kRate x 0.05)
/// Peak of the test carrier (a sine), as a normalised carrier table peaks.
constexpr float kCarrierPeak = 0.95f;

/// A patch that plays its carrier plainly: all three envelopes jump to 100 % at note-on and
/// stay there (no attack, hold or decay), release after releaseMs; no modulation, no LFO, no
/// echo, no ensemble, no send return, neutral attack, sustain and velocity scaling.
Patch plainPatch(std::int32_t releaseMs = 100);

/// Turns a filter into a pass-through (b0 = 1, everything else 0, single pass, fully wet).
void makeTransparent(Biquad& filter);

/// Fills length entries with the half-cosine envelope curve rising from 0 toward 1.
void fillCurve(float* curve, std::int32_t length);

/// An engine ready to render at kRate: carrier = one sine cycle peaking at 0.95, modulator 0,
/// LFO one sine cycle, the half-cosine curve, note increments from whole-sample periods; the
/// current patch is plainPatch(releaseMs) and all three filters are transparent.
std::unique_ptr<SynthEngine> makeTestEngine(std::int32_t releaseMs = 100);

/// Sets every entry of an engine table of length entries to value.
void fillTable(float* table, std::int32_t length, float value);

/// Voices of the engine in the given state.
int countVoices(const SynthEngine& engine, std::uint8_t state);

/// The 16 channel records as the plug-in sets them up (channel 1 with its narrower bend).
struct Channels {
    Channels();
    ChannelState state[kChannelCount];
    ChannelState& operator[](int i) { return state[i]; }
};

/// Two output buffers of frames samples, filled with fill.
struct StereoBuffer {
    explicit StereoBuffer(int frames, float fill = 0.0f);
    std::vector<float> left;
    std::vector<float> right;
    float* channels[2];
    float* const* outputs() { return channels; }
};

/// A queue item with the given offset and bytes.
MidiQueueItem midi(std::int32_t deltaFrames, int status, int data1, int data2);

} // namespace enginetest
