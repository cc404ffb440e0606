// Drawing the panel's controls into a bitmap and reading the pixels back: knob arcs at the
// angles their values imply, value texts, captions, every other control kind, the helpers, and
// the rule that drawing leaves no GDI object behind.
#include "editor_fixture.h"

#include "patches/performance_parameters.h"

#include <cmath>
#include <numbers>

using namespace editortest;

namespace {
constexpr std::uint32_t kBackground = 0x888888;
constexpr std::uint32_t kTrack = 0x555555;
/// Radius of the middle of a panel knob's track (box L+4..L+52 around the centre L+28).
constexpr double kTrackRadius = 24.0;

/// A plug-in with its panel's controls built (no window) and a canvas of the panel's size.
struct PaintBench {
    PaintBench() : plugin(makePlugin()), gui(guiOf(*plugin)), core(plugin->getCore()) {
        buildControls(core, gui.panel);
        canvas.fill(kBackground);
    }
    EditorControl& knob(int parameter) { return *controlAt(core, 2 + 2 * parameter); }
    /// Colour on the track ring of a knob of the panel at an angle (degrees, counterclockwise
    /// from the right horizontal).
    std::uint32_t ring(const EditorControl& knobControl, double degrees) const {
        const double radians = degrees * std::numbers::pi / 180.0;
        const int cx = knobControl.x + 28, cy = knobControl.y + 28;
        return canvas.at(cx + static_cast<int>(std::lround(kTrackRadius * std::cos(radians))),
                         cy - static_cast<int>(std::lround(kTrackRadius * std::sin(radians))));
    }

    std::unique_ptr<kelVst> plugin;
    kelGui& gui;
    PluginCore& core;
    Canvas canvas{364, 104};
};

/// A free control of kind at (10, 10), 60 x 40, not bound to a parameter.
EditorControl freeControl(std::int8_t kind, float value) {
    EditorControl c{};
    c.kind = kind;
    c.fontSize = 14;
    c.x = 10;
    c.y = 10;
    c.width = 60;
    c.height = 40;
    c.faceColour = 0x40A040;
    c.accentColour = 0x2020C0;
    c.paramIndex = 100;
    c.value = value;
    return c;
}
} // namespace

TEST(Painter, BrightenScalesEachChannelAndSaturates) {
    EXPECT_EQ(brighten(0x5555FF, 1.3f), 0x6E6EFFu); // 85 * 1.3 = 110.5 -> 110, 255 stays
    EXPECT_EQ(brighten(0xAAAA55, 0.8f), 0x888844u); // 170 -> 136, 85 -> 68
    EXPECT_EQ(brighten(0xC8C8C8, 1.3f), 0xFFFFFFu); // 260 limits to 255
    EXPECT_EQ(brighten(0x102030, 1.1f), 0x112334u); // 48 -> 52.8, 32 -> 35.2, 16 -> 17.6
    EXPECT_EQ(brighten(0xFF123456, 1.0f), 0x123456u) << "the top byte is not a channel";
}

TEST(Painter, KnobAtZeroShowsOnlyTheGreyTrack) {
    PaintBench bench;
    EditorControl& knob = bench.knob(ParamWindow);
    bench.core.paramCache[ParamWindow] = 0.0f;
    drawIsolated(bench.gui, bench.canvas.dc, knob);
    for (int degrees = -29; degrees <= 215; degrees += 8)
        EXPECT_EQ(bench.ring(knob, degrees), kTrack) << degrees << " degrees";
    for (int degrees = -120; degrees <= -55; degrees += 13)
        EXPECT_EQ(bench.ring(knob, degrees), kBackground) << "gap at " << degrees;
    EXPECT_EQ(bench.canvas.count(knob.x, knob.y, knob.width, knob.height, knob.accentColour) -
                  bench.canvas.count(knob.x + 16, knob.y + 20, 24, 16, knob.accentColour),
              0)
        << "no value arc outside the value text";
}

