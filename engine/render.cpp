// One stretch of output, in chunks of at most kLaneChunk frames: the glides, the eight voices
// side by side (voice_lanes.cpp), their sum in voice order, and the output chain fused into one
// pass per frame (split, send filter, echo, ensemble, return, high-pass, low-pass, shaper, pan).
// Each unit of the chain keeps its own order of operations, so fusing changes no bit; the three
// filters' recurrences then overlap instead of running one buffer after another.
//
// A chunk in which no voice sounds and the filters, the echo and the ensemble hold nothing but
// zeros is not run through the chain: the outputs are the zeros it would produce, and the
// units' positions, phases and lines are moved on exactly as the chain would move them.
#include "engine/echo.h"
#include "engine/ensemble.h"
#include "engine/midi_input.h"
#include "engine/shaper.h"
#include "engine/synth_engine.h"
#include "engine/voice_lanes.h"
#include "patches/biquad.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr float kPercent = 0.01f;
/// The main bus is halved and copied into the send bus.
constexpr float kSplitGain = 0.5f;
/// Largest output magnitude. The shaper keeps ordinary sound well inside it; only a runaway bus
/// reaches it, and then the host gets a loud but bounded signal instead of an explosion.
constexpr float kOutputLimit = 4.0f;

/// One sample of a linear glide; a value that is not finite snaps to the target.
inline void advanceGlide(float& now, float target, float& step) {
    if (step != 0.0f) {
        now += step;
        if ((step > 0.0f && now >= target) || (!(step > 0.0f) && now <= target)) {
            now = target;
            step = 0.0f;
        }
    }
    if (!std::isfinite(now) || !std::isfinite(step)) {
        now = std::isfinite(target) ? target : 1.0f;
        step = 0.0f;
    }
}

/// An output sample: not-a-number and infinities become silence, anything beyond the limit is
/// held at it, and everything within passes unchanged.
inline float limitOutput(float x) {
    if (!std::isfinite(x)) return 0.0f;
    if (x > kOutputLimit) return kOutputLimit;
    if (x < -kOutputLimit) return -kOutputLimit;
    return x;
}

bool anyVoiceSounding(const SynthEngine& engine) {
    for (const Voice& voice : engine.voices)
        if (voice.state != VoiceFree) return true;
    return false;
}

/// True when every value is +0, the value silence leaves in the lines (a -0 there could still
/// come out as -0). The bits are or-ed over blocks, a loop the compiler turns into vector
/// instructions, with a look after each block.
bool allPositiveZero(const float* values, std::int32_t count) {
    constexpr std::int32_t kBlock = 64;
    std::uint32_t bits = 0;
    std::int32_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        for (std::int32_t j = 0; j < kBlock; ++j) {
            std::uint32_t v;
            std::memcpy(&v, values + i + j, sizeof v);
            bits |= v;
        }
        if (bits != 0) return false;
    }
    for (; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, values + i, sizeof v);
        bits |= v;
    }
    return bits == 0;
}

/// The two glides for n frames: gain[k] and bend[k] are the values frame k uses.
void runGlides(SynthEngine& engine, float* gain, float* bend, int n) {
    if (engine.gainStep == 0.0f && engine.bendStep == 0.0f && std::isfinite(engine.gainNow) &&
        std::isfinite(engine.bendNow)) {
        for (int k = 0; k < n; ++k) {
            gain[k] = engine.gainNow;
            bend[k] = engine.bendNow;
        }
        return;
    }
    for (int k = 0; k < n; ++k) {
        advanceGlide(engine.gainNow, engine.gainTarget, engine.gainStep);
        advanceGlide(engine.bendNow, engine.bendTarget, engine.bendStep);
        gain[k] = engine.gainNow;
        bend[k] = engine.bendNow;
    }
}

/// main[k] = the voices' sum of frame k, added in voice order, times gain[k]; 0 where that is
/// not finite. Four frames at a time: the lane rows are turned into voice columns.
void mixVoices(const float* lanes, const float* gain, float* main, int n) {
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const float* row = lanes + k * kVoiceCount;
        __m128 r0 = _mm_loadu_ps(row), r1 = _mm_loadu_ps(row + 8), r2 = _mm_loadu_ps(row + 16),
               r3 = _mm_loadu_ps(row + 24);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3); // r0 = voice 0 of frames k..k+3, ...
        __m128 q0 = _mm_loadu_ps(row + 4), q1 = _mm_loadu_ps(row + 12), q2 = _mm_loadu_ps(row + 20),
               q3 = _mm_loadu_ps(row + 28);
        _MM_TRANSPOSE4_PS(q0, q1, q2, q3);
        __m128 sum = _mm_add_ps(_mm_setzero_ps(), r0);
        sum = _mm_add_ps(sum, r1);
        sum = _mm_add_ps(sum, r2);
        sum = _mm_add_ps(sum, r3);
        sum = _mm_add_ps(sum, q0);
        sum = _mm_add_ps(sum, q1);
        sum = _mm_add_ps(sum, q2);
        sum = _mm_add_ps(sum, q3);
        const __m128 mixed = _mm_mul_ps(sum, _mm_loadu_ps(gain + k));
        const __m128 finite = _mm_cmpeq_ps(_mm_sub_ps(mixed, mixed), _mm_setzero_ps());
        _mm_storeu_ps(main + k, _mm_and_ps(mixed, finite));
    }
    for (; k < n; ++k) {
        float sum = 0.0f;
        for (int v = 0; v < kVoiceCount; ++v)
            sum += lanes[k * kVoiceCount + v];
        const float mixed = sum * gain[k];
        main[k] = std::isfinite(mixed) ? mixed : 0.0f;
    }
}

