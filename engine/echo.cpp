#include "engine/echo.h"

void processEcho(Echo& echo, float* buffer, int n) {
    EchoRun run{};
    if (n <= 0 || !beginEcho(echo, run)) return;
    for (int k = 0; k < n; ++k)
        buffer[k] = echoSample(run, buffer[k]);
    endEcho(echo, run);
}
