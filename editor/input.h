// Mouse input and file drops on the Windows panel: the window procedure's routing of mouse and
// drop messages into the shared gestures (panel_input.h: hit testing, press, drag, release and
// controlChanged, the one place where the panel sets a parameter).
#pragma once

#include "editor/editor_control.h"
#include "editor/panel_input.h"

#include <windows.h>

class kelGui;

/// Mouse messages, drops: WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONUP,
/// WM_RBUTTONUP and WM_DROPFILES. Returns true when the message was handled; every other
/// message (double clicks, middle button, wheel, ...) is left to default processing.
bool handleInput(kelGui& gui, UINT message, WPARAM wParam, LPARAM lParam);
