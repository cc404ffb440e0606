// The state and geometry both panels share.
#include "editor/panel_editor.h"

#include "patches/float_to_int.h"
#include "shell/kel_vst.h"

PanelEditor::PanelEditor(kelVst& owner)
    : AEffGUIEditor(&owner), core(&owner.getCore()), plugin(&owner) {
    systemWindow = nullptr;
    frame = nullptr;
    rect.top = 0;
    rect.left = 0;
    rect.bottom = static_cast<VstInt16>(panelHeight());
    rect.right = static_cast<VstInt16>(panelWidth());
}

int PanelEditor::panelWidth() const {
    return truncateToInt(core->editorWidth * core->editorScale);
}

int PanelEditor::panelHeight() const {
    return truncateToInt(core->editorHeight * core->editorScale);
}

bool PanelEditor::pluginAlive() const {
    return core->engine != nullptr && core->paramCache != nullptr;
}

void PanelEditor::beginTextEdit(EditorControl&, const ControlBox&) {}

void PanelEditor::endTextEdit(EditorControl&) {}
