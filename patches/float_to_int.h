// Float-to-integer conversion that truncates toward zero like a plain cast but is defined for
// every input: a record read from a host's project may hold any bit pattern, and a cast of a
// NaN or of a value outside the int range is undefined behaviour.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

/// int(x) truncated toward zero; NaN gives 0, values beyond the int range give its ends.
inline std::int32_t truncateToInt(float x) {
    // -2^31 and 2^31 are exact floats; every float strictly between them converts safely.
    constexpr float kLimit = 2147483648.0f;
    if (std::isnan(x)) return 0;
    if (x >= kLimit) return std::numeric_limits<std::int32_t>::max();
    if (x <= -kLimit) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(x);
}

/// int(x) truncated toward zero and limited to lo..hi; NaN gives lo.
inline std::int32_t truncateToRange(float x, std::int32_t lo, std::int32_t hi) {
    if (std::isnan(x)) return lo;
    const std::int32_t v = truncateToInt(x);
    return v < lo ? lo : (v > hi ? hi : v);
}
