// Five-level, four-segment envelopes with key scaling, a half-cosine segment curve and a linear
// release. The value is a pure function of the voice's elapsed samples; the only memory is the
// level held at note-off. Times are whole microseconds inside the generator.
#pragma once

#include "patches/patch.h"

#include <cstdint>

struct Voice;

struct PreparedEnvelope {
    float rateAbove = 0;               ///< key-scaling slope for notes above keyCentre
    float rateBelow = 0;               ///< key-scaling slope for notes at or below keyCentre
    float level[5] = {};               ///< L0..L4 as factors (percent x 0.01)
    std::int32_t segmentEndUs[4] = {}; ///< cumulative segment ends, microseconds
    std::int32_t releaseUs = 0;        ///< release time, microseconds
    float segmentRate[4] = {};         ///< 1 / segment length in us (1.0 for empty segments)
    float releaseRate = 1.0f;          ///< 1 / releaseUs (1.0 when 0)
    std::int8_t keyCentre = 0;
};

/// Fills envelope index of voice from spec and clears heldLevels[index].
void prepareEnvelope(Voice& voice, int index, const EnvelopeSpec& spec);

/// Level of envelope index at the voice's sampleCount; stores it in levels[index] (and, while
/// held, heldLevels[index]). curve/curveLength are the engine's current curve table.
float envelopeValue(Voice& voice, int index, const float* curve, std::int32_t curveLength);
