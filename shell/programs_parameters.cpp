// What the host sees of the sounds and controls: identity strings, canDo, the 64 program slots,
// the six parameters, and bank and preset chunks.
//
// Reading a parameter never takes a lock: the values of every slot are kept in the handover
// with the stamp of their last change, and the current program number is atomic. Changing one
// takes the writers' lock on a normal thread, and on a real-time thread stores the new value for
// readers and hands the work to the worker.
#include "shell/kel_vst.h"

#include "patches/patch_application.h"
#include "patches/patch_bank.h"
#include "patches/patch_override.h"
#include "patches/performance_parameters.h"
#include "editor/editor_control.h"
#include "platform/platform.h"

#include <cmath>
#include <cstring>
#include <mutex>

namespace {
/// Size of a bank chunk: all 64 records.
constexpr VstInt32 kBankChunkSize = kPatchRecordSize * kPatchCount;
/// Characters of the effect name copied out.
constexpr std::size_t kEffectNameLength = 32;
/// Characters of the effect name a chunk's product tag must start with.
constexpr std::size_t kTagCheckLength = 6;

/// Copies at most limit characters of source and a terminating zero into text.
void copyLimited(char* text, const char* source, std::size_t limit) {
    if (!text) return;
    std::size_t n = 0;
    if (source)
        while (n < limit && source[n])
            ++n;
    std::memcpy(text, source, n);
    text[n] = 0;
}

/// A program name as the host takes it: at most 24 characters and the zero, the room the
/// interface gives program names.
void copyProgramName(char* text, const Patch& patch) {
    copyLimited(text, patch.name, kVstMaxProgNameLen);
}

std::int32_t readInt32(const unsigned char* bytes) {
    std::int32_t v;
    std::memcpy(&v, bytes, sizeof(v));
    return v;
}
} // namespace

bool kelVst::getEffectName(char* name) {
    copyLimited(name, core.names ? core.names[NameEffect] : nullptr, kEffectNameLength);
    return true;
}

bool kelVst::getVendorString(char* text) {
    copyLimited(text, core.names ? core.names[NameVendor] : nullptr, core.vendorStringLength);
    return true;
}

bool kelVst::getProductString(char* text) {
    copyLimited(text, core.names ? core.names[NameProduct] : nullptr, core.productStringLength);
    return true;
}

VstInt32 kelVst::getVendorVersion() {
    return core.vendorVersion;
}

VstInt32 kelVst::canDo(char* text) {
    if (!text) return -1;
    if (std::strcmp(text, "receiveVstEvents") == 0)
        return (core.flags & kCoreReceivesVstEvents) ? 1 : -1;
    if (std::strcmp(text, "receiveVstMidiEvent") == 0)
        return (core.flags & kCoreReceivesVstMidiEvent) ? 1 : -1;
    return -1;
}

std::int32_t kelVst::currentProgram() const {
    return std::atomic_ref<const std::int32_t>(core.curProgram).load();
}

void kelVst::storeCurrentProgram(std::int32_t program) {
    std::atomic_ref<std::int32_t>(curProgram).store(program);
    std::atomic_ref<std::int32_t>(core.curProgram).store(program);
}

VstInt32 kelVst::getProgram() {
    return currentProgram();
}

void kelVst::getProgramName(char* name) {
    if (!name) return;
    std::lock_guard<std::mutex> lock(busy.writers);
    copyProgramName(name, core.engine->patches[currentProgram()]);
}