/// What the chain needs for one chunk, loaded from the engine and stored back after it.
struct Chain {
    Biquad sendFilter, hpf, lpf;
    EchoRun echo{};
    EnsembleRun ensemble{};
    ShaperRun shaper;
    bool echoOn, ensembleOn, shaperOn;
    float sendReturn, panLeft, panRight;
};

/// limitOutput for each lane of x.
inline __m128 limitOutputLanes(__m128 x) {
    const __m128 finite = _mm_cmpeq_ps(_mm_sub_ps(x, x), _mm_setzero_ps());
    const __m128 held =
        _mm_max_ps(_mm_min_ps(x, _mm_set1_ps(kOutputLimit)), _mm_set1_ps(-kOutputLimit));
    return _mm_and_ps(finite, held);
}

/// The end of the chain, which remembers nothing from frame to frame, four frames at a time:
/// send holds the low-pass output on entry; the shaper and the pan write both outputs.
void shapeAndPan(const ShaperRun& shaper, bool shaperOn, float panLeft, float panRight, float* main,
                 float* send, int n) {
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        __m128 x = _mm_loadu_ps(send + k);
        if (shaperOn) x = shapeLanes(shaper, x);
        _mm_storeu_ps(send + k, limitOutputLanes(_mm_mul_ps(x, _mm_set1_ps(panRight))));
        _mm_storeu_ps(main + k, limitOutputLanes(_mm_mul_ps(x, _mm_set1_ps(panLeft))));
    }
    for (; k < n; ++k) {
        float x = send[k];
        if (shaperOn) x = shapeSample(shaper, x);
        send[k] = limitOutput(x * panRight);
        main[k] = limitOutput(x * panLeft);
    }
}

/// The chain for n frames one unit after another on each frame, for filters that run their
/// section twice (no built-in program has one): main holds the voices' mix on entry; main and
/// send receive the left and right outputs.
template <bool echoOnSend, bool ensembleOnSend>
void runChainPerUnit(Chain& c, float* main, float* send, int n) {
    Biquad sendFilter = c.sendFilter, hpf = c.hpf, lpf = c.lpf;
    EchoRun echo = c.echo;
    const bool echoOn = c.echoOn, ensembleOn = c.ensembleOn;
    const float sendReturn = c.sendReturn;
    EnsemblePlan plan;
    if (ensembleOn) planEnsemble(c.ensemble, plan, n);
    const EnsembleRun& ensemble = c.ensemble;
    for (int k = 0; k < n; ++k) {
        float x = main[k] * kSplitGain;
        float s = biquadSample(sendFilter, x);
        if (echoOn) {
            if (echoOnSend)
                s = echoSample(echo, s);
            else
                x = echoSample(echo, x);
        }
        if (ensembleOn) {
            if (ensembleOnSend)
                s = plannedEnsembleSample(ensemble, plan, k, s);
            else
                x = plannedEnsembleSample(ensemble, plan, k, x);
        }
        send[k] = biquadSample(lpf, biquadSample(hpf, x + sendReturn * s * kPercent));
    }
    shapeAndPan(c.shaper, c.shaperOn, c.panLeft, c.panRight, main, send, n);
    c.sendFilter = sendFilter;
    c.hpf = hpf;
    c.lpf = lpf;
    c.echo = echo;
}

/// The three single-section filters side by side in the lanes of one vector: lane 0 the send
/// filter, lane 1 the high-pass, lane 2 the low-pass; lane 3 runs on zeros and is never read.
/// Each lane is runBiquadSection step for step: the input flushed, the same products summed in
/// the same order, the dry share added, and a non-finite result restarting the lane from rest
/// and giving 0 (here a mask rather than a branch). h2 is the last output as the next step
/// reads it (flushed); the output as the section stores it is the last one the lane wrote.
struct FilterLanes {
    __m128 b0, b1, b2, a1, a2, mix, dry;
    __m128 x1, x2, h2, y2;
};

/// The bits of a float's magnitude.
inline __m128i magnitudeBits(__m128 v) {
    return _mm_and_si128(_mm_castps_si128(v), _mm_set1_epi32(0x7FFFFFFF));
}

