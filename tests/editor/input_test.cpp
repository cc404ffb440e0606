// Mouse handling on the panel's control list, driven through the input handler: hit testing,
// knob drags (dominant direction, span, Shift), presses and releases of every kind, the notify
// callback, deselection, and the busy-flag handshake of controlChanged.
#include "editor_fixture.h"

#include "patches/performance_parameters.h"

#include <cstring>
#include <utility>
#include <vector>

using namespace editortest;

namespace {
/// A plug-in with its panel's controls built and no window.
struct InputBench {
    InputBench() : plugin(makePlugin()), gui(guiOf(*plugin)), core(plugin->getCore()) {
        buildControls(core, gui.panel);
    }
    bool send(UINT message, int x, int y) { return handleInput(gui, message, 0, mouseAt(x, y)); }
    /// Press on the knob of parameter, move by (dx, dy) in one step, release.
    void dragKnob(int parameter, int dx, int dy) {
        const POINT c = knobCentre(parameter);
        send(WM_LBUTTONDOWN, c.x, c.y);
        send(WM_MOUSEMOVE, c.x + dx, c.y + dy);
        send(WM_LBUTTONUP, c.x + dx, c.y + dy);
    }
    void setParameter(int index, float v) {
        plugin->setParameter(index, v);
        core.paramCache[index] = parameterNow(*plugin, index);
    }

    std::unique_ptr<kelVst> plugin;
    kelGui& gui;
    PluginCore& core;
};

std::vector<std::pair<int, UINT>> notifications;
void recordNotification(PluginCore*, std::int32_t index, std::uint32_t message) {
    notifications.emplace_back(index, message);
}
} // namespace

TEST(Input, HitTestIncludesRightAndBottomEdges) {
    InputBench bench;
    EXPECT_EQ(hitTest(bench.core, 4, 2), controlAt(bench.core, 0));
    EXPECT_EQ(hitTest(bench.core, 240, 22), controlAt(bench.core, 0)) << "edges belong to the box";
    EXPECT_EQ(hitTest(bench.core, 241, 10), nullptr) << "gap between title and group caption";
    EXPECT_EQ(hitTest(bench.core, 244, 2), controlAt(bench.core, 1));
    EXPECT_EQ(hitTest(bench.core, 60, 80), controlAt(bench.core, 2)) << "knob's corner";
    EXPECT_EQ(hitTest(bench.core, 60, 81), nullptr);
    EXPECT_EQ(hitTest(bench.core, 304, 102), controlAt(bench.core, 13));
    EXPECT_EQ(hitTest(bench.core, 2, 50), nullptr);
    EXPECT_EQ(hitTest(bench.core, -5, -5), nullptr);
}

TEST(Input, KnobDragUpAndRightTurnsByTravelOverSpan) {
    InputBench bench;
    bench.setParameter(ParamWindow, 0.0f);
    bench.dragKnob(ParamWindow, 0, -100);
    EXPECT_EQ(bench.core.paramCache[ParamWindow], 0.5f);
    EXPECT_EQ(bench.core.engine->patch->window, 50) << "the parameter itself was set";
    EXPECT_EQ(parameterNow(*bench.plugin, ParamWindow), 0.5f);

    bench.dragKnob(ParamWindow, 60, 0);
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamWindow], 0.8f);
    bench.dragKnob(ParamWindow, 0, 100);
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamWindow], 0.3f) << "down turns back";
}

TEST(Input, OnlyTheDominantDirectionCounts) {
    InputBench bench;
    bench.setParameter(ParamLowPass, 0.5f);
    const float start = bench.core.paramCache[ParamLowPass];
    bench.dragKnob(ParamLowPass, 10, 20); // 10 right, 20 down: -20
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamLowPass], start - 0.1f);
    bench.dragKnob(ParamLowPass, -30, -10); // 30 left, 10 up: -30
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamLowPass], start - 0.25f);
    bench.dragKnob(ParamLowPass, -10, -10); // a tie goes to the horizontal: -10
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamLowPass], start - 0.3f);
}

TEST(Input, DragStepsAreRelativeToTheLastMousePosition) {
    InputBench bench;
    bench.setParameter(ParamModulation, 0.0f);
    const POINT c = knobCentre(ParamModulation);
    bench.send(WM_LBUTTONDOWN, c.x, c.y);
    for (int step = 1; step <= 10; ++step)
        bench.send(WM_MOUSEMOVE, c.x, c.y - 10 * step);
    bench.send(WM_LBUTTONUP, c.x, c.y - 100);
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamModulation], 0.5f);
    EXPECT_EQ(bench.core.engine->patch->modulation, 50);
}

