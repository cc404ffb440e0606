// The panel window's procedure and its mouse and drop handling: Windows messages turned into
// the shared gestures (panel_input.cpp), and a file dropped on a notify control reported to
// PluginCore's file callback.
#include "editor/input.h"

#include "editor/control_layout.h"
#include "editor/kel_gui.h"
#include "editor/painter.h"
#include "instrument/plugin_core.h"

#include <shellapi.h>

namespace {
static_assert(WM_LBUTTONDOWN == kMessageLeftButtonDown && WM_LBUTTONUP == kMessageLeftButtonUp &&
              WM_RBUTTONDOWN == kMessageRightButtonDown && WM_RBUTTONUP == kMessageRightButtonUp &&
              WM_DROPFILES == kMessageDropFiles);

bool dropFiles(kelGui& gui, HDROP drop) {
    PluginCore& core = *gui.core;
    POINT cursor{};
    GetCursorPos(&cursor);
    RECT frame{};
    GetWindowRect(gui.window, &frame);
    if (EditorControl* target = dropTarget(core, cursor.x - frame.left, cursor.y - frame.top)) {
        DragQueryFileA(drop, 0, core.droppedFilePath, sizeof(core.droppedFilePath));
        core.fileCallback(&core, target->paramIndex, WM_DROPFILES);
        controlChanged(gui, *target, kNotifyValue);
    }
    DragFinish(drop);
    return true;
}
} // namespace

bool handleInput(kelGui& gui, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DROPFILES) {
        HDROP drop = reinterpret_cast<HDROP>(wParam);
        if (!gui.pluginAlive()) {
            DragFinish(drop);
            return true;
        }
        return dropFiles(gui, drop);
    }
    if (message != WM_MOUSEMOVE && message != WM_LBUTTONDOWN && message != WM_RBUTTONDOWN &&
        message != WM_LBUTTONUP && message != WM_RBUTTONUP)
        return false;
    // Once the plug-in object's teardown has begun its parameter cache is gone: the gesture
    // ends here.
    if (!gui.pluginAlive()) {
        gui.dragControl = nullptr;
        endGesture(gui);
        return false;
    }
    // Positions are signed: left of or above the window while the mouse is captured.
    const int x = static_cast<std::int16_t>(LOWORD(lParam));
    const int y = static_cast<std::int16_t>(HIWORD(lParam));
    switch (message) {
    case WM_MOUSEMOVE:
        return dragTo(gui, x, y, GetKeyState(VK_SHIFT) < 0);
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        return pressAt(gui, message, x, y);
    default:
        return releaseButton(gui, message);
    }
}

LRESULT CALLBACK editorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        kelGui::onCreate(window, *reinterpret_cast<const CREATESTRUCTA*>(lParam));
        return 0;
    }
    // Before WM_CREATE, and after close or destruction cleared the slot, no editor is there:
    // the message gets default processing only.
    auto* gui = reinterpret_cast<kelGui*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!gui) return DefWindowProcA(window, message, wParam, lParam);

    switch (message) {
    case WM_LBUTTONDOWN:
        SetCapture(window);
        break;
    case WM_LBUTTONUP:
        ReleaseCapture();
        break;
    case WM_PAINT:
        paintEditor(*gui, window);
        return 0;
    case WM_KEYDOWN:
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_NCDESTROY:
        gui->onWindowGone(window);
        return DefWindowProcA(window, message, wParam, lParam);
    default:
        break;
    }
    return handleInput(*gui, message, wParam, lParam)
               ? 0
               : DefWindowProcA(window, message, wParam, lParam);
}
