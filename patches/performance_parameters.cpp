// The six automatable parameters. The ".9" in each scale lets a host value of 1.0 reach the top
// of its range despite truncation; the reported value multiplies by the single-precision
// reciprocal of the range, so 1.0 reads back as exactly 1.0.
#include "patches/performance_parameters.h"

#include "engine/synth_engine.h"
#include "patches/biquad.h"
#include "patches/float_to_int.h"
#include "patches/wave_tables.h"

#include <cstdint>

namespace {

constexpr float kPercentScale = 100.9f; ///< "Window" and "Modulation": 0..100
constexpr float kPercentReciprocal = 0.01f;
constexpr float kAttackScale = 180.9f; ///< "Atack": -80..100
constexpr int kAttackOffset = 80;
constexpr float kAttackReciprocal = 0.0055555557f; // 1/180
constexpr float kSustainScale = 199.9f;            ///< "Sustain": -99..100
constexpr int kSustainOffset = 99;
constexpr float kSustainReciprocal = 0.0050251256f; // 1/199
constexpr float kHighPassScale = 1490.9f;           ///< "HPF": 10..1500 Hz
constexpr int kHighPassLowest = 10;
constexpr float kHighPassReciprocal = 0.00067114097f; // 1/1490
constexpr float kLowPassScale = 18000.9f;             ///< "LPF": 2000..20000 Hz
constexpr int kLowPassLowest = 2000;
constexpr float kLowPassReciprocal = 5.5555556e-5f; // 1/18000

/// Host values are limited to 0..1 first; NaN counts as 0.
float clampHostValue(float v) {
    if (!(v > 0.0f)) return 0.0f;
    return v > 1.0f ? 1.0f : v;
}

/// The low eight bits of v as a signed byte.
std::int8_t lowByte(int v) {
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(v & 0xFF));
}

int scaled(float v, float scale) {
    return truncateToInt(v * scale);
}

} // namespace

float plainParameterValue(int index, float v) {
    v = clampHostValue(v);
    switch (index) {
    case ParamWindow:
    case ParamModulation:
        return static_cast<float>(lowByte(scaled(v, kPercentScale)));
    case ParamAttack:
        return static_cast<float>(lowByte(scaled(v, kAttackScale) - kAttackOffset));
    case ParamSustain:
        return static_cast<float>(lowByte(scaled(v, kSustainScale) - kSustainOffset));
    case ParamHighPass:
        return static_cast<float>(kHighPassLowest + scaled(v, kHighPassScale));
    case ParamLowPass:
        return static_cast<float>(kLowPassLowest + scaled(v, kLowPassScale));
    default:
        return 0.0f;
    }
}

float limitedPlainValue(int index, float plain) {
    if (index < 0 || index >= kParameterCount) return 0.0f;
    const ParameterRange& range = kParameterRanges[index];
    if (!(plain > range.minimum)) return range.minimum;
    if (plain > range.maximum) return range.maximum;
    return static_cast<float>(truncateToInt(plain));
}

void applyPlainParameter(SynthEngine& engine, int index, float plain, float sampleRate) {
    if (index < 0 || index >= kParameterCount || engine.patch == nullptr) return;
    Patch& patch = *engine.patch;
    switch (index) {
    case ParamWindow:
        patch.window = lowByte(truncateToInt(plain));
        // The taper is part of the carrier table: rebuild it at once, and only it.
        if (engine.carrierTable && engine.tableLength > 0) {
            if (engine.carrierSum)
                finishCarrierTable(engine.carrierTable.get(), engine.carrierSum.get(),
                                   engine.tableLength, patch.window);
            else
                buildCarrierTable(engine.carrierTable.get(), engine.tableLength, patch);
        }
        break;
    case ParamHighPass:
        engine.hpf.frequency = plain;
        patch.highPassHz = plain;
        designBiquad(engine.hpf, sampleRate);
        break;
    case ParamLowPass:
        engine.lpf.frequency = plain;
        patch.lowPassHz = plain;
        designBiquad(engine.lpf, sampleRate);
        break;
    default:
        storePlainParameter(patch, index, plain);
        break;
    }
}

