// The phrase the renderer's identity checks play: a staggered eight-note chord (velocities from
// 1 to 127), bends, a volume glide, pans, controllers 20 and 21 on the live patch, notes held by
// the sustain pedal, everything released, a rest long enough for the chain to come to rest, and
// one more note, bent fully up. Shared by the reference comparison and the digest program of both
// builds.
#pragma once

#include <cstdint>

namespace phrase {

struct TimedEvent {
    float seconds;
    std::uint8_t status, data1, data2;
};

const TimedEvent kPhrase[] = {
    {0.000f, 0x90, 48, 100}, {0.003f, 0x90, 52, 1},   {0.011f, 0x90, 55, 127},
    {0.020f, 0x90, 60, 64},  {0.021f, 0xB0, 20, 90},  {0.040f, 0x90, 64, 30},
    {0.050f, 0xE0, 0, 100},  {0.070f, 0x90, 67, 110}, {0.080f, 0xB0, 7, 40},
    {0.100f, 0x90, 72, 45},  {0.110f, 0xB0, 10, 20},  {0.120f, 0x90, 76, 90},
    {0.130f, 0x90, 79, 90},  {0.150f, 0xB0, 64, 127}, {0.160f, 0x80, 48, 0},
    {0.180f, 0xB0, 21, 30},  {0.200f, 0xE0, 0, 30},   {0.230f, 0x80, 52, 0},
    {0.260f, 0xB0, 7, 120},  {0.300f, 0xB0, 64, 0},   {0.320f, 0x80, 55, 0},
    {0.340f, 0xE0, 0, 64},   {0.350f, 0x80, 60, 0},   {0.360f, 0x80, 64, 0},
    {0.380f, 0xB0, 10, 64},  {0.400f, 0x80, 67, 0},   {0.420f, 0x80, 72, 0},
    {0.440f, 0x80, 76, 0},   {0.450f, 0xB0, 123, 0},  {0.970f, 0xE0, 127, 127},
    {1.000f, 0x90, 62, 80},  {1.030f, 0xE0, 0, 64},   {1.050f, 0x80, 62, 0},
};
constexpr float kPhraseSeconds = 1.1f;

} // namespace phrase
