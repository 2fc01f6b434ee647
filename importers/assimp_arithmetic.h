// The float arithmetic of assimp that a reader must repeat to give assimp's values to the last
// bit: its text number reading, quaternion and 3x3 matrix conversions and matrix decomposition,
// each with assimp's operations in assimp's order. Matrices act on column vectors (import_scene.h).
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "importers/import_scene.h"

namespace vorn::assimp_arithmetic {

// A whole text number [first, last) as assimp's .X import reads it: ParseAssimpDecimal below,
// and "nan" and "inf". False for anything else or for characters after the number. The text may
// be read on up to readable (a separator follows last; readable may be last).
bool TextFloat(const char* first, const char* last, const char* readable, float* out);

// Rows a, b, c; columns 1, 2, 3.
struct Matrix3 {
  float a1, a2, a3, b1, b2, b3, c1, c2, c3;
};

import::Quaternion FromMatrix(const Matrix3& m);
Matrix3 ToMatrix(const import::Quaternion& q);
float Length3(float x, float y, float z);
// Translation, scaling (negative when the determinant is) and rotation of a transform.
void Decompose(const import::Matrix4& t, import::Vec3& scaling, import::Quaternion& rotation, import::Vec3& position);

}  // namespace vorn::assimp_arithmetic

// Decimal numbers read as assimp reads them, so that our readers give assimp's floats to the last
// bit: the integer part and up to 15 digits of the fraction each read as an integer, the fraction
// scaled in double precision, the two added in float (not always the float nearest to the text,
// one unit in the last place off at times); an exponent multiplies by a float power of ten.
namespace vorn {

namespace assimp_decimal {

// How many of the eight bytes in v, lowest first, lead with ASCII digits. A digit's high nibble
// is 3 and its low nibble plus 6 does not carry; a carry out of a byte that is no digit can spoil
// only the bytes after it.
inline unsigned LeadingDigits(uint64_t v) {
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull, kThree = 0x3030303030303030ull;
  const uint64_t bad = ((v & kHigh) ^ kThree) | (((v + 0x0606060606060606ull) & kHigh) ^ kThree);
  return bad ? unsigned(std::countr_zero(bad)) / 8 : 8;
}

// The value of the first n (1 to 8) digits in v, the first the most significant.
inline uint64_t DigitsValue(uint64_t v, unsigned n) {
  v = (v << (8 * (8 - n))) & 0x0F0F0F0F0F0F0F0Full;  // leading zeros in place of the rest
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFull;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFull;
  return (v * 10000 + (v >> 32)) & 0xFFFFFFFFull;
}

inline uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline constexpr double kFractionScale[] = {1.0,  1e-1, 1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                            1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};

// ParseAssimpDecimal below, digit by digit: every number, where the eight-byte reading takes
// only the common ones.
inline const char* ReadByDigits(const char* c, const char* e, float& out, bool comma) {
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
      float g;  // apart from f, which then stays in a register
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
    const size_t n = c - b < ptrdiff_t(std::size(kFractionScale)) ? size_t(c - b) : std::size(kFractionScale) - 1;
    uint64_t fraction = 0;
    for (size_t k = 0; k < n; ++k) fraction = fraction * 10 + uint64_t(b[k] - '0');
    f += float(double(fraction) * kFractionScale[n]);
  } else if (c < e && *c == '.') {
    ++c;  // "1." is 1
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
      c = mark;  // "2e" is 2 followed by something else
    } else {
      if (std::from_chars(b, c, power).ec != std::errc() || power > 1000) return nullptr;
      f *= std::pow(10.0f, down ? -float(power) : float(power));
    }
  }
  if (!std::isfinite(f)) return nullptr;
  out = negative ? -f : f;
  return c;
}

}  // namespace assimp_decimal

