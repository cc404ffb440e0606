// Paints through the panel window: the full repaints after an open, incremental repaints of
// dirty controls only, the back buffer reaching the screen, and the GDI object count staying
// flat over thousands of paints.
#include "editor_fixture.h"

#include "patches/performance_parameters.h"

using namespace editortest;

namespace {
constexpr std::uint32_t kBackground = 0x888888;
constexpr std::uint32_t kMarker = 0x00FF00; // a colour the panel never uses

/// An open panel in a host window, painted until no repaint is pending.
struct OpenPanel {
    OpenPanel() : plugin(makePlugin()), gui(guiOf(*plugin)), core(plugin->getCore()) {
        gui.open(parent.get());
        for (int i = 0; i < 3; ++i)
            paint();
    }
    ~OpenPanel() { gui.close(); }
    void paint() {
        InvalidateRect(gui.window, nullptr, FALSE);
        UpdateWindow(gui.window);
    }
    /// The back buffer's pixels.
    void readBack(Canvas& canvas) {
        BitBlt(canvas.dc, 0, 0, 364, 104, gui.backDC, 0, 0, SRCCOPY);
        GdiFlush();
    }
    void mark(int x, int y) { SetPixel(gui.backDC, x, y, kMarker); }

    ParentWindow parent;
    std::unique_ptr<kelVst> plugin;
    kelGui& gui;
    PluginCore& core;
};
} // namespace

TEST(PaintCycle, OpenGivesTwoFullRepaintsThenOneOfEveryControl) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    gui.open(parent.get());
    ASSERT_EQ(core.redrawAll, 2);
    InvalidateRect(gui.window, nullptr, FALSE);
    UpdateWindow(gui.window);
    EXPECT_EQ(core.redrawAll, 1);
    for (EditorControl* c = core.controls; c; c = c->next)
        EXPECT_EQ(c->dirty, 1) << "a full repaint leaves the dirty flags alone";
    InvalidateRect(gui.window, nullptr, FALSE);
    UpdateWindow(gui.window);
    EXPECT_EQ(core.redrawAll, 0);
    InvalidateRect(gui.window, nullptr, FALSE);
    UpdateWindow(gui.window);
    for (EditorControl* c = core.controls; c; c = c->next)
        EXPECT_EQ(c->dirty, 0);
    gui.close();
}

TEST(PaintCycle, IncrementalPaintRedrawsOnlyDirtyControls) {
    OpenPanel panel;
    Canvas canvas(364, 104);
    panel.mark(30, 40); // inside knob 0
    panel.mark(90, 40); // inside knob 1
    panel.mark(62, 40); // gap between the two knobs
    panel.mark(20, 90); // inside knob 0's caption
    panel.mark(0, 0);   // the panel border
    controlAt(panel.core, 2)->dirty = 1;
    panel.paint();
    panel.readBack(canvas);
    EXPECT_NE(canvas.at(30, 40), kMarker) << "the dirty knob was redrawn";
    EXPECT_EQ(canvas.at(90, 40), kMarker) << "a clean knob was not";
    EXPECT_EQ(canvas.at(62, 40), kMarker) << "only the control's box is erased";
    EXPECT_EQ(canvas.at(20, 90), kMarker);
    EXPECT_EQ(canvas.at(0, 0), kMarker);
    EXPECT_EQ(controlAt(panel.core, 2)->dirty, 0);

    panel.paint(); // nothing dirty: the buffer is copied as it is
    panel.readBack(canvas);
    EXPECT_EQ(canvas.at(90, 40), kMarker);

    panel.core.redrawAll = 1;
    panel.paint();
    panel.readBack(canvas);
    EXPECT_EQ(panel.core.redrawAll, 0);
    for (POINT p : {POINT{90, 40}, POINT{62, 40}, POINT{20, 90}, POINT{0, 0}})
        EXPECT_NE(canvas.at(p.x, p.y), kMarker) << p.x << "," << p.y;
    EXPECT_EQ(canvas.at(0, 0), 0x555555u) << "border";
    EXPECT_EQ(canvas.at(62, 40), kBackground);
}

TEST(PaintCycle, TheScreenShowsTheBackBuffer) {
    OpenPanel panel;
    panel.mark(90, 40);
    panel.paint();
    Canvas back(364, 104), screen(364, 104);
    panel.readBack(back);
    screen.grab(panel.gui.window);
    int differing = 0;
    for (int y = 0; y < 104; ++y)
        for (int x = 0; x < 364; ++x)
            if (back.at(x, y) != screen.at(x, y)) ++differing;
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(screen.at(90, 40), kMarker);
}

TEST(PaintCycle, FullRepaintRefreshesTheParameterCache) {
    OpenPanel panel;
    panel.core.paramCache[ParamAttack] = 0.9f; // stale
    panel.core.redrawAll = 1;
    panel.paint();
    EXPECT_EQ(panel.core.paramCache[ParamAttack], parameterNow(*panel.plugin, ParamAttack));
}

TEST(PaintCycle, HostParameterChangesShowAtTheNextPaint) {
    OpenPanel panel;
    Canvas canvas(364, 104);
    const EditorControl& lowPass = *controlAt(panel.core, 12);
    panel.plugin->setParameter(ParamLowPass, 1.0f); // marks the knob dirty, no invalidation
    panel.paint();
    panel.readBack(canvas);
    // Value 1: the value arc covers the track's right end at 0 degrees.
    EXPECT_EQ(canvas.at(lowPass.x + 28 + 24, lowPass.y + 28), lowPass.accentColour);
    panel.plugin->setParameter(ParamLowPass, 0.0f);
    panel.paint();
    panel.readBack(canvas);
    EXPECT_EQ(canvas.at(lowPass.x + 28 + 24, lowPass.y + 28), 0x555555u) << "grey track";
}

TEST(PaintCycle, ThousandsOfPaintsLeaveTheGdiCountFlat) {
    OpenPanel panel;
    const DWORD before = gdiObjects();
    for (int i = 0; i < 3000; ++i) {
        if (i % 3 == 0) panel.core.redrawAll = 1;
        if (i % 3 == 1) panel.plugin->setParameter(i % 6, (i % 100) / 100.0f);
        panel.paint();
    }
    EXPECT_EQ(gdiObjects(), before);
}
