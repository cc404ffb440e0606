// The panel window's procedure and its mouse and drop handling. A press picks a control, a
// drag changes its value relative to the mouse travel (Shift for fine steps), a release ends
// the gesture, and a file dropped on a notify control is reported to PluginCore's file
// callback.
#include "editor/input.h"

#include "editor/control_layout.h"
#include "editor/kel_gui.h"
#include "editor/painter.h"
#include "patches/performance_parameters.h"
#include "shell/kel_vst.h"

#include <shellapi.h>

#include <cmath>
#include <cstdlib>

namespace {
/// Thumb size of sliders, unscaled pixels.
constexpr std::int32_t kThumbSize = 16;
/// A knob without a dragSpan turns through its range over this many widths of mouse travel.
constexpr std::int32_t kKnobDefaultSpanWidths = 3;

/// v limited to 0..1; not a number counts as 0.
float clampUnit(float v) {
    if (!(v >= 0.0f)) return 0.0f;
    return v > 1.0f ? 1.0f : v;
}

/// numerator / denominator, or the numerator itself when the denominator is 0.
float divideUnlessZero(float numerator, int denominator) {
    return denominator != 0 ? numerator / static_cast<float>(denominator) : numerator;
}

bool contains(const ControlBox& box, int x, int y) {
    return box.left <= x && x <= box.left + box.width && box.top <= y && y <= box.top + box.height;
}

bool notifies(const PluginCore& core, const EditorControl& control) {
    return (control.style & StyleNotify) != 0 && core.fileCallback != nullptr;
}

/// The next (leftButton) or previous entry of a StepButton's list, wrapping around; a value
/// not in the list moves to the first (left) or last (right) entry.
float nextStep(const EditorControl& control, float v, bool leftButton) {
    const int n = control.dragSpan;
    int i = 0;
    while (i < n && control.steps[i] != v)
        ++i;
    if (leftButton) return i + 1 < n ? control.steps[i + 1] : control.steps[0];
    return i - 1 >= 0 ? control.steps[i - 1] : control.steps[n - 1];
}

bool press(kelGui& gui, UINT message, int x, int y) {
    PluginCore& core = *gui.core;
    EditorControl* hit = hitTest(core, x, y);
    if (hit) {
        gui.lastMouseX = x;
        gui.lastMouseY = y;
    }

    if (EditorControl* selected = gui.selectedControl) {
        controlChanged(gui, *selected, kNotifyValue);
        if (selected->kind == TextField) {
            if (gui.editWindow && selected->text && selected->textCapacity > 0)
                GetWindowTextA(gui.editWindow, selected->text, selected->textCapacity);
            // Parked outside the panel until the next edit.
            if (gui.editWindow) MoveWindow(gui.editWindow, gui.panelWidth(), 0, 0, 1, TRUE);
            core.redrawAll += 1;
        }
    }

    gui.selectedControl = hit;
    gui.dragControl = hit;
    if (!hit) return true;
    EditorControl& control = *hit;

    if (notifies(core, control)) {
        core.fileCallback(&core, control.paramIndex, message);
        controlChanged(gui, control, kNotifyValue);
    }

    const ControlBox box = controlBox(control, core.editorScale);
    const int thumb = scaledPixels(kThumbSize, core.editorScale);
    float v = shownValue(core, control);
    switch (control.kind) {
    case StepButton:
        if (control.steps && control.dragSpan >= 1)
            v = nextStep(control, v, message == WM_LBUTTONDOWN);
        break;
    case HSlider:
        v = divideUnlessZero(static_cast<float>(x - thumb / 2 - box.left), box.width - thumb);
        break;
    case VSlider:
        v = divideUnlessZero(static_cast<float>(box.top + box.height - thumb / 2 - y),
                             box.height - thumb);
        break;
    case Toggle:
    case RoundToggle:
        v = v == 0.0f ? 1.0f : 0.0f;
        break;
    case TextField:
        if (gui.editWindow) {
            SetWindowTextA(gui.editWindow, control.text ? control.text : "");
            MoveWindow(gui.editWindow, box.left, box.top, box.width, box.height, TRUE);
        }
        break;
    default:
        // Knobs, labels, meters, panels and graphs: a press only starts the gesture.
        return false;
    }
    v = clampUnit(v);
    control.value = v;
    controlChanged(gui, control, v);
    return true;
}

bool drag(kelGui& gui, int x, int y) {
    EditorControl* dragged = gui.dragControl;
    if (!dragged) return true;
    PluginCore& core = *gui.core;
    const ControlBox box = controlBox(*dragged, core.editorScale);
    const int thumb = scaledPixels(kThumbSize, core.editorScale);
    const float factor = GetKeyState(VK_SHIFT) < 0 ? kFineDragFactor : 1.0f;
    float v = shownValue(core, *dragged);

    switch (dragged->kind) {
    case Meter:
        v = divideUnlessZero(static_cast<float>(y - box.width / 2 - box.top),
                             box.height - box.width);
        break;
    case HSlider:
        v += divideUnlessZero(static_cast<float>(x - gui.lastMouseX) * factor, box.width - thumb);
        break;
    case VSlider:
        v += divideUnlessZero(static_cast<float>(gui.lastMouseY - y) * factor, box.height - thumb);
        break;
    case Knob: {
        const int dx = x - gui.lastMouseX;
        const int dy = gui.lastMouseY - y;
        // Only the dominant direction counts; a tie goes to the horizontal movement.
        const int delta = std::abs(dx) < std::abs(dy) ? dy : dx;
        const int span =
            dragged->dragSpan != 0 ? dragged->dragSpan : kKnobDefaultSpanWidths * box.width;
        v += static_cast<float>(delta) * factor / static_cast<float>(span);
        break;
    }
    default:
        return false;
    }

    v = clampUnit(v);
    dragged->value = v;
    controlChanged(gui, *dragged, v);
    if (dragged->kind != Meter) {
        gui.lastMouseX = x;
        gui.lastMouseY = y;
    }
    return true;
}

bool release(kelGui& gui, UINT message) {
    EditorControl* released = gui.dragControl;
    if (!released) return true;
    PluginCore& core = *gui.core;
    gui.dragControl = nullptr;
    if (notifies(core, *released)) {
        core.fileCallback(&core, released->paramIndex, message);
        controlChanged(gui, *released, kNotifyValue);
    }
    switch (released->kind) {
    case StepButton:
    case Toggle:
    case RoundToggle: {
        const float v = clampUnit(shownValue(core, *released));
        released->value = v;
        controlChanged(gui, *released, v);
        return true;
    }
    default:
        return false;
    }
}

bool dropFiles(kelGui& gui, HDROP drop) {
    PluginCore& core = *gui.core;
    POINT cursor{};
    GetCursorPos(&cursor);
    RECT frame{};
    GetWindowRect(static_cast<HWND>(core.editorWindow), &frame);
    const int x = cursor.x - frame.left;
    const int y = cursor.y - frame.top;

    EditorControl* target = nullptr;
    for (EditorControl* control = core.controls; control && !target; control = control->next)
        if (notifies(core, *control) && contains(controlBox(*control, core.editorScale), x, y))
            target = control;
    if (target) {
        DragQueryFileA(drop, 0, core.droppedFilePath, sizeof(core.droppedFilePath));
        core.fileCallback(&core, target->paramIndex, WM_DROPFILES);
        controlChanged(gui, *target, kNotifyValue);
    }
    DragFinish(drop);
    return true;
}
} // namespace

EditorControl* hitTest(const PluginCore& core, int x, int y) {
    for (EditorControl* control = core.controls; control; control = control->next)
        if (contains(controlBox(*control, core.editorScale), x, y)) return control;
    return nullptr;
}

void controlChanged(kelGui& gui, EditorControl& control, float v) {
    if (!gui.plugin->isConstructed()) return;
    PluginCore& core = *gui.core;
    if (isBound(core, control)) {
        // The same operation as the host's: the change is made and published under the
        // writers' lock; the audio thread takes it at its next sub-block and never waits.
        if (!gui.pluginAlive()) return;
        gui.plugin->editParameter(control.paramIndex, v);
    }
    if (core.editorWindow) InvalidateRect(static_cast<HWND>(core.editorWindow), nullptr, FALSE);
}

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
        return false;
    }
    // Positions are signed: left of or above the window while the mouse is captured.
    const int x = static_cast<std::int16_t>(LOWORD(lParam));
    const int y = static_cast<std::int16_t>(HIWORD(lParam));
    switch (message) {
    case WM_MOUSEMOVE:
        return drag(gui, x, y);
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        return press(gui, message, x, y);
    default:
        return release(gui, message);
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