TEST(Input, ShiftMakesTheDragFiveTimesFiner) {
    InputBench bench;
    bench.setParameter(ParamWindow, 0.0f);
    {
        ShiftHeld shift;
        ASSERT_LT(GetKeyState(VK_SHIFT), 0) << "this thread's keyboard state has Shift down";
        bench.dragKnob(ParamWindow, 0, -100);
    }
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamWindow], 0.1f);
    EXPECT_EQ(bench.core.engine->patch->window, 10);
    bench.dragKnob(ParamWindow, 0, -100);
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamWindow], 0.6f) << "Shift released again";
}

TEST(Input, ValuesClampWithoutADeadZone) {
    InputBench bench;
    bench.setParameter(ParamSustain, 0.9f);
    const POINT c = knobCentre(ParamSustain);
    bench.send(WM_LBUTTONDOWN, c.x, c.y);
    bench.send(WM_MOUSEMOVE, c.x + 150, c.y);
    EXPECT_EQ(bench.core.paramCache[ParamSustain], 1.0f);
    bench.send(WM_MOUSEMOVE, c.x + 250, c.y);
    EXPECT_EQ(bench.core.paramCache[ParamSustain], 1.0f);
    bench.send(WM_MOUSEMOVE, c.x + 230, c.y); // back 20 pixels: changes at once
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamSustain], 0.9f);
    bench.send(WM_MOUSEMOVE, c.x - 400, c.y);
    EXPECT_EQ(bench.core.paramCache[ParamSustain], 0.0f);
    bench.send(WM_LBUTTONUP, c.x - 400, c.y);
    EXPECT_EQ(bench.core.engine->patch->sustain, -99);
}

TEST(Input, PressOnAKnobStartsADragWithoutChangingIt) {
    InputBench bench;
    bench.setParameter(ParamHighPass, 0.25f);
    const float before = bench.core.paramCache[ParamHighPass];
    const POINT c = knobCentre(ParamHighPass);
    EXPECT_FALSE(bench.send(WM_LBUTTONDOWN, c.x, c.y)) << "left to default processing";
    EXPECT_EQ(bench.gui.dragControl, controlAt(bench.core, 10));
    EXPECT_EQ(bench.gui.selectedControl, controlAt(bench.core, 10));
    EXPECT_EQ(bench.core.paramCache[ParamHighPass], before);
    EXPECT_FALSE(bench.send(WM_LBUTTONUP, c.x, c.y));
    EXPECT_EQ(bench.gui.dragControl, nullptr);
    EXPECT_EQ(bench.gui.selectedControl, controlAt(bench.core, 10)) << "stays selected";

    EXPECT_TRUE(bench.send(WM_MOUSEMOVE, c.x + 50, c.y)) << "no drag: handled, nothing moves";
    EXPECT_EQ(bench.core.paramCache[ParamHighPass], before);
    EXPECT_TRUE(bench.send(WM_LBUTTONUP, c.x, c.y)) << "release without a press";
}

TEST(Input, OtherMessagesAreLeftToDefaultProcessing) {
    InputBench bench;
    const POINT c = knobCentre(ParamWindow);
    for (UINT message : {WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MBUTTONDOWN, WM_MOUSEWHEEL,
                         WM_KEYDOWN, WM_CHAR, WM_TIMER}) {
        EXPECT_FALSE(bench.send(message, c.x, c.y)) << message;
        EXPECT_EQ(bench.gui.dragControl, nullptr) << message;
    }
}

TEST(Input, ARightButtonDragTurnsToo) {
    InputBench bench;
    bench.setParameter(ParamAttack, 0.0f);
    const POINT c = knobCentre(ParamAttack);
    bench.send(WM_RBUTTONDOWN, c.x, c.y);
    bench.send(WM_MOUSEMOVE, c.x, c.y - 40);
    bench.send(WM_RBUTTONUP, c.x, c.y - 40);
    EXPECT_FLOAT_EQ(bench.core.paramCache[ParamAttack], 0.2f);
    EXPECT_EQ(bench.gui.dragControl, nullptr);
}

TEST(Input, DeselectionAppliesTheCachedValueAgain) {
    InputBench bench;
    bench.dragKnob(ParamModulation, 0, -60); // selected, cache 0.3 + start
    const float cached = bench.core.paramCache[ParamModulation];
    const std::int8_t shown = bench.core.engine->patch->modulation;
    bench.core.engine->patch->modulation = 3; // as MIDI controller 20 does, cache untouched
    bench.send(WM_LBUTTONDOWN, 2, 50);        // a press on no control deselects the knob
    EXPECT_EQ(bench.core.engine->patch->modulation, shown);
    EXPECT_EQ(bench.core.paramCache[ParamModulation], cached);
    EXPECT_EQ(bench.gui.selectedControl, nullptr);
    bench.core.engine->patch->modulation = 3;
    bench.send(WM_LBUTTONDOWN, 2, 50); // nothing selected any more: nothing applied
    EXPECT_EQ(bench.core.engine->patch->modulation, 3);
}

