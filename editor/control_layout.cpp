// The panel's control list: the builder that lays out the title, the group caption and the six
// knobs with their captions, and the append operation that links a record into the list.
#include "editor/control_layout.h"

#include "patches/float_to_int.h"
#include "patches/performance_parameters.h"
#include "instrument/plugin_core.h"

#include <cstdio>
#include <cstring>

namespace {
/// Text height of every panel control, unscaled pixels.
constexpr std::uint8_t kPanelFontSize = 16;
/// Title box: the effect name, the only control that reports to the file callback.
constexpr std::int32_t kTitleX = 4;
constexpr std::int32_t kTitleY = 2;
constexpr std::int32_t kTitleWidth = 236;
constexpr std::int32_t kCaptionHeight = 20; ///< title, group caption and knob captions
/// Group caption over the two filter knobs.
constexpr std::int32_t kGroupWidth = 116;
/// Gap between neighbouring boxes in a row, pixels.
constexpr std::int32_t kRowGap = 4;
/// Knob boxes are square.
constexpr std::int32_t kKnobSize = 56;
/// Vertical offset of the knob row below the title row.
constexpr std::int32_t kKnobRowOffset = 22;
/// Vertical offset of a knob's caption below the knob's top.
constexpr std::int32_t kKnobCaptionOffset = 58;
/// Mouse travel for a knob's full range, pixels.
constexpr std::int32_t kKnobDragSpan = 200;
/// A label's dragSpan, one step (unused by labels).
constexpr std::int32_t kLabelDragSpan = 1;
/// The first filter knob starts the second group, under the group caption.
constexpr int kFirstFilterKnob = ParamHighPass;

struct KnobLook {
    const char* caption;
    std::uint32_t face;
    std::uint32_t accent;
};

constexpr KnobLook kKnobLooks[kParameterCount] = {
    {"Window", kRedFace, kRedAccent},   {"Mod.", kBlueFace, kBlueAccent},
    {"Atack", kTealFace, kGreenAccent}, {"Sustain", kTealFace, kGreenAccent},
    {"HP", kRedFace, kRedAccent},       {"LP", kRedFace, kRedAccent},
};

/// A label record with the panel's caption colours, its text copied into text.
void makeCaption(EditorControl& control, char* text, const char* caption, std::int32_t x,
                 std::int32_t y, std::int32_t width) {
    std::snprintf(text, kControlTextCapacity, "%s", caption ? caption : "");
    control.kind = Label;
    control.fontSize = kPanelFontSize;
    control.text = text;
    control.x = x;
    control.y = y;
    control.width = width;
    control.height = kCaptionHeight;
    control.faceColour = kCaptionFace;
    control.accentColour = kCaptionText;
}
} // namespace

std::int32_t scaledPixels(std::int32_t pixels, float scale) {
    return truncateToInt(static_cast<float>(pixels) * scale);
}

ControlBox controlBox(const EditorControl& control, float scale) {
    ControlBox box{scaledPixels(control.x, scale), scaledPixels(control.y, scale),
                   scaledPixels(control.width, scale), scaledPixels(control.height, scale)};
    if (box.width == 0) box.width = 1;
    if (box.height == 0) box.height = 1;
    return box;
}

bool isBound(const PluginCore& core, const EditorControl& control) {
    return control.paramIndex >= 0 && control.paramIndex < core.numParams;
}

float shownValue(const PluginCore& core, const EditorControl& control) {
    if (isBound(core, control) && core.paramCache) return cachedParameter(core, control.paramIndex);
    return control.value;
}

void appendControl(PluginCore& core, EditorControl& control) {
    EditorControl** link = &core.controls;
    while (*link)
        link = &(*link)->next;
    *link = &control;
    if (isBound(core, control) && core.engine && core.paramCache) {
        char display[64];
        storeCachedParameter(
            core, control.paramIndex,
            describePerformanceParameter(*core.engine, control.paramIndex, display));
    }
    control.dirty = 1;
    control.next = nullptr;
}

void buildControls(PluginCore& core, PanelControls& panel) {
    std::memset(&panel, 0, sizeof(panel));
    core.outlineColour = kOutlineColour;
    core.backgroundColour = kBackgroundColour;

    int next = 0;
    EditorControl& title = panel.records[next];
    makeCaption(title, panel.texts[next], core.names ? core.names[NameEffect] : "", kTitleX,
                kTitleY, kTitleWidth);
    title.style = StyleNotify;
    title.paramIndex = kTitleControlIndex;
    title.dragSpan = kLabelDragSpan;
    appendControl(core, title);
    ++next;

    EditorControl& group = panel.records[next];
    makeCaption(group, panel.texts[next], "Filter", title.x + title.width + kRowGap, title.y,
                kGroupWidth);
    group.dragSpan = kLabelDragSpan;
    appendControl(core, group);
    ++next;

    const EditorControl* previousKnob = nullptr;
    for (int i = 0; i < kParameterCount; ++i) {
        EditorControl& knob = panel.records[next++];
        knob.kind = Knob;
        knob.fontSize = kPanelFontSize;
        knob.width = kKnobSize;
        knob.height = kKnobSize;
        knob.dragSpan = kKnobDragSpan;
        knob.paramIndex = i;
        knob.faceColour = kKnobLooks[i].face;
        knob.accentColour = kKnobLooks[i].accent;
        if (i == 0) {
            knob.x = title.x;
            knob.y = title.y + kKnobRowOffset;
        } else if (i == kFirstFilterKnob) {
            knob.x = group.x;
            knob.y = group.y + kKnobRowOffset;
        } else {
            knob.x = previousKnob->x + previousKnob->width + kRowGap;
            knob.y = previousKnob->y;
        }
        appendControl(core, knob);
        previousKnob = &knob;

        EditorControl& caption = panel.records[next];
        makeCaption(caption, panel.texts[next], kKnobLooks[i].caption, knob.x,
                    knob.y + kKnobCaptionOffset, kKnobSize);
        ++next;
        appendControl(core, caption);
    }
}
