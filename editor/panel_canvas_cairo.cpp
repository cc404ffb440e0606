// The panel's drawing operations in cairo. A GDI pixel (x, y) is the square whose centre is
// (x + 0.5, y + 0.5) here; boxes exclude their right and bottom edges as in GDI.
#include "editor/panel_canvas_cairo.h"

#include "editor/editor_control.h"
#include "editor/x11_library.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace {
/// The face asked of fontconfig for the panel's texts: the system's default sans-serif.
constexpr const char* kFontFamily = "sans-serif";
/// Distance from a pixel's edge to its centre.
constexpr double kPixelCentre = 0.5;
/// Longest text drawn at once, bytes.
constexpr int kMaxTextLength = 255;
/// Underline and strike-out: offsets below and above the baseline as shares of the ascent.
constexpr double kUnderlineShare = 0.12;
constexpr double kStrikeOutShare = 0.3;

double channel(std::uint32_t colour, int shift) {
    return static_cast<double>((colour >> shift) & 0xFF) / 255.0;
}

/// The text as a zero-terminated string of at most kMaxTextLength bytes.
void copyText(const char* text, int length, char (&out)[kMaxTextLength + 1]) {
    const int n = length < 0 ? 0 : (length > kMaxTextLength ? kMaxTextLength : length);
    if (n > 0) std::memcpy(out, text, static_cast<std::size_t>(n));
    out[n] = 0;
}
} // namespace

CairoCanvas::CairoCanvas(const X11Library& library, cairo_t* context) : x(library), cr(context) {
    x.cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
}

void CairoCanvas::useColour(std::uint32_t colour) {
    x.cairo_set_source_rgb(cr, channel(colour, 0), channel(colour, 8), channel(colour, 16));
}

void CairoCanvas::setPen(int width, std::uint32_t colour) {
    penWidth = width < 1 ? 1 : width;
    penColour = colour;
}

void CairoCanvas::setBrush(std::uint32_t colour) {
    brushColour = colour;
}

void CairoCanvas::setFont(int height, std::uint32_t style) {
    fontHeight = height < 1 ? 1 : height;
    fontStyle = style;
    x.cairo_select_font_face(
        cr, kFontFamily, (style & StyleItalic) ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
        (style & StyleBold) ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    // The height is the text's cell, ascent and descent together, as in GDI: the face's size
    // is scaled so that its cell comes out at that height.
    x.cairo_set_font_size(cr, fontHeight);
    cairo_font_extents_t extents{};
    x.cairo_font_extents(cr, &extents);
    const double cell = extents.ascent + extents.descent;
    const double scale = cell > 0 ? fontHeight / cell : 1.0;
    x.cairo_set_font_size(cr, fontHeight * scale);
    fontAscent = extents.ascent * scale;
}

void CairoCanvas::setTextColour(std::uint32_t colour) {
    textColour = colour;
}

void CairoCanvas::stroke() {
    useColour(penColour);
    x.cairo_set_line_width(cr, penWidth);
    x.cairo_stroke(cr);
}

void CairoCanvas::rectangle(int left, int top, int right, int bottom) {
    if (right <= left || bottom <= top) return;
    x.cairo_new_path(cr);
    x.cairo_rectangle(cr, left, top, right - left, bottom - top);
    useColour(brushColour);
    x.cairo_fill(cr);
    const double inset = penWidth / 2.0;
    x.cairo_rectangle(cr, left + inset, top + inset, right - left - penWidth,
                      bottom - top - penWidth);
    stroke();
}

void CairoCanvas::ellipsePath(int left, int top, int right, int bottom, double inset, double from,
                              double to) {
    const double rx = (right - left) / 2.0 - inset;
    const double ry = (bottom - top) / 2.0 - inset;
    x.cairo_new_path(cr);
    if (rx <= 0 || ry <= 0) return;
    // The path is made in a scaled space; the pen is applied in device space after restore.
    x.cairo_save(cr);
    x.cairo_translate(cr, (left + right) / 2.0, (top + bottom) / 2.0);
    x.cairo_scale(cr, rx, ry);
    x.cairo_arc_negative(cr, 0, 0, 1, from, to);
    x.cairo_restore(cr);
}

void CairoCanvas::ellipse(int left, int top, int right, int bottom) {
    if (right <= left || bottom <= top) return;
    const double full = 2 * std::numbers::pi;
    ellipsePath(left, top, right, bottom, 0, 0, -full);
    useColour(brushColour);
    x.cairo_fill(cr);
    // The outline lies inside the box, as GDI's does.
    ellipsePath(left, top, right, bottom, penWidth / 2.0, 0, -full);
    stroke();
}

void CairoCanvas::arc(int left, int top, int right, int bottom, int startX, int startY, int endX,
                      int endY) {
    if (right <= left || bottom <= top) return;
    const double cx = (left + right) / 2.0, cy = (top + bottom) / 2.0;
    const double rx = (right - left) / 2.0, ry = (bottom - top) / 2.0;
    // Angles of the rays through the two points, in cairo's sense (y grows downwards), so the
    // arc runs counterclockwise on the screen by decreasing angle. Equal rays make a full turn.
    const double from = std::atan2((startY + 0.5 - cy) / ry, (startX + 0.5 - cx) / rx);
    double to = std::atan2((endY + 0.5 - cy) / ry, (endX + 0.5 - cx) / rx);
    if (to >= from) to -= 2 * std::numbers::pi;
    // The pen is centred on the ellipse through the box's outermost pixels.
    ellipsePath(left, top, right, bottom, kPixelCentre, from, to);
    stroke();
}

void CairoCanvas::moveTo(int px, int py) {
    currentX = px + 0.5;
    currentY = py + 0.5;
}

void CairoCanvas::lineTo(int px, int py) {
    x.cairo_new_path(cr);
    x.cairo_move_to(cr, currentX, currentY);
    currentX = px + 0.5;
    currentY = py + 0.5;
    x.cairo_line_to(cr, currentX, currentY);
    stroke();
}

void CairoCanvas::textLine(int px, double y, const char* text) {
    cairo_text_extents_t extents{};
    x.cairo_text_extents(cr, text, &extents);
    const double row = std::floor(y) + 0.5;
    x.cairo_set_line_width(cr, 1);
    x.cairo_new_path(cr);
    x.cairo_move_to(cr, px, row);
    x.cairo_line_to(cr, px + extents.x_advance, row);
    x.cairo_stroke(cr);
}

TextSize CairoCanvas::textExtent(const char* text, int length) {
    char copy[kMaxTextLength + 1];
    copyText(text, length, copy);
    cairo_text_extents_t extents{};
    x.cairo_text_extents(cr, copy, &extents);
    return {static_cast<int>(std::lround(extents.x_advance)), fontHeight};
}

void CairoCanvas::textOut(int px, int py, const char* text, int length) {
    char copy[kMaxTextLength + 1];
    copyText(text, length, copy);
    useColour(textColour);
    const double baseline = py + fontAscent;
    x.cairo_new_path(cr);
    x.cairo_move_to(cr, px, baseline);
    x.cairo_show_text(cr, copy);
    if (fontStyle & StyleUnderline) textLine(px, baseline + kUnderlineShare * fontAscent, copy);
    if (fontStyle & StyleStrikeOut) textLine(px, baseline - kStrikeOutShare * fontAscent, copy);
}
