// Painting the panel on any drawing surface: the full and incremental repaints, the drawing of
// every control kind, and the text, raised-box, round-face and colour helpers. The window
// system's side supplies the surface (PanelCanvas) and copies the result to the screen.
#include "editor/panel_painter.h"

#include "editor/control_layout.h"
#include "editor/panel_editor.h"
#include "patches/float_to_int.h"
#include "patches/performance_parameters.h"
#include "instrument/plugin_core.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
/// Thumb size of sliders, unscaled pixels.
constexpr std::int32_t kThumbSize = 16;

/// Knob geometry: track pen width as a share of the knob's width, with a lower limit.
constexpr float kKnobPenShare = 0.12f;
constexpr int kKnobMinPen = 3;
/// Colour of a knob's grey track.
constexpr std::uint32_t kKnobTrackColour = 0x555555;
/// Start of the track, about 39 degrees below the right horizontal (cos, sin of the angle).
constexpr float kTrackStartX = 0.70710665f;
constexpr float kTrackStartY = 0.57357657f;
/// End of the track and zero position, 45 degrees below the left horizontal.
constexpr float kTrackEndX = 0.7071068f;
constexpr float kTrackEndY = 0.7071067f;
/// Knob angle for value 0 and the sweep over the full range, degrees.
constexpr float kKnobZeroDegrees = 225.0f;
constexpr float kKnobSweepDegrees = 270.0f;
/// Degrees to radians, applied in double precision.
constexpr double kRadiansPerDegree = 0.017453292519943295;
/// Pointer line: from half the face's width in to 1.5 pen widths inside the knob's half width.
constexpr float kPointerOuterShare = 0.5f;
constexpr float kPointerInsetPens = 1.5f;

/// Rim shading factors of raised boxes and round faces.
constexpr float kHighlight = 1.3f;
constexpr float kShadow = 0.8f;
constexpr float kRaisedFace = 1.1f;
/// Round-face rim arcs: highlight from 45 to 195 degrees, shadow from 225 to 375 degrees.
constexpr float kRimHighlightStartX = 0.70710677f;
constexpr float kRimHighlightStartY = 0.70710677f;
constexpr float kRimHighlightEndX = 0.9659258f;
constexpr float kRimHighlightEndY = 0.25881907f;
constexpr float kRimShadowStartX = 0.7071068f;
constexpr float kRimShadowStartY = 0.7071067f;
constexpr float kRimShadowEndX = 0.9659258f;
constexpr float kRimShadowEndY = 0.25881904f;

/// Meter: rail width as a share of the meter's width, mark spacing and mark font.
constexpr float kMeterRailShare = 0.15f;
constexpr int kMeterMarkSteps = 8;
constexpr float kMeterMarkFontShare = 0.8f;
constexpr float kMeterMarkOffsetShare = 0.9f;
constexpr float kMeterMarkCount = 8.9f; ///< marks shown at value 1 (trunc gives 8)
constexpr float kMeterCapShare = 0.5f;  ///< upper half of the thumb is flat
constexpr std::uint32_t kMeterGroove = 0x333333;
constexpr std::uint32_t kMeterLight = 0xCCCCCC;

/// TextField colours while it is being edited.
constexpr std::uint32_t kEditingOutline = 0xFF9999;
constexpr std::uint32_t kEditingFace = 0xCCCCCC;

/// Room for a parameter's display text.
constexpr int kDisplayTextLength = 64;

int trunc(float x) {
    return truncateToInt(x);
}

/// The display text of parameter index into text (empty when the engine is gone).
void parameterText(const PluginCore& core, int index, char (&text)[kDisplayTextLength]) {
    text[0] = 0;
    if (core.engine) describePerformanceParameter(*core.engine, index, text);
}

