// The host's matrix library: points are row vectors, p * M; A * B applies A first.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vorn {

struct Point3 {
  float x = 0, y = 0, z = 0;
  constexpr Point3() = default;
  constexpr Point3(float ax, float ay, float az) : x(ax), y(ay), z(az) {}
  float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  friend constexpr Point3 operator+(Point3 a, Point3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
  friend constexpr Point3 operator-(Point3 a, Point3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
  friend constexpr Point3 operator-(Point3 a) { return {-a.x, -a.y, -a.z}; }
  friend constexpr Point3 operator*(Point3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
  friend constexpr Point3 operator*(float s, Point3 a) { return a * s; }
  friend constexpr Point3 operator/(Point3 a, float s) { return {a.x / s, a.y / s, a.z / s}; }
  Point3& operator+=(Point3 b) { x += b.x; y += b.y; z += b.z; return *this; }
  Point3& operator-=(Point3 b) { x -= b.x; y -= b.y; z -= b.z; return *this; }
  friend constexpr bool operator==(Point3 a, Point3 b) = default;
};

constexpr float Dot(Point3 a, Point3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Point3 Cross(Point3 a, Point3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float Length(Point3 a) { return std::sqrt(Dot(a, a)); }
constexpr float LengthSquared(Point3 a) { return Dot(a, a); }
// The host's Normalize: a zero vector stays zero.
inline Point3 Normalize(Point3 a) {
  float l = Length(a);
  return l != 0.0f ? a / l : a;
}
// Component-wise equality within a tolerance (the host's Point3::Equals).
inline bool Equals(Point3 a, Point3 b, float eps) {
  return std::fabs(a.x - b.x) <= eps && std::fabs(a.y - b.y) <= eps && std::fabs(a.z - b.z) <= eps;
}

struct Point2 {
  float x = 0, y = 0;
  friend constexpr bool operator==(Point2 a, Point2 b) = default;
};

struct Color {
  float r = 0, g = 0, b = 0;
  friend constexpr bool operator==(Color a, Color b) = default;
};

struct AColor {
  float r = 0, g = 0, b = 0, a = 1;
  friend constexpr bool operator==(AColor a, AColor b) = default;
};

// Unit quaternion (x, y, z, w), the host's convention: a rotation of angle a about axis n is
// (n sin(a/2), cos(a/2)) and turns row vectors like the matrix built by QuatToMatrix.
struct Quat {
  float x = 0, y = 0, z = 0, w = 1;
  float& operator[](int i) { return i == 0 ? x : i == 1 ? y : i == 2 ? z : w; }
  float operator[](int i) const { return i == 0 ? x : i == 1 ? y : i == 2 ? z : w; }
  friend constexpr bool operator==(Quat a, Quat b) = default;
};

inline bool Equals(Quat a, Quat b, float eps) {
  return std::fabs(a.x - b.x) <= eps && std::fabs(a.y - b.y) <= eps && std::fabs(a.z - b.z) <= eps &&
         std::fabs(a.w - b.w) <= eps;
}
Quat Normalize(Quat q);
// a then b (the host's q1 * q2 order: the product applies a first).
Quat Multiply(Quat a, Quat b);
Quat Inverse(Quat q);
Quat Slerp(Quat a, Quat b, float t);

// Affine transform of three axis rows and a translation row.
struct Matrix3 {
  Point3 row[4] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}};
  uint32_t flags = 0;

  static Matrix3 Identity() { return {}; }
  Point3& operator[](int i) { return row[i]; }
  const Point3& operator[](int i) const { return row[i]; }
  Point3 Translation() const { return row[3]; }
  void SetTranslation(Point3 t) { row[3] = t; }
  bool IsIdentity() const;
  // Determinant of the linear part.
  float Determinant() const { return Dot(Cross(row[0], row[1]), row[2]); }
  friend bool operator==(const Matrix3& a, const Matrix3& b) {
    for (int i = 0; i < 4; ++i)
      if (!(a.row[i] == b.row[i])) return false;
    return true;
  }
};

Matrix3 operator*(const Matrix3& a, const Matrix3& b);
// Direction transform: the linear rows only. Both are inline: every vertex and normal of a
// mesh goes through them.
inline Point3 VectorTransform(Point3 v, const Matrix3& m) { return m.row[0] * v.x + m.row[1] * v.y + m.row[2] * v.z; }
inline Point3 operator*(Point3 p, const Matrix3& m) { return VectorTransform(p, m) + m.row[3]; }
// Inverse of an affine transform; a singular linear part gives the identity.
Matrix3 Inverse(const Matrix3& m);
bool Equals(const Matrix3& a, const Matrix3& b, float eps);

Matrix3 RotateXMatrix(float angle);
Matrix3 RotateYMatrix(float angle);
Matrix3 RotateZMatrix(float angle);
Matrix3 ScaleMatrix(Point3 s);
Matrix3 TransMatrix(Point3 t);
Matrix3 QuatToMatrix(Quat q);
// Rotation part of an orthonormal matrix as a unit quaternion.
Quat MatrixToQuat(const Matrix3& m);

// Polar decomposition M = U^-1 K U Q T, with f the sign of the determinant (the host's AffineParts).
struct AffineParts {
  Point3 t;      // translation
  Quat q;        // essential rotation
  Quat u;        // stretch rotation
  Point3 k;      // stretch factors
  float f = 1;   // sign of the determinant
};
AffineParts DecompAffine(const Matrix3& m);
// The same t, q, k and f without the stretch rotation (u stays the identity): for keys, which
// have no place for it.
AffineParts DecompAffineWithoutStretchRotation(const Matrix3& m);
// The same for count matrices into out, eight at a time: the same bits as one call each, in
// 0.6 of the time (each decomposition is a long chain of divisions and roots that waits on
// itself; eight chains side by side keep the divider busy).
void DecompAffineWithoutStretchRotation(const Matrix3* m, size_t count, AffineParts* out);
// True when the 3x3 part turns space inside out; the same test DecompAffine makes for f.
bool IsMirrored(const Matrix3& m);

constexpr float kPi = 3.14159265358979323846f;

}  // namespace vorn
