// Painting the Windows panel: the paint's own pen, brush and font around the shared full or
// incremental repaint into the back buffer, the BitBlt to the screen, and the HDC forms of the
// drawing helpers.
#include "editor/painter.h"

#include "editor/kel_gui.h"
#include "platform/platform.h"
#include "instrument/plugin_core.h"

#include <mutex>

namespace {
/// Cell height of the font the paint selects before any control draws, pixels.
constexpr int kPaintFontHeight = 10;
/// Weight of that font.
constexpr int kNormalWeight = 400;

/// Selects object into dc and deletes the object it replaces.
void replaceObject(HDC dc, HGDIOBJ object) {
    if (!object) return;
    HGDIOBJ replaced = SelectObject(dc, object);
    if (replaced) DeleteObject(replaced);
}

/// Steps 3 to 6 of a paint: the panel's pen, brush and font, the full or incremental redraw,
/// and the context's own objects back.
void drawPanel(kelGui& gui) {
    PluginCore& core = *gui.core;
    HDC dc = gui.backDC;
    HGDIOBJ ownPen = SelectObject(dc, CreatePen(PS_SOLID, 1, core.outlineColour));
    HGDIOBJ ownBrush = SelectObject(dc, CreateSolidBrush(core.backgroundColour));
    HGDIOBJ ownFont = SelectObject(dc, CreateFontA(kPaintFontHeight, 0, 0, 0, kNormalWeight, FALSE,
                                                   FALSE, FALSE, 0, 0, 0, 0, 0, nullptr));
    GdiCanvas canvas(dc);
    paintPanel(canvas, gui);
    replaceObject(dc, ownPen);
    replaceObject(dc, ownBrush);
    replaceObject(dc, ownFont);
}
} // namespace

void drawCentredText(HDC dc, int left, int top, int width, int height, const char* text,
                     std::uint32_t colour) {
    GdiCanvas canvas(dc);
    drawCentredText(canvas, left, top, width, height, text, colour);
}

void drawRaised(HDC dc, const PluginCore& core, int left, int top, int right, int bottom,
                std::uint32_t colour) {
    GdiCanvas canvas(dc);
    drawRaised(canvas, core, left, top, right, bottom, colour);
}

void drawRoundFace(HDC dc, const PluginCore& core, int left, int top, int right, int bottom,
                   std::uint32_t colour) {
    GdiCanvas canvas(dc);
    drawRoundFace(canvas, core, left, top, right, bottom, colour);
}

void drawControl(kelGui& gui, HDC dc, const EditorControl& control) {
    GdiCanvas canvas(dc);
    drawControl(canvas, gui, control);
}

void paintEditor(kelGui& gui, HWND window) {
    const int width = gui.panelWidth();
    const int height = gui.panelHeight();
    while (!gui.link->instrumentReady())
        platform::sleepBriefly();

    if (gui.backDC) {
        // Host threads free the engine under the writers' lock when the plug-in object is torn
        // down: holding it keeps the state read here alive, and a paint after that point only
        // shows the last picture.
        BusyFlags* busy = gui.core->busy;
        std::unique_lock<std::mutex> lock;
        if (busy) lock = std::unique_lock<std::mutex>(busy->writers);
        if (gui.pluginAlive()) drawPanel(gui);
    }

    PAINTSTRUCT paint;
    HDC screen = BeginPaint(window, &paint);
    if (screen && gui.backDC) BitBlt(screen, 0, 0, width, height, gui.backDC, 0, 0, SRCCOPY);
    EndPaint(window, &paint);
}
