// Shared pieces of the editor tests: a plug-in object built directly with its panel, a
// top-level window to host the panel, message pumping, pixel capture and GDI object counts.
#pragma once

#include "editor/control_layout.h"
#include "editor/input.h"
#include "editor/kel_gui.h"
#include "editor/painter.h"
#include "patches/performance_parameters.h"
#include "shell/kel_vst.h"
#include "shell/kel_vst_editor.h"
#include "tests/support/windows_probe.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace editortest {

using windowsprobe::gdiObjects;
using windowsprobe::pumpMessages;

inline VstIntPtr host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

inline std::unique_ptr<kelVst> makePlugin() {
    return std::make_unique<kelVst>(&host);
}

inline kelGui& guiOf(kelVst& plugin) {
    return static_cast<kelGui&>(static_cast<kelVstEditor*>(plugin.getEditor())->panelEditor());
}

using ParentWindow = windowsprobe::HostFrame;

/// A 32-bit top-down bitmap with a memory DC, for drawing and reading pixels back.
class Canvas {
  public:
    Canvas(int width, int height) : width(width), height(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        previous = SelectObject(dc, bitmap);
        SetBkMode(dc, TRANSPARENT);
    }
    ~Canvas() {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    /// Fills the whole canvas with colour (COLORREF).
    void fill(std::uint32_t colour) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                set(x, y, colour);
    }
    /// The pixel at (x, y) as COLORREF 0x00BBGGRR; 0xFFFFFFFF outside.
    std::uint32_t at(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return 0xFFFFFFFFu;
        GdiFlush();
        const std::uint32_t bgrx = static_cast<const std::uint32_t*>(bits)[y * width + x];
        return ((bgrx >> 16) & 0xFF) | (bgrx & 0xFF00) | ((bgrx & 0xFF) << 16);
    }
    void set(int x, int y, std::uint32_t colour) {
        static_cast<std::uint32_t*>(bits)[y * width + x] =
            ((colour >> 16) & 0xFF) | (colour & 0xFF00) | ((colour & 0xFF) << 16);
    }
    /// Copies the client area of window into the canvas.
    void grab(HWND window) {
        HDC screen = GetDC(window);
        BitBlt(dc, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        ReleaseDC(window, screen);
        GdiFlush();
    }
    /// Pixels in the box (left, top, width, height) whose colour is not colour.
    int countOther(int left, int top, int w, int h, std::uint32_t colour) const {
        int n = 0;
        for (int y = top; y < top + h; ++y)
            for (int x = left; x < left + w; ++x)
                if (at(x, y) != colour) ++n;
        return n;
    }
    /// Pixels in the box whose colour is colour.
    int count(int left, int top, int w, int h, std::uint32_t colour) const {
        return w * h - countOther(left, top, w, h, colour);
    }

    HDC dc = nullptr;
    const int width;
    const int height;

  private:
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    void* bits = nullptr;
};

/// Draws one control into dc the way a paint does: the DC's own pen, brush and font are put
/// back afterwards and whatever the drawing left selected is deleted.
inline void drawIsolated(kelGui& gui, HDC dc, const EditorControl& control) {
    HGDIOBJ pen = SelectObject(dc, GetStockObject(BLACK_PEN));
    HGDIOBJ brush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
    HGDIOBJ font = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    drawControl(gui, dc, control);
    DeleteObject(SelectObject(dc, pen));
    DeleteObject(SelectObject(dc, brush));
    DeleteObject(SelectObject(dc, font));
}

/// lParam of a mouse message at (x, y).
inline LPARAM mouseAt(int x, int y) {
    return MAKELPARAM(static_cast<WORD>(static_cast<std::int16_t>(x)),
                      static_cast<WORD>(static_cast<std::int16_t>(y)));
}

/// Holds Shift down in this thread's keyboard state while alive.
class ShiftHeld {
  public:
    ShiftHeld() { setShift(0x80); }
    ~ShiftHeld() { setShift(0); }
    ShiftHeld(const ShiftHeld&) = delete;
    ShiftHeld& operator=(const ShiftHeld&) = delete;

  private:
    static void setShift(BYTE state) {
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_SHIFT] = state;
        keys[VK_LSHIFT] = state;
        SetKeyboardState(keys);
    }
};

/// The engine's current value of parameter index (what getParameter would report fresh).
inline float parameterNow(kelVst& plugin, int index) {
    char text[64];
    return describePerformanceParameter(*plugin.getCore().engine, index, text);
}

/// The control at position i (0-based) of the list.
inline EditorControl* controlAt(PluginCore& core, int i) {
    EditorControl* control = core.controls;
    while (control && i-- > 0)
        control = control->next;
    return control;
}

/// Centre of the knob of parameter i on the panel, device pixels.
inline POINT knobCentre(int i) {
    const int x = i < 4 ? 4 + 60 * i : 244 + 60 * (i - 4);
    return POINT{x + 28, 24 + 28};
}

} // namespace editortest
