// The panel's painter: every WM_PAINT redraws into the editor's back buffer, fully or only the
// dirty controls, and copies the whole panel to the screen with one BitBlt.
//
// Resource rule for all drawing: each pen, brush and font is created for its step and selected
// into the device context, and the object it replaces is deleted at once; the paint restores
// the context's own objects at its end, so nothing outlives the paint that created it.
#pragma once

#include "editor/editor_control.h"

#include <windows.h>

#include <cstdint>

class kelGui;
struct PluginCore;

/// The WM_PAINT handler: waits for the plug-in object's construction, redraws the back buffer
/// (full while PluginCore's redrawAll is not 0, else the dirty controls) and blits it.
void paintEditor(kelGui& gui, HWND window);

/// Draws one control into dc by its kind at the editor's scale.
void drawControl(kelGui& gui, HDC dc, const EditorControl& control);

/// The system's default face at height pixels (cell height), styled by the Style* font bits.
HFONT makeFont(int height, std::uint32_t style);

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

/// colour with red, green and blue each multiplied by factor, truncated and limited to 255.
std::uint32_t brighten(std::uint32_t colour, float factor);
