#include "host/math.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace vorn {
namespace {

void ExpectNear(const Matrix3& a, const Matrix3& b, float eps = 1e-5f) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(a.row[i][j], b.row[i][j], eps) << "row " << i << " col " << j;
}

TEST(Matrix, ProductAppliesLeftOperandFirst) {
  Matrix3 t = TransMatrix({1, 0, 0});
  Matrix3 r = RotateZMatrix(kPi / 2);
  Point3 p = Point3{0, 0, 0} * (t * r);  // translate, then rotate
  EXPECT_NEAR(p.x, 0, 1e-6);
  EXPECT_NEAR(p.y, 1, 1e-6);
  Point3 q = Point3{0, 0, 0} * (r * t);
  EXPECT_NEAR(q.x, 1, 1e-6);
  EXPECT_NEAR(q.y, 0, 1e-6);
}

// The product is computed four lanes at a time where the processor has them; each element must
// still be the plain sum, in order, of the plain products (keys and vertices are compared to the
// bit elsewhere), signed zeros and the flags included.
TEST(Matrix, ProductIsTheRowTimesColumnSumsToTheBit) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> any(-1000, 1000);
  auto element = [&](int kind) {
    switch (kind % 5) {
      case 0: return -0.0f;
      case 1: return 0.0f;
      case 2: return any(rng) * 1e-30f;
      default: return any(rng);
    }
  };
  for (int n = 0; n < 2000; ++n) {
    Matrix3 a, b;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) {
        a.row[i][j] = element(int(rng()));
        b.row[i][j] = element(int(rng()));
      }
    a.flags = uint32_t(rng());
    b.flags = uint32_t(rng());
    const Matrix3 r = a * b;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) {
        float e = a.row[i].x * b.row[0][j] + a.row[i].y * b.row[1][j] + a.row[i].z * b.row[2][j];
        if (i == 3) e += b.row[3][j];
        ASSERT_EQ(std::bit_cast<uint32_t>(r.row[i][j]), std::bit_cast<uint32_t>(e)) << n << ": row " << i << " col " << j;
      }
    ASSERT_EQ(r.flags, a.flags & b.flags);
  }
}

TEST(Matrix, InverseUndoesAffineTransform) {
  Matrix3 m = ScaleMatrix({2, 3, 4}) * RotateXMatrix(0.3f) * RotateYMatrix(-1.1f) * TransMatrix({5, -6, 7});
  ExpectNear(m * Inverse(m), Matrix3::Identity());
  ExpectNear(Inverse(m) * m, Matrix3::Identity());
  EXPECT_TRUE(Inverse(ScaleMatrix({0, 1, 1})).IsIdentity()) << "singular input gives identity";
}

TEST(Matrix, RotationsFollowRightHandRuleForRowVectors) {
  Point3 y = Point3{0, 1, 0} * RotateXMatrix(kPi / 2);
  EXPECT_NEAR(y.z, 1, 1e-6);
  Point3 z = Point3{0, 0, 1} * RotateYMatrix(kPi / 2);
  EXPECT_NEAR(z.x, 1, 1e-6);
  Point3 x = Point3{1, 0, 0} * RotateZMatrix(kPi / 2);
  EXPECT_NEAR(x.y, 1, 1e-6);
}

TEST(Quat, MatrixRoundTripAndAxisConvention) {
  for (float a : {0.1f, 1.0f, 2.5f, 3.1f}) {
    Matrix3 m = RotateXMatrix(a) * RotateZMatrix(a * 0.7f) * RotateYMatrix(-a);
    ExpectNear(QuatToMatrix(MatrixToQuat(m)), m);
  }
  Quat qx{std::sin(0.25f), 0, 0, std::cos(0.25f)};
  ExpectNear(QuatToMatrix(qx), RotateXMatrix(0.5f));
  Quat a = MatrixToQuat(RotateXMatrix(0.4f)), b = MatrixToQuat(RotateYMatrix(0.9f));
  ExpectNear(QuatToMatrix(Multiply(a, b)), RotateXMatrix(0.4f) * RotateYMatrix(0.9f));
}

TEST(Quat, SlerpTakesShortPathAndHitsEnds) {
  Quat a = MatrixToQuat(RotateZMatrix(0.2f)), b = MatrixToQuat(RotateZMatrix(1.2f));
  ExpectNear(QuatToMatrix(Slerp(a, b, 0.5f)), RotateZMatrix(0.7f));
  Quat nb{-b.x, -b.y, -b.z, -b.w};
  ExpectNear(QuatToMatrix(Slerp(a, nb, 0.5f)), RotateZMatrix(0.7f));
  ExpectNear(QuatToMatrix(Slerp(a, b, 1.0f)), RotateZMatrix(1.2f));
}

