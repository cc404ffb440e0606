// The built-in bank. Each program is written as one call that builds the 328-byte record at
// compile time: the name, the scalar fields, three carrier layers and the modulator layer, and
// the amplitude, pitch and modulation envelopes. Every byte not set here (padding, the header
// bytes that construction stamps, the unused parameters of a layer) is zero.
#include "patches/patch_bank.h"

#include <cstring>

namespace {

/// Scalar fields in record order: window, modulation, lfoRate, lfoDepth, sendFrequency (Hz),
/// sendReturn, echoTime, velocityTime, attack, sustain, highPassHz, lowPassHz.
struct Scalars {
    int window, modulation, lfoRate, lfoDepth;
    float sendFrequency;
    int sendReturn, echoTime, velocityTime, attack, sustain;
    float highPassHz, lowPassHz;
};

/// A layer: shape, repeats, gain, then p1..p7 (trailing zeros may be left out).
constexpr WaveLayer layer(int shape, int repeats, float gain, float p1 = 0, float p2 = 0,
                          float p3 = 0, float p4 = 0, float p5 = 0, float p6 = 0, float p7 = 0) {
    WaveLayer l{};
    l.shape = static_cast<std::int8_t>(shape);
    l.repeats = static_cast<std::int8_t>(repeats);
    l.gain = gain;
    const float p[7] = {p1, p2, p3, p4, p5, p6, p7};
    for (int i = 0; i < 7; ++i)
        l.params[i] = p[i];
    return l;
}

/// A layer of shape 0, which adds nothing.
constexpr WaveLayer none() {
    return WaveLayer{};
}

/// keyCentre/keyAmount; start, peak, decay, sustain, release levels (percent); attack, hold,
/// decay 1, decay 2, release times (ms).
constexpr EnvelopeSpec env(int keyCentre, int keyAmount, int start, int peak, int decay,
                           int sustain, int release, int attackMs, int holdMs, int decay1Ms,
                           int decay2Ms, int releaseMs) {
    EnvelopeSpec e{};
    e.keyCentre = static_cast<std::int8_t>(keyCentre);
    e.keyAmount = static_cast<std::int8_t>(keyAmount);
    e.startLevel = static_cast<std::int8_t>(start);
    e.peakLevel = static_cast<std::int8_t>(peak);
    e.decayLevel = static_cast<std::int8_t>(decay);
    e.sustainLevel = static_cast<std::int8_t>(sustain);
    e.releaseLevel = static_cast<std::int8_t>(release);
    e.attackMs = attackMs;
    e.holdMs = holdMs;
    e.decay1Ms = decay1Ms;
    e.decay2Ms = decay2Ms;
    e.releaseMs = releaseMs;
    return e;
}

constexpr Patch program(const char* name, const Scalars& s, const WaveLayer& c0,
                        const WaveLayer& c1, const WaveLayer& c2, const WaveLayer& modulator,
                        const EnvelopeSpec& amplitude, const EnvelopeSpec& pitch,
                        const EnvelopeSpec& modulation) {
    Patch p{};
    for (int i = 0; i < static_cast<int>(sizeof p.name) - 1 && name[i] != '\0'; ++i)
        p.name[i] = name[i];
    p.window = static_cast<std::int8_t>(s.window);
    p.modulation = static_cast<std::int8_t>(s.modulation);
    p.lfoRate = static_cast<std::int8_t>(s.lfoRate);
    p.lfoDepth = static_cast<std::int8_t>(s.lfoDepth);
    p.sendFrequency = s.sendFrequency;
    p.sendReturn = static_cast<std::int8_t>(s.sendReturn);
    p.echoTime = static_cast<std::int8_t>(s.echoTime);
    p.velocityTime = static_cast<std::int8_t>(s.velocityTime);
    p.attack = static_cast<std::int8_t>(s.attack);
    p.sustain = static_cast<std::int8_t>(s.sustain);
    p.highPassHz = s.highPassHz;
    p.lowPassHz = s.lowPassHz;
    p.carrierLayers[0] = c0;
    p.carrierLayers[1] = c1;
    p.carrierLayers[2] = c2;
    p.modulatorLayer = modulator;
    p.envelopes[0] = amplitude;
    p.envelopes[1] = pitch;
    p.envelopes[2] = modulation;
    return p;
}

} // namespace

