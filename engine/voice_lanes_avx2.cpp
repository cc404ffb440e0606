// The lane kernel built with AVX2 (this file alone is compiled with -mavx2; see CMakeLists.txt).
// Only called where the processor has AVX2.
#include "engine/voice_lanes_kernel.h"

void renderVoiceLanesAvx2(SynthEngine& engine, const float* bend, float* out, int n) {
    renderLanes(engine, bend, out, n);
}
