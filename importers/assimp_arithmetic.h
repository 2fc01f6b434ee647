// The float arithmetic of assimp that a reader must repeat to give assimp's values to the last
// bit: its text number reading, quaternion and 3x3 matrix conversions and matrix decomposition,
// each with assimp's operations in assimp's order. Matrices act on column vectors (import_scene.h).
#pragma once

#include "importers/import_scene.h"

namespace vorn::assimp_arithmetic {

// A text number as assimp reads it: the whole part and up to 15 fraction digits read as integers
// and added in float, which is not always the float nearest the text. "nan", "inf" and an
// exponent are read; a whole part too long for 64 bits is read as the nearest float. False for
// anything else or for characters after the number.
bool TextFloat(const char* first, const char* last, float* out);

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
