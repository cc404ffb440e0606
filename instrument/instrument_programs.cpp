// The sounds and controls as every format sees them: the 64 program slots, the six parameters,
// and bank and preset chunks.
//
// Reading a parameter never takes a lock: the values of every slot are kept in the handover
// with the stamp of their last change, and the current program number is atomic. Changing one
// takes the writers' lock where waiting is allowed; elsewhere it becomes a request the audio
// thread applies itself (see instrument.h, "Who may wait").
#include "instrument/instrument.h"

#include "editor/editor_control.h"
#include "patches/biquad.h"
#include "patches/patch_application.h"
#include "patches/patch_bank.h"
#include "patches/patch_override.h"
#include "patches/performance_parameters.h"
#include "platform/platform.h"

#include <cmath>
#include <cstring>
#include <mutex>

namespace {
/// Characters of the effect name a chunk's product tag must start with.
constexpr std::size_t kTagCheckLength = 6;

std::int32_t readInt32(const unsigned char* bytes) {
    std::int32_t v;
    std::memcpy(&v, bytes, sizeof(v));
    return v;
}
} // namespace

std::int32_t Instrument::currentProgram() const {
    return std::atomic_ref<const std::int32_t>(core.curProgram).load();
}

void Instrument::storeCurrentProgram(std::int32_t program) {
    std::atomic_ref<std::int32_t>(core.curProgram).store(program);
}

void Instrument::programName(std::int32_t program, char* text) {
    if (!text) return;
    text[0] = 0;
    if (program < 0 || program >= kPatchCount) return;
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    const char* name = core.engine->patches[program].name;
    std::size_t n = 0;
    while (n < kProgramNameSize - 1 && n < sizeof(Patch::name) && name[n])
        ++n;
    std::memcpy(text, name, n);
    text[n] = 0;
}

void Instrument::refreshParamCache() {
    for (int i = 0; i < core.numParams; ++i)
        refreshCachedParameter(core, i,
                               describePerformanceParameter(*core.engine, i, core.scratchText));
}

void Instrument::requestFullRedraw(bool add) {
    if (!core.editorWindow) return;
    if (add)
        core.redrawAll += 1;
    else
        core.redrawAll = 1;
    platform::invalidateWindow(core.editorWindow);
}

void Instrument::markControlsDirty(int paramIndex) {
    for (EditorControl* control = core.controls; control; control = control->next)
        if (control->paramIndex == paramIndex) control->dirty = 1;
}

void Instrument::selectProgram(std::int32_t program) {
    if (program < 0 || program >= kPatchCount) return;
    storeCurrentProgram(program);
    if (mustNotWait()) {
        handOver({HostRequestKind::Program, program, 0.0f, 0});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    applyProgram(program);
    publish();
}

void Instrument::setParameter(int index, float v) {
    if (!parameterIndexValid(index)) return;
    // Hosts may send values outside 0..1 or NaN: store what the parameter actually takes.
    if (!(v >= 0.0f)) v = 0.0f;
    if (v > 1.0f) v = 1.0f;
    const std::uint32_t stamp = handover.nextStamp();
    if (parameterMustNotWait()) {
        // Readers see the new value at once; the audio thread makes it heard.
        handover.requestParameter(currentProgram(), index, plainParameterValue(index, v),
                                  storedParameterValue(index, v, currentRate.load()), stamp);
        // The worker takes it into the bank, the parameter cache and the panel.
        worker.wake();
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    applyParameter(index, v, stamp);
    publish();
}

void Instrument::setPlainParameter(int index, float plain) {
    if (!parameterIndexValid(index)) return;
    plain = limitedPlainValue(index, plain);
    const std::uint32_t stamp = handover.nextStamp();
    const float display =
        index == ParamHighPass || index == ParamLowPass
            ? limitedFrequency(index == ParamHighPass ? BiquadHighPass : BiquadLowPass, plain,
                               currentRate.load())
            : plain;
    if (parameterMustNotWait()) {
        handover.requestParameter(currentProgram(), index, plain, display, stamp);
        worker.wake();
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    applyPlain(appliedProgram, index, plain, stamp);
    publish();
}

void Instrument::editParameter(int index, float v) {
    if (!parameterIndexValid(index)) return;
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine || !core.paramCache) return;
    takeHandedOverChanges();
    if (v >= 0.0f && v <= 1.0f) storeCachedParameter(core, index, v);
    setPerformanceParameter(*core.engine, index, core.paramCache[index], core.sampleRate);
    fieldStamps[appliedProgram][index] = handover.nextStamp();
    publish();
    markControlsDirty(index);
}

void Instrument::holdParameter(int index) {
    std::lock_guard<std::mutex> lock(busy.writers);
    core.heldParameter = parameterIndexValid(index) ? index : -1;
}

void Instrument::releaseParameter(int index) {
    std::lock_guard<std::mutex> lock(busy.writers);
    if (core.heldParameter == index) core.heldParameter = -1;
}

void Instrument::previewParameter(int index, float v) {
    if (!parameterIndexValid(index) || !(v >= 0.0f && v <= 1.0f)) return;
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.paramCache) return;
    storeCachedParameter(core, index, v);
    markControlsDirty(index);
}

void Instrument::showParameterOnPanel(int index) {
    if (!parameterIndexValid(index)) return;
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine || !core.paramCache) return;
    // The values every thread reads are current even while the worker has yet to take a
    // request into the bank.
    refreshCachedParameter(core, index, parameter(index));
    markControlsDirty(index);
    if (core.editorWindow) platform::invalidateWindow(core.editorWindow);
}

