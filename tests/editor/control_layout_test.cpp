// The panel's control list: the 14 records in list order with their geometry, colours and
// bindings, the refreshed parameter cache, and the append operation.
#include "editor_fixture.h"

#include "patches/performance_parameters.h"

#include <string>

using namespace editortest;

namespace {
struct Expected {
    std::int8_t kind;
    const char* text; // null: no text
    int x, y, width, height;
    std::uint32_t face, accent;
    int paramIndex;
    int dragSpan;
};

const Expected kPanel[kPanelControlCount] = {
    {Label, "kelvar(Quarnel)", 4, 2, 236, 20, 0xBBBBBB, 0x553333, 100, 1},
    {Label, "Filter", 244, 2, 116, 20, 0xBBBBBB, 0x553333, 0, 1},
    {Knob, nullptr, 4, 24, 56, 56, 0x5555FF, 0x080855, 0, 200},
    {Label, "Window", 4, 82, 56, 20, 0xBBBBBB, 0x553333, 0, 0},
    {Knob, nullptr, 64, 24, 56, 56, 0xFF5555, 0x550808, 1, 200},
    {Label, "Mod.", 64, 82, 56, 20, 0xBBBBBB, 0x553333, 0, 0},
    {Knob, nullptr, 124, 24, 56, 56, 0xAAAA55, 0x084408, 2, 200},
    {Label, "Atack", 124, 82, 56, 20, 0xBBBBBB, 0x553333, 0, 0},
    {Knob, nullptr, 184, 24, 56, 56, 0xAAAA55, 0x084408, 3, 200},
    {Label, "Sustain", 184, 82, 56, 20, 0xBBBBBB, 0x553333, 0, 0},
    {Knob, nullptr, 244, 24, 56, 56, 0x5555FF, 0x080855, 4, 200},
    {Label, "HP", 244, 82, 56, 20, 0xBBBBBB, 0x553333, 0, 0},
    {Knob, nullptr, 304, 24, 56, 56, 0x5555FF, 0x080855, 5, 200},
    {Label, "LP", 304, 82, 56, 20, 0xBBBBBB, 0x553333, 0, 0},
};

bool boxesMeet(const EditorControl& a, const EditorControl& b) {
    // Right and bottom edges count as inside (the hit test includes them).
    return a.x <= b.x + b.width && b.x <= a.x + a.width && a.y <= b.y + b.height &&
           b.y <= a.y + a.height;
}
} // namespace

TEST(ControlLayout, FourteenControlsInListOrder) {
    auto plugin = makePlugin();
    PluginCore& core = plugin->getCore();
    kelGui& gui = guiOf(*plugin);
    ASSERT_EQ(core.controls, nullptr) << "the list is built at the first open, not before";
    buildControls(core, gui.panel);

    EXPECT_EQ(core.outlineColour, 0x555555u);
    EXPECT_EQ(core.backgroundColour, 0x888888u);
    int n = 0;
    for (const EditorControl* c = core.controls; c; c = c->next, ++n) {
        ASSERT_LT(n, kPanelControlCount);
        const Expected& e = kPanel[n];
        SCOPED_TRACE("control " + std::to_string(n + 1));
        EXPECT_EQ(c->kind, e.kind);
        if (e.text) {
            ASSERT_NE(c->text, nullptr);
            EXPECT_STREQ(c->text, e.text);
        } else {
            EXPECT_EQ(c->text, nullptr);
        }
        EXPECT_EQ(c->x, e.x);
        EXPECT_EQ(c->y, e.y);
        EXPECT_EQ(c->width, e.width);
        EXPECT_EQ(c->height, e.height);
        EXPECT_EQ(c->faceColour, e.face);
        EXPECT_EQ(c->accentColour, e.accent);
        EXPECT_EQ(c->paramIndex, e.paramIndex);
        EXPECT_EQ(c->dragSpan, e.dragSpan);
        EXPECT_EQ(c->fontSize, 16);
        EXPECT_EQ(c->dirty, 1);
        EXPECT_EQ(c->style, n == 0 ? StyleNotify : 0u);
        EXPECT_EQ(c->value, 0.0f);
        EXPECT_EQ(c->steps, nullptr);
        EXPECT_EQ(c->graph, nullptr);
        // The records live in the editor object, as long as it does.
        EXPECT_TRUE(c >= gui.panel.records && c < gui.panel.records + kPanelControlCount);
    }
    EXPECT_EQ(n, kPanelControlCount);
}

