// The lane kernel itself, compiled once per instruction set: voice_lanes.cpp builds it for SSE2
// (the baseline of every x86-64 processor) and voice_lanes_avx2.cpp for AVX2 (it defines
// VOICE_LANES_AVX2 and switches the target for this file's functions only), where
// the same operations take the three-operand VEX forms and selects become blends. Everything
// here has internal linkage, so neither build's code can stand in for the other's.
//
// Do not include it anywhere else.
#pragma once
#include "engine/voice_lanes.h"
#include "engine/synth_engine.h"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

/// Velocity to gain (1/127 in single precision).
constexpr float kVelocityScale = 0.007874016f;
/// Oscillator B's vibrato: LFO depth (percent) x LFO value x this is its pitch deviation.
constexpr float kVibratoScale = 0.000002f;
constexpr float kPercent = 0.01f;
/// More wraps than this by repeated subtraction are done with one remainder instead.
constexpr int kMaxWrapSteps = 4;

// ---- lane vectors ------------------------------------------------------------------------
// Eight voices are one 256-bit vector in the AVX2 build and two 128-bit ones in the SSE2 build;
// the wrappers below give both builds one vocabulary. Comparisons are the ordered, quiet forms
// (false for not-a-number), as the SSE2 instructions are.

/// Makes the compiler read the indices just stored back from memory, one load per lane that
/// feeds the table load's address, instead of moving each out of the vector register (two
/// instructions a lane).
template <typename T> inline void keepInMemory(T& object) {
    __asm__("" : "+m"(object));
}

#if defined(VOICE_LANES_AVX2)
using F = __m256;
using I = __m256i;
constexpr int kLanes = 8;
inline F splat(float v) {
    return _mm256_set1_ps(v);
}
inline I splatInt(std::int32_t v) {
    return _mm256_set1_epi32(v);
}
inline F zero() {
    return _mm256_setzero_ps();
}
inline F load(const float* p) {
    return _mm256_load_ps(p);
}
inline void store(float* p, F v) {
    _mm256_store_ps(p, v);
}
inline void storeUnaligned(float* p, F v) {
    _mm256_storeu_ps(p, v);
}
inline I loadInt(const std::int32_t* p) {
    return _mm256_load_si256(reinterpret_cast<const I*>(p));
}
inline void storeInt(std::int32_t* p, I v) {
    _mm256_store_si256(reinterpret_cast<I*>(p), v);
}
inline F add(F a, F b) {
    return _mm256_add_ps(a, b);
}
inline F sub(F a, F b) {
    return _mm256_sub_ps(a, b);
}
inline F mul(F a, F b) {
    return _mm256_mul_ps(a, b);
}
inline F bitAnd(F a, F b) {
    return _mm256_and_ps(a, b);
}
inline F bitAndNot(F a, F b) {
    return _mm256_andnot_ps(a, b);
}
inline F bitOr(F a, F b) {
    return _mm256_or_ps(a, b);
}
/// a < b ? a : b, lane by lane.
inline F minimum(F a, F b) {
    return _mm256_min_ps(a, b);
}
inline F less(F a, F b) {
    return _mm256_cmp_ps(a, b, _CMP_LT_OQ);
}
inline F lessEqual(F a, F b) {
    return _mm256_cmp_ps(a, b, _CMP_LE_OQ);
}
inline F greater(F a, F b) {
    return _mm256_cmp_ps(a, b, _CMP_GT_OQ);
}
inline F greaterEqual(F a, F b) {
    return _mm256_cmp_ps(a, b, _CMP_GE_OQ);
}
inline F equal(F a, F b) {
    return _mm256_cmp_ps(a, b, _CMP_EQ_OQ);
}
inline I truncate(F v) {
    return _mm256_cvttps_epi32(v);
}
inline F toFloat(I v) {
    return _mm256_cvtepi32_ps(v);
}
inline I intLess(I a, I b) {
    return _mm256_cmpgt_epi32(b, a);
}
inline I intGreater(I a, I b) {
    return _mm256_cmpgt_epi32(a, b);
}
inline I intEqual(I a, I b) {
    return _mm256_cmpeq_epi32(a, b);
}
inline I intSub(I a, I b) {
    return _mm256_sub_epi32(a, b);
}
inline I intAnd(I a, I b) {
    return _mm256_and_si256(a, b);
}
inline I intAndNot(I a, I b) {
    return _mm256_andnot_si256(a, b);
}
inline F asFloat(I v) {
    return _mm256_castsi256_ps(v);
}
inline I asInt(F v) {
    return _mm256_castps_si256(v);
}
inline int maskBits(F mask) {
    return _mm256_movemask_ps(mask);
}
inline float firstLane(F v) {
    return _mm256_cvtss_f32(v);
}
/// a where mask is all ones, b where it is 0.
inline F select(F mask, F a, F b) {
    return _mm256_blendv_ps(b, a, mask);
}

#if defined(VOICE_LANES_AVX512)
/// lo[l] = table[index[l]], hi[l] = table[index[l] + 1], by two gathers: with AVX-512 they cost
/// less than eight loads, the index moves that feed them and the shuffles that join them.
inline void loadPairs(const float* table, I index, F& lo, F& hi) {
    lo = _mm256_mmask_i32gather_ps(zero(), 0xFF, index, table, 4);
    hi = _mm256_mmask_i32gather_ps(zero(), 0xFF, index, table + 1, 4);
}
#else
/// lo[l] = table[index[l]], hi[l] = table[index[l] + 1], each pair with one 64-bit load.
inline void loadPairs(const float* table, I index, F& lo, F& hi) {
    alignas(32) std::int32_t at[kLanes];
    storeInt(at, index);
    keepInMemory(at);
    auto pair = [&](int l) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(table + at[l]));
    };
    const __m128 a01 = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(0), pair(1))); // t0 t0' t1 t1'
    const __m128 a23 = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(2), pair(3)));
    const __m128 a45 = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(4), pair(5)));
    const __m128 a67 = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(6), pair(7)));
    const F a = _mm256_set_m128(a45, a01);
    const F b = _mm256_set_m128(a67, a23);
    lo = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}
