// A one-line progress bar for long renders, drawn on stderr only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace quarnel_render {

class ProgressBar {
  public:
    /// total: frames to render (> 0); sampleRate in Hz for the time display. Draws nothing
    /// when stream is not a terminal.
    ProgressBar(std::int64_t total, double sampleRate, std::FILE* stream = stderr);
    /// Clears the line if anything was drawn.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Reports done frames of total; redraws at most every kRedrawInterval.
    void update(std::int64_t done);
    /// Erases the bar (before the summary line or an error message).
    void finish();

    bool enabled() const { return active; }

  private:
    void draw(std::int64_t done);

    /// Shortest time between two redraws.
    static constexpr std::chrono::milliseconds kRedrawInterval{100};
    /// Width of the bar in characters.
    static constexpr int kBarWidth = 30;

    std::FILE* out;
    std::int64_t totalFrames;
    double rate;
    bool active = false;
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw{};
};

} // namespace quarnel_render
