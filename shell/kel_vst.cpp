// Construction and teardown of the VST 2.4 plug-in object, and its rate, block-size and suspend
// hooks.
#include "shell/kel_vst.h"

#include "shell/editor_factory.h"
#include "vst/aeff_editor.h"

kelVst::kelVst(audioMasterCallback audioMaster) : AudioEffectX(audioMaster, 0, 0) {
    const PluginCore& core = instrument.getCore();
    cEffect.numInputs =
        core.numInputs < kMaxChannelsAnnounced ? core.numInputs : kMaxChannelsAnnounced;
    cEffect.numOutputs =
        core.numOutputs < kMaxChannelsAnnounced ? core.numOutputs : kMaxChannelsAnnounced;
    if (core.isSynth)
        cEffect.flags |= effFlagsIsSynth;
    else
        cEffect.flags &= ~effFlagsIsSynth;
    if (core.programChunks)
        cEffect.flags |= effFlagsProgramChunks;
    else
        cEffect.flags &= ~effFlagsProgramChunks;
    cEffect.flags |= effFlagsCanReplacing;
    cEffect.uniqueID = core.uniqueId;
    numPrograms = cEffect.numPrograms = core.numPrograms;
    numParams = cEffect.numParams = core.numParams;

    instrument.setProcessLevelQuery(&kelVst::askProcessLevel, this);
    if (core.flags & kCoreHasEditor) {
        if (AEffEditor* panel = createEditor(*this)) {
            cEffect.flags |= effFlagsHasEditor;
            setEditor(panel);
        }
    }
}

kelVst::~kelVst() {
    if (editor) stopEditor(editor);
    instrument.shutdown();
    // The editor goes last, but while the instrument still exists: its window may receive
    // messages until it is destroyed.
    delete editor;
    editor = nullptr;
}

ProcessLevel kelVst::askProcessLevel(void* self) {
    auto& plugin = *static_cast<kelVst*>(self);
    if (!plugin.audioMaster) return ProcessLevel::Unknown;
    const VstIntPtr level =
        plugin.audioMaster(&plugin.cEffect, audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0.0f);
    return level >= 0 && level <= static_cast<VstIntPtr>(ProcessLevel::Offline)
               ? static_cast<ProcessLevel>(level)
               : ProcessLevel::Unknown;
}

void kelVst::suspend() {
    instrument.suspend();
}

void kelVst::resume() {
    instrument.resume();
}

void kelVst::setSampleRate(float rate) {
    sampleRate = rate;
    instrument.setSampleRate(rate);
}

void kelVst::setBlockSize(VstInt32 frames) {
    if (frames >= 1) blockSize = frames;
    instrument.setBlockSize(frames);
}

#if !defined(QUARNEL_HAS_EDITOR)
AEffEditor* createEditor(kelVst&) {
    return nullptr;
}

void stopEditor(AEffEditor*) {}
#endif
