// PanelEditor: what both panels share, whichever window system shows them. It keeps the mouse
// gesture's state, the 14 control records and the link to the instrument and its host
// (PanelLink); the window system's side (kelGui with GDI on Windows, kelGuiX11 with X11 on
// Linux) derives from it and supplies the few hooks the shared gestures and the painter call.
// A plug-in format owns the panel through createPanel and drives open, close and idle from its
// host's calls.
#pragma once

#include "editor/control_layout.h"
#include "editor/panel_link.h"

#include <cstdint>
#include <memory>
#include <mutex>

struct PluginCore;

class PanelEditor {
  public:
    explicit PanelEditor(PanelLink& link);
    /// Unlinks the panel's control records from the core's list: a later panel of the same
    /// instrument (the framework's formats make one per opening) builds its own.
    virtual ~PanelEditor();
    PanelEditor(const PanelEditor&) = delete;
    PanelEditor& operator=(const PanelEditor&) = delete;

    /// Opens the panel inside parent (an HWND on Windows, an X11 Window id on Linux); false
    /// when nothing was opened.
    virtual bool open(void* parent) = 0;
    /// Closes the panel (a gesture under way ends); nothing when it is closed.
    virtual void close() = 0;
    /// The host's idle call on its user-interface thread.
    virtual void idle() {}
    /// True while the panel's window exists.
    virtual bool isOpen() const = 0;
    /// Called first when the owner is torn down: stops whatever the panel runs on threads of its
    /// own, so that nothing of it reads the instrument while it is freed.
    virtual void stop() {}

    /// The panel's size in device pixels (editorWidth x editorScale, editorHeight x editorScale).
    int panelWidth() const;
    int panelHeight() const;

    /// True while the instrument's state the editor reads (engine and parameter cache) exists:
    /// false once its teardown has begun.
    bool pluginAlive() const;
    /// The writers' lock: the panel reads and writes the core's shared fields (the control
    /// list and its dirty marks, editorWindow, redrawAll) only under it, on every window system,
    /// and never calls the link or the host while it holds it.
    std::unique_lock<std::mutex> lockShared() const;

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
    std::int32_t editedParameter = -1; ///< parameter of the gesture told to the host; -1: none
    PluginCore* core = nullptr;        ///< the instrument core with the shared fields
    PanelLink* link = nullptr;         ///< the instrument and its host

    /// The 14 control records and their captions; PluginCore's controls list links them.
    PanelControls panel = {};
};

/// The panel of this window system (kelGui on Windows, kelGuiX11 on Linux) for link.
std::unique_ptr<PanelEditor> createPanel(PanelLink& link);
