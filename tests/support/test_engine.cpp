#include "tests/support/test_engine.h"

#include "patches/biquad.h"
#include "patches/patch_bank.h"
#include "patches/sample_rate.h"

#include <cstring>

namespace testsupport {

namespace {
constexpr float kOutputFilterQ = 0.9f;
constexpr float kSendFilterBandwidth = 0.3f;
constexpr float kSendFilterFrequency = 1500.0f;
} // namespace

void initialiseEngine(SynthEngine& engine) {
    for (int k = 0; k < kPatchCount; ++k) {
        std::memcpy(&engine.patches[k], &PatchBank[k], sizeof(Patch));
        stampPatchHeader(engine.patches[k]);
    }
    engine.patch = &engine.patches[0];
    engine.hpf.type = BiquadHighPass;
    engine.hpf.q = kOutputFilterQ;
    engine.lpf.type = BiquadLowPass;
    engine.lpf.q = kOutputFilterQ;
    engine.sendFilter.type = BiquadBandPass;
    engine.sendFilter.q = kSendFilterBandwidth;
    engine.sendFilter.frequency = kSendFilterFrequency;
}

std::unique_ptr<SynthEngine> makeTestEngine(float sampleRate) {
    fillNoteFrequency();
    auto engine = std::make_unique<SynthEngine>();
    initialiseEngine(*engine);
    changeSampleRate(*engine, sampleRate);
    return engine;
}

} // namespace testsupport