// clang-format off
constexpr Patch PatchBank[kPatchCount] = {
    // ---- Leads: bright, a modest attack, a full sustain, short releases ----------------------

    // 0: phase-modulated sines on the fundamental, octave and second octave.
    program("Lead 1",
            {0, 25, 59, 50, 2500.0f, -120, 40, 100, 0, 0, 150.0f, 6500.0f},
            layer(1, 1, 0.55f, 3, 0.15f), layer(1, 2, 0.15f, 3, 0.1f), layer(1, 4, 0.1f, 5, 0.1f),
            layer(1, 5, 1.0f, 1, 0.1f),
            env(32, 5, 30, 100, 70, 75, 0, 20, 50, 250, 7000, 30),
            env(32, 5, 55, 100, 100, 100, 95, 5, 200, 150, 100, 30),
            env(32, 5, 30, 100, 2, 3, 10, 3, 7, 15, 800, 25)),
    // 1: a bright saw that settles after a hard front edge.
    program("Lead 2",
            {10, 30, 55, 20, 3000.0f, -40, 30, 15, 0, 0, 120.0f, 9000.0f},
            layer(2, 1, 1.0f, 10, 0, 0.5f, 0, 0.5f, 0, 10), layer(1, 2, 0.2f, 2, 0.3f), none(),
            layer(1, 1, 1.0f, 2, 0.2f),
            env(32, 5, 0, 65, 52, 48, 0, 5, 30, 250, 5000, 60),
            env(32, 5, 100, 100, 100, 100, 100, 5, 20, 60, 100, 190),
            env(32, 5, 40, 100, 45, 35, 10, 3, 20, 200, 1500, 60)),
    // 2: additive: fourth, second and (subtracted) third harmonic.
    program("Lead 3",
            {20, 50, 35, 20, 1500.0f, -120, 20, 100, 0, 0, 50.0f, 7000.0f},
            layer(4, 1, 0.55f, 4, 0, 1), layer(4, 2, 0.55f, 2, 0, 1), layer(4, 3, -0.35f, 3, 0, 1),
            layer(1, 1, 1.0f, 2, 0.15f),
            env(32, 5, 0, 100, 70, 65, 0, 2, 50, 250, 5000, 30),
            env(32, 5, 85, 101, 100, 100, 95, 100, 20, 80, 100, 30),
            env(32, 5, 0, 100, 50, 80, 100, 1, 1, 1, 800, 25)),
    // 3: a hollow square, odd harmonics only (untapered, so the even ones stay empty), steady
    //    and rounded off.
    program("Lead 4",
            {0, 15, 60, 30, 2200.0f, -60, 25, 100, 0, 0, 100.0f, 5000.0f},
            layer(2, 1, 1.0f, 0.3f, 5, 0.3f, 0, 0.3f, 5, 0.3f), layer(4, 1, 0.25f, 3, 2, 3), none(),
            layer(1, 2, 1.0f, 1, 0.1f),
            env(32, 5, 0, 56, 44, 42, 0, 6, 60, 250, 6000, 50),
            env(32, 5, 100, 100, 100, 100, 100, 10, 30, 80, 100, 175),
            env(32, 5, 20, 100, 40, 50, 10, 5, 10, 150, 2000, 50)),
    // 4: sync-like: a sine bent three times a cycle, so its harmonics come in pairs around
    //    every third one and the multiples of three stay empty; a hard-modulated edge that
    //    sweeps down, a pitch zap on the strike, and a level that falls back to a lower held tone.
    program("Lead 5",
            {0, 70, 50, 25, 3500.0f, -50, 40, 100, 0, 0, 130.0f, 10000.0f},
            layer(1, 1, 1.0f, 3, 0.9f), none(), none(),
            layer(1, 3, 1.0f, 1, 0.1f),
            env(32, 5, 0, 100, 62, 42, 0, 4, 20, 250, 1500, 40),
            env(32, 5, 115, 100, 100, 100, 100, 12, 5, 10, 100, 160),
            env(32, 5, 100, 100, 40, 30, 10, 2, 10, 250, 1500, 30)),
    // 5: reed: a clarinet-like tone, the odd harmonics 3 to 13 in equal measure over the
    //    fundamental, the even ones empty, with a quick vibrato.
    program("Lead 6",
            {0, 20, 28, 40, 2000.0f, -50, 20, 100, 0, 0, 100.0f, 5500.0f},
            layer(4, 1, 1.0f, 3, 2, 6), layer(1, 1, 0.7f, 1, 0), none(),
            layer(1, 2, 1.0f, 1, 0.12f),
            env(32, 5, 0, 60, 51, 48, 0, 10, 30, 200, 6000, 45),
            env(32, 5, 100, 100, 100, 100, 100, 20, 30, 80, 100, 170),
            env(32, 5, 30, 100, 30, 35, 10, 3, 10, 60, 900, 25)),
    // 6: rising ramp with a held low third, and stepped octave and twelfth.
    program("Lead 7",
            {20, 25, 50, 10, 2840.0f, -70, 80, 100, 0, 0, 50.0f, 15500.0f},
            layer(2, 1, 1.0f, 2, 0, 0, 0, 0, 1), layer(5, 2, 0.3f, 1), layer(5, 3, 0.1f, 1),
            layer(1, 1, 1.0f, 1, 0.52f),
            env(32, 10, 0, 100, 70, 75, 0, 50, 140, 290, 700, 80),
            env(32, 10, 99, 103, 99, 100, 99, 40, 20, 50, 150, 70),
            env(32, 10, 60, 100, 25, 30, 60, 150, 50, 210, 500, 90)),
    // 7: soft flute: nearly a sine, a breathy chiff and a gentle vibrato.
    program("Lead 8",
            {20, 20, 26, 45, 1800.0f, -30, 50, 60, 0, 0, 80.0f, 6000.0f},
            layer(1, 1, 1.0f, 1, 0.02f), layer(1, 2, 0.12f, 1, 0), layer(1, 3, 0.04f, 1, 0),
            layer(5, 3, 1.0f, 1, 1),
            env(32, 5, 0, 55, 47, 44, 0, 12, 30, 300, 7000, 70),
            env(32, 5, 100, 100, 100, 100, 100, 20, 20, 50, 100, 205),
            env(32, 5, 100, 100, 10, 5, 5, 2, 10, 40, 500, 50)),
    // 8: gritty stepped sines, coarse steps and a buzzing top.
    program("Lead 9",
            {5, 30, 65, 20, 3200.0f, -60, 35, -20, 0, 0, 150.0f, 11000.0f},
            layer(5, 1, 1.0f, 1, 6), layer(5, 2, 0.4f, 1, 3), layer(1, 4, 0.1f, 3, 0.1f),
            layer(1, 2, 1.0f, 2, 0.1f),
            env(32, 5, 0, 60, 45, 45, 0, 5, 50, 250, 7000, 30),
            env(32, 5, 100, 100, 100, 100, 100, 5, 150, 150, 100, 145),
            env(32, 5, 30, 100, 20, 20, 10, 3, 7, 40, 800, 25)),
    // 9: fat and dark: two ramps an octave apart, oscillators detuned, the ensemble on the main
    //    bus, everything above 2.4 kHz low-passed away, and a level that sinks back after the
    //    strike.
    program("Lead 10",
            {15, 35, 40, -30, 2500.0f, 60, 60, 100, 0, 0, 100.0f, 2400.0f},
            layer(2, 1, 1.0f, 10, 0, 0.5f, 0, 0.5f, 0, 10),
            layer(2, 2, 0.35f, 10, 0, 0.5f, 0, 0.5f, 0, 10), layer(4, 3, 0.15f, 1, 0, 1),
            layer(1, 1, 1.0f, 1, 0.25f),
            env(32, 5, 0, 100, 75, 50, 0, 8, 50, 300, 1500, 80),
            env(32, 5, 101, 101, 101, 101, 101, 30, 40, 200, 100, 220),
            env(32, 5, 30, 100, 40, 35, 10, 10, 20, 250, 2000, 60)),

    // ---- Elephones: brassy and nasal; brightness swells in after the attack, a small pitch
    //      scoop, a mid-range formant added back from the send bus ---------------------------

    // 10: trumpet: the first six harmonics in equal measure, the ones above only what the
    //     modulation opens, so the brass brightens as it speaks.
    program("Elephone 1",
            {0, 60, 50, 15, 1300.0f, 70, 0, 0, 0, 0, 90.0f, 7000.0f},
            layer(4, 1, 1.0f, 1, 1, 6), none(), none(),
            layer(1, 1, 1.0f, 1, 0.2f),
            env(48, 8, 0, 85, 75, 75, 0, 50, 30, 200, 4000, 90),
            env(48, 8, 96, 100, 104, 100, 100, 40, 0, 20, 20, 235),
            env(48, 8, 0, 100, 70, 65, 20, 120, 40, 300, 3000, 90)),
    // 11: muted trumpet: a narrow pulse, thin at the bottom, a nasal formant; it speaks softly
    //     and swells by 9 dB over a second and a half.
    program("Elephone 2",
            {10, 40, 55, 20, 1800.0f, 100, -30, 0, 0, 0, 300.0f, 5000.0f},
            layer(2, 1, 1.0f, 0.2f, 1, 0.2f, 0, 0.2f, 8, 0.2f), layer(4, 2, 0.3f, 1, 2, 3), none(),
            layer(1, 2, 1.0f, 1, 0.15f),
            env(48, 8, 0, 30, 30, 90, 0, 40, 40, 200, 1500, 70),
            env(48, 8, 97, 100, 103, 100, 100, 36, 0, 18, 18, 205),
            env(48, 8, 10, 100, 60, 55, 20, 90, 30, 200, 2500, 70)),
    // 12: French horn: dark, slow to speak, swelling by 7 dB on the held note.
    program("Elephone 3",
            {45, 45, 45, 10, 550.0f, 80, 0, 0, 0, 0, 70.0f, 3500.0f},
            layer(3, 1, 1.0f, 1, 0, 1, 0, 1, 0, 1), layer(1, 1, 0.3f, 2, 0.2f), none(),
            layer(1, 2, 1.0f, 1, 0.3f),
            env(48, 8, 0, 30, 28, 62, 0, 90, 40, 250, 1500, 100),
            env(48, 8, 95, 100, 105, 100, 100, 70, 0, 35, 35, 250),
            env(48, 8, 0, 60, 60, 100, 10, 250, 60, 400, 1500, 100)),
    // 13: kazoo voice: a buzzing nasal vowel, harmonics 4 to 12 over a plain fundamental, with a
    //     wide, slow vibrato.
    program("Elephone 4",
            {10, 55, 22, 60, 2500.0f, 100, -40, 0, 0, 0, 250.0f, 6000.0f},
            layer(4, 1, 1.0f, 4, 1, 9), layer(1, 1, 0.5f, 1, 0.1f), none(),
            layer(1, 2, 1.0f, 1, 0.25f),
            env(48, 8, 0, 84, 77, 76, 0, 45, 30, 200, 5000, 60),
            env(48, 8, 96, 100, 104, 100, 100, 50, 0, 25, 25, 190),
            env(48, 8, 0, 100, 75, 70, 20, 150, 20, 200, 3000, 60)),
    // 14: brass section: a forte-piano attack that drops 9 dB and grows again, the ensemble for
    //     width.
    program("Elephone 5",
            {10, 50, 40, 25, 1100.0f, 60, 30, 0, 0, 50, 80.0f, 8000.0f},
            layer(2, 1, 1.0f, 8, 0, 1, 0, 1, 0, 8), layer(2, 2, 0.3f, 8, 0, 1, 0, 1, 0, 8),
            layer(1, 3, 0.15f, 2, 0.1f),
            layer(1, 1, 1.0f, 1, 0.2f),
            env(48, 8, 0, 81, 27, 85, 0, 60, 40, 400, 1500, 120),
            env(48, 8, 95, 100, 105, 100, 100, 60, 0, 30, 30, 280),
            env(48, 8, 0, 100, 30, 90, 20, 80, 40, 250, 1800, 120)),

    // ---- Pads: slow attacks, long releases, the ensemble on the send bus --------------------

    // 15: a seven-piece trapezoid.
    program("Pad 1",
            {20, 35, 70, 5, 1500.0f, -120, 0, 20, 0, 0, 50.0f, 10000.0f},
            layer(2, 1, 1.0f, 0.2f, 0.1f, 1.8f, 1.2f, 0.5f, 3, 0.2f), none(), none(),
            layer(1, 1, 1.0f, 1, 0.3f),
            env(32, 10, 0, 100, 60, 65, 0, 30, 40, 290, 700, 80),
            env(32, 10, 99, 100, 100, 100, 99, 2, 2, 10, 150, 70),
            env(32, 10, 30, 100, 55, 30, 60, 350, 5, 70, 500, 50)),
    // 16: warm strings.
    program("Pad 2",
            {20, 20, 45, 20, 1800.0f, -110, 0, 20, 0, 0, 60.0f, 9000.0f},
            layer(2, 1, 1.0f, 6, 0, 1, 0, 1, 0, 6), layer(2, 2, 0.35f, 6, 0, 1, 0, 1, 0, 6), none(),
            layer(1, 1, 1.0f, 1, 0.2f),
            env(32, 10, 0, 56, 52, 48, 0, 450, 100, 800, 3000, 500),
            env(32, 10, 100, 100, 100, 100, 100, 50, 10, 50, 150, 850),
            env(32, 10, 20, 80, 60, 50, 30, 600, 100, 900, 3000, 850)),
    // 17: choir: soft harmonics and vowel-like formants, the send bus added back.
    program("Pad 3",
            {25, 25, 30, 35, 1100.0f, 110, 15, 20, 0, 0, 80.0f, 7000.0f},
            layer(4, 1, 0.7f, 1, 1, 3), layer(1, 2, 0.4f, 1, 0.3f), layer(1, 5, 0.12f, 1, 0.1f),
            layer(1, 1, 1.0f, 2, 0.1f),
            env(32, 10, 0, 88, 80, 78, 0, 700, 100, 900, 4000, 600),
            env(32, 10, 100, 100, 100, 100, 100, 100, 20, 100, 150, 1000),
            env(32, 10, 30, 90, 70, 60, 30, 900, 100, 900, 4000, 1000)),
    // 18: glassy: the upper partials 3 to 8 in equal measure over a faint fundamental, no end
    //     taper, a high send band.
    program("Pad 4",
            {0, 10, 55, 15, 3500.0f, -120, 0, 20, 0, 0, 100.0f, 12000.0f},
            layer(1, 1, 0.35f, 1, 0), layer(4, 1, 1.0f, 3, 1, 6), layer(5, 5, 0.15f, 1),
            layer(1, 3, 1.0f, 1, 0.1f),
            env(32, 10, 0, 72, 58, 55, 0, 350, 60, 700, 4000, 550),
            env(32, 10, 100, 100, 100, 100, 100, 20, 10, 50, 150, 950),
            env(32, 10, 50, 100, 40, 30, 20, 300, 20, 800, 4000, 950)),
    // 19: dark triangle pad.
    program("Pad 5",
            {30, 15, 35, 10, 900.0f, -100, 0, 20, 0, 0, 40.0f, 4000.0f},
            layer(2, 1, 1.0f, 1, 0, 1, 0, 1, 0, 1), layer(1, 2, 0.2f, 1, 0.1f), none(),
            layer(1, 1, 1.0f, 1, 0.2f),
            env(32, 10, 0, 78, 70, 70, 0, 900, 100, 1000, 5000, 650),
            env(32, 10, 100, 100, 100, 100, 100, 200, 50, 200, 150, 1100),
            env(32, 10, 0, 100, 60, 50, 20, 1200, 100, 1500, 5000, 1100)),
    // 20: slow swell: the level takes a second and a half to build while the modulation
    //     opens a rounded pulse, and the LFO keeps its brightness moving.
    program("Pad 6",
            {10, 90, 15, 60, 2000.0f, -120, 0, 20, 0, 0, 60.0f, 10000.0f},
            layer(3, 1, 1.0f, 1, 2, 1, 0, 1, 0.3f, 4), layer(1, 2, 0.2f, 1, 0.2f), none(),
            layer(1, 2, 1.0f, 1, 0.3f),
            env(32, 10, 0, 55, 52, 50, 0, 1500, 100, 800, 5000, 600),
            env(32, 10, 100, 100, 100, 100, 100, 30, 10, 50, 150, 1000),
            env(32, 10, 0, 100, 40, 60, 20, 2000, 200, 3000, 6000, 1000)),
    // 21: hollow square pad: odd harmonics only, unmodulated and untapered, so nothing fills the
    //     even ones.
    program("Pad 7",
            {0, 0, 60, 25, 1300.0f, -100, 0, 20, 0, 0, 50.0f, 8000.0f},
            layer(2, 1, 1.0f, 0.3f, 3, 0.3f, 0, 0.3f, 3, 0.3f), layer(4, 3, 0.2f, 1, 2, 2), none(),
            layer(1, 1, 1.0f, 1, 0.15f),
            env(32, 10, 0, 50, 43, 40, 0, 500, 80, 800, 4000, 550),
            env(32, 10, 100, 100, 100, 100, 100, 40, 10, 50, 150, 930),
            env(32, 10, 20, 80, 50, 45, 20, 600, 80, 900, 4000, 930)),
    // 22: soft strings with vibrato: the ensemble runs on the main bus (negative LFO depth).
    program("Pad 8",
            {20, 20, 55, -20, 1600.0f, 40, 0, 20, 0, 0, 60.0f, 9000.0f},
            layer(3, 1, 1.0f, 6, 0, 1, 0, 1, 0, 6), layer(4, 1, 0.25f, 1, 1, 4), none(),
            layer(1, 1, 1.0f, 1, 0.15f),
            env(32, 10, 0, 56, 50, 49, 0, 400, 100, 800, 4000, 500),
            env(32, 10, 100, 100, 100, 100, 100, 30, 10, 50, 150, 850),
            env(32, 10, 20, 80, 60, 50, 20, 500, 100, 800, 4000, 850)),

    // ---- Keys: instant attacks, percussive decays to (almost) nothing -----------------------

    // 23: loud and inverted phase-modulated sines with a trapezoid: a hammered tone.
    program("Keys 1",
            {0, 40, 30, 15, 2540.0f, 120, -5, 100, 0, 0, 70.0f, 10000.0f},
            layer(1, 1, 5.0f, 5, 0.1f), layer(1, 1, -1.5f, 3.5f, 0.2f),
            layer(2, 2, 1.0f, 1, 0.5f, 0.1f, 0, 0.3f, 1, 0.1f),
            layer(5, 9, 1.0f, 2),
            env(32, 10, 0, 100, 40, 5, 0, 5, 40, 290, 4500, 80),
            env(32, 10, 19, 101, 99, 100, 99, 10, 20, 50, 150, 70),
            env(32, 10, 30, 100, 50, 80, 20, 2, 20, 7, 500, 90)),
    // 24: electric piano tine: a bright ping that mellows.
    program("Keys 2",
            {0, 35, 30, 10, 2500.0f, 100, -5, -20, 0, 0, 60.0f, 10000.0f},
            layer(1, 1, 1.0f, 1, 0.1f), layer(1, 7, 0.08f, 1, 0.2f), none(),
            layer(1, 1, 1.0f, 1, 0.3f),
            env(32, 10, 0, 88, 46, 0, 0, 3, 20, 400, 3500, 120),
            env(32, 10, 101, 100, 100, 100, 100, 10, 10, 50, 150, 280),
            env(32, 10, 80, 100, 30, 10, 10, 1, 10, 150, 800, 80)),
    // 25: clavinet: narrow pulse and a quick decay.
    program("Keys 3",
            {0, 45, 35, 15, 2200.0f, 40, -10, -20, 0, 0, 150.0f, 7000.0f},
            layer(2, 1, 1.0f, 0.1f, 1, 0.1f, 0, 0.1f, 2, 0.1f), layer(4, 1, 0.3f, 2, 1, 6), none(),
            layer(1, 2, 1.0f, 1, 0.2f),
            env(32, 10, 0, 63, 47, 0, 0, 8, 10, 250, 1200, 40),
            env(32, 10, 101, 100, 100, 100, 100, 5, 10, 50, 150, 160),
            env(32, 10, 100, 100, 30, 10, 10, 1, 5, 100, 600, 40)),
    // 26: organ: drawbar harmonics 1, 2, 3, 4, 6 and 8, unmodulated and untapered, a percussive
    //     fall to a body that keeps fading.
    program("Keys 4",
            {0, 0, 60, 40, 2000.0f, 90, -5, -10, 0, 0, 50.0f, 9000.0f},
            layer(4, 1, 1.0f, 1, 1, 4), layer(4, 2, 0.8f, 3, 1, 2), none(),
            layer(1, 1, 1.0f, 1, 0.1f),
            env(32, 10, 0, 110, 52, 0, 0, 2, 0, 150, 4000, 60),
            env(32, 10, 100, 100, 100, 100, 100, 5, 5, 10, 150, 190),
            env(32, 10, 100, 100, 20, 10, 10, 1, 5, 150, 1000, 60)),
    // 27: harpsichord: two bright ramps, plucked.
    program("Keys 5",
            {0, 30, 30, 10, 3000.0f, 70, 10, -20, 0, 0, 100.0f, 12000.0f},
            layer(2, 1, 1.0f, 10, 0, 0.3f, 0, 0.3f, 0, 10),
            layer(2, 2, 0.4f, 10, 0, 0.3f, 0, 0.3f, 0, 10), none(),
            layer(1, 3, 1.0f, 1, 0.1f),
            env(32, 10, 0, 100, 50, 0, 0, 3, 5, 350, 3000, 150),
            env(32, 10, 100, 100, 100, 100, 100, 5, 5, 10, 150, 325),
            env(32, 10, 100, 100, 40, 10, 10, 1, 5, 100, 1500, 100)),
    // 28: marimba: fundamental with the fourth and tenth partials; the low bars ring longer.
    program("Keys 6",
            {0, 20, 25, 5, 1500.0f, 60, -5, -20, 0, 0, 60.0f, 8000.0f},
            layer(1, 1, 1.0f, 1), layer(1, 4, 0.25f, 1), layer(1, 10, 0.08f, 1),
            layer(1, 4, 1.0f, 1, 0.1f),
            env(60, 15, 0, 104, 50, 0, 0, 2, 5, 220, 1100, 100),
            env(60, 15, 100, 100, 100, 100, 100, 5, 5, 10, 150, 250),
            env(60, 15, 100, 100, 10, 0, 0, 1, 2, 40, 200, 100)),
    // 29: vibraphone: long ring, the LFO moving the brightness.
    program("Keys 7",
            {0, 15, 30, 60, 2000.0f, 60, 0, -10, 0, 0, 60.0f, 10000.0f},
            layer(1, 1, 1.0f, 1), layer(1, 4, 0.15f, 1, 0.05f), none(),
            layer(1, 4, 1.0f, 1),
            env(64, 5, 0, 95, 53, 0, 0, 2, 20, 700, 3500, 400),
            env(64, 5, 100, 100, 100, 100, 100, 5, 5, 10, 150, 700),
            env(64, 5, 100, 100, 30, 20, 10, 1, 5, 200, 2000, 300)),
    // 30: reed piano: a modulated triangle that barks when struck.
    program("Keys 8",
            {0, 45, 30, 15, 1800.0f, 100, -10, -10, 0, 0, 70.0f, 9000.0f},
            layer(2, 1, 1.0f, 1, 0, 1, 0, 1, 0, 1), layer(1, 1, 0.3f, 2, 0.2f), none(),
            layer(1, 1, 1.0f, 1, 0.35f),
            env(32, 10, 0, 88, 52, 0, 0, 3, 20, 500, 4000, 100),
            env(32, 10, 101, 100, 100, 100, 100, 5, 10, 30, 150, 250),
            env(32, 10, 0, 100, 40, 20, 10, 1, 5, 150, 1500, 80)),
    // 31: toy piano: slightly out-of-series partials, short and bright.
    program("Keys 9",
            {0, 25, 30, 10, 3500.0f, 100, 5, -20, 0, 0, 120.0f, 12000.0f},
            layer(1, 1, 1.0f, 3, 0.2f), layer(4, 2, 0.2f, 1, 2.5f, 3), none(),
            layer(1, 2, 1.0f, 1, 0.1f),
            env(64, 5, 0, 72, 50, 0, 0, 5, 5, 250, 1800, 90),
            env(64, 5, 101, 100, 100, 100, 100, 5, 5, 10, 150, 240),
            env(64, 5, 100, 100, 20, 5, 5, 1, 2, 60, 500, 70)),

    // ---- Sequences: short plucks for patterns, echoes on the send bus -----------------------

    // 32: octave pluck: a ramp an octave up over a plain sine, so above the fundamental only the
    //     even harmonics sound, with a fast brightness decay.
    program("Sequence 1",
            {0, 70, 40, 10, 1800.0f, 50, 60, -10, 0, 0, 60.0f, 9000.0f},
            layer(2, 2, 1.0f, 10, 0, 0.3f, 0, 0.3f, 0, 10), layer(1, 1, 0.6f, 1, 0), none(),
            layer(1, 2, 1.0f, 2, 0.3f),
            env(32, 10, 0, 127, 14, 0, 0, 6, 70, 200, 300, 60),
            env(32, 10, 100, 100, 100, 100, 100, 2, 2, 10, 150, 190),
            env(32, 10, 0, 100, 20, 0, 0, 1, 5, 80, 300, 60)),
    // 33: square stab: a held blast of a hollow square that stops short.
    program("Sequence 2",
            {0, 30, 50, 15, 1200.0f, 0, 40, -10, 0, 0, 80.0f, 10000.0f},
            layer(2, 1, 1.0f, 0.2f, 5, 0.2f, 0, 0.2f, 5, 0.2f), layer(4, 2, 0.2f, 1, 2, 3), none(),
            layer(1, 2, 1.0f, 1, 0.15f),
            env(32, 10, 0, 66, 6, 0, 0, 6, 170, 100, 150, 50),
            env(32, 10, 102, 100, 100, 100, 100, 3, 5, 10, 150, 180),
            env(32, 10, 100, 100, 20, 0, 0, 1, 5, 60, 300, 50)),
    // 34: phase-modulated blip with a pitch flick.
    program("Sequence 3",
            {0, 50, 55, 20, 3000.0f, 0, 70, -10, 0, 0, 120.0f, 12000.0f},
            layer(1, 1, 1.0f, 3, 0.3f), none(), none(),
            layer(1, 2, 1.0f, 3, 0.2f),
            env(32, 10, 0, 96, 10, 0, 0, 6, 170, 90, 150, 30),
            env(32, 10, 110, 100, 100, 100, 100, 8, 2, 10, 150, 150),
            env(32, 10, 100, 100, 10, 0, 0, 1, 1, 40, 150, 30)),
    // 35: stepped-sine arpeggio tone.
    program("Sequence 4",
            {0, 25, 60, 25, 2200.0f, 0, 50, -10, 0, 0, 100.0f, 10000.0f},
            layer(5, 1, 1.0f, 1, 2), layer(5, 2, 0.5f, 1, 1), none(),
            layer(1, 1, 1.0f, 1, 0.2f),
            env(32, 10, 0, 88, 10, 0, 0, 6, 120, 160, 300, 50),
            env(32, 10, 100, 100, 100, 100, 100, 2, 2, 10, 150, 180),
            env(32, 10, 60, 100, 30, 10, 10, 1, 5, 80, 500, 50)),
    // 36: bass pluck, low-passed.
    program("Sequence 5",
            {0, 35, 30, 5, 800.0f, 70, -10, -10, 0, 0, 40.0f, 5000.0f},
            layer(1, 1, 1.0f, 1, 0.3f), layer(4, 1, 0.4f, 1, 1, 4), none(),
            layer(1, 1, 1.0f, 1, 0.2f),
            env(32, 10, 0, 118, 25, 0, 0, 6, 120, 180, 250, 60),
            env(32, 10, 100, 100, 100, 100, 100, 2, 2, 10, 150, 190),
            env(32, 10, 100, 100, 30, 0, 0, 1, 5, 100, 500, 60)),
    // 37: glassy odd harmonics with a long echo.
    program("Sequence 6",
            {0, 30, 45, 30, 3500.0f, 30, 80, -10, 0, 0, 120.0f, 13000.0f},
            layer(4, 1, 1.0f, 1, 2, 3), layer(1, 2, 0.3f, 2.5f, 0.1f), none(),
            layer(1, 3, 1.0f, 1, 0.15f),
            env(64, 5, 0, 114, 13, 0, 0, 6, 120, 160, 250, 80),
            env(64, 5, 100, 100, 100, 100, 100, 2, 2, 10, 150, 220),
            env(64, 5, 100, 100, 20, 0, 0, 1, 5, 100, 400, 80)),

    // ---- Bells: partials off the harmonic series (non-integer cycles per repetition), long
    //      decays, a pitch ping at the strike ------------------------------------------------

    // 38: phase-modulated sines with off-series modulators.
    program("Bell 1",
            {0, 10, 25, 80, 4000.0f, 120, 10, 100, 0, 0, 100.0f, 12500.0f},
            layer(1, 1, 1.0f, 3, 0.1f), layer(1, 2, -0.1f, 2, 0.5f), layer(1, 4, -0.05f, 2, 1.7f),
            layer(2, 9, 1.0f, 1.5f, 0.15f),
            env(64, 5, 0, 100, 40, 5, 0, 5, 100, 90, 2500, 80),
            env(64, 5, 50, 102, 99, 100, 97, 2, 5, 10, 150, 70),
            env(64, 5, 50, 100, 16, 4, 10, 5, 2, 5, 50, 90)),
    // 39: tubular bell: a bright strike over a long, clanging ring.
    program("Bell 2",
            {10, 60, 25, 30, 2500.0f, 90, 10, -5, 0, 0, 80.0f, 11000.0f},
            layer(4, 1, 1.0f, 1, 1, 3), layer(1, 4, 0.3f, 1, 0), none(),
            layer(1, 3, 2.0f, 1, 0),
            env(64, 5, 0, 127, 85, 0, 0, 1, 0, 120, 7000, 550),
            env(64, 5, 127, 127, 127, 127, 127, 2, 5, 10, 150, 950),
            env(64, 5, 100, 100, 40, 25, 25, 1, 5, 300, 2500, 900)),
    // 40: glass bell: near-pure sines a wide, cold interval apart.
    program("Bell 3",
            {0, 60, 30, 0, 4500.0f, 10, 0, -5, 0, 0, 250.0f, 15000.0f},
            layer(1, 1, 1.0f, 1, 0), layer(1, 3, 0.25f, 1, 0), none(),
            layer(1, 3, 2.8f, 1, 0),
            env(64, 5, 0, 105, 65, 0, 0, 3, 0, 200, 7000, 500),
            env(64, 5, 122, 122, 122, 122, 122, 2, 5, 10, 150, 850),
            env(64, 5, 100, 100, 100, 100, 100, 1, 5, 150, 1500, 850)),
    // 41: gong: a dark strike whose brightness blooms, the ensemble shimmering in the send band
    //     (on the main bus it let the low strike swell after note-off).
    program("Bell 4",
            {40, 70, 20, 20, 2500.0f, 30, 15, -5, 0, 0, 50.0f, 7000.0f},
            layer(3, 1, 1.0f, 1, 0.5f, 1, 0, 1, 0.5f, 1), layer(1, 2, -0.4f, 1.5f, 0.3f), none(),
            layer(1, 3, 2.5f, 1, 0),
            env(64, 5, 0, 120, 80, 0, 0, 4, 30, 600, 8000, 650),
            env(64, 5, 52, 52, 52, 52, 52, 2, 5, 10, 150, 1100),
            env(64, 5, 30, 40, 100, 60, 60, 2, 5, 500, 3000, 1100)),
    // 42: church bell: hum, prime and nominal with a minor-third tierce.
    program("Bell 5",
            {0, 40, 25, 60, 2000.0f, 80, 20, -5, 0, 0, 50.0f, 9000.0f},
            layer(4, 1, 1.0f, 1, 1, 2), layer(1, 4, 0.5f, 1, 0.1f), layer(1, 3, 0.3f, 1, 0),
            layer(1, 2, 3.0f, 1, 0),
            env(64, 5, 0, 127, 80, 0, 0, 1, 0, 80, 9000, 600),
            env(64, 5, 119, 119, 119, 119, 119, 2, 5, 10, 150, 1000),
            env(64, 5, 100, 100, 40, 20, 20, 1, 10, 600, 4000, 1000)),
    // 43: celesta: a small hammered plate, bright and clean.
    program("Bell 6",
            {0, 60, 30, 20, 4000.0f, 60, 5, -5, 0, 0, 200.0f, 14000.0f},
            layer(1, 1, 1.0f, 1, 0), layer(1, 2, 0.15f, 1, 0), none(),
            layer(1, 4, 2.8f, 1, 0),
            env(64, 5, 0, 115, 60, 0, 0, 1, 5, 250, 5000, 350),
            env(64, 5, 124, 124, 124, 124, 124, 2, 5, 10, 150, 650),
            env(64, 5, 100, 100, 90, 80, 80, 1, 5, 200, 2000, 650)),
    // 44: metallic clang: a hard strike of stepped, strongly modulated partials.
    program("Bell 7",
            {35, 80, 25, 70, 3500.0f, 60, 10, -5, 0, 0, 100.0f, 13000.0f},
            layer(2, 1, 1.0f, 1, 0, 1, 0, 1, 0, 1), layer(1, 3, 0.4f, 2.3f, 0.3f), none(),
            layer(5, 7, 3.0f, 1, 3),
            env(64, 5, 0, 125, 65, 0, 0, 1, 10, 350, 6000, 450),
            env(64, 5, 57, 57, 57, 57, 57, 2, 5, 10, 150, 800),
            env(64, 5, 100, 100, 50, 30, 30, 1, 5, 250, 3000, 800)),
    // 45: kalimba: a plucked tine, its overtones off the series.
    program("Bell 8",
            {0, 60, 35, 0, 1500.0f, 50, 10, -5, 0, 0, 80.0f, 4000.0f},
            layer(1, 1, 1.0f, 1, 0), layer(1, 2, 0.1f, 1, 0), none(),
            layer(1, 13, 2.4f, 1, 0),
            env(64, 5, 0, 120, 50, 0, 0, 1, 5, 150, 4500, 300),
            env(64, 5, 40, 40, 40, 40, 40, 2, 5, 10, 150, 550),
            env(64, 5, 100, 100, 95, 90, 90, 1, 5, 150, 2000, 550)),

    // Slots 46..63 are empty records (all zero).
};
// clang-format on

void stampPatchHeader(Patch& patch) {
    patch.formatVersion = kPatchFormatVersion;
    std::memcpy(patch.productTag, kProductTag, std::strlen(kProductTag) + 1);
    patch.recordSize = kPatchRecordSize;
    patch.recordSizeCheck = ~kPatchRecordSize;
}
