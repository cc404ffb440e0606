// The X11 side of the panel's drawing surface: the GDI-style operations drawn with cairo onto
// the panel's back buffer, antialiased. Pens are centred on the outline of their shape and end
// in round caps, as GDI's wide pens do; one-pixel outlines and lines fall on whole pixels.
#pragma once

#include "editor/panel_canvas.h"

#include <cairo.h>

#include <cstdint>

struct X11Library;

class CairoCanvas final : public PanelCanvas {
  public:
    /// Draws with cr, whose functions come from library.
    CairoCanvas(const X11Library& library, cairo_t* cr);

    void setPen(int width, std::uint32_t colour) override;
    void setBrush(std::uint32_t colour) override;
    void setFont(int height, std::uint32_t style) override;
    void setTextColour(std::uint32_t colour) override;
    void rectangle(int left, int top, int right, int bottom) override;
    void ellipse(int left, int top, int right, int bottom) override;
    void arc(int left, int top, int right, int bottom, int startX, int startY, int endX,
             int endY) override;
    void moveTo(int x, int y) override;
    void lineTo(int x, int y) override;
    TextSize textExtent(const char* text, int length) override;
    void textOut(int x, int y, const char* text, int length) override;

  private:
    void useColour(std::uint32_t colour);
    /// From angle from to angle to (radians, decreasing: counterclockwise on the screen) along
    /// the ellipse inside the box, its radii shortened by inset pixels.
    void ellipsePath(int left, int top, int right, int bottom, double inset, double from,
                     double to);
    void stroke();
    /// An underline or strike-out line under text, at height y, in the current source colour.
    void textLine(int x, double y, const char* text);

    const X11Library& x;
    cairo_t* cr;
    int penWidth = 1;
    std::uint32_t penColour = 0;
    std::uint32_t brushColour = 0xFFFFFF;
    std::uint32_t textColour = 0;
    int fontHeight = 0;
    std::uint32_t fontStyle = 0;
    double fontAscent = 0;
    double currentX = 0;
    double currentY = 0;
};
