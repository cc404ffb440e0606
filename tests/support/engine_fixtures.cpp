#include "tests/support/engine_fixtures.h"

#include <cmath>
#include <cstring>

namespace enginetest {

namespace {
constexpr double kPi = 3.14159265358979323846;
} // namespace

Patch plainPatch(std::int32_t releaseMs) {
    Patch patch;
    std::memset(&patch, 0, sizeof patch);
    std::strcpy(patch.name, "plain");
    patch.sendFrequency = 1500.0f;
    patch.highPassHz = 10.0f;
    patch.lowPassHz = 20000.0f;
    for (EnvelopeSpec& env : patch.envelopes) {
        env.keyCentre = 64;
        env.startLevel = env.peakLevel = env.decayLevel = env.sustainLevel = 100;
        env.releaseLevel = 0;
        env.releaseMs = releaseMs;
    }
    return patch;
}

void makeTransparent(Biquad& filter) {
    filter.b0 = 1.0f;
    filter.b1 = filter.b2 = filter.a1 = filter.a2 = 0.0f;
    std::memset(filter.state, 0, sizeof filter.state);
    filter.flags = 0;
    filter.mix = 1.0f;
}

void fillCurve(float* curve, std::int32_t length) {
    for (std::int32_t k = 0; k < length; ++k)
        curve[k] = static_cast<float>((std::sin(k * kPi / length - kPi / 2) + 1) * 0.5);
}

void fillTable(float* table, std::int32_t length, float value) {
    for (std::int32_t i = 0; i < length; ++i)
        table[i] = value;
}

std::unique_ptr<SynthEngine> makeTestEngine(std::int32_t releaseMs) {
    std::unique_ptr<SynthEngine> engine = createSynthEngine();
    engine->sampleRate = kRate;
    engine->tableLength = kTableLength;
    engine->carrierTable.reset(new float[kTableLength + 1]);
    engine->modulatorTable.reset(new float[kTableLength + 1]);
    engine->lfoTable.reset(new float[kTableLength + 1]);
    for (std::int32_t i = 0; i < kTableLength; ++i) {
        const double s = std::sin(2 * kPi * i / kTableLength);
        engine->carrierTable[i] = static_cast<float>(kCarrierPeak * s);
        engine->modulatorTable[i] = 0.0f;
        engine->lfoTable[i] = static_cast<float>(s);
    }
    engine->curveLength = kCurveLength;
    engine->curveTable.reset(new float[kCurveLength]);
    fillCurve(engine->curveTable.get(), kCurveLength);
    for (int n = 0; n < kNoteCount; ++n) {
        const double frequency = 440.0 * std::pow(2.0, (n - 69) / 12.0);
        const int period = static_cast<int>(kRate / frequency + 0.5);
        engine->noteIncrement[n] = kRate * 0.01f / static_cast<float>(period);
    }
    for (Voice& voice : engine->voices)
        voice.usPerSample = 1e6f / kRate;
    engine->patches[0] = plainPatch(releaseMs);
    engine->patch = &engine->patches[0];
    makeTransparent(engine->hpf);
    makeTransparent(engine->lpf);
    makeTransparent(engine->sendFilter);
    return engine;
}

int countVoices(const SynthEngine& engine, std::uint8_t state) {
    int count = 0;
    for (const Voice& voice : engine.voices)
        count += voice.state == state ? 1 : 0;
    return count;
}

Channels::Channels() {
    for (ChannelState& channel : state)
        resetChannelState(channel);
    state[0].bendRange = kChannel1BendRange;
}

StereoBuffer::StereoBuffer(int frames, float fill)
    : left(static_cast<std::size_t>(frames), fill),
      right(static_cast<std::size_t>(frames), fill), channels{left.data(), right.data()} {}

MidiQueueItem midi(std::int32_t deltaFrames, int status, int data1, int data2) {
    return MidiQueueItem{deltaFrames, static_cast<std::uint8_t>(status),
                         static_cast<std::uint8_t>(data1), static_cast<std::uint8_t>(data2)};
}

} // namespace enginetest