/// All ones in the lanes whose magnitude flushTiny keeps (|v| >= the flush level, a NaN too):
/// for floats that are not NaNs the order of the magnitudes is that of their bits.
inline __m128i largeLanes(__m128i magnitude) {
    return _mm_cmpgt_epi32(
        magnitude,
        _mm_sub_epi32(_mm_castps_si128(_mm_set1_ps(kBiquadFlushLevel)), _mm_set1_epi32(1)));
}

/// All ones in the finite lanes.
inline __m128i finiteLanes(__m128i magnitude) {
    return _mm_cmpgt_epi32(_mm_set1_epi32(0x7F800000), magnitude);
}

/// flushTiny for each lane of v.
inline __m128 flushTinyLanes(__m128 v) {
    return _mm_and_ps(_mm_castsi128_ps(largeLanes(magnitudeBits(v))), v);
}

inline __m128 select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

[[gnu::always_inline]] inline FilterLanes loadFilterLanes(const Biquad& s, const Biquad& h,
                                                          const Biquad& l) {
    FilterLanes f;
    f.b0 = _mm_setr_ps(s.b0, h.b0, l.b0, 0.0f);
    f.b1 = _mm_setr_ps(s.b1, h.b1, l.b1, 0.0f);
    f.b2 = _mm_setr_ps(s.b2, h.b2, l.b2, 0.0f);
    f.a1 = _mm_setr_ps(s.a1, h.a1, l.a1, 0.0f);
    f.a2 = _mm_setr_ps(s.a2, h.a2, l.a2, 0.0f);
    f.mix = _mm_setr_ps(s.mix, h.mix, l.mix, 1.0f);
    f.dry = _mm_setr_ps(1.0f - s.mix, 1.0f - h.mix, 1.0f - l.mix, 0.0f);
    // x1 as settleBiquad leaves it, and y1 as the next step flushes it.
    f.x1 = flushTinyLanes(_mm_setr_ps(s.state[0], h.state[0], l.state[0], 0.0f));
    f.x2 = _mm_setr_ps(s.state[1], h.state[1], l.state[1], 0.0f);
    f.h2 = flushTinyLanes(_mm_setr_ps(s.state[2], h.state[2], l.state[2], 0.0f));
    f.y2 = _mm_setr_ps(s.state[3], h.state[3], l.state[3], 0.0f);
    return f;
}

/// Stores the lanes' history; y1 holds each filter's last output.
[[gnu::always_inline]] inline void storeFilterLanes(const FilterLanes& f, const float* y1,
                                                    Biquad& s, Biquad& h, Biquad& l) {
    alignas(16) float lanes[3][4];
    _mm_store_ps(lanes[0], f.x1);
    _mm_store_ps(lanes[1], f.x2);
    _mm_store_ps(lanes[2], f.y2);
    Biquad* filters[3] = {&s, &h, &l};
    for (int lane = 0; lane < 3; ++lane) {
        filters[lane]->state[0] = lanes[0][lane];
        filters[lane]->state[1] = lanes[1][lane];
        filters[lane]->state[2] = y1[lane];
        filters[lane]->state[3] = lanes[2][lane];
    }
}

/// One step of the three sections on v; returns the outputs. Lanes outside active keep their
/// state (and their output is not to be used). With unityMix every lane's mix is 1: mix x y is
/// then y itself, and the next step's flushed y1 comes from y: y plus the dry share (a zero, or
/// a NaN only where y is not finite) is y wherever flushTiny keeps it.
template <bool unityMix, bool ramp>
[[gnu::always_inline]] inline __m128 stepFilterLanes(FilterLanes& f, __m128 v, __m128 active) {
    const __m128 x = flushTinyLanes(v);
    __m128 y = _mm_add_ps(_mm_mul_ps(f.b0, x), _mm_mul_ps(f.b1, f.x1));
    y = _mm_add_ps(y, _mm_mul_ps(f.b2, f.x2));
    y = _mm_sub_ps(y, _mm_mul_ps(f.a1, f.h2));
    y = _mm_sub_ps(y, _mm_mul_ps(f.a2, f.y2));
    const __m128 wet = unityMix ? y : _mm_mul_ps(f.mix, y);
    const __m128 out = _mm_add_ps(wet, _mm_mul_ps(f.dry, x));
    const __m128 finite = _mm_castsi128_ps(finiteLanes(magnitudeBits(out)));
    const __m128 result = _mm_and_ps(out, finite);
    const __m128 x2 = _mm_and_ps(f.x1, finite);
    const __m128 x1 = _mm_and_ps(x, finite);
    const __m128 y2 = _mm_and_ps(f.h2, finite);
    const __m128 kept = unityMix ? y : out;
    const __m128i keptMagnitude = magnitudeBits(kept);
    const __m128 h2 = _mm_and_ps(kept, _mm_castsi128_ps(_mm_and_si128(finiteLanes(keptMagnitude),
                                                                      largeLanes(keptMagnitude))));
    if (ramp) {
        f.x2 = select(active, x2, f.x2);
        f.x1 = select(active, x1, f.x1);
        f.y2 = select(active, y2, f.y2);
        f.h2 = select(active, h2, f.h2);
    } else {
        f.x2 = x2;
        f.x1 = x1;
        f.y2 = y2;
        f.h2 = h2;
    }
    return result;
}