#endif
#else
using F = __m128;
using I = __m128i;
constexpr int kLanes = 4;
inline F splat(float v) {
    return _mm_set1_ps(v);
}
inline I splatInt(std::int32_t v) {
    return _mm_set1_epi32(v);
}
inline F zero() {
    return _mm_setzero_ps();
}
inline F load(const float* p) {
    return _mm_load_ps(p);
}
inline void store(float* p, F v) {
    _mm_store_ps(p, v);
}
inline void storeUnaligned(float* p, F v) {
    _mm_storeu_ps(p, v);
}
inline I loadInt(const std::int32_t* p) {
    return _mm_load_si128(reinterpret_cast<const I*>(p));
}
inline void storeInt(std::int32_t* p, I v) {
    _mm_store_si128(reinterpret_cast<I*>(p), v);
}
inline F add(F a, F b) {
    return _mm_add_ps(a, b);
}
inline F sub(F a, F b) {
    return _mm_sub_ps(a, b);
}
inline F mul(F a, F b) {
    return _mm_mul_ps(a, b);
}
inline F bitAnd(F a, F b) {
    return _mm_and_ps(a, b);
}
inline F bitAndNot(F a, F b) {
    return _mm_andnot_ps(a, b);
}
inline F bitOr(F a, F b) {
    return _mm_or_ps(a, b);
}
/// a < b ? a : b, lane by lane.
inline F minimum(F a, F b) {
    return _mm_min_ps(a, b);
}
inline F less(F a, F b) {
    return _mm_cmplt_ps(a, b);
}
inline F lessEqual(F a, F b) {
    return _mm_cmple_ps(a, b);
}
inline F greater(F a, F b) {
    return _mm_cmpgt_ps(a, b);
}
inline F greaterEqual(F a, F b) {
    return _mm_cmpge_ps(a, b);
}
inline F equal(F a, F b) {
    return _mm_cmpeq_ps(a, b);
}
inline I truncate(F v) {
    return _mm_cvttps_epi32(v);
}
inline F toFloat(I v) {
    return _mm_cvtepi32_ps(v);
}
inline I intLess(I a, I b) {
    return _mm_cmplt_epi32(a, b);
}
inline I intGreater(I a, I b) {
    return _mm_cmpgt_epi32(a, b);
}
inline I intEqual(I a, I b) {
    return _mm_cmpeq_epi32(a, b);
}
inline I intSub(I a, I b) {
    return _mm_sub_epi32(a, b);
}
inline I intAnd(I a, I b) {
    return _mm_and_si128(a, b);
}
inline I intAndNot(I a, I b) {
    return _mm_andnot_si128(a, b);
}
inline F asFloat(I v) {
    return _mm_castsi128_ps(v);
}
inline I asInt(F v) {
    return _mm_castps_si128(v);
}
inline int maskBits(F mask) {
    return _mm_movemask_ps(mask);
}
inline float firstLane(F v) {
    return _mm_cvtss_f32(v);
}
/// a where mask is all ones, b where it is 0.
inline F select(F mask, F a, F b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

/// lo[l] = table[index[l]], hi[l] = table[index[l] + 1], each pair with one 64-bit load.
inline void loadPairs(const float* table, I index, F& lo, F& hi) {
    alignas(16) std::int32_t at[kLanes];
    storeInt(at, index);
    keepInMemory(at);
    const I p0 = _mm_loadl_epi64(reinterpret_cast<const I*>(table + at[0]));
    const I p1 = _mm_loadl_epi64(reinterpret_cast<const I*>(table + at[1]));
    const I p2 = _mm_loadl_epi64(reinterpret_cast<const I*>(table + at[2]));
    const I p3 = _mm_loadl_epi64(reinterpret_cast<const I*>(table + at[3]));
    const F a = asFloat(_mm_unpacklo_epi64(p0, p1)); // t0, t0+1, t1, t1+1
    const F b = asFloat(_mm_unpacklo_epi64(p2, p3)); // t2, t2+1, t3, t3+1
    lo = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}
#endif

constexpr int kGroups = kVoiceCount / kLanes; ///< vectors per frame
constexpr int kAllLanes = (1 << kLanes) - 1;  ///< maskBits of a group with every lane set

/// All-ones lanes where v is finite (v - v is 0 exactly then, not a number otherwise).
inline F finiteMask(F v) {
    return equal(sub(v, v), zero());
}
inline F absolute(F v) {
    return bitAnd(v, asFloat(splatInt(0x7FFFFFFF)));
}

// ---- per-lane state ------------------------------------------------------------------------

/// One envelope of all eight lanes: the segment the key-scaled time was last found in, and the
/// release line.
struct alignas(32) EnvelopeLanes {
    float keyFactor[kVoiceCount];   ///< (d x slope + 1): key-scaled time per unscaled time
    float start[kVoiceCount];       ///< segment start level
    float delta[kVoiceCount];       ///< target - start
    float rate[kVoiceCount];        ///< 1 / segment length (0 in the sustain)
    float offset[kVoiceCount];      ///< segment start time, us (0 for the attack)
    float after[kVoiceCount];       ///< the segment holds for after < t <= upTo
    float upTo[kVoiceCount];        ///<
    float held[kVoiceCount];        ///< level held at note-off
    float releaseSpan[kVoiceCount]; ///< L4 - held
    float releaseEnd[kVoiceCount];  ///< release time, us
    float releaseRate[kVoiceCount]; ///< 1 / release time
    float releasing[kVoiceCount];   ///< all-ones where the release time is above 0
    float level[kVoiceCount];       ///< last output
};

struct alignas(32) Lanes {
    float phaseA[kVoiceCount];
    float phaseB[kVoiceCount];
    float lfoPhase[kVoiceCount];
    float lfoIncrement[kVoiceCount];
    float noteIncrement[kVoiceCount];
    float velocity[kVoiceCount];
    float usPerSample[kVoiceCount];
    std::int32_t sampleCount[kVoiceCount];
    float active[kVoiceCount];     ///< all-ones while the voice sounds
    float held[kVoiceCount];       ///< all-ones for a held voice, 0 for a released one
    float enabled[3][kVoiceCount]; ///< all-ones where the envelope index is below envelopeCount
    EnvelopeLanes envelope[kEnvelopesPerVoice];
};

inline float allOnes() {
    const std::uint32_t bits = 0xFFFFFFFFu;
    float f;
    __builtin_memcpy(&f, &bits, sizeof f);
    return f;
}

/// Places lane's envelope in the segment the held-voice search finds for time t, with the
/// range of times for which that search gives the same segment.
void placeSegment(EnvelopeLanes& lanes, int lane, const PreparedEnvelope& env, float t) {
    int j = 3;
    while (j >= 0 && !(static_cast<float>(env.segmentEndUs[j]) < t))
        --j;
    float start, target, rate, offset;
    switch (j) {
    case -1: // attack
        start = env.level[0];
        target = env.level[1];
        rate = env.segmentRate[0];
        offset = 0.0f;
        break;
    case 0: // hold
        start = target = env.level[1];
        rate = env.segmentRate[1];
        offset = static_cast<float>(env.segmentEndUs[0]);
        break;
    case 1: // first decay
        start = env.level[1];
        target = env.level[2];
        rate = env.segmentRate[2];
        offset = static_cast<float>(env.segmentEndUs[1]);
        break;
    case 2: // second decay
        start = env.level[2];
        target = env.level[3];
        rate = env.segmentRate[3];
        offset = static_cast<float>(env.segmentEndUs[2]);
        break;
    default: // sustain: rate 0 makes the curve argument 0, as the search's fixed time 0 does
        start = target = env.level[3];
        rate = 0.0f;
        offset = 0.0f;
        break;
    }
    float upTo = std::numeric_limits<float>::infinity();
    for (int i = j + 1; i < 4; ++i)
        upTo = std::fmin(upTo, static_cast<float>(env.segmentEndUs[i]));
    lanes.start[lane] = start;
    lanes.delta[lane] = target - start;
    lanes.rate[lane] = rate;
    lanes.offset[lane] = offset;
    lanes.after[lane] =
        j >= 0 ? static_cast<float>(env.segmentEndUs[j]) : -std::numeric_limits<float>::infinity();
    lanes.upTo[lane] = upTo;
}

void loadLanes(const SynthEngine& engine, Lanes& lanes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int v = 0; v < kVoiceCount; ++v) {
        const Voice& voice = engine.voices[v];
        const bool sounding = voice.state != VoiceFree;
        // A free voice's lane is read with its group and its result dropped; what the voice
        // last held (phases for tables that a sample-rate change may have shortened since) is
        // not read, so its table reads stay inside the tables.
        lanes.phaseA[v] = sounding ? voice.phaseA : 0.0f;
        lanes.phaseB[v] = sounding ? voice.phaseB : 0.0f;
        lanes.lfoPhase[v] = sounding ? engine.lfo[v].lfoPhase : 0.0f;
        lanes.lfoIncrement[v] = engine.lfo[v].lfoIncrement;
        lanes.noteIncrement[v] = engine.noteIncrement[voice.note & 0x7F];
        lanes.velocity[v] = static_cast<float>(voice.velocity);
        lanes.usPerSample[v] = voice.usPerSample;
        lanes.sampleCount[v] = voice.sampleCount;
        lanes.active[v] = sounding ? allOnes() : 0.0f;
        lanes.held[v] = voice.state == VoiceHeld ? allOnes() : 0.0f;
        for (int e = 0; e < kEnvelopesPerVoice; ++e) {
            const PreparedEnvelope& env = voice.envelopes[e];
            EnvelopeLanes& el = lanes.envelope[e];
            lanes.enabled[e][v] = e < voice.envelopeCount ? allOnes() : 0.0f;
            const int d = voice.note - env.keyCentre;
            const float k = d > 0 ? env.rateAbove : env.rateBelow;
            el.keyFactor[v] = static_cast<float>(d) * k + 1.0f;
            // No segment yet: the first frame's time falls outside (not-a-number bounds) and
            // places it.
            el.after[v] = nan;
            el.upTo[v] = nan;
            el.start[v] = el.delta[v] = el.rate[v] = el.offset[v] = 0.0f;
            el.held[v] = voice.heldLevels[e];
            el.releaseSpan[v] = env.level[4] - voice.heldLevels[e];
            el.releaseEnd[v] = static_cast<float>(env.releaseUs);
            el.releaseRate[v] = env.releaseRate;
            el.releasing[v] = env.releaseUs > 0 ? allOnes() : 0.0f;
            el.level[v] = voice.levels[e];
        }
    }
}

