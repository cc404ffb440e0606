// The program record. A Patch is 328 bytes, little-endian and byte-exact, because hosts store
// it in their project and preset files (bank and preset chunks are raw records). Single-byte
// fields are signed and always read sign-extended.
#pragma once

#include <cstddef>
#include <cstdint>

/// Size of one Patch record in bytes, as stored in chunks.
constexpr std::int32_t kPatchRecordSize = 328;
/// Number of program slots.
constexpr int kPatchCount = 64;
/// Slots 0..45 hold built-in sounds; 46..63 are empty records.
constexpr int kBuiltInPatchCount = 46;
/// Header value of `formatVersion` in every valid record.
constexpr std::int32_t kPatchFormatVersion = 1;
/// Bytes of a record's header (format version, product tag, size and its complement).
constexpr int kPatchHeaderSize = 44;

/// Wave shape codes of WaveLayer::shape; any other value adds nothing.
enum WaveShape : std::int8_t {
    ShapeNone = 0,
    ShapePhaseModSine = 1,
    ShapeLinearTrapezoid = 2,
    ShapeCosineTrapezoid = 3,
    ShapeHarmonics = 4,
    ShapeSteppedSine = 5,
};

/// One shape rendered and added into a wavetable.
struct WaveLayer {
    std::int8_t shape;   ///< WaveShape code
    std::int8_t repeats; ///< repetitions per table: magnitude, 0 counts as 1, above 30 as 30
    std::uint8_t pad[2];
    float gain;      ///< factor of the rendered shape, may be negative
    float params[7]; ///< shape parameters p1..p7
};

/// One five-level, four-segment envelope with a linear release.
struct EnvelopeSpec {
    std::int8_t keyCentre;    ///< MIDI note around which the speed is key-scaled
    std::int8_t keyAmount;    ///< key scaling in tenths; -128 reads as -100
    std::int8_t startLevel;   ///< percent at note-on
    std::int8_t peakLevel;    ///< percent at the end of the attack
    std::int8_t decayLevel;   ///< percent at the end of the first decay
    std::int8_t sustainLevel; ///< percent held after the second decay
    std::int8_t releaseLevel; ///< percent reached at the end of the release
    std::uint8_t pad;
    std::int32_t attackMs;  ///< milliseconds from start to peak level
    std::int32_t holdMs;    ///< milliseconds held at the peak
    std::int32_t decay1Ms;  ///< milliseconds from peak to decay level
    std::int32_t decay2Ms;  ///< milliseconds from decay to sustain level
    std::int32_t releaseMs; ///< milliseconds from the level at note-off to the release level
};

struct Patch {
    std::int32_t formatVersion;   ///< 1 in a valid record
    char productTag[32];          ///< "kelvar(Quarnel)" and zeros
    std::int32_t recordSize;      ///< 328
    std::int32_t recordSizeCheck; ///< ~recordSize, -329
    char name[32];                ///< program name, zero-terminated
    std::int8_t window;           ///< carrier end taper, 0..100 percent
    std::int8_t modulation;       ///< phase-modulation depth, 0..100
    std::int8_t lfoRate;          ///< voice LFO at lfoRate x 0.2 Hz at note 64
    std::int8_t lfoDepth;         ///< voice LFO depth, percent; sign routes the ensemble
    float sendFrequency;          ///< Hz, centre of the send bus band-pass
    std::int8_t sendReturn;       ///< signed percent of the send bus added to the main bus
    std::int8_t echoTime;         ///< echo length in 10 us units; sign routes the echo
    std::int8_t velocityTime;     ///< percent of velocity effect on hold and decay 1 times
    std::int8_t attack;           ///< "Atack", -80..100: envelope time scale (attack + 100) %
    std::int8_t sustain;          ///< "Sustain", -99..100: amplitude decay 2 time scale
    std::uint8_t pad[3];
    float highPassHz; ///< output high-pass cut-off set when the patch is applied
    float lowPassHz;  ///< output low-pass cut-off set when the patch is applied
    WaveLayer carrierLayers[3];
    WaveLayer modulatorLayer;
    EnvelopeSpec envelopes[3]; ///< 0 amplitude, 1 pitch, 2 modulation depth
};

static_assert(sizeof(WaveLayer) == 36);
static_assert(offsetof(WaveLayer, shape) == 0);
static_assert(offsetof(WaveLayer, repeats) == 1);
static_assert(offsetof(WaveLayer, gain) == 4);
static_assert(offsetof(WaveLayer, params) == 8);

static_assert(sizeof(EnvelopeSpec) == 28);
static_assert(offsetof(EnvelopeSpec, keyCentre) == 0);
static_assert(offsetof(EnvelopeSpec, keyAmount) == 1);
static_assert(offsetof(EnvelopeSpec, startLevel) == 2);
static_assert(offsetof(EnvelopeSpec, peakLevel) == 3);
static_assert(offsetof(EnvelopeSpec, decayLevel) == 4);
static_assert(offsetof(EnvelopeSpec, sustainLevel) == 5);
static_assert(offsetof(EnvelopeSpec, releaseLevel) == 6);
static_assert(offsetof(EnvelopeSpec, attackMs) == 8);
static_assert(offsetof(EnvelopeSpec, holdMs) == 12);
static_assert(offsetof(EnvelopeSpec, decay1Ms) == 16);
static_assert(offsetof(EnvelopeSpec, decay2Ms) == 20);
static_assert(offsetof(EnvelopeSpec, releaseMs) == 24);

static_assert(sizeof(Patch) == kPatchRecordSize);
static_assert(offsetof(Patch, formatVersion) == 0);
static_assert(offsetof(Patch, productTag) == 4);
static_assert(offsetof(Patch, recordSize) == 36);
static_assert(offsetof(Patch, recordSizeCheck) == 40);
static_assert(offsetof(Patch, name) == 44);
static_assert(offsetof(Patch, window) == 76);
static_assert(offsetof(Patch, modulation) == 77);
static_assert(offsetof(Patch, lfoRate) == 78);
static_assert(offsetof(Patch, lfoDepth) == 79);
static_assert(offsetof(Patch, sendFrequency) == 80);
static_assert(offsetof(Patch, sendReturn) == 84);
static_assert(offsetof(Patch, echoTime) == 85);
static_assert(offsetof(Patch, velocityTime) == 86);
static_assert(offsetof(Patch, attack) == 87);
static_assert(offsetof(Patch, sustain) == 88);
static_assert(offsetof(Patch, highPassHz) == 92);
static_assert(offsetof(Patch, lowPassHz) == 96);
static_assert(offsetof(Patch, carrierLayers) == 100);
static_assert(offsetof(Patch, modulatorLayer) == 208);
static_assert(offsetof(Patch, envelopes) == 244);
