#include "importers/assimp_arithmetic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace vorn {
namespace {

bool Read(const std::string& text, float* out) {
  const char* end = text.data() + text.size();
  return assimp_arithmetic::TextFloat(text.data(), end, end, out);
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

// Digit runs of every length up to 24, at every distance from the end of the text, with signs,
// points, commas, exponents and bytes next to the digits in code (':', '/', and high bytes whose
// carry could reach the next byte) before and after them.
TEST(AssimpArithmetic, NumbersReadEightBytesAtATimeAsDigitByDigit) {
  std::mt19937 rng(7);
  auto pick = [&](const std::string& from) { return from[rng() % from.size()]; };
  auto digits = [&](size_t n) {
    std::string d;
    for (size_t i = 0; i < n; ++i) d += char('0' + rng() % 10);
    return d;
  };
  const std::string after = std::string(" \t\n:/.,eE-+x") + "\xfa\xff\x80\x2f\x3a";
  size_t compared = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string t;
    if (rng() % 3 == 0) t += pick("-+");
    t += digits(rng() % 25);
    if (rng() % 2) t += pick(".,"), t += digits(rng() % 20);
    if (rng() % 4 == 0) t += pick("eE"), t += rng() % 2 ? std::string(1, pick("-+")) : "", t += digits(rng() % 4);
    const size_t tail = rng() % 24;  // often 16 bytes or more: eight-byte reading
    for (size_t i = 0; i < tail; ++i) t += rng() % 2 ? pick(after) : char('0' + rng() % 10);
    const std::vector<char> text(t.begin(), t.end());  // no bytes past the end to read
    const char* b = text.data();
    const char* e = b + text.size();
    for (bool comma : {false, true}) {
      float fast = -7, slow = -7;
      const char* endFast = ParseAssimpDecimal(b, e, fast, comma);
      const char* endSlow = assimp_decimal::ReadByDigits(b, e, slow, comma);
      ASSERT_EQ(endFast, endSlow) << t;
      if (!endSlow) continue;
      ASSERT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0) << t << ": " << fast << " against " << slow;
      ++compared;
    }
  }
  EXPECT_GT(compared, 200000u);
  float f = 0;
  const std::string twenty = "18446744073709551615.5";  // 20 digits that still fit in 64 bits
  ASSERT_NE(ParseAssimpDecimal(twenty.data(), twenty.data() + twenty.size(), f), nullptr);
  EXPECT_EQ(f, 18446744073709551615.0f);
}

}  // namespace
}  // namespace vorn
