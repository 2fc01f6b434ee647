#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "mesh/normals.h"

namespace vorn {
namespace {

void ExpectNear(Point3 a, Point3 b, const char* what) {
  EXPECT_NEAR(a.x, b.x, 1e-6) << what;
  EXPECT_NEAR(a.y, b.y, 1e-6) << what;
  EXPECT_NEAR(a.z, b.z, 1e-6) << what;
}

TEST(CornerTangent, DirectionsFollowTheTextureGradient) {
  const Point3 p0{0, 0, 0}, p1{2, 0, 0}, p2{0, 3, 0};
  // Regular corner: u along x, v along y.
  TangentPair t = CornerTangent(p0, p1, p2, {0, 0}, {1, 0}, {0, 1});
  ExpectNear(t.tangent, {1, 0, 0}, "tangent");
  ExpectNear(t.bitangent, {0, 1, 0}, "bitangent");
  // The first neighbour repeats the corner's coordinates while u changes towards the second:
  // the tangent comes from e2 / du2, sign included, and the bitangent is zero.
  t = CornerTangent(p0, p1, p2, {0.5f, 0.5f}, {0.5f, 0.5f}, {0, 0.5f});
  ExpectNear(t.tangent, {0, -1, 0}, "e2 / du2 with du2 < 0");
  EXPECT_EQ(t.bitangent, Point3{});
  // v constant, u changing towards the first neighbour: e1 / du1.
  t = CornerTangent(p0, p1, p2, {0, 0}, {1, 0}, {2, 0});
  ExpectNear(t.tangent, {1, 0, 0}, "e1 / du1");
  EXPECT_EQ(t.bitangent, Point3{});
  // All three equal: nothing.
  t = CornerTangent(p0, p1, p2, {0.3f, 0.3f}, {0.3f, 0.3f}, {0.3f, 0.3f});
  EXPECT_EQ(t.tangent, Point3{});
  EXPECT_EQ(t.bitangent, Point3{});
}

TEST(CornerAngles, RightTriangleAndDegenerateOnes) {
  const CornerAngleSet a = CornerAngles({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
  EXPECT_NEAR(a.a0, std::numbers::pi / 2, 1e-6);
  EXPECT_NEAR(a.a1, std::numbers::pi / 4, 1e-6);
  EXPECT_NEAR(a.a2, std::numbers::pi / 4, 1e-6);
  // A zero-length edge gives weight 0 instead of a NaN.
  const CornerAngleSet d = CornerAngles({0, 0, 0}, {0, 0, 0}, {1, 0, 0});
  EXPECT_FALSE(std::isnan(d.a0) || std::isnan(d.a1) || std::isnan(d.a2));
  const CornerAngleSet point = CornerAngles({1, 1, 1}, {1, 1, 1}, {1, 1, 1});
  EXPECT_EQ(point.a0 + point.a1 + point.a2, 0.0f);
}

TEST(OrthonormalizeFrame, EveryBranch) {
  struct Case {
    const char* what;
    Point3 t, b, n, wantT, wantB, wantN;
  };
  const float s = std::sqrt(0.5f);
  const Case cases[] = {
      {"left-handed: bitangent negated", {1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"skewed tangent projected off the normal", {1, 0, 1}, {0, 2, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"skewed bitangent projected off both", {1, 0, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"no tangent or bitangent, normal along z: x axis", {}, {}, {0, 0, 2}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"no tangent or bitangent, other normal: z axis", {}, {}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}},
      {"bitangent only", {}, {0, 1, 1}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"tangent only", {1, 0, 1}, {}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"no normal: made from the frame", {1, 0, 0}, {1, 1, 0}, {}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {"tangent along the normal: rebuilt from the bitangent", {0, 0, 1}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0},
       {0, 0, 1}},
      {"tilted normal", {1, 0, 0}, {0, 1, 0}, {s, 0, s}, {s, 0, -s}, {0, 1, 0}, {s, 0, s}},
  };
  for (const Case& c : cases) {
    Point3 t = c.t, b = c.b, n = c.n;
    OrthonormalizeFrame(t, b, n);
    ExpectNear(t, c.wantT, c.what);
    ExpectNear(b, c.wantB, c.what);
    ExpectNear(n, c.wantN, c.what);
  }
  Point3 t{}, b{1, 0, 0}, n{};
  OrthonormalizeFrame(t, b, n);
  EXPECT_EQ(t, Point3{}) << "no normal and no tangent: left as it is";
  EXPECT_EQ(n, Point3{});
}

TEST(NormalTransform, CarriesNormalsUnderNonUniformScale) {
  // A plane tilted 45 degrees, stretched 2x along x: its normal tilts the other way.
  const Matrix3 n = NormalTransform(ScaleMatrix(Point3{2, 1, 1}) * TransMatrix(Point3{5, 5, 5}));
  const Point3 normal = Normalize(VectorTransform(Point3{1, 0, 1}, n));
  const Point3 tangent = Point3{1, 0, -1} * ScaleMatrix(Point3{2, 1, 1});
  EXPECT_NEAR(Dot(normal, tangent), 0, 1e-6) << "stays perpendicular to the scaled surface";
  EXPECT_EQ(n.row[3], Point3{});
}

}  // namespace
}  // namespace vorn
