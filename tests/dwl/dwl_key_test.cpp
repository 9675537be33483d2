// Keys name the two download areas and nothing else.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "mfpsys/dwl.h"

TEST(DwlKey, OnlyZeroAndOneNameAnArea) {
    EXPECT_EQ(mmNORConvKey(0), 0);
    EXPECT_EQ(mmNORConvKey(1), 1);
    for (std::int32_t k : {2, -1, 255, std::numeric_limits<std::int32_t>::max(),
                           std::numeric_limits<std::int32_t>::min()})
        EXPECT_EQ(mmNORConvKey(k), -1) << k;
}
