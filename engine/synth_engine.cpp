#include "engine/synth_engine.h"

#include "engine/envelope.h"
#include "engine/midi_input.h"
#include "engine/shaper.h"
#include "patches/float_to_int.h"
#include "patches/patch_bank.h"

#include <cmath>
#include <cstdint>
#include <new>

namespace {

/// MIDI status types the engine acts on.
constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
constexpr int kControlChange = 0xB0;
constexpr int kPitchBend = 0xE0;

/// Controllers the engine acts on.
constexpr int kControllerVolume = 7;
constexpr int kControllerExpression = 11;
constexpr int kControllerModulation = 20;
constexpr int kControllerAttack = 21;
constexpr int kControllerSustain = 64;
constexpr int kControllerAllSoundOff = 120;
constexpr int kControllerAllNotesOff = 123;

/// Initial filter settings: output high-pass and low-pass Q, send band-pass bandwidth
/// (octaves) and centre (Hz).
constexpr float kOutputFilterQ = 0.9f;
constexpr float kSendFilterBandwidth = 0.3f;
constexpr float kSendFilterFrequency = 1500.0f;

/// Glides of gain and pitch bend last 50 ms: per-sample step = distance x 20 / sample rate.
constexpr float kGlidesPerSecond = 20.0f;

/// Per-voice LFO: base speed factor, speed change per semitone from note 64, and the key
/// factor above note 64 (1/63 in single precision).
constexpr float kLfoBaseFactor = 0.2f;
constexpr float kLfoKeySlope = 0.04f;
constexpr int kLfoKeyCentre = 64;
constexpr float kLfoUpperKeyFactor = 0.015873017f;

/// Velocity factor: the neutral velocity and the slope above it (1/37).
constexpr int kVelocityNeutral = 90;
constexpr float kVelocityUpperFactor = 0.027027028f;

/// Peak rule: the highest level (percent) and the pull toward the decay level per velocity
/// step below 127 (0.8/127).
constexpr int kPeakLimit = 127;
constexpr float kPeakVelocityPull = 0.0062992126f;
constexpr int kVelocityMax = 127;

/// Controller 20 maps 0..127 to modulation 0..100; controller 21 maps to attack -80..100.
constexpr float kModulationPerStep = 0.7944882f;
constexpr float kAttackPerStep = 1.4244094f;
constexpr float kAttackOffset = 80.0f;
/// Bits of SynthEngine::controllerEdits.
constexpr std::uint8_t kEditedModulation = 1;
constexpr std::uint8_t kEditedAttack = 2;

constexpr float kPercent = 0.01f;

std::int8_t clampToInt8(std::int32_t v) {
    return static_cast<std::int8_t>(v > 127 ? 127 : (v < -128 ? -128 : v));
}

/// Starts a 50 ms glide of now toward target. A target that is not a number is ignored; a
/// step that cannot be computed (no usable sample rate) jumps straight to the target.
void startGlide(float target, float now, float sampleRate, float& glideTarget, float& step,
                float& glideNow) {
    if (!std::isfinite(target)) return;
    glideTarget = target;
    const float s = (target - now) * (kGlidesPerSecond / sampleRate);
    if (std::isfinite(s) && sampleRate > 0.0f && std::isfinite(now)) {
        step = s;
    } else {
        glideNow = target;
        step = 0.0f;
    }
}

/// The peak rule: the peak above the decay level grows with the attack scale and is pulled
/// toward the decay level by low velocities.
std::int8_t scaledPeak(int peak, int decay, float attackScale, int velocity) {
    const float g = static_cast<float>(peak - decay) * attackScale + static_cast<float>(decay);
    const std::int32_t limited =
        g >= static_cast<float>(kPeakLimit) ? kPeakLimit : truncateToInt(g);
    const float gl = static_cast<float>(limited);
    const float pulled = gl - (gl - static_cast<float>(decay)) * kPeakVelocityPull *
                                  static_cast<float>(kVelocityMax - velocity);
    return clampToInt8(truncateToInt(pulled));
}

/// The velocity factor B of the hold and first-decay times: 1 at velocity 90, rising and
/// falling with velocity by velocityTime percent.
float rawVelocityFactor(int velocityTime, int velocity) {
    const float vk =
        velocity > kVelocityNeutral ? kVelocityUpperFactor : 1.0f / static_cast<float>(velocity);
    return 1.0f + static_cast<float>(velocityTime) * kPercent *
                      static_cast<float>(velocity - kVelocityNeutral) * vk;
}

/// B as the envelopes use it. Where the formula gives zero or less (a large velocityTime far
/// from velocity 90), times would turn infinite or negative and the note silent or endless:
/// the factor of the nearest velocity toward 90 whose factor is positive is used instead, so
/// the times keep changing in one direction with velocity and no velocity is silent. B is 1 at
/// velocity 90, so the search always ends there at the latest.
float velocityFactor(int velocityTime, int velocity) {
    float b = rawVelocityFactor(velocityTime, velocity);
    const int toward = velocity < kVelocityNeutral ? 1 : -1;
    while (!(b > 0.0f) && velocity != kVelocityNeutral) {
        velocity += toward;
        b = rawVelocityFactor(velocityTime, velocity);
    }
    return b;
}

void startVoice(SynthEngine& engine, int index, int note, int velocity) {
    Voice& voice = engine.voices[index];
    const Patch& patch = *engine.patch;

    // Per-voice LFO: lfoRate x 0.2 Hz at note 64, faster above and slower below.
    VoiceLfo& lfo = engine.lfo[index];
    lfo.lfoPhase = 0.0f;
    float r = static_cast<float>(patch.lfoRate) / engine.sampleRate *
              static_cast<float>(engine.tableLength);
    if (!std::isfinite(r)) r = 0.0f;
    const float keyFactor =
        note > kLfoKeyCentre ? kLfoUpperKeyFactor : 1.0f / static_cast<float>(note);
    lfo.lfoIncrement = r * kLfoBaseFactor +
                       keyFactor * r * (static_cast<float>(note - kLfoKeyCentre) * kLfoKeySlope);

    const float w = static_cast<float>(patch.attack + 100) * kPercent;
    const float b = velocityFactor(patch.velocityTime, velocity);
    const float inverseB = 1.0f / b;
    auto scaled = [](std::int32_t ms, float factor) {
        return truncateToInt(static_cast<float>(ms) * factor);
    };

    EnvelopeSpec amplitude = patch.envelopes[0];
    amplitude.attackMs = scaled(amplitude.attackMs, w);
    amplitude.holdMs = scaled(scaled(amplitude.holdMs, inverseB), w);
    amplitude.decay1Ms = scaled(scaled(amplitude.decay1Ms, inverseB), w);
    amplitude.decay2Ms =
        scaled(amplitude.decay2Ms, 1.0f + static_cast<float>(patch.sustain) * kPercent);
    amplitude.peakLevel = scaledPeak(amplitude.peakLevel, amplitude.decayLevel, w, velocity);

    EnvelopeSpec pitch = patch.envelopes[1];
    pitch.attackMs = scaled(pitch.attackMs, w);
    pitch.holdMs = scaled(scaled(pitch.holdMs, b), w);
    pitch.decay1Ms = scaled(scaled(pitch.decay1Ms, b), w);

    EnvelopeSpec modulation = patch.envelopes[2];
    modulation.attackMs = scaled(modulation.attackMs, w);
    modulation.holdMs = scaled(modulation.holdMs, w);
    modulation.decay1Ms = scaled(modulation.decay1Ms, w);
    modulation.peakLevel = scaledPeak(modulation.peakLevel, modulation.decayLevel, w, velocity);

    prepareEnvelope(voice, 0, amplitude);
    prepareEnvelope(voice, 1, pitch);
    prepareEnvelope(voice, 2, modulation);

    voice.phaseA = 0.0f;
    voice.phaseB = 0.0f;
    voice.note = static_cast<std::int8_t>(note);
    voice.state = VoiceHeld;
    voice.velocity = static_cast<std::int8_t>(velocity);
    voice.sampleCount = 0;
    voice.sustained = false;
}

void releaseVoice(Voice& voice) {
    voice.state = VoiceReleased;
    voice.sampleCount = 0;
    voice.sustained = false;
}

/// Releases every voice the pedal was holding.
void releaseSustained(SynthEngine& engine) {
    for (Voice& voice : engine.voices)
        if (voice.state == VoiceHeld && voice.sustained) releaseVoice(voice);
}

void noteOn(SynthEngine& engine, int note, int velocity) {
    if (note < 0 || note >= kNoteCount || !engine.patch) return;
    if (velocity > kVelocityMax) velocity = kVelocityMax;
    if (velocity < 1) velocity = 1;
    // The first free voice takes the note; a held voice with the same note before it is
    // released, sustained or not. Free voices carry note 0, so note 0 never finds a voice. No
    // stealing: without a free voice the note is dropped and every voice left as it was, so a
    // note struck again then keeps sounding rather than being ended by its own note-on.
    int taker = -1;
    for (int v = 0; v < kVoiceCount && taker < 0; ++v) {
        const Voice& voice = engine.voices[v];
        if (voice.note != note && voice.state == VoiceFree) taker = v;
    }
    if (taker < 0) return;
    for (int v = 0; v < taker; ++v) {
        Voice& voice = engine.voices[v];
        if (voice.note == note && voice.state == VoiceHeld) releaseVoice(voice);
    }
    startVoice(engine, taker, note, velocity);
}

/// While channel 1's pedal is down a note-off leaves the voice held and marks it sustained.
void noteOff(SynthEngine& engine, const ChannelState& channel1, int note) {
    for (Voice& voice : engine.voices) {
        if (voice.state != VoiceHeld || voice.note != note) continue;
        if (channel1.sustainPedal != 0)
            voice.sustained = true;
        else
            releaseVoice(voice);
    }
}

void controlChange(SynthEngine& engine, const ChannelState& channel1, int controller, int value) {
    if (value < 0) value = 0;
    if (value > 127) value = 127;
    switch (controller) {
    case kControllerVolume:
    case kControllerExpression:
        startGlide(channel1.volume * channel1.expression, engine.gainNow, engine.sampleRate,
                   engine.gainTarget, engine.gainStep, engine.gainNow);
        break;
    case kControllerSustain:
        // Any channel's controller 64 lands here; only channel 1's pedal decides.
        if (channel1.sustainPedal == 0) releaseSustained(engine);
        break;
    case kControllerAllSoundOff:
    case kControllerAllNotesOff:
        // The note-offs sent for the channel's notes came first; whatever the pedal still
        // holds ends here too. The pedal itself stays where it is for the notes to come.
        releaseSustained(engine);
        break;
    case kControllerModulation:
        if (engine.patch) {
            engine.patch->modulation =
                clampToInt8(truncateToInt(static_cast<float>(value) * kModulationPerStep));
            engine.controllerEdits |= kEditedModulation;
        }
        break;
    case kControllerAttack:
        if (engine.patch) {
            engine.patch->attack = clampToInt8(
                truncateToInt(static_cast<float>(value) * kAttackPerStep - kAttackOffset));
            engine.controllerEdits |= kEditedAttack;
        }
        break;
    default:
        break;
    }
}

} // namespace

