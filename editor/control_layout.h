// The panel's fixed list of controls: a title box with the effect name, the "Filter" group
// caption, and for each of the six parameters a knob with a caption box under it. The records
// are stored in the editor object and linked into PluginCore's controls list at the first open.
#pragma once

#include "editor/editor_control.h"

#include <cstdint>

struct PluginCore;

/// Controls on the panel: title, group caption, six knobs and six knob captions.
constexpr int kPanelControlCount = 14;
/// Room for one control's caption, characters with the zero.
constexpr int kControlTextCapacity = 32;

/// Panel colours, COLORREF 0x00BBGGRR.
constexpr std::uint32_t kOutlineColour = 0x555555;    ///< border, outlines, knob track
constexpr std::uint32_t kBackgroundColour = 0x888888; ///< panel fill
constexpr std::uint32_t kCaptionFace = 0xBBBBBB;      ///< caption and title boxes
constexpr std::uint32_t kCaptionText = 0x553333;      ///< caption and title text
constexpr std::uint32_t kRedFace = 0x5555FF;          ///< "Window", "HP", "LP" knob faces
constexpr std::uint32_t kRedAccent = 0x080855;        ///< their arcs and value texts
constexpr std::uint32_t kBlueFace = 0xFF5555;         ///< "Mod." knob face
constexpr std::uint32_t kBlueAccent = 0x550808;
constexpr std::uint32_t kTealFace = 0xAAAA55; ///< "Atack" and "Sustain" knob faces
constexpr std::uint32_t kGreenAccent = 0x084408;

/// Storage of the panel's controls: the records in list order and a caption buffer for each.
struct PanelControls {
    EditorControl records[kPanelControlCount];
    char texts[kPanelControlCount][kControlTextCapacity];
};

/// Zeroes the panel's records, sets the panel colours in core and links the 14 controls into
/// core's (empty) control list in painting and hit-test order. Needs core's engine.
void buildControls(PluginCore& core, PanelControls& panel);

/// Links control at the tail of core's control list, refreshes the cached value of its
/// parameter when it is bound, and marks it dirty.
void appendControl(PluginCore& core, EditorControl& control);

/// A control's box in device pixels: the unscaled rectangle multiplied by the editor scale and
/// truncated; width and height are at least 1.
struct ControlBox {
    std::int32_t left;
    std::int32_t top;
    std::int32_t width;
    std::int32_t height;
};

/// trunc(pixels x scale): an unscaled editor coordinate in device pixels.
std::int32_t scaledPixels(std::int32_t pixels, float scale);

/// The device-pixel box of control at scale.
ControlBox controlBox(const EditorControl& control, float scale);

/// True when control shows and sets a parameter (0 <= paramIndex < the parameter count).
bool isBound(const PluginCore& core, const EditorControl& control);

/// The normalised value a control shows: the cached parameter value when bound, else its own.
float shownValue(const PluginCore& core, const EditorControl& control);
