// The Windows panel's painter: every WM_PAINT redraws into the editor's back buffer through a
// GDI canvas (what is drawn is shared with the X11 panel, panel_painter.h) and copies the whole
// panel to the screen with one BitBlt. The HDC forms of the drawing helpers draw one step on a
// device context, as the paint does.
//
// Resource rule for all drawing: each pen, brush and font is created for its step and selected
// into the device context, and the object it replaces is deleted at once; the paint restores
// the context's own objects at its end, so nothing outlives the paint that created it.
#pragma once

#include "editor/editor_control.h"
#include "editor/panel_canvas_gdi.h"
#include "editor/panel_painter.h"

#include <windows.h>

#include <cstdint>

class kelGui;
struct PluginCore;

/// The WM_PAINT handler: waits for the plug-in object's construction, redraws the back buffer
/// (full while PluginCore's redrawAll is not 0, else the dirty controls) and blits it.
void paintEditor(kelGui& gui, HWND window);

/// Draws one control into dc by its kind at the editor's scale.
void drawControl(kelGui& gui, HDC dc, const EditorControl& control);

/// Text centred in the box (left, top, width, height) in colour; nothing for a null or empty
/// text. Text wider than the box spills equally to both sides.
void drawCentredText(HDC dc, int left, int top, int width, int height, const char* text,
                     std::uint32_t colour);

/// A raised box: outline, face brighter by 1.1, light top and left edges, dark bottom and
/// right edges.
void drawRaised(HDC dc, const PluginCore& core, int left, int top, int right, int bottom,
                std::uint32_t colour);

/// A round face: a filled ellipse with a light upper-left and a dark lower-right rim.
void drawRoundFace(HDC dc, const PluginCore& core, int left, int top, int right, int bottom,
                   std::uint32_t colour);