void drawKnob(const PanelEditor& gui, PanelCanvas& canvas, const EditorControl& control,
              const ControlBox& box, int font, float v) {
    const PluginCore& core = *gui.core;
    const int L = box.left, T = box.top, Wc = box.width, Hc = box.height;
    const int half = Wc / 2;
    const int cx = L + half;
    const int cy = T + half;
    int pw = trunc(static_cast<float>(Wc) * kKnobPenShare);
    if (pw < kKnobMinPen) pw = kKnobMinPen;

    const int hp = pw / 2;
    const int left = L + hp + 1, top = T + hp + 1, right = L + Wc - hp - 1,
              bottom = T + Hc - hp - 1;
    const float fw = static_cast<float>(Wc);
    const int startX = trunc(static_cast<float>(cx) + kTrackStartX * fw);
    const int startY = trunc(static_cast<float>(cy) + kTrackStartY * fw);
    const int endX = trunc(static_cast<float>(cx) - kTrackEndX * fw);
    const int endY = trunc(static_cast<float>(cy) + kTrackEndY * fw);
    canvas.setPen(pw, kKnobTrackColour);
    canvas.arc(left, top, right, bottom, startX, startY, endX, endY);

    const float degrees = kKnobZeroDegrees - kKnobSweepDegrees * v;
    const auto radians = static_cast<float>(static_cast<double>(degrees) * kRadiansPerDegree);
    const float cosA = std::cos(radians);
    const float sinA = std::sin(radians);
    const int valueX = trunc(fw * cosA + static_cast<float>(cx));
    const int valueY = trunc(static_cast<float>(cy) - fw * sinA);
    canvas.setPen(pw, control.accentColour);
    if (valueX != endX || valueY != endY)
        canvas.arc(left, top, right, bottom, valueX, valueY, endX, endY);

    drawRoundFace(canvas, core, L + pw, T + pw, L + Wc - pw, T + Wc - pw, control.faceColour);

    canvas.setPen(pw, brighten(control.faceColour, kHighlight));
    const float outer = static_cast<float>(Wc - pw) * kPointerOuterShare;
    const float inner = static_cast<float>(half) - kPointerInsetPens * static_cast<float>(pw);
    canvas.moveTo(trunc(outer * cosA + static_cast<float>(cx)),
                  trunc(static_cast<float>(cy) - outer * sinA));
    canvas.lineTo(trunc(inner * cosA + static_cast<float>(cx)),
                  trunc(static_cast<float>(cy) - inner * sinA));

    if (control.fontSize == 0) return;
    canvas.setFont(font, control.style);
    if (isBound(core, control)) {
        char text[kDisplayTextLength];
        parameterText(core, control.paramIndex, text);
        drawCentredText(canvas, L, T, Wc, Hc, text, control.accentColour);
    } else {
        drawCentredText(canvas, L, T, Wc, Hc, control.text, control.accentColour);
    }
}

void drawLabel(const PanelEditor& gui, PanelCanvas& canvas, const EditorControl& control,
               const ControlBox& box, int font) {
    const PluginCore& core = *gui.core;
    canvas.setPen(1, core.outlineColour);
    canvas.setBrush(control.faceColour);
    canvas.rectangle(box.left, box.top, box.left + box.width, box.top + box.height);
    canvas.setFont(font, control.style);
    if (control.text) {
        drawCentredText(canvas, box.left, box.top, box.width, box.height, control.text,
                        control.accentColour);
    } else if (control.paramIndex >= 1 && control.paramIndex < core.numParams) {
        char text[kDisplayTextLength];
        parameterText(core, control.paramIndex, text);
        drawCentredText(canvas, box.left, box.top, box.width, box.height, text,
                        control.accentColour);
    }
}

void drawMeter(const PanelEditor& gui, PanelCanvas& canvas, const EditorControl& control,
               const ControlBox& box, float v) {
    const PluginCore& core = *gui.core;
    const int L = box.left, T = box.top, Wc = box.width, Hc = box.height;
    const int thumbTop = trunc(static_cast<float>(Hc - Wc) * v + static_cast<float>(T));
    const int rail = trunc(static_cast<float>(Wc) * kMeterRailShare);
    const int cap = trunc(kMeterCapShare * static_cast<float>(Wc));
    canvas.setPen(1, core.outlineColour);
    canvas.setBrush(control.faceColour);
    canvas.rectangle(L, T, L + Wc, T + Hc);
    canvas.setBrush(kMeterGroove);
    canvas.rectangle(L + 2 * rail, T, L + Wc - 2 * rail, thumbTop);
    canvas.setBrush(kMeterLight);
    canvas.rectangle(L + rail, T, L + 2 * rail, thumbTop);
    canvas.rectangle(L + Wc - 2 * rail, T, L + Wc - rail, thumbTop);
    canvas.setBrush(control.accentColour);
    canvas.rectangle(L, thumbTop, L + Wc, thumbTop + cap);
    drawRaised(canvas, core, L, thumbTop + cap, L + Wc, thumbTop + Wc, control.accentColour);

    canvas.setTextColour(kMeterLight);
    const int step = (Hc - Wc) / kMeterMarkSteps;
    canvas.setFont(trunc(kMeterMarkFontShare * static_cast<float>(step)), 0);
    const int marks = trunc(v * kMeterMarkCount);
    const int offset = trunc(kMeterMarkOffsetShare * static_cast<float>(step));
    for (int k = marks; k >= 1; --k) {
        char text[16];
        const int length = std::snprintf(text, sizeof(text), "%d", k);
        const int y = thumbTop - offset - (k - 1) * step;
        if (y <= T) continue;
        const TextSize size = canvas.textExtent(text, length);
        canvas.textOut(L + (Wc - size.width) / 2, y, text, length);
    }
}