void Instrument::showProgramOnPanel() {
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine || !core.paramCache) return;
    for (int index = 0; index < kParameterCount; ++index)
        refreshCachedParameter(core, index, parameter(index));
    requestFullRedraw(true);
}

void Instrument::applyOverride(const OverrideText& text) {
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    changeEngine([&](SynthEngine& engine) { applyOverrideText(engine, text, appliedProgram); });
    stampWholeRecords(appliedProgram, 1);
    publish();
}

float Instrument::parameter(int index) const {
    if (!parameterIndexValid(index)) return 0.0f;
    return normalisedParameter(index, handover.parameter(currentProgram(), index));
}

float Instrument::plainParameter(int index) const {
    if (!parameterIndexValid(index)) return 0.0f;
    return handover.parameter(currentProgram(), index);
}

void Instrument::parameterDisplay(int index, char* text) const {
    if (!text) return;
    if (!parameterIndexValid(index)) {
        text[0] = 0;
        return;
    }
    formatParameter(index, handover.parameter(currentProgram(), index), text);
}

std::int32_t Instrument::getChunk(void** data, bool isPreset) {
    if (!data) return 0;
    // The host gets a copy: the bank keeps changing (controllers 20 and 21 on the audio thread,
    // other host threads), and the copy stays as it is until the next call.
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return 0;
    takeHandedOverChanges();
    const SynthEngine& engine = *core.engine;
    *data = chunkCopy.get();
    if (isPreset) {
        std::memcpy(chunkCopy.get(), &engine.patches[appliedProgram], kPatchRecordSize);
        return kPatchRecordSize;
    }
    std::memcpy(chunkCopy.get(), engine.patches, kBankChunkSize);
    return kBankChunkSize;
}

std::int32_t Instrument::setChunk(const void* data, std::int32_t byteSize, bool isPreset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // A chunk comes from a project or preset file: it must at least hold one record's header,
    // and nothing beyond byteSize is ever read.
    bool accepted =
        bytes != nullptr && byteSize >= kPatchHeaderSize &&
        readInt32(bytes + offsetof(Patch, recordSize)) == kPatchRecordSize &&
        readInt32(bytes + offsetof(Patch, formatVersion)) == kPatchFormatVersion &&
        readInt32(bytes + offsetof(Patch, recordSizeCheck)) == ~kPatchRecordSize &&
        std::memcmp(bytes + offsetof(Patch, productTag), kProductTag, kTagCheckLength) == 0;
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return 0;
    takeHandedOverChanges();
    if (accepted) {
        int records = byteSize / kPatchRecordSize;
        SynthEngine& engine = *core.engine;
        // The source may lie anywhere, the copy getChunk handed out included.
        if (!isPreset) {
            int count = records < kPatchCount ? records : kPatchCount;
            std::memmove(engine.patches, bytes, static_cast<std::size_t>(count) * kPatchRecordSize);
            stampWholeRecords(0, count);
        } else if (records >= 1) {
            std::memmove(&engine.patches[appliedProgram], bytes, kPatchRecordSize);
            stampWholeRecords(appliedProgram, 1);
        }
        // Rebuild what the current program derives, so a restored project sounds as saved.
        reapplyCurrent();
        publish();
    }
    refreshParamCache();
    requestFullRedraw(true);
    return accepted ? byteSize : 0;
}
