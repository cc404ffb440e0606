#include "tools/quarnel_render/progress.h"

#include <unistd.h>

#include <algorithm>

namespace quarnel_render {

ProgressBar::ProgressBar(std::int64_t total, double sampleRate, std::FILE* stream)
    : out(stream), totalFrames(std::max<std::int64_t>(total, 1)), rate(sampleRate) {
    active = stream != nullptr && isatty(fileno(stream)) == 1;
}

ProgressBar::~ProgressBar() {
    finish();
}

void ProgressBar::update(std::int64_t done) {
    if (!active) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn && now - lastDraw < kRedrawInterval && done < totalFrames) return;
    lastDraw = now;
    draw(done);
}

void ProgressBar::draw(std::int64_t done) {
    done = std::clamp<std::int64_t>(done, 0, totalFrames);
    const double fraction = static_cast<double>(done) / static_cast<double>(totalFrames);
    const int filled = static_cast<int>(fraction * kBarWidth);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(out, "\r[%s] %3d%%  %.1f / %.1f s", bar, static_cast<int>(fraction * 100.0),
                 static_cast<double>(done) / rate, static_cast<double>(totalFrames) / rate);
    std::fflush(out);
    drawn = true;
}

void ProgressBar::finish() {
    if (!drawn) return;
    // Return to the line start and clear it (ANSI erase-line).
    std::fputs("\r\033[K", out);
    std::fflush(out);
    drawn = false;
}

} // namespace quarnel_render
