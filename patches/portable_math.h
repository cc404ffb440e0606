// The instrument's own elementary functions. Tables, filter designs and every other constant
// the sound depends on are computed with these instead of the C library's, so the Linux and the
// Windows builds (two different math libraries) produce the same bits.
//
// Each function works in double precision with plain IEEE arithmetic (no library calls beyond
// sqrt, floor and fmod, which are exact everywhere); the single-precision forms round that
// result once, so they agree with a correctly rounded function in all but the rarest cases.
// Accuracy: about one unit in the last place of a double for arguments up to 1e6 radians
// (sin, cos) and for the usual ranges of the others; beyond that the results stay deterministic
// but lose accuracy.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace portable {

namespace detail {

/// pi/2 in three parts of 33 significant bits, so that k x each part is exact for |k| < 2^20;
/// the last part carries the rest.
inline constexpr double kHalfPi1 = 0x1.921fb544p+0;
inline constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
inline constexpr double kHalfPi3 = 0x1.3198a2e037073p-69;
inline constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
inline constexpr double kTwoPi = 6.283185307179586476925;
/// Beyond this magnitude the argument is first reduced with a remainder of 2 pi: exact, but
/// 2 pi itself is rounded, so such huge angles lose accuracy (never used for sound).
inline constexpr double kLargeAngle = 1e6;
inline constexpr double kRoundingShift = 0x1.8p52;

/// sin r for |r| <= pi/4: r - r^3/3! + ... - r^19/19!.
inline double sinKernel(double r) {
    const double z = r * r;
    double p = -1.0 / 121645100408832000.0; // -1/19!
    p = p * z + 1.0 / 355687428096000.0;    // 1/17!
    p = p * z - 1.0 / 1307674368000.0;      // -1/15!
    p = p * z + 1.0 / 6227020800.0;         // 1/13!
    p = p * z - 1.0 / 39916800.0;           // -1/11!
    p = p * z + 1.0 / 362880.0;             // 1/9!
    p = p * z - 1.0 / 5040.0;               // -1/7!
    p = p * z + 1.0 / 120.0;                // 1/5!
    p = p * z - 1.0 / 6.0;                  // -1/3!
    return r + r * z * p;
}

/// cos r for |r| <= pi/4: 1 - r^2/2! + ... + r^20/20!.
inline double cosKernel(double r) {
    const double z = r * r;
    double p = 1.0 / 2432902008176640000.0; // 1/20!
    p = p * z - 1.0 / 6402373705728000.0;   // -1/18!
    p = p * z + 1.0 / 20922789888000.0;     // 1/16!
    p = p * z - 1.0 / 87178291200.0;        // -1/14!
    p = p * z + 1.0 / 479001600.0;          // 1/12!
    p = p * z - 1.0 / 3628800.0;            // -1/10!
    p = p * z + 1.0 / 40320.0;              // 1/8!
    p = p * z - 1.0 / 720.0;                // -1/6!
    p = p * z + 1.0 / 24.0;                 // 1/4!
    return (1.0 - 0.5 * z) + z * z * p;
}

/// x = q pi/2 + r with |r| <= pi/4 (a little more for huge x); returns r and q mod 4.
inline double reduceQuadrant(double x, int& quadrant) {
    if (std::fabs(x) > kLargeAngle) x = std::fmod(x, kTwoPi);
    // Rounding to the nearest integer by adding and removing 1.5 x 2^52 (exact below 2^51).
    const double k = (x * kTwoOverPi + kRoundingShift) - kRoundingShift;
    const double r = ((x - k * kHalfPi1) - k * kHalfPi2) - k * kHalfPi3;
    quadrant = static_cast<int>(static_cast<std::int64_t>(k) & 3);
    return r;
}

} // namespace detail

inline double sin(double x) {
    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
    int q;
    const double r = detail::reduceQuadrant(x, q);
    switch (q) {
    case 0:
        return detail::sinKernel(r);
    case 1:
        return detail::cosKernel(r);
    case 2:
        return -detail::sinKernel(r);
    default:
        return -detail::cosKernel(r);
    }
}

inline double cos(double x) {
    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
    int q;
    const double r = detail::reduceQuadrant(x, q);
    switch (q) {
    case 0:
        return detail::cosKernel(r);
    case 1:
        return -detail::sinKernel(r);
    case 2:
        return -detail::cosKernel(r);
    default:
        return detail::sinKernel(r);
    }
}

/// Arctangent, -pi/2..pi/2.
double atan(double x);
/// 2 to the power x; 0 below the smallest subnormal, infinity above the largest double.
double exp2(double x);
/// e to the power x.
double exp(double x);
/// 10 to the power x.
double pow10(double x);
double sinh(double x);

inline float sin(float x) {
    return static_cast<float>(sin(static_cast<double>(x)));
}
inline float cos(float x) {
    return static_cast<float>(cos(static_cast<double>(x)));
}
inline float atan(float x) {
    return static_cast<float>(atan(static_cast<double>(x)));
}
inline float exp2(float x) {
    return static_cast<float>(exp2(static_cast<double>(x)));
}
inline float sinh(float x) {
    return static_cast<float>(sinh(static_cast<double>(x)));
}

} // namespace portable
