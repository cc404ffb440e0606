// The GDI side of the panel's drawing surface: each operation is the GDI call of the same name
// on a device context. Resource rule: each pen, brush and font is created for its step and
// selected into the context, and the object it replaces is deleted at once; whoever made the
// context puts its own objects back at the end.
#pragma once

#include "editor/panel_canvas.h"

#include <windows.h>

#include <cstdint>

/// The system's default face at height pixels (cell height), styled by the Style* font bits.
HFONT makeFont(int height, std::uint32_t style);

class GdiCanvas final : public PanelCanvas {
  public:
    explicit GdiCanvas(HDC dc) : dc(dc) {}

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
    HDC dc;
};
