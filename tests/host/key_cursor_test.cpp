#include "host/key_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace vorn {
namespace {

// What the search must agree with: the key before the first one later than t.
size_t Expected(const std::vector<TimeValue>& times, TimeValue t) {
  return size_t(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
}

void ExpectAllAgree(const std::vector<TimeValue>& times, const std::vector<TimeValue>& queries) {
  KeyCursor cursor;
  for (TimeValue t : queries) {
    ASSERT_GT(t, times.front());
    ASSERT_LT(t, times.back());
    EXPECT_EQ(KeyBefore(times, t, cursor), Expected(times, t)) << "t = " << t;
  }
}

TEST(KeyCursor, AgreesWithBinarySearchOverAnyOrderOfTimes) {
  const std::vector<TimeValue> times{0, 160, 320, 480, 640, 800, 960, 1120};
  // Forward one step at a time, on keys and between them.
  std::vector<TimeValue> forward;
  for (TimeValue t = 1; t < 1120; t += 40) forward.push_back(t);
  ExpectAllAgree(times, forward);
  // Backwards, repeated, and a clip that restarts from the start.
  ExpectAllAgree(times, {1000, 700, 700, 160, 160, 161, 1, 1119, 1119, 5, 480, 479});
  // Jumps of several keys at once, forward and back.
  ExpectAllAgree(times, {1, 650, 1100, 170, 959, 960, 961});
}

TEST(KeyCursor, RepeatedKeyTimesGiveTheLastOfThem) {
  // Keys of one tick may repeat; upper_bound lands after the last equal one.
  const std::vector<TimeValue> times{0, 100, 100, 100, 200, 300, 300, 400};
  ExpectAllAgree(times, {50, 100, 100, 150, 300, 350, 100, 99, 301, 299, 300});
}

TEST(KeyCursor, HintFromAnotherKeyListIsOnlyAHint) {
  // A cursor left far beyond a shorter list, or copied, must still give the right key.
  KeyCursor cursor;
  const std::vector<TimeValue> longTimes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(KeyBefore(longTimes, 8, cursor), 8u);
  const std::vector<TimeValue> shortTimes{0, 10, 20};
  EXPECT_EQ(KeyBefore(shortTimes, 15, cursor), 1u);
  const KeyCursor copy = cursor;
  EXPECT_EQ(KeyBefore(shortTimes, 5, copy), 0u);
  EXPECT_EQ(copy.Get(), 0u);
  EXPECT_EQ(cursor.Get(), 1u) << "a copy moves on its own";
}

}  // namespace
}  // namespace vorn
