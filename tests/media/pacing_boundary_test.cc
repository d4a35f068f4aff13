// The depth pacer's boundary: a pre-buffer depth of 10 raises the hold threshold (to half the
// depth), one of 9 leaves it at 2.
#include <gtest/gtest.h>

#include "sdk/media/pacing.h"

namespace {

TEST(DepthPacerBoundary, ADepthOfTenRaisesTheThresholdAndNineDoesNot) {
  kv::DepthPacer nine;
  EXPECT_FALSE(nine.ShouldRead(0, 9));
  EXPECT_EQ(nine.holdThreshold(), 2u);
  EXPECT_TRUE(nine.ShouldRead(2, 9));

  kv::DepthPacer ten;
  EXPECT_FALSE(ten.ShouldRead(0, 10));
  EXPECT_EQ(ten.holdThreshold(), 5u);
  EXPECT_FALSE(ten.ShouldRead(4, 10));
  EXPECT_TRUE(ten.ShouldRead(5, 10));
  EXPECT_EQ(ten.holdThreshold(), 2u);
}

}  // namespace
