// What the host sees of the sounds and controls: identity strings, canDo, the 64 program slots,
// the six parameters with their one-entry query cache, and bank and preset chunks.
#include "shell/kel_vst.h"

#include "patches/patch_application.h"
#include "patches/patch_bank.h"
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

/// A program name, cut at 31 characters when its field holds no zero.
void copyProgramName(char* text, const Patch& patch) {
    copyLimited(text, patch.name, sizeof(patch.name) - 1);
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

void kelVst::getProgramName(char* name) {
    copyProgramName(name, core.engine->patches[core.curProgram]);
}

bool kelVst::getProgramNameIndexed(VstInt32, VstInt32 index, char* text) {
    if (index < 0 || index >= kPatchCount) {
        if (text) text[0] = 0;
        return true;
    }
    copyProgramName(text, core.engine->patches[index]);
    return true;
}

void kelVst::refreshParamCache() {
    for (int i = 0; i < core.numParams; ++i)
        core.paramCache[i] = describePerformanceParameter(*core.engine, i, core.scratchText);
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
    PatchChangeScope change(busy);
    applyPatch(*core.engine, program, core.curProgram);
    curProgram = program;
    core.curProgram = program;
    refreshParamCache();
    requestFullRedraw(false);
}

void kelVst::setParameter(VstInt32 index, float value) {
    if (!paramIndexValid(index)) return;
    // Hosts may send values outside 0..1 or NaN: store what the parameter actually takes.
    if (!(value >= 0.0f)) value = 0.0f;
    if (value > 1.0f) value = 1.0f;
    // The writers' exclusion also keeps host and editor threads from updating the parameter
    // cache at the same time.
    PatchChangeScope change(busy);
    setPerformanceParameter(*core.engine, index, value, core.sampleRate);
    float& cached = core.paramCache[index];
    if (value == cached || std::isnan(value) || std::isnan(cached)) return;
    cached = value;
    markControlsDirty(index);
}

float kelVst::getParameter(VstInt32 index) {
    if (!paramIndexValid(index)) return 0.0f;
    // Host threads and the editor update the cache under the writers' lock; a query takes the
    // same lock but raises no flag, so it never holds rendering off.
    std::lock_guard<std::mutex> lock(busy.writers);
    if (index == lastQueryIndex) {
        lastQueryIndex = -1;
        return lastQueryValue;
    }
    lastQueryIndex = index;
    lastQueryValue = describePerformanceParameter(*core.engine, index, lastQueryText);
    core.paramCache[index] = lastQueryValue;
    return lastQueryValue;
}

void kelVst::getParameterDisplay(VstInt32 index, char* text) {
    if (!paramIndexValid(index)) {
        if (text) text[0] = 0;
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    if (index == lastQueryIndex) {
        lastQueryIndex = -1;
    } else {
        lastQueryIndex = index;
        lastQueryValue = describePerformanceParameter(*core.engine, index, lastQueryText);
    }
    copyLimited(text, lastQueryText, core.paramStringLength);
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
    if (isPreset) {
        *data = &core.engine->patches[core.curProgram];
        return kPatchRecordSize;
    }
    *data = core.engine->patches;
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
    PatchChangeScope change(busy);
    if (accepted) {
        int records = byteSize / kPatchRecordSize;
        SynthEngine& engine = *core.engine;
        if (!isPreset) {
            int count = records < kPatchCount ? records : kPatchCount;
            std::memcpy(engine.patches, bytes, static_cast<std::size_t>(count) * kPatchRecordSize);
        } else if (records >= 1) {
            std::memcpy(&engine.patches[core.curProgram], bytes, kPatchRecordSize);
        }
        // Rebuild what the current program derives, so a restored project sounds as saved.
        applyPatch(engine, -1, core.curProgram);
    }
    refreshParamCache();
    requestFullRedraw(true);
    return accepted ? byteSize : 0;
}
