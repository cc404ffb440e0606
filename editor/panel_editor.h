// PanelEditor: what both panels share, whichever window system shows them. It keeps the mouse
// gesture's state, the 14 control records and the links to the plug-in object; the window
// system's side (kelGui with GDI on Windows, kelGuiX11 with X11 on Linux) derives from it and
// supplies the few hooks the shared gestures and the painter call.
#pragma once

#include "editor/control_layout.h"
#include "vst/aeff_editor.h"

#include <cstdint>

class kelVst;
struct PluginCore;

class PanelEditor : public AEffGUIEditor {
  public:
    explicit PanelEditor(kelVst& owner);
    PanelEditor(const PanelEditor&) = delete;
    PanelEditor& operator=(const PanelEditor&) = delete;

    /// The panel's size in device pixels (editorWidth x editorScale, editorHeight x editorScale).
    int panelWidth() const;
    int panelHeight() const;

    /// True while the plug-in object's state the editor reads (engine and parameter cache)
    /// exists: false once its teardown has begun.
    bool pluginAlive() const;

    /// Asks the window system for a paint of the open panel (nothing while it is closed).
    virtual void invalidatePanel() = 0;
    /// A press on a TextField: the window system's edit box takes over the control's box.
    virtual void beginTextEdit(EditorControl& control, const ControlBox& box);
    /// A press anywhere after a TextField was selected: its edited text is taken back into the
    /// control and the edit box is put away.
    virtual void endTextEdit(EditorControl& control);

    // The gesture's state, worked on by the shared input handling (panel_input.cpp).
    std::int32_t lastMouseX = 0; ///< device pixels: last press or relative drag step
    std::int32_t lastMouseY = 0;
    EditorControl* dragControl = nullptr;     ///< control under the held button; null when idle
    EditorControl* selectedControl = nullptr; ///< last pressed control, until the next press
    PluginCore* core = nullptr;               ///< the instrument core with the shared fields
    kelVst* plugin = nullptr;                 ///< the plug-in object (the owner)

    /// The 14 control records and their captions; PluginCore's controls list links them.
    PanelControls panel = {};
};
