// Mouse input and file drops on the panel: the window procedure's routing, hit testing, the
// press, drag and release gestures, drops onto notify controls, and controlChanged, the one
// place where the panel sets a parameter.
#pragma once

#include "editor/editor_control.h"

#include <windows.h>

class kelGui;
struct PluginCore;

/// Value passed to controlChanged for notifications and deselection: outside 0..1, so the
/// parameter's cached value is applied again.
constexpr float kNotifyValue = 2.0f;
/// Drag speed while Shift is held, relative to a plain drag.
constexpr float kFineDragFactor = 0.2f;

/// Mouse messages, drops: WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONUP,
/// WM_RBUTTONUP and WM_DROPFILES. Returns true when the message was handled; every other
/// message (double clicks, middle button, wheel, ...) is left to default processing.
bool handleInput(kelGui& gui, UINT message, WPARAM wParam, LPARAM lParam);

/// The first control in list order whose box (device pixels, right and bottom edges included)
/// contains (x, y); null when none does.
EditorControl* hitTest(const PluginCore& core, int x, int y);

/// Applies a control's value v: a bound control stores v (when 0 <= v <= 1) in the parameter
/// cache and sets its parameter to the cached value exclusive with rendering, then marks every
/// control of that parameter dirty; the panel is invalidated. Nothing before the plug-in object
/// is constructed or after its teardown began.
void controlChanged(kelGui& gui, EditorControl& control, float v);
