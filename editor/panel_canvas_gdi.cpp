// The panel's drawing operations as GDI calls on a device context.
#include "editor/panel_canvas_gdi.h"

#include "editor/editor_control.h"

namespace {
/// Font weights.
constexpr int kNormalWeight = 400;
constexpr int kBoldWeight = 700;

/// Selects object into dc and deletes the object it replaces.
void replaceObject(HDC dc, HGDIOBJ object) {
    if (!object) return;
    HGDIOBJ replaced = SelectObject(dc, object);
    if (replaced) DeleteObject(replaced);
}
} // namespace

HFONT makeFont(int height, std::uint32_t style) {
    return CreateFontA(height, 0, 0, 0, (style & StyleBold) ? kBoldWeight : kNormalWeight,
                       (style & StyleItalic) ? TRUE : FALSE,
                       (style & StyleUnderline) ? TRUE : FALSE,
                       (style & StyleStrikeOut) ? TRUE : FALSE, 0, 0, 0, 0, 0, nullptr);
}

void GdiCanvas::setPen(int width, std::uint32_t colour) {
    replaceObject(dc, CreatePen(PS_SOLID, width, colour));
}

void GdiCanvas::setBrush(std::uint32_t colour) {
    replaceObject(dc, CreateSolidBrush(colour));
}

void GdiCanvas::setFont(int height, std::uint32_t style) {
    replaceObject(dc, makeFont(height, style));
}

void GdiCanvas::setTextColour(std::uint32_t colour) {
    SetTextColor(dc, colour);
}

void GdiCanvas::rectangle(int left, int top, int right, int bottom) {
    Rectangle(dc, left, top, right, bottom);
}

void GdiCanvas::ellipse(int left, int top, int right, int bottom) {
    Ellipse(dc, left, top, right, bottom);
}

void GdiCanvas::arc(int left, int top, int right, int bottom, int startX, int startY, int endX,
                    int endY) {
    Arc(dc, left, top, right, bottom, startX, startY, endX, endY);
}

void GdiCanvas::moveTo(int x, int y) {
    MoveToEx(dc, x, y, nullptr);
}

void GdiCanvas::lineTo(int x, int y) {
    LineTo(dc, x, y);
}

TextSize GdiCanvas::textExtent(const char* text, int length) {
    SIZE size{};
    GetTextExtentPoint32A(dc, text, length, &size);
    return {static_cast<int>(size.cx), static_cast<int>(size.cy)};
}

void GdiCanvas::textOut(int x, int y, const char* text, int length) {
    TextOutA(dc, x, y, text, length);
}
