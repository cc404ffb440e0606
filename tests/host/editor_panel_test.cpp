// The editor panel as a host meets it: effEditOpen into a window the host made, the pixels the
// panel shows (border, caption boxes, knob arcs at the angles their values imply, value
// texts), knobs dragged with synthetic mouse messages, the title click that reads
// "debug.txt", reopening, two instances, closing the plug-in with its panel open, and the GDI
// object count over thousands of paints. Windows only: elsewhere the plug-in has no panel.
//
// Setting QUARNEL_EDITOR_SCREENSHOT to a file path writes the panel at its default program to
// that path as a BMP file (README.md, "The editor panel", turns it into docs/editor-panel.png).
#if defined(_WIN32)

#include "host_fixture.h"
#include "tests/support/host_gestures.h"
#include "tests/support/panel_look.h"
#include "tests/support/windows_probe.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

using hosttest::library;
using hosttest::newInstance;

namespace {
using namespace paneltest;

using windowsprobe::gdiObjects;
using windowsprobe::pumpMessages;

using HostWindow = windowsprobe::HostFrame;

/// The panel: the plug-in's child of the host window.
HWND panelOf(HWND parent) {
    return FindWindowExA(parent, nullptr, nullptr, nullptr);
}

int childCount(HWND parent) {
    int n = 0;
    for (HWND c = FindWindowExA(parent, nullptr, nullptr, nullptr); c;
         c = FindWindowExA(parent, c, nullptr, nullptr))
        ++n;
    return n;
}

/// Paints the panel until its pending full repaints and dirty controls are done.
void settle(HWND panel) {
    pumpMessages();
    for (int i = 0; i < 3; ++i) {
        InvalidateRect(panel, nullptr, FALSE);
        UpdateWindow(panel);
    }
    pumpMessages();
}

/// The window's client pixels as COLORREF values.
struct Snapshot : PanelPixels {
    explicit Snapshot(HWND window) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = kPanelWidth;
        info.bmiHeader.biHeight = -kPanelHeight;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        HDC memory = CreateCompatibleDC(nullptr);
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        HDC screen = GetDC(window);
        BitBlt(memory, 0, 0, kPanelWidth, kPanelHeight, screen, 0, 0, SRCCOPY);
        ReleaseDC(window, screen);
        GdiFlush();
        const auto* bgrx = static_cast<const std::uint32_t*>(bits);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = ((bgrx[i] >> 16) & 0xFF) | (bgrx[i] & 0xFF00) | ((bgrx[i] & 0xFF) << 16);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
    }
    /// Writes a 24-bit BMP file.
    bool saveBmp(const std::string& path) const {
        const int rowBytes = (kPanelWidth * 3 + 3) & ~3;
        const std::uint32_t dataSize = static_cast<std::uint32_t>(rowBytes * kPanelHeight);
        std::vector<unsigned char> file(54 + dataSize, 0);
        auto put32 = [&](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                file[at + i] = static_cast<unsigned char>(v >> (8 * i));
        };
        file[0] = 'B';
        file[1] = 'M';
        put32(2, 54 + dataSize);
        put32(10, 54);
        put32(14, 40);
        put32(18, kPanelWidth);
        put32(22, kPanelHeight);
        file[26] = 1;
        file[28] = 24;
        put32(34, dataSize);
        for (int y = 0; y < kPanelHeight; ++y) {
            unsigned char* row = &file[54 + static_cast<std::size_t>(kPanelHeight - 1 - y) *
                                                static_cast<std::size_t>(rowBytes)];
            for (int x = 0; x < kPanelWidth; ++x) {
                const std::uint32_t c = at(x, y);
                row[3 * x] = static_cast<unsigned char>(c >> 16);
                row[3 * x + 1] = static_cast<unsigned char>(c >> 8);
                row[3 * x + 2] = static_cast<unsigned char>(c);
            }
        }
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
        return out.good();
    }
};

/// The parameter's current value.
float freshParameter(vsthost::PluginInstance& fx, int index) {
    return fx.getParameter(index);
}

POINT knobCentre(int knob) {
    return POINT{kKnobs[knob].x + kKnobHalf, kKnobTop + kKnobHalf};
}

LPARAM mouseAt(int x, int y) {
    return MAKELPARAM(static_cast<WORD>(static_cast<std::int16_t>(x)),
                      static_cast<WORD>(static_cast<std::int16_t>(y)));
}

