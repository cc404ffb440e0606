// Single-cycle wavetables computed from a program's layered shape recipe, in the time domain.
// A table of L samples holds one period; a layer repeating r times sounds at r times the note.
#pragma once

#include "patches/patch.h"

/// Peak magnitude of a normalised carrier table.
constexpr float kWaveTablePeak = 0.95f;
/// Most repetitions of one layer within a table.
constexpr int kMaxLayerRepeats = 30;

/// Sets L samples to 0 (nothing when L <= 0).
void clearWaveTable(float* table, int L);
/// Renders layer and adds it into the L samples of table.
void addWaveLayer(float* table, int L, const WaveLayer& layer);
/// Raised-cosine taper of both ends; window is the patch byte (percent of half the table).
void taperWaveTable(float* table, int L, int window);
/// Scales the table to a peak magnitude of 0.95 (all-zero or NaN peaks are left alone).
void normaliseWaveTable(float* table, int L);
/// The carrier sequence: clear, add the three carrier layers, taper by window, normalise.
void buildCarrierTable(float* table, int L, const Patch& patch);
/// The first half of the carrier sequence: the three carrier layers summed into L samples.
void buildCarrierSum(float* sum, int L, const Patch& patch);
/// The second half: the sum copied into table, tapered by window, normalised. Together with
/// buildCarrierSum it gives buildCarrierTable's bits; a "Window" change needs only this half
/// (O(L), no allocation), so the audio thread can make it itself.
void finishCarrierTable(float* table, const float* sum, int L, int window);