TEST(Painter, KnobValueArcRunsFromTheZeroPositionToTheValueAngle) {
    for (float v : {0.25f, 0.5f, 0.8f}) {
        PaintBench bench;
        EditorControl& knob = bench.knob(ParamModulation);
        bench.core.paramCache[ParamModulation] = v;
        drawIsolated(bench.gui, bench.canvas.dc, knob);
        const double valueAngle = 225.0 - 270.0 * v;
        for (double a = valueAngle + 12; a <= 213; a += 6)
            EXPECT_EQ(bench.ring(knob, a), knob.accentColour) << "v " << v << " at " << a;
        for (double a = -27; a <= valueAngle - 12; a += 6)
            EXPECT_EQ(bench.ring(knob, a), kTrack) << "v " << v << " at " << a;
    }
}

TEST(Painter, KnobAtOneRunsToMinus45Degrees) {
    PaintBench bench;
    EditorControl& knob = bench.knob(ParamLowPass);
    bench.core.paramCache[ParamLowPass] = 1.0f;
    drawIsolated(bench.gui, bench.canvas.dc, knob);
    for (int degrees = -33; degrees <= 213; degrees += 6)
        EXPECT_EQ(bench.ring(knob, degrees), knob.accentColour) << degrees << " degrees";
    // The last degrees lie under the pointer, which points to -45 degrees.
    const int cx = knob.x + 28, cy = knob.y + 28;
    EXPECT_EQ(bench.canvas.at(cx + 15, cy + 15), brighten(knob.faceColour, 1.3f));
    EXPECT_EQ(bench.ring(knob, -56), kBackground) << "nothing beyond -45 degrees";
    EXPECT_EQ(bench.ring(knob, -90), kBackground);
    EXPECT_EQ(bench.ring(knob, 240), kBackground);
}

TEST(Painter, GdiObjectCountSeesCreationAndDeletion) {
    // The leak tests rely on this count; it must move with every object.
    const DWORD before = gdiObjects();
    HPEN pens[5];
    for (HPEN& pen : pens)
        pen = CreatePen(PS_SOLID, 1, 0x123456);
    EXPECT_EQ(gdiObjects(), before + 5);
    for (HPEN pen : pens)
        DeleteObject(pen);
    EXPECT_EQ(gdiObjects(), before);
}

TEST(Painter, KnobFacePointerAndValueText) {
    PaintBench bench;
    EditorControl& knob = bench.knob(ParamWindow);
    bench.core.paramCache[ParamWindow] = 0.5f; // pointer straight up
    drawIsolated(bench.gui, bench.canvas.dc, knob);
    const int cx = knob.x + 28, cy = knob.y + 28;
    EXPECT_EQ(bench.canvas.at(cx, cy - 21), brighten(knob.faceColour, 1.3f)) << "pointer";
    EXPECT_EQ(bench.canvas.at(cx - 15, cy + 12), knob.faceColour) << "face";
    // The value text is drawn over the face in the accent colour.
    const int inked = bench.canvas.countOther(cx - 12, cy - 7, 24, 14, knob.faceColour);
    EXPECT_GT(inked, 10);

    PaintBench silent;
    EditorControl& quiet = silent.knob(ParamWindow);
    quiet.fontSize = 0;
    silent.core.paramCache[ParamWindow] = 0.5f;
    drawIsolated(silent.gui, silent.canvas.dc, quiet);
    EXPECT_EQ(silent.canvas.countOther(cx - 12, cy - 7, 24, 14, quiet.faceColour), 0)
        << "fontSize 0 draws no text";
}

TEST(Painter, CaptionBoxesAndTitle) {
    PaintBench bench;
    for (const EditorControl* c = bench.core.controls; c; c = c->next)
        if (c->kind == Label) drawIsolated(bench.gui, bench.canvas.dc, *c);
    for (const EditorControl* c = bench.core.controls; c; c = c->next) {
        if (c->kind != Label) continue;
        EXPECT_EQ(bench.canvas.at(c->x, c->y), 0x555555u) << c->text;
        EXPECT_EQ(bench.canvas.at(c->x + c->width - 1, c->y + c->height - 1), 0x555555u);
        EXPECT_EQ(bench.canvas.at(c->x + c->width, c->y + c->height), kBackground)
            << "the box ends before its right and bottom coordinates";
        EXPECT_EQ(bench.canvas.at(c->x + 1, c->y + 1), 0xBBBBBBu);
        EXPECT_GT(
            bench.canvas.countOther(c->x + 1, c->y + 1, c->width - 2, c->height - 2, 0xBBBBBB), 8)
            << "caption text of " << c->text;
    }
}

