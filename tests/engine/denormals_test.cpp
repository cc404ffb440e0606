#include "engine/denormals.h"

#include <gtest/gtest.h>

#include <cfloat>

namespace {

float product(float a, float b) {
    volatile float x = a;
    volatile float y = b;
    return x * y;
}

} // namespace

TEST(DenormalsTest, FlushedInsideTheScopeAndRestoredAfter) {
    const unsigned int before = _mm_getcsr();
    const float denormal = FLT_MIN / 1024.0f;
    ASSERT_NE(product(FLT_MIN, 1.0f / 1024.0f), 0.0f);
    ASSERT_EQ(product(denormal, 1.0f), denormal);
    {
        ScopedFlushDenormals guard;
        EXPECT_EQ(product(FLT_MIN, 1.0f / 1024.0f), 0.0f); // results flushed
        EXPECT_EQ(product(denormal, 1.0f), 0.0f);          // inputs read as zero
        EXPECT_EQ(product(FLT_MIN, 2.0f), FLT_MIN * 2.0f); // normal numbers unaffected
    }
    // The control bits are back; the sticky exception flags (bits 0..5) may have changed.
    constexpr unsigned int kControlBits = ~0x3Fu;
    EXPECT_EQ(_mm_getcsr() & kControlBits, before & kControlBits);
    EXPECT_EQ(product(denormal, 1.0f), denormal);
}