TEST(ControlLayout, NoTwoBoxesMeetAndAllFitThePanel) {
    auto plugin = makePlugin();
    PluginCore& core = plugin->getCore();
    buildControls(core, guiOf(*plugin).panel);
    for (const EditorControl* a = core.controls; a; a = a->next) {
        EXPECT_GE(a->x, 1);
        EXPECT_GE(a->y, 1);
        EXPECT_LT(a->x + a->width, core.editorWidth - 1);
        EXPECT_LT(a->y + a->height, core.editorHeight - 1);
        for (const EditorControl* b = a->next; b; b = b->next)
            EXPECT_FALSE(boxesMeet(*a, *b))
                << a->x << "," << a->y << " and " << b->x << "," << b->y;
    }
}

TEST(ControlLayout, BuildingRefreshesTheParameterCache) {
    auto plugin = makePlugin();
    PluginCore& core = plugin->getCore();
    plugin->setProgram(3);
    plugin->setParameter(ParamWindow, 0.25f);
    plugin->setParameter(ParamLowPass, 1.0f);
    for (int i = 0; i < core.numParams; ++i)
        core.paramCache[i] = -1.0f;
    buildControls(core, guiOf(*plugin).panel);
    for (int i = 0; i < core.numParams; ++i)
        EXPECT_EQ(core.paramCache[i], parameterNow(*plugin, i)) << "parameter " << i;
    EXPECT_FLOAT_EQ(core.paramCache[ParamWindow], 0.25f);
    EXPECT_EQ(core.paramCache[ParamLowPass], 1.0f);
}

TEST(ControlLayout, AppendLinksAtTheTailAndMarksDirty) {
    auto plugin = makePlugin();
    PluginCore& core = plugin->getCore();
    EditorControl first{}, second{}, unbound{};
    first.paramIndex = ParamSustain;
    second.paramIndex = ParamHighPass;
    second.next = &first; // stale link: append must end the list here
    unbound.paramIndex = 7;
    plugin->setParameter(ParamSustain, 0.5f);
    plugin->setParameter(ParamHighPass, 1.0f);
    core.paramCache[ParamSustain] = core.paramCache[ParamHighPass] = -1.0f;

    appendControl(core, first);
    EXPECT_EQ(core.controls, &first);
    appendControl(core, second);
    appendControl(core, unbound);
    EXPECT_EQ(first.next, &second);
    EXPECT_EQ(second.next, &unbound);
    EXPECT_EQ(unbound.next, nullptr);
    EXPECT_EQ(first.dirty + second.dirty + unbound.dirty, 3);
    EXPECT_EQ(core.paramCache[ParamSustain], parameterNow(*plugin, ParamSustain));
    EXPECT_EQ(core.paramCache[ParamHighPass], 1.0f);
    core.controls = nullptr;
}

TEST(ControlLayout, GeometryScalesAndNeverCollapses) {
    EditorControl control{};
    control.x = 10;
    control.y = 7;
    control.width = 3;
    control.height = 1;
    ControlBox box = controlBox(control, 1.5f);
    EXPECT_EQ(box.left, 15);
    EXPECT_EQ(box.top, 10);
    EXPECT_EQ(box.width, 4);
    EXPECT_EQ(box.height, 1);
    box = controlBox(control, 0.25f);
    EXPECT_EQ(box.width, 1) << "a box is at least one pixel wide";
    EXPECT_EQ(box.height, 1);
    EXPECT_EQ(scaledPixels(364, 1.0f), 364);
}