TEST(Painter, LabelWithoutTextShowsParametersFromOneOn) {
    PaintBench bench;
    EditorControl label = freeControl(Label, 0);
    label.paramIndex = 0; // index 0 never shows a value
    drawIsolated(bench.gui, bench.canvas.dc, label);
    EXPECT_EQ(bench.canvas.countOther(11, 11, 58, 38, label.faceColour), 0);
    label.paramIndex = ParamLowPass;
    drawIsolated(bench.gui, bench.canvas.dc, label);
    EXPECT_GT(bench.canvas.countOther(11, 11, 58, 38, label.faceColour), 8);
}

TEST(Painter, CentredTextIsCentredAndEmptyTextDrawsNothing) {
    Canvas canvas(200, 60);
    canvas.fill(0xFFFFFF);
    HFONT font = makeFont(16, 0);
    HGDIOBJ old = SelectObject(canvas.dc, font);
    drawCentredText(canvas.dc, 20, 10, 160, 40, nullptr, 0);
    drawCentredText(canvas.dc, 20, 10, 160, 40, "", 0);
    EXPECT_EQ(canvas.countOther(0, 0, 200, 60, 0xFFFFFF), 0);
    drawCentredText(canvas.dc, 20, 10, 160, 40, "WWWW", 0x000000);
    int left = 200, right = -1, top = 60, bottom = -1;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 200; ++x)
            if (canvas.at(x, y) != 0xFFFFFF) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, 0) << "text was drawn";
    EXPECT_NEAR((left + right) / 2.0, 100.0, 3.0);
    EXPECT_NEAR((top + bottom) / 2.0, 30.0, 5.0);
    DeleteObject(SelectObject(canvas.dc, old));
}

TEST(Painter, FontFollowsTheStyleBits) {
    auto describe = [](std::uint32_t style) {
        HFONT font = makeFont(20, style);
        LOGFONTA log{};
        GetObjectA(font, sizeof(log), &log);
        DeleteObject(font);
        return log;
    };
    LOGFONTA plain = describe(0);
    EXPECT_EQ(plain.lfHeight, 20);
    EXPECT_EQ(plain.lfWeight, 400);
    EXPECT_FALSE(plain.lfItalic || plain.lfUnderline || plain.lfStrikeOut);
    EXPECT_EQ(plain.lfFaceName[0], 0);
    EXPECT_EQ(describe(StyleBold).lfWeight, 700);
    EXPECT_TRUE(describe(StyleItalic).lfItalic);
    EXPECT_TRUE(describe(StyleUnderline).lfUnderline);
    EXPECT_TRUE(describe(StyleStrikeOut).lfStrikeOut);
    EXPECT_EQ(describe(StyleNotify).lfWeight, 400);
}

TEST(Painter, RaisedBoxHasLightTopLeftAndDarkBottomRight) {
    PaintBench bench;
    const std::uint32_t colour = 0x6080A0;
    drawRaised(bench.canvas.dc, bench.core, 10, 10, 70, 50, colour);
    EXPECT_EQ(bench.canvas.at(10, 30), 0x555555u) << "outline";
    EXPECT_EQ(bench.canvas.at(30, 30), brighten(colour, 1.1f)) << "face";
    EXPECT_EQ(bench.canvas.at(11, 30), brighten(colour, 1.3f)) << "left edge";
    EXPECT_EQ(bench.canvas.at(40, 10), brighten(colour, 1.3f)) << "top edge";
    EXPECT_EQ(bench.canvas.at(40, 48), brighten(colour, 0.8f)) << "bottom edge";
    EXPECT_EQ(bench.canvas.at(68, 30), brighten(colour, 0.8f)) << "right edge";
    EXPECT_EQ(bench.canvas.at(70, 30), kBackground);
}

