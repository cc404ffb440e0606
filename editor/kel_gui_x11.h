// kelGuiX11: the instrument's own control panel on Linux, the same panel as on Windows drawn
// with X11. open receives the host's X11 window; the panel opens a Display connection of
// its own, makes a 364 by 104 child window inside the host's, and draws with cairo into a back
// buffer in its own memory, sent to the window as an XImage at every paint.
//
// One thread of the panel's own does all the X11 work between open and close: it waits on the
// connection (and a wake-up the host's idle call posts) with a short timeout, handles Expose,
// button and motion events through the shared gestures, and repaints whatever a change, its own
// or the host's, has marked. The host's user-interface thread only opens, wakes and closes; it
// never waits for a paint except while close stops the thread.
#pragma once

#include "editor/panel_editor.h"

#include <memory>

struct X11Session;

class kelGuiX11 : public PanelEditor {
  public:
    explicit kelGuiX11(PanelLink& link);
    ~kelGuiX11() override;

    /// parent is the host's X11 Window id. Answers false, and opens nothing, when
    /// the windowing libraries cannot be loaded, no display can be reached or the parent is not
    /// a window.
    bool open(void* parent) override;
    /// Stops the panel's thread and destroys the window, back buffer and connection; a gesture
    /// under way ends. Also called first when the owner is destroyed (stop).
    void close() override;
    /// The host's idle call: wakes the panel's thread; never waits.
    void idle() override;
    bool isOpen() const override { return session != nullptr; }
    void stop() override { close(); }

    /// A change made on the panel: repainted when the panel's thread has handled the event.
    void invalidatePanel() override;

  private:
    friend struct X11Session;

    bool controlsBuilt = false;          ///< the control list exists (built at the first open)
    std::unique_ptr<X11Session> session; ///< the open panel; null while closed
};
