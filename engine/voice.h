#pragma once

#include "engine/envelope.h"

#include <cstdint>

/// Voice states.
enum VoiceState : std::uint8_t { VoiceFree = 0, VoiceHeld = 1, VoiceReleased = 2 };

/// Envelopes per voice: 0 amplitude, 1 pitch, 2 modulation depth.
constexpr int kEnvelopesPerVoice = 3;

struct Voice {
    PreparedEnvelope envelopes[kEnvelopesPerVoice];
    std::int8_t envelopeCount = kEnvelopesPerVoice;
    float usPerSample = 1e6f / 44100.0f; ///< microseconds per output sample
    std::uint8_t state = VoiceFree;
    std::int8_t note = 0;                      ///< MIDI note; 0 while free
    std::int8_t velocity = 0;                  ///< note-on velocity 1..127
    float levels[kEnvelopesPerVoice] = {};     ///< current envelope outputs
    float heldLevels[kEnvelopesPerVoice] = {}; ///< outputs at the last held sample
    float phaseA = 0;                          ///< oscillator A phase, table samples
    float phaseB = 0;                          ///< oscillator B phase, table samples
    std::int32_t sampleCount = 0; ///< samples since note-on (held) or note-off (released)
    bool sustained = false;       ///< held only by the sustain pedal: its note-off has come
};