void storeLanes(SynthEngine& engine, const Lanes& lanes, int freed) {
    for (int v = 0; v < kVoiceCount; ++v) {
        Voice& voice = engine.voices[v];
        if (voice.state == VoiceFree) continue;
        voice.phaseA = lanes.phaseA[v];
        voice.phaseB = lanes.phaseB[v];
        engine.lfo[v].lfoPhase = lanes.lfoPhase[v];
        voice.sampleCount = lanes.sampleCount[v];
        for (int e = 0; e < kEnvelopesPerVoice && e < voice.envelopeCount; ++e) {
            voice.levels[e] = lanes.envelope[e].level[v];
            if (voice.state == VoiceHeld) voice.heldLevels[e] = lanes.envelope[e].level[v];
        }
        if ((freed >> v) & 1) {
            voice.state = VoiceFree;
            voice.note = 0;
            voice.sampleCount = 0;
        }
    }
}

/// What one frame of one lane group needs from the engine.
struct Shared {
    const float* carrier;
    const float* modulator;
    const float* lfoTable;
    const float* curve; ///< at least two entries (a stand-in when the engine has fewer)
    std::int32_t curveLength;
    bool hasCurve;
    F tableLength; ///< as a float
    F modulation;
    F lfoDepth;
};

/// The lanes of q marked in outside replaced by the scalar wrap of p (kept out of the frame's
/// code, which it would only crowd).
[[gnu::noinline]] F wrapOutside(F p, F q, F n, int outside) {
    alignas(32) float original[kLanes], wrapped[kLanes];
    store(original, p);
    store(wrapped, q);
    const float nf = firstLane(n);
    for (int l = 0; l < kLanes; ++l)
        if ((outside >> l) & 1) wrapped[l] = wrapPhase(original[l], nf);
    return load(wrapped);
}

/// Wraps p into [0, n) by one step each way; lanes that need more take the scalar wrap. A
/// step not taken subtracts a positive zero, which leaves every value as it is (a negative
/// zero too); the one taken upwards subtracts -n, which is adding n. Lanes with the sign bit
/// set after the steps (a negative zero among them, which the scalar wrap keeps as it is) or
/// not below n take the scalar wrap.
inline F wrapLanes(F p, F n) {
#if defined(VOICE_LANES_AVX512)
    // The step up can only follow where p < 0, since p - n is not negative where p >= n: both
    // candidates are formed from p at once and moved in by masks on p, so neither step waits
    // on the other.
    F q = _mm256_mask_mov_ps(p, _mm256_cmp_ps_mask(p, n, _CMP_GE_OQ), sub(p, n));
    q = _mm256_mask_mov_ps(q, _mm256_cmp_ps_mask(p, zero(), _CMP_LT_OQ), add(p, n));
    // Inside [0, n) with the sign bit clear: as unsigned integers the bits lie below n's (a
    // set sign bit and a not-a-number lie above).
    const __mmask8 outside = _mm256_cmp_epu32_mask(asInt(q), asInt(n), _MM_CMPINT_NLT);
#else
    F q = sub(p, bitAnd(greaterEqual(p, n), n));
    q = sub(q, bitAnd(less(q, zero()), sub(zero(), n)));
    const int outside = (~maskBits(less(q, n)) | maskBits(q)) & kAllLanes;
#endif
    if (outside != 0) q = wrapOutside(p, q, n, outside);
    return q;
}

/// wrapLanes for a phase that has only moved up from inside [0, n): the step down alone, every
/// lane it leaves outside (below 0 too, where the phase moved down after all: once a cycle
/// for a negative increment) taking the scalar wrap, so that the result is wrapLanes' in
/// every case.
inline F wrapUpLanes(F p, F n) {
#if defined(VOICE_LANES_AVX512)
    const F q = _mm256_mask_sub_ps(p, _mm256_cmp_ps_mask(p, n, _CMP_GE_OQ), p, n);
    const __mmask8 outside = _mm256_cmp_epu32_mask(asInt(q), asInt(n), _MM_CMPINT_NLT);
#else
    const F q = sub(p, bitAnd(greaterEqual(p, n), n));
    const int outside = (~maskBits(less(q, n)) | maskBits(q)) & kAllLanes;
#endif
    return outside != 0 ? wrapOutside(p, q, n, outside) : q;
}

/// The table read at phase p, already inside [0, n), with linear interpolation.
inline F readTable(const float* table, F p) {
    const I i = truncate(p);
    F lo, hi;
    loadPairs(table, i, lo, hi);
    return add(lo, mul(sub(hi, lo), sub(p, toFloat(i))));
}

/// u clamped to 0..1 (below 0 and not-a-number: 0).
inline F clamped(F u) {
    u = bitAnd(u, greaterEqual(u, zero()));
    return minimum(u, splat(1.0f));
}