void storePlainParameter(Patch& patch, int index, float plain) {
    switch (index) {
    case ParamWindow:
        patch.window = lowByte(truncateToInt(plain));
        break;
    case ParamModulation:
        patch.modulation = lowByte(truncateToInt(plain));
        break;
    case ParamAttack:
        patch.attack = lowByte(truncateToInt(plain));
        break;
    case ParamSustain:
        patch.sustain = lowByte(truncateToInt(plain));
        break;
    case ParamHighPass:
        patch.highPassHz = plain;
        break;
    case ParamLowPass:
        patch.lowPassHz = plain;
        break;
    default:
        break;
    }
}

void setPerformanceParameter(SynthEngine& engine, int index, float v, float sampleRate) {
    if (index < 0 || index >= kParameterCount || engine.patch == nullptr) return;
    applyPlainParameter(engine, index, plainParameterValue(index, v), sampleRate);
}

float storedParameterValue(int index, float v, float sampleRate) {
    const float plain = plainParameterValue(index, v);
    switch (index) {
    case ParamHighPass:
        return limitedFrequency(BiquadHighPass, plain, sampleRate);
    case ParamLowPass:
        return limitedFrequency(BiquadLowPass, plain, sampleRate);
    default:
        return plain;
    }
}

float patchParameterValue(const Patch& patch, int index, float sampleRate) {
    switch (index) {
    case ParamWindow:
        return static_cast<float>(patch.window);
    case ParamModulation:
        return static_cast<float>(patch.modulation);
    case ParamAttack:
        return static_cast<float>(patch.attack);
    case ParamSustain:
        return static_cast<float>(patch.sustain);
    case ParamHighPass:
        return limitedFrequency(BiquadHighPass, patch.highPassHz, sampleRate);
    case ParamLowPass:
        return limitedFrequency(BiquadLowPass, patch.lowPassHz, sampleRate);
    default:
        return 0.0f;
    }
}

float normalisedParameter(int index, float stored) {
    switch (index) {
    case ParamWindow:
    case ParamModulation:
        return stored * kPercentReciprocal;
    case ParamAttack:
        return (stored + static_cast<float>(kAttackOffset)) * kAttackReciprocal;
    case ParamSustain:
        return (stored + static_cast<float>(kSustainOffset)) * kSustainReciprocal;
    case ParamHighPass:
        return (stored - static_cast<float>(kHighPassLowest)) * kHighPassReciprocal;
    case ParamLowPass:
        return (stored - static_cast<float>(kLowPassLowest)) * kLowPassReciprocal;
    default:
        return 0.0f;
    }
}

void formatParameter(int, float stored, char* text) {
    if (text == nullptr) return;
    // "%d" of the integer part, written by hand: no locale, no allocation.
    std::int64_t v = truncateToInt(stored);
    char digits[kParameterTextSize];
    int n = 0;
    const bool negative = v < 0;
    if (negative) v = -v;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < kParameterTextSize - 2);
    int out = 0;
    if (negative) text[out++] = '-';
    while (n > 0)
        text[out++] = digits[--n];
    text[out] = 0;
}

float describePerformanceParameter(const SynthEngine& engine, int index, char* text) {
    if (index < 0 || index >= kParameterCount || engine.patch == nullptr) return 0.0f;
    const Patch& patch = *engine.patch;
    float stored = 0.0f;
    switch (index) {
    case ParamHighPass:
        stored = engine.hpf.frequency;
        break;
    case ParamLowPass:
        stored = engine.lpf.frequency;
        break;
    default:
        stored = patchParameterValue(patch, index, engine.sampleRate);
        break;
    }
    formatParameter(index, stored, text);
    return normalisedParameter(index, stored);
}
