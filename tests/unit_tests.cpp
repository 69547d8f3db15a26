#include <gtest/gtest.h>
#include "sentrel.h"
TEST(Build, Links) { EXPECT_EQ(RotationLimit(1), 512); }
