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

/// Room a display text needs, bytes with the terminating zero.
constexpr int kParameterTextSize = 16;

/// Stores host value v (0..1; NaN counts as 0, others are clamped) for parameter index and
/// recomputes what depends on it; sampleRate (Hz) is used for the filter redesigns. "HPF" and
/// "LPF" store their cut-off in the current patch's highPassHz and lowPassHz as well as in the
/// filter, so the program keeps them like the other four.
void setPerformanceParameter(SynthEngine& engine, int index, float v, float sampleRate);

/// The value parameter index stores for host value v: the byte for "Window", "Modulation",
/// "Atack" and "Sustain", the cut-off in Hz for "HPF" and "LPF" as the filter design limits it
/// at sampleRate. Pure; safe on any thread.
float storedParameterValue(int index, float v, float sampleRate);
/// The value parameter index of patch reports (as storedParameterValue) when patch is applied
/// at sampleRate.
float patchParameterValue(const struct Patch& patch, int index, float sampleRate);
/// The normalised host value 0..1 of a stored value. Pure; safe on any thread.
float normalisedParameter(int index, float stored);
/// The display text of a stored value ("%d" of its integer part) into text (kParameterTextSize
/// bytes of room); formats without the C library, so it is safe on the audio thread.
void formatParameter(int index, float stored, char* text);

/// Writes the display text (at least 16 bytes of room) and returns the normalised value.
/// Returns 0 and leaves text alone for an index outside 0..5.
float describePerformanceParameter(const SynthEngine& engine, int index, char* text);