std::unique_ptr<SynthEngine> createSynthEngine() {
    std::unique_ptr<SynthEngine> engine(new (std::nothrow) SynthEngine());
    if (!engine) return engine;

    engine->shaperTable.reset(new (std::nothrow) float[kShaperLength]);
    if (engine->shaperTable) {
        buildShaperTable(engine->shaperTable.get());
        engine->shaperLength = kShaperLength;
    }
    engine->shaperDrive = 1.0f;

    for (Voice& voice : engine->voices)
        voice = Voice{};
    for (VoiceLfo& lfo : engine->lfo)
        lfo = VoiceLfo{};

    engine->hpf = Biquad{};
    engine->hpf.type = BiquadHighPass;
    engine->hpf.q = kOutputFilterQ;
    engine->lpf = Biquad{};
    engine->lpf.type = BiquadLowPass;
    engine->lpf.q = kOutputFilterQ;
    engine->sendFilter = Biquad{};
    engine->sendFilter.type = BiquadBandPass;
    engine->sendFilter.q = kSendFilterBandwidth;
    engine->sendFilter.frequency = kSendFilterFrequency;

    for (int i = 0; i < kPatchCount; ++i) {
        engine->patches[i] = PatchBank[i];
        stampPatchHeader(engine->patches[i]);
    }
    engine->patch = &engine->patches[0];
    engine->sampleRate = kDefaultSampleRate;

    engine->gainNow = engine->gainTarget = 1.0f;
    engine->bendNow = engine->bendTarget = 1.0f;
    engine->gainStep = engine->bendStep = 0.0f;
    return engine;
}

void handleMidi(SynthEngine& engine, const ChannelState& channel1, int type, int data1, int data2) {
    switch (type) {
    case kNoteOn:
        if (data2 != 0) {
            noteOn(engine, data1, data2);
            break;
        }
        noteOff(engine, channel1, data1);
        break;
    case kNoteOff:
        noteOff(engine, channel1, data1);
        break;
    case kControlChange:
        controlChange(engine, channel1, data1, data2);
        break;
    case kPitchBend:
        startGlide(channel1.bendFactor, engine.bendNow, engine.sampleRate, engine.bendTarget,
                   engine.bendStep, engine.bendNow);
        break;
    default:
        break;
    }
}
