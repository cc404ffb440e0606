#include "engine/echo.h"

#include <cmath>

void processEcho(Echo& echo, float* buffer, int n) {
    if (echo.inverseLength == 0.0f || n <= 0 || !echo.line || echo.length <= 0) return;
    const std::int32_t length = echo.length;
    float* const line = echo.line.get();
    if (echo.position < 0 || echo.position >= length) echo.position = 0;

    for (int k = 0; k < n; ++k) {
        const float x = buffer[k];
        echo.accumulator -= std::fabs(line[echo.position]);
        line[echo.position] = x;
        echo.accumulator += std::fabs(x);

        // Mean absolute level over the ring, capped at 1 (and kept at 0..1 whatever rounding
        // or a non-finite sum does to it), moves the read point.
        float a = echo.accumulator * echo.inverseLength;
        if (!(a >= 0.0f)) a = 0.0f;
        if (a > 1.0f) a = 1.0f;
        float r = a * static_cast<float>(length - 1) + static_cast<float>(echo.position);
        if (r >= static_cast<float>(length)) r -= static_cast<float>(length);
        std::int32_t i = static_cast<std::int32_t>(r);
        if (i >= length) i = length - 1;
        const std::int32_t next = i + 1 == length ? 0 : i + 1;
        const float y = line[i] + (line[next] - line[i]) * (r - static_cast<float>(i));
        buffer[k] = y * echo.mix + (1.0f - echo.mix) * x;

        echo.position += 1;
        if (echo.position == length) {
            echo.position = 0;
            // Once per pass over the ring the running sum is formed afresh, so rounding
            // cannot drift it and a non-finite value cannot stay in it.
            float total = 0.0f;
            for (std::int32_t j = 0; j < length; ++j)
                total += std::fabs(line[j]);
            echo.accumulator = total;
        }
    }
}
