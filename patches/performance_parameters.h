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

/// A parameter's range in its own units (percent, or Hz for the filters): what formats that
/// show plain values (LV2, VST3, CLAP) announce. Every value in it is a whole number.
struct ParameterRange {
    float minimum;
    float maximum;
};
constexpr ParameterRange kParameterRanges[kParameterCount] = {
    {0, 100}, {0, 100}, {-80, 100}, {-99, 100}, {10, 1500}, {2000, 20000}};

/// Room a display text needs, bytes with the terminating zero.
constexpr int kParameterTextSize = 16;

/// Stores host value v (0..1; NaN counts as 0, others are clamped) for parameter index and
/// recomputes what depends on it; sampleRate (Hz) is used for the filter redesigns. "HPF" and
/// "LPF" store their cut-off in the current patch's highPassHz and lowPassHz as well as in the
/// filter, so the program keeps them like the other four.
void setPerformanceParameter(SynthEngine& engine, int index, float v, float sampleRate);

/// The plain value host value v (0..1; NaN counts as 0, others are clamped) sets: the byte for
/// "Window", "Modulation", "Atack" and "Sustain", the cut-off in Hz for "HPF" and "LPF" before
/// the filter design limits it. Pure; safe on any thread.
float plainParameterValue(int index, float v);
/// A plain value as a format with plain ranges delivers it (any float): limited to the range
/// (NaN counts as its minimum) and truncated toward zero to the whole number the instrument
/// keeps. Pure; safe on any thread.
float limitedPlainValue(int index, float plain);
/// Stores a plain value (as plainParameterValue gives it) for parameter index and recomputes
/// what depends on it: setPerformanceParameter is this after plainParameterValue. Allocates
/// nothing and takes O(table length) at most ("Window" re-tapers the carrier from its layers),
/// so the audio thread may call it on its own engine.
void applyPlainParameter(SynthEngine& engine, int index, float plain, float sampleRate);
/// Stores a plain value into a program record that is not the current one.
void storePlainParameter(struct Patch& patch, int index, float plain);

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