bool kelVst::getProgramNameIndexed(VstInt32, VstInt32 index, char* text) {
    if (index < 0 || index >= kPatchCount) {
        if (text) text[0] = 0;
        return true;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    copyProgramName(text, core.engine->patches[index]);
    return true;
}

void kelVst::refreshParamCache() {
    for (int i = 0; i < core.numParams; ++i)
        storeCachedParameter(core, i,
                             describePerformanceParameter(*core.engine, i, core.scratchText));
}

void kelVst::requestFullRedraw(bool add) {
    if (!core.editorWindow) return;
    if (add)
        core.redrawAll += 1;
    else
        core.redrawAll = 1;
    platform::invalidateWindow(core.editorWindow);
}

void kelVst::markControlsDirty(int paramIndex) {
    for (EditorControl* control = core.controls; control; control = control->next)
        if (control->paramIndex == paramIndex) control->dirty = 1;
}

void kelVst::setProgram(VstInt32 program) {
    if (program < 0 || program >= kPatchCount) return;
    storeCurrentProgram(program);
    if (platform::isRealtimeThread()) {
        handOver({HostRequestKind::Program, program, 0.0f, 0});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    takeHandedOverChanges();
    applyProgram(program);
    publish();
}

void kelVst::setParameter(VstInt32 index, float value) {
    if (!paramIndexValid(index)) return;
    // Hosts may send values outside 0..1 or NaN: store what the parameter actually takes.
    if (!(value >= 0.0f)) value = 0.0f;
    if (value > 1.0f) value = 1.0f;
    const std::uint32_t stamp = handover.nextStamp();
    if (platform::isRealtimeThread()) {
        // Readers see the new value at once; the worker makes it heard.
        handover.storeParameter(currentProgram(), index,
                                storedParameterValue(index, value, currentRate.load()), stamp);
        handOver({HostRequestKind::Parameter, index, value, stamp});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    takeHandedOverChanges();
    applyParameter(index, value, stamp);
    publish();
}

void kelVst::editParameter(VstInt32 index, float v) {
    if (!paramIndexValid(index)) return;
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine || !core.paramCache) return;
    takeHandedOverChanges();
    if (v >= 0.0f && v <= 1.0f) storeCachedParameter(core, index, v);
    setPerformanceParameter(*core.engine, index, core.paramCache[index], core.sampleRate);
    fieldStamps[appliedProgram][index] = handover.nextStamp();
    publish();
    markControlsDirty(index);
}

void kelVst::applyOverride(const OverrideText& text) {
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    changeEngine([&](SynthEngine& engine) { applyOverrideText(engine, text, appliedProgram); });
    stampWholeRecords(appliedProgram, 1);
    publish();
}

float kelVst::getParameter(VstInt32 index) {
    if (!paramIndexValid(index)) return 0.0f;
    return normalisedParameter(index, handover.parameter(currentProgram(), index));
}

void kelVst::getParameterDisplay(VstInt32 index, char* text) {
    if (!text) return;
    if (!paramIndexValid(index)) {
        text[0] = 0;
        return;
    }
    char full[kParameterTextSize];
    formatParameter(index, handover.parameter(currentProgram(), index), full);
    copyLimited(text, full, core.paramStringLength);
}

void kelVst::getParameterName(VstInt32 index, char* text) {
    if (!paramIndexValid(index) || !core.names) {
        if (text) text[0] = 0;
        return;
    }
    copyLimited(text, core.names[NameFirstParameter + 2 * index], core.paramStringLength);
}

void kelVst::getParameterLabel(VstInt32 index, char* label) {
    if (!paramIndexValid(index) || !core.names) {
        if (label) label[0] = 0;
        return;
    }
    copyLimited(label, core.names[NameFirstParameter + 2 * index + 1], core.paramStringLength);
}

VstInt32 kelVst::getChunk(void** data, bool isPreset) {
    if (!data) return 0;
    // The host gets a copy: the bank keeps changing (controllers 20 and 21 on the audio thread,
    // other host threads), and the copy stays as it is until the next effGetChunk.
    std::lock_guard<std::mutex> lock(busy.writers);
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

VstInt32 kelVst::setChunk(void* data, VstInt32 byteSize, bool isPreset) {
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
    takeHandedOverChanges();
    if (accepted) {
        int records = byteSize / kPatchRecordSize;
        SynthEngine& engine = *core.engine;
        // The source may lie anywhere, the copy effGetChunk handed out included.
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