/// Press at from, one move by (dx, dy), release: as a user's drag arrives at the panel.
void drag(HWND panel, POINT from, int dx, int dy, bool rightButton = false) {
    SendMessageA(panel, rightButton ? WM_RBUTTONDOWN : WM_LBUTTONDOWN,
                 rightButton ? MK_RBUTTON : MK_LBUTTON, mouseAt(from.x, from.y));
    SendMessageA(panel, WM_MOUSEMOVE, rightButton ? MK_RBUTTON : MK_LBUTTON,
                 mouseAt(from.x + dx, from.y + dy));
    SendMessageA(panel, rightButton ? WM_RBUTTONUP : WM_LBUTTONUP, 0,
                 mouseAt(from.x + dx, from.y + dy));
}

void click(HWND panel, int x, int y, bool rightButton = false) {
    drag(panel, {x, y}, 0, 0, rightButton);
}

/// Holds Shift down in this thread's keyboard state (what GetKeyState reads) while alive.
class ShiftHeld {
  public:
    ShiftHeld() { set(0x80); }
    ~ShiftHeld() { set(0); }
    ShiftHeld(const ShiftHeld&) = delete;
    ShiftHeld& operator=(const ShiftHeld&) = delete;

  private:
    static void set(BYTE state) {
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_SHIFT] = keys[VK_LSHIFT] = state;
        SetKeyboardState(keys);
    }
};

/// An instance with its panel open in a host window.
struct OpenEditor {
    OpenEditor() : fx(newInstance()) {
        if (!fx->valid()) return;
        opened = fx->dispatch(effEditOpen, 0, 0, host.get());
        panel = panelOf(host.get());
        settle(panel);
    }
    ~OpenEditor() {
        if (fx->valid()) fx->dispatch(effEditClose);
    }
    /// Shows host-side changes (setParameter marks controls dirty without repainting).
    void repaint() { settle(panel); }

    HostWindow host;
    std::unique_ptr<vsthost::PluginInstance> fx;
    VstIntPtr opened = 0;
    HWND panel = nullptr;
};

/// The directory of the plug-in library the host loaded, with a trailing separator.
std::string pluginDirectory() {
    const std::string configured = vsthost::pluginPathFromEnvironment(QUARNEL_PLUGIN_PATH);
    const std::size_t slash = configured.find_last_of("/\\");
    char path[MAX_PATH] = {};
    HMODULE module = GetModuleHandleA(configured.substr(slash + 1).c_str());
    if (module && GetModuleFileNameA(module, path, MAX_PATH)) {
        std::string full(path);
        return full.substr(0, full.find_last_of('\\') + 1);
    }
    return configured.substr(0, slash + 1);
}

/// "debug.txt" beside the library, removed again at the end of the scope.
class OverrideFile {
  public:
    explicit OverrideFile(const std::string& text) : path(pluginDirectory() + "debug.txt") {
        std::ofstream out(path);
        out << text;
    }
    ~OverrideFile() { std::remove(path.c_str()); }
    OverrideFile(const OverrideFile&) = delete;
    OverrideFile& operator=(const OverrideFile&) = delete;
    const std::string path;
};

/// The current program's record, through the preset chunk.
std::vector<unsigned char> currentRecord(vsthost::PluginInstance& fx) {
    void* data = nullptr;
    const VstIntPtr size = fx.dispatch(effGetChunk, 1, 0, &data);
    if (!data || size <= 0) return {};
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

template <typename T> T fieldAt(const std::vector<unsigned char>& record, std::size_t offset) {
    T value{};
    if (offset + sizeof(T) <= record.size()) std::memcpy(&value, record.data() + offset, sizeof(T));
    return value;
}
} // namespace

TEST(EditorPanel, OpensAs364By104ChildThatAnswersTheMouse) {
    auto fx = newInstance();
    ASSERT_TRUE(fx->valid());
    ERect* rect = nullptr;
    ASSERT_EQ(fx->dispatch(effEditGetRect, 0, 0, &rect), 1);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->right - rect->left, kPanelWidth);
    EXPECT_EQ(rect->bottom - rect->top, kPanelHeight);

    HostWindow host;
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.get()), 1);
    ASSERT_EQ(childCount(host.get()), 1);
    HWND panel = panelOf(host.get());
    RECT client{};
    GetClientRect(panel, &client);
    EXPECT_EQ(client.right, kPanelWidth);
    EXPECT_EQ(client.bottom, kPanelHeight);
    EXPECT_TRUE(IsWindowVisible(panel));
    char name[64] = {};
    GetClassNameA(panel, name, sizeof(name));
    EXPECT_EQ(std::string(name).rfind("VST_kelvar(Quarnel)_", 0), 0u) << name;

    fx->setParameter(0, 0.0f);
    drag(panel, knobCentre(0), 0, -40);
    EXPECT_FLOAT_EQ(freshParameter(*fx, 0), 0.2f);
    fx->dispatch(effEditClose);
    EXPECT_FALSE(IsWindow(panel));
    EXPECT_EQ(childCount(host.get()), 0);
}

