// The instrument's own elementary functions: accurate to a few units in the last place of a
// double against the C library, and exact where exactness is cheap.
#include "patches/portable_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

/// |a - b| in units of b's last place.
double ulps(double a, double b) {
    if (a == b) return 0.0;
    return std::fabs(a - b) / std::fabs(std::nextafter(b, INFINITY) - b);
}

TEST(PortableMath, AgreesWithTheLibraryToAFewUlps) {
    std::mt19937_64 random(7);
    struct Case {
        const char* name;
        double (*ours)(double);
        double (*library)(double);
        double low, high, limit;
    };
    const Case cases[] = {
        {"sin", portable::sin, [](double x) { return std::sin(x); }, -1e4, 1e4, 4},
        {"cos", portable::cos, [](double x) { return std::cos(x); }, -1e4, 1e4, 4},
        {"atan", portable::atan, [](double x) { return std::atan(x); }, -20, 20, 8},
        {"exp2", portable::exp2, [](double x) { return std::exp2(x); }, -60, 60, 4},
        {"exp", portable::exp, [](double x) { return std::exp(x); }, -40, 40, 4},
        {"sinh", portable::sinh, [](double x) { return std::sinh(x); }, -5, 5, 8},
        {"pow10", portable::pow10, [](double x) { return std::pow(10.0, x); }, -4, 4, 16},
    };
    // glibc's functions are correctly rounded or nearly so; the Windows C runtime's are not
    // (that is why the instrument has its own), so they serve as the reference on Linux only.
    const bool libraryIsAccurate =
#if defined(_WIN32)
        false;
#else
        true;
#endif
    for (const Case& c : cases) {
        if (!libraryIsAccurate) break;
        SCOPED_TRACE(c.name);
        std::uniform_real_distribution<double> argument(c.low, c.high);
        double worst = 0.0;
        for (int i = 0; i < 100000; ++i) {
            const double x = argument(random);
            worst = std::fmax(worst, ulps(c.ours(x), c.library(x)));
        }
        EXPECT_LE(worst, c.limit);
    }
    // Exact where the value is representable.
    EXPECT_EQ(portable::sin(0.0), 0.0);
    EXPECT_EQ(portable::cos(0.0), 1.0);
    EXPECT_EQ(portable::exp2(-3.0), 0.125);
    EXPECT_EQ(portable::exp2(10.0f), 1024.0f);
    EXPECT_EQ(portable::atan(0.0), 0.0);
    EXPECT_TRUE(std::isnan(portable::sin(INFINITY)));
}

} // namespace