TEST(Input, ChangesMarkEveryControlOfTheParameterDirty) {
    InputBench bench;
    for (EditorControl* c = bench.core.controls; c; c = c->next)
        c->dirty = 0;
    bench.dragKnob(ParamWindow, 0, -10);
    int dirty = 0;
    for (EditorControl* c = bench.core.controls; c; c = c->next) {
        if (c->paramIndex == ParamWindow) {
            EXPECT_EQ(c->dirty, 1);
        }
        dirty += c->dirty;
    }
    EXPECT_EQ(dirty, 8) << "knob 0, the group caption and the six knob captions";
    for (EditorControl* c = bench.core.controls; c; c = c->next)
        c->dirty = 0;
    bench.dragKnob(ParamLowPass, 0, -10);
    EXPECT_EQ(controlAt(bench.core, 12)->dirty, 1);
    EXPECT_EQ(controlAt(bench.core, 4)->dirty, 0) << "another parameter's knob";
}

TEST(Input, TitleReportsPressesAndReleasesToTheFileCallback) {
    InputBench bench;
    notifications.clear();
    bench.core.fileCallback = &recordNotification;
    EXPECT_FALSE(bench.send(WM_LBUTTONDOWN, 100, 10));
    EXPECT_FALSE(bench.send(WM_MOUSEMOVE, 150, 60)) << "labels are not dragged";
    EXPECT_FALSE(bench.send(WM_LBUTTONUP, 300, 90)) << "released away from the title";
    bench.send(WM_RBUTTONDOWN, 20, 5);
    bench.send(WM_RBUTTONUP, 20, 5);
    const POINT c = knobCentre(ParamWindow);
    bench.send(WM_LBUTTONDOWN, c.x, c.y); // knobs do not notify
    bench.send(WM_LBUTTONUP, c.x, c.y);
    const std::vector<std::pair<int, UINT>> expected = {
        {100, WM_LBUTTONDOWN}, {100, WM_LBUTTONUP}, {100, WM_RBUTTONDOWN}, {100, WM_RBUTTONUP}};
    EXPECT_EQ(notifications, expected);

    notifications.clear();
    bench.core.fileCallback = nullptr;
    bench.send(WM_LBUTTONDOWN, 100, 10);
    bench.send(WM_LBUTTONUP, 100, 10);
    EXPECT_TRUE(notifications.empty());
}

TEST(Input, StepButtonsCycleAndWrap) {
    InputBench bench;
    float steps[3] = {0.0f, 0.5f, 1.0f};
    EditorControl button{};
    button.kind = StepButton;
    button.x = 10;
    button.y = 10;
    button.width = 20;
    button.height = 20;
    button.paramIndex = 100;
    button.steps = steps;
    button.dragSpan = 3;
    bench.core.controls = &button;
    EXPECT_TRUE(bench.send(WM_LBUTTONDOWN, 15, 15));
    EXPECT_EQ(button.value, 0.5f);
    EXPECT_TRUE(bench.send(WM_LBUTTONUP, 15, 15));
    EXPECT_EQ(button.value, 0.5f);
    bench.send(WM_LBUTTONDOWN, 15, 15);
    bench.send(WM_LBUTTONDOWN, 15, 15);
    EXPECT_EQ(button.value, 0.0f) << "left at the last step wraps to the first";
    bench.send(WM_RBUTTONDOWN, 15, 15);
    EXPECT_EQ(button.value, 1.0f) << "right at the first step wraps to the last";
    button.value = 0.3f;
    bench.send(WM_LBUTTONDOWN, 15, 15);
    EXPECT_EQ(button.value, 0.0f) << "a value not in the list: left goes to the first";
    button.value = 0.3f;
    bench.send(WM_RBUTTONDOWN, 15, 15);
    EXPECT_EQ(button.value, 1.0f) << "right goes to the last";
    button.steps = nullptr;
    button.value = 0.3f;
    bench.send(WM_LBUTTONDOWN, 15, 15);
    EXPECT_EQ(button.value, 0.3f) << "without a list the value stays";
    button.steps = steps;
    button.dragSpan = 0; // no entries: nothing to read
    bench.send(WM_LBUTTONDOWN, 15, 15);
    EXPECT_EQ(button.value, 0.3f);
    bench.core.controls = nullptr;
}