// Reads one number at p (sign, digits, fraction, exponent) and returns the end of what it read,
// or nullptr when p does not start a number. With `comma`, a ',' followed by a digit is taken as
// the decimal point, as some exporters write it. Integer parts too long for 64 bits fall back to
// std::from_chars over the rest.
inline const char* ParseAssimpDecimal(const char* c, const char* e, float& out, bool comma = false) {
  using namespace assimp_decimal;
  const char* const start = c;
  const bool negative = c < e && *c == '-';
  if (c < e && (*c == '-' || *c == '+')) ++c;
  // Most numbers are up to seven digits, a point and up to seven more, and then no exponent:
  // read eight bytes at a time, with the same sums as ReadByDigits.
  if (e - c >= 16) {
    const uint64_t head = Load8(c);
    const unsigned k = LeadingDigits(head);
    if (k - 1 < 7) {
      const char next = c[k];
      if (next == '.') {
        const uint64_t tail = Load8(c + k + 1);
        const unsigned n = LeadingDigits(tail);
        const char after = c[k + 1 + n];
        if (n - 1 < 7 && after != 'e' && after != 'E') {
          const float f = float(DigitsValue(head, k)) + float(double(DigitsValue(tail, n)) * kFractionScale[n]);
          out = negative ? -f : f;
          return c + k + 1 + n;
        }
      } else if (next != ',' && next != 'e' && next != 'E') {
        const float f = float(DigitsValue(head, k));
        out = negative ? -f : f;
        return c + k;
      }
    }
  }
  return ReadByDigits(start, e, out, comma);
}

}  // namespace vorn

// Matrix and quaternion operations in the order of float operations assimp's results show, for
// readers that compute transforms and keys themselves and must give assimp's values to the last bit.
namespace vorn::import {

// a × b, each element summed left to right in float.
inline Matrix4 Multiply(const Matrix4& a, const Matrix4& b) {
  Matrix4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j] + a.m[i][3] * b.m[3][j];
  return r;
}

// The quaternion of a rotation matrix (row-major, column vectors).
inline Quaternion QuaternionFromRotation(const float m[3][3]) {
  Quaternion q;
  const float t = m[0][0] + m[1][1] + m[2][2];
  if (t > 0) {
    const float s = std::sqrt(1 + t) * 2.0f;
    q.x = (m[2][1] - m[1][2]) / s;
    q.y = (m[0][2] - m[2][0]) / s;
    q.z = (m[1][0] - m[0][1]) / s;
    q.w = 0.25f * s;
  } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
    const float s = std::sqrt(1.0f + m[0][0] - m[1][1] - m[2][2]) * 2.0f;
    q.x = 0.25f * s;
    q.y = (m[1][0] + m[0][1]) / s;
    q.z = (m[0][2] + m[2][0]) / s;
    q.w = (m[2][1] - m[1][2]) / s;
  } else if (m[1][1] > m[2][2]) {
    const float s = std::sqrt(1.0f + m[1][1] - m[0][0] - m[2][2]) * 2.0f;
    q.x = (m[1][0] + m[0][1]) / s;
    q.y = 0.25f * s;
    q.z = (m[2][1] + m[1][2]) / s;
    q.w = (m[0][2] - m[2][0]) / s;
  } else {
    const float s = std::sqrt(1.0f + m[2][2] - m[0][0] - m[1][1]) * 2.0f;
    q.x = (m[0][2] + m[2][0]) / s;
    q.y = (m[2][1] + m[1][2]) / s;
    q.z = 0.25f * s;
    q.w = (m[1][0] - m[0][1]) / s;
  }
  return q;
}

}  // namespace vorn::import

namespace vorn::assimp_arithmetic {

// Face normals for a mesh whose file gives none, as assimp makes them: each vertex takes the
// normal of the last triangle that uses it.
inline void FaceNormals(import::Mesh& m) {
  m.normals.assign(m.positions.size(), import::Vec3{});
  for (const auto& t : m.triangles) {
    const import::Vec3 a = m.positions[t[0]], b = m.positions[t[1]], c = m.positions[t[2]];
    const float ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const float vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    import::Vec3 n{uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
    const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    if (len > 0) n = {n.x / len, n.y / len, n.z / len};
    for (uint32_t v : t) m.normals[v] = n;
  }
}

}  // namespace vorn::assimp_arithmetic