void drawToggle(const PanelEditor& gui, PanelCanvas& canvas, const EditorControl& control,
                const ControlBox& box, int font, float v) {
    const bool on = v != 0.0f;
    const std::uint32_t fill = on ? control.accentColour : control.faceColour;
    const std::uint32_t ink = on ? control.faceColour : control.accentColour;
    const int right = box.left + box.width, bottom = box.top + box.height;
    if (control.kind == Toggle)
        drawRaised(canvas, *gui.core, box.left, box.top, right, bottom, fill);
    else
        drawRoundFace(canvas, *gui.core, box.left, box.top, right, bottom, fill);
    if (control.fontSize == 0) return;
    canvas.setFont(font, control.style);
    drawCentredText(canvas, box.left, box.top, box.width, box.height, on ? "ON" : "OFF", ink);
}

void drawGraph(const PanelEditor& gui, PanelCanvas& canvas, const EditorControl& control,
               const ControlBox& box) {
    const int L = box.left, T = box.top, Wc = box.width, Hc = box.height;
    canvas.setPen(1, gui.core->outlineColour);
    canvas.setBrush(control.faceColour);
    canvas.rectangle(L, T, L + Wc, T + Hc);
    canvas.setPen(1, control.accentColour);
    // A graph without data, or with an empty list, has nothing to plot (values[0] would be
    // read past the list).
    const GraphData* graph = control.graph;
    if (!graph || !graph->values || graph->count < 1) return;
    const float xStep = static_cast<float>(Wc) / static_cast<float>(graph->count);
    const float yScale = static_cast<float>(Hc) / (graph->max - graph->min);
    const float baseline = static_cast<float>(T + Hc);
    canvas.moveTo(L, trunc(baseline - (graph->values[0] - graph->min) * yScale));
    for (int i = 1; i < graph->count; ++i)
        canvas.lineTo(trunc(static_cast<float>(i) * xStep + static_cast<float>(L)),
                      trunc(baseline - (graph->values[i] - graph->min) * yScale));
}

} // namespace

std::uint32_t brighten(std::uint32_t colour, float factor) {
    std::uint32_t result = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const auto channel = static_cast<float>((colour >> shift) & 0xFF);
        std::int32_t scaled = truncateToInt(channel * factor);
        if (scaled > 255) scaled = 255;
        if (scaled < 0) scaled = 0;
        result |= static_cast<std::uint32_t>(scaled) << shift;
    }
    return result;
}

void drawCentredText(PanelCanvas& canvas, int left, int top, int width, int height,
                     const char* text, std::uint32_t colour) {
    if (!text || !text[0]) return;
    const int length = static_cast<int>(std::strlen(text));
    canvas.setTextColour(colour);
    const TextSize size = canvas.textExtent(text, length);
    canvas.textOut(left + (width - size.width) / 2, top + (height - size.height) / 2, text, length);
}

void drawRaised(PanelCanvas& canvas, const PluginCore& core, int left, int top, int right,
                int bottom, std::uint32_t colour) {
    canvas.setPen(1, core.outlineColour);
    canvas.setBrush(brighten(colour, kRaisedFace));
    canvas.rectangle(left, top, right, bottom);
    canvas.setPen(1, brighten(colour, kShadow));
    canvas.moveTo(left + 1, bottom - 2);
    canvas.lineTo(right - 2, bottom - 2);
    canvas.lineTo(right - 2, top);
    canvas.setPen(1, brighten(colour, kHighlight));
    canvas.moveTo(left + 1, bottom - 3);
    canvas.lineTo(left + 1, top);
    canvas.lineTo(right - 2, top);
}

void drawRoundFace(PanelCanvas& canvas, const PluginCore& core, int left, int top, int right,
                   int bottom, std::uint32_t colour) {
    canvas.setPen(1, core.outlineColour);
    canvas.setBrush(colour);
    canvas.ellipse(left, top, right, bottom);
    const auto d = static_cast<float>(right - left);
    const int g = (right - left) / 2;
    const auto cx = static_cast<float>(left + g);
    const auto cy = static_cast<float>(top + g);
    canvas.setPen(1, brighten(colour, kHighlight));
    canvas.arc(left + 1, top + 1, right - 1, bottom - 1, trunc(cx + kRimHighlightStartX * d),
               trunc(cy - kRimHighlightStartY * d), trunc(cx - kRimHighlightEndX * d),
               trunc(cy + kRimHighlightEndY * d));
    canvas.setPen(1, brighten(colour, kShadow));
    canvas.arc(left + 1, top + 1, right - 1, bottom - 1, trunc(cx - kRimShadowStartX * d),
               trunc(cy + kRimShadowStartY * d), trunc(cx + kRimShadowEndX * d),
               trunc(cy - kRimShadowEndY * d));
}

