#include "importers/assimp_arithmetic.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace vorn::assimp_arithmetic {

using import::Matrix4;
using import::Quaternion;
using import::Vec3;

namespace {

// word is lower-case letters; setting bit 5 lowers an ASCII letter and maps nothing else onto
// one (this runs for every number of a text file: no locale call).
bool NoCaseStarts(const char* c, const char* e, const char* word) {
  for (; *word; ++word, ++c)
    if (c == e || (*c | 0x20) != *word) return false;
  return true;
}

}  // namespace

bool TextFloat(const char* c, const char* e, const char* readable, float* out) {
  const bool negative = c < e && *c == '-';
  const char* word = c < e && (*c == '-' || *c == '+') ? c + 1 : c;
  if (NoCaseStarts(word, e, "nan") && e - word == 3) {
    *out = std::numeric_limits<float>::quiet_NaN();
    return true;
  }
  if (NoCaseStarts(word, e, "inf") && (e - word == 3 || (e - word == 8 && NoCaseStarts(word, e, "infinity")))) {
    *out = negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return true;
  }
  float f = 0;
  // Past e the text goes on with a separator, where the number ends as it would at e.
  if (ParseAssimpDecimal(c, readable, f) != e || c == e) return false;
  *out = f;
  return true;
}

Quaternion FromMatrix(const Matrix3& m) {
  const float rows[3][3] = {{m.a1, m.a2, m.a3}, {m.b1, m.b2, m.b3}, {m.c1, m.c2, m.c3}};
  return import::QuaternionFromRotation(rows);
}

Matrix3 ToMatrix(const Quaternion& q) {
  const float x = q.x, y = q.y, z = q.z, w = q.w;
  return {1.0f - 2.0f * (y * y + z * z), 2.0f * (x * y - z * w),        2.0f * (x * z + y * w),
          2.0f * (x * y + z * w),        1.0f - 2.0f * (x * x + z * z), 2.0f * (y * z - x * w),
          2.0f * (x * z - y * w),        2.0f * (y * z + x * w),        1.0f - 2.0f * (x * x + y * y)};
}

float Length3(float x, float y, float z) { return std::sqrt(x * x + y * y + z * z); }

namespace {

float Determinant(const Matrix4& t) {
  const auto& m = t.m;
  const float a1 = m[0][0], a2 = m[0][1], a3 = m[0][2], a4 = m[0][3], b1 = m[1][0], b2 = m[1][1], b3 = m[1][2],
              b4 = m[1][3], c1 = m[2][0], c2 = m[2][1], c3 = m[2][2], c4 = m[2][3], d1 = m[3][0], d2 = m[3][1],
              d3 = m[3][2], d4 = m[3][3];
  return a1 * b2 * c3 * d4 - a1 * b2 * c4 * d3 + a1 * b3 * c4 * d2 - a1 * b3 * c2 * d4 + a1 * b4 * c2 * d3 -
         a1 * b4 * c3 * d2 - a2 * b3 * c4 * d1 + a2 * b3 * c1 * d4 - a2 * b4 * c1 * d3 + a2 * b4 * c3 * d1 -
         a2 * b1 * c3 * d4 + a2 * b1 * c4 * d3 + a3 * b4 * c1 * d2 - a3 * b4 * c2 * d1 + a3 * b1 * c2 * d4 -
         a3 * b1 * c4 * d2 + a3 * b2 * c4 * d1 - a3 * b2 * c1 * d4 - a4 * b1 * c2 * d3 + a4 * b1 * c3 * d2 -
         a4 * b2 * c3 * d1 + a4 * b2 * c1 * d3 - a4 * b3 * c1 * d2 + a4 * b3 * c2 * d1;
}

}  // namespace

void Decompose(const Matrix4& t, Vec3& scaling, Quaternion& rotation, Vec3& position) {
  const auto& m = t.m;
  position = {m[0][3], m[1][3], m[2][3]};
  Vec3 cols[3] = {{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}};
  scaling = {Length3(cols[0].x, cols[0].y, cols[0].z), Length3(cols[1].x, cols[1].y, cols[1].z),
             Length3(cols[2].x, cols[2].y, cols[2].z)};
  if (Determinant(t) < 0) scaling = {-scaling.x, -scaling.y, -scaling.z};
  const float s[3] = {scaling.x, scaling.y, scaling.z};
  for (int i = 0; i < 3; ++i)
    if (s[i] != 0) {
      const float inv = 1.0f / s[i];
      cols[i] = {cols[i].x * inv, cols[i].y * inv, cols[i].z * inv};
    }
  rotation = FromMatrix({cols[0].x, cols[1].x, cols[2].x, cols[0].y, cols[1].y, cols[2].y, cols[0].z, cols[1].z, cols[2].z});
}

}  // namespace vorn::assimp_arithmetic
