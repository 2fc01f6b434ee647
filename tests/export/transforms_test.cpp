#include "scene/transforms.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

void ExpectPoint(Point3 p, Point3 q, float eps = 1e-6f) {
  EXPECT_NEAR(p.x, q.x, eps);
  EXPECT_NEAR(p.y, q.y, eps);
  EXPECT_NEAR(p.z, q.z, eps);
}

TEST(CoordinateConversion, DefaultExchangesYAndZ) {
  CoordinateConversion c;
  c = SetupCoordinateConversion(1.0f, 0, 0, 0);
  ExpectPoint(Point3{1, 2, 3} * c.k, {1, 3, 2});
  EXPECT_TRUE(c.k == c.inverse) << "the exchange is its own inverse";
}

TEST(CoordinateConversion, RightHandedTurnsZUpIntoYUp) {
  CoordinateConversion c;
  c = SetupCoordinateConversion(1.0f, 1, 0, 0);
  ExpectPoint(Point3{0, 0, 1} * c.k, {0, 1, 0});
  ExpectPoint(Point3{0, 1, 0} * c.k, {0, 0, -1});
}

TEST(CoordinateConversion, ScaleAppliesOnlyWhenPositiveAndNotOne) {
  CoordinateConversion c;
  c = SetupCoordinateConversion(2.0f, 0, 0, 0);
  ExpectPoint(Point3{1, 2, 3} * c.k, {2, 6, 4});
  Matrix3 t = TransMatrix({1, 2, 3});
  ExpectPoint(c.Convert(t).Translation(), {2, 6, 4}, 1e-5f);
  for (float ignored : {0.0f, -3.0f}) {
    c = SetupCoordinateConversion(ignored, 0, 0, 0);
    ExpectPoint(Point3{1, 2, 3} * c.k, {1, 3, 2});
  }
}

TEST(CoordinateConversion, RotationsAboutTheVerticalAxis) {
  CoordinateConversion c;
  c = SetupCoordinateConversion(1.0f, 0, 0, 90);
  // Host X turns about the file's vertical (Y) axis.
  Point3 p = Point3{1, 0, 0} * c.k;
  EXPECT_NEAR(p.y, 0, 1e-6);
  EXPECT_NEAR(std::fabs(p.z), 1, 1e-6);
}

TEST(RemoveMirroring, DropsReflectionKeepsTheRest) {
  Matrix3 m = ScaleMatrix({-1, 1, 1}) * RotateZMatrix(0.5f) * TransMatrix({3, 4, 5});
  Matrix3 r = RemoveMirroring(m);
  EXPECT_GT(r.Determinant(), 0);
  ExpectPoint(r.Translation(), {3, 4, 5}, 1e-5f);
  EXPECT_NEAR(Length(r.row[0]), 1, 1e-5);
  Matrix3 plain = RotateXMatrix(0.3f) * TransMatrix({1, 1, 1});
  EXPECT_TRUE(RemoveMirroring(plain) == plain) << "a transform without reflection is unchanged";
}

}  // namespace
}  // namespace vorn
