// The panel's mouse gestures, the same on every window system: hit testing, a press that picks a
// control, a drag that turns it by the mouse travel (Shift for fine steps), a release that ends
// the gesture, the target of a file drop, and controlChanged, the one place where the panel sets
// a parameter. The window system's side turns its own events into these calls. A press on a
// control that sets a parameter begins an edit gesture at the host (PanelLink), every value the
// drag gives is reported, and the release ends it.
#pragma once

#include "editor/editor_control.h"

#include <cstdint>

class PanelEditor;
struct PluginCore;

/// Value passed to controlChanged for notifications and deselection: outside 0..1, so the
/// parameter's cached value is applied again.
constexpr float kNotifyValue = 2.0f;
/// Drag speed while Shift is held, relative to a plain drag.
constexpr float kFineDragFactor = 0.2f;

/// Mouse and drop messages as PluginCore's file callback is told about them: the Windows
/// message numbers, on every window system (the left-button release, kMessageLeftButtonUp, is
/// in instrument/plugin_core.h).
constexpr std::uint32_t kMessageLeftButtonDown = 0x0201;
constexpr std::uint32_t kMessageRightButtonDown = 0x0204;
constexpr std::uint32_t kMessageRightButtonUp = 0x0205;
constexpr std::uint32_t kMessageDropFiles = 0x0233;

/// The first control in list order whose box (device pixels, right and bottom edges included)
/// contains (x, y); null when none does.
EditorControl* hitTest(const PluginCore& core, int x, int y);

/// The control a file dropped at (x, y) goes to: the first notify control containing the point
/// while PluginCore's file callback is set; null when there is none.
EditorControl* dropTarget(const PluginCore& core, int x, int y);

/// A left (kMessageLeftButtonDown) or right (kMessageRightButtonDown) press at (x, y): selects
/// the control hit and starts dragging it. Returns false where the press is left to the window
/// system (knobs, labels and the other kinds whose press only starts the gesture).
bool pressAt(PanelEditor& gui, std::uint32_t message, int x, int y);

/// A mouse move to (x, y) while a control is dragged; fine while Shift is held. Returns false
/// for kinds that do not drag.
bool dragTo(PanelEditor& gui, int x, int y, bool fine);

/// A release of the left (kMessageLeftButtonUp) or right (kMessageRightButtonUp) button: ends
/// the gesture. Returns false for kinds whose release does nothing more.
bool releaseButton(PanelEditor& gui, std::uint32_t message);

/// Ends the gesture told to the host (PanelLink::endEdit), if one is under way: at a release,
/// at a press of the other button, and when the panel closes or loses its window mid-drag.
void endGesture(PanelEditor& gui);

/// Applies a control's value v: a bound control passes it to PanelLink::performEdit (which
/// stores v, when 0 <= v <= 1, in the parameter cache, sets the parameter to the cached value,
/// marks every control of that parameter dirty and tells the host); the panel is invalidated.
/// Nothing before the instrument is constructed or after its teardown began.
void controlChanged(PanelEditor& gui, EditorControl& control, float v);
