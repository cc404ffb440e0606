// The eight voices rendered side by side: voice v is lane v of the lane vectors, and
// every frame advances all of them at once with the arithmetic of the one-voice loop, operation
// for operation, so the output is bit-identical to rendering the voices one after another.
//
// What makes it cheap:
// - an envelope's segment is found once and kept while the key-scaled time stays inside it
//   (time only moves forward); a lane that leaves it is placed again by the scalar search;
// - each table holds one extra entry repeating its first (see SynthEngine), so both points of
//   an interpolation come from one 64-bit load per lane (two gathers in the AVX-512 build);
// - phases are wrapped by one conditional step; a lane that needs more (or is not finite)
//   takes the scalar wrap with its remainder fallback.
#pragma once

struct SynthEngine;

/// Frames one call renders at most.
constexpr int kLaneChunk = 512;

/// Renders the engine's sounding voices for n frames (1..kLaneChunk): out[k x 8 + v] receives
/// voice v's contribution to frame k, 0 where the voice is free or its sample is not finite.
/// bend[k] is the pitch-bend ratio of frame k. Voice and LFO state advance exactly as in the
/// one-voice loop, including freeing released voices whose amplitude envelope reaches 0 and
/// voices whose output is not finite. Needs the engine's tables (tableLength > 0).
void renderVoiceLanes(SynthEngine& engine, const float* bend, float* out, int n);

/// main[k] = the sum of frame k's eight voices in lanes (as renderVoiceLanes leaves them),
/// added in voice order, times gain[k]; 0 where that is not finite. Runs the build
/// renderVoiceLanes runs (all give the same bits).
void mixVoiceLanes(const float* lanes, const float* gain, float* main, int n);

/// The builds of the kernel: SSE2, which every x86-64 processor has, AVX2, and the AVX2 kernel
/// compiled for AVX-512 (F, VL, DQ and BW).
enum class VoiceLaneKernel { Baseline, Avx2, Avx512 };

/// Makes renderVoiceLanes use the given build (for tests); false, and no change, when the
/// processor cannot run it. By default the best build the processor runs is used.
bool selectVoiceLaneKernel(VoiceLaneKernel kernel);

/// The build in use; the output chain's lanes kernel follows the same choice.
VoiceLaneKernel activeVoiceLaneKernel();

/// The builds themselves (same results, bit for bit).
void renderVoiceLanesBaseline(SynthEngine& engine, const float* bend, float* out, int n);
void renderVoiceLanesAvx2(SynthEngine& engine, const float* bend, float* out, int n);
void renderVoiceLanesAvx512(SynthEngine& engine, const float* bend, float* out, int n);
void mixVoiceLanesBaseline(const float* lanes, const float* gain, float* main, int n);
void mixVoiceLanesAvx2(const float* lanes, const float* gain, float* main, int n);
void mixVoiceLanesAvx512(const float* lanes, const float* gain, float* main, int n);

/// Reduces a phase into [0, n): up to four steps of n each way, then a remainder; values that
/// are not finite restart at 0.
float wrapPhase(float p, float n);