/// The segment curve at u (clamped to 0..1): the table with interpolation, 1 at its end, or u
/// itself when there is no curve.
inline F curveAt(const Shared& s, F u) {
    u = clamped(u);
    if (!s.hasCurve) return u;
    const F pos = mul(u, toFloat(splatInt(s.curveLength)));
    const I i = truncate(pos);
    const F inside = asFloat(intLess(i, splatInt(s.curveLength - 1)));
    F lo, hi;
    loadPairs(s.curve, intAnd(i, asInt(inside)), lo, hi);
    const F y = add(lo, mul(sub(hi, lo), sub(pos, toFloat(i))));
    return select(inside, y, splat(1.0f));
}

/// Places the envelope e of the lanes marked in misplaced (of the group starting at base).
[[gnu::noinline]] void placeLanes(EnvelopeLanes& el, const SynthEngine& engine, int e, int base,
                                  F t, int misplaced) {
    alignas(32) float times[kLanes];
    store(times, t);
    for (int l = 0; l < kLanes; ++l)
        if ((misplaced >> l) & 1)
            placeSegment(el, base + l, engine.voices[base + l].envelopes[e], times[l]);
}

/// Envelope e of lane group g at key-scaled time t; counted marks lanes whose sample count is
/// not negative. Lanes whose time left their segment are placed again first. Without general,
/// every lane counts and has all three envelopes.
template <bool general>
inline F envelopeLanes(const Shared& s, Lanes& lanes, const SynthEngine& engine, int e, int g, F t,
                       F counted, F active, F held) {
    EnvelopeLanes& el = lanes.envelope[e];
    const int base = g * kLanes;
    const F inSegment = bitAnd(less(load(el.after + base), t), lessEqual(t, load(el.upTo + base)));
    const F placed = general ? bitAnd(bitAnd(active, held), counted) : bitAnd(active, held);
    const int misplaced = maskBits(bitAndNot(inSegment, placed));
    if (misplaced != 0) placeLanes(el, engine, e, base, t, misplaced);
    // A segment that holds its level (the hold and the sustain) gives start + 0 x y = start
    // whatever the curve's y in 0..1, so the curve is read only where some lane moves.
    const F delta = load(el.delta + base);
    const F moving = bitAndNot(equal(delta, zero()), active);
    F y = zero();
    if (maskBits(bitAnd(moving, held)) != 0) {
        const F u = mul(load(el.rate + base), sub(t, load(el.offset + base)));
        y = curveAt(s, u);
    }
    F level = add(load(el.start + base), mul(delta, y));
    if (maskBits(bitAndNot(held, active)) != 0) {
        const F since = absolute(t);
        const F releasing =
            bitAnd(load(el.releasing + base), less(since, load(el.releaseEnd + base)));
        const F releaseLevel =
            add(load(el.held + base),
                mul(mul(load(el.releaseSpan + base), since), load(el.releaseRate + base)));
        level = select(held, level, bitAnd(releasing, releaseLevel));
    }
    if (general) level = bitAnd(bitAnd(level, counted), load(lanes.enabled[e] + base));
    return level;
}

/// Envelopes that hold one level for the rest of a chunk: every sounding lane of the group is
/// held, sits in a segment with no change of level (a hold or the sustain) and stays in it to
/// the chunk's last frame. Their level is then the same every frame and is not evaluated.
struct alignas(32) SteadyEnvelopes {
    float level[kGroups][kEnvelopesPerVoice][kLanes];
    bool steady[kGroups][kEnvelopesPerVoice];
};

/// One frame of lane group g, whatever the lanes start from: phases outside the table, sample
/// counts below 0, fewer than three envelopes. Returns the lanes freed in this frame.
inline int frameLanes(const Shared& s, Lanes& lanes, const SynthEngine& engine, int g, F bend,
                      float* out) {
    const int base = g * kLanes;
    const F active = load(lanes.active + base);
    if (maskBits(active) == 0) {
        storeUnaligned(out, zero());
        return 0;
    }
    const F held = load(lanes.held + base);
    const F n = s.tableLength;
    const F usPerSample = load(lanes.usPerSample + base);
    const I count = loadInt((lanes.sampleCount + base));
    const F time = mul(toFloat(count), usPerSample);
    const F counted = asFloat(intGreater(count, splatInt(-1)));

    const F lfoPhase = load(lanes.lfoPhase + base);
    const F lfoValue = readTable(s.lfoTable, wrapLanes(lfoPhase, n));
    const F e2 = envelopeLanes<true>(s, lanes, engine, 2, g,
                                     mul(load(lanes.envelope[2].keyFactor + base), time), counted,
                                     active, held);
    const F phaseA = load(lanes.phaseA + base);
    const F m = readTable(s.modulator, wrapLanes(phaseA, n));
    const F depth = add(splat(1.0f), mul(mul(s.lfoDepth, lfoValue), splat(kPercent)));
    const F pc = add(phaseA, mul(mul(m, mul(s.modulation, e2)), depth));
    const F a = readTable(s.carrier, wrapLanes(pc, n));
    const F e0 = envelopeLanes<true>(s, lanes, engine, 0, g,
                                     mul(load(lanes.envelope[0].keyFactor + base), time), counted,
                                     active, held);
    const F phaseB = load(lanes.phaseB + base);
    const F b = readTable(s.carrier, wrapLanes(phaseB, n));

    // The sample count stops at the largest int32 rather than wrapping.
    const I notAtEnd = intAndNot(
        intEqual(count, splatInt(std::numeric_limits<std::int32_t>::max())), splatInt(-1));
    const I nextCount = intSub(count, notAtEnd);
    const F sample =
        mul(mul(add(mul(b, e0), mul(e0, a)), load(lanes.velocity + base)), splat(kVelocityScale));
    const F increment = mul(load(lanes.noteIncrement + base), bend);
    const F nextTime = mul(toFloat(nextCount), usPerSample);
    const F nextCounted = asFloat(intGreater(nextCount, splatInt(-1)));
    const F e1 = envelopeLanes<true>(s, lanes, engine, 1, g,
                                     mul(load(lanes.envelope[1].keyFactor + base), nextTime),
                                     nextCounted, active, held);
    const F newA = wrapLanes(add(phaseA, mul(e1, increment)), n);
    const F vibrato = add(mul(mul(s.lfoDepth, lfoValue), splat(kVibratoScale)), splat(1.0f));
    const F newB = wrapLanes(add(phaseB, mul(vibrato, increment)), n);
    const F newLfo = wrapLanes(add(lfoPhase, load(lanes.lfoIncrement + base)), n);

    const F finite = finiteMask(sample);
    storeUnaligned(out, bitAnd(bitAnd(active, finite), sample));

    store(lanes.phaseA + base, select(active, newA, phaseA));
    store(lanes.phaseB + base, select(active, newB, phaseB));
    store(lanes.lfoPhase + base, select(active, newLfo, lfoPhase));
    storeInt((lanes.sampleCount + base), asInt(select(active, asFloat(nextCount), asFloat(count))));
    const F levels[3] = {e0, e1, e2};
    for (int e = 0; e < kEnvelopesPerVoice; ++e) {
        float* level = lanes.envelope[e].level + base;
        store(level, select(bitAnd(active, load(lanes.enabled[e] + base)), levels[e], load(level)));
    }
    // A released voice ends when its stored amplitude level is exactly 0.
    const F silent = equal(load(lanes.envelope[0].level + base), zero());
    const F freed = bitAnd(active, bitOr(bitAndNot(finite, active), bitAndNot(held, silent)));
    const int freedBits = maskBits(freed);
    if (freedBits != 0) store(lanes.active + base, bitAndNot(freed, active));
    return freedBits << base;
}