TEST(EditorPanel, KnobDragsReachTheHostAsAutomationGestures) {
    HostWindow host;
    vsthost::PluginInstance fx(library(), &gesturetest::recordingHost);
    ASSERT_TRUE(fx.valid());
    fx.start(44100.0f, 512);
    ASSERT_EQ(fx.dispatch(effEditOpen, 0, 0, host.get()), 1);
    HWND panel = panelOf(host.get());
    settle(panel);
    auto send = [&](UINT message, int knob, int dx, int dy) {
        const POINT c = knobCentre(knob);
        SendMessageA(panel, message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON,
                     mouseAt(c.x + dx, c.y + dy));
    };

    fx.setParameter(0, 0.0f);
    gesturetest::takeEdits();
    send(WM_LBUTTONDOWN, 0, 0, 0);
    send(WM_MOUSEMOVE, 0, 0, -20);
    send(WM_MOUSEMOVE, 0, 0, -40);
    send(WM_MOUSEMOVE, 0, 1, -40); // 0.205: the parameter stays at 20 %, the host hears nothing
    send(WM_MOUSEMOVE, 0, 1, -60);
    send(WM_LBUTTONUP, 0, 1, -60);
    gesturetest::expectGesture(gesturetest::takeEdits(), 0, {0.1f, 0.2f, 0.3f});
    EXPECT_FLOAT_EQ(fx.getParameter(0), 0.3f);

    // A panel closed in the middle of a drag ends the gesture it began.
    fx.setParameter(1, 0.0f);
    send(WM_LBUTTONDOWN, 1, 0, 0);
    send(WM_MOUSEMOVE, 1, 0, -40);
    fx.dispatch(effEditClose);
    gesturetest::expectGesture(gesturetest::takeEdits(), 1, {0.2f});
}

TEST(EditorPanel, ControllerChangesOnTheAudioThreadRepaintTheKnobAtIdle) {
    OpenEditor editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    fx.setParameter(1, 0.0f);
    editor.repaint();
    ASSERT_EQ(Snapshot(editor.panel).ring(1, 0), kOutline) << "\"Mod.\" at 0: no arc at 0 degrees";
    std::vector<float> left, right;
    fx.sendMidi({{0, 0xB0, 20, 127}}); // controller 20: the live program's "Modulation"
    fx.render(64, left, right);
    EXPECT_FLOAT_EQ(fx.getParameter(1), 1.0f);
    EXPECT_EQ(fx.dispatch(effEditIdle), 0);
    pumpMessages();
    EXPECT_EQ(Snapshot(editor.panel).ring(1, 0), kKnobs[1].accent)
        << "the knob shows the value the controller set after the host's idle call";
}

TEST(EditorPanel, ShowsBorderCaptionBoxesKnobArcsAndValueTexts) {
    OpenEditor editor;
    ASSERT_EQ(editor.opened, 1);
    const Snapshot shot(editor.panel);
    if (const char* path = std::getenv("QUARNEL_EDITOR_SCREENSHOT")) {
        EXPECT_TRUE(shot.saveBmp(path)) << path;
    }

    float values[6];
    for (int k = 0; k < 6; ++k)
        values[k] = freshParameter(*editor.fx, k);
    expectPanelLayout(shot, values);
}

TEST(EditorPanel, KnobAtZeroHasNoValueArcAndAtOneRunsToMinus45Degrees) {
    OpenEditor editor;
    ASSERT_EQ(editor.opened, 1);
    editor.fx->setParameter(0, 0.0f);
    editor.fx->setParameter(5, 1.0f);
    editor.repaint();
    const Snapshot shot(editor.panel);
    for (int a = -45; a <= 225; a += 5)
        EXPECT_NE(shot.ring(0, a), kKnobs[0].accent) << "knob 0 at " << a;
    for (int a = -33; a <= 213; a += 6)
        EXPECT_EQ(shot.ring(5, a), kKnobs[5].accent) << "knob 5 at " << a;
    // The last degrees before -45 lie under the pointer; nothing lies beyond.
    EXPECT_EQ(shot.ring(5, -56), kBackground) << "the arc ends at -45 degrees";
    EXPECT_EQ(shot.ring(5, -90), kBackground);
}