TEST(Painter, RoundFaceLightUpperLeftDarkLowerRight) {
    PaintBench bench;
    const std::uint32_t colour = 0x6080A0;
    drawRoundFace(bench.canvas.dc, bench.core, 10, 10, 60, 60, colour);
    EXPECT_EQ(bench.canvas.at(35, 35), colour);
    const std::uint32_t light = brighten(colour, 1.3f), dark = brighten(colour, 0.8f);
    EXPECT_GT(bench.canvas.count(10, 10, 25, 25, light), 10);
    EXPECT_EQ(bench.canvas.count(10, 10, 25, 25, dark), 0);
    EXPECT_GT(bench.canvas.count(35, 35, 25, 25, dark), 10);
    EXPECT_EQ(bench.canvas.count(35, 35, 25, 25, light), 0);
    EXPECT_EQ(bench.canvas.at(11, 11), kBackground) << "outside the circle";
}

TEST(Painter, SlidersPlaceTheirThumbByValue) {
    PaintBench bench;
    EditorControl slider = freeControl(HSlider, 0.0f);
    const std::uint32_t thumb = brighten(slider.accentColour, 1.1f);
    drawIsolated(bench.gui, bench.canvas.dc, slider);
    EXPECT_EQ(bench.canvas.at(18, 30), thumb);
    EXPECT_EQ(bench.canvas.at(62, 30), slider.faceColour);
    slider.value = 1.0f;
    drawIsolated(bench.gui, bench.canvas.dc, slider);
    EXPECT_EQ(bench.canvas.at(18, 30), slider.faceColour);
    EXPECT_EQ(bench.canvas.at(62, 30), thumb);

    EditorControl vertical = freeControl(VSlider, 1.0f);
    drawIsolated(bench.gui, bench.canvas.dc, vertical);
    EXPECT_EQ(bench.canvas.at(40, 18), thumb) << "value 1 at the top";
    EXPECT_EQ(bench.canvas.at(40, 44), vertical.faceColour);
    vertical.value = 0.0f;
    drawIsolated(bench.gui, bench.canvas.dc, vertical);
    EXPECT_EQ(bench.canvas.at(40, 18), vertical.faceColour);
    EXPECT_EQ(bench.canvas.at(40, 44), thumb);
}

TEST(Painter, TogglesShowOnAndOff) {
    PaintBench bench;
    EditorControl toggle = freeControl(Toggle, 0.0f);
    drawIsolated(bench.gui, bench.canvas.dc, toggle);
    EXPECT_EQ(bench.canvas.at(14, 14), brighten(toggle.faceColour, 1.1f));
    EXPECT_GT(bench.canvas.countOther(13, 13, 54, 34, brighten(toggle.faceColour, 1.1f)), 8);
    toggle.value = 1.0f;
    drawIsolated(bench.gui, bench.canvas.dc, toggle);
    EXPECT_EQ(bench.canvas.at(14, 14), brighten(toggle.accentColour, 1.1f));

    EditorControl round = freeControl(RoundToggle, 1.0f);
    round.x = 100;
    round.width = round.height = 40;
    drawIsolated(bench.gui, bench.canvas.dc, round);
    EXPECT_EQ(bench.canvas.at(120, 14), round.accentColour);
    round.value = 0.0f;
    drawIsolated(bench.gui, bench.canvas.dc, round);
    EXPECT_EQ(bench.canvas.at(120, 14), round.faceColour);
    EXPECT_EQ(bench.canvas.at(101, 11), kBackground) << "round, not square";
}

TEST(Painter, StepButtonTextFieldAndPanel) {
    PaintBench bench;
    char caption[] = "Go";
    EditorControl step = freeControl(StepButton, 0.0f);
    step.text = caption;
    drawIsolated(bench.gui, bench.canvas.dc, step);
    EXPECT_EQ(bench.canvas.at(14, 14), brighten(step.faceColour, 1.1f));
    EXPECT_GT(bench.canvas.count(13, 13, 54, 34, step.accentColour), 3);

    EditorControl field = freeControl(TextField, 0.0f);
    field.x = 100;
    field.text = caption;
    drawIsolated(bench.gui, bench.canvas.dc, field);
    EXPECT_EQ(bench.canvas.at(100, 10), 0x555555u);
    EXPECT_EQ(bench.canvas.at(102, 12), field.faceColour);
    bench.gui.selectedControl = &field;
    drawIsolated(bench.gui, bench.canvas.dc, field);
    EXPECT_EQ(bench.canvas.at(100, 10), 0xFF9999u) << "being edited";
    EXPECT_EQ(bench.canvas.at(102, 12), 0xCCCCCCu);
    bench.gui.selectedControl = nullptr;

    EditorControl plain = freeControl(Panel, 0.0f);
    plain.x = 200;
    drawIsolated(bench.gui, bench.canvas.dc, plain);
    EXPECT_EQ(bench.canvas.at(200, 10), plain.faceColour);
    EXPECT_EQ(bench.canvas.at(230, 30), plain.accentColour);
}

