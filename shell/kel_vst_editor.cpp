// The VST 2.4 editor object: the dispatcher's effEdit* calls passed to the panel, and the
// panel's parameter gestures passed to the instrument and then to the host.
#include "shell/kel_vst_editor.h"

#if defined(QUARNEL_HAS_EDITOR)

#include "shell/editor_factory.h"
#include "shell/kel_vst.h"

kelVstEditor::kelVstEditor(kelVst& owner)
    : AEffGUIEditor(&owner), plugin(owner), panel(createPanel(*this)) {
    rect.top = 0;
    rect.left = 0;
    rect.bottom = static_cast<VstInt16>(panel->panelHeight());
    rect.right = static_cast<VstInt16>(panel->panelWidth());
}

kelVstEditor::~kelVstEditor() = default;

bool kelVstEditor::open(void* parent) {
    const bool opened = panel->open(parent);
    systemWindow = opened ? parent : nullptr;
    return opened;
}

void kelVstEditor::close() {
    panel->close();
    systemWindow = nullptr;
}

void kelVstEditor::idle() {
    panel->idle();
}

PluginCore& kelVstEditor::panelCore() {
    return plugin.getCore();
}

bool kelVstEditor::instrumentReady() const {
    return plugin.isConstructed();
}

VstIntPtr kelVstEditor::tellHost(VstInt32 opcode, VstInt32 index, float value) {
    audioMasterCallback host = plugin.hostCallback();
    return host ? host(plugin.getAeffect(), opcode, index, 0, nullptr, value) : 0;
}

void kelVstEditor::beginEdit(int index) {
    plugin.getInstrument().holdParameter(index);
    tellHost(audioMasterBeginEdit, index, 0.0f);
}

void kelVstEditor::performEdit(int index, float v) {
    Instrument& instrument = plugin.getInstrument();
    const float before = instrument.parameter(index);
    instrument.editParameter(index, v);
    if (!(v >= 0.0f && v <= 1.0f)) return;
    // What the host records is what it reads back and sends again on playback: the value the
    // parameter took, not the panel's unrounded one.
    const float after = instrument.parameter(index);
    if (after != before) tellHost(audioMasterAutomate, index, after);
}

void kelVstEditor::endEdit(int index) {
    plugin.getInstrument().releaseParameter(index);
    tellHost(audioMasterEndEdit, index, 0.0f);
}

bool kelVstEditor::takeAudioChanges() {
    return plugin.getInstrument().takeControllerChanges();
}

AEffEditor* createEditor(kelVst& plugin) {
    return new kelVstEditor(plugin);
}

void stopEditor(AEffEditor* editor) {
    static_cast<kelVstEditor*>(editor)->stop();
}

#endif
