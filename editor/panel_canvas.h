// The drawing surface the panel's painter draws on: the handful of GDI-style operations the
// controls are made of, with a GDI side (panel_canvas_gdi.*, Windows) and a cairo side on an X11
// back buffer (panel_canvas_cairo.*, Linux). Coordinates are device pixels; colours COLORREF
// values 0x00BBGGRR. As in GDI, a pen outlines and a brush fills; boxes exclude their right and
// bottom edges; arcs run counterclockwise on the screen from the ray through their start point
// to the ray through their end point.
#pragma once

#include <cstdint>

/// Width and height of a text in the current font, pixels (the height is the font's cell).
struct TextSize {
    int width;
    int height;
};

class PanelCanvas {
  public:
    virtual ~PanelCanvas() = default;

    /// Solid pen of width pixels for outlines, arcs and lines.
    virtual void setPen(int width, std::uint32_t colour) = 0;
    /// Solid brush for the inside of rectangles and ellipses.
    virtual void setBrush(std::uint32_t colour) = 0;
    /// The system's default face at height pixels (cell height), styled by the Style* font bits.
    virtual void setFont(int height, std::uint32_t style) = 0;
    virtual void setTextColour(std::uint32_t colour) = 0;

    /// Filled with the brush and outlined with the pen.
    virtual void rectangle(int left, int top, int right, int bottom) = 0;
    /// The ellipse inside the box, filled with the brush and outlined with the pen.
    virtual void ellipse(int left, int top, int right, int bottom) = 0;
    /// Part of the ellipse inside the box, drawn with the pen.
    virtual void arc(int left, int top, int right, int bottom, int startX, int startY, int endX,
                     int endY) = 0;
    /// Lines with the pen: moveTo sets the current point, lineTo draws to a point and makes it
    /// current.
    virtual void moveTo(int x, int y) = 0;
    virtual void lineTo(int x, int y) = 0;

    virtual TextSize textExtent(const char* text, int length) = 0;
    /// Text in the current font and text colour with its cell's top left at (x, y), no box.
    virtual void textOut(int x, int y, const char* text, int length) = 0;
};
