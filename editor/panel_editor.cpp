// The state and geometry both panels share.
#include "editor/panel_editor.h"

#include "instrument/plugin_core.h"
#include "patches/float_to_int.h"

#include <iterator>

PanelEditor::PanelEditor(PanelLink& owner) : core(&owner.panelCore()), link(&owner) {}

PanelEditor::~PanelEditor() {
    const auto lock = lockShared();
    EditorControl** link = &core->controls;
    while (*link) {
        EditorControl* control = *link;
        if (control >= std::begin(panel.records) && control < std::end(panel.records))
            *link = control->next;
        else
            link = &control->next;
    }
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

std::unique_lock<std::mutex> PanelEditor::lockShared() const {
    return std::unique_lock<std::mutex>(core->busy->writers);
}

void PanelEditor::beginTextEdit(EditorControl&, const ControlBox&) {}

void PanelEditor::endTextEdit(EditorControl&) {}
