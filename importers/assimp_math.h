// Matrix and quaternion operations in the order of float operations assimp's results show, for
// readers that compute transforms and keys themselves and must give assimp's values to the last bit.
#pragma once

#include <cmath>

#include "importers/import_scene.h"

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
