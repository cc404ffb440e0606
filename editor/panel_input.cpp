// The panel's gestures on the control list: picking a control, turning it by the mouse travel,
// ending the gesture, and setting the parameter through the panel's link, which tells the host.
#include "editor/panel_input.h"

#include "editor/control_layout.h"
#include "editor/panel_editor.h"
#include "instrument/plugin_core.h"

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

/// Kinds whose press or drag sets a value: a gesture on them is told to the host.
bool setsValue(const EditorControl& control) {
    switch (control.kind) {
    case Meter:
    case StepButton:
    case HSlider:
    case VSlider:
    case Toggle:
    case RoundToggle:
    case Knob:
        return true;
    default:
        return false;
    }
}

void beginGesture(PanelEditor& gui, const EditorControl& control) {
    if (!isBound(*gui.core, control) || !setsValue(control)) return;
    gui.editedParameter = control.paramIndex;
    gui.link->beginEdit(control.paramIndex);
}
} // namespace

EditorControl* hitTest(const PluginCore& core, int x, int y) {
    for (EditorControl* control = core.controls; control; control = control->next)
        if (contains(controlBox(*control, core.editorScale), x, y)) return control;
    return nullptr;
}

EditorControl* dropTarget(const PluginCore& core, int x, int y) {
    for (EditorControl* control = core.controls; control; control = control->next)
        if (notifies(core, *control) && contains(controlBox(*control, core.editorScale), x, y))
            return control;
    return nullptr;
}

bool pressAt(PanelEditor& gui, std::uint32_t message, int x, int y) {
    PluginCore& core = *gui.core;
    EditorControl* hit = hitTest(core, x, y);
    if (hit) {
        gui.lastMouseX = x;
        gui.lastMouseY = y;
    }

    // A press of the other button while one is held ends the gesture that button began.
    endGesture(gui);
    if (EditorControl* selected = gui.selectedControl) {
        controlChanged(gui, *selected, kNotifyValue);
        if (selected->kind == TextField) {
            gui.endTextEdit(*selected);
            const auto lock = gui.lockShared();
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
    beginGesture(gui, control);

    const ControlBox box = controlBox(control, core.editorScale);
    const int thumb = scaledPixels(kThumbSize, core.editorScale);
    float v = shownValue(core, control);
    switch (control.kind) {
    case StepButton:
        if (control.steps && control.dragSpan >= 1)
            v = nextStep(control, v, message == kMessageLeftButtonDown);
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
        gui.beginTextEdit(control, box);
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

bool dragTo(PanelEditor& gui, int x, int y, bool fine) {
    EditorControl* dragged = gui.dragControl;
    if (!dragged) return true;
    PluginCore& core = *gui.core;
    const ControlBox box = controlBox(*dragged, core.editorScale);
    const int thumb = scaledPixels(kThumbSize, core.editorScale);
    const float factor = fine ? kFineDragFactor : 1.0f;
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

bool releaseButton(PanelEditor& gui, std::uint32_t message) {
    EditorControl* released = gui.dragControl;
    if (!released) return true;
    PluginCore& core = *gui.core;
    gui.dragControl = nullptr;
    if (notifies(core, *released)) {
        core.fileCallback(&core, released->paramIndex, message);
        controlChanged(gui, *released, kNotifyValue);
    }
    bool handled = false;
    switch (released->kind) {
    case StepButton:
    case Toggle:
    case RoundToggle: {
        const float v = clampUnit(shownValue(core, *released));
        released->value = v;
        controlChanged(gui, *released, v);
        handled = true;
        break;
    }
    default:
        break;
    }
    endGesture(gui);
    return handled;
}

void endGesture(PanelEditor& gui) {
    const std::int32_t index = gui.editedParameter;
    if (index < 0) return;
    gui.editedParameter = -1;
    gui.link->endEdit(index);
}

void controlChanged(PanelEditor& gui, EditorControl& control, float v) {
    if (!gui.link->instrumentReady()) return;
    PluginCore& core = *gui.core;
    if (isBound(core, control)) {
        // The change is made and published under the writers' lock (the audio thread takes it
        // at its next sub-block and never waits), then reported to the host without the lock.
        if (!gui.pluginAlive()) return;
        gui.link->performEdit(control.paramIndex, v);
    }
    // Each window system knows whether its panel is open without the core's shared copy.
    gui.invalidatePanel();
}
