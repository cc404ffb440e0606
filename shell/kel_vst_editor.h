// kelVstEditor: the panel as a VST 2.4 host sees it. The editor object the dispatcher's effEdit*
// opcodes reach owns the window system's panel (createPanel) and is its PanelLink: the panel
// reads the instrument's core, and a knob drag becomes the host's audioMasterBeginEdit, one
// audioMasterAutomate with each value the parameter takes, and audioMasterEndEdit, so that the
// host records the move and undoes it as one step.
#pragma once

#include "editor/panel_editor.h"
#include "editor/panel_link.h"
#include "vst/aeff_editor.h"

#include <memory>

class kelVst;

class kelVstEditor final : public AEffGUIEditor, public PanelLink {
  public:
    explicit kelVstEditor(kelVst& plugin);
    ~kelVstEditor() override;

    // ---- the dispatcher's editor calls -------------------------------------------------------
    bool open(void* parent) override;
    void close() override;
    void idle() override;
    bool isOpen() override { return panel->isOpen(); }
    /// First in the plug-in object's teardown (see stopEditor).
    void stop() { panel->stop(); }

    // ---- PanelLink ---------------------------------------------------------------------------
    PluginCore& panelCore() override;
    bool instrumentReady() const override;
    void beginEdit(int index) override;
    void performEdit(int index, float v) override;
    void endEdit(int index) override;
    bool takeAudioChanges() override;

    /// The window system's panel.
    PanelEditor& panelEditor() { return *panel; }

  private:
    VstIntPtr tellHost(VstInt32 opcode, VstInt32 index, float value);

    kelVst& plugin;
    std::unique_ptr<PanelEditor> panel;
};