/// Longest echo ring the loop keeps a history for: 128 steps of 10 us at 768 kHz, the most a
/// patch and a sample rate can ask, is 983 samples.
constexpr int kEchoHistoryLength = 1024;

/// The echo over one chunk, its ring laid out in time: entry m of history holds the sample
/// written m - length frames before the chunk's first, so frame t writes entry length + t and
/// every entry its reads or its refresh of the running sum need sits at a fixed place behind
/// it, whatever the ring's wrap. Frames can then be read four at a time after their writes
/// without a later frame's write getting in the way. The ring is filled back from it after
/// the chunk.
struct EchoHistory {
    float* ring;
    float accumulator;
    float inverseLength;
    float lengthValue;
    float lastIndex;
    float mix;
    std::int32_t length;
    std::int32_t position;
    std::int32_t firstPosition; ///< position at the chunk's first frame
    float* entries;             ///< kEnsemblePlanFrames + kEchoHistoryLength floats
};

[[gnu::always_inline]] inline void beginEchoHistory(const EchoRun& run, EchoHistory& h,
                                                    float* entries) {
    h.entries = entries;
    h.ring = run.line;
    h.accumulator = run.accumulator;
    h.inverseLength = run.inverseLength;
    h.lengthValue = run.lengthValue;
    h.lastIndex = run.lastIndex;
    h.mix = run.mix;
    h.length = run.length;
    h.position = run.position;
    h.firstPosition = run.position;
    std::int32_t at = run.position;
    for (std::int32_t m = 0; m < run.length; ++m) {
        h.entries[m] = run.line[at];
        at = at + 1 == run.length ? 0 : at + 1;
    }
}

/// Puts the last length frames back into the ring, where the ring's own writes would have
/// left them, and the running sum and position into run.
[[gnu::always_inline]] inline void endEchoHistory(const EchoHistory& h, EchoRun& run, int n) {
    std::int32_t at = static_cast<std::int32_t>((h.firstPosition + n) % h.length);
    for (std::int32_t m = 0; m < h.length; ++m) {
        h.ring[at] = h.entries[n + m];
        at = at + 1 == h.length ? 0 : at + 1;
    }
    run.accumulator = h.accumulator;
    run.position = h.position;
}

/// The running sum afresh after frame t, as echoSample forms it when the ring wraps: the ring
/// from entry 0 up, which frame t's history holds in order from entry t + 1.
[[gnu::noinline]] float echoRingSum(const float* entries, std::int32_t length, int t) {
    float total = 0.0f;
    for (std::int32_t j = 0; j < length; ++j)
        total += std::fabs(entries[t + 1 + j]);
    return total;
}

/// The running sum of frame t with sample x (already in the history), then the position
/// moved on: echoSample's first and last steps.
[[gnu::always_inline]] inline float echoLevelStep(EchoHistory& h, int t, float x) {
    h.accumulator -= std::fabs(h.entries[t]);
    h.accumulator += std::fabs(x);
    return h.accumulator;
}

[[gnu::always_inline]] inline void echoAdvance(EchoHistory& h, int t) {
    h.position += 1;
    if (h.position == h.length) {
        h.position = 0;
        h.accumulator = echoRingSum(h.entries, h.length, t);
    }
}

