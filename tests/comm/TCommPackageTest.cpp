#include <gtest/gtest.h>

#include "TCommPackage.h"

using namespace QuarlComm32;

TEST(PackageQueue, HoldsOneItemLessThanItsSlots) {
  TCommPackageQueue q(16, 32);
  uint8_t item[32] = {};
  int n = 0;
  while (q.In(item)) ++n;
  EXPECT_EQ(n, 15);
}