TEST(Painter, MeterThumbAndMarksFollowTheValue) {
    PaintBench bench;
    EditorControl meter = freeControl(Meter, 1.0f);
    meter.width = 20;
    meter.height = 90;
    meter.y = 5;
    drawIsolated(bench.gui, bench.canvas.dc, meter);
    // Value 1: thumb at the bottom (thumbTop = 5 + 70), marks 1..8 above it.
    EXPECT_EQ(bench.canvas.at(20, 77), meter.accentColour) << "flat half of the thumb";
    EXPECT_EQ(bench.canvas.at(20, 88), brighten(meter.accentColour, 1.1f)) << "raised half";
    EXPECT_GT(bench.canvas.count(10, 6, 20, 68, 0xCCCCCC), 20) << "rails and marks";

    meter.value = 0.0f;
    drawIsolated(bench.gui, bench.canvas.dc, meter);
    EXPECT_EQ(bench.canvas.at(20, 7), meter.accentColour) << "thumb at the top";
    EXPECT_EQ(bench.canvas.at(20, 60), meter.faceColour);
}

TEST(Painter, GraphPlotsItsValuesAndSurvivesMissingData) {
    PaintBench bench;
    float values[3] = {0.0f, 1.0f, 0.0f};
    GraphData data{0.0f, 1.0f, values, 3};
    EditorControl graph = freeControl(Graph, 0.0f);
    graph.graph = &data;
    drawIsolated(bench.gui, bench.canvas.dc, graph);
    EXPECT_GT(bench.canvas.count(11, 11, 58, 38, graph.accentColour), 30);

    for (GraphData* broken : {static_cast<GraphData*>(nullptr), &data}) {
        PaintBench fresh;
        data.count = 0; // an empty list must not be read
        EditorControl g = freeControl(Graph, 0.0f);
        g.graph = broken;
        drawIsolated(fresh.gui, fresh.canvas.dc, g);
        EXPECT_EQ(fresh.canvas.count(0, 0, 364, 104, g.accentColour), 0);
        EXPECT_EQ(fresh.canvas.at(12, 12), g.faceColour);
    }
}

TEST(Painter, HiddenAndUnknownKindsDrawNothing) {
    PaintBench bench;
    EditorControl unknown = freeControl(12, 0.0f);
    drawIsolated(bench.gui, bench.canvas.dc, unknown);
    EXPECT_EQ(bench.canvas.countOther(0, 0, 364, 104, kBackground), 0);
}

TEST(Painter, NoKindLeavesAGdiObjectBehind) {
    PaintBench bench;
    float values[4] = {0.1f, 0.9f, 0.4f, 0.6f};
    GraphData data{0.0f, 1.0f, values, 4};
    float steps[3] = {0.0f, 0.5f, 1.0f};
    char text[] = "Text";
    std::vector<EditorControl> all;
    for (std::int8_t kind = Meter; kind <= Graph; ++kind) {
        EditorControl c = freeControl(kind, 0.6f);
        c.text = text;
        c.graph = &data;
        c.steps = steps;
        c.dragSpan = 3;
        c.style = StyleBold | StyleItalic;
        all.push_back(c);
    }
    all.push_back(bench.knob(ParamHighPass));
    for (const EditorControl& c : all)
        drawIsolated(bench.gui, bench.canvas.dc, c); // warm-up
    const DWORD before = gdiObjects();
    for (int round = 0; round < 200; ++round)
        for (const EditorControl& c : all)
            drawIsolated(bench.gui, bench.canvas.dc, c);
    EXPECT_EQ(gdiObjects(), before) << "after " << 200 * all.size() << " drawings";
}
