// kelGui: the instrument's own control panel on Windows. One child window in the host's window,
// drawn with GDI into an off-screen bitmap and copied to the screen at every paint; it keeps the
// window, back buffer and edit window for as long as the host has the panel open. The control
// records, the gestures and what to draw are shared with the X11 panel (PanelEditor).
#pragma once

#include "editor/control_layout.h"
#include "editor/panel_editor.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

struct PluginCore;

/// Size of the window class name buffer, characters with the zero.
constexpr int kClassNameLength = 100;

/// Process-wide editor count: each editor's construction and each open raise it, each close of
/// an open panel lowers it, destruction only reads it: an editor destroyed while it is 0 or
/// less unregisters the window class.
extern std::atomic<std::int32_t> editorCount;

class kelGui : public PanelEditor {
  public:
    explicit kelGui(PanelLink& link);
    ~kelGui() override;
    kelGui(const kelGui&) = delete;
    kelGui& operator=(const kelGui&) = delete;

    /// Creates the panel window inside parent; always answers true.
    bool open(void* parent) override;
    /// Destroys the window, the edit window and the back buffer; a gesture under way ends.
    void close() override;
    bool isOpen() const override { return window != nullptr; }
    /// effEditIdle: controller changes the audio thread made are marked and painted.
    void idle() override;

    /// WM_CREATE of the panel window: accepts file drops, stores the editor in the window's
    /// user-data slot and creates the child edit window.
    static void onCreate(HWND window, const CREATESTRUCTA& creation);
    /// WM_NCDESTROY of the panel window while it still names this editor: the window (and the
    /// edit window inside it) went away without close, e.g. with a host window destroyed first.
    void onWindowGone(HWND window);

    /// InvalidateRect of the panel window, without erasing.
    void invalidatePanel() override;
    /// The child edit window over the TextField's box, showing its text.
    void beginTextEdit(EditorControl& control, const ControlBox& box) override;
    /// The edit window's text copied into the TextField, the edit window parked outside the
    /// panel.
    void endTextEdit(EditorControl& control) override;

    // The Windows side's state; the shared state (gesture, controls, core and link) is in
    // PanelEditor. The painter and the input handler (painter.cpp, input.cpp) work on it
    // directly.
    char className[kClassNameLength] = {}; ///< window class name; empty until the first open
    OSVERSIONINFOEXA osVersion = {};       ///< Windows version, filled at each open
    HWND editWindow = nullptr;             ///< child edit window used by TextField controls
    HBITMAP backBitmap = nullptr;          ///< off-screen bitmap, panel size
    HDC backDC = nullptr;                  ///< memory DC with backBitmap selected

    /// The panel window as this editor created it; PluginCore's editorWindow mirrors it while
    /// the instrument exists, this copy serves the editor's own teardown.
    HWND window = nullptr;

  private:
    /// Releases the back buffer, the edit window and the panel window (whichever exist).
    void releaseWindow();

    bool oleInitialised = false; ///< OleInitialize succeeded and needs its OleUninitialize
};

/// The panel window's procedure (input.cpp).
LRESULT CALLBACK editorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