Matrix3 Rebuild(const AffineParts& p, bool keepSign) {
  Matrix3 u = QuatToMatrix(p.u);
  Matrix3 r = Inverse(u) * ScaleMatrix(p.k) * u * QuatToMatrix(p.q) * TransMatrix(p.t);
  if (keepSign)
    for (int i = 0; i < 3; ++i) r.row[i] = r.row[i] * p.f;
  return r;
}

TEST(DecompAffine, RebuildsRotationStretchAndMirror) {
  const Matrix3 cases[] = {
      Matrix3::Identity(),
      RotateYMatrix(0.8f) * TransMatrix({1, 2, 3}),
      ScaleMatrix({2, 0.5f, 3}) * RotateXMatrix(0.4f) * TransMatrix({-1, 0, 4}),
      RotateZMatrix(0.3f) * ScaleMatrix({1, 2, 1}) * RotateXMatrix(1.0f),  // shear-like stretch
      ScaleMatrix({-1, 1, 1}) * RotateZMatrix(0.6f),
      ScaleMatrix({-2, -3, -4}) * TransMatrix({7, 8, 9}),
  };
  for (const Matrix3& m : cases) {
    AffineParts p = DecompAffine(m);
    EXPECT_EQ(p.f, m.Determinant() < 0 ? -1.0f : 1.0f);
    EXPECT_EQ(IsMirrored(m), p.f < 0) << "the quick test must agree with the decomposition";
    ExpectNear(Rebuild(p, true), m, 1e-4f);
    EXPECT_GT(Rebuild(p, false).Determinant(), 0.0f);
    // Keys take the parts without the stretch rotation: they must be the same bits.
    AffineParts k = DecompAffineWithoutStretchRotation(m);
    EXPECT_EQ(k.t, p.t);
    EXPECT_EQ(k.k, p.k);
    EXPECT_EQ(k.f, p.f);
    EXPECT_TRUE(k.q.x == p.q.x && k.q.y == p.q.y && k.q.z == p.q.z && k.q.w == p.q.w);
  }
}

// Keys are decomposed eight at a time: every count, and every kind of matrix side by side
// (singular ones, which skip the iterations, NaN, mirrors, stretch, rotations with float
// noise), must give the bits of one call each.
TEST(DecompAffine, ManyAtOnceAreTheBitsOfOneAtATime) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<Matrix3> m;
  for (int i = 0; i < 300; ++i) {
    Matrix3 x = QuatToMatrix(Normalize(Quat{u(rng), u(rng), u(rng), u(rng)})) * TransMatrix({u(rng), u(rng), u(rng)});
    switch (i % 9) {
      case 1: x = ScaleMatrix({2.5f, 1, 0.25f}) * x; break;
      case 2: x.row[0] = x.row[0] * -1.0f; break;
      case 3: x.row[1] = Point3{0, 0, 0}; break;
      case 4: x.row[2] = x.row[0]; break;
      case 5: x.row[0].y += u(rng); x.row[2].x += u(rng); break;
      case 6: x.row[1].z = std::numeric_limits<float>::quiet_NaN(); break;
      default: break;
    }
    m.push_back(x);
  }
  std::vector<AffineParts> one(m.size());
  for (size_t i = 0; i < m.size(); ++i) one[i] = DecompAffineWithoutStretchRotation(m[i]);
  auto same = [](const AffineParts& a, const AffineParts& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  std::vector<AffineParts> many(m.size());
  DecompAffineWithoutStretchRotation(m.data(), m.size(), many.data());
  for (size_t i = 0; i < m.size(); ++i) ASSERT_TRUE(same(one[i], many[i])) << "matrix " << i;
  for (size_t first = 0; first < 9; ++first)
    for (size_t count = 0; count <= 19; ++count) {
      std::vector<AffineParts> part(count);
      DecompAffineWithoutStretchRotation(m.data() + first, count, part.data());
      for (size_t i = 0; i < count; ++i) ASSERT_TRUE(same(one[first + i], part[i])) << first << "+" << i << " of " << count;
    }
}

TEST(DecompAffine, QuickMirrorTestAgreesAtTheEdges) {
  // Singular and nearly singular matrices, where a determinant in float could differ in sign.
  Matrix3 flat = ScaleMatrix({1, 1, 0});
  Matrix3 tiny = ScaleMatrix({1e-20f, 1e-20f, -1e-20f});
  Matrix3 nan = ScaleMatrix({std::numeric_limits<float>::quiet_NaN(), 1, 1});
  for (const Matrix3& m : {flat, tiny, nan}) EXPECT_EQ(IsMirrored(m), DecompAffine(m).f < 0);
}

}  // namespace
}  // namespace vorn
