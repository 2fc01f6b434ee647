#include "importers/assimp_arithmetic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace vorn {
namespace {

bool Read(const std::string& text, float* out) {
  return assimp_arithmetic::TextFloat(text.data(), text.data() + text.size(), out);
}

TEST(AssimpArithmetic, TextFloatTakesNanAndInfinityInAnyCaseAndNothingLikeThem) {
  float f = 0;
  for (const char* nan : {"nan", "NaN", "NAN", "-nan"}) {
    ASSERT_TRUE(Read(nan, &f)) << nan;
    EXPECT_TRUE(std::isnan(f)) << nan;
  }
  for (const char* inf : {"inf", "INF", "+Inf", "infinity", "InFiNiTy"}) {
    ASSERT_TRUE(Read(inf, &f)) << inf;
    EXPECT_EQ(f, INFINITY) << inf;
  }
  for (const char* inf : {"-inf", "-INFINITY"}) {
    ASSERT_TRUE(Read(inf, &f)) << inf;
    EXPECT_EQ(f, -INFINITY) << inf;
  }
  for (const char* bad : {"na", "nanx", "infinit", "infinityy", "n", "", "-", "n@n", "N\xceN", "1.5x"})
    EXPECT_FALSE(Read(bad, &f)) << bad;
  ASSERT_TRUE(Read("-2.25", &f));
  EXPECT_EQ(f, -2.25f);
  ASSERT_TRUE(Read("1e3", &f));
  EXPECT_EQ(f, 1000.0f);
}

}  // namespace
}  // namespace vorn