/// echoSample's read for frames t..t+3 from their running sums and positions: the level to a
/// read point, the point to two history entries and the interpolation, then the mix with x.
[[gnu::always_inline]] inline __m128 echoReadLanes(const EchoHistory& h, int t, __m128 level,
                                                   __m128i position, __m128 x) {
    const __m128 scaled = _mm_mul_ps(level, _mm_set1_ps(h.inverseLength));
    __m128 a = _mm_and_ps(_mm_cmpge_ps(scaled, _mm_setzero_ps()), scaled); // NaN, < 0: 0
    a = _mm_min_ps(a, _mm_set1_ps(1.0f));
    const __m128 lengthValue = _mm_set1_ps(h.lengthValue);
    __m128 p = _mm_add_ps(_mm_mul_ps(a, _mm_set1_ps(h.lastIndex)), _mm_cvtepi32_ps(position));
    p = _mm_sub_ps(p, _mm_and_ps(_mm_cmpge_ps(p, lengthValue), lengthValue));
    const __m128i length = _mm_set1_epi32(h.length);
    __m128i i = _mm_cvttps_epi32(p);
    const __m128i beyond = _mm_cmpgt_epi32(i, _mm_sub_epi32(length, _mm_set1_epi32(1)));
    i = _mm_or_si128(_mm_andnot_si128(beyond, i),
                     _mm_and_si128(beyond, _mm_sub_epi32(length, _mm_set1_epi32(1))));
    // The read entry's distance ahead of the write in the ring, 0..length - 1: 0 is the frame's
    // own sample, d > 0 the one written length - d frames ago; the next entry is one further.
    __m128i d = _mm_sub_epi32(i, position);
    d = _mm_add_epi32(d, _mm_and_si128(_mm_cmpgt_epi32(_mm_setzero_si128(), d), length));
    const __m128i frame = _mm_add_epi32(_mm_set1_epi32(t), _mm_setr_epi32(0, 1, 2, 3));
    const __m128i own = _mm_cmpeq_epi32(d, _mm_setzero_si128());
    const __m128i at = _mm_add_epi32(frame, _mm_add_epi32(d, _mm_and_si128(own, length)));
    const __m128i after = _mm_add_epi32(_mm_add_epi32(frame, d), _mm_set1_epi32(1));
    alignas(16) std::int32_t atIndex[4], afterIndex[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(atIndex), at);
    _mm_store_si128(reinterpret_cast<__m128i*>(afterIndex), after);
    const float* e = h.entries;
    const __m128 lo = _mm_setr_ps(e[atIndex[0]], e[atIndex[1]], e[atIndex[2]], e[atIndex[3]]);
    const __m128 hi =
        _mm_setr_ps(e[afterIndex[0]], e[afterIndex[1]], e[afterIndex[2]], e[afterIndex[3]]);
    const __m128 y =
        _mm_add_ps(lo, _mm_mul_ps(_mm_sub_ps(hi, lo), _mm_sub_ps(p, _mm_cvtepi32_ps(i))));
    const __m128 mix = _mm_set1_ps(h.mix);
    return _mm_add_ps(_mm_mul_ps(y, mix), _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), mix), x));
}

/// Frames t..t+3 of x through the echo.
[[gnu::always_inline]] inline __m128 echoLanes(EchoHistory& h, int t, __m128 x) {
    _mm_storeu_ps(h.entries + h.length + t, x);
    const std::int32_t p0 = h.position;
    const float l0 = echoLevelStep(h, t, _mm_cvtss_f32(x));
    echoAdvance(h, t);
    const std::int32_t p1 = h.position;
    const float l1 = echoLevelStep(h, t + 1, _mm_cvtss_f32(_mm_shuffle_ps(x, x, 1)));
    echoAdvance(h, t + 1);
    const std::int32_t p2 = h.position;
    const float l2 = echoLevelStep(h, t + 2, _mm_cvtss_f32(_mm_movehl_ps(x, x)));
    echoAdvance(h, t + 2);
    const std::int32_t p3 = h.position;
    const float l3 = echoLevelStep(h, t + 3, _mm_cvtss_f32(_mm_shuffle_ps(x, x, 3)));
    echoAdvance(h, t + 3);
    return echoReadLanes(h, t, _mm_setr_ps(l0, l1, l2, l3), _mm_setr_epi32(p0, p1, p2, p3), x);
}

/// Frame t of x through the echo: echoLanes for one frame (lane 0 of the read).
[[gnu::always_inline]] inline float echoFrame(EchoHistory& h, int t, float x) {
    h.entries[h.length + t] = x;
    const std::int32_t position = h.position;
    const float level = echoLevelStep(h, t, x);
    echoAdvance(h, t);
    return _mm_cvtss_f32(
        echoReadLanes(h, t, _mm_set1_ps(level), _mm_set1_epi32(position), _mm_set1_ps(x)));
}

/// Frames k..k+3 of x through the planned ensemble: the four writes, then the four reads. No
/// tap is within four entries of the ring's length (ensembleTakesFour), so none of the reads
/// meets a later frame's write.
[[gnu::always_inline]] inline __m128 ensembleLanes(const EnsembleRun& r, const EnsemblePlan& plan,
                                                   int k, __m128 x) {
    alignas(16) float x4[4];
    _mm_store_ps(x4, x);
    float* const line = r.line;
    line[plan.write[k]] = x4[0];
    line[plan.write[k + 1]] = x4[1];
    line[plan.write[k + 2]] = x4[2];
    line[plan.write[k + 3]] = x4[3];
    const __m128 read0 =
        _mm_setr_ps(*plan.read0[k], *plan.read0[k + 1], *plan.read0[k + 2], *plan.read0[k + 3]);
    const __m128 read1 =
        _mm_setr_ps(*plan.read1[k], *plan.read1[k + 1], *plan.read1[k + 2], *plan.read1[k + 3]);
    const __m128 wet = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(plan.weight0 + k), read0),
                                  _mm_mul_ps(_mm_loadu_ps(plan.weight1 + k), read1));
    const __m128 mix = _mm_set1_ps(r.mix);
    return _mm_add_ps(_mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), mix), x), _mm_mul_ps(wet, mix));
}

