// Arctangent output saturation read from a 512-entry table, continued linearly beyond its end.
#pragma once

#include <cstdint>

/// Entries of the shaper table.
constexpr std::int32_t kShaperLength = 512;

/// Fills table[0..511] with atanf(i x 2.5/512) / atan(2.5).
void buildShaperTable(float* table);
/// Shapes n samples of buffer in place.
void applyShaper(const float* table, std::int32_t length, float drive, float* buffer, int n);
