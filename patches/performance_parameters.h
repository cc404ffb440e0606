// The six automatable parameters: four bytes of the current patch and the cut-offs of the two
// output filters, mapped from and to normalised host values 0..1.
#pragma once

#include <cstdint>

struct SynthEngine;

/// Number of automatable parameters.
constexpr int kParameterCount = 6;

enum PerformanceParameter : int {
    ParamWindow = 0,     ///< "Window", percent 0..100
    ParamModulation = 1, ///< "Modulation", percent 0..100
    ParamAttack = 2,     ///< "Atack", percent -80..100
    ParamSustain = 3,    ///< "Sustain", percent -99..100
    ParamHighPass = 4,   ///< "HPF", 10..1500 Hz
    ParamLowPass = 5,    ///< "LPF", 2000..20000 Hz
};

/// Stores host value v (0..1; NaN counts as 0, others are clamped) for parameter index and
/// recomputes what depends on it; sampleRate (Hz) is used for the filter redesigns.
void setPerformanceParameter(SynthEngine& engine, int index, float v, float sampleRate);

/// Writes the display text (at least 16 bytes of room) and returns the normalised value.
/// Returns 0 and leaves text alone for an index outside 0..5.
float describePerformanceParameter(const SynthEngine& engine, int index, char* text);