/// True when four frames of the ensemble can write first and read after: every tap (as
/// ensembleTapEntry places it) at most length - 4 entries behind the write.
bool ensembleTakesFour(const EnsembleRun& r) {
    for (int tap = 0; tap < kEnsembleTaps; ++tap)
        if (r.taps[tap] < 0 || r.taps[tap] > r.maxDelay - 4) return false;
    return true;
}

/// The frames of the loop's stages: in step t the send filter takes frame t, the echo, the
/// ensemble and the return take frame t - kEffectsLag (whose send filter output is long known
/// by then), the high-pass frame t - kHighPassLag and the low-pass frame t - kLowPassLag. Each
/// stage's input was made steps earlier, so the stages of one step do not wait on each other.
/// The main loop takes four steps at a time, the effects of four frames as vectors.
constexpr int kEffectsLag = 4;
constexpr int kHighPassLag = kEffectsLag + 8;
constexpr int kLowPassLag = kHighPassLag + 3;

/// The chain for n frames (at most kEnsemblePlanFrames): main holds the voices' mix on entry;
/// main and send receive the left and right outputs. Template arguments choose the bus of the
/// echo and of the ensemble, and whether all three filters are fully wet. Needs single-section
/// filters, an echo ring of at most kEchoHistoryLength and an ensemble that takes four frames
/// at a time (runChainFor sees to it).
///
/// The three filters are recurrences whose every sample waits on the one before. They run in
/// the lanes of one vector, skewed: while the send filter takes frame t, the high-pass takes
/// frame t - kHighPassLag and the low-pass frame t - kLowPassLag, so one vector step moves all
/// three on and each still sees its frames in order. What depends on no earlier frame is taken
/// out of the loop: the ensemble's sweep before it, the shaper and pan after it.
template <bool echoOnSend, bool ensembleOnSend, bool unityMix>
void runChain(Chain& c, float* main, float* send, int n) {
    FilterLanes lanes = loadFilterLanes(c.sendFilter, c.hpf, c.lpf);
    const bool echoOn = c.echoOn, ensembleOn = c.ensembleOn;
    EchoHistory echo{};
    float echoEntries[kEnsemblePlanFrames + kEchoHistoryLength];
    if (echoOn) beginEchoHistory(c.echo, echo, echoEntries);
    const float sendReturn = c.sendReturn;
    EnsemblePlan plan;
    if (ensembleOn) planEnsemble(c.ensemble, plan, n);
    const EnsembleRun& ensemble = c.ensemble;
    alignas(16) float filtered[kEnsemblePlanFrames];
    alignas(16) float returned[kEnsemblePlanFrames];
    alignas(16) float highPassed[kEnsemblePlanFrames];

    // Frame u after the send filter: the echo, the ensemble and the return.
    auto effectsFrame = [&](int u) __attribute__((always_inline)) {
        float s = filtered[u];
        float x = main[u] * kSplitGain;
        if (echoOn) {
            if (echoOnSend)
                s = echoFrame(echo, u, s);
            else
                x = echoFrame(echo, u, x);
        }
        if (ensembleOn) {
            if (ensembleOnSend)
                s = plannedEnsembleSample(ensemble, plan, u, s);
            else
                x = plannedEnsembleSample(ensemble, plan, u, x);
        }
        returned[u] = x + sendReturn * s * kPercent;
    };
    // Frames u..u+3 the same way.
    auto effectsFour = [&](int u) __attribute__((always_inline)) {
        __m128 s = _mm_loadu_ps(filtered + u);
        __m128 x = _mm_mul_ps(_mm_loadu_ps(main + u), _mm_set1_ps(kSplitGain));
        if (echoOn) {
            if (echoOnSend)
                s = echoLanes(echo, u, s);
            else
                x = echoLanes(echo, u, x);
        }
        if (ensembleOn) {
            if (ensembleOnSend)
                s = ensembleLanes(ensemble, plan, u, s);
            else
                x = ensembleLanes(ensemble, plan, u, x);
        }
        _mm_storeu_ps(returned + u, _mm_add_ps(x, _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(sendReturn), s),
                                                             _mm_set1_ps(kPercent))));
    };
    auto step = [&](int t) __attribute__((always_inline)) {
        const __m128 in = _mm_setr_ps(main[t] * kSplitGain, returned[t - kHighPassLag],
                                      highPassed[t - kLowPassLag], 0.0f);
        const __m128 out = stepFilterLanes<unityMix, false>(lanes, in, in);
        highPassed[t - kHighPassLag] = _mm_cvtss_f32(_mm_shuffle_ps(out, out, 1));
        send[t - kLowPassLag] = _mm_cvtss_f32(_mm_movehl_ps(out, out));
        filtered[t] = _mm_cvtss_f32(out);
    };
    // Steps in which a lane has no frame: before its first and after its last.
    auto rampStep = [&](int t) __attribute__((always_inline)) {
        const bool send0 = t < n;
        const bool high = t >= kHighPassLag && t - kHighPassLag < n;
        const bool low = t >= kLowPassLag && t - kLowPassLag < n;
        const __m128 in = _mm_setr_ps(send0 ? main[t] * kSplitGain : 0.0f,
                                      high ? returned[t - kHighPassLag] : 0.0f,
                                      low ? highPassed[t - kLowPassLag] : 0.0f, 0.0f);
        const __m128 active =
            _mm_castsi128_ps(_mm_setr_epi32(send0 ? -1 : 0, high ? -1 : 0, low ? -1 : 0, 0));
        const __m128 out = stepFilterLanes<unityMix, true>(lanes, in, active);
        if (high) highPassed[t - kHighPassLag] = _mm_cvtss_f32(_mm_shuffle_ps(out, out, 1));
        if (low) send[t - kLowPassLag] = _mm_cvtss_f32(_mm_movehl_ps(out, out));
        if (send0) filtered[t] = _mm_cvtss_f32(out);
        if (t >= kEffectsLag && t - kEffectsLag < n) effectsFrame(t - kEffectsLag);
    };
    int t = 0;
    for (; t < std::min(kLowPassLag, n); ++t)
        rampStep(t);
    // Four steps, then the effects of the four frames before them: the next four steps' high-
    // pass inputs.
    for (; t + 4 <= n; t += 4) {
        step(t);
        step(t + 1);
        step(t + 2);
        step(t + 3);
        effectsFour(t - kEffectsLag);
    }
    for (; t < n; ++t) {
        step(t);
        effectsFrame(t - kEffectsLag);
    }
    for (; t < n + kLowPassLag; ++t)
        rampStep(t);
    const float last[3] = {filtered[n - 1], highPassed[n - 1], send[n - 1]};
    storeFilterLanes(lanes, last, c.sendFilter, c.hpf, c.lpf);
    shapeAndPan(c.shaper, c.shaperOn, c.panLeft, c.panRight, main, send, n);
    if (echoOn) endEchoHistory(echo, c.echo, n);
}

