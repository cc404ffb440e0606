// The shared gestures (panel_input) on the panel's control list, without a window, on either
// system: knob drags on the panel's thread while a host thread changes parameters, programs and
// the bank and a third thread reads and clears the dirty marks and repaint requests as a paint
// does, under the writers' lock. The host hears every drag as one balanced gesture, and the
// last drag's value is what it reads. Under ThreadSanitizer (the tsan build) this is where a
// shared field the gestures touch without the lock shows.
#include "editor/control_layout.h"
#include "editor/panel_editor.h"
#include "editor/panel_input.h"
#include "editor/panel_painter.h"
#include "patches/performance_parameters.h"
#include "shell/kel_vst.h"
#include "shell/kel_vst_editor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {
std::mutex heardLock;
std::vector<VstInt32> heard; ///< gesture opcodes the host was told of, in order

VstIntPtr gestureHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterBeginEdit || opcode == audioMasterAutomate ||
        opcode == audioMasterEndEdit) {
        std::lock_guard<std::mutex> lock(heardLock);
        heard.push_back(opcode);
        return 1;
    }
    return opcode == audioMasterVersion ? 2400 : 0;
}

/// Centre of the knob of parameter i, device pixels.
std::pair<int, int> knobCentre(int i) {
    const int x = i < 4 ? 4 + 60 * i : 244 + 60 * (i - 4);
    return {x + 28, 24 + 28};
}

/// Press on the knob of parameter, moves of dy pixels each, release.
void dragKnob(PanelEditor& gui, int parameter, int steps, int dy) {
    const auto [x, y] = knobCentre(parameter);
    pressAt(gui, kMessageLeftButtonDown, x, y);
    for (int step = 1; step <= steps; ++step)
        dragTo(gui, x, y + dy * step, false);
    releaseButton(gui, kMessageLeftButtonUp);
}
} // namespace

TEST(PanelGestures, DragsBesideHostChangesAndPaintsStayBalancedAndExact) {
    auto plugin = std::make_unique<kelVst>(&gestureHost);
    auto* editor = static_cast<kelVstEditor*>(plugin->getEditor());
    ASSERT_NE(editor, nullptr);
    PanelEditor& gui = editor->panelEditor();
    PluginCore& core = plugin->getCore();
    {
        const auto lock = gui.lockShared();
        buildControls(core, gui.panel);
    }
    {
        std::lock_guard<std::mutex> lock(heardLock);
        heard.clear();
    }

    constexpr int kDrags = 200;
    std::atomic<bool> dragging{true};
    std::thread hostThread([&] {
        for (int i = 0; dragging.load(); ++i) {
            plugin->setParameter(i % kParameterCount, static_cast<float>(i % 10) / 10.0f);
            if (i % 16 == 0) plugin->setProgram(i % 8);
            if (i % 32 == 0) {
                void* chunk = nullptr;
                const VstInt32 size = plugin->getChunk(&chunk, true);
                plugin->setChunk(chunk, size, true);
            }
        }
    });
    std::thread paintThread([&] {
        while (dragging.load()) {
            const auto lock = gui.lockShared();
            if (!panelNeedsPaint(core)) continue;
            core.redrawAll = 0;
            for (EditorControl* control = core.controls; control; control = control->next)
                control->dirty = 0;
        }
    });
    for (int i = 0; i < kDrags; ++i)
        dragKnob(gui, i % kParameterCount, 3, i % 2 ? 10 : -10);
    dragging.store(false);
    hostThread.join();
    paintThread.join();

    plugin->setParameter(ParamModulation, 0.0f);
    dragKnob(gui, ParamModulation, 4, -25); // 100 pixels up: half the range
    EXPECT_FLOAT_EQ(plugin->getParameter(ParamModulation), 0.5f);
    EXPECT_FLOAT_EQ(cachedParameter(core, ParamModulation), 0.5f);
    EXPECT_EQ(gui.editedParameter, -1) << "no gesture left open";

    std::lock_guard<std::mutex> lock(heardLock);
    int begun = 0, ended = 0;
    bool open = false;
    for (const VstInt32 opcode : heard) {
        if (opcode == audioMasterBeginEdit) {
            EXPECT_FALSE(open) << "a gesture begins only after the last one ended";
            open = true;
            ++begun;
        } else if (opcode == audioMasterEndEdit) {
            EXPECT_TRUE(open);
            open = false;
            ++ended;
        } else {
            EXPECT_TRUE(open) << "values are reported inside a gesture";
        }
    }
    EXPECT_EQ(begun, kDrags + 1);
    EXPECT_EQ(ended, kDrags + 1);
    // The last drag, alone: each of its four steps changed the value.
    const std::vector<VstInt32> last(heard.end() - std::min<std::size_t>(heard.size(), 6),
                                     heard.end());
    EXPECT_EQ(last, (std::vector<VstInt32>{audioMasterBeginEdit, audioMasterAutomate,
                                           audioMasterAutomate, audioMasterAutomate,
                                           audioMasterAutomate, audioMasterEndEdit}));
}
