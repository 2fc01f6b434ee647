#include <gtest/gtest.h>

#include <string>

#include "ui/number_filters.h"

namespace vorn {
namespace {

// Types text into an empty edit one character at a time, as the filter lets it through.
std::string Type(bool (*filter)(const std::string&, int, int, char), const std::string& keys) {
  std::string text;
  for (char c : keys) {
    const int at = static_cast<int>(text.size());
    if (filter(text, at, at, c)) text += c;
  }
  return text;
}

TEST(NumberFilters, PositiveNumbers) {
  EXPECT_EQ(Type(PositiveNumberFilter, "12a3-4"), "1234") << "digits only";
  EXPECT_EQ(Type(PositiveNumberFilter, "1.2.3"), "1.23") << "one '.'";
  EXPECT_EQ(Type(PositiveNumberFilter, "12345678"), "123456") << "six digits";
  EXPECT_EQ(Type(PositiveNumberFilter, ".1234567"), ".12345") << "five after a leading '.'";
  EXPECT_EQ(Type(PositiveNumberFilter, "123456."), "123456") << "no '.' at the digit limit";
  EXPECT_TRUE(PositiveNumberFilter("123456", 6, 6, kBackspace));
  // At the limit a digit may replace a selection of several characters, or one digit.
  EXPECT_TRUE(PositiveNumberFilter("123456", 0, 2, '9'));
  EXPECT_TRUE(PositiveNumberFilter("123456", 0, 1, '9'));
  EXPECT_FALSE(PositiveNumberFilter("1234.56", 4, 5, '9')) << "replacing the '.' keeps six digits";
  EXPECT_TRUE(PositiveNumberFilter("123456", 0, 6, '.')) << "a '.' over a selection";
}

TEST(NumberFilters, SignedNumbersTakeALeadingMinus) {
  EXPECT_EQ(Type(SignedNumberFilter, "-12-3"), "-123");
  EXPECT_FALSE(SignedNumberFilter("12", 1, 1, '-')) << "only at the start";
  EXPECT_TRUE(SignedNumberFilter("12", 0, 0, '-'));
  EXPECT_FALSE(SignedNumberFilter("-12", 0, 0, '-')) << "only one";
  EXPECT_FALSE(PositiveNumberFilter("", 0, 0, '-'));
}

}  // namespace
}  // namespace vorn