template <bool echoOnSend, bool ensembleOnSend>
void runChainFor(Chain& c, bool lanes, bool unityMix, float* main, float* send, int n) {
    if (!lanes || (c.echoOn && c.echo.length > kEchoHistoryLength) ||
        (c.ensembleOn && !ensembleTakesFour(c.ensemble)))
        runChainPerUnit<echoOnSend, ensembleOnSend>(c, main, send, n);
    else if (unityMix)
        runChain<echoOnSend, ensembleOnSend, true>(c, main, send, n);
    else
        runChain<echoOnSend, ensembleOnSend, false>(c, main, send, n);
}

void copyHistory(Biquad& to, const Biquad& from) {
    std::memcpy(to.state, from.state, sizeof to.state);
}

} // namespace

void processOutputChain(SynthEngine& engine, const ChannelState& channel1, float* main, float* send,
                        int n) {
    const Patch& patch = *engine.patch;
    Chain c{};
    c.sendFilter = engine.sendFilter;
    c.hpf = engine.hpf;
    c.lpf = engine.lpf;
    c.echoOn = beginEcho(engine.echo, c.echo);
    c.ensembleOn = beginEnsemble(engine.ensemble, c.ensemble);
    c.shaperOn =
        beginShaper(engine.shaperTable.get(), engine.shaperLength, engine.shaperDrive, c.shaper);
    c.sendReturn = static_cast<float>(patch.sendReturn);
    c.panLeft = channel1.panLeft;
    c.panRight = channel1.panRight;
    const bool echoOnSend = patch.echoTime > 0;
    const bool ensembleOnSend = patch.lfoDepth > 0;
    // The lanes run one section per filter; a filter that runs its section twice takes the
    // unit-by-unit path.
    const bool lanes = ((c.sendFilter.flags | c.hpf.flags | c.lpf.flags) & kBiquadTwoPass) == 0;
    const bool unityMix = c.sendFilter.mix == 1.0f && c.hpf.mix == 1.0f && c.lpf.mix == 1.0f;
    for (int start = 0; start < n; start += kEnsemblePlanFrames) {
        const int frames = std::min(kEnsemblePlanFrames, n - start);
        float* const left = main + start;
        float* const right = send + start;
        if (echoOnSend)
            ensembleOnSend ? runChainFor<true, true>(c, lanes, unityMix, left, right, frames)
                           : runChainFor<true, false>(c, lanes, unityMix, left, right, frames);
        else
            ensembleOnSend ? runChainFor<false, true>(c, lanes, unityMix, left, right, frames)
                           : runChainFor<false, false>(c, lanes, unityMix, left, right, frames);
    }
    copyHistory(engine.sendFilter, c.sendFilter);
    copyHistory(engine.hpf, c.hpf);
    copyHistory(engine.lpf, c.lpf);
    if (c.echoOn) endEcho(engine.echo, c.echo);
    if (c.ensembleOn) endEnsemble(engine.ensemble, c.ensemble);
}

