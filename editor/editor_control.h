// One control of the editor panel: a plain record in a singly linked list that the painter and
// the mouse handler walk in order. Coordinates are unscaled pixels from the panel's top left;
// colours are COLORREF values 0x00BBGGRR.
#pragma once

#include <cstdint>

/// Control kinds; a negative kind hides a control from painting.
enum ControlKind : std::int8_t {
    Meter = 1,
    StepButton = 2,
    HSlider = 3,
    VSlider = 4,
    Toggle = 5,
    RoundToggle = 6,
    Knob = 7,
    Label = 8,
    TextField = 9,
    Panel = 10,
    Graph = 11,
};

/// Style bits of EditorControl::style.
constexpr std::uint32_t StyleNotify = 1u << 0; ///< reports presses, releases and drops
constexpr std::uint32_t StyleBold = 1u << 24;
constexpr std::uint32_t StyleItalic = 1u << 25;
constexpr std::uint32_t StyleUnderline = 1u << 26;
constexpr std::uint32_t StyleStrikeOut = 1u << 27;

struct GraphData {
    float min;
    float max;
    float* values;
    std::int32_t count;
};

struct EditorControl {
    std::int8_t kind;      ///< ControlKind; negative hides the control
    std::uint8_t fontSize; ///< text height in unscaled pixels; 0 draws no text on some kinds
    std::uint8_t dirty;    ///< 1 = redraw at the next incremental paint
    char* text;            ///< caption, or a TextField's buffer of textCapacity bytes
    std::uint32_t style;
    std::int32_t x, y, width, height; ///< unscaled pixels
    std::uint32_t faceColour;
    std::uint32_t accentColour;
    std::int32_t paramIndex; ///< 0..5 binds to a parameter; anything else is unbound
    std::int32_t dragSpan;   ///< Knob: pixels for the full range (0 = 3 x width); StepButton: steps
    std::int32_t textCapacity; ///< TextField buffer size
    float value;               ///< own normalised value 0..1
    float* steps;              ///< StepButton values
    GraphData* graph;          ///< Graph data
    EditorControl* next;
};