/// Frames of the plain path taken in two passes (at most this many at a time).
constexpr int kPassFrames = 64;

/// What the first pass leaves for the second, per frame and lane: the phases as the frame
/// reads them, the LFO's share of the modulation, the amplitude and modulation levels and the
/// lanes sounding at the frame's start.
struct alignas(32) PassFrames {
    float phaseA[kPassFrames][kVoiceCount];
    float phaseB[kPassFrames][kVoiceCount];
    float depth[kPassFrames][kVoiceCount];
    float amplitude[kPassFrames][kVoiceCount];
    float modulationLevel[kPassFrames][kVoiceCount];
    float active[kPassFrames][kVoiceCount];
};

/// Envelope levels worked out for a whole pass before its first pass (planEnvelope), each
/// frame's as the frame would evaluate it; planned marks the envelopes (per lane group) taken
/// from here.
struct alignas(32) PlannedEnvelopes {
    float level[kEnvelopesPerVoice][kPassFrames][kVoiceCount];
    bool planned[kGroups][kEnvelopesPerVoice];
};

#if defined(VOICE_LANES_AVX2)
/// Entry index (its low four bits) of the sixteen held in low and high, lane by lane.
inline F lookupSixteen(F low, F high, I index) {
#if defined(VOICE_LANES_AVX512)
    return _mm256_permutex2var_ps(low, index, high);
#else
    // Bit 3 chooses the half: shifted into the sign bit, it drives the blend.
    return _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, index),
                            _mm256_permutevar8x32_ps(high, index),
                            asFloat(_mm256_slli_epi32(index, 28)));
#endif
}

