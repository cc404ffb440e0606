#include "engine/envelope.h"

#include "engine/voice.h"

#include <cmath>
#include <cstdint>

namespace {

/// Milliseconds to microseconds.
constexpr std::int64_t kUsPerMs = 1000;
/// Key scaling is given in tenths.
constexpr float kKeyAmountScale = 0.1f;
/// The one key amount that is read differently: -128 counts as -100.
constexpr int kKeyAmountOddValue = -128;
constexpr int kKeyAmountOddReplacement = -100;
/// Highest MIDI note; the key-scaling slope above the centre spreads over the notes up to it.
constexpr int kTopNote = 127;
constexpr float kPercent = 0.01f;

std::int32_t saturate(std::int64_t v) {
    return static_cast<std::int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v));
}

/// 1 / length of a segment in microseconds, 1.0 for an empty one.
float rateOf(std::int64_t lengthUs) {
    return lengthUs == 0 ? 1.0f : 1.0f / static_cast<float>(lengthUs);
}

/// The segment shape at fraction u: the curve table with linear interpolation, 1.0 at its
/// end, or u itself when there is no curve. u is clamped to 0..1 so that extreme or negative
/// times stay inside the table.
float curveAt(float u, const float* curve, std::int32_t curveLength) {
    if (!(u >= 0.0f)) u = 0.0f; // also not-a-number
    if (u > 1.0f) u = 1.0f;
    if (!curve || curveLength <= 0) return u;
    const float pos = u * static_cast<float>(curveLength);
    const std::int32_t i = static_cast<std::int32_t>(pos);
    if (i + 1 >= curveLength) return 1.0f;
    return curve[i] + (curve[i + 1] - curve[i]) * (pos - static_cast<float>(i));
}

} // namespace

void prepareEnvelope(Voice& voice, int index, const EnvelopeSpec& spec) {
    if (index < 0 || index >= voice.envelopeCount || index >= kEnvelopesPerVoice) return;
    PreparedEnvelope& env = voice.envelopes[index];

    const int keyAmount =
        spec.keyAmount == kKeyAmountOddValue ? kKeyAmountOddReplacement : spec.keyAmount;
    const float amount = static_cast<float>(keyAmount) * kKeyAmountScale;
    // A centre of 0 or 127 divides by zero here; that slope applies only to notes that never
    // sound (note 0, notes above 127).
    env.rateAbove = amount / static_cast<float>(kTopNote - spec.keyCentre);
    env.rateBelow = amount / static_cast<float>(spec.keyCentre);

    const std::int8_t levels[5] = {spec.startLevel, spec.peakLevel, spec.decayLevel,
                                   spec.sustainLevel, spec.releaseLevel};
    for (int i = 0; i < 5; ++i)
        env.level[i] = static_cast<float>(levels[i]) * kPercent;

    // Segment ends in whole microseconds; sums are formed in 64 bits and saturated, so huge
    // times cannot wrap around.
    const std::int32_t segmentMs[4] = {spec.attackMs, spec.holdMs, spec.decay1Ms, spec.decay2Ms};
    std::int64_t previous = 0;
    for (int i = 0; i < 4; ++i) {
        const std::int32_t end = saturate(previous + segmentMs[i] * kUsPerMs);
        env.segmentEndUs[i] = end;
        env.segmentRate[i] = rateOf(static_cast<std::int64_t>(end) - previous);
        previous = end;
    }
    env.releaseUs = saturate(spec.releaseMs * kUsPerMs);
    env.releaseRate = rateOf(env.releaseUs);
    env.keyCentre = spec.keyCentre;
    voice.heldLevels[index] = 0.0f;
}

float envelopeValue(Voice& voice, int index, const float* curve, std::int32_t curveLength) {
    if (index < 0 || index >= voice.envelopeCount || index >= kEnvelopesPerVoice) return 0.0f;
    if (voice.state == VoiceFree) return voice.levels[index];
    const PreparedEnvelope& env = voice.envelopes[index];
    const bool held = voice.state == VoiceHeld;

    float level = 0.0f;
    if (voice.sampleCount >= 0) {
        const int d = voice.note - env.keyCentre;
        const float k = d > 0 ? env.rateAbove : env.rateBelow;
        const float t = (static_cast<float>(d) * k + 1.0f) *
                        (static_cast<float>(voice.sampleCount) * voice.usPerSample);
        if (held) {
            int j = 3;
            while (j >= 0 && !(static_cast<float>(env.segmentEndUs[j]) < t))
                --j;
            float start, target, rate, time;
            switch (j) {
            case -1: // attack
                start = env.level[0];
                target = env.level[1];
                rate = env.segmentRate[0];
                time = t;
                break;
            case 0: // hold
                start = target = env.level[1];
                rate = env.segmentRate[1];
                time = t - static_cast<float>(env.segmentEndUs[0]);
                break;
            case 1: // first decay
                start = env.level[1];
                target = env.level[2];
                rate = env.segmentRate[2];
                time = t - static_cast<float>(env.segmentEndUs[1]);
                break;
            case 2: // second decay
                start = env.level[2];
                target = env.level[3];
                rate = env.segmentRate[3];
                time = t - static_cast<float>(env.segmentEndUs[2]);
                break;
            default: // sustain
                start = target = env.level[3];
                rate = 0.0f;
                time = 0.0f;
                break;
            }
            level = start + (target - start) * curveAt(rate * time, curve, curveLength);
        } else {
            // Release: a straight line from the held level toward L4 that ends in exactly 0.
            // Time counts by magnitude, so a key scaling that turns time negative still ends
            // the release instead of holding the voice forever; not-a-number ends it at once.
            const float since = std::fabs(t);
            const float held0 = voice.heldLevels[index];
            if (env.releaseUs > 0 && since < static_cast<float>(env.releaseUs))
                level = held0 + (env.level[4] - held0) * since * env.releaseRate;
        }
    }
    voice.levels[index] = level;
    if (held) voice.heldLevels[index] = level;
    return level;
}