namespace {

/// True when n frames of silence through the chain give silence out and leave the units as
/// they are but for their positions: no voice sounds, no glide runs, and the filters, the echo
/// and the ensemble hold only zeros.
bool chainAtRest(const SynthEngine& engine) {
    if (anyVoiceSounding(engine)) return false;
    if (engine.gainStep != 0.0f || engine.bendStep != 0.0f) return false;
    if (!(std::isfinite(engine.gainNow) && engine.gainNow >= 0.0f)) return false;
    if (!std::isfinite(engine.bendNow)) return false;
    if (!biquadAtRest(engine.sendFilter) || !biquadAtRest(engine.hpf) || !biquadAtRest(engine.lpf))
        return false;
    const Echo& echo = engine.echo;
    if (echo.inverseLength != 0.0f && echo.line && echo.length > 0 &&
        !allPositiveZero(echo.line.get(), echo.length))
        return false;
    const Ensemble& ensemble = engine.ensemble;
    if (ensemble.lineRate != 0.0f && ensemble.line && ensemble.maxDelay > 0 &&
        ensemble.maxDelay <= ensemble.lineLength &&
        !allPositiveZero(ensemble.line.get(), ensemble.maxDelay))
        return false;
    return true;
}

void settleFilter(Biquad& filter) {
    // Silence in leaves the history all positive zeros after one frame.
    const int used = (filter.flags & kBiquadTwoPass) != 0 ? 8 : 4;
    for (int i = 0; i < used; ++i)
        filter.state[i] = 0.0f;
}

/// n frames of the chain at rest: writes what the chain would write and moves the units on.
void skipChain(SynthEngine& engine, const ChannelState& channel1, float* main, float* send, int n) {
    settleFilter(engine.sendFilter);
    settleFilter(engine.hpf);
    settleFilter(engine.lpf);

    // The echo's line and the ensemble's ring hold only zeros (chainAtRest looked), and
    // silence writes zeros over them, so they are left as they are.
    EchoRun echo{};
    if (beginEcho(engine.echo, echo)) {
        // The running sum is formed afresh at each wrap.
        echo.accumulator = (echo.accumulator - 0.0f) + 0.0f;
        for (int left = n; left > 0;) {
            const int run = std::min(left, echo.length - echo.position);
            echo.position += run;
            left -= run;
            if (echo.position == echo.length) {
                echo.position = 0;
                echo.accumulator = 0.0f;
            }
        }
        endEcho(engine.echo, echo);
    }

    EnsembleRun ensemble{};
    if (beginEnsemble(engine.ensemble, ensemble)) {
        skipEnsembleSweep(ensemble, n);
        endEnsemble(engine.ensemble, ensemble);
    }

    const float left = limitOutput(0.0f * channel1.panLeft);
    const float right = limitOutput(0.0f * channel1.panRight);
    for (int k = 0; k < n; ++k) {
        main[k] = left;
        send[k] = right;
    }
}

/// Repeats each one-cycle table's first entry after its last.
void closeCycles(SynthEngine& engine) {
    const std::int32_t n = engine.tableLength;
    engine.carrierTable[n] = engine.carrierTable[0];
    engine.modulatorTable[n] = engine.modulatorTable[0];
    engine.lfoTable[n] = engine.lfoTable[0];
}

} // namespace

void render(SynthEngine& engine, const ChannelState& channel1, float* const* outputs, int n) {
    if (n <= 0) return;
    float* const main = outputs[0];
    float* const send = outputs[1];
    if (!engine.carrierTable || !engine.modulatorTable || !engine.lfoTable ||
        engine.tableLength <= 0 || !engine.patch) {
        // No tables yet (before the first sample-rate change): silence.
        std::memset(main, 0, static_cast<std::size_t>(n) * sizeof(float));
        std::memset(send, 0, static_cast<std::size_t>(n) * sizeof(float));
        return;
    }
    closeCycles(engine);

    alignas(16) float lanes[kLaneChunk * kVoiceCount];
    alignas(16) float gain[kLaneChunk];
    alignas(16) float bend[kLaneChunk];
    for (int start = 0; start < n; start += kLaneChunk) {
        const int frames = std::min(kLaneChunk, n - start);
        float* const chunkMain = main + start;
        float* const chunkSend = send + start;
        if (chainAtRest(engine)) {
            skipChain(engine, channel1, chunkMain, chunkSend, frames);
            continue;
        }
        runGlides(engine, gain, bend, frames);
        if (anyVoiceSounding(engine)) {
            renderVoiceLanes(engine, bend, lanes, frames);
            mixVoices(lanes, gain, chunkMain, frames);
        } else {
            for (int k = 0; k < frames; ++k) {
                const float mixed = 0.0f * gain[k];
                chunkMain[k] = std::isfinite(mixed) ? mixed : 0.0f;
            }
        }
        processOutputChain(engine, channel1, chunkMain, chunkSend, frames);
    }
}