TEST(EditorPanel, DraggingAKnobSetsItsParameter) {
    OpenEditor editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    fx.setParameter(0, 0.0f);
    drag(editor.panel, knobCentre(0), 0, -100);
    EXPECT_FLOAT_EQ(freshParameter(fx, 0), 0.5f);
    drag(editor.panel, knobCentre(0), 0, -100);
    EXPECT_FLOAT_EQ(freshParameter(fx, 0), 1.0f);
    drag(editor.panel, knobCentre(0), 0, -100);
    EXPECT_FLOAT_EQ(freshParameter(fx, 0), 1.0f) << "clamped";

    const float lowPass = freshParameter(fx, 5);
    drag(editor.panel, knobCentre(5), 0, -100);
    EXPECT_NEAR(freshParameter(fx, 5), std::min(lowPass + 0.5f, 1.0f), 1.0f / 18000);

    fx.setParameter(1, 0.5f);
    drag(editor.panel, knobCentre(1), 10, 20); // diagonal: the 20 pixels down count
    EXPECT_FLOAT_EQ(freshParameter(fx, 1), 0.4f);
    drag(editor.panel, knobCentre(1), 30, -20); // the 30 pixels right count
    EXPECT_FLOAT_EQ(freshParameter(fx, 1), 0.55f);

    fx.setParameter(2, 0.0f);
    {
        ShiftHeld shift;
        drag(editor.panel, knobCentre(2), 0, -100);
    }
    EXPECT_NEAR(freshParameter(fx, 2), 0.1f, 1.0f / 180);

    editor.repaint();
    const Snapshot shot(editor.panel);
    EXPECT_EQ(shot.ring(0, -30), kKnobs[0].accent) << "the panel shows the dragged value";
}

TEST(EditorPanel, LeftClickOnTheTitleLoadsDebugTxt) {
    OpenEditor editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    const std::vector<unsigned char> before = currentRecord(fx);
    ASSERT_EQ(before.size(), 328u);
    OverrideFile file("Test, 40, 60,\n"
                      "12, 34, 1500, -20, 30\n"
                      "50, 10, -10,\n"
                      "300, 9000,\n");

    click(editor.panel, 120, 12, true);
    EXPECT_EQ(currentRecord(fx), before) << "a right click reads nothing";
    click(editor.panel, 30, 90); // a caption, not the title
    EXPECT_EQ(currentRecord(fx), before);

    click(editor.panel, 120, 12);
    const std::vector<unsigned char> after = currentRecord(fx);
    EXPECT_EQ(fieldAt<std::int8_t>(after, 76), 40);  // window
    EXPECT_EQ(fieldAt<std::int8_t>(after, 77), 60);  // modulation
    EXPECT_EQ(fieldAt<std::int8_t>(after, 78), 12);  // lfoRate
    EXPECT_EQ(fieldAt<std::int8_t>(after, 79), 34);  // lfoDepth
    EXPECT_EQ(fieldAt<float>(after, 80), 1500.0f);   // sendFrequency
    EXPECT_EQ(fieldAt<std::int8_t>(after, 84), -20); // sendReturn
    EXPECT_EQ(fieldAt<std::int8_t>(after, 85), 30);  // echoTime
    EXPECT_EQ(fieldAt<std::int8_t>(after, 86), 50);  // velocityTime
    EXPECT_EQ(fieldAt<std::int8_t>(after, 87), 10);  // attack
    EXPECT_EQ(fieldAt<std::int8_t>(after, 88), -10); // sustain
    EXPECT_EQ(fieldAt<float>(after, 92), 300.0f);    // highPassHz
    EXPECT_EQ(fieldAt<float>(after, 96), 9000.0f);   // lowPassHz
    EXPECT_EQ(std::memcmp(after.data() + 44, before.data() + 44, 32), 0) << "name kept";
    EXPECT_EQ(std::memcmp(after.data() + 100, before.data() + 100, 228), 0)
        << "lines the file does not have leave their fields";
    EXPECT_FLOAT_EQ(freshParameter(fx, 0), 0.4f);
    EXPECT_NEAR(freshParameter(fx, 4), (300.0f - 10.0f) / 1490.0f, 1e-6f) << "re-applied";
}