/// The eight rows of 8 x 8 floats at from (rows `stride` floats apart), transposed: columns[c]
/// holds entry c of each row.
inline void transposeRows(const float* from, int stride, F (&columns)[8]) {
    F r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = _mm256_loadu_ps(from + i * stride);
    const F t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const F t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const F t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const F t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const F u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const F u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const F u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const F u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const F u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const F u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const F u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const F u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    columns[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    columns[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    columns[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    columns[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    columns[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    columns[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    columns[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    columns[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

/// The eight rows of 8 x 8 floats at from (rows `stride` floats apart) into the rows at to
/// (kVoiceCount apart), transposed.
inline void transposeEight(const float* from, int stride, float* to) {
    F columns[8];
    transposeRows(from, stride, columns);
    for (int c = 0; c < 8; ++c)
        store(to + c * kVoiceCount, columns[c]);
}

/// Envelope e of lane group g for the m plain frames of a pass, into planned, when every
/// sounding lane is held and stays in one segment for the pass and some lane's level moves:
/// then each frame's level is what envelopeLanes gives it, but worked out one lane at a time
/// with the pass's frames across the vector. A lane's key-scaled time never falls (see
/// findSteadyEnvelopes), so neither does its curve position, and the curve entries its frames
/// read mostly lie within sixteen of the first: those are held in two vectors and picked out
/// by index, in place of a load per frame. Returns false, and plans nothing, otherwise.
bool planEnvelope(const Shared& s, Lanes& lanes, const SynthEngine& engine, int e, int g, int m,
                  PlannedEnvelopes& planned) {
    if (!s.hasCurve || s.curveLength < 16) return false;
    EnvelopeLanes& el = lanes.envelope[e];
    const int base = g * kLanes;
    const int delay = e == 1 ? 1 : 0; // the pitch envelope is read one sample later
    // The conditions, for all lanes at once.
    const int sounding = maskBits(load(lanes.active + base));
    if (sounding == 0 || (maskBits(load(lanes.held + base)) & sounding) != sounding) return false;
    const I count = loadInt(lanes.sampleCount + base);
    const F factor = load(el.keyFactor + base);
    const F us = load(lanes.usPerSample + base);
    const int usable =
        maskBits(asFloat(
            intLess(count, splatInt(std::numeric_limits<std::int32_t>::max() - kPassFrames - 1)))) &
        maskBits(greaterEqual(factor, zero())) & maskBits(greater(us, zero()));
    if ((usable & sounding) != sounding) return false;
    const I first = intSub(count, splatInt(-delay));
    const F tFirst = mul(factor, mul(toFloat(first), us));
    const F tLast = mul(factor, mul(toFloat(intSub(first, splatInt(1 - m))), us));
    // Lanes outside their segment at the first frame are placed, as that frame would place them.
    const int misplaced = ~maskBits(bitAnd(less(load(el.after + base), tFirst),
                                           lessEqual(tFirst, load(el.upTo + base)))) &
                          sounding;
    if (misplaced != 0) placeLanes(el, engine, e, base, tFirst, misplaced);
    // A rate below 0 (or not a number) would not keep the curve position from falling.
    const F rate = load(el.rate + base);
    if ((maskBits(bitAnd(lessEqual(tLast, load(el.upTo + base)), greaterEqual(rate, zero()))) &
         sounding) != sounding)
        return false;
    if ((~maskBits(equal(load(el.delta + base), zero())) & sounding) == 0)
        return false; // nothing moves: the frames give start + 0 without reading the curve

    // The pass's first and last frames' curve arguments bound every frame's: the clamp to 0..1
    // is needed only where they leave it, the end of the curve only where the last frame
    // reaches it, and the entries read lie from the first frame's to one past the last frame's
    // inside the curve.
    const F offset = load(el.offset + base);
    const F uFirst = mul(rate, sub(tFirst, offset));
    const F uLast = mul(rate, sub(tLast, offset));
    const int clamps =
        ~maskBits(bitAnd(greaterEqual(uFirst, zero()), lessEqual(uLast, splat(1.0f))));
    const F length = toFloat(splatInt(s.curveLength));
    const I lowest = truncate(mul(clamped(uFirst), length));
    const I last = truncate(mul(clamped(uLast), length));
    const I lastInside = splatInt(s.curveLength - 1);
    const int edges = ~maskBits(asFloat(intLess(last, lastInside)));
    const I highest = intSub(_mm256_min_epi32(last, splatInt(s.curveLength - 2)), splatInt(-1));
    const I window = _mm256_min_epi32(lowest, splatInt(s.curveLength - 16));
    const int windowed = maskBits(asFloat(intLess(intSub(highest, window), splatInt(16))));
    alignas(32) std::int32_t windows[kLanes], firsts[kLanes];
    storeInt(windows, window);
    storeInt(firsts, first);

    const int blocks = (m + kLanes - 1) / kLanes;
    const I frameStep = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    alignas(32) float byLane[kLanes][kPassFrames];
    for (int l = 0; l < kLanes; ++l) {
        const int v = base + l;
        if (((sounding >> l) & 1) == 0) {
            for (int b = 0; b < blocks; ++b)
                store(byLane[l] + b * kLanes, zero());
            continue;
        }
        const F usLane = splat(lanes.usPerSample[v]), factorLane = splat(el.keyFactor[v]);
        const F rateLane = splat(el.rate[v]), offsetLane = splat(el.offset[v]);
        const F start = splat(el.start[v]), delta = splat(el.delta[v]);
        const bool clamp = ((clamps >> l) & 1) != 0, edge = ((edges >> l) & 1) != 0;
        const bool inWindow = ((windowed >> l) & 1) != 0;
        F low = zero(), high = zero();
        if (inWindow) {
            low = _mm256_loadu_ps(s.curve + windows[l]);
            high = _mm256_loadu_ps(s.curve + windows[l] + 8);
        }
        const I windowStart = splatInt(windows[l]);
        for (int b = 0; b < blocks; ++b) {
            // curveAt for the block's eight frames.
            const I frameCount = _mm256_add_epi32(splatInt(firsts[l] + b * kLanes), frameStep);
            F u = mul(rateLane, sub(mul(factorLane, mul(toFloat(frameCount), usLane)), offsetLane));
            if (clamp) u = clamped(u);
            const F position = mul(u, length);
            const I i = truncate(position);
            F lo, hi;
            if (inWindow) {
                const I at = intSub(i, windowStart);
                lo = lookupSixteen(low, high, at);
                hi = lookupSixteen(low, high, intSub(at, splatInt(-1)));
            } else {
                loadPairs(s.curve, intAnd(i, intLess(i, lastInside)), lo, hi);
            }
            F y = add(lo, mul(sub(hi, lo), sub(position, toFloat(i))));
            if (edge) y = select(asFloat(intLess(i, lastInside)), y, splat(1.0f));
            store(byLane[l] + b * kLanes, add(start, mul(delta, y)));
        }
    }
    for (int b = 0; b < blocks; ++b)
        transposeEight(&byLane[0][b * kLanes], kPassFrames, &planned.level[e][b * kLanes][base]);
    return true;
}
#endif

/// What each frame of a pass moves on from the frame before: the phases, the sample count and
/// the envelopes' last levels of one lane group, carried in registers through the first pass
/// and kept in the lanes before and after it.
struct PassState {
    F phaseA, phaseB, lfoPhase;
    I count;
    F level[kEnvelopesPerVoice];
};

inline PassState loadPassState(const Lanes& lanes, int g) {
    const int base = g * kLanes;
    return {load(lanes.phaseA + base),
            load(lanes.phaseB + base),
            load(lanes.lfoPhase + base),
            loadInt(lanes.sampleCount + base),
            {load(lanes.envelope[0].level + base), load(lanes.envelope[1].level + base),
             load(lanes.envelope[2].level + base)}};
}

inline void storePassState(Lanes& lanes, int g, const PassState& state) {
    const int base = g * kLanes;
    store(lanes.phaseA + base, state.phaseA);
    store(lanes.phaseB + base, state.phaseB);
    store(lanes.lfoPhase + base, state.lfoPhase);
    storeInt(lanes.sampleCount + base, state.count);
    for (int e = 0; e < kEnvelopesPerVoice; ++e)
        store(lanes.envelope[e].level + base, state.level[e]);
}

/// The first pass of a plain frame of lane group g (frame `frame` of the pass, kept in slot j),
/// whose lanes have their phases inside the table (as every frame leaves them), no sample count
/// below 0 and all three envelopes: frameLanes without the modulator and carrier reads, whose
/// inputs it leaves in pass. The phases, the LFO and the envelopes are recurrences or cheap; the
/// reads, the long part of a frame, then run in the second pass with no frame waiting on another.
/// Returns the lanes freed by silence. With fixed, the pass's lanes are known to sound for the
/// whole pass and to be held (fixedLanes): pass.active is then not written, and no lane can be
/// freed by silence.
template <bool fixed>
inline int advanceLanes(const Shared& s, Lanes& lanes, const SynthEngine& engine, int g, F bend,
                        const SteadyEnvelopes& steady, const PlannedEnvelopes& planned, int frame,
                        PassState& state, PassFrames& pass, int j) {
    const int base = g * kLanes;
    const F active = load(lanes.active + base);
    if (!fixed) {
        store(pass.active[j] + base, active);
        if (maskBits(active) == 0) return 0;
    }
    const F held = load(lanes.held + base);
    const F n = s.tableLength;
    const F usPerSample = load(lanes.usPerSample + base);
    const I count = state.count;
    const F time = mul(toFloat(count), usPerSample);
    const F counted = asFloat(splatInt(-1));

    const F lfoPhase = state.lfoPhase;
    const F lfoValue = readTable(s.lfoTable, lfoPhase);
    // Envelope e at unscaled time t: its steady level, its planned level, or its evaluation.
    auto envelope = [&](int e, F t) __attribute__((always_inline)) {
        return steady.steady[g][e] ? load(steady.level[g][e])
               : planned.planned[g][e]
                   ? load(planned.level[e][frame] + base)
                   : envelopeLanes<false>(s, lanes, engine, e, g,
                                          mul(load(lanes.envelope[e].keyFactor + base), t), counted,
                                          active, held);
    };
    const F e2 = envelope(2, time);
    const F phaseA = state.phaseA;
    const F depth = add(splat(1.0f), mul(mul(s.lfoDepth, lfoValue), splat(kPercent)));
    const F e0 = envelope(0, time);
    const F phaseB = state.phaseB;
    store(pass.phaseA[j] + base, phaseA);
    store(pass.phaseB[j] + base, phaseB);
    store(pass.depth[j] + base, depth);
    store(pass.amplitude[j] + base, e0);
    store(pass.modulationLevel[j] + base, e2);

    const I notAtEnd = intAndNot(
        intEqual(count, splatInt(std::numeric_limits<std::int32_t>::max())), splatInt(-1));
    const I nextCount = intSub(count, notAtEnd);
    const F increment = mul(load(lanes.noteIncrement + base), bend);
    const F nextTime = mul(toFloat(nextCount), usPerSample);
    const F e1 = envelope(1, nextTime); // the pitch envelope is read one sample later
    // The phases move up (a negative increment is rare and crosses 0 once a cycle).
    const F newA = wrapUpLanes(add(phaseA, mul(e1, increment)), n);
    const F vibrato = add(mul(mul(s.lfoDepth, lfoValue), splat(kVibratoScale)), splat(1.0f));
    const F newB = wrapUpLanes(add(phaseB, mul(vibrato, increment)), n);
    const F newLfo = wrapUpLanes(add(lfoPhase, load(lanes.lfoIncrement + base)), n);

    if (maskBits(active) == kAllLanes) {
        state = {newA, newB, newLfo, nextCount, {e0, e1, e2}};
    } else {
        state = {select(active, newA, phaseA),
                 select(active, newB, phaseB),
                 select(active, newLfo, lfoPhase),
                 asInt(select(active, asFloat(nextCount), asFloat(count))),
                 {select(active, e0, state.level[0]), select(active, e1, state.level[1]),
                  select(active, e2, state.level[2])}};
    }
    // A released voice ends when its kept amplitude level is exactly 0 (none can while every
    // sounding lane is held).
    if (fixed || maskBits(bitAndNot(held, active)) == 0) return 0;
    const F silent = equal(state.level[0], zero());
    const F freed = bitAnd(active, bitAndNot(held, silent));
    const int freedBits = maskBits(freed);
    if (freedBits != 0) store(lanes.active + base, bitAndNot(freed, active));
    return freedBits << base;
}

/// The second pass over m frames: the reads and the samples, into out (eight per frame).
/// Returns the sounding lanes that gave a sample that is not finite (in any of the frames):
/// such a sample ends its voice in its frame, which the first pass did not know. With fixed,
/// the lanes sounding in every frame are those of lanes.active (fixedLanes), and every group
/// has some.
template <bool fixed>
inline int sampleLanes(const Shared& s, const Lanes& lanes, PassFrames& pass, int m, float* out) {
    F sounding[kGroups];
    for (int g = 0; g < kGroups; ++g)
        sounding[g] = load(lanes.active + g * kLanes);
    // The modulator's reads first, each frame's modulated phase in place of its phase: the
    // carrier's reads, which wait on them, then find them long done.
    for (int j = 0; j < m; ++j) {
        for (int g = 0; g < kGroups; ++g) {
            const int base = g * kLanes;
            if (!fixed && maskBits(load(pass.active[j] + base)) == 0) continue;
            const F phaseA = load(pass.phaseA[j] + base);
            const F e2 = load(pass.modulationLevel[j] + base);
            const F m = readTable(s.modulator, phaseA);
            const F pc =
                add(phaseA, mul(mul(m, mul(s.modulation, e2)), load(pass.depth[j] + base)));
            store(pass.phaseA[j] + base, wrapLanes(pc, s.tableLength));
        }
    }
    F unfinished[kGroups];
    for (int g = 0; g < kGroups; ++g)
        unfinished[g] = zero();
    for (int j = 0; j < m; ++j) {
        for (int g = 0; g < kGroups; ++g) {
            const int base = g * kLanes;
            float* frameOut = out + j * kVoiceCount + base;
            const F active = fixed ? sounding[g] : load(pass.active[j] + base);
            if (!fixed && maskBits(active) == 0) {
                storeUnaligned(frameOut, zero());
                continue;
            }
            const F a = readTable(s.carrier, load(pass.phaseA[j] + base));
            const F e0 = load(pass.amplitude[j] + base);
            const F b = readTable(s.carrier, load(pass.phaseB[j] + base));
            const F sample = mul(mul(add(mul(b, e0), mul(e0, a)), load(lanes.velocity + base)),
                                 splat(kVelocityScale));
            const F finite = finiteMask(sample);
            storeUnaligned(frameOut, bitAnd(bitAnd(active, finite), sample));
            unfinished[g] = bitOr(unfinished[g], bitAndNot(finite, active));
        }
    }
    int lanesUnfinished = 0;
    for (int g = 0; g < kGroups; ++g)
        lanesUnfinished |= maskBits(unfinished[g]) << (g * kLanes);
    return lanesUnfinished;
}

/// True when every lane group has a sounding lane and every sounding lane is held: then the
/// same lanes sound to the end of a pass (only a sample that is not finite, which the pass
/// takes again frame by frame, could end one).
bool fixedLanes(const Lanes& lanes) {
    for (int g = 0; g < kGroups; ++g) {
        const F active = load(lanes.active + g * kLanes);
        if (maskBits(active) == 0 ||
            maskBits(bitAndNot(load(lanes.held + g * kLanes), active)) != 0)
            return false;
    }
    return true;
}

/// The state of the lanes that a pass changes, kept to go back to.
struct alignas(32) PassStart {
    float phaseA[kVoiceCount];
    float phaseB[kVoiceCount];
    float lfoPhase[kVoiceCount];
    std::int32_t sampleCount[kVoiceCount];
    float active[kVoiceCount];
    float level[kEnvelopesPerVoice][kVoiceCount];
};

void keepPassStart(const Lanes& lanes, PassStart& start) {
    __builtin_memcpy(start.phaseA, lanes.phaseA, sizeof start.phaseA);
    __builtin_memcpy(start.phaseB, lanes.phaseB, sizeof start.phaseB);
    __builtin_memcpy(start.lfoPhase, lanes.lfoPhase, sizeof start.lfoPhase);
    __builtin_memcpy(start.sampleCount, lanes.sampleCount, sizeof start.sampleCount);
    __builtin_memcpy(start.active, lanes.active, sizeof start.active);
    for (int e = 0; e < kEnvelopesPerVoice; ++e)
        __builtin_memcpy(start.level[e], lanes.envelope[e].level, sizeof start.level[e]);
}

void returnToPassStart(Lanes& lanes, const PassStart& start) {
    __builtin_memcpy(lanes.phaseA, start.phaseA, sizeof start.phaseA);
    __builtin_memcpy(lanes.phaseB, start.phaseB, sizeof start.phaseB);
    __builtin_memcpy(lanes.lfoPhase, start.lfoPhase, sizeof start.lfoPhase);
    __builtin_memcpy(lanes.sampleCount, start.sampleCount, sizeof start.sampleCount);
    __builtin_memcpy(lanes.active, start.active, sizeof start.active);
    for (int e = 0; e < kEnvelopesPerVoice; ++e)
        __builtin_memcpy(lanes.envelope[e].level, start.level[e], sizeof start.level[e]);
}

/// True when every sounding lane can take the plain frame: its phases lie inside the table,
/// its sample count is not negative and it has all three envelopes.
bool plainLanes(const Lanes& lanes, std::int32_t tableLength) {
    const float n = static_cast<float>(tableLength);
    for (int v = 0; v < kVoiceCount; ++v) {
        if (lanes.active[v] == 0.0f) continue;
        for (float p : {lanes.phaseA[v], lanes.phaseB[v], lanes.lfoPhase[v]})
            if (!(p >= 0.0f && p < n)) return false;
        if (lanes.sampleCount[v] < 0) return false;
        for (int e = 0; e < kEnvelopesPerVoice; ++e)
            if (lanes.enabled[e][v] == 0.0f) return false;
    }
    return true;
}

/// Fills steady for the next frames frames (all plain). A lane's key-scaled time never falls
/// from frame to frame when its key factor is not negative (each step of the product rounds
/// monotonically), so it stays in a segment from the first frame's time to the last one's.
void findSteadyEnvelopes(Lanes& lanes, const SynthEngine& engine, int frames,
                         SteadyEnvelopes& steady) {
    for (int g = 0; g < kGroups; ++g) {
        for (int e = 0; e < kEnvelopesPerVoice; ++e) {
            EnvelopeLanes& el = lanes.envelope[e];
            bool holds = true;
            for (int l = 0; l < kLanes && holds; ++l) {
                const int v = g * kLanes + l;
                if (lanes.active[v] == 0.0f) continue;
                // The pitch envelope is read one sample later than the other two.
                const std::int64_t first = std::int64_t{lanes.sampleCount[v]} + (e == 1 ? 1 : 0);
                const std::int64_t last = first + frames - 1;
                const float factor = el.keyFactor[v];
                const float us = lanes.usPerSample[v];
                if (lanes.held[v] == 0.0f || last >= std::numeric_limits<std::int32_t>::max() ||
                    !(factor >= 0.0f) || !(us > 0.0f)) {
                    holds = false;
                    break;
                }
                const float tFirst = factor * (static_cast<float>(first) * us);
                const float tLast = factor * (static_cast<float>(last) * us);
                if (!(el.after[v] < tFirst && tFirst <= el.upTo[v]))
                    placeSegment(el, v, engine.voices[v].envelopes[e], tFirst);
                holds = el.delta[v] == 0.0f && tLast <= el.upTo[v];
            }
            steady.steady[g][e] = holds;
            // What the frame computes for a level that does not move: start + delta x 0.
            for (int l = 0; l < kLanes; ++l) {
                const int v = g * kLanes + l;
                steady.level[g][e][l] = el.start[v] + el.delta[v] * 0.0f;
            }
        }
    }
}

/// mixVoiceLanes for this build: the lane rows of eight frames (four in the SSE2 build) turned
/// into voice columns, added in voice order.
void mixLanes(const float* lanes, const float* gain, float* main, int n) {
    int k = 0;
#if defined(VOICE_LANES_AVX2)
    for (; k + 8 <= n; k += 8) {
        F voice[8];
        transposeRows(lanes + k * kVoiceCount, kVoiceCount, voice);
        F sum = add(zero(), voice[0]);
        for (int v = 1; v < kVoiceCount; ++v)
            sum = add(sum, voice[v]);
        const F mixed = mul(sum, _mm256_loadu_ps(gain + k));
        storeUnaligned(main + k, bitAnd(mixed, finiteMask(mixed)));
    }
#else
    for (; k + 4 <= n; k += 4) {
        const float* row = lanes + k * kVoiceCount;
        __m128 r0 = _mm_loadu_ps(row), r1 = _mm_loadu_ps(row + 8), r2 = _mm_loadu_ps(row + 16),
               r3 = _mm_loadu_ps(row + 24);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3); // r0 = voice 0 of frames k..k+3, ...
        __m128 q0 = _mm_loadu_ps(row + 4), q1 = _mm_loadu_ps(row + 12), q2 = _mm_loadu_ps(row + 20),
               q3 = _mm_loadu_ps(row + 28);
        _MM_TRANSPOSE4_PS(q0, q1, q2, q3);
        __m128 sum = _mm_add_ps(_mm_setzero_ps(), r0);
        for (const __m128 voice : {r1, r2, r3, q0, q1, q2, q3})
            sum = _mm_add_ps(sum, voice);
        const __m128 mixed = _mm_mul_ps(sum, _mm_loadu_ps(gain + k));
        _mm_storeu_ps(main + k, _mm_and_ps(mixed, finiteMask(mixed)));
    }
#endif
    for (; k < n; ++k) {
        float sum = 0.0f;
        for (int v = 0; v < kVoiceCount; ++v)
            sum += lanes[k * kVoiceCount + v];
        const float mixed = sum * gain[k];
        main[k] = std::isfinite(mixed) ? mixed : 0.0f;
    }
}

/// The whole kernel for one chunk (renderVoiceLanes).
void renderLanes(SynthEngine& engine, const float* bend, float* out, int n) {
    static const float kNoCurve[2] = {0.0f, 0.0f};
    Lanes lanes;
    loadLanes(engine, lanes);
    const Patch& patch = *engine.patch;
    const bool hasCurve = engine.curveTable && engine.curveLength > 0;
    const Shared s{engine.carrierTable.get(),
                   engine.modulatorTable.get(),
                   engine.lfoTable.get(),
                   hasCurve && engine.curveLength >= 2 ? engine.curveTable.get() : kNoCurve,
                   hasCurve ? engine.curveLength : 0,
                   hasCurve,
                   splat(static_cast<float>(engine.tableLength)),
                   splat(static_cast<float>(patch.modulation)),
                   splat(static_cast<float>(patch.lfoDepth))};
    int freed = 0;
    int k = 0;
    // Frames after the first always find their phases wrapped; the general frame handles
    // whatever a chunk starts from.
    for (; k < n; ++k) {
        const bool plain = plainLanes(lanes, engine.tableLength);
        const F frameBend = splat(bend[k]);
        float* frameOut = out + k * kVoiceCount;
        if (plain) break;
        for (int g = 0; g < kGroups; ++g)
            freed |= frameLanes(s, lanes, engine, g, frameBend, frameOut + g * kLanes);
    }
    SteadyEnvelopes steady;
    if (k < n) findSteadyEnvelopes(lanes, engine, n - k, steady);
    // The plain frames in passes of up to kPassFrames. Envelopes that move through one segment
    // for the whole pass are planned first (in the AVX2 builds); the rest are evaluated frame by
    // frame. A pass that meets a sample that is not finite is taken again from its start frame
    // by frame, which ends the voice in the frame that gave it.
    PassFrames pass;
    PassStart start;
    PlannedEnvelopes planned;
    while (k < n) {
        const int m = n - k < kPassFrames ? n - k : kPassFrames;
        keepPassStart(lanes, start);
        for (int g = 0; g < kGroups; ++g)
            for (int e = 0; e < kEnvelopesPerVoice; ++e)
#if defined(VOICE_LANES_AVX2)
                planned.planned[g][e] =
                    !steady.steady[g][e] && planEnvelope(s, lanes, engine, e, g, m, planned);
#else
                planned.planned[g][e] = false;
#endif
        int passFreed = 0;
        PassState state[kGroups];
        for (int g = 0; g < kGroups; ++g)
            state[g] = loadPassState(lanes, g);
        const bool fixed = fixedLanes(lanes);
        for (int j = 0; j < m; ++j) {
            const F frameBend = splat(bend[k + j]);
            for (int g = 0; g < kGroups; ++g)
                passFreed |= fixed ? advanceLanes<true>(s, lanes, engine, g, frameBend, steady,
                                                        planned, j, state[g], pass, j)
                                   : advanceLanes<false>(s, lanes, engine, g, frameBend, steady,
                                                         planned, j, state[g], pass, j);
        }
        for (int g = 0; g < kGroups; ++g)
            storePassState(lanes, g, state[g]);
        const int unfinished = fixed ? sampleLanes<true>(s, lanes, pass, m, out + k * kVoiceCount)
                                     : sampleLanes<false>(s, lanes, pass, m, out + k * kVoiceCount);
        if (unfinished != 0) {
            // Again from the pass's start, one frame to a pass, ending each such voice after
            // the frame that gave its sample.
            returnToPassStart(lanes, start);
            passFreed = 0;
            for (int j = 0; j < m; ++j) {
                const F frameBend = splat(bend[k + j]);
                for (int g = 0; g < kGroups; ++g) {
                    PassState one = loadPassState(lanes, g);
                    passFreed |= advanceLanes<false>(s, lanes, engine, g, frameBend, steady,
                                                     planned, j, one, pass, 0);
                    storePassState(lanes, g, one);
                }
                const int ended =
                    sampleLanes<false>(s, lanes, pass, 1, out + (k + j) * kVoiceCount);
                for (int v = 0; v < kVoiceCount; ++v)
                    if ((ended >> v) & 1) lanes.active[v] = 0.0f;
                passFreed |= ended;
            }
        }
        freed |= passFreed;
        k += m;
    }
    storeLanes(engine, lanes, freed);
}

} // namespace