TEST(Input, TogglesSlidersAndMeters) {
    InputBench bench;
    EditorControl toggle{}, hslider{}, vslider{}, meter{};
    for (EditorControl* c : {&toggle, &hslider, &vslider, &meter})
        c->paramIndex = -1;
    toggle.kind = Toggle;
    toggle.x = 0, toggle.y = 0, toggle.width = 20, toggle.height = 20;
    hslider.kind = HSlider;
    hslider.x = 30, hslider.y = 0, hslider.width = 116, hslider.height = 16; // travel 100
    vslider.kind = VSlider;
    vslider.x = 0, vslider.y = 30, vslider.width = 16, vslider.height = 66; // travel 50
    meter.kind = Meter;
    meter.x = 200, meter.y = 0, meter.width = 20, meter.height = 120; // travel 100
    toggle.next = &hslider;
    hslider.next = &vslider;
    vslider.next = &meter;
    bench.core.controls = &toggle;

    bench.send(WM_LBUTTONDOWN, 5, 5);
    EXPECT_EQ(toggle.value, 1.0f);
    bench.send(WM_MOUSEMOVE, 8, 8);
    bench.send(WM_LBUTTONUP, 8, 8);
    EXPECT_EQ(toggle.value, 1.0f) << "a release does not toggle again";
    bench.send(WM_LBUTTONDOWN, 5, 5);
    EXPECT_EQ(toggle.value, 0.0f);
    bench.send(WM_LBUTTONUP, 5, 5);

    bench.send(WM_LBUTTONDOWN, 30 + 8 + 25, 5); // absolute: a quarter of the travel
    EXPECT_FLOAT_EQ(hslider.value, 0.25f);
    bench.send(WM_MOUSEMOVE, 30 + 8 + 75, 40); // relative: +50 of 100
    EXPECT_FLOAT_EQ(hslider.value, 0.75f);
    bench.send(WM_LBUTTONUP, 0, 0);

    bench.send(WM_LBUTTONDOWN, 5, 30 + 66 - 8 - 10); // 10 above the bottom of 50
    EXPECT_FLOAT_EQ(vslider.value, 0.2f);
    {
        ShiftHeld shift;
        bench.send(WM_MOUSEMOVE, 5, 30 + 66 - 8 - 60); // 50 up, fine: +0.2
    }
    EXPECT_FLOAT_EQ(vslider.value, 0.4f);
    bench.send(WM_LBUTTONUP, 0, 0);

    EXPECT_FALSE(bench.send(WM_LBUTTONDOWN, 210, 10)) << "a meter only moves when dragged";
    bench.send(WM_MOUSEMOVE, 210, 40); // absolute: (y - width / 2 - top) / (height - width)
    EXPECT_FLOAT_EQ(meter.value, 0.3f);
    bench.send(WM_MOUSEMOVE, 500, 100);
    EXPECT_FLOAT_EQ(meter.value, 0.9f);
    bench.send(WM_LBUTTONUP, 0, 0);
    bench.core.controls = nullptr;
}

TEST(Input, ControlChangedNeverWaitsForTheAudioThread) {
    InputBench bench;
    bench.setParameter(ParamWindow, 0.0f);
    BusyFlags& busy = bench.plugin->getBusyFlags();
    busy.engineBusy.store(1); // the audio thread is inside a processing call, and stays there
    controlChanged(bench.gui, *controlAt(bench.core, 2), 0.5f);
    EXPECT_EQ(bench.core.engine->patch->window, 50);
    busy.engineBusy.store(0);
    // The audio thread takes the change at its next call.
    float left[16], right[16];
    float* outputs[2] = {left, right};
    bench.plugin->processReplacing(nullptr, outputs, 16);
    EXPECT_EQ(bench.plugin->audioEngine().patch->window, 50);
    EXPECT_EQ(std::memcmp(bench.plugin->audioEngine().carrierTable.get(),
                          bench.core.engine->carrierTable.get(),
                          sizeof(float) * static_cast<std::size_t>(bench.core.engine->tableLength)),
              0);
}

TEST(Input, ControlChangedOutsideTheUnitRangeReappliesTheCache) {
    InputBench bench;
    bench.core.paramCache[ParamLowPass] = 1.0f;
    controlChanged(bench.gui, *controlAt(bench.core, 12), 2.0f);
    EXPECT_EQ(bench.core.paramCache[ParamLowPass], 1.0f);
    EXPECT_EQ(bench.core.engine->lpf.frequency, 20000.0f);
    controlChanged(bench.gui, *controlAt(bench.core, 12), -0.5f);
    EXPECT_EQ(bench.core.engine->lpf.frequency, 20000.0f);
    controlChanged(bench.gui, *controlAt(bench.core, 12), 0.0f);
    EXPECT_EQ(bench.core.engine->lpf.frequency, 2000.0f);
    EXPECT_EQ(bench.core.paramCache[ParamLowPass], 0.0f);
}
