// Range reduction followed by Taylor polynomials evaluated by Horner's rule. The polynomials
// carry enough terms that their truncation error lies far below a double's last place over the
// reduced ranges, so the results differ from the true values by rounding alone.
#include "patches/portable_math.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace portable {
namespace {

/// ln 2 split for the exponential's reduction: the high part has zero low bits.
constexpr double kLn2High = 0x1.62e42feep-1;
constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr double kLog2e = 0x1.71547652b82fep+0;
constexpr double kLn10 = 0x1.26bb1bbb55516p+1;
constexpr double kHalfPi = 0x1.921fb54442d18p+0;

/// 2^k as a double for -1022 <= k <= 1023.
double powerOfTwo(int k) {
    const std::uint64_t bits = static_cast<std::uint64_t>(k + 1023) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

/// v x 2^k for |k| <= 2100, in steps that stay within the normal exponent range.
double scaleByPowerOfTwo(double v, int k) {
    while (k > 1023) {
        v *= powerOfTwo(1023);
        k -= 1023;
    }
    while (k < -1022) {
        v *= powerOfTwo(-1022);
        k += 1022;
    }
    return v * powerOfTwo(k);
}

/// e^t for |t| <= 0.35: 1 + t + ... + t^17/17!.
double expKernel(double t) {
    double p = 1.0 / 355687428096000.0; // 1/17!
    p = p * t + 1.0 / 20922789888000.0; // 1/16!
    p = p * t + 1.0 / 1307674368000.0;  // 1/15!
    p = p * t + 1.0 / 87178291200.0;    // 1/14!
    p = p * t + 1.0 / 6227020800.0;     // 1/13!
    p = p * t + 1.0 / 479001600.0;      // 1/12!
    p = p * t + 1.0 / 39916800.0;       // 1/11!
    p = p * t + 1.0 / 3628800.0;        // 1/10!
    p = p * t + 1.0 / 362880.0;         // 1/9!
    p = p * t + 1.0 / 40320.0;          // 1/8!
    p = p * t + 1.0 / 5040.0;           // 1/7!
    p = p * t + 1.0 / 720.0;            // 1/6!
    p = p * t + 1.0 / 120.0;            // 1/5!
    p = p * t + 1.0 / 24.0;             // 1/4!
    p = p * t + 1.0 / 6.0;              // 1/3!
    p = p * t + 0.5;
    return 1.0 + t + t * t * p;
}

/// Exponents beyond which the results are 0 or infinite.
constexpr double kExp2Overflow = 1024.0;
constexpr double kExp2Underflow = -1075.0;

} // namespace

double atan(double x) {
    if (std::isnan(x)) return x;
    const bool negative = x < 0.0;
    double a = std::fabs(x);
    const bool inverted = a > 1.0;
    if (inverted) a = 1.0 / a;
    // Three halvings, atan a = 2 atan(a / (1 + sqrt(1 + a^2))), bring a below 0.1.
    for (int i = 0; i < 3; ++i)
        a = a / (1.0 + std::sqrt(1.0 + a * a));
    // atan a = a - a^3/3 + a^5/5 - ... + a^25/25.
    const double z = a * a;
    double p = 1.0 / 25.0;
    for (int n = 23; n >= 3; n -= 2)
        p = p * z + ((n / 2) % 2 == 1 ? -1.0 : 1.0) / n;
    double result = 8.0 * (a + a * z * p);
    if (inverted) result = kHalfPi - result;
    return negative ? -result : result;
}

double exp2(double x) {
    if (std::isnan(x)) return x;
    if (x >= kExp2Overflow) return std::numeric_limits<double>::infinity();
    if (x <= kExp2Underflow) return 0.0;
    const double k = std::floor(x + 0.5);
    const double t = (x - k) * kLn2; // x - k is exact
    return scaleByPowerOfTwo(expKernel(t), static_cast<int>(k));
}

double exp(double x) {
    if (std::isnan(x)) return x;
    const double k = std::floor(x * kLog2e + 0.5);
    if (k >= kExp2Overflow) return std::numeric_limits<double>::infinity();
    if (k <= kExp2Underflow) return 0.0;
    const double t = (x - k * kLn2High) - k * kLn2Low;
    return scaleByPowerOfTwo(expKernel(t), static_cast<int>(k));
}

double pow10(double x) {
    return exp(x * kLn10);
}

double sinh(double x) {
    if (std::isnan(x)) return x;
    const double a = std::fabs(x);
    double result;
    if (a < 1.0) {
        // x + x^3/3! + ... + x^21/21!.
        const double z = x * x;
        double p = 1.0 / 51090942171709440000.0; // 1/21!
        p = p * z + 1.0 / 121645100408832000.0;  // 1/19!
        p = p * z + 1.0 / 355687428096000.0;     // 1/17!
        p = p * z + 1.0 / 1307674368000.0;       // 1/15!
        p = p * z + 1.0 / 6227020800.0;          // 1/13!
        p = p * z + 1.0 / 39916800.0;            // 1/11!
        p = p * z + 1.0 / 362880.0;              // 1/9!
        p = p * z + 1.0 / 5040.0;                // 1/7!
        p = p * z + 1.0 / 120.0;                 // 1/5!
        p = p * z + 1.0 / 6.0;                   // 1/3!
        return x + x * z * p;
    }
    const double e = exp(a);
    result = std::isinf(e) ? e : (e - 1.0 / e) * 0.5;
    return x < 0.0 ? -result : result;
}

} // namespace portable
