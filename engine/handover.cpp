#include "engine/handover.h"

#include <cstring>

namespace {

/// Marks a controller post as present (a stamp of 0 with value 0 is still a post).
constexpr std::uint64_t kPostPresent = 0x100;

std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float floatOf(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

AudioHandover::AudioHandover() {
    for (auto& slot : retired)
        slot.store(nullptr, std::memory_order_relaxed);
    for (auto& program : controllerPosts)
        for (auto& post : program)
            post.store(0, std::memory_order_relaxed);
    for (auto& program : parameterValues)
        for (auto& value : program)
            value.store(0, std::memory_order_relaxed);
    for (int program = 0; program < kPatchCount; ++program) {
        for (int index = 0; index < kParameterCount; ++index) {
            liveRequests[program][index].store(0, std::memory_order_relaxed);
            requestPosts[program][index].store(0, std::memory_order_relaxed);
        }
    }
}

AudioHandover::~AudioHandover() {
    delete pending.exchange(nullptr, std::memory_order_acquire);
    reclaim();
}

void AudioHandover::publish(std::unique_ptr<EngineSetup> setup) {
    if (!setup) return;
    // Take back a record the audio thread has not taken; the exchange decides who has it.
    std::unique_ptr<EngineSetup> earlier(pending.exchange(nullptr, std::memory_order_acq_rel));
    if (earlier && !provideFreshLines(*setup, earlier->freshEnsembleLine, earlier->freshEchoLine)) {
        // No memory for the lines: the earlier record stays the newest.
        pending.store(earlier.release(), std::memory_order_release);
        return;
    }
    pending.store(setup.release(), std::memory_order_release);
    earlier.reset();
    reclaim();
}

void AudioHandover::reclaim() {
    for (auto& slot : retired)
        delete slot.exchange(nullptr, std::memory_order_acquire);
}

void AudioHandover::adoptNewest(SynthEngine& engine) {
    if (pending.load(std::memory_order_acquire) != nullptr) {
        // Only this thread fills retired slots, so a slot seen empty stays empty until it does.
        int slot = 0;
        while (slot < kRetiredSetupSlots &&
               retired[slot].load(std::memory_order_acquire) != nullptr)
            ++slot;
        // With nowhere to give the old arrays back the record waits for the next sub-block.
        EngineSetup* setup = slot < kRetiredSetupSlots
                                 ? pending.exchange(nullptr, std::memory_order_acq_rel)
                                 : nullptr;
        if (setup) {
            const bool sameProgram = setup->program == liveProgram && engine.patch != nullptr;
            adoptSetup(engine, *setup);
            if (sameProgram) {
                // A change made here after the record was built is newer than its values.
                for (int index = 0; index < kParameterCount; ++index) {
                    if (stampIsNewer(liveStamps[index], setup->parameterStamps[index]))
                        applyPlainParameter(engine, index, livePlain[index], engine.sampleRate);
                    else
                        liveStamps[index] = setup->parameterStamps[index];
                }
            } else {
                liveProgram = setup->program;
                for (int index = 0; index < kParameterCount; ++index)
                    liveStamps[index] = setup->parameterStamps[index];
                // Requests made for this program before the record was built may be newer.
                liveRequested.store(true, std::memory_order_relaxed);
            }
            retired[slot].store(setup, std::memory_order_release);
        }
    }
    if (liveRequested.load(std::memory_order_acquire)) applyRequests(engine);
}

void AudioHandover::applyRequests(SynthEngine& engine) {
    liveRequested.store(false, std::memory_order_relaxed);
    if (liveProgram < 0 || liveProgram >= kPatchCount || engine.patch == nullptr) return;
    for (int index = 0; index < kParameterCount; ++index) {
        const std::uint64_t request =
            liveRequests[liveProgram][index].load(std::memory_order_acquire);
        const auto stamp = static_cast<std::uint32_t>(request >> 32);
        if (request == 0 || !stampIsNewer(stamp, liveStamps[index])) continue;
        const float plain = floatOf(static_cast<std::uint32_t>(request));
        applyPlainParameter(engine, index, plain, engine.sampleRate);
        liveStamps[index] = stamp;
        livePlain[index] = plain;
    }
}

void AudioHandover::requestParameter(int program, int index, float plain, float display,
                                     std::uint32_t stamp) {
    if (program < 0 || program >= kPatchCount || index < 0 || index >= kParameterCount) return;
    storeParameter(program, index, display, stamp);
    const std::uint64_t wanted = (static_cast<std::uint64_t>(stamp) << 32) | bitsOf(plain);
    for (std::atomic<std::uint64_t>* slot :
         {&liveRequests[program][index], &requestPosts[program][index]}) {
        std::uint64_t current = slot->load(std::memory_order_relaxed);
        while ((current == 0 || !stampIsNewer(static_cast<std::uint32_t>(current >> 32), stamp)) &&
               !slot->compare_exchange_weak(current, wanted, std::memory_order_release,
                                            std::memory_order_relaxed)) {
        }
    }
    requestsPosted.store(true, std::memory_order_release);
    liveRequested.store(true, std::memory_order_release);
}

void AudioHandover::postControllerEdits(SynthEngine& engine) {
    const std::uint8_t edits = engine.controllerEdits;
    if (edits == 0 || !engine.patch) return;
    engine.controllerEdits = 0;
    if (liveProgram < 0 || liveProgram >= kPatchCount) return;
    for (int field = 0; field < kLivePatchFields; ++field) {
        if (!(edits & (1u << field))) continue;
        const std::int8_t value =
            field == LiveModulation ? engine.patch->modulation : engine.patch->attack;
        const std::uint32_t stamp = nextStamp();
        const int index = field == LiveModulation ? ParamModulation : ParamAttack;
        liveStamps[index] = stamp;
        livePlain[index] = static_cast<float>(value);
        controllerPosts[liveProgram][field].store((static_cast<std::uint64_t>(stamp) << 32) |
                                                      kPostPresent |
                                                      static_cast<std::uint8_t>(value),
                                                  std::memory_order_release);
        storeParameter(liveProgram, field == LiveModulation ? ParamModulation : ParamAttack,
                       static_cast<float>(value), stamp);
    }
    controllersPosted.store(true, std::memory_order_release);
}

void AudioHandover::storeParameter(int program, int index, float value, std::uint32_t stamp) {
    if (program < 0 || program >= kPatchCount || index < 0 || index >= kParameterCount) return;
    std::atomic<std::uint64_t>& slot = parameterValues[program][index];
    const std::uint64_t wanted = (static_cast<std::uint64_t>(stamp) << 32) | bitsOf(value);
    std::uint64_t current = slot.load(std::memory_order_relaxed);
    // Replace unless the value there was set by a later change (an equal stamp is the same
    // change seen again, which may carry a value recomputed for a new sample rate).
    while (!stampIsNewer(static_cast<std::uint32_t>(current >> 32), stamp) &&
           !slot.compare_exchange_weak(current, wanted, std::memory_order_release,
                                       std::memory_order_relaxed)) {
    }
}

float AudioHandover::parameter(int program, int index) const {
    if (program < 0 || program >= kPatchCount || index < 0 || index >= kParameterCount) return 0.0f;
    return floatOf(static_cast<std::uint32_t>(
        parameterValues[program][index].load(std::memory_order_acquire)));
}
