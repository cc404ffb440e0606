// Everything derived from the sample rate: note increments from whole-sample periods, the
// wavetables' length, the LFO sine and envelope curve tables, every voice's time base, and a
// re-application of the current patch.
#pragma once

#include <cstdint>

struct SynthEngine;

/// Highest sample rate the tables are built for, Hz. A rate that is negative, not finite or
/// above this is handled like 0: nothing is rebuilt for it.
constexpr float kMaxSampleRate = 768000.0f;

/// Process-wide equal-tempered note frequencies, Hz (note 69 = 440).
extern float noteFrequency[128];
/// Fills noteFrequency (each plug-in constructor writes the same values again).
void fillNoteFrequency();

/// Rebuilds all rate-dependent tables for sr (Hz) and re-applies the current patch. sr 0
/// keeps the old tables (tableLength and curveLength become 0). noteFrequency must have been
/// filled; until then every increment is 0.
void changeSampleRate(SynthEngine& engine, float sr);
