// What a VST 2.4 host sees of the sounds and controls: identity strings, canDo, the 64 program
// slots, the six parameters, and bank and preset chunks, each copied into the room the
// interface gives.
#include "shell/kel_vst.h"

#include <cstring>

namespace {
/// Characters of the effect name copied out.
constexpr std::size_t kEffectNameLength = 32;

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
} // namespace

bool kelVst::getEffectName(char* name) {
    const PluginCore& core = getCore();
    copyLimited(name, core.names ? core.names[NameEffect] : nullptr, kEffectNameLength);
    return true;
}

bool kelVst::getVendorString(char* text) {
    const PluginCore& core = getCore();
    copyLimited(text, core.names ? core.names[NameVendor] : nullptr, core.vendorStringLength);
    return true;
}

bool kelVst::getProductString(char* text) {
    const PluginCore& core = getCore();
    copyLimited(text, core.names ? core.names[NameProduct] : nullptr, core.productStringLength);
    return true;
}

VstInt32 kelVst::getVendorVersion() {
    return getCore().vendorVersion;
}

VstInt32 kelVst::canDo(char* text) {
    if (!text) return -1;
    const PluginCore& core = getCore();
    if (std::strcmp(text, "receiveVstEvents") == 0)
        return (core.flags & kCoreReceivesVstEvents) ? 1 : -1;
    if (std::strcmp(text, "receiveVstMidiEvent") == 0)
        return (core.flags & kCoreReceivesVstMidiEvent) ? 1 : -1;
    return -1;
}

VstInt32 kelVst::getProgram() {
    return instrument.currentProgram();
}

void kelVst::getProgramName(char* name) {
    // A program name as the host takes it: at most 24 characters and the zero.
    static_assert(kProgramNameSize == kVstMaxProgNameLen + 1);
    instrument.programName(instrument.currentProgram(), name);
}

bool kelVst::getProgramNameIndexed(VstInt32, VstInt32 index, char* text) {
    instrument.programName(index, text);
    return true;
}

void kelVst::setProgram(VstInt32 program) {
    if (program < 0 || program >= kPatchCount) return;
    std::atomic_ref<std::int32_t>(curProgram).store(program);
    instrument.selectProgram(program);
}

void kelVst::setParameter(VstInt32 index, float value) {
    instrument.setParameter(index, value);
}

float kelVst::getParameter(VstInt32 index) {
    return instrument.parameter(index);
}

void kelVst::getParameterDisplay(VstInt32 index, char* text) {
    if (!text) return;
    char full[kParameterTextSize];
    instrument.parameterDisplay(index, full);
    copyLimited(text, full, getCore().paramStringLength);
}

void kelVst::getParameterName(VstInt32 index, char* text) {
    const PluginCore& core = getCore();
    if (!Instrument::parameterIndexValid(index) || !core.names) {
        if (text) text[0] = 0;
        return;
    }
    copyLimited(text, core.names[NameFirstParameter + 2 * index], core.paramStringLength);
}

void kelVst::getParameterLabel(VstInt32 index, char* label) {
    const PluginCore& core = getCore();
    if (!Instrument::parameterIndexValid(index) || !core.names) {
        if (label) label[0] = 0;
        return;
    }
    copyLimited(label, core.names[NameFirstParameter + 2 * index + 1], core.paramStringLength);
}

VstInt32 kelVst::getChunk(void** data, bool isPreset) {
    return instrument.getChunk(data, isPreset);
}

VstInt32 kelVst::setChunk(void* data, VstInt32 byteSize, bool isPreset) {
    return instrument.setChunk(data, byteSize, isPreset);
}
