// The panel's painter, the same on every window system: what a paint draws (the whole panel
// while PluginCore's redrawAll is not 0, else only the dirty controls) and how each control
// kind is drawn, on a PanelCanvas. The window system's side waits for the plug-in object's
// construction, holds the writers' lock around the paint and copies the back buffer to the
// screen.
#pragma once

#include "editor/editor_control.h"
#include "editor/panel_canvas.h"

#include <cstdint>

class PanelEditor;
struct PluginCore;

/// Steps of a paint into the back buffer: a full repaint (the parameter cache refreshed, the
/// border and every control, redrawAll lowered by one) or an incremental one (each dirty
/// control's box erased and redrawn, its dirty flag cleared). Needs the plug-in object's engine
/// and cache; the caller holds the writers' lock.
void paintPanel(PanelCanvas& canvas, PanelEditor& gui);

/// True when a paint would draw anything: a full repaint is pending or a control is dirty. The
/// caller holds the writers' lock.
bool panelNeedsPaint(const PluginCore& core);

/// Draws one control by its kind at the editor's scale.
void drawControl(PanelCanvas& canvas, const PanelEditor& gui, const EditorControl& control);

/// Text centred in the box (left, top, width, height) in colour; nothing for a null or empty
/// text. Text wider than the box spills equally to both sides.
void drawCentredText(PanelCanvas& canvas, int left, int top, int width, int height,
                     const char* text, std::uint32_t colour);

/// A raised box: outline, face brighter by 1.1, light top and left edges, dark bottom and
/// right edges.
void drawRaised(PanelCanvas& canvas, const PluginCore& core, int left, int top, int right,
                int bottom, std::uint32_t colour);

/// A round face: a filled ellipse with a light upper-left and a dark lower-right rim.
void drawRoundFace(PanelCanvas& canvas, const PluginCore& core, int left, int top, int right,
                   int bottom, std::uint32_t colour);

/// colour with red, green and blue each multiplied by factor, truncated and limited to 255.
std::uint32_t brighten(std::uint32_t colour, float factor);
