#include "importers/assimp_arithmetic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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

// The number reading digit by digit, as it was before it went eight digits at a time.
const char* DecimalByDigits(const char* c, const char* e, float& out, bool comma) {
  static constexpr double kScale[] = {1.0,  1e-1, 1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                      1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};
  auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  const bool negative = c < e && *c == '-';
  if (c < e && (*c == '-' || *c == '+')) ++c;
  const char* digits = c;
  while (c < e && digit(*c)) ++c;
  const bool hasFraction = c + 1 < e && (*c == '.' || (comma && *c == ',')) && digit(c[1]);
  if (c == digits && !hasFraction) return nullptr;
  float f = 0;
  if (c > digits) {
    uint64_t whole = 0;
    if (c - digits <= 19) {
      for (const char* d = digits; d < c; ++d) whole = whole * 10 + uint64_t(*d - '0');
    } else if (std::from_chars(digits, c, whole).ec != std::errc()) {
      float g;
      const auto [end, ec] = std::from_chars(digits, e, g);
      if (ec != std::errc() || !std::isfinite(g)) return nullptr;
      out = negative ? -g : g;
      return end;
    }
    f = float(whole);
  }
  if (hasFraction) {
    const char* b = ++c;
    while (c < e && digit(*c)) ++c;
    const size_t n = std::min<size_t>(size_t(c - b), 15);
    uint64_t fraction = 0;
    for (size_t k = 0; k < n; ++k) fraction = fraction * 10 + uint64_t(b[k] - '0');
    f += float(double(fraction) * kScale[n]);
  } else if (c < e && *c == '.') {
    ++c;
  }
  if (c < e && (*c == 'e' || *c == 'E')) {
    const char* mark = c;
    ++c;
    const bool down = c < e && *c == '-';
    if (c < e && (*c == '-' || *c == '+')) ++c;
    const char* b = c;
    while (c < e && digit(*c)) ++c;
    unsigned power = 0;
    if (c == b) {
      c = mark;
    } else {
      if (std::from_chars(b, c, power).ec != std::errc() || power > 1000) return nullptr;
      f *= std::pow(10.0f, down ? -float(power) : float(power));
    }
  }
  if (!std::isfinite(f)) return nullptr;
  out = negative ? -f : f;
  return c;
}

// Digit runs of every length up to 24, at every distance from the end of the text, with signs,
// points, commas, exponents and bytes next to the digits in code (':', '/', and high bytes whose
// carry could reach the next byte) before and after them.
TEST(AssimpArithmetic, NumbersReadEightDigitsAtATimeAsDigitByDigit) {
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
    const size_t tail = rng() % 12;
    for (size_t i = 0; i < tail; ++i) t += rng() % 2 ? pick(after) : char('0' + rng() % 10);
    const std::vector<char> text(t.begin(), t.end());  // no bytes past the end to read
    const char* b = text.data();
    const char* e = b + text.size();
    for (bool comma : {false, true}) {
      float fast = -7, slow = -7;
      const char* endFast = ParseAssimpDecimal(b, e, fast, comma);
      const char* endSlow = DecimalByDigits(b, e, slow, comma);
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