void drawControl(PanelCanvas& canvas, const PanelEditor& gui, const EditorControl& control) {
    const PluginCore& core = *gui.core;
    const float s = core.editorScale;
    const ControlBox box = controlBox(control, s);
    int font = truncateToInt(static_cast<float>(control.fontSize) * s) & 0xFF;
    if (font == 0) font = 1;
    const int thumb = scaledPixels(kThumbSize, s);
    const float v = shownValue(core, control);
    const int right = box.left + box.width, bottom = box.top + box.height;

    switch (control.kind) {
    case Knob:
        drawKnob(gui, canvas, control, box, font, v);
        break;
    case Label:
        drawLabel(gui, canvas, control, box, font);
        break;
    case Meter:
        drawMeter(gui, canvas, control, box, v);
        break;
    case StepButton:
        drawRaised(canvas, core, box.left, box.top, right, bottom, control.faceColour);
        if (control.fontSize != 0) {
            canvas.setFont(font, control.style);
            drawCentredText(canvas, box.left, box.top, box.width, box.height, control.text,
                            control.accentColour);
        }
        break;
    case HSlider: {
        const int thumbX =
            trunc(static_cast<float>(box.width - thumb) * v + static_cast<float>(box.left));
        canvas.setPen(1, core.outlineColour);
        canvas.setBrush(control.faceColour);
        canvas.rectangle(box.left, box.top, right, bottom);
        drawRaised(canvas, core, thumbX, box.top, thumbX + thumb, bottom, control.accentColour);
        break;
    }
    case VSlider: {
        const int thumbY = trunc(static_cast<float>(box.height - thumb) * (1.0f - v) +
                                 static_cast<float>(box.top));
        canvas.setPen(1, core.outlineColour);
        canvas.setBrush(control.faceColour);
        canvas.rectangle(box.left, box.top, right, bottom);
        drawRaised(canvas, core, box.left, thumbY, right, thumbY + thumb, control.accentColour);
        break;
    }
    case Toggle:
    case RoundToggle:
        drawToggle(gui, canvas, control, box, font, v);
        break;
    case TextField:
        if (&control == gui.selectedControl) {
            canvas.setPen(1, kEditingOutline);
            canvas.setBrush(kEditingFace);
        } else {
            canvas.setPen(1, core.outlineColour);
            canvas.setBrush(control.faceColour);
        }
        canvas.rectangle(box.left, box.top, right, bottom);
        canvas.setFont(font, control.style);
        drawCentredText(canvas, box.left, box.top, box.width, box.height, control.text,
                        control.accentColour);
        break;
    case Panel:
        canvas.setPen(1, control.faceColour);
        canvas.setBrush(control.accentColour);
        canvas.rectangle(box.left, box.top, right, bottom);
        break;
    case Graph:
        drawGraph(gui, canvas, control, box);
        break;
    default:
        break;
    }
}

bool panelNeedsPaint(const PluginCore& core) {
    if (core.redrawAll != 0) return true;
    for (const EditorControl* control = core.controls; control; control = control->next)
        if (control->kind >= 0 && control->dirty) return true;
    return false;
}

void paintPanel(PanelCanvas& canvas, PanelEditor& gui) {
    PluginCore& core = *gui.core;
    if (core.redrawAll != 0) {
        char text[kDisplayTextLength];
        for (int i = 0; i < core.numParams; ++i)
            refreshCachedParameter(core, i, describePerformanceParameter(*core.engine, i, text));
        canvas.setPen(1, core.outlineColour);
        canvas.setBrush(core.backgroundColour);
        canvas.rectangle(0, 0, gui.panelWidth(), gui.panelHeight());
        for (EditorControl* control = core.controls; control; control = control->next)
            if (control->kind >= 0) drawControl(canvas, gui, *control);
        core.redrawAll -= 1;
        return;
    }
    const float s = core.editorScale;
    for (EditorControl* control = core.controls; control; control = control->next) {
        if (control->kind < 0 || !control->dirty) continue;
        canvas.setPen(1, core.backgroundColour);
        canvas.setBrush(core.backgroundColour);
        canvas.rectangle(scaledPixels(control->x, s), scaledPixels(control->y, s),
                         scaledPixels(control->x + control->width, s),
                         scaledPixels(control->y + control->height, s));
        drawControl(canvas, gui, *control);
        control->dirty = 0;
    }
}
