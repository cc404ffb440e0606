// Turns the current Patch into everything the renderer reads: both wavetables, the three
// filters, the ensemble's line and taps, and the echo line.
#pragma once

#include <cstdint>

struct SynthEngine;

/// Program number that asks applyPatch for a rebuild from the current patch.
constexpr std::int32_t kRebuildCurrentPatch = -1;

/// Makes slot program current and rebuilds from it; -1 rebuilds from the current patch.
/// Does nothing when program equals currentProgram (the host's current program number) or is
/// above 63.
void applyPatch(SynthEngine& engine, std::int32_t program, std::int32_t currentProgram);
/// Sizes the ensemble line for sr and lays out its taps (used by applyPatch).
void configureEnsemble(SynthEngine& engine, float sr);
/// Replaces the ensemble line by count floats (nothing when count is 0).
void resizeEnsembleLine(SynthEngine& engine, std::int32_t count);
