#include "vst/audio_effect.h"

#include "patches/float_to_int.h"
#include "vst/aeff_editor.h"

#include <cstring>

namespace {
/// 'NoEf', the unique ID of a plug-in that never set its own.
constexpr VstInt32 kDefaultUniqueId = 0x4E6F4566;
/// 'NvEf', the answer to effIdentify.
constexpr VstInt32 kIdentifyAnswer = 0x4E764566;

AudioEffect* objectOf(AEffect* e) {
    return e ? static_cast<AudioEffect*>(e->object) : nullptr;
}
} // namespace

AudioEffect::AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams)
    : audioMaster(audioMaster), numPrograms(numPrograms), numParams(numParams) {
    std::memset(&cEffect, 0, sizeof(cEffect));
    cEffect.magic = kEffectMagic;
    cEffect.dispatcher = &AudioEffect::dispatchEffect;
    cEffect.process = &AudioEffect::processDeprecated;
    cEffect.setParameter = &AudioEffect::setParameterEntry;
    cEffect.getParameter = &AudioEffect::getParameterEntry;
    cEffect.processReplacing = &AudioEffect::processReplacingEntry;
    cEffect.processDoubleReplacing = &AudioEffect::processDoubleReplacingEntry;
    cEffect.numPrograms = numPrograms;
    cEffect.numParams = numParams;
    cEffect.numInputs = 1;
    cEffect.numOutputs = 2;
    cEffect.ioRatio = 1.0f;
    cEffect.object = this;
    cEffect.uniqueID = kDefaultUniqueId;
    cEffect.version = 1;
    cEffect.flags = effFlagsCanReplacing;
}

AudioEffect::~AudioEffect() {
    delete editor;
    editor = nullptr;
}

VstIntPtr AudioEffect::dispatchEffect(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                      void* ptr, float opt) {
    AudioEffect* object = objectOf(e);
    if (!object) return 0;
    if (opcode == effClose) {
        object->dispatcher(opcode, index, value, ptr, opt);
        delete object;
        return 1;
    }
    return object->dispatcher(opcode, index, value, ptr, opt);
}

void AudioEffect::processDeprecated(AEffect*, float**, float**, VstInt32) {}

void AudioEffect::processReplacingEntry(AEffect* e, float** inputs, float** outputs,
                                        VstInt32 frames) {
    if (AudioEffect* object = objectOf(e)) object->processReplacing(inputs, outputs, frames);
}

void AudioEffect::processDoubleReplacingEntry(AEffect*, double**, double**, VstInt32) {}

void AudioEffect::setParameterEntry(AEffect* e, VstInt32 index, float value) {
    if (AudioEffect* object = objectOf(e)) object->setParameter(index, value);
}

float AudioEffect::getParameterEntry(AEffect* e, VstInt32 index) {
    AudioEffect* object = objectOf(e);
    return object ? object->getParameter(index) : 0.0f;
}

VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                  float opt) {
    switch (opcode) {
    case effOpen:
        open();
        return 0;
    case effClose:
        close();
        return 0;
    case effSetProgram:
        if (value < numPrograms) setProgram(static_cast<VstInt32>(value));
        return 0;
    case effGetProgram:
        return getProgram();
    case effSetProgramName:
        return 0; // program names are fixed
    case effGetProgramName:
        if (ptr) getProgramName(static_cast<char*>(ptr));
        return 0;
    case effGetParamLabel:
        if (ptr) getParameterLabel(index, static_cast<char*>(ptr));
        return 0;
    case effGetParamDisplay:
        if (ptr) getParameterDisplay(index, static_cast<char*>(ptr));
        return 0;
    case effGetParamName:
        if (ptr) getParameterName(index, static_cast<char*>(ptr));
        return 0;
    case effSetSampleRate:
        setSampleRate(opt);
        return 0;
    case effSetBlockSize:
        setBlockSize(static_cast<VstInt32>(value));
        return 0;
    case effMainsChanged:
        if (value == 0)
            suspend();
        else
            resume();
        return 0;
    case effEditGetRect:
        if (editor && ptr) return editor->getRect(static_cast<ERect**>(ptr)) ? 1 : 0;
        return 0;
    case effEditOpen:
        if (editor) return editor->open(ptr) ? 1 : 0;
        return 0;
    case effEditClose:
        if (editor) editor->close();
        return 0;
    case effEditIdle:
        if (editor) editor->idle();
        return 0;
    case effIdentify:
        return kIdentifyAnswer;
    case effGetChunk:
        if (!ptr) return 0;
        return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
        return setChunk(ptr, static_cast<VstInt32>(value), index != 0);
    default:
        return 0; // effGetVu, deprecated editor opcodes and anything unknown
    }
}

VstPlugCategory AudioEffectX::getPlugCategory() {
    return (cEffect.flags & effFlagsIsSynth) ? kPlugCategSynth : kPlugCategUnknown;
}

VstIntPtr AudioEffectX::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                   float opt) {
    if (opcode < effProcessEvents || opcode > effGetNumMidiOutputChannels)
        return AudioEffect::dispatcher(opcode, index, value, ptr, opt);

    switch (opcode) {
    case effProcessEvents:
        return ptr ? processEvents(static_cast<VstEvents*>(ptr)) : 0;
    case effCanBeAutomated:
        return canParameterBeAutomated(index) ? 1 : 0;
    case effGetProgramNameIndexed:
        if (ptr)
            getProgramNameIndexed(static_cast<VstInt32>(value), index, static_cast<char*>(ptr));
        return 1;
    case effGetPlugCategory:
        return getPlugCategory();
    case effGetEffectName:
        if (ptr) getEffectName(static_cast<char*>(ptr));
        return 1;
    case effGetVendorString:
        if (ptr) getVendorString(static_cast<char*>(ptr));
        return 1;
    case effGetProductString:
        if (ptr) getProductString(static_cast<char*>(ptr));
        return 1;
    case effGetVendorVersion:
        return getVendorVersion();
    case effCanDo:
        return ptr ? canDo(static_cast<char*>(ptr)) : -1;
    case effGetVstVersion:
        return getVstVersion();
    case effEditKeyDown:
    case effEditKeyUp:
        if (editor) {
            // The modifiers are the low byte of opt's integer part (defined for any opt).
            const std::int32_t modifiers = truncateToInt(opt);
            VstKeyCode key{index, static_cast<unsigned char>(value & 0xFF),
                           static_cast<unsigned char>(modifiers & 0xFF)};
            bool used = opcode == effEditKeyDown ? editor->onKeyDown(key) : editor->onKeyUp(key);
            return used ? 1 : 0;
        }
        return 0;
    case effSetEditKnobMode:
        if (editor) return editor->setKnobMode(static_cast<VstInt32>(value)) ? 1 : 0;
        return 0;
    case effGetCurrentMidiProgram:
        return -1;
    case effGetSpeakerArrangement:
        if (value) *reinterpret_cast<void**>(value) = nullptr;
        if (ptr) *static_cast<void**>(ptr) = nullptr;
        return 0;
    case effSetTotalSampleToProcess:
        return static_cast<VstInt32>(value);
    default:
        return 0;
    }
}