TEST(EditorPanel, OpenCloseOpenShowsTheSamePanel) {
    auto fx = newInstance();
    HostWindow host;
    fx->setParameter(3, 0.7f);
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.get()), 1);
    settle(panelOf(host.get()));
    const Snapshot first(panelOf(host.get()));
    fx->dispatch(effEditClose);
    EXPECT_EQ(childCount(host.get()), 0);
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.get()), 1);
    EXPECT_EQ(childCount(host.get()), 1);
    settle(panelOf(host.get()));
    const Snapshot second(panelOf(host.get()));
    EXPECT_EQ(first.pixels, second.pixels);
    fx->dispatch(effEditClose);
}

TEST(EditorPanel, TwoInstancesShowTwoPanels) {
    auto a = newInstance();
    auto b = newInstance();
    a->setParameter(0, 1.0f);
    b->setParameter(0, 0.0f);
    HostWindow hostA(0), hostB(1);
    ASSERT_EQ(a->dispatch(effEditOpen, 0, 0, hostA.get()), 1);
    ASSERT_EQ(b->dispatch(effEditOpen, 0, 0, hostB.get()), 1);
    HWND panelA = panelOf(hostA.get()), panelB = panelOf(hostB.get());
    ASSERT_NE(panelA, panelB);
    settle(panelA);
    settle(panelB);
    const Snapshot shotA(panelA), shotB(panelB);
    EXPECT_EQ(shotA.ring(0, 0), kKnobs[0].accent);
    EXPECT_EQ(shotB.ring(0, 0), kOutline);

    drag(panelB, knobCentre(0), 0, -100);
    EXPECT_FLOAT_EQ(freshParameter(*b, 0), 0.5f);
    EXPECT_FLOAT_EQ(freshParameter(*a, 0), 1.0f) << "the other instance is untouched";
    a->dispatch(effEditClose);
    b->dispatch(effEditClose);
}

TEST(EditorPanel, ClosingThePluginWithItsPanelOpen) {
    HostWindow host;
    auto fx = newInstance();
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.get()), 1);
    HWND panel = panelOf(host.get());
    settle(panel);
    SendMessageA(panel, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(32, 52)); // a drag under way
    InvalidateRect(panel, nullptr, FALSE);                            // a paint pending
    fx->setParameter(2, 0.3f);
    EXPECT_EQ(fx->close(), 1);
    EXPECT_FALSE(IsWindow(panel));
    pumpMessages();
    InvalidateRect(host.get(), nullptr, TRUE);
    UpdateWindow(host.get());
    EXPECT_TRUE(IsWindow(host.get()));

    auto again = newInstance();
    ASSERT_EQ(again->dispatch(effEditOpen, 0, 0, host.get()), 1);
    settle(panelOf(host.get()));
    EXPECT_EQ(Snapshot(panelOf(host.get())).at(0, 0), kOutline);
    again->dispatch(effEditClose);
}

TEST(EditorPanel, ThousandsOfPaintsWithoutGdiGrowth) {
    OpenEditor editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    {
        // The count must move with every object, or the comparison below proves nothing.
        const DWORD idle = gdiObjects();
        HDC probes[3];
        for (HDC& dc : probes)
            dc = CreateCompatibleDC(nullptr);
        EXPECT_EQ(gdiObjects(), idle + 3);
        for (HDC dc : probes)
            DeleteDC(dc);
        ASSERT_EQ(gdiObjects(), idle);
    }
    const DWORD before = gdiObjects();
    constexpr int kPaints = 3000;
    for (int i = 0; i < kPaints; ++i) {
        switch (i % 3) {
        case 0:
            fx.dispatch(effSetProgram, 0, i % 46); // a full repaint
            break;
        case 1:
            fx.setParameter(i % 6, static_cast<float>(i % 100) / 100.0f);
            break;
        default:
            drag(editor.panel, knobCentre(i % 6), 0, (i % 7) - 3);
            break;
        }
        InvalidateRect(editor.panel, nullptr, FALSE);
        UpdateWindow(editor.panel);
    }
    pumpMessages();
    const DWORD after = gdiObjects();
    std::printf("[ editor ] GDI objects before %lu, after %d paints %lu\n",
                static_cast<unsigned long>(before), kPaints, static_cast<unsigned long>(after));
    EXPECT_EQ(after, before);
}

#endif // _WIN32
