// What the editor panel must look like, on either system: its size, colours and knob places,
// the pixel queries the panel tests make on a captured image, and the check of the whole
// layout. Each system's test fills PanelPixels from its own window.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace paneltest {

constexpr int kPanelWidth = 364;
constexpr int kPanelHeight = 104;
// Colours as COLORREF values, 0x00BBGGRR.
constexpr std::uint32_t kOutline = 0x555555;
constexpr std::uint32_t kBackground = 0x888888;
constexpr std::uint32_t kCaptionFace = 0xBBBBBB;
constexpr double kTrackRadius = 24.0; // middle of a knob's 6-pixel track, pixels
constexpr int kKnobTop = 24;
constexpr int kKnobHalf = 28;

struct KnobLook {
    int x; ///< left edge, panel pixels
    std::uint32_t face;
    std::uint32_t accent;
};
constexpr KnobLook kKnobs[6] = {{4, 0x5555FF, 0x080855},   {64, 0xFF5555, 0x550808},
                                {124, 0xAAAA55, 0x084408}, {184, 0xAAAA55, 0x084408},
                                {244, 0x5555FF, 0x080855}, {304, 0x5555FF, 0x080855}};

/// A captured panel image, row by row, as COLORREF values.
struct PanelPixels {
    std::vector<std::uint32_t> pixels =
        std::vector<std::uint32_t>(kPanelWidth * kPanelHeight, 0xFFFFFFFFu);

    /// The pixel at (x, y); 0xFFFFFFFF outside the panel.
    std::uint32_t at(int x, int y) const {
        if (x < 0 || y < 0 || x >= kPanelWidth || y >= kPanelHeight) return 0xFFFFFFFFu;
        return pixels[static_cast<std::size_t>(y * kPanelWidth + x)];
    }
    /// Pixels in the box (left, top, width, height) whose colour is not colour.
    int countOther(int left, int top, int w, int h, std::uint32_t colour) const {
        int n = 0;
        for (int y = top; y < top + h; ++y)
            for (int x = left; x < left + w; ++x)
                if (at(x, y) != colour) ++n;
        return n;
    }
    /// Colour on knob i's track ring at an angle (degrees counterclockwise from the right).
    std::uint32_t ring(int knob, double degrees) const {
        const double radians = degrees * std::numbers::pi / 180.0;
        const int cx = kKnobs[knob].x + kKnobHalf, cy = kKnobTop + kKnobHalf;
        return at(cx + static_cast<int>(std::lround(kTrackRadius * std::cos(radians))),
                  cy - static_cast<int>(std::lround(kTrackRadius * std::sin(radians))));
    }
};

/// The border, the caption boxes with their texts, and each knob's arc at the angle its value
/// (values[k], 0..1) implies, with its value text.
inline void expectPanelLayout(const PanelPixels& shot, const float (&values)[6]) {
    for (auto [x, y] : {std::pair{0, 0}, {363, 0}, {0, 103}, {363, 103}, {180, 0}, {0, 50}})
        EXPECT_EQ(shot.at(x, y), kOutline) << x << "," << y;
    EXPECT_EQ(shot.at(2, 50), kBackground);
    EXPECT_EQ(shot.at(242, 12), kBackground) << "gap between title and group caption";

    struct Box {
        int x, y, w;
    };
    const Box captions[] = {{4, 2, 236},   {244, 2, 116}, {4, 82, 56},   {64, 82, 56},
                            {124, 82, 56}, {184, 82, 56}, {244, 82, 56}, {304, 82, 56}};
    for (const Box& b : captions) {
        EXPECT_EQ(shot.at(b.x, b.y), kOutline) << b.x << "," << b.y;
        EXPECT_EQ(shot.at(b.x + 1, b.y + 1), kCaptionFace) << b.x << "," << b.y;
        EXPECT_GT(shot.countOther(b.x + 1, b.y + 1, b.w - 2, 18, kCaptionFace), 8)
            << "caption text at " << b.x << "," << b.y;
    }

    for (int k = 0; k < 6; ++k) {
        const double valueAngle = 225.0 - 270.0 * values[k];
        for (double a = valueAngle + 12; a <= 213; a += 6)
            EXPECT_EQ(shot.ring(k, a), kKnobs[k].accent) << "knob " << k << " at " << a;
        for (double a = -27; a <= valueAngle - 12; a += 6)
            EXPECT_EQ(shot.ring(k, a), kOutline) << "knob " << k << " at " << a;
        EXPECT_EQ(shot.ring(k, -90), kBackground) << "knob " << k;
        const int cx = kKnobs[k].x + kKnobHalf, cy = kKnobTop + kKnobHalf;
        EXPECT_EQ(shot.at(cx + 8, cy + 15), kKnobs[k].face) << "knob " << k;
        EXPECT_GT(shot.countOther(cx - 12, cy - 7, 24, 14, kKnobs[k].face), 8)
            << "value text of knob " << k;
    }
}

} // namespace paneltest
